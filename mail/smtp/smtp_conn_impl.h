// The client side of one SMTP conversation (RFC 5321): connect or reuse,
// greeting, optional TLS (implicit or STARTTLS), EHLO or HELO, login, one
// mail transaction per message, QUIT at the end. Every step is told in the
// operation log; the transcript keeps the commands and replies, with login
// secrets masked.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mail/base/log_base.h"
#include "mail/base/progress_monitor.h"
#include "mail/net/socket2.h"
#include "mail/smtp/smtp_auth.h"

namespace zelmar::mail {

// What one transaction needs of a message. The message object of the mail
// component is bridged to this by an adapter (the facade's), so that the
// session does not depend on how messages are built.
class SmtpMessage {
public:
    virtual ~SmtpMessage();
    // Bare addresses of the To, Cc and Bcc lists.
    virtual std::vector<std::string> toAddresses() const = 0;
    virtual std::vector<std::string> ccAddresses() const = 0;
    virtual std::vector<std::string> bccAddresses() const = 0;
    virtual std::string subject() const = 0;
    // Gives the message a fresh Message-ID (before rendering), with the
    // name the session announced itself by on its right side.
    virtual void newMessageId(std::string_view host) = 0;
    // The MIME text with CRLF line ends, leaving out every header whose
    // name begins with skipPrefix.
    virtual std::string renderMime(std::string_view skipPrefix) = 0;
};

// A message already rendered: the envelope and the MIME text.
class RenderedMessage final : public SmtpMessage {
public:
    std::vector<std::string> to, cc, bcc;
    std::string subjectText;
    std::string mime;
    int newMessageIdCalls = 0;

    std::vector<std::string> toAddresses() const override { return to; }
    std::vector<std::string> ccAddresses() const override { return cc; }
    std::vector<std::string> bccAddresses() const override { return bcc; }
    std::string subject() const override { return subjectText; }
    std::string messageIdHost;
    void newMessageId(std::string_view host) override {
        ++newMessageIdCalls;
        messageIdHost = host;
    }
    std::string renderMime(std::string_view) override { return mime; }
};

// Delivery-status-notification parameters (used when the server lists DSN).
struct DsnOptions {
    std::string notify, envid, ret;
};

// Failures the owner tells the user about in words of their own, beyond
// the log.
enum class SmtpFailure {
    None,
    StartTlsNotOffered,   // secure SMTP asked for, the server offers no STARTTLS
    NeedsSmtpUtf8,        // an address with a non-ASCII local part, no SMTPUTF8
    UnsafeAddress,        // an envelope address that cannot go on the wire
};

// What one sendMail reports besides its result.
struct SendOutcome {
    int accepted = 0;
    int attempted = 0;
    bool connectionFailed = false;
    bool timedOut = false;
    bool aborted = false;
    bool serverLimit = false;
    std::vector<std::string> refused;
};

class SmtpConnImpl : public PackageExchange {
public:
    static constexpr int kPieceSize = 4096;
    static constexpr std::size_t kMaxReplyLine = 16 * 1024;
    static constexpr int kMaxReplyLines = 1000;
    static constexpr std::size_t kTranscriptCommandMax = 2500;

    SmtpConnImpl();
    ~SmtpConnImpl() override;
    SmtpConnImpl(const SmtpConnImpl&) = delete;
    SmtpConnImpl& operator=(const SmtpConnImpl&) = delete;

    // Options, set by the owner before connecting.
    void setImplicitTls(bool on) { tlsInUse_ = on; implicitTls_ = on; }
    void setStartTls(bool on) { starttls_ = on; }
    void setAllOrNone(bool on) { allOrNone_ = on; }
    void setDsn(DsnOptions d);
    void setHeloName(std::string name) { heloName_ = std::move(name); }
    // No reply is awaited past this moment (the whole send's deadline);
    // max() for none. Each reply still has the read timeout of its own.
    void setOverallDeadline(SteadyClock::time_point deadline) { overallDeadline_ = deadline; }

    // Reuses the open connection (after RSET) when every parameter matches,
    // else opens one: greeting, TLS, hello, login. A null login or password
    // means "not given".
    bool connectSmtp(const std::string& host, int port, const std::string* login, const std::string* password,
                     const std::string& loginDomain, const std::string& forcedMechanism, int connectTimeoutSeconds,
                     int readTimeoutMs, const ClientCert* clientCert, LogBase& log, ProgressMonitor* pm,
                     bool& timedOut, bool& aborted);
    // One mail transaction. preRendered, when given, is sent instead of the
    // rendered message; sentLogPath, when not empty, receives a copy.
    bool sendMail(SmtpMessage* message, const std::string& reversePath, const std::string* preRendered,
                  const std::string& sentLogPath, LogBase& log, ProgressMonitor* pm, SendOutcome& outcome,
                  bool newMessageId = true);
    void closeConnection();

    // PackageExchange: carries login tokens to the server and back.
    bool exchangePackage(std::string& outToken, const std::string& inToken, LogBase& log) override;
    bool sendFinal(const std::string& token, LogBase& log) override;

    const std::string& transcript() const { return transcript_; }
    int lastReplyCode() const { return lastReplyCode_; }
    bool dsn() const { return dsn_; }
    bool startTlsOffered() const { return startTlsOffered_; }
    bool smtpUtf8() const { return smtpUtf8_; }
    SmtpFailure failure() const { return failure_; }
    const std::string& failureSubject() const { return failureSubject_; }
    // The step of the session that failed last ("connect", "greeting",
    // "EHLO", "HELO", "STARTTLS", "login", "MAIL FROM", "RCPT TO", "DATA",
    // "message") and what the server answered there, or why there was no
    // answer; both "" until a step failed.
    const std::string& failedStep() const { return failedStep_; }
    const std::string& failedReply() const { return failedReply_; }
    void clearFailedStep() {
        failedStep_.clear();
        failedReply_.clear();
    }
    bool tlsInUse() const { return tlsInUse_; }
    bool isClosed() const { return closed_; }
    bool isConnected() const { return conn_.isConnected(); }
    const AuthFlags& authFlags() const { return auth_; }
    Socket2& connection() { return conn_; }
    // The transcript form of a command: AUTH PLAIN's payload masked, at
    // most 2500 bytes.
    static std::string transcriptForm(std::string_view command);

    // Login mechanisms (see smtp_auth.cpp).
    bool authLogin(const std::string& login, const std::string& password, LogBase& log, ProgressMonitor* pm,
                   bool& timedOut, bool& aborted);
    bool authPlain(const std::string& login, const std::string& password, LogBase& log, ProgressMonitor* pm,
                   bool& timedOut, bool& aborted);
    bool authCramMd5(const std::string& login, const std::string& password, LogBase& log, ProgressMonitor* pm,
                     bool& timedOut, bool& aborted);
    bool authNtlm(const std::string& login, const std::string& password, const std::string& domain, LogBase& log,
                  ProgressMonitor* pm, bool& timedOut, bool& aborted, bool& tryLoginInstead);
    bool authMsn(const std::string& login, const std::string& password, const std::string& domain, LogBase& log,
                 ProgressMonitor* pm, bool& timedOut, bool& aborted, bool& tryLoginInstead);

private:
    friend class SmtpAuthAccess;
    bool openConnection(const std::string& host, int port, const std::string* login, const std::string* password,
                        const std::string& domain, std::string forced, int connectTimeoutSeconds,
                        const ClientCert* clientCert, LogBase& log, ProgressMonitor* pm, bool& timedOut,
                        bool& aborted);
    bool startTls(const std::string& host, const char* banner, LogBase& log, ProgressMonitor* pm, bool& timedOut,
                  bool& aborted);
    bool ehlo(LogBase& log, ProgressMonitor* pm, bool& timedOut, bool& aborted);
    bool chooseAndLogin(const std::string& login, const std::string& password, const std::string& domain,
                        std::string forced, bool afterHelo, LogBase& log, ProgressMonitor* pm, bool& timedOut,
                        bool& aborted);
    std::string helloName(LogBase& log);

    bool sendCommand(std::string_view text, LogBase& log, ProgressMonitor* pm);
    bool sendRaw(std::string_view text, LogBase& log, ProgressMonitor* pm);
    // One line with its CRLF; an incomplete line fails.
    bool readLine(std::string& line, SteadyClock::time_point deadline, LogBase& log, ProgressMonitor* pm,
                  bool& timedOut, bool& aborted);
    bool readReplyLine(int expected, LogBase& log, ProgressMonitor* pm, bool& timedOut, bool& aborted,
                       std::string* lineOut = nullptr);
    bool readReply(int expected, LogBase& log, ProgressMonitor* pm, bool& timedOut, bool& aborted);
    bool readReplyCollect(int expected, std::string& out, LogBase& log, ProgressMonitor* pm, bool& timedOut,
                          bool& aborted);
    bool readReplyLogged(int expected, int& code, std::string& text, LogBase& log, ProgressMonitor* pm,
                         bool& timedOut, bool& aborted);
    bool command(std::string_view text, int expected, LogBase& log, ProgressMonitor* pm, bool& timedOut,
                 bool& aborted, int* codeOut = nullptr, std::string* replyOut = nullptr);
    void logTranscript(LogBase& log);
    // Says QUIT (a short wait for the answer) and closes.
    void quitAndClose();
    SteadyClock::time_point replyDeadline() const;

    Socket2 conn_;
    std::string transcript_;
    std::string host_;
    int port_ = 25;
    std::string login_, password_, domain_;
    bool tlsInUse_ = false;
    bool implicitTls_ = false;
    bool starttls_ = false;
    bool allOrNone_ = false;
    bool closed_ = false;
    int heartbeatMs_ = 0;
    int readTimeoutMs_ = 30000;
    int lastReplyCode_ = 0;
    bool dsn_ = false;
    DsnOptions dsnOptions_;
    std::string heloName_;
    std::string announcedName_ = "localhost";  // the name of the last EHLO/HELO
    AuthFlags auth_;
    bool commandSent_ = false;
    bool startTlsOffered_ = false;
    bool smtpUtf8_ = false;
    SteadyClock::time_point overallDeadline_ = SteadyClock::time_point::max();
    SmtpFailure failure_ = SmtpFailure::None;
    std::string failureSubject_;
    // Keeps the server's last refusal (or the missing answer) with the step
    // it refused; the QUIT at the end never counts.
    void noteRefusal(std::string_view reply);
    void noteNoReply(bool timedOut);
    std::string step_ = "connect";
    std::string failedStep_;
    std::string failedReply_;
    bool quitting_ = false;
    static constexpr int kQuitWaitMs = 2000;
};

}  // namespace zelmar::mail
