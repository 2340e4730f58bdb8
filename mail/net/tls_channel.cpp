#include "mail/net/tls_channel.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "mail/base/string_buffer.h"

namespace zelmar::mail {

namespace {

// One context per process: loading the system trust store is the slow part.
SSL_CTX* sharedContext() {
    static std::once_flag once;
    static SSL_CTX* ctx = nullptr;
    std::call_once(once, [] {
        ctx = SSL_CTX_new(TLS_client_method());
        if (!ctx) return;
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        SSL_CTX_set_default_verify_paths(ctx);
        // The verdict is read after the handshake and logged: an unverified
        // server is the owner's decision, not the handshake's.
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    });
    return ctx;
}

// A context that also trusts the roots of a CA file; one per file. Like the
// shared one it lives until the process ends (a send still running at exit
// keeps using it), so the table is never destroyed and stays reachable.
SSL_CTX* contextWithCaFile(const std::string& caFile) {
    static std::mutex mutex;
    static auto* const contexts = new std::map<std::string, SSL_CTX*>;
    std::lock_guard lock(mutex);
    if (auto it = contexts->find(caFile); it != contexts->end()) return it->second;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    contexts->emplace(caFile, ctx);
    return ctx;
}

std::string sha256Hex(X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (X509_digest(cert, EVP_sha256(), md, &len) != 1) return "";
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out.push_back(hex[md[i] >> 4]);
        out.push_back(hex[md[i] & 15]);
    }
    return out;
}

std::string opensslErrors() {
    std::string out;
    for (int i = 0; i < 16; ++i) {
        const unsigned long e = ERR_get_error();
        if (!e) break;
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        if (!out.empty()) out += "; ";
        out += text;
    }
    return out;
}

bool isIpAddress(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string nameEntry(X509_NAME* name, bool commonNameOnly) {
    if (!name) return "";
    if (commonNameOnly) {
        char cn[512] = {};
        if (X509_NAME_get_text_by_NID(name, NID_commonName, cn, sizeof cn) < 0) return "";
        return cn;
    }
    char* text = X509_NAME_oneline(name, nullptr, 0);
    std::string out = text ? text : "";
    OPENSSL_free(text);
    return out;
}

}  // namespace

struct TlsChannel::Impl {
    SSL* ssl = nullptr;
    BIO* in = nullptr;   // network -> OpenSSL (owned by ssl)
    BIO* out = nullptr;  // OpenSSL -> network (owned by ssl)
    ~Impl() {
        if (ssl) SSL_free(ssl);
    }
};

TlsChannel::TlsChannel() = default;
TlsChannel::~TlsChannel() { forceClose(); }

void TlsChannel::resetTls() {
    impl_.reset();
    received_.clear();
}

void TlsChannel::forceClose() {
    resetTls();
    socket_.closeSocket();
}

bool TlsChannel::isConnected() const { return impl_ && impl_->ssl && socket_.isConnected(); }

void TlsChannel::setProtocol(std::string_view name) {
    std::string p = toLowerCopy(trimView(name));
    protocol_ = p.empty() ? "default" : p;
}

bool TlsChannel::flushOut(LogBase& log, ProgressMonitor* pm, int heartbeatMs) {
    char buf[16384 + 512];
    for (int round = 0; impl_ && BIO_ctrl_pending(impl_->out) > 0 && round < 100000; ++round) {
        const int n = BIO_read(impl_->out, buf, sizeof buf);
        if (n <= 0) break;
        if (!socket_.sendBytes(buf, static_cast<std::size_t>(n), 8192, log, pm, heartbeatMs)) return false;
    }
    return true;
}

bool TlsChannel::feedIn(SteadyClock::time_point deadline, LogBase& log, ProgressMonitor* pm, int heartbeatMs,
                        bool& timedOut, bool& aborted, bool& closed) {
    std::string chunk;
    if (!socket_.receiveBytes(chunk, 20000, deadline, log, pm, heartbeatMs, timedOut, aborted, closed)) return false;
    if (!chunk.empty()) BIO_write(impl_->in, chunk.data(), static_cast<int>(chunk.size()));
    return true;
}

bool TlsChannel::connectThroughProxy(LogBase& log, bool& timedOut, ProgressMonitor* pm, int heartbeatMs) {
    if (!socket_.connectSocket(proxyHost_, proxyPort_, log, pm, heartbeatMs, timedOut)) {
        lastError_ = socket_.failReason();
        return false;
    }
    const std::string request =
        "CONNECT " + host_ + ":" + std::to_string(port_) + " HTTP/1.0\r\nUser-Agent: Zelmar\r\n\r\n";
    if (!socket_.sendBytes(request.data(), request.size(), 4096, log, pm, heartbeatMs)) {
        lastError_ = kErrProxy;
        return false;
    }
    // The answer ends with an empty line; only a 2xx status opens a tunnel
    // (anything else would have us shake hands with the proxy's error page).
    std::string answer;
    bool aborted = false;
    const auto deadline = socket_.readDeadline();
    if (!socket_.readUntilMatch(answer, "\r\n\r\n", 1000, deadline, log, pm, heartbeatMs, timedOut, aborted, 16384)) {
        log.logError("Error receiving message from proxy server");
        lastError_ = kErrProxy;
        socket_.closeSocket();
        return false;
    }
    if (answer.size() < 12 || !startsWithNoCase(answer, "HTTP/") || answer[answer.find(' ') + 1] != '2') {
        log.logError("Proxy refused the tunnel");
        log.logData("proxyResponse", std::string(trimView(answer.substr(0, answer.find('\r')))).c_str());
        lastError_ = kErrProxy;
        socket_.closeSocket();
        return false;
    }
    return true;
}

bool TlsChannel::establishChannel(LogBase& log, bool& timedOut, int readTimeoutMs, int heartbeatMs,
                                  ProgressMonitor* pm, const ClientCert* clientCert) {
    timedOut = false;
    verified_ = false;
    trust_ = Trust::None;
    lastError_ = 0;
    resetTls();
    socket_.closeSocket();
    if (readTimeoutMs > 0) socket_.setReadTimeout(readTimeoutMs);
    if (useProxy_) {
        if (!connectThroughProxy(log, timedOut, pm, heartbeatMs)) return false;
    } else if (!socket_.connectSocket(host_, port_, log, pm, heartbeatMs, timedOut)) {
        lastError_ = socket_.failReason();
        return false;
    }
    if (!handshake(log, timedOut, heartbeatMs, pm, clientCert, false)) {
        log.logError("Error performing handshake");
        return false;
    }
    return true;
}

bool TlsChannel::establishChannelOver(PlainSocket& socket, LogBase& log, bool& timedOut, int readTimeoutMs,
                                      int heartbeatMs, ProgressMonitor* pm, const ClientCert* clientCert) {
    timedOut = false;
    verified_ = false;
    trust_ = Trust::None;
    lastError_ = 0;
    resetTls();
    socket_.takeOver(socket);
    if (readTimeoutMs > 0) socket_.setReadTimeout(readTimeoutMs);
    // Bytes that arrived in plaintext after the STARTTLS reply were sent
    // before any encryption: reading them as TLS data would let a man in the
    // middle inject commands' replies. They are dropped.
    discarded_ = socket_.takeBuffered().size();
    if (discarded_ > 0) {
        log.logInfo("Discarded plaintext received before the TLS handshake");
        log.logDataLong("discardedBytes", static_cast<std::int32_t>(discarded_));
    }
    if (!handshake(log, timedOut, heartbeatMs, pm, clientCert, true)) {
        log.logError("Error performing handshake.");
        return false;
    }
    return true;
}

bool TlsChannel::handshake(LogBase& log, bool& timedOut, int heartbeatMs, ProgressMonitor* pm,
                           const ClientCert* cert, bool upgrade) {
    if (protocol_ != "default" && protocol_ != "tls 1.2" && protocol_ != "tls 1.3") {
        log.logError("Obsolete security protocol refused");
        log.logData("protocol", protocol_.c_str());
        lastError_ = kErrCredentials;
        socket_.closeSocket();
        return false;
    }
    SSL_CTX* ctx = caFile_.empty() ? sharedContext() : contextWithCaFile(caFile_);
    if (!ctx) {
        log.logError("Error loading security library");
        lastError_ = kErrLibrary;
        return false;
    }
    impl_ = std::make_unique<Impl>();
    impl_->ssl = SSL_new(ctx);
    impl_->in = BIO_new(BIO_s_mem());
    impl_->out = BIO_new(BIO_s_mem());
    if (!impl_->ssl || !impl_->in || !impl_->out) {
        if (impl_->in && !impl_->ssl) BIO_free(impl_->in);
        if (impl_->out && !impl_->ssl) BIO_free(impl_->out);
        log.logError("Error creating credentials");
        lastError_ = kErrCredentials;
        resetTls();
        return false;
    }
    SSL_set_bio(impl_->ssl, impl_->in, impl_->out);
    SSL_set_connect_state(impl_->ssl);
    if (protocol_ == "tls 1.3") SSL_set_min_proto_version(impl_->ssl, TLS1_3_VERSION);
    if (protocol_ == "tls 1.2") SSL_set_max_proto_version(impl_->ssl, TLS1_2_VERSION);
    X509_VERIFY_PARAM* param = SSL_get0_param(impl_->ssl);
    if (!host_.empty()) {
        if (isIpAddress(host_)) {
            X509_VERIFY_PARAM_set1_ip_asc(param, host_.c_str());
        } else {
            SSL_set_tlsext_host_name(impl_->ssl, host_.c_str());
            X509_VERIFY_PARAM_set1_host(param, host_.c_str(), 0);
        }
    }
    if (cert && !cert->certPemPath.empty()) {
        if (SSL_use_certificate_chain_file(impl_->ssl, cert->certPemPath.c_str()) != 1 ||
            SSL_use_PrivateKey_file(impl_->ssl, (cert->keyPemPath.empty() ? cert->certPemPath : cert->keyPemPath).c_str(),
                                    SSL_FILETYPE_PEM) != 1) {
            log.logError("Error creating credentials");
            log.logData("opensslError", opensslErrors().c_str());
            lastError_ = kErrCredentials;
            resetTls();
            return false;
        }
        X509* own = SSL_get_certificate(impl_->ssl);
        if (own) log.logData("ClientCertDN", nameEntry(X509_get_subject_name(own), false).c_str());
    }

    const auto deadline = socket_.readDeadline();
    std::size_t received = 0;
    for (int round = 0;; ++round) {
        ERR_clear_error();
        const int r = SSL_do_handshake(impl_->ssl);
        const int err = r == 1 ? SSL_ERROR_NONE : SSL_get_error(impl_->ssl, r);
        if (!flushOut(log, pm, heartbeatMs)) {
            log.logError(round == 0 ? "Error sending data to server in client handshake"
                                    : "Error sending data to server (2) in handshake loop");
            lastError_ = kErrHandshake;
            forceClose();
            return false;
        }
        if (r == 1) break;
        if (err != SSL_ERROR_WANT_READ || round > 100000) {
            log.logData("opensslError", opensslErrors().c_str());
            log.logError("Aborting SSL client handshake because of fatal error");
            lastError_ = kErrHandshake;
            forceClose();
            return false;
        }
        // A server's handshake may come in many segments; each read adds to
        // what OpenSSL holds, up to a bound.
        if (received >= kMaxHandshakeBytes) {
            log.logError("Handshake input too large");
            lastError_ = kErrHandshake;
            forceClose();
            return false;
        }
        bool aborted = false, closed = false;
        std::string chunk;
        if (!socket_.receiveBytes(chunk, 20000, deadline, log, pm, heartbeatMs, timedOut, aborted, closed)) {
            log.logDataLong("connectionClosed", closed ? 1 : 0);
            log.logDataLong("timedOut", timedOut ? 1 : 0);
            log.logError("Error reading data from server in handshake loop");
            lastError_ = kErrHandshake;
            forceClose();
            return false;
        }
        received += chunk.size();
        if (!chunk.empty()) BIO_write(impl_->in, chunk.data(), static_cast<int>(chunk.size()));
    }

    X509* peer = SSL_get1_peer_certificate(impl_->ssl);
    if (!peer) {
        log.logError("Error querying remote certificate");
        lastError_ = kErrRemoteCert;
        forceClose();
        return false;
    }
    const long verify = SSL_get_verify_result(impl_->ssl);
    if (host_.empty()) log.logInfo("Hostname is empty in VerifyServerCertificate");
    verified_ = verify == X509_V_OK && !host_.empty();
    peerFingerprint_ = sha256Hex(peer);
    trust_ = verified_ ? Trust::Verified : Trust::None;
    if (verified_) {
        log.logInfo(upgrade ? "SSL Server Certificate verified." : "SSL Server Certificate verified");
    } else {
        log.logData("WinVerifyTrustError", X509_verify_cert_error_string(verify));
        const bool untrustedRoot = verify == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
                                   verify == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
                                   verify == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
        if (!untrustedRoot) {
            char status[32];
            std::snprintf(status, sizeof status, "Status = 0x%lx", static_cast<unsigned long>(verify));
            log.logInfo(status);
        }
        log.logInfo(upgrade ? "SSL Server Certificate not verified." : "SSL Server Certificate not verified");
        log.logData("certFingerprintSha256", peerFingerprint_.c_str());
        if (requireVerified_) {
            log.logError("Failed to verify server certificate");
            X509_free(peer);
            lastError_ = kErrVerifyRequired;
            forceClose();
            return false;
        }
        if (expectedPin_.empty()) {
            log.logInfo("Unverified server certificate accepted on first use");
            trust_ = Trust::FirstUse;
        } else if (equalsNoCase(expectedPin_, peerFingerprint_)) {
            log.logInfo("Unverified server certificate matches the one accepted before");
            trust_ = Trust::Pinned;
        } else {
            // Not the certificate accepted before, and nothing vouches for
            // this one: nothing more goes over this channel, no login least.
            log.logError("The server certificate differs from the one accepted before");
            log.logData("expectedFingerprint", expectedPin_.c_str());
            X509_free(peer);
            lastError_ = kErrPinMismatch;
            forceClose();
            return false;
        }
    }
    {
        LogContextGuard ctx(log, "ConnectionInfo");
        const SSL_CIPHER* c = SSL_get_current_cipher(impl_->ssl);
        log.logData("protocol", SSL_get_version(impl_->ssl));
        if (c) {
            log.logData("cipher", SSL_CIPHER_get_name(c));
            log.logDataLong("cipherStrength", SSL_CIPHER_get_bits(c, nullptr));
            const EVP_MD* md = SSL_CIPHER_get_handshake_digest(c);
            log.logData("hash", md ? EVP_MD_get0_name(md) : "AEAD");
            log.logDataLong("hashStrength", md ? EVP_MD_get_size(md) * 8 : 0);
            const int kx = SSL_CIPHER_get_kx_nid(c);
            log.logData("keyExchange", kx ? OBJ_nid2sn(kx) : "unknown");
        }
    }
    if (!reqName_.empty() && !reqValue_.empty()) {
        std::string certValue;
        bool known = true;
        if (equalsNoCase(reqName_, "issuerdn")) certValue = nameEntry(X509_get_issuer_name(peer), false);
        else if (equalsNoCase(reqName_, "issuercn")) certValue = nameEntry(X509_get_issuer_name(peer), true);
        else if (equalsNoCase(reqName_, "subjectdn")) certValue = nameEntry(X509_get_subject_name(peer), false);
        else if (equalsNoCase(reqName_, "subjectcn")) certValue = nameEntry(X509_get_subject_name(peer), true);
        else known = false;
        if (known && certValue != reqValue_) {
            log.logError("SSL server certificate fails to match requirement");
            log.logData("requireName", reqName_.c_str());
            log.logData("requireValue", reqValue_.c_str());
            log.logData("certValue", certValue.c_str());
            X509_free(peer);
            lastError_ = kErrRequirement;
            forceClose();
            return false;
        }
    }
    X509_free(peer);
    log.logInfo("Secure Channel Established.");
    received_.clear();
    return true;
}

bool TlsChannel::sendSecure(const char* data, std::size_t size, LogBase& log, ProgressMonitor* pm, int heartbeatMs) {
    recordsLastSend_ = 0;
    if (!impl_ || !impl_->ssl) {
        log.logError("(SendSecure) Cannot send data, no client credentials exist");
        return false;
    }
    if (!socket_.isConnected()) {
        log.logError("(SendSecure) Cannot send data, not connected.");
        return false;
    }
    std::size_t sent = 0;
    while (sent < size) {
        const std::size_t piece = std::min(kMaxRecordData, size - sent);
        ERR_clear_error();
        const int n = SSL_write(impl_->ssl, data + sent, static_cast<int>(piece));
        if (n <= 0) {
            log.logData("opensslError", opensslErrors().c_str());
            log.logError("Failed to encrypt secure send request");
            return false;
        }
        sent += static_cast<std::size_t>(n);
        ++recordsLastSend_;
        ++recordsSent_;
        if (!flushOut(log, pm, heartbeatMs)) {
            log.logError("Failed to send secure");
            return false;
        }
    }
    return true;
}

bool TlsChannel::recvSecure(std::string& out, SteadyClock::time_point deadline, LogBase& log, ProgressMonitor* pm,
                            int heartbeatMs, bool& endOfSession, bool& timedOut, bool& aborted) {
    endOfSession = timedOut = aborted = false;
    if (!impl_ || !impl_->ssl) {
        log.logError("(RecvSecure) Cannot send data, no client credentials exist");
        return false;
    }
    const std::size_t before = out.size();
    char buf[16384];
    for (int round = 0; round < 1000000; ++round) {
        ERR_clear_error();
        const int n = SSL_read(impl_->ssl, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            continue;  // more may already be decrypted or buffered
        }
        const int err = SSL_get_error(impl_->ssl, n);
        // A read may also produce output (key updates, session tickets).
        flushOut(log, pm, heartbeatMs);
        if (err == SSL_ERROR_WANT_READ) {
            if (out.size() > before) return true;
            bool closed = false;
            if (!feedIn(deadline, log, pm, heartbeatMs, timedOut, aborted, closed)) {
                if (!timedOut && !aborted) log.logError("Failed to read TLS channel response (3)");
                return false;
            }
            continue;
        }
        if (err == SSL_ERROR_ZERO_RETURN) {
            log.logInfo("End of session has been signalled.");
            endOfSession = true;
            shutdownChannel(true, log);
            return out.size() > before;
        }
        log.logData("SysErrorCode", opensslErrors().c_str());
        log.logError("Error in DecryptMessage (2)");
        return false;
    }
    return out.size() > before;
}

bool TlsChannel::readUntilMatch(std::string& out, std::string_view match, std::size_t receiveSize,
                                SteadyClock::time_point deadline, LogBase& log, ProgressMonitor* pm, int heartbeatMs,
                                bool& timedOut, bool& aborted, std::size_t maxBytes) {
    (void)receiveSize;
    out.clear();
    timedOut = aborted = false;
    std::size_t searchFrom = 0;
    for (int round = 0; round < 10000000; ++round) {
        if (abortRequested(pm)) {
            log.logError("Socket read aborted by application");
            aborted = true;
            return false;
        }
        const std::size_t at = received_.find(match, searchFrom);
        if (at != std::string::npos && at + match.size() <= maxBytes) {
            out.assign(received_, 0, at + match.size());
            received_.erase(0, at + match.size());
            return true;
        }
        if (received_.size() >= maxBytes) {
            log.logError("Line too long without its end");
            forceClose();
            return false;
        }
        searchFrom = received_.size() >= match.size() ? received_.size() - match.size() + 1 : 0;
        bool end = false;
        if (!recvSecure(received_, deadline, log, pm, heartbeatMs, end, timedOut, aborted)) {
            if (timedOut && !received_.empty()) {
                out = std::move(received_);
                received_.clear();
            }
            return false;
        }
    }
    return false;
}

bool TlsChannel::shutdownChannel(bool closeSocket, LogBase& log) {
    if (!impl_ || !impl_->ssl) {
        log.logError("Cannot shutdown channel, no context exists");
        log.logError("Forcibly closing socket.");
        forceClose();
        return false;
    }
    log.logInfo("Shutting down TLS channel");
    SSL_shutdown(impl_->ssl);  // queues the close-notify
    LogNull quiet;
    if (!flushOut(quiet, nullptr, 0)) {
        log.logError("Error sending close notify");
        log.logError("Forcibly closing socket.");
        forceClose();
        return false;
    }
    resetTls();
    if (closeSocket) {
        log.logInfo("socket shutdown.");
        socket_.closeSocket();
    }
    log.logInfo("Secure Channel Shutdown Complete.");
    return true;
}

}  // namespace zelmar::mail
