// The application's SMTP client: settings, one send, and the log of the
// last call.
#pragma once

#include "mail/facade/mail_message.h"
#include "net/transfer_result.h"

namespace zelmar::mail {

// Optional event sink for a send: progress and the abort question.
class MailSenderCallback {
public:
    virtual ~MailSenderCallback();
    // Percentage of the send done so far; set abort to stop the send.
    virtual void SendPercentDone(long percentDone, bool& abort);
    // Asked between steps and while waiting; set abort to stop.
    virtual void AbortCheck(bool& abort);
};

class MailSender : public FacadeObject {
public:
    MailSender();
    ~MailSender() override;

    // Stored lower-cased, without one "http://", one "https://" and every "/".
    void SetSmtpHost(const char* host);
    const char* SmtpHost();
    void SetSmtpPort(int port);
    int SmtpPort() const;
    void SetSmtpUsername(const char* login);
    void SetSmtpPassword(const char* password);
    // Implicit TLS from the first byte.
    void SetSmtpSsl(bool on);
    bool SmtpSsl() const;
    // Upgrade with STARTTLS after the greeting. With both on, port 465 uses
    // implicit TLS and any other port STARTTLS.
    void SetStartTls(bool on);
    bool StartTls() const;
    // The connect, and each reply, may take this long.
    void SetConnectTimeout(int seconds);
    void SetReadTimeout(int seconds);
    // The whole send ends within this many seconds (0: no overall limit).
    void SetSendTimeout(int seconds);
    // Server certificates: with on, one that cannot be verified is refused.
    // Otherwise an unverifiable one is accepted when it has the fingerprint
    // given here (the one accepted before for this server and port), or on
    // first use when none is given; AcceptedCertificatePin then returns its
    // fingerprint to keep. A CA file adds trusted roots.
    void SetRequireVerifiedCertificate(bool on);
    void SetCertificatePin(const char* sha256Hex);
    void SetCaFile(const char* path);
    const char* AcceptedCertificatePin();
    // A sentence on why the last send failed, for failures the user must
    // act on (a changed certificate, no STARTTLS, an address the server
    // cannot take); "" otherwise.
    const char* FailureText();
    void SetHeloHostname(const char* name);
    void SetAuthMethod(const char* mechanism);
    void SetLoginDomain(const char* domain);
    void SetAllOrNone(bool on);
    void SetSentLogPath(const char* path);

    void SetEventCallback(MailSenderCallback* sink) { sink_ = sink; }

    bool SendEmail(MailMessage* message);
    // SendEmail, with its outcome as a transfer result: the server's last
    // status code when one answered.
    TransferResult Send(MailMessage* message);

    // Writes the log of the last call as XML; a blank path gives false.
    bool SaveErrorLogXml(const char* path);
    const char* LastErrorXml();
    const char* LastErrorText();
    int LastSmtpStatus() const;

    // The recipients the server took in the last send (0 when it failed).
    int NumAccepted() const;
    // The addresses the server refused in the last send.
    int NumRefused() const;
    const char* RefusedAddress(int index);

    MailSenderImpl* Impl() const { return impl_; }

private:
    const char* Slot(int index, const char* utf8, unsigned long length);

    MailSenderImpl* impl_ = nullptr;
    MailSenderCallback* sink_ = nullptr;
    MailString results_[10];
};

}  // namespace zelmar::mail
