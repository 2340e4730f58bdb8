// The message model of the mail component and the writer of its wire form.
//
// An Email2 is one MIME entity: the top-level message is one, and so is each
// body part. The typed fields mirror the header: every setter rewrites the
// matching header field at once (through replaceField, which moves it to the
// end), so the header is always what gets sent. Text goes in as UTF-8 and is
// converted to the message charset only when it is written out.
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/base/component_object.h"
#include "mail/base/ext_ptr_array.h"
#include "mail/base/log_base.h"
#include "mail/base/string_buffer.h"
#include "mail/mime/charset.h"
#include "mail/mime/mime_header.h"

namespace zelmar::mail {

struct MimeEntity;
struct MimeParams;

// Broken-down date and time as read from a Date field.
struct MailDate {
    bool valid = false;
    int year = 0, month = 0, day = 0;  // month 1..12
    int hour = 0, minute = 0, second = 0;
    int zoneMinutes = 0;  // east of UTC
};

// Deterministic stand-ins for the clock, the random identifiers and the
// host name, for tests only. Set one for the duration of a test and put
// back null afterwards; not thread-safe.
struct Email2Seam {
    std::function<std::string()> date;        // text of the Date field
    std::function<std::string()> identifier;  // an 8-4-4-4-12 lower-case hex identifier
    std::string hostName;                     // empty: the real host name
};
void setEmail2Seam(const Email2Seam* seam);

// "%a, %d %b %Y %H:%M:%S " and the zone as +hhmm / -hhmm, English names.
// gmtOffsetSeconds is the local zone's offset east of UTC.
std::string formatMailDate(const std::tm& local, long gmtOffsetSeconds);
// The current local time in that format.
std::string currentMailDate();
// Reads "[Day, ]DD Mon YYYY HH:MM[:SS] [+-]hhmm"; valid=false otherwise.
MailDate parseMailDate(std::string_view text);

// 16 random bytes from the component's generator as 8-4-4-4-12 hex.
std::string newRandomIdentifier();
// "-----_zelmail_" and pieces of a fresh identifier; 40 characters. Callers
// append "_.MIX", "_.ALT" or "_.REL".
std::string newBoundary();

// The media type for a lower-case file extension ("" when not in the table).
std::string_view mediaTypeForExtension(std::string_view lowerExt);
// Rows of the extension table, in table order.
struct ExtensionType {
    const char* ext;
    const char* type;
};
const ExtensionType* extensionTable(std::size_t& count);

class Email2 : public ComponentObject {
public:
    // A new message with the default fields, in this order: MIME-Version,
    // Date, Message-ID, Content-Type, Content-Transfer-Encoding, X-Mailer,
    // X-Priority.
    Email2();
    // A bare entity with no fields at all (copies, parts filled at once).
    struct Bare {};
    explicit Email2(Bare);
    ~Email2() override;

    Email2(const Email2&) = delete;
    Email2& operator=(const Email2&) = delete;

    // ---- header fields ----
    // Removes CR and LF from the value; the typed fields' names go to their
    // setters, every other name to replaceField. An empty name does nothing.
    void setHeaderField(std::string_view name, std::string_view value);
    void removeHeaderField(std::string_view name);
    bool getHeaderField(std::string_view name, StringBuffer& out) const;
    bool hasHeaderField(std::string_view name) const { return header_.hasField(name); }
    const MimeHeader& header() const { return header_; }
    MimeHeader& header() { return header_; }

    // False (nothing changed) for text that does not parse as an address.
    bool setFrom(std::string_view text);
    bool setReplyTo(std::string_view text);
    void setDate(std::string_view text);
    // Empty views mean "not given"; a null charset means none.
    void setContentType(std::string_view type, std::string_view name, std::string_view protocol,
                        std::string_view micalg, const Charset* charset, std::string_view boundary,
                        std::string_view smimeType, std::string_view typeParam);
    void setCharset(const Charset& charset);
    void setTransferEncoding(std::string_view value);
    void setContentDisposition(std::string_view disposition, std::string_view filename);
    void setContentId(std::string_view value);
    void setFormatFlowed(bool on);
    void setDefaultCharsetName(std::string_view name) { defaultCharsetName_.setString(name); }

    const StringBuffer& getContentType() const { return contentType_; }
    const Charset& getCharset() const { return charset_; }
    const StringBuffer& getTransferEncoding() const { return transferEncoding_; }
    const StringBuffer& getDisposition() const { return disposition_; }
    const StringBuffer& getFilename() const { return filename_; }
    const StringBuffer& getName() const { return name_; }
    const StringBuffer& getBoundary() const { return boundary_; }
    const StringBuffer& getProtocol() const { return protocol_; }
    const StringBuffer& getMicalg() const { return micalg_; }
    const StringBuffer& getSmimeType() const { return smimeType_; }
    const StringBuffer& getTypeParam() const { return typeParam_; }
    bool getFormatFlowed() const { return formatFlowed_; }
    const StringBuffer& getContentId() const { return contentId_; }
    const MailDate& getDate() const { return date_; }
    // The parsed From address, or null.
    const Rfc822Address* getFromAddress() const { return from_.get(); }
    bool isMultipart() const { return contentType_.beginsWithIgnoreCase("multipart"); }

    // ---- recipients ----
    // An empty address returns false and adds nothing. To and Cc rewrite
    // their header field from the whole list; Bcc writes no field.
    bool addTo(std::string_view name, std::string_view address);
    bool addCc(std::string_view name, std::string_view address);
    bool addBcc(std::string_view name, std::string_view address);
    int getNumTo() const { return static_cast<int>(to_.size()); }
    int getNumCc() const { return static_cast<int>(cc_.size()); }
    int getNumBcc() const { return static_cast<int>(bcc_.size()); }
    // The bare address at an index; false past the end.
    bool getToAddr(int index, StringBuffer& out) const;
    bool getCcAddr(int index, StringBuffer& out) const;
    bool getBccAddr(int index, StringBuffer& out) const;
    const ExtPtrArray<Rfc822Address>& toList() const { return to_; }
    const ExtPtrArray<Rfc822Address>& ccList() const { return cc_; }
    const ExtPtrArray<Rfc822Address>& bccList() const { return bcc_; }

    // The MAIL FROM address: Return-Path, the From address, the From field,
    // Reply-To, in that order of preference; empty if none.
    void getEnvelopeSender(StringBuffer& out) const;

    // ---- bodies and parts ----
    void setTextBody(std::string_view utf8, bool html);
    void setHtmlBody(std::string_view html);
    // An empty content type means "choose from the file name".
    bool addDataAttachment(std::string_view fileName, std::string_view contentType, std::string_view bytes);
    const DataBuffer& getBody() const { return body_; }
    std::size_t getNumParts() const { return parts_.size(); }
    Email2* getPart(std::size_t i) const { return partAt(i); }

    // A fresh Message-ID ("<ZELMAIL-MID-" identifier "@" host ">").
    // host: the right side ("" for this machine's name).
    void newMessageId(std::string_view host = {});

    // The MIME text of this entity and everything below it. Fields whose
    // name begins with skipPrefix (any case) are left out ("ZMX-" when
    // sending). May relabel an 8-bit text body that has no charset.
    bool renderMime(StringBuffer& out, std::string_view skipPrefix, LogBase& log);
    bool renderMime(std::string& out, std::string_view skipPrefix, LogBase& log);

    // Rough size of the rendered message, for progress accounting.
    std::size_t estimateSize() const;

    // The copy the SMTP session sends: rendered, parsed back (same fields in
    // the same order, same parts and bodies), the To, Cc and Bcc lists
    // carried over, then the internal fields handled: "ZMX-ReturnReceipt"
    // "YES" gives "Disposition-Notification-To" when absent and is removed,
    // "Return-Path" is removed, "ZMX-Bcc" becomes "Bcc". Optional
    // replacement pairs are applied to the rendered text first. Null when
    // the copy cannot be made (the reason is in the log).
    using Replacements = std::vector<std::pair<std::string, std::string>>;
    std::unique_ptr<Email2> makeSendCopy(const Replacements* replacements, LogBase& log);

    // A message built from MIME text (fields in order, nested parts, bodies
    // decoded); null when nothing could be read.
    static std::unique_ptr<Email2> createFromMimeText(std::string_view text, LogBase& log);

private:
    void loadFromEntity(const MimeEntity& e);
    void takeContentType(const MimeParams& p);
    void rebuildContentType();
    void setRecipientField(const char* fieldName, const ExtPtrArray<Rfc822Address>& list);
    std::unique_ptr<Email2> makeBarePart() const;
    void moveContentIntoNewPart(Email2& part);
    void convertToMultipart(const char* type, const char* marker);
    void applyTextStep(std::string_view utf8, bool html);
    void alternativePartRule(std::unique_ptr<Email2> part);
    Email2* firstLeaf();
    bool findTextCharset(std::string_view type, Charset& out) const;
    void renderEntity(const Email2& top, std::string& out, std::string_view skipPrefix, int depth, LogBase& log);
    void writeBody(const Charset& cs, std::string& out) const;

    MimeHeader header_;
    DataBuffer body_;
    ExtPtrArray<ComponentObject> parts_;  // each an Email2 (the array checks its type, so not yet here)
    Email2* partAt(std::size_t i) const;
    ExtPtrArray<Rfc822Address> to_, cc_, bcc_;
    std::unique_ptr<Rfc822Address> from_;
    MailDate date_;
    StringBuffer contentType_;
    StringBuffer disposition_;
    StringBuffer transferEncoding_;
    StringBuffer contentId_;
    StringBuffer name_, protocol_, micalg_;
    Charset charset_;
    StringBuffer boundary_, smimeType_, typeParam_;
    StringBuffer filename_;
    bool formatFlowed_ = false;
    StringBuffer defaultCharsetName_;
};

}  // namespace zelmar::mail
