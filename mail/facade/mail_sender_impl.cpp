#include "mail/facade/mail_sender_impl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "mail/base/string_buffer.h"
#include "mail/facade/mail_message_impl.h"
#include "mail/facade/progress_event.h"
#include "mail/mime/content_coding.h"
#include "mail/mime/email2.h"
#include "mail/net/tls_channel.h"
#include "mail/smtp/smtp_conn_impl.h"

namespace zelmar::mail {

namespace {

// A webmail provider whose server takes a Return-Path header badly: the
// copy sent there goes without one.
constexpr const char* kNoReturnPathHost = "smtp.live.com";

// Units of the progress accounting (the total is set from the size).
constexpr std::uint64_t kConnectUnits = 200;
constexpr std::uint64_t kPrepareUnits = 50;

// The message the session sends: the send copy, seen through the session's
// message interface.
class SendCopy final : public SmtpMessage {
public:
    SendCopy(Email2& email, LogBase& log) : email_(email), log_(log) {}
    std::vector<std::string> toAddresses() const override { return list(&Email2::getNumTo, &Email2::getToAddr); }
    std::vector<std::string> ccAddresses() const override { return list(&Email2::getNumCc, &Email2::getCcAddr); }
    std::vector<std::string> bccAddresses() const override {
        return list(&Email2::getNumBcc, &Email2::getBccAddr);
    }
    std::string subject() const override {
        StringBuffer sb;
        email_.getHeaderField("Subject", sb);
        return sb.str();
    }
    void newMessageId(std::string_view host) override { email_.newMessageId(host); }
    std::string renderMime(std::string_view skipPrefix) override {
        std::string out;
        out.reserve(50000);
        email_.renderMime(out, skipPrefix, log_);
        // The last line of the data needs a line end before the end-of-data
        // dot, and a reader takes that one as part of the text. A single
        // quoted-printable text without a line break of its own at the end
        // gets a soft one instead, which the reader drops. (In a multipart
        // message the line end before the last boundary belongs to it.)
        if (!email_.isMultipart() && email_.getTransferEncoding().equalsIgnoreCase("quoted-printable") &&
            !out.ends_with("\r\n"))
            out.append("=\r\n");
        return out;
    }

private:
    std::vector<std::string> list(int (Email2::*count)() const, bool (Email2::*at)(int, StringBuffer&) const) const {
        std::vector<std::string> out;
        const int n = (email_.*count)();
        for (int i = 0; i < n; ++i) {
            StringBuffer sb;
            if ((email_.*at)(i, sb)) out.push_back(sb.str());
        }
        return out;
    }
    Email2& email_;
    LogBase& log_;
};

bool abortedByApplication(ProgressMonitor& pm, Logger& log) {
    if (!pm.abortCheck()) return false;
    log.logError("Mail sending aborted by application");
    return true;
}

}  // namespace

std::string normaliseSmtpHost(std::string_view host) {
    StringBuffer sb(host);
    sb.toLowerCase();
    sb.replaceFirst("http://", "");
    sb.replaceFirst("https://", "");
    sb.removeChars("/");
    return sb.str();
}

MailSenderImpl::MailSenderImpl() : smtp_(std::make_unique<SmtpConnImpl>()) {}
MailSenderImpl::~MailSenderImpl() = default;

bool MailSenderImpl::sendEmail(MailMessageImpl* message, ProgressEvent* events) {
    if (!message) return false;
    // 1.
    lastReplyCode_ = 0;
    PublicCall call(*this, "SendEmail");
    refused_.clear();
    acceptedPin_.clear();
    failureText_.clear();
    smtp_->clearFailedStep();
    accepted_ = 0;

    // 2. Both kinds of TLS: the port decides.
    MailSenderSettings& s = settings_;
    if (s.implicitTls && s.startTls) {
        if (s.smtpPort == 465)
            s.startTls = false;
        else
            s.implicitTls = false;
    }

    // 3.
    Email2* email = message->email();
    if (!email) {
        log_.logError("Internal email is NULL");
        return false;
    }

    // 4. The reverse path of the message as the caller built it.
    StringBuffer reversePath;
    email->getEnvelopeSender(reversePath);

    // 5.
    ProgressMonitor pm;
    connectMonitor(pm, events);
    pm.setTotal(email->estimateSize() * 3 / 2 + 200);
    pm.consume(kConnectUnits);
    if (abortedByApplication(pm, log_)) return false;

    // 6.
    bool timedOut = false;
    bool aborted = false;
    smtp_->setImplicitTls(s.implicitTls);
    smtp_->setAllOrNone(s.allOrNone);
    smtp_->setStartTls(s.startTls);
    smtp_->setHeloName(s.heloHost);
    smtp_->setDsn(DsnOptions{s.dsnNotify, s.dsnEnvid, s.dsnRet});
    smtp_->setOverallDeadline(s.sendTimeoutSeconds > 0
                                  ? SteadyClock::now() + std::chrono::seconds(s.sendTimeoutSeconds)
                                  : SteadyClock::time_point::max());
    TlsChannel& channel = smtp_->connection().channel();
    channel.setRequireVerified(s.requireVerifiedCertificate);
    channel.setExpectedPin(s.certificatePin);
    channel.setCaFile(s.caFile);
    bool connected = false;
    try {
        connected = smtp_->connectSmtp(s.smtpHost, s.smtpPort, &s.login, &s.password, s.loginDomain, s.authMethod,
                                       s.connectTimeoutSeconds, s.readTimeoutSeconds * 1000, nullptr, log_, &pm,
                                       timedOut, aborted);
    } catch (const std::exception&) {
        log_.logError("Unexpected exception while connecting to the SMTP server.");
        return false;
    }
    if (!connected) {
        if (aborted || pm.aborted()) log_.logError("Aborted by application");
        // A session that got as far as the login was connected: what
        // failed is the login, and the log says so.
        log_.logError(smtp_->failedStep() == "login" ? "The SMTP server refused the login."
                                                     : "Failed to connect to SMTP server.");
        lastReplyCode_ = smtp_->lastReplyCode();
        noteFailure();
        return false;
    }
    // A certificate taken on trust is told to the owner only once the
    // session went on with it.
    if (channel.trust() == TlsChannel::Trust::FirstUse) acceptedPin_ = channel.peerFingerprint();

    // 7.
    pm.consume(kConnectUnits);
    if (abortedByApplication(pm, log_)) return false;

    // 8. The copy that is sent (the caller's message stays as it is); the
    // copy also turns the internal receipt and Bcc fields into real ones and
    // drops Return-Path.
    std::unique_ptr<Email2> copy;
    try {
        if (!message->replacements().empty()) {
            for (const auto& [find, put] : message->replacements()) {
                const std::string line = "Replacing [" + find + "] with [" + put + "]";
                log_.logInfo(line.c_str());
            }
            copy = email->makeSendCopy(&message->replacements(), log_);
            if (!copy) {
                log_.logError("Failed to clone with replacements.");
                return false;
            }
        } else {
            copy = email->makeSendCopy(nullptr, log_);
            if (!copy) {
                log_.logError("Internal email is null");
                return false;
            }
        }
    } catch (const std::exception&) {
        log_.logError("Unexpected exception while preparing email for sending.");
        return false;
    }

    // 9.
    pm.consume(kPrepareUnits);
    if (abortedByApplication(pm, log_)) return false;

    // 10.
    if (s.smtpHost.find(kNoReturnPathHost) != std::string::npos) copy->removeHeaderField("return-path");

    // 11.
    SendOutcome outcome;
    bool sent = false;
    {
        SendCopy toSend(*copy, log_);
        sent = smtp_->sendMail(&toSend, reversePath.str(), nullptr, s.sentLogPath, log_, &pm, outcome,
                               s.newMessageId);
    }
    lastReplyCode_ = smtp_->lastReplyCode();
    refused_ = outcome.refused;
    if (!sent) noteFailure();
    const int accepted = outcome.accepted;
    accepted_ = sent ? accepted : 0;
    const int attempted = outcome.attempted;
    timedOut = outcome.timedOut;
    aborted = outcome.aborted;
    copy.reset();

    // 12.
    if (sent) {
        log_.logDataLong("NumAccepted", accepted);
        log_.logDataLong("NumRejected", attempted - accepted);
        return true;
    }
    // 13.
    if (aborted || pm.aborted()) {
        log_.logError("Aborted by application");
    } else if (timedOut) {
        log_.logError("Timed out");
    } else if (accepted > 0 && accepted == attempted) {
        log_.logError("Partial send failure.");
    } else {
        log_.logDataLong("NumSuccess", accepted);
        log_.logDataLong("NumTotal", attempted);
        log_.logError("Send failed.");
    }
    return false;
}

const std::string& MailSenderImpl::failedStep() const { return smtp_->failedStep(); }
const std::string& MailSenderImpl::failedReply() const { return smtp_->failedReply(); }

void MailSenderImpl::noteFailure() {
    const TlsChannel& channel = smtp_->connection().channel();
    const std::string server = settings_.smtpHost + ":" + std::to_string(settings_.smtpPort);
    switch (channel.lastError()) {
        case TlsChannel::kErrPinMismatch:
            failureText_ = "the certificate of " + server +
                           " has changed since it was accepted and cannot be verified; it was refused before the "
                           "login. If the change is expected, accept the new certificate on the E-Mail page.";
            return;
        case TlsChannel::kErrVerifyRequired:
            failureText_ = "the certificate of " + server + " cannot be verified (RequireVerifiedCertificate=1).";
            return;
        default:
            break;
    }
    switch (smtp_->failure()) {
        case SmtpFailure::StartTlsNotOffered:
            failureText_ = server + " does not offer STARTTLS; nothing was sent (secure SMTP is on).";
            break;
        case SmtpFailure::NeedsSmtpUtf8:
            failureText_ = "the address " + smtp_->failureSubject() + " has non-ASCII characters before \"@\", and " +
                           server + " does not offer SMTPUTF8.";
            break;
        case SmtpFailure::UnsafeAddress:
            failureText_ = "the address [" + smtp_->failureSubject() + "] cannot be sent to.";
            break;
        case SmtpFailure::None:
            break;
    }
}

std::string redactSecrets(std::string text, const std::string& login, const std::string& password) {
    constexpr std::string_view kMask = "********";
    // The AUTH PLAIN command travels in the transcript with the credentials
    // as its argument. Only the client's command is masked, at the start of
    // a line (or of a logged value): the server's own "250-AUTH PLAIN LOGIN"
    // is a list of mechanisms and stays readable.
    for (std::size_t at = text.find("AUTH PLAIN "); at != std::string::npos;
         at = text.find("AUTH PLAIN ", at + 1)) {
        if (at > 0 && std::string_view("\n>[").find(text[at - 1]) == std::string_view::npos) continue;
        const std::size_t from = at + 11;
        std::size_t end = text.find_first_of("\r\n<]", from);
        if (end == std::string::npos) end = text.size();
        if (end > from) text.replace(from, end - from, kMask);
    }
    if (password.empty()) return text;
    std::string plainArg = login;
    plainArg += '\0';
    plainArg += login;
    plainArg += '\0';
    plainArg += password;
    const std::string forms[] = {
        ContentCoding::encodeBase64(plainArg),
        ContentCoding::encodeBase64(std::string(1, '\0') + login + '\0' + password),
        ContentCoding::encodeBase64(password),
        // Very short passwords would match ordinary words of the log.
        password.size() >= 3 ? password : std::string(),
    };
    for (const std::string& form : forms) {
        if (form.empty()) continue;
        StringBuffer sb(text);
        sb.replaceAll(form, kMask);
        text = sb.str();
    }
    return text;
}

std::string MailSenderImpl::logXml() {
    StringBuffer sb;
    log_.getXml(sb);
    return redactSecrets(sb.str(), settings_.login, settings_.password);
}

std::string MailSenderImpl::logText() {
    StringBuffer sb;
    log_.getText(sb);
    return redactSecrets(sb.str(), settings_.login, settings_.password);
}

bool MailSenderImpl::saveErrorLogXml(const std::string& path) {
    StringBuffer p(path);
    p.trim();
    if (p.isEmpty()) return false;
    // The log's own XML, but never a credential in any form: the file is
    // meant to be read and passed on by the user.
    const std::string xml = logXml();
    // Never through a link planted under the name (it would overwrite the
    // link's target), and only into a regular file.
    const int fd = ::open(p.getString(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    struct stat st {};
    bool written = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) == 0;
    for (std::size_t at = 0; written && at < xml.size();) {
        const ssize_t n = ::write(fd, xml.data() + at, xml.size() - at);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) at += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 && written;
}

}  // namespace zelmar::mail
