#include "mail/smtp/smtp_conn_impl.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "mail/base/string_buffer.h"
#include "mail/mime/address_parser.h"

namespace zelmar::mail {

namespace {

// Domains the session treats specially; both lists are empty here.
constexpr std::string_view kRefusedHostDomains[] = {""};
constexpr std::string_view kStartTlsAfterEhloDomains[] = {""};

bool containsAnyOf(std::string_view text, const std::string_view (&list)[1]) {
    for (std::string_view d : list)
        if (!d.empty() && containsNoCase(text, d)) return true;
    return false;
}

// The reply code of a line: the first three characters as a number, -1
// when they are not three digits.
int parseCode(std::string_view line) {
    if (line.size() < 3) return -1;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9') return -1;
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

std::string_view withoutEol(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

// A host name with a domain: at least one inner dot, and not one of the
// loopback names a machine without a domain reports.
bool isFullyQualified(std::string_view name) {
    const std::size_t dot = name.find('.');
    return dot != std::string_view::npos && dot > 0 && dot + 1 < name.size() && !startsWithNoCase(name, "localhost");
}

// A line that ends its reply: no "-" after the code (a bare "250" too).
bool isFinalLine(std::string_view line) {
    line = withoutEol(line);
    return line.size() <= 3 || line[3] != '-';
}

}  // namespace

SmtpMessage::~SmtpMessage() = default;

SmtpConnImpl::SmtpConnImpl() = default;

SmtpConnImpl::~SmtpConnImpl() {
    if (!closed_) quitAndClose();
    conn_.close();
}

void SmtpConnImpl::quitAndClose() {
    if (conn_.isConnected()) {
        LogNull quiet;
        bool timedOut = false, aborted = false;
        // A short wait, even past the send's deadline: nothing depends on
        // the answer.
        const int keepRead = readTimeoutMs_;
        const auto keepDeadline = overallDeadline_;
        readTimeoutMs_ = std::min(readTimeoutMs_, kQuitWaitMs);
        overallDeadline_ = SteadyClock::time_point::max();
        quitting_ = true;
        if (sendRaw("QUIT\r\n", quiet, nullptr)) readReplyLine(221, quiet, nullptr, timedOut, aborted);
        quitting_ = false;
        readTimeoutMs_ = keepRead;
        overallDeadline_ = keepDeadline;
    }
    conn_.close();
}

void SmtpConnImpl::setDsn(DsnOptions d) {
    dsnOptions_.notify = std::string(trimView(d.notify));
    dsnOptions_.envid = std::string(trimView(d.envid));
    dsnOptions_.ret = std::string(trimView(d.ret));
}

SteadyClock::time_point SmtpConnImpl::replyDeadline() const {
    return std::min(SteadyClock::now() + std::chrono::milliseconds(readTimeoutMs_), overallDeadline_);
}

std::string SmtpConnImpl::transcriptForm(std::string_view command) {
    std::string text;
    // The AUTH PLAIN payload is the password in base64: the transcript goes
    // into the saved operation log, so it never carries the payload.
    if (startsWithNoCase(command, "AUTH PLAIN ")) {
        text = std::string(command.substr(0, 11)) + "****";
        if (command.size() >= 2 && command.substr(command.size() - 2) == "\r\n") text += "\r\n";
        return text;
    }
    if (command.size() > kTranscriptCommandMax) {
        text.assign(command.substr(0, kTranscriptCommandMax));
        text += "\n...\n";
        return text;
    }
    return std::string(command);
}

bool SmtpConnImpl::sendCommand(std::string_view text, LogBase& log, ProgressMonitor* pm) {
    transcript_ += transcriptForm(text);
    return sendRaw(text, log, pm);
}

bool SmtpConnImpl::sendRaw(std::string_view text, LogBase& log, ProgressMonitor* pm) {
    // One write per command (TCP_NODELAY is set on connect): no delayed reply.
    return conn_.sendBytes(text.data(), text.size(), log, pm, heartbeatMs_);
}

bool SmtpConnImpl::readLine(std::string& line, SteadyClock::time_point deadline, LogBase& log, ProgressMonitor* pm,
                            bool& timedOut, bool& aborted) {
    const bool ok = conn_.readUntilMatch(line, "\r\n", deadline, log, pm, heartbeatMs_, timedOut, aborted, kMaxReplyLine);
    transcript_ += line;
    return ok;
}

bool SmtpConnImpl::readReplyLine(int expected, LogBase& log, ProgressMonitor* pm, bool& timedOut, bool& aborted,
                                 std::string* lineOut) {
    lastReplyCode_ = 0;
    std::string line;
    if (!readLine(line, replyDeadline(), log, pm, timedOut, aborted)) {
        noteNoReply(timedOut);
        return false;
    }
    if (lineOut) *lineOut = line;
    const int code = parseCode(line);
    if (code >= 0) lastReplyCode_ = code;
    if (code != expected) noteRefusal(line);
    return code == expected;
}

void SmtpConnImpl::noteRefusal(std::string_view reply) {
    if (quitting_) return;
    std::string_view text = trimView(reply);
    // Of a reply of several lines, the last says what was refused.
    if (const auto at = text.find_last_of('\n'); at != std::string_view::npos) text = trimView(text.substr(at + 1));
    failedStep_ = step_;
    failedReply_.assign(text.substr(0, 256));
}

void SmtpConnImpl::noteNoReply(bool timedOut) {
    if (quitting_) return;
    failedStep_ = step_;
    failedReply_ = timedOut ? "no answer within the time-out" : "the connection was closed without an answer";
}

bool SmtpConnImpl::readReply(int expected, LogBase& log, ProgressMonitor* pm, bool& timedOut, bool& aborted) {
    lastReplyCode_ = 0;
    const auto deadline = replyDeadline();
    std::string line;
    for (int n = 0; n < kMaxReplyLines; ++n) {
        if (!readLine(line, deadline, log, pm, timedOut, aborted)) {
            noteNoReply(timedOut);
            return false;
        }
        const std::string_view body = withoutEol(line);
        if (body.size() >= 7 && equalsNoCase(body.substr(4, 3), "DSN")) dsn_ = true;
        if (isFinalLine(line)) {
            const int code = parseCode(body);
            if (code >= 0) lastReplyCode_ = code;
            if (body.size() > 3 && code == expected) return true;
            noteRefusal(line);
            log.logError(std::string(trimView(line)).c_str());
            return false;
        }
    }
    log.logError("Too many reply lines");
    return false;
}

bool SmtpConnImpl::readReplyCollect(int expected, std::string& out, LogBase& log, ProgressMonitor* pm,
                                    bool& timedOut, bool& aborted) {
    int code = 0;
    return readReplyLogged(expected, code, out, log, pm, timedOut, aborted);
}

bool SmtpConnImpl::readReplyLogged(int expected, int& code, std::string& text, LogBase& log, ProgressMonitor* pm,
                                   bool& timedOut, bool& aborted) {
    code = -1;
    lastReplyCode_ = 0;
    const auto deadline = replyDeadline();
    std::string line;
    for (int n = 0; n < kMaxReplyLines; ++n) {
        if (!readLine(line, deadline, log, pm, timedOut, aborted)) {
            noteNoReply(timedOut);
            if (aborted) log.logError("Application aborted SMTP operation prior to receiving response.");
            else if (timedOut) log.logError("ReadTimeout expired, abandoning attempt to retrieve SMTP response.");
            else log.logError("Failed to get SMTP command response...");
            return false;
        }
        text += line;
        const std::string_view body = withoutEol(line);
        if (body.size() < 3) {
            log.logError(("Unrecognized response from SMTP server" + std::string(body)).c_str());
            return false;
        }
        if (body.size() >= 7 && equalsNoCase(body.substr(4, 3), "DSN")) dsn_ = true;
        if (!isFinalLine(line)) continue;
        code = parseCode(body);
        if (code < 0) {
            code = -2;
            log.logError(std::string(trimView(text)).c_str());
            return false;
        }
        lastReplyCode_ = code;
        if (code != expected) {
            noteRefusal(text);
            log.logError(std::string(trimView(text)).c_str());
            return false;
        }
        return true;
    }
    log.logError("Too many reply lines");
    return false;
}

bool SmtpConnImpl::command(std::string_view text, int expected, LogBase& log, ProgressMonitor* pm, bool& timedOut,
                           bool& aborted, int* codeOut, std::string* replyOut) {
    timedOut = aborted = false;
    commandSent_ = false;
    if (codeOut) *codeOut = -1;
    if (!sendCommand(text, log, pm)) return false;
    commandSent_ = true;
    if (text == "\r\n.\r\n") log.logInfo("Sent DATA terminator");
    int code = -1;
    std::string reply;
    const bool ok = readReplyLogged(expected, code, reply, log, pm, timedOut, aborted);
    if (codeOut) *codeOut = code;
    if (replyOut) *replyOut = std::move(reply);
    return ok;
}

void SmtpConnImpl::logTranscript(LogBase& log) { log.logInfo(transcript_.c_str()); }

void SmtpConnImpl::closeConnection() {
    LogNull quiet;
    conn_.closeTls(quiet);
    host_.clear();
    port_ = 25;
    login_.clear();
    password_.clear();
    domain_.clear();
    tlsInUse_ = false;
    implicitTls_ = false;
    starttls_ = false;
    closed_ = true;
}

std::string SmtpConnImpl::helloName(LogBase& log) {
    (void)log;
    if (!heloName_.empty()) return announcedName_ = heloName_;
    // RFC 5321 4.1.4: the fully qualified name, or else an address literal;
    // servers that check HELO refuse a bare host name such as "vm".
    std::string name;
    LogNull quiet;
    if (localHostName(name, quiet) && isFullyQualified(name)) return announcedName_ = name;
    const std::string local = conn_.localAddress();
    return announcedName_ = local.empty() ? std::string("localhost") : "[" + local + "]";
}

bool SmtpConnImpl::connectSmtp(const std::string& hostIn, int port, const std::string* loginIn,
                               const std::string* passwordIn, const std::string& domainIn,
                               const std::string& forcedMechanism, int connectTimeoutSeconds, int readTimeoutMs,
                               const ClientCert* clientCert, LogBase& log, ProgressMonitor* pm, bool& timedOut,
                               bool& aborted) {
    timedOut = aborted = false;
    failure_ = SmtpFailure::None;
    clearFailedStep();
    step_ = "connect";
    readTimeoutMs_ = readTimeoutMs <= 0 ? 21600000 : readTimeoutMs;
    const std::string host = toLowerCopy(trimView(hostIn));
    const std::string login = loginIn ? std::string(trimView(*loginIn)) : std::string();
    // The password is used exactly as stored: blanks at either end are part
    // of it (a login name has none that matter).
    const std::string password = passwordIn ? *passwordIn : std::string();
    const std::string domain(trimView(domainIn));

    if (!host_.empty() && host == host_ && port == port_ && login == login_ && password == password_ &&
        domain == domain_) {
        const bool wantTls = implicitTls_ || starttls_;
        bool alive = wantTls ? conn_.usingTls() && conn_.channel().isConnected() : conn_.isConnected();
        if (!alive) {
            log.logInfo(wantTls ? "No secure connection, need new SMTP connection."
                                : "No connection, need new SMTP connection.");
        } else {
            conn_.setReadTimeout(readTimeoutMs_);
            if (command("RSET\r\n", 250, log, pm, timedOut, aborted)) {
                log.logInfo("Using existing/open SMTP connection to send email.");
                return true;
            }
            log.logError("RSET failed.");
            conn_.closeTls(log);
        }
    } else if (conn_.isConnected()) {
        log.logInfo("Need new SMTP connection");
        conn_.close();
    }
    const bool implicit = implicitTls_;
    const bool start = starttls_;
    const bool ok = openConnection(host, port, loginIn, passwordIn, domain, forcedMechanism, connectTimeoutSeconds,
                                   clientCert, log, pm, timedOut, aborted);
    if (!ok) {
        // Keep the options; a failed open remembers no connection.
        host_.clear();
        implicitTls_ = implicit;
        tlsInUse_ = implicit;
        starttls_ = start;
    }
    return ok;
}

bool SmtpConnImpl::openConnection(const std::string& host, int port, const std::string* loginIn,
                                  const std::string* passwordIn, const std::string& domain, std::string forced,
                                  int connectTimeoutSeconds, const ClientCert* clientCert, LogBase& log,
                                  ProgressMonitor* pm, bool& timedOut, bool& aborted) {
    LogContextGuard context(log, "SMTP_Connect");
    transcript_.clear();
    closed_ = false;
    dsn_ = false;
    auth_.clear();
    conn_.close();
    tlsInUse_ = implicitTls_;

    std::string login, password;
    bool missing = false, empty = false;
    if (!loginIn) { log.logInfo("No SMTP login provided."); missing = true; }
    else if (trimView(*loginIn).empty()) { log.logInfo("No SMTP login provided.."); empty = true; }
    if (!passwordIn) { log.logInfo("No SMTP password provided."); missing = true; }
    else if (trimView(*passwordIn).empty()) { log.logInfo("No SMTP password provided.."); empty = true; }
    if (missing) log.logInfo("Skipping SMTP authentication because no login/password provided.");
    else if (empty) log.logInfo("Skipping SMTP authentication because no login/password provided..");
    if (missing || empty) {
        forced = "NONE";
    } else {
        login = std::string(trimView(*loginIn));
        password = *passwordIn;
    }

    if (host.empty()) {
        log.logError("No hostname");
        return false;
    }
    char banner[600];
    std::snprintf(banner, sizeof banner, "Connecting to SMTP server %s:%d", host.c_str(), port);
    log.logInfo(banner);
    log.logData("smtp_host", host.c_str());
    log.logDataLong("smtp_port", port);
    if (!domain.empty()) log.logData("domain", domain.c_str());
    log.logData("smtp_user", login.empty() ? "NULL" : login.c_str());
    if (!forced.empty()) log.logData("trying-auth-method", forced.c_str());
    if (containsAnyOf(host, kRefusedHostDomains)) {
        log.logError("SMTP protocol failure: this host is not served");
        return false;
    }

    // The connect may not outlast the send as a whole.
    if (overallDeadline_ != SteadyClock::time_point::max()) {
        const auto left = std::chrono::ceil<std::chrono::seconds>(overallDeadline_ - SteadyClock::now()).count();
        connectTimeoutSeconds = static_cast<int>(std::clamp<long long>(left, 1, std::max(connectTimeoutSeconds, 1)));
    }
    conn_.setConnectTimeout(connectTimeoutSeconds);
    conn_.setReadTimeout(readTimeoutMs_);
    if (tlsInUse_) {
        if (!conn_.connectTls(host, port, log, pm, heartbeatMs_, timedOut, clientCert)) {
            log.logError("Failed to connect to secure SMTP (1)");
            failedStep_ = step_;
            failedReply_ = conn_.channel().socket().connectProblem();
            if (failedReply_.empty()) failedReply_ = "the TLS handshake failed";
            return false;
        }
    } else if (!conn_.connectPlain(host, port, log, pm, heartbeatMs_, timedOut)) {
        log.logError("Failed to connect (1)");
        failedStep_ = step_;
        failedReply_ = conn_.plain().connectProblem();
        return false;
    }
    step_ = "greeting";

    std::string greeting;
    if (!readReplyCollect(220, greeting, log, pm, timedOut, aborted)) {
        log.logError("Failed to get initial SMTP response..");
        log.logError("The SMTP server may be denying access for this domain.");
        conn_.close();
        return false;
    }
    log.logData("InitialResponse", greeting.c_str());

    // Greeted from here on: every way out says QUIT first (a server logs a
    // client that just drops the line, after a failed login say, as lost).
    step_ = "EHLO";
    bool ehloOk = ehlo(log, pm, timedOut, aborted);
    if (starttls_ && !tlsInUse_) {
        // RFC 3207: STARTTLS only after EHLO and only when offered, then
        // EHLO again, since what the server offers may change under TLS.
        // Without it nothing is sent, least of all a login.
        if (!ehloOk || !startTlsOffered_) {
            log.logError("The SMTP server does not offer STARTTLS; nothing was sent.");
            failure_ = SmtpFailure::StartTlsNotOffered;
            quitAndClose();
            return false;
        }
        if (!startTls(host, "Sending STARTTLS (1)...", log, pm, timedOut, aborted)) {
            // A refused STARTTLS leaves the plain session to say QUIT on; a
            // failed handshake has already closed the socket.
            quitAndClose();
            return false;
        }
        step_ = "EHLO";
        ehloOk = ehlo(log, pm, timedOut, aborted);
        if (!ehloOk) {
            log.logError("EHLO after STARTTLS failed");
            quitAndClose();
            return false;
        }
    }
    if (ehloOk) {
        if (!chooseAndLogin(login, password, domain, forced, false, log, pm, timedOut, aborted)) {
            quitAndClose();
            return false;
        }
        std::snprintf(banner, sizeof banner, "CONNECTED to ESMTP server %s:%d", host.c_str(), port);
        log.logInfo(banner);
    } else {
        if (!conn_.isConnected()) {
            log.logError("Failed to send Hello");
            return false;
        }
        log.logError("EHLO failed, sending HELO...");
        step_ = "HELO";
        std::string heloReply;
        const std::string name = helloName(log);
        if (!sendRaw("HELO " + name + "\r\n", log, pm)) {
            log.logError("Failed to send Hello");
            quitAndClose();
            return false;
        }
        if (!readReplyLine(250, log, pm, timedOut, aborted, &heloReply)) {
            log.logError("Failed to get response to Hello (HELO)");
            if (!sendRaw("HELO " + host + "\r\n", log, pm) || !readReply(250, log, pm, timedOut, aborted)) {
                log.logError("Failed to get response to 2nd-try Hello (HELO)");
                quitAndClose();
                return false;
            }
        }
        log.logData("HeloResponse", heloReply.c_str());
        if (!chooseAndLogin(login, password, domain, forced, true, log, pm, timedOut, aborted)) {
            quitAndClose();
            return false;
        }
        std::snprintf(banner, sizeof banner, "CONNECTED to SMTP server %s:%d", host.c_str(), port);
        log.logInfo(banner);
    }
    host_ = host;
    port_ = port;
    login_ = loginIn ? std::string(trimView(*loginIn)) : std::string();
    password_ = passwordIn ? *passwordIn : std::string();
    domain_ = domain;
    return true;
}

bool SmtpConnImpl::startTls(const std::string& host, const char* banner, LogBase& log, ProgressMonitor* pm,
                            bool& timedOut, bool& aborted) {
    log.logInfo(banner);
    step_ = "STARTTLS";
    if (!sendRaw("STARTTLS\r\n", log, pm)) {
        log.logError("Failed to send STARTTLS");
        return false;
    }
    if (!readReplyLine(220, log, pm, timedOut, aborted)) {
        if (lastReplyCode_ != 503) {
            log.logError("Failed to receive STARTTLS response");
            return false;
        }
        // Some servers want a hello first.
        log.logInfo("Received 503 SMTP Status...");
        const std::string name = helloName(log);
        if (!sendRaw("EHLO " + name + "\r\n", log, pm)) {
            log.logError("Failed to send Hello (EHLO)");
            log.logData("hostname", name.c_str());
            return false;
        }
        std::string reply;
        if (!readReplyCollect(250, reply, log, pm, timedOut, aborted)) {
            log.logError("Failed to get EHLO response (2)");
            return false;
        }
        log.logInfo("Resending STARTTLS...");
        if (!sendRaw("STARTTLS\r\n", log, pm)) {
            log.logError("Failed to send STARTTLS (2)");
            return false;
        }
        if (!readReplyLine(220, log, pm, timedOut, aborted)) {
            log.logError("Failed to receive STARTTLS response (2)");
            return false;
        }
    }
    conn_.channel().setProtocol("default");
    if (!conn_.upgradeToTls(host, log, pm, heartbeatMs_, timedOut)) {
        log.logError("Failed to establish TLS connection.");
        return false;
    }
    log.logInfo("TLS connection established.");
    tlsInUse_ = true;
    return true;
}

bool SmtpConnImpl::ehlo(LogBase& log, ProgressMonitor* pm, bool& timedOut, bool& aborted) {
    const std::string name = helloName(log);
    log.logData("sendingHello", ("EHLO " + name).c_str());
    if (!sendRaw("EHLO " + name + "\r\n", log, pm)) {
        log.logError("Failed to send Hello (EHLO)");
        log.logData("hostname", name.c_str());
        return false;
    }
    auth_.clear();
    startTlsOffered_ = false;
    smtpUtf8_ = false;
    std::string collected;
    bool ok = false;
    const auto deadline = replyDeadline();
    for (int n = 0; n < kMaxReplyLines; ++n) {
        std::string line;
        lastReplyCode_ = 0;
        if (!readLine(line, deadline, log, pm, timedOut, aborted)) break;
        collected += line;
        const int code = parseCode(line);
        if (code >= 0) lastReplyCode_ = code;
        if (code != 250) break;
        const std::string_view body = withoutEol(line);
        const std::string_view keyword = body.size() > 4 ? body.substr(4) : std::string_view();
        if (startsWithNoCase(keyword, "DSN")) dsn_ = true;
        if (startsWithNoCase(keyword, "AUTH ")) auth_.setFromAuthLine(keyword);
        if (equalsNoCase(trimView(keyword), "STARTTLS")) startTlsOffered_ = true;
        if (equalsNoCase(trimView(keyword), "SMTPUTF8")) smtpUtf8_ = true;
        // RFC 5321 allows a last line of just "250": it ends the reply too.
        if (body.size() == 3 || body[3] == ' ') {
            ok = true;
            break;
        }
    }
    log.logData("helloResponse", collected.c_str());
    return ok;
}

bool SmtpConnImpl::sendMail(SmtpMessage* message, const std::string& reversePath, const std::string* preRendered,
                            const std::string& sentLogPath, LogBase& log, ProgressMonitor* pm, SendOutcome& out,
                            bool newMessageId) {
    out = SendOutcome{};
    if (!message) {
        log.logError("email argument to SmtpConnImpl is NULL");
        out.connectionFailed = true;
        return false;
    }
    if (newMessageId) message->newMessageId(announcedName_);
    if (abortRequested(pm)) {
        log.logError("Mail sending aborted by application");
        out.aborted = true;
        return false;
    }
    const std::vector<std::string> to = message->toAddresses();
    if (to.empty()) log.logInfo("Using undisclosed recipients");
    log.logData("subject", message->subject().c_str());
    log.logData("reversePath", reversePath.c_str());

    // Addresses go on the wire as they stand: none may hold what would end
    // the angle brackets or add a parameter, and UTF-8 goes only to a server
    // that said it reads it (RFC 6531).
    bool needsUtf8 = false;
    {
        std::vector<std::string> envelope = {reversePath};
        for (const auto& l : {to, message->ccAddresses(), message->bccAddresses()})
            envelope.insert(envelope.end(), l.begin(), l.end());
        for (const std::string& a : envelope) {
            if (!isSafeEnvelopeAddress(a)) {
                failure_ = SmtpFailure::UnsafeAddress;
                failureSubject_ = a;
                log.logError("An address holds a blank, an angle bracket or a control character; nothing was sent.");
                log.logData("address", a.c_str());
                return false;
            }
            if (!isAll7Bit(a)) {
                needsUtf8 = true;
                if (!smtpUtf8_ && failureSubject_.empty()) failureSubject_ = a;
            }
        }
        if (needsUtf8 && !smtpUtf8_) {
            failure_ = SmtpFailure::NeedsSmtpUtf8;
            log.logError("An address has non-ASCII characters before \"@\" and the server does not offer SMTPUTF8; "
                         "nothing was sent.");
            log.logData("address", failureSubject_.c_str());
            return false;
        }
        failureSubject_.clear();
    }

    std::string mailFrom = "MAIL FROM:<" + reversePath + ">";
    if (needsUtf8) mailFrom += " SMTPUTF8";
    if (dsn_) {
        if (!dsnOptions_.ret.empty()) mailFrom += " RET=" + dsnOptions_.ret;
        if (!dsnOptions_.envid.empty()) mailFrom += " ENVID=" + dsnOptions_.envid;
    }
    mailFrom += "\r\n";
    clearFailedStep();
    step_ = "MAIL FROM";
    int code = -1;
    std::string reply;
    if (!command(mailFrom, 250, log, pm, out.timedOut, out.aborted, &code, &reply)) {
        if (out.aborted) return false;
        log.logError(("Failed when sending MAIL FROM:<" + reversePath + ">").c_str());
        logTranscript(log);
        out.connectionFailed = true;
        if (code < 0) {
            closeConnection();
        } else if (code == 421 && containsNoCase(reply, "maximum allowed messages")) {
            closeConnection();
            out.serverLimit = true;
        }
        return false;
    }

    struct Kind {
        std::vector<std::string> list;
        const char* entry;
        const char* failPrefix;
    };
    const Kind kinds[] = {{to, "to", "Failed when sending RCPT TO:<"},
                          {message->ccAddresses(), "cc", "Failed when sending cc RCPT TO:<"},
                          {message->bccAddresses(), "bcc", "Failed when sending bcc RCPT TO:<"}};
    int refusedCount = 0;
    step_ = "RCPT TO";
    {
        LogContextGuard recipients(log, "recipients");
        bool stop = false;
        for (const Kind& kind : kinds) {
            for (const std::string& address : kind.list) {
                if (stop) break;
                if (address.empty()) continue;
                if (abortRequested(pm)) {
                    log.logError("Mail sending aborted by application");
                    out.aborted = true;
                    out.accepted = 0;
                    return false;
                }
                ++out.attempted;
                std::string rcpt = "RCPT TO:<" + address + ">";
                if (dsn_ && !dsnOptions_.notify.empty()) rcpt += " NOTIFY=" + dsnOptions_.notify;
                rcpt += "\r\n";
                if (command(rcpt, 250, log, pm, out.timedOut, out.aborted, &code)) {
                    log.logData(kind.entry, address.c_str());
                    ++out.accepted;
                    continue;
                }
                if (out.aborted) {
                    log.logError("Mail sending aborted by application");
                    out.accepted = 0;
                    return false;
                }
                ++refusedCount;
                log.logError((kind.failPrefix + address + ">").c_str());
                if (code < 0) {
                    out.accepted = 0;
                    closeConnection();
                    stop = true;
                    break;
                }
                log.logData("bad_address", address.c_str());
                out.refused.push_back(address);
            }
        }
    }
    if (out.accepted == 0) return false;
    if (refusedCount > 0) {
        if (allOrNone_) {
            log.logError("One or more RCPT TO commands failed.");
            return false;
        }
        char warning[160];
        std::snprintf(warning, sizeof warning,
                      "Warning: failed to send to %d recipient(s), continuing to send to %d recipient(s)",
                      refusedCount, out.accepted);
        log.logInfo(warning);
    }

    step_ = "DATA";
    if (!command("DATA\r\n", 354, log, pm, out.timedOut, out.aborted, &code)) {
        log.logError("Failed when sending DATA command");
        logTranscript(log);
        out.connectionFailed = true;
        if (code < 0) closeConnection();
        return false;
    }

    std::string body;
    body.reserve(50000);
    body = preRendered ? *preRendered : message->renderMime("ZMX-");
    // A line that begins with "." gets a second one (RFC 5321 4.5.2).
    std::string stuffed;
    stuffed.reserve(body.size() + body.size() / 64 + 8);
    for (std::size_t i = 0; i < body.size(); ++i) {
        stuffed.push_back(body[i]);
        if (body[i] == '\n' && i + 1 < body.size() && body[i + 1] == '.') stuffed.push_back('.');
    }
    // The end-of-data line starts with its own CRLF; a text that already
    // ends with one would otherwise arrive with an extra empty line.
    if (stuffed.size() >= 2 && stuffed.compare(stuffed.size() - 2, 2, "\r\n") == 0) stuffed.resize(stuffed.size() - 2);
    log.logDataLong("email_size", static_cast<std::int32_t>(stuffed.size()));
    if (!sendCommand(stuffed, log, pm)) {
        if (!abortRequested(pm)) {
            log.logError("Failed when sending email body");
            logTranscript(log);
            out.connectionFailed = true;
            closeConnection();
        } else {
            out.aborted = true;
        }
        return false;
    }

    step_ = "message";
    if (command("\r\n.\r\n", 250, log, pm, out.timedOut, out.aborted, &code)) {
        if (!sentLogPath.empty()) {
            std::ofstream f(sentLogPath, std::ios::binary | std::ios::app);
            f << "--BEGIN SENT EMAIL--\n" << stuffed << "\n--END SENT EMAIL--\n";
        }
        char done[64];
        std::snprintf(done, sizeof done, "Mail sent to %d recipient%s", out.accepted, out.accepted > 1 ? "s" : "");
        log.logInfo(done);
        return true;
    }
    if (out.aborted) {
        if (code < 0) closeConnection();
        return false;
    }
    log.logError("Failed when sending end-of-body");
    log.logDataLong("CommandSent", commandSent_ ? 1 : 0);
    log.logDataLong("GotResponseCode", code);
    log.logDataLong("TimedOut", out.timedOut ? 1 : 0);
    log.logDataLong("Aborted", out.aborted ? 1 : 0);
    // A server that never confirms the end of data may not have taken the
    // message: that is a failure, not a success. The connection's state is
    // unknown (a late reply would answer our next command), so it is closed.
    if (out.timedOut) log.logError("Timed out");
    out.connectionFailed = true;
    if (code < 0) closeConnection();
    return false;
}

}  // namespace zelmar::mail
