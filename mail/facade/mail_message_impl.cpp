#include "mail/facade/mail_message_impl.h"

#include "mail/base/string_buffer.h"
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

void MailMessageImpl::setFrom(const XString& from) {
    PublicCall call(*this, "SetFrom");
    if (!email_) return;
    const std::string& text = from.getUtf8();
    if (!isAll7Bit(text)) chooseCharsetFor(*email_, text);
    email_->setFrom(text);
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
    if (!bcc && !isAll7Bit(n.view())) chooseCharsetFor(*email_, n.view());
    log_.logData("name", n.getString());
    log_.logData("address", a.getString());
    if (a.isEmpty()) {
        log_.logError("No Email Address was provided");
        return false;
    }
    const bool ok = bcc ? email_->addBcc(n.view(), a.view()) : email_->addTo(n.view(), a.view());
    if (!ok) {
        std::string text = "Invalid email address: name = [" + n.str() + "], address = [" + a.str() + "]";
        log_.logError(text.c_str());
    }
    return ok;
}

bool MailMessageImpl::addTo(const XString& name, const XString& address) {
    return addRecipient("AddTo", false, name, address);
}

bool MailMessageImpl::addBcc(const XString& name, const XString& address) {
    return addRecipient("AddBcc", true, name, address);
}

bool MailMessageImpl::addDataAttachment(const XString& fileName, std::string_view bytes) {
    PublicCall call(*this, "AddDataAttachment");
    if (!email_) {
        log_.logError("No internal email object");
        return false;
    }
    StringBuffer name(fileName.getUtf8());
    name.trim();
    if (!email_->addDataAttachment(name.view(), {}, bytes)) {
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
