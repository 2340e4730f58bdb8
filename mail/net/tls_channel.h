// The TLS channel of the mail component, over OpenSSL 3.
//
// OpenSSL works on memory buffers here and every byte on the wire goes
// through the channel's PlainSocket, so the handshake and each record share
// the socket layer's deadlines, aborts and piece sizes. The channel runs
// either from the first byte (implicit TLS) or over a connected socket after
// STARTTLS; in that case any plaintext the server sent before the handshake
// is dropped, never read as if it had come through TLS.
//
// The server certificate is checked against the system trust store (or a CA
// file the owner names) with the host name (or IP address). Small servers
// often have a self-signed certificate, so an unverifiable one is not
// refused outright: it is trusted on first use, and the owner keeps its
// SHA-256 fingerprint for that server and port. A later unverifiable
// certificate with another fingerprint is refused (someone may sit in the
// middle), and so is every unverifiable one when verification is required.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "mail/base/log_base.h"
#include "mail/base/progress_monitor.h"
#include "mail/net/plain_socket.h"

namespace zelmar::mail {

// A client certificate for TLS client authentication: PEM files.
struct ClientCert {
    std::string certPemPath;
    std::string keyPemPath;
};

class TlsChannel {
public:
    // Error codes left by a failed establish (or the socket's fail reason).
    enum { kErrLibrary = 100, kErrCredentials = 101, kErrProxy = 102, kErrHandshake = 103,
           kErrRemoteCert = 104, kErrVerifyRequired = 105, kErrRequirement = 106, kErrPinMismatch = 107 };
    // How the server's certificate was trusted by the last handshake.
    enum class Trust { None, Verified, FirstUse, Pinned };
    static constexpr std::size_t kMaxRecordData = 16000;
    // The handshake may bring at most this much from the server.
    static constexpr std::size_t kMaxHandshakeBytes = 1024 * 1024;

    TlsChannel();
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Implicit TLS: connect (through the proxy when set) and shake hands.
    bool establishChannel(LogBase& log, bool& timedOut, int readTimeoutMs, int heartbeatMs, ProgressMonitor* pm,
                          const ClientCert* clientCert = nullptr);
    // Upgrade: take over an already connected socket and shake hands.
    bool establishChannelOver(PlainSocket& socket, LogBase& log, bool& timedOut, int readTimeoutMs, int heartbeatMs,
                              ProgressMonitor* pm, const ClientCert* clientCert = nullptr);

    bool sendSecure(const char* data, std::size_t size, LogBase& log, ProgressMonitor* pm, int heartbeatMs);
    // Appends decrypted bytes to out (at least one unless it fails).
    bool recvSecure(std::string& out, SteadyClock::time_point deadline, LogBase& log, ProgressMonitor* pm,
                    int heartbeatMs, bool& endOfSession, bool& timedOut, bool& aborted);
    bool readUntilMatch(std::string& out, std::string_view match, std::size_t receiveSize,
                        SteadyClock::time_point deadline, LogBase& log, ProgressMonitor* pm, int heartbeatMs,
                        bool& timedOut, bool& aborted, std::size_t maxBytes = PlainSocket::kDefaultMaxLine);
    bool shutdownChannel(bool closeSocket, LogBase& log);
    // Drops the TLS state and closes the socket without a close-notify.
    void forceClose();
    bool isConnected() const;

    void setProtocol(std::string_view name);
    void setHost(std::string host) { host_ = std::move(host); }
    void setPort(int port) { port_ = port; }
    void setProxy(std::string host, int port) { useProxy_ = !host.empty(); proxyHost_ = std::move(host); proxyPort_ = port; }
    void setReadTimeout(int seconds) { socket_.setReadTimeout(seconds * 1000); }
    void setReadTimeoutMs(int ms) { socket_.setReadTimeout(ms); }
    void setConnectTimeout(int seconds) { socket_.setConnectTimeout(seconds); }
    void setRequireVerified(bool on) { requireVerified_ = on; }
    // The fingerprint accepted earlier for this server (lower-case hex of
    // the SHA-256 of the certificate), "" when none.
    void setExpectedPin(std::string sha256Hex) { expectedPin_ = std::move(sha256Hex); }
    // Trusted roots in addition to the system's (PEM file), "" for none.
    void setCaFile(std::string path) { caFile_ = std::move(path); }
    Trust trust() const { return trust_; }
    // The fingerprint of the last server certificate seen.
    const std::string& peerFingerprint() const { return peerFingerprint_; }
    void setRequirement(std::string name, std::string value) { reqName_ = std::move(name); reqValue_ = std::move(value); }

    bool verified() const { return verified_; }
    int lastError() const { return lastError_; }
    PlainSocket& socket() { return socket_; }
    // Plaintext bytes dropped by the last upgrade (sent before the handshake).
    std::size_t discardedBeforeHandshake() const { return discarded_; }
    // Records written by the last sendSecure (for the record-size rule).
    std::size_t recordsLastSend() const { return recordsLastSend_; }
    std::size_t recordsSent() const { return recordsSent_; }

private:
    struct Impl;
    bool handshake(LogBase& log, bool& timedOut, int heartbeatMs, ProgressMonitor* pm, const ClientCert* cert,
                   bool upgrade);
    bool flushOut(LogBase& log, ProgressMonitor* pm, int heartbeatMs);
    bool feedIn(SteadyClock::time_point deadline, LogBase& log, ProgressMonitor* pm, int heartbeatMs, bool& timedOut,
                bool& aborted, bool& closed);
    bool connectThroughProxy(LogBase& log, bool& timedOut, ProgressMonitor* pm, int heartbeatMs);
    void resetTls();

    std::unique_ptr<Impl> impl_;
    PlainSocket socket_;
    std::string host_;
    int port_ = 443;
    bool useProxy_ = false;
    std::string proxyHost_;
    int proxyPort_ = 80;
    std::string protocol_ = "default";
    std::string received_;  // decrypted, not yet handed out
    bool verified_ = false;
    bool requireVerified_ = false;
    std::string expectedPin_, caFile_, peerFingerprint_;
    Trust trust_ = Trust::None;
    std::string reqName_, reqValue_;
    int lastError_ = 0;
    std::size_t discarded_ = 0;
    std::size_t recordsLastSend_ = 0;
    std::size_t recordsSent_ = 0;
};

}  // namespace zelmar::mail
