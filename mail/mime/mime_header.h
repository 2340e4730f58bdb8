// The header of a MIME entity: an ordered list of fields, how a value is
// stored (decoded, unfolded, single-line) and how a field is written out
// (folding and encoded words for the rendering charset).
#pragma once

#include <string>
#include <string_view>

#include "mail/mime/charset.h"
#include "mail/base/component_object.h"
#include "mail/base/ext_ptr_array.h"
#include "mail/base/log_base.h"
#include "mail/base/string_buffer.h"

namespace zelmar::mail {

class MimeField : public ComponentObject {
public:
    MimeField(std::string_view name, std::string_view value);

    const StringBuffer& getName() const { return name_; }
    const StringBuffer& getValue() const { return value_; }
    bool noFold() const { return noFold_; }

    // Stores a value: encoded words decoded to UTF-8, folding removed, and
    // any line break left over dropped, so a value is always one line.
    void setValue(std::string_view value);

    // Writes "Name: value" for the code page (0 = none); no line end.
    void render(int codePage, std::string& out) const;

private:
    bool noFold_ = false;
    StringBuffer name_;
    StringBuffer value_;
};

// A usable field name: printable ASCII without ":" (RFC 5322 ftext).
bool isValidFieldName(std::string_view name);

class MimeHeader {
public:
    // Removes every field of the name, then appends the new one at the end
    // when the value is not blank; false for a name that cannot be a header
    // field name (it could otherwise smuggle in extra header lines).
    bool replaceField(std::string_view name, std::string_view value);
    void removeField(std::string_view name);
    // Appends a field without removing others of the name (reading a
    // header back in its order); false for an unusable name or a blank value.
    bool appendField(std::string_view name, std::string_view value);
    bool getField(std::string_view name, StringBuffer& out) const;
    bool hasField(std::string_view name) const;
    std::size_t fieldCount() const { return fields_.size(); }
    const MimeField* fieldAt(std::size_t i) const { return fields_.at(i); }

    void setDefaultCodePage(int cp) { defaultCodePage_ = cp; }
    int getDefaultCodePage() const { return defaultCodePage_; }

    // Writes each field not starting with skipPrefix, CRLF between fields,
    // no CRLF after the last. With no charset the default code page is used.
    void renderHeader(StringBuffer& out, std::string_view skipPrefix, const Charset& charset, LogBase& log) const;
    void renderHeader(std::string& out, std::string_view skipPrefix, int codePage) const;

    void clear() { fields_.clear(); }

private:
    ExtPtrArray<MimeField> fields_;
    int defaultCodePage_ = 0;
};

class Rfc822Address : public ComponentObject {
public:
    Rfc822Address() = default;
    Rfc822Address(std::string_view friendlyName, std::string_view address);

    // Parses one address out of text such as "Name" <user@host>.
    static Rfc822Address parse(std::string_view text);

    const StringBuffer& getFriendlyName() const { return friendlyName_; }
    const StringBuffer& getAddress() const { return address_; }
    bool isValid() const { return valid_; }

    // "\"Name\" <addr>" with a name, else the address (in "<>" only if it
    // holds a blank).
    std::string fullForm() const;
    std::string bareForm() const { return address_.str(); }

private:
    StringBuffer friendlyName_;
    StringBuffer address_;
    bool valid_ = false;
};

// The full forms of a list joined by ", ", as To and Cc fields carry them.
std::string joinFullForms(const ExtPtrArray<Rfc822Address>& list);

}  // namespace zelmar::mail
