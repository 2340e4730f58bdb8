#include "mail/facade/mail_message_impl.h"

#include "mail/base/string_buffer.h"
#include "mail/mime/address_parser.h"
#include "mail/mime/charset.h"
#include "mail/mime/email2.h"

namespace zelmar::mail {

namespace {

// The charset choice of a setter: only while the message has none.
void chooseCharsetFor(Email2& email, std::string_view utf8) {
    if (email.getCharset().isSet()) return;
    Charset cs;
    chooseCharsetUtf8(utf8, cs);
    email.setCharset(cs);
}

}  // namespace

MailMessageImpl::MailMessageImpl() : email_(std::make_unique<Email2>()) {}
MailMessageImpl::~MailMessageImpl() = default;

void MailMessageImpl::setSubject(const XString& subject) {
    PublicCall call(*this, "SetSubject");
    if (!email_) return;
    const std::string& text = subject.getUtf8();
    if (!text.empty()) chooseCharsetFor(*email_, text);
    email_->setHeaderField("Subject", text);
}

void MailMessageImpl::setBody(const XString& text) {
    PublicCall call(*this, "SetBody");
    if (!email_) return;
    const std::string& body = text.getUtf8();
    if (!body.empty()) chooseCharsetFor(*email_, body);
    if (email_->getContentType().equalsIgnoreCase("text/html")) {
        const Charset cs = email_->getCharset();
        email_->setContentType("text/plain", email_->getName().view(), email_->getProtocol().view(),
                               email_->getMicalg().view(), cs.isSet() ? &cs : nullptr, email_->getBoundary().view(),
                               email_->getSmimeType().view(), email_->getTypeParam().view());
    }
    email_->setTextBody(body, false);
}

void MailMessageImpl::setHtmlBody(const XString* html) {
    PublicCall call(*this, "SetHtmlBody");
    if (!email_) {
        log_.logError("No internal email object");
        return;
    }
    if (!html) {
        log_.logError("HTML string is NULL");
        return;
    }
    const std::string& text = html->getUtf8();
    const std::string declared = getHtmlMetaCharset(text);
    email_->setHtmlBody(text);
    if (declared.empty() && !text.empty()) chooseCharsetFor(*email_, text);
}

bool MailMessageImpl::setFrom(const XString& from) {
    PublicCall call(*this, "SetFrom");
    if (!email_) return false;
    const std::string& text = from.getUtf8();
    if (const AddressListResult r = parseAddressList(text); r.ok && r.mailboxes.size() > 1) {
        // "bob@x, eve@y" would otherwise become the address of one and a
        // display name made of the other.
        log_.logError("Only one sender address is allowed");
        log_.logData("from", text.c_str());
        return false;
    }
    if (!isAll7Bit(text)) chooseCharsetFor(*email_, text);
    if (email_->setFrom(text)) return true;
    log_.logError("Invalid sender address");
    log_.logData("from", text.c_str());
    return false;
}

bool MailMessageImpl::addRecipient(const char* context, bool bcc, const XString& name, const XString& address) {
    PublicCall call(*this, context);
    if (!email_) {
        log_.logError("No internal email object");
        return false;
    }
    StringBuffer n(name.getUtf8());
    StringBuffer a(address.getUtf8());
    n.trim();
    a.trim();
    log_.logData("name", n.getString());
    log_.logData("address", a.getString());
    if (a.isEmpty()) {
        log_.logError("No Email Address was provided");
        return false;
    }
    // Without a separate name the text is read as people write addresses:
    // "Name <addr>", a bare address, or several separated by commas. What
    // does not read as addresses is refused whole: it would otherwise reach
    // "RCPT TO:<...>" as it stands.
    const AddressListResult parsed = n.isEmpty() ? parseAddressList(a.view()) : parseAddrSpec(a.view());
    if (!parsed.ok) {
        std::string text = "Invalid email address: name = [" + n.str() + "], address = [" + a.str() + "]";
        log_.logError(text.c_str());
        log_.logData("reason", parsed.error.c_str());
        return false;
    }
    for (const Mailbox& m : parsed.mailboxes) {
        const std::string name = n.isEmpty() ? m.name : n.str();
        if (!bcc && !isAll7Bit(name)) chooseCharsetFor(*email_, name);
        if (bcc) email_->addBcc(name, m.address());
        else email_->addTo(name, m.address());
    }
    return true;
}

bool MailMessageImpl::addTo(const XString& name, const XString& address) {
    return addRecipient("AddTo", false, name, address);
}

bool MailMessageImpl::addBcc(const XString& name, const XString& address) {
    return addRecipient("AddBcc", true, name, address);
}

bool MailMessageImpl::addDataAttachment(const XString& fileName, std::string_view bytes, bool callerUtf8) {
    PublicCall call(*this, "AddDataAttachment");
    if (!email_) {
        log_.logError("No internal email object");
        return false;
    }
    StringBuffer name(fileName.getUtf8());
    name.trim();
    // 8-bit text goes out as UTF-8 with its charset named: unlabelled, a
    // reader would take it as ASCII (or guess).
    std::string text;
    std::string_view content = bytes;
    std::string type;
    if (const std::size_t dot = name.str().rfind('.'); dot != std::string::npos)
        type = std::string(mediaTypeForExtension(toLowerCopy(name.view().substr(dot + 1))));
    const bool eightBitText = startsWithNoCase(type, "text/") && !isAll7Bit(bytes) &&
                              bytes.find('\0') == std::string_view::npos;
    if (eightBitText) {
        text = textAsUtf8(bytes, callerUtf8);
        content = text;
        type += "; charset=utf-8";
    }
    if (!email_->addDataAttachment(name.view(), eightBitText ? std::string_view(type) : std::string_view(), content)) {
        log_.logError("Failed to add data attachment");
        return false;
    }
    return true;
}

bool MailMessageImpl::renderMime(std::string& out) {
    PublicCall call(*this, "GetMime");
    out.clear();
    if (!email_) {
        log_.logError("No internal email object");
        return false;
    }
    return email_->renderMime(out, {}, log_);
}

void MailMessageImpl::addReplacement(std::string find, std::string put) {
    replacements_.emplace_back(std::move(find), std::move(put));
}

}  // namespace zelmar::mail
