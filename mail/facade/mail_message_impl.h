// The implementation behind MailMessage: the message and its log.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/base/x_string.h"
#include "mail/facade/impl_base.h"

namespace zelmar::mail {

// A caller's text as UTF-8: from the locale's charset unless callerUtf8 (or
// the locale is UTF-8); text that is still not valid UTF-8 is read as
// windows-1252 (ISO-8859-1 for its unassigned bytes).
std::string textAsUtf8(std::string_view in, bool callerUtf8);

class Email2;

class MailMessageImpl : public ImplBase {
public:
    MailMessageImpl();
    ~MailMessageImpl() override;

    void setSubject(const XString& subject);
    void setBody(const XString& text);
    // Null html logs "HTML string is NULL".
    void setHtmlBody(const XString* html);
    // False when the text is not one address (several are refused: a
    // message has one sender).
    bool setFrom(const XString& from);
    bool addTo(const XString& name, const XString& address);
    bool addBcc(const XString& name, const XString& address);
    // 8-bit text (by the file name's type) is taken as textAsUtf8 reads it
    // and labelled utf-8.
    bool addDataAttachment(const XString& fileName, std::string_view bytes, bool callerUtf8 = true);
    bool renderMime(std::string& out);

    // Text replacements applied to the copy that is sent.
    void addReplacement(std::string find, std::string put);
    const std::vector<std::pair<std::string, std::string>>& replacements() const { return replacements_; }

    Email2* email() const { return email_.get(); }

private:
    bool addRecipient(const char* context, bool bcc, const XString& name, const XString& address);

    std::unique_ptr<Email2> email_;
    std::vector<std::pair<std::string, std::string>> replacements_;
};

}  // namespace zelmar::mail
