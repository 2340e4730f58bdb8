#include "mail/facade/mail_sender_impl.h"

#include <exception>

#include "mail/base/string_buffer.h"
#include "mail/facade/mail_message_impl.h"
#include "mail/facade/progress_event.h"
#include "mail/mime/email2.h"
#include "mail/smtp/smtp_conn_impl.h"

namespace zelmar::mail {

namespace {

// A webmail provider whose server takes a Return-Path header badly: the
// copy sent there goes without one.
constexpr const char* kNoReturnPathHost = "smtp.live.com";

// Units of the progress accounting (the total is set from the size).
constexpr std::uint64_t kConnectUnits = 200;
constexpr std::uint64_t kPrepareUnits = 50;

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
    smtp_->setHeloHostname(s.heloHost);
    smtp_->setDsn(s.dsnNotify, s.dsnEnvid, s.dsnRet);
    bool connected = false;
    try {
        connected = smtp_->connectSmtp(s.smtpHost, s.smtpPort, s.login, s.password, s.loginDomain, s.authMethod,
                                       s.connectTimeoutSeconds, s.readTimeoutSeconds * 1000, log_, &pm, timedOut,
                                       aborted);
    } catch (const std::exception&) {
        log_.logError("Unexpected exception while connecting to the SMTP server.");
        return false;
    }
    if (!connected) {
        if (aborted || pm.aborted()) log_.logError("Aborted by application");
        log_.logError("Failed to connect to SMTP server.");
        lastReplyCode_ = smtp_->lastReplyCode();
        return false;
    }

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
    int accepted = 0;
    int attempted = 0;
    bool connectionFailed = false;
    bool serverLimit = false;
    timedOut = false;
    aborted = false;
    const bool sent = smtp_->sendMail(*copy, reversePath.str(), s.sentLogPath, log_, &pm, accepted, attempted,
                                      connectionFailed, refused_, s.newMessageId, timedOut, aborted, serverLimit);
    lastReplyCode_ = smtp_->lastReplyCode();
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

bool MailSenderImpl::saveErrorLogXml(const std::string& path) {
    StringBuffer p(path);
    p.trim();
    if (p.isEmpty()) return false;
    return log_.saveXml(p.getString());
}

}  // namespace zelmar::mail
