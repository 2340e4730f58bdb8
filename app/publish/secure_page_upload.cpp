#include "app/publish/secure_page_upload.h"

#include "app/publish/ftp_page_settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/address/curl_library.h"
#include "app/core/file_io.h"
#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "app/core/text.h"
#include "app/notify/certificate_pins.h"
#include "app/publish/ftp_client.h"
#include "net/default_timeout.h"

namespace zelmar {

namespace {

std::string SecurePageLower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string SecurePagePath(const std::string& startDirectory, const std::string& name) {
    if (name.empty() || name[0] == '/') return name;
    return InFolder(startDirectory, name);
}

// What one transfer learns in libcurl's callbacks: the certificate and host
// key checks, and the control connection's last reply.
struct SecureTransferState {
    // The certificate: the host it must name, the trust anchors, the
    // fingerprint accepted before ("" for none), and what the check found.
    std::string host, caFile, storedPin;
    bool requireVerified = false;
    std::string acceptedPin;  // trusted on first use in this transfer
    std::string certificateProblem;
    // The host key: where it is kept, under which name.
    std::string knownHostsFile, knownHostsName;
    bool hostKeyAdded = false, hostKeyChanged = false;
    std::string hostKeyProblem;
    // The FTP dialogue: was TLS asked for and granted, the last reply.
    bool authAsked = false, authAnswered = false, tlsGranted = false;
    std::string lastReply;
    std::vector<std::string> secrets;
};

std::string SecurePageFingerprint(X509* certificate) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), md, &length) != 1) return "";
    static const char* const kHex = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[md[i] >> 4]);
        hex.push_back(kHex[md[i] & 15]);
    }
    return hex;
}

// Replaces OpenSSL's chain check for every handshake of the transfer (the
// control connection's and, when the server does not resume the session, a
// data connection's). The same rule as the mail server's certificate: a
// verified certificate for the host passes; otherwise, unless verification
// is required, the one seen first is trusted and must not change. Refusing
// here ends the handshake, so no login is ever sent to a server that failed.
int SecurePageCheckCertificate(X509_STORE_CTX* store, void* arg) {
    auto* state = static_cast<SecureTransferState*>(arg);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (!leaf) {
        state->certificateProblem = "it showed no certificate";
        return 0;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, state->host.c_str()) != 1)
        X509_VERIFY_PARAM_set1_host(param, state->host.c_str(), state->host.size());
    const bool verified = X509_verify_cert(store) == 1;
    const std::string fingerprint = SecurePageFingerprint(leaf);
    if (verified) return 1;
    const char* verifyError = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    if (state->requireVerified) {
        state->certificateProblem = std::string("its certificate is not verified (") + verifyError + ")";
        return 0;
    }
    // One accepted in this transfer already (the control connection's)
    // counts as the stored one for the data connections.
    const std::string& expected = state->storedPin.empty() ? state->acceptedPin : state->storedPin;
    if (expected.empty() && !fingerprint.empty()) {
        state->acceptedPin = fingerprint;
        return 1;
    }
    if (!fingerprint.empty() && fingerprint == expected) return 1;
    state->certificateProblem = "its certificate differs from the one accepted before (SHA-256 " + fingerprint +
                                ", expected " + expected + ")";
    return 0;
}

// libcurl hands over each TLS context before its handshake: the trust
// anchors are set here (the given CA file alone, or the system's), and the
// check above replaces libcurl's own, which would refuse an unverified
// certificate outright.
CURLcode SecurePageTlsContext(CURL*, void* sslContext, void* arg) {
    auto* state = static_cast<SecureTransferState*>(arg);
    auto* context = static_cast<SSL_CTX*>(sslContext);
    X509_STORE* store = X509_STORE_new();
    if (!store) return CURLE_OUT_OF_MEMORY;
    const bool loaded = state->caFile.empty() ? X509_STORE_set_default_paths(store) == 1
                                              : X509_STORE_load_file(store, state->caFile.c_str()) == 1;
    SSL_CTX_set_cert_store(context, store);
    if (!loaded && !state->caFile.empty()) {
        state->certificateProblem = "the CA file " + state->caFile + " cannot be read";
        return CURLE_SSL_CACERT_BADFILE;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(context, SecurePageCheckCertificate, state);
    return CURLE_OK;
}

// The dialogue as libcurl sees it: whether "AUTH TLS" was answered with 234,
// and the last reply, masked as the FTP client masks it. Commands are not
// kept (one of them is "PASS").
int SecurePageDialogue(CURL*, curl_infotype type, char* data, std::size_t size, void* arg) {
    auto* state = static_cast<SecureTransferState*>(arg);
    if (type == CURLINFO_HEADER_OUT && size >= 8 && std::strncmp(data, "AUTH TLS", 8) == 0) {
        state->authAsked = true;
    } else if (type == CURLINFO_HEADER_IN) {
        std::string line(data, size);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (state->authAsked && !state->authAnswered) {
            state->authAnswered = true;
            state->tlsGranted = line.rfind("234", 0) == 0;
        }
        state->lastReply = MaskSecrets(MaskReplyLine(line.substr(0, 512)), state->secrets);
    }
    return 0;
}

// An SSH public key blob starts with its type's name ("ssh-ed25519",
// "ecdsa-sha2-nistp256"), as known_hosts wants it.
std::string SecurePageKeyType(const unsigned char* blob, std::size_t size) {
    if (size < 4) return "";
    const std::size_t length = (std::size_t{blob[0]} << 24) | (std::size_t{blob[1]} << 16) |
                               (std::size_t{blob[2]} << 8) | std::size_t{blob[3]};
    if (length == 0 || length > 64 || length + 4 > size) return "";
    return std::string(reinterpret_cast<const char*>(blob) + 4, length);
}

// Appends the line to known_hosts. libcurl could rewrite the file itself,
// but only with the lines libssh2 understood: a user's other lines
// (certificate authorities, newer key types) would be lost.
bool SecurePageAddHostKey(SecureTransferState& state, const curl_khkey* key) {
    if (!key || !key->key || key->len == 0) return false;
    const auto* blob = reinterpret_cast<const unsigned char*>(key->key);
    const std::string type = SecurePageKeyType(blob, key->len);
    if (type.empty()) return false;
    std::string encoded(4 * ((key->len + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), blob, static_cast<int>(key->len));
    encoded.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::string folder = state.knownHostsFile.substr(0, state.knownHostsFile.rfind('/'));
    if (!folder.empty()) ::mkdir(folder.c_str(), 0700);
    const int fd = ::open(state.knownHostsFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    // A file that does not end its last line would join the two.
    struct stat info {};
    std::string line = state.knownHostsName + " " + type + " " + encoded + "\n";
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n') line.insert(0, "\n");
    }
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    return ::close(fd) == 0 && written;
}

// Like ssh's StrictHostKeyChecking=accept-new: a known key goes on, an
// unknown one is added, a changed one ends the connection before the login.
int SecurePageHostKey(CURL*, const curl_khkey*, const curl_khkey* found, curl_khmatch match, void* arg) {
    auto* state = static_cast<SecureTransferState*>(arg);
    if (match == CURLKHMATCH_OK) return CURLKHSTAT_FINE;
    if (match == CURLKHMATCH_MISSING) {
        if (!SecurePageAddHostKey(*state, found)) {
            state->hostKeyProblem = "its host key cannot be added to " + state->knownHostsFile;
            return CURLKHSTAT_REJECT;
        }
        state->hostKeyAdded = true;
        return CURLKHSTAT_FINE;
    }
    state->hostKeyChanged = true;
    return CURLKHSTAT_REJECT;
}

std::string SecurePageEscape(const std::string& text, bool keepSlash) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (keepSlash && c == '/')) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

const char* SecurePageStep(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
        return "connect";
    case CURLE_LOGIN_DENIED:
        return "login";
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_REMOTE_FILE_NOT_FOUND:
        return "CWD";
    default:
        return "upload";
    }
}

DeliveryResult SecurePageFailure(Reporter& reporter, const std::string& host, const std::string& step,
                                 const std::string& why, const std::string& reply = "") {
    reporter.Post(Message<Msg::PageNotSent>(host, why));
    DeliveryResult result;
    result.outcome = DeliveryOutcome::Failed;
    result.code = ReplyClassOf(reply) != 0 ? reply.substr(0, 3) : MessageOf(Msg::PageNotSent).code;
    result.step = step;
    result.serverReply = reply;
    result.why = Text<Msg::PageNotSent>(host, why);
    return result;
}

// The options every upload has: the URL, the login, the file, the limits.
void SecurePageCommonOptions(const CurlApi& api, CURL* c, const SecureUpload& job, const std::string& url,
                             std::FILE* file, curl_off_t size, char* errorText) {
    const long seconds = TimeoutOrDefault(job.timeoutSeconds);
    api.easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    api.easy_setopt(c, CURLOPT_URL, url.c_str());
    api.easy_setopt(c, CURLOPT_PROTOCOLS_STR, job.how.protocol == PageProtocol::Sftp ? "sftp" : "ftp");
    api.easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    api.easy_setopt(c, CURLOPT_USERNAME, job.user.c_str());
    api.easy_setopt(c, CURLOPT_UPLOAD, 1L);
    api.easy_setopt(c, CURLOPT_READDATA, file);
    api.easy_setopt(c, CURLOPT_INFILESIZE_LARGE, size);
    // SFTP moves a buffer per round trip: larger ones for the page's
    // occasional big sibling. TLS cuts records of 16 KiB whatever the size,
    // so FTP keeps libcurl's 64 KiB.
    if (job.how.protocol == PageProtocol::Sftp) api.easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024L);
    // Each wait is bounded, the transfer as a whole is not: a slow line
    // with a large page must not be cut off, a stalled one is.
    api.easy_setopt(c, CURLOPT_CONNECTTIMEOUT, seconds);
    api.easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, seconds);
    api.easy_setopt(c, CURLOPT_ACCEPTTIMEOUT_MS, seconds * 1000L);
    api.easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    api.easy_setopt(c, CURLOPT_LOW_SPEED_TIME, seconds);
}

// libcurl 7.87 and 7.88 open an active (PORT) data connection without TLS
// after "PROT P", which the server then refuses: those go passive.
bool SecurePageActiveTlsBroken(const CurlApi& api) {
    const curl_version_info_data* info = api.version_info(CURLVERSION_NOW);
    return info && info->version_num >= 0x075700 && info->version_num < 0x080000;
}

bool SecurePageFtpOptions(const CurlApi& api, CURL* c, const SecureUpload& job, SecureTransferState& state,
                          Reporter& reporter) {
    api.easy_setopt(c, CURLOPT_PASSWORD, job.password.c_str());
    // One "CWD folder" as the FTP client sends it, not one per path part.
    api.easy_setopt(c, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    api.easy_setopt(c, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    api.easy_setopt(c, CURLOPT_USE_SSL,
                    static_cast<long>(job.how.security == FtpSecurity::Require ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    if (!job.passive && job.how.security != FtpSecurity::None && SecurePageActiveTlsBroken(api))
        reporter.Post(Message<Msg::PageCannotCarryTls>("An active (PORT) data connection with this libcurl",
                                                       "passive mode is used"));
    else if (!job.passive)
        api.easy_setopt(c, CURLOPT_FTPPORT, "-");
    // libcurl's own check is off: SecurePageCheckCertificate does it, in
    // the handshake.
    api.easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    api.easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    api.easy_setopt(c, CURLOPT_VERBOSE, 1L);
    api.easy_setopt(c, CURLOPT_DEBUGFUNCTION, SecurePageDialogue);
    api.easy_setopt(c, CURLOPT_DEBUGDATA, &state);
    // A libcurl with another TLS library cannot take the check: without it
    // any certificate would pass, so nothing is sent.
    return api.easy_setopt(c, CURLOPT_SSL_CTX_DATA, &state) == CURLE_OK &&
           api.easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, SecurePageTlsContext) == CURLE_OK;
}

void SecurePageSftpOptions(const CurlApi& api, CURL* c, const SecureUpload& job, SecureTransferState& state) {
    if (job.how.keyFile.empty()) {
        api.easy_setopt(c, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD));
        api.easy_setopt(c, CURLOPT_PASSWORD, job.password.c_str());
    } else {
        api.easy_setopt(c, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PUBLICKEY));
        api.easy_setopt(c, CURLOPT_SSH_PRIVATE_KEYFILE, job.how.keyFile.c_str());
        // Without "<key>.pub" libssh2 derives the public key itself.
        const std::string publicKey = job.how.keyFile + ".pub";
        api.easy_setopt(c, CURLOPT_SSH_PUBLIC_KEYFILE, ::access(publicKey.c_str(), R_OK) == 0 ? publicKey.c_str() : "");
        api.easy_setopt(c, CURLOPT_KEYPASSWD, job.password.c_str());
    }
    api.easy_setopt(c, CURLOPT_SSH_KNOWNHOSTS, state.knownHostsFile.c_str());
    api.easy_setopt(c, CURLOPT_SSH_KEYFUNCTION, SecurePageHostKey);
    api.easy_setopt(c, CURLOPT_SSH_KEYDATA, &state);
}

int SecurePagePort(const SecureUpload& job) {
    if (job.port > 0) return job.port;
    return job.how.protocol == PageProtocol::Sftp ? 22 : 21;
}

// What a failed transfer says: the certificate or host key first (they end
// the connection before anything else), then TLS refused, then libcurl's
// words with the server's last reply.
DeliveryResult SecurePageExplain(Reporter& reporter, const SecureUpload& job, const SecureTransferState& state,
                                 CURLcode code, const std::string& curlText) {
    const std::string server = job.host;
    if (!state.certificateProblem.empty())
        return SecurePageFailure(reporter, server, "certificate", state.certificateProblem);
    if (state.hostKeyChanged) {
        reporter.Post(Message<Msg::PageHostKeyChanged>(server, job.knownHostsFile));
        return SecurePageFailure(reporter, server, "host key", "its host key changed");
    }
    if (!state.hostKeyProblem.empty()) return SecurePageFailure(reporter, server, "host key", state.hostKeyProblem);
    if (code == CURLE_USE_SSL_FAILED) {
        reporter.Post(Message<Msg::PageTlsMissingRefused>(server));
        return SecurePageFailure(reporter, server, "TLS", Text<Msg::PageTlsMissingRefused>(server), state.lastReply);
    }
    std::string why = MaskSecrets(MaskReplyLine(curlText), state.secrets);
    if (!state.lastReply.empty() && ReplyClassOf(state.lastReply) >= 4) why += " (" + state.lastReply + ")";
    return SecurePageFailure(reporter, server, SecurePageStep(code), why, state.lastReply);
}

// The page channel with a secured transport; what it sends and when is the
// FTP channel's.
class SecurePageChannel : public FtpChannel {
public:
    SecurePageChannel(Settings settings, std::string startDirectory, SecurePageSettings how, IniFile& ini)
        : FtpChannel(settings, startDirectory),
          settings_(std::move(settings)),
          startDirectory_(std::move(startDirectory)),
          how_(std::move(how)),
          ini_(ini) {}

protected:
    DeliveryResult Transfer(const RefreshSnapshot& snapshot, const std::string& localFile,
                            Reporter& reporter) override;

private:
    Settings settings_;
    std::string startDirectory_;
    SecurePageSettings how_;
    IniFile& ini_;
};

DeliveryResult SecurePageChannel::Transfer(const RefreshSnapshot& snapshot, const std::string& localFile,
                                           Reporter& reporter) {
    const Settings& s = settings_;
    const FtpPageSettings& f = FtpPageOf(s);
    if (!how_.badKey.empty()) {
        reporter.Post(Message<Msg::PageSettingInvalid>(how_.badKey, how_.badValue, how_.choices));
        return SecurePageFailure(reporter, f.ftp.FTPServer, "settings",
                                 how_.badKey + "=" + how_.badValue + " is not one of " + how_.choices);
    }
    // Our firewall logons are FTP commands of their own, on a connection
    // libcurl does not make: TLS cannot go through them.
    const bool firewall = f.UseProxy == 1 && f.LogonType != 0;
    if (how_.protocol == PageProtocol::Ftp && firewall) {
        const char* what = "The FTP firewall logon";
        if (how_.security == FtpSecurity::Require) {
            reporter.Post(Message<Msg::PageCannotCarryTlsRefused>(what));
            return SecurePageFailure(reporter, f.ftp.FTPServer, "TLS", Text<Msg::PageCannotCarryTlsRefused>(what));
        }
        reporter.Post(Message<Msg::PageCannotCarryTls>(what, "the page goes in clear"));
        return FtpChannel::Transfer(snapshot, localFile, reporter);
    }
    const bool sftp = how_.protocol == PageProtocol::Sftp;
    reporter.Post(Message<Msg::SecurePageConnecting>(f.ftp.FTPServer, sftp ? "SFTP" : "FTP with TLS"));
    if (std::optional<DeliveryResult> failed = MakeUploadPage(s, snapshot, startDirectory_, localFile, reporter))
        return *failed;
    SecureUpload job;
    job.how = how_;
    job.host = f.ftp.FTPServer;
    job.user = f.ftp.UserID;
    job.password = f.ftp.Password;
    // FTP's own port, which the FTP page shows and saves by default, is
    // never SSH's: it counts as not given.
    job.port = sftp && (!how_.portGiven || f.ftp.Port == 21) ? 22 : f.ftp.Port;
    job.remoteFile = f.ftp.RemoteFile;
    job.localFile = localFile;
    job.passive = f.ProxyPassive != 0;
    job.requireVerified = s.RequireVerifiedCertificate == 1;
    job.timeoutSeconds = s.Timeout;
    job.knownHostsFile = DefaultKnownHostsFile();
    DeliveryResult result = UploadPageSecurely(job, ini_, reporter);
    if (result.ok()) {
        const std::string templatePath = snapshot.online() ? f.ftp.OnlineFile : f.ftp.OfflineFile;
        reporter.Post(Message<Msg::CopiedPage>(templatePath, f.ftp.RemoteFile, f.ftp.FTPServer));
    }
    return result;
}

}  // namespace

SecurePageSettings ReadSecurePageSettings(const IniFile& ini, const std::string& startDirectory) {
    SecurePageSettings how;
    const std::string protocol = SecurePageLower(TrimBlanks(ini.GetString(kLocalSettings, "PageProtocol", "ftp")));
    if (protocol == "sftp") {
        how.protocol = PageProtocol::Sftp;
    } else if (protocol != "ftp" && !protocol.empty()) {
        how.badKey = "PageProtocol", how.badValue = protocol, how.choices = "ftp, sftp";
    }
    const std::string security = SecurePageLower(TrimBlanks(ini.GetString(kLocalSettings, "FTPSecurity", "none")));
    if (security == "explicit") {
        how.security = FtpSecurity::Explicit;
    } else if (security == "require") {
        how.security = FtpSecurity::Require;
    } else if (security != "none" && !security.empty() && how.badKey.empty()) {
        how.badKey = "FTPSecurity", how.badValue = security, how.choices = "none, explicit, require";
    }
    how.keyFile = SecurePagePath(startDirectory, TrimBlanks(ini.GetString(kLocalSettings, "SFTPKeyFile", "", 4096)));
    how.caFile = SecurePagePath(startDirectory, TrimBlanks(ini.GetString(kLocalSettings, "FTPSCAFile", "", 4096)));
    how.portGiven = !TrimBlanks(ini.GetString(kLocalSettings, "Port", "")).empty();
    return how;
}

std::string DefaultKnownHostsFile() {
    const char* home = std::getenv("HOME");
    std::string folder = home && *home ? home : "";
    if (folder.empty()) {
        if (const passwd* pw = ::getpwuid(::geteuid())) folder = pw->pw_dir;
    }
    return folder + "/.ssh/known_hosts";
}

std::string SecureUploadUrl(const SecureUpload& job) {
    const bool sftp = job.how.protocol == PageProtocol::Sftp;
    const RemotePath remote = SplitRemotePath(job.remoteFile);
    std::string path;
    if (!remote.folder.empty()) {
        const bool absolute = remote.folder[0] == '/';
        if (sftp)
            path = absolute ? SecurePageEscape(remote.folder, true) : "/~/" + SecurePageEscape(remote.folder, true);
        else
            path = "/" + SecurePageEscape(remote.folder, false);
        path += "/";
    } else {
        path = sftp ? "/~/" : "/";
    }
    path += SecurePageEscape(remote.name, false);
    const std::string host = job.host.find(':') != std::string::npos ? "[" + job.host + "]" : job.host;
    return std::string(sftp ? "sftp://" : "ftp://") + host + ":" + std::to_string(SecurePagePort(job)) + path;
}

DeliveryResult UploadPageSecurely(const SecureUpload& job, IniFile& ini, Reporter& reporter) {
    const bool sftp = job.how.protocol == PageProtocol::Sftp;
    SecureTransferState state;
    state.host = job.host;
    state.caFile = job.how.caFile;
    state.requireVerified = job.requireVerified;
    state.knownHostsFile = job.knownHostsFile;
    const int port = SecurePagePort(job);
    state.knownHostsName = port == 22 ? job.host : "[" + job.host + "]:" + std::to_string(port);
    if (!job.password.empty()) state.secrets.push_back(job.password);
    const std::string pinKey = CertificatePinKey(job.host, port);
    if (!sftp) {
        std::string problem;
        state.storedPin = StoredCertificatePin(ini, pinKey, &problem);
        if (!problem.empty()) return SecurePageFailure(reporter, job.host, "certificate", problem);
    }

    std::string error;
    const std::shared_ptr<const CurlApi> api = AcquireCurl(&error);
    if (!api) return SecurePageFailure(reporter, job.host, "connect", error);
    std::FILE* file = std::fopen(job.localFile.c_str(), "rb");
    if (!file) return SecurePageFailure(reporter, job.host, "page", "cannot read " + job.localFile);
    struct stat info {};
    ::fstat(::fileno(file), &info);
    CURL* c = api->easy_init();
    if (!c) {
        std::fclose(file);
        return SecurePageFailure(reporter, job.host, "connect", "cannot start a transfer");
    }
    char errorText[CURL_ERROR_SIZE] = {};
    const std::string url = SecureUploadUrl(job);
    SecurePageCommonOptions(*api, c, job, url, file, static_cast<curl_off_t>(info.st_size), errorText);
    bool ready = true;
    if (sftp)
        SecurePageSftpOptions(*api, c, job, state);
    else
        ready = SecurePageFtpOptions(*api, c, job, state, reporter);
    const CURLcode code = ready ? api->easy_perform(c) : CURLE_NOT_BUILT_IN;
    api->easy_cleanup(c);
    std::fclose(file);

    if (!state.acceptedPin.empty() && StoreCertificatePin(ini, pinKey, state.acceptedPin))
        reporter.Post(Message<Msg::PageCertificateRemembered>(pinKey, state.acceptedPin));
    if (state.hostKeyAdded) reporter.Post(Message<Msg::PageHostKeyAdded>(state.knownHostsName, job.knownHostsFile));
    if (!ready)
        return SecurePageFailure(reporter, job.host, "certificate",
                                 "this libcurl cannot check certificates the way the page needs");
    if (code != CURLE_OK) return SecurePageExplain(reporter, job, state, code, errorText[0] ? errorText : api->easy_strerror(code));
    if (!sftp && job.how.security == FtpSecurity::Explicit && !state.tlsGranted)
        reporter.Post(Message<Msg::PageTlsMissingClear>(job.host));
    if (ReplyClassOf(state.lastReply) == 2) {
        // The server's own words, never passing for one of ours.
        StatusMessage reply = StatusMessage::FromLine(state.lastReply);
        if (LooksLikeOwnLine(reply.text)) reply.text = state.lastReply;
        reporter.Post(std::move(reply));
    }
    return DeliveryResult::Success();
}

std::unique_ptr<DeliveryChannel> MakePageChannel(const Settings& settings, const ChannelContext& context) {
    SecurePageSettings how = ReadSecurePageSettings(context.ini, context.startDirectory);
    if (!how.Secured()) return std::make_unique<FtpChannel>(settings, context.startDirectory);
    return std::make_unique<SecurePageChannel>(settings, context.startDirectory, std::move(how), context.ini);
}

}  // namespace zelmar
