// The implementation behind MailSender: the settings, the SMTP session and
// the log of the last call.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mail/base/x_string.h"
#include "mail/facade/impl_base.h"

namespace zelmar::mail {

class MailMessageImpl;
class ProgressEvent;
class SmtpConnImpl;

struct MailSenderSettings {
    std::string smtpHost = "localhost";
    int smtpPort = 25;
    bool implicitTls = false;
    bool startTls = false;
    std::string login, password, loginDomain, authMethod, heloHost;
    std::string dsnNotify, dsnEnvid, dsnRet;
    int connectTimeoutSeconds = 30;
    int readTimeoutSeconds = 30;
    // The whole send (connect, login, transaction) ends by then; 0: no limit
    // beyond the per-step ones.
    int sendTimeoutSeconds = 0;
    // Certificates: refuse every unverifiable one; the fingerprint accepted
    // before for this server ("" for none); extra trusted roots.
    bool requireVerifiedCertificate = false;
    std::string certificatePin;
    std::string caFile;
    bool allOrNone = false;
    bool newMessageId = true;
    std::string sentLogPath;
};

// The host stored by SetSmtpHost: lower case, without the first "http://"
// and then the first "https://", without any "/".
std::string normaliseSmtpHost(std::string_view host);

// Masks the password (as sent by AUTH PLAIN, in base64, and in clear) in
// a rendered log.
std::string redactSecrets(std::string text, const std::string& login, const std::string& password);

class MailSenderImpl : public ImplBase {
public:
    MailSenderImpl();
    ~MailSenderImpl() override;

    MailSenderSettings& settings() { return settings_; }
    const MailSenderSettings& settings() const { return settings_; }
    void setSmtpHost(const XString& host) { settings_.smtpHost = normaliseSmtpHost(host.getUtf8()); }

    // message may be null (false, log untouched).
    bool sendEmail(MailMessageImpl* message, ProgressEvent* events);

    // The log of the last call with every form of the password masked.
    std::string logXml();
    std::string logText();

    // Trimmed path; blank gives false. Leaves the log as it is.
    bool saveErrorLogXml(const std::string& path);

    int lastSmtpStatus() const { return lastReplyCode_; }
    // The fingerprint of an unverifiable certificate that the last send
    // accepted on first use ("" when none): the owner keeps it.
    const std::string& acceptedCertificatePin() const { return acceptedPin_; }
    // Why the last send failed, in a sentence for the user, for the
    // failures that need the user to act; "" otherwise.
    const std::string& failureText() const { return failureText_; }
    // The session's step that failed and the server's answer there (or why
    // there was none); "" after a send that worked.
    // The recipients the server took in the last send.
    int numAccepted() const { return accepted_; }
    const std::string& failedStep() const;
    const std::string& failedReply() const;
    const std::vector<std::string>& refused() const { return refused_; }

private:
    MailSenderSettings settings_;
    std::unique_ptr<SmtpConnImpl> smtp_;
    std::vector<std::string> refused_;
    int lastReplyCode_ = 0;
    std::string acceptedPin_, failureText_;
    int accepted_ = 0;
    void noteFailure();
};

}  // namespace zelmar::mail
