// One connection that is either plain or TLS: each send, receive and close
// goes to the TLS channel when it is in use, else to the plain socket.
#pragma once

#include "mail/net/plain_socket.h"
#include "mail/net/tls_channel.h"

namespace zelmar::mail {

class Socket2 {
public:
    bool usingTls() const { return tls_; }
    PlainSocket& plain() { return plain_; }
    TlsChannel& channel() { return channel_; }

    bool connectPlain(const std::string& host, int port, LogBase& log, ProgressMonitor* pm, int heartbeatMs,
                      bool& timedOut);
    bool connectTls(const std::string& host, int port, LogBase& log, ProgressMonitor* pm, int heartbeatMs,
                    bool& timedOut, const ClientCert* cert = nullptr);
    // STARTTLS: moves the plain connection into the channel.
    bool upgradeToTls(const std::string& host, LogBase& log, ProgressMonitor* pm, int heartbeatMs, bool& timedOut,
                      const ClientCert* cert = nullptr);

    bool isConnected() const { return tls_ ? channel_.isConnected() : plain_.isConnected(); }
    bool sendBytes(const char* data, std::size_t size, LogBase& log, ProgressMonitor* pm, int heartbeatMs);
    bool readUntilMatch(std::string& out, std::string_view match, SteadyClock::time_point deadline, LogBase& log,
                        ProgressMonitor* pm, int heartbeatMs, bool& timedOut, bool& aborted,
                        std::size_t maxBytes = PlainSocket::kDefaultMaxLine);
    void setReadTimeout(int ms) { plain_.setReadTimeout(ms); channel_.setReadTimeoutMs(ms); }
    void setConnectTimeout(int seconds) { plain_.setConnectTimeout(seconds); channel_.setConnectTimeout(seconds); }
    int readTimeoutMs() const { return plain_.readTimeoutMs(); }
    // This end's address of the connection (dotted IPv4), "" when unknown.
    std::string localAddress() { return tls_ ? channel_.socket().localAddress() : plain_.localAddress(); }
    // Closes without a close-notify (closeTls sends one first).
    void close();
    void closeTls(LogBase& log);

private:
    PlainSocket plain_;
    TlsChannel channel_;
    bool tls_ = false;
};

}  // namespace zelmar::mail
