// Login mechanisms of the SMTP session (RFC 4954): LOGIN, PLAIN, CRAM-MD5
// (RFC 2195), and the security-provider seam for NTLM and MSN.
#include "mail/smtp/smtp_auth.h"

#include "mail/base/string_buffer.h"
#include "mail/mime/content_coding.h"
#include "mail/smtp/hmac_md5.h"
#include "mail/smtp/smtp_conn_impl.h"

namespace zelmar::mail {

namespace {

std::string b64(std::string_view s) { return ContentCoding::encodeBase64(s); }

std::string withoutCrLf(std::string_view s) {
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n') out.push_back(c);
    return out;
}

}  // namespace

bool AuthFlags::any() const {
    for (bool b : on)
        if (b) return true;
    return false;
}

void AuthFlags::setFromAuthLine(std::string_view line) {
    for (std::size_t i = 0; i < kAuthMechNames.size(); ++i)
        if (containsNoCase(line, kAuthMechNames[i])) on[i] = true;
}

PackageExchange::~PackageExchange() = default;

bool SspiClient::loadPackages(LogBase&) {
    packageCount_ = 0;  // no security provider on this platform
    return false;
}

int SspiClient::findPackage(std::string_view) const { return -1; }

bool SspiClient::authenticate(int packageIndex, const std::string&, const std::string& login,
                              const std::string& password, LogBase& log) {
    if (!exchange_) {
        log.logError("SspiClient.authenticate: no package exchange object");
        return false;
    }
    if (packageIndex < 0 || packageIndex >= packageCount_) {
        log.logError("Failed to acquire alternate credentials: package index out of range");
        log.logDataLong("PackageIndex", packageIndex);
        log.logDataLong("NumPackages", packageCount_);
        log.logError("SspiClient.authenticate: cannot acquire alternate credentials");
        return false;
    }
    if (login.empty() || password.empty()) {
        log.logError("Failed to acquire alternate credentials: no username and/or password");
        return false;
    }
    return false;
}

bool SspiClient::prepareOutboundPackage(int packageIndex, std::string&, const std::string*, bool& finished,
                                        bool& authenticated, LogBase& log) {
    finished = true;
    authenticated = false;
    log.logError("SspiClient.prepareOutboundPackage: package index out of range");
    log.logDataLong("packageIndex", packageIndex);
    return false;
}

std::string cramMd5Response(std::string_view login, std::string_view password, std::string_view challenge) {
    return std::string(login) + " " + HmacMD5::hexMac(password, challenge);
}

bool SmtpConnImpl::chooseAndLogin(const std::string& login, const std::string& password, const std::string& domain,
                                  std::string forced, bool afterHelo, LogBase& log, ProgressMonitor* pm,
                                  bool& timedOut, bool& aborted) {
    step_ = "login";
    forced = std::string(trimView(forced));
    for (char& c : forced) c = asciiUpper(c);
    if (!forced.empty()) {
        log.logData("smtpAuthMethod", forced.c_str());
        for (AuthMech m : {AuthMech::Login, AuthMech::Plain, AuthMech::CramMd5, AuthMech::Ntlm, AuthMech::Msn}) {
            if (forced == kAuthMechNames[static_cast<int>(m)]) {
                auth_.clear();
                auth_.set(m);
            }
        }
        if (forced == "NONE") auth_.clear();
    }
    if (afterHelo) {
        if (!login.empty() && !password.empty() && (forced == "LOGIN" || forced == "PLAIN")) {
            const bool plain = forced == "PLAIN";
            log.logData("login_method", forced.c_str());
            if (plain ? authPlain(login, password, log, pm, timedOut, aborted)
                      : authLogin(login, password, log, pm, timedOut, aborted))
                return true;
            log.logError(plain ? "Failed to login using PLAIN method" : "Failed to login using LOGIN method");
            return false;
        }
        log.logData("login_method", "NONE");
        return true;
    }
    if (login.empty() || password.empty()) {
        log.logData("login_method", "NONE or already authenticated");
        return true;
    }
    auto viaLogin = [&]() {
        if (authLogin(login, password, log, pm, timedOut, aborted)) return true;
        log.logError("Failed to login using LOGIN method");
        return false;
    };
    const AuthFlags& f = auth_;
    if (f.has(AuthMech::Login)) {
        log.logData("login_method", "LOGIN");
        return viaLogin();
    }
    if (!f.has(AuthMech::Ntlm) && !f.has(AuthMech::Msn) && !f.has(AuthMech::CramMd5)) {
        log.logInfo("This SMTP server did not list authentication methods.");
        // No provider domain defaults to LOGIN here (the list is empty).
    }
    for (AuthMech m : {AuthMech::Ntlm, AuthMech::Msn}) {
        if (!f.has(m)) continue;
        const bool ntlm = m == AuthMech::Ntlm;
        log.logData("login_method", ntlm ? "NTLM" : "MSN");
        bool tryLogin = false;
        const bool ok = ntlm ? authNtlm(login, password, domain, log, pm, timedOut, aborted, tryLogin)
                             : authMsn(login, password, domain, log, pm, timedOut, aborted, tryLogin);
        if (ok) return true;
        if (tryLogin) {
            log.logData("alt_login_method", "LOGIN");
            return viaLogin();
        }
        log.logError(ntlm ? "Failed to login using NTLM method" : "Failed to login using MSN method");
        return false;
    }
    if (f.has(AuthMech::CramMd5)) {
        log.logData("login_method", "CRAM_MD5");
        if (authCramMd5(login, password, log, pm, timedOut, aborted)) return true;
        log.logError("Failed to login using CRAM-MD5 method");
        return false;
    }
    if (f.has(AuthMech::Plain)) {
        log.logData("login_method", "PLAIN");
        if (authPlain(login, password, log, pm, timedOut, aborted)) return true;
        log.logError("Failed to login using PLAIN method");
        return false;
    }
    struct Unsupported {
        AuthMech mech;
        const char* name;
        const char* error;
    };
    static constexpr Unsupported kUnsupported[] = {
        {AuthMech::DigestMd5, "DIGEST-MD5", "DIGEST-MD5 login method not supported"},
        {AuthMech::Gssapi, "GSSAPI", "GSSAPI login method not supported"},
        {AuthMech::KerberosV4, "Kerberos-V4", "Kerberos v4 login method not supported"},
        {AuthMech::Anonymous, "anonymous", "Anonymous login method not supported"},
    };
    for (const Unsupported& u : kUnsupported) {
        if (f.has(u.mech)) {
            log.logData("login_method", u.name);
            log.logError(u.error);
            return true;  // the session goes on unauthenticated
        }
    }
    log.logData("login_method", "NONE or already authenticated");
    return true;
}

bool SmtpConnImpl::authLogin(const std::string& login, const std::string& password, LogBase& log,
                             ProgressMonitor* pm, bool& timedOut, bool& aborted) {
    if (login.empty() || password.empty()) {
        log.logError("Username and/or password is empty");
        return false;
    }
    if (!command("AUTH LOGIN\r\n", 334, log, pm, timedOut, aborted)) {
        log.logError("Failed to send AUTH LOGIN");
        logTranscript(log);
        return false;
    }
    if (!sendRaw(b64(withoutCrLf(login)) + "\r\n", log, pm)) {
        log.logError("Failed to send login name");
        return false;
    }
    if (!readReplyLine(334, log, pm, timedOut, aborted)) {
        log.logError("Failed to get response to login name");
        log.logError("Check your username/password or your SMTP server's auth settings");
        logTranscript(log);
        return false;
    }
    if (!sendRaw(b64(withoutCrLf(password)) + "\r\n", log, pm)) {
        log.logError("Failed to send login password");
        return false;
    }
    if (!readReplyLine(235, log, pm, timedOut, aborted)) {
        log.logError("Failed to get response to login password");
        logTranscript(log);
        return false;
    }
    return true;
}

bool SmtpConnImpl::authPlain(const std::string& login, const std::string& password, LogBase& log,
                             ProgressMonitor* pm, bool& timedOut, bool& aborted) {
    if (login.empty() || password.empty()) {
        log.logError("Username and/or password is empty");
        return false;
    }
    std::string token = login;
    token.push_back('\0');
    token += login;
    token.push_back('\0');
    token += password;
    // The transcript records this command with its payload masked.
    if (!command("AUTH PLAIN " + b64(token) + "\r\n", 235, log, pm, timedOut, aborted)) {
        log.logError("Failed to send AUTH LOGIN");
        logTranscript(log);
        return false;
    }
    return true;
}

bool SmtpConnImpl::authCramMd5(const std::string& login, const std::string& password, LogBase& log,
                               ProgressMonitor* pm, bool& timedOut, bool& aborted) {
    if (login.empty() || password.empty()) {
        log.logError("Username and/or password is empty");
        return false;
    }
    std::string line;
    if (!sendCommand("AUTH CRAM-MD5\r\n", log, pm) || !readReplyLine(334, log, pm, timedOut, aborted, &line)) {
        log.logError("Failed to get successful CRAM-MD5 response");
        logTranscript(log);
        return false;
    }
    std::string challenge;
    std::string_view text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    ContentCoding::decodeBase64(text.size() > 4 ? text.substr(4) : std::string_view(), challenge);
    if (!sendRaw(b64(cramMd5Response(login, password, challenge)) + "\r\n", log, pm)) {
        log.logError("Failed to send CRAM-MD5 response");
        return false;
    }
    if (!readReplyLine(235, log, pm, timedOut, aborted)) {
        log.logError("Failed to get successful CRAM-MD5 response");
        log.logError("Check your username/password or your SMTP server's auth settings");
        logTranscript(log);
        return false;
    }
    return true;
}

namespace {

bool authSspi(SmtpConnImpl& session, const char* package, const std::string& login, const std::string& password,
              LogBase& log, bool& tryLoginInstead) {
    tryLoginInstead = false;
    if (login.empty() || password.empty()) return false;
    SspiClient client(&session);
    if (!client.loadPackages(log) || client.findPackage(package) < 0) {
        tryLoginInstead = true;  // the package is not installed
        return false;
    }
    return false;
}

}  // namespace

bool SmtpConnImpl::authNtlm(const std::string& login, const std::string& password, const std::string&,
                            LogBase& log, ProgressMonitor*, bool&, bool&, bool& tryLoginInstead) {
    // Where a provider exists, "AUTH NTLM" and SspiClient::authenticate
    // would follow here.
    return authSspi(*this, "NTLM", login, password, log, tryLoginInstead);
}

bool SmtpConnImpl::authMsn(const std::string& login, const std::string& password, const std::string&, LogBase& log,
                           ProgressMonitor*, bool&, bool&, bool& tryLoginInstead) {
    return authSspi(*this, "MSN", login, password, log, tryLoginInstead);
}

bool SmtpConnImpl::exchangePackage(std::string& outToken, const std::string& inToken, LogBase& log) {
    if (!sendRaw(b64(inToken) + "\r\n", log, nullptr)) {
        log.logError("exchangePackage: failed to send package on socket");
        return false;
    }
    std::string line;
    bool timedOut = false, aborted = false;
    if (!readReplyLine(334, log, nullptr, timedOut, aborted, &line)) {
        log.logError("exchangePackage: failed to get success response");
        return false;
    }
    std::string_view text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    outToken.clear();
    ContentCoding::decodeBase64(text.size() > 4 ? text.substr(4) : std::string_view(), outToken);
    return true;
}

bool SmtpConnImpl::sendFinal(const std::string& token, LogBase& log) {
    if (!sendRaw(b64(token) + "\r\n", log, nullptr)) {
        log.logError("sendFinal: failed to send package on socket");
        return false;
    }
    std::string line;
    bool timedOut = false, aborted = false;
    if (!readReplyLine(235, log, nullptr, timedOut, aborted, &line)) {
        log.logData("response", line.c_str());
        log.logError("Logon denied.  Check username, password, and domain");
        return false;
    }
    return true;
}

}  // namespace zelmar::mail
