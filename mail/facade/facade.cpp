// The facade wrappers: string conversion at the boundary and forwarding.
#include <cstring>
#include <iconv.h>
#include <langinfo.h>

#include "mail/base/string_buffer.h"
#include "mail/base/x_string.h"
#include "mail/facade/mail_message.h"
#include "mail/facade/mail_message_impl.h"
#include "mail/facade/mail_sender.h"
#include "mail/facade/mail_sender_impl.h"
#include "mail/facade/progress_event.h"

namespace zelmar::mail {

namespace {

// The process locale's charset, or "" when it is UTF-8 (the C/POSIX locale
// counts as UTF-8, so that a bare service environment reads the same INI).
std::string localeCharset() {
    const char* cs = ::nl_langinfo(CODESET);
    if (!cs || !*cs) return "";
    std::string name = toLowerCopy(cs);
    if (name == "utf-8" || name == "utf8" || name == "ansi_x3.4-1968" || name == "us-ascii" || name == "ascii")
        return "";
    return cs;
}

// Strict iconv; false (and out untouched) on any failure.
bool convert(const char* to, const char* from, std::string_view in, std::string& out) {
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string result(in.size() * 4 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    char* dst = result.data();
    std::size_t dstLeft = result.size();
    const std::size_t rc = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    ::iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1) || srcLeft != 0) return false;
    result.resize(result.size() - dstLeft);
    out.swap(result);
    return true;
}

}  // namespace

std::string textAsUtf8(std::string_view in, bool utf8) {
    if (isAll7Bit(in)) return std::string(in);
    const std::string cs = utf8 ? std::string() : localeCharset();
    std::string converted;
    if (!cs.empty() && convert("UTF-8", cs.c_str(), in, converted)) return converted;
    // Text that is not UTF-8 although it should be (a file saved by an
    // editor in a Western legacy charset, under a UTF-8 locale) is read as
    // windows-1252, of which Latin-1 is nearly all, rather than sent on
    // under a UTF-8 label it does not match. Its five unassigned bytes
    // leave ISO-8859-1, which maps every byte.
    std::string probe;
    if (convert("UTF-8", "UTF-8", in, probe)) return std::string(in);
    if (convert("UTF-8", "WINDOWS-1252", in, converted) || convert("UTF-8", "ISO-8859-1", in, converted))
        return converted;
    return std::string(in);
}

namespace {

// A caller's argument as the component's string; null reads as empty.
XString fromCaller(const char* text, bool utf8) {
    XString x;
    if (!text) return x;
    x.setFromUtf8(textAsUtf8(text, utf8));
    return x;
}

// UTF-8 text in the caller's form.
std::string toCaller(std::string_view utf8Text, bool utf8) {
    const std::string cs = utf8 ? std::string() : localeCharset();
    std::string converted;
    if (!cs.empty() && !isAll7Bit(utf8Text) && convert(cs.c_str(), "UTF-8", utf8Text, converted)) return converted;
    return std::string(utf8Text);
}

}  // namespace

const char* componentBuildDate() { return ZELMAR_MAIL_BUILD_DATE; }

FacadeObject::~FacadeObject() = default;
ImplBase::~ImplBase() = default;

// ---- MailString ----

MailString::MailString() : text_(std::make_unique<XString>()), out_(std::make_unique<StringBuffer>()) {}
MailString::~MailString() = default;

void MailString::SetString(const char* text) { *text_ = fromCaller(text, utf8_); }

void MailString::SetUtf8Text(const char* utf8, unsigned long length) {
    text_->setFromUtf8(utf8 ? std::string_view(utf8, length) : std::string_view());
}

const char* MailString::GetString() {
    out_->setString(toCaller(text_->getUtf8(), utf8_));
    return out_->getString();
}

bool MailString::IsEmpty() const { return text_->isEmpty(); }

// ---- event sink ----

MailSenderCallback::~MailSenderCallback() = default;
void MailSenderCallback::SendPercentDone(long, bool&) {}
void MailSenderCallback::AbortCheck(bool&) {}

ProgressEvent::~ProgressEvent() = default;

void MailSenderCallbackBridge::percentDone(int percent, bool& abort) { sink_.SendPercentDone(percent, abort); }
void MailSenderCallbackBridge::abortCheck(bool& abort) { sink_.AbortCheck(abort); }

void connectMonitor(ProgressMonitor& pm, ProgressEvent* events) {
    if (!events) return;
    pm.setAbortQuery([events] {
        bool abort = false;
        events->abortCheck(abort);
        return abort;
    });
    // Progress as a percentage, reported when it moves; the answer of the
    // sink is kept for the next abort question.
    auto last = std::make_shared<int>(-1);
    pm.setProgressReport([events, last, &pm](std::uint64_t done, std::uint64_t total) {
        const int percent = total ? static_cast<int>(done * 100 / total) : 0;
        if (percent == *last) return;
        *last = percent;
        bool abort = false;
        events->percentDone(percent, abort);
        if (abort) pm.requestAbort();
    });
}

// ---- MailMessage ----

MailMessage::MailMessage() : impl_(new MailMessageImpl) {}
MailMessage::MailMessage(MailMessageImpl* impl, bool owns) : owns_(owns), impl_(impl) {}
MailMessage::~MailMessage() {
    if (owns_) delete impl_;
}

const char* MailMessage::Slot(int index, const char* utf8, unsigned long length) {
    MailString& s = results_[index];
    s.SetUtf8(utf8_);
    s.SetUtf8Text(utf8, length);
    return s.GetString();
}

void MailMessage::SetSubject(const char* subject) {
    if (impl_) impl_->setSubject(fromCaller(subject, utf8_));
}
void MailMessage::SetBody(const char* text) {
    if (impl_) impl_->setBody(fromCaller(text, utf8_));
}
void MailMessage::SetHtmlBody(const char* html) {
    if (!impl_) return;
    if (!html) {
        impl_->setHtmlBody(nullptr);
        return;
    }
    const XString x = fromCaller(html, utf8_);
    impl_->setHtmlBody(&x);
}
bool MailMessage::SetFrom(const char* from) {
    return impl_ && impl_->setFrom(fromCaller(from, utf8_));
}
bool MailMessage::AddTo(const char* friendlyName, const char* address) {
    return impl_ && impl_->addTo(fromCaller(friendlyName, utf8_), fromCaller(address, utf8_));
}
bool MailMessage::AddBcc(const char* friendlyName, const char* address) {
    return impl_ && impl_->addBcc(fromCaller(friendlyName, utf8_), fromCaller(address, utf8_));
}
bool MailMessage::AddDataAttachment(const char* fileName, const unsigned char* data, unsigned long length) {
    if (!impl_) return false;
    const std::string_view bytes = data ? std::string_view(reinterpret_cast<const char*>(data), length)
                                        : std::string_view();
    return impl_->addDataAttachment(fromCaller(fileName, utf8_), bytes, utf8_);
}

const char* MailMessage::LastErrorXml() {
    if (!impl_) return "";
    StringBuffer sb;
    impl_->log().getXml(sb);
    return Slot(0, sb.getString(), sb.getSize());
}
const char* MailMessage::LastErrorText() {
    if (!impl_) return "";
    StringBuffer sb;
    impl_->log().getText(sb);
    return Slot(1, sb.getString(), sb.getSize());
}
bool MailMessage::SaveErrorLogXml(const char* path) {
    if (!impl_ || !path) return false;
    StringBuffer p(fromCaller(path, utf8_).getUtf8());
    p.trim();
    return !p.isEmpty() && impl_->log().saveXml(p.getString());
}
const char* MailMessage::GetMime() {
    if (!impl_) return "";
    std::string mime;
    impl_->renderMime(mime);
    return Slot(2, mime.data(), mime.size());
}

// ---- MailSender ----

MailSender::MailSender() : impl_(new MailSenderImpl) {}
MailSender::~MailSender() { delete impl_; }

const char* MailSender::Slot(int index, const char* utf8, unsigned long length) {
    MailString& s = results_[index];
    s.SetUtf8(utf8_);
    s.SetUtf8Text(utf8, length);
    return s.GetString();
}

void MailSender::SetSmtpHost(const char* host) { impl_->setSmtpHost(fromCaller(host, utf8_)); }
const char* MailSender::SmtpHost() {
    const std::string& h = impl_->settings().smtpHost;
    return Slot(0, h.data(), h.size());
}
void MailSender::SetSmtpPort(int port) { impl_->settings().smtpPort = port; }
int MailSender::SmtpPort() const { return impl_->settings().smtpPort; }
void MailSender::SetSmtpUsername(const char* login) {
    impl_->settings().login.clear();
    impl_->settings().login = fromCaller(login, utf8_).getUtf8();
}
void MailSender::SetSmtpPassword(const char* password) {
    impl_->settings().password.clear();
    impl_->settings().password = fromCaller(password, utf8_).getUtf8();
}
void MailSender::SetSmtpSsl(bool on) { impl_->settings().implicitTls = on; }
bool MailSender::SmtpSsl() const { return impl_->settings().implicitTls; }
void MailSender::SetStartTls(bool on) { impl_->settings().startTls = on; }
bool MailSender::StartTls() const { return impl_->settings().startTls; }
void MailSender::SetConnectTimeout(int seconds) { impl_->settings().connectTimeoutSeconds = seconds; }
void MailSender::SetReadTimeout(int seconds) { impl_->settings().readTimeoutSeconds = seconds; }
void MailSender::SetSendTimeout(int seconds) { impl_->settings().sendTimeoutSeconds = seconds; }
void MailSender::SetRequireVerifiedCertificate(bool on) { impl_->settings().requireVerifiedCertificate = on; }
void MailSender::SetCertificatePin(const char* sha256Hex) {
    impl_->settings().certificatePin = toLowerCopy(trimView(sha256Hex ? sha256Hex : ""));
}
void MailSender::SetCaFile(const char* path) { impl_->settings().caFile = fromCaller(path, utf8_).getUtf8(); }
const char* MailSender::AcceptedCertificatePin() {
    const std::string& pin = impl_->acceptedCertificatePin();
    return Slot(4, pin.data(), pin.size());
}
const char* MailSender::FailureText() {
    const std::string& text = impl_->failureText();
    return Slot(5, text.data(), text.size());
}
void MailSender::SetHeloHostname(const char* name) { impl_->settings().heloHost = fromCaller(name, utf8_).getUtf8(); }
void MailSender::SetAuthMethod(const char* mechanism) {
    impl_->settings().authMethod = fromCaller(mechanism, utf8_).getUtf8();
}
void MailSender::SetLoginDomain(const char* domain) {
    impl_->settings().loginDomain = fromCaller(domain, utf8_).getUtf8();
}
void MailSender::SetAllOrNone(bool on) { impl_->settings().allOrNone = on; }
void MailSender::SetSentLogPath(const char* path) {
    impl_->settings().sentLogPath = fromCaller(path, utf8_).getUtf8();
}

bool MailSender::SendEmail(MailMessage* message) {
    if (!message) return false;
    if (sink_) {
        MailSenderCallbackBridge bridge(*sink_);
        return impl_->sendEmail(message->Impl(), &bridge);
    }
    return impl_->sendEmail(message->Impl(), nullptr);
}

bool MailSender::SaveErrorLogXml(const char* path) {
    if (!path) return false;
    return impl_->saveErrorLogXml(fromCaller(path, utf8_).getUtf8());
}
const char* MailSender::LastErrorXml() {
    const std::string xml = impl_->logXml();
    return Slot(1, xml.data(), xml.size());
}
const char* MailSender::LastErrorText() {
    const std::string text = impl_->logText();
    return Slot(2, text.data(), text.size());
}
int MailSender::LastSmtpStatus() const { return impl_->lastSmtpStatus(); }
TransferResult MailSender::Send(MailMessage* message) {
    TransferResult result;
    result.ok = SendEmail(message);
    result.step = "send";
    if (const int status = LastSmtpStatus(); status > 0) result.code = std::to_string(status);
    return result;
}
int MailSender::NumRefused() const { return static_cast<int>(impl_->refused().size()); }
const char* MailSender::RefusedAddress(int index) {
    const auto& r = impl_->refused();
    if (index < 0 || static_cast<std::size_t>(index) >= r.size()) return nullptr;
    return Slot(3, r[index].data(), r[index].size());
}

}  // namespace zelmar::mail
