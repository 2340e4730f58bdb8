#include "mail/net/socket2.h"

namespace zelmar::mail {

bool Socket2::connectPlain(const std::string& host, int port, LogBase& log, ProgressMonitor* pm, int heartbeatMs,
                           bool& timedOut) {
    close();
    return plain_.connectSocket(host, port, log, pm, heartbeatMs, timedOut);
}

bool Socket2::connectTls(const std::string& host, int port, LogBase& log, ProgressMonitor* pm, int heartbeatMs,
                         bool& timedOut, const ClientCert* cert) {
    close();
    channel_.setHost(host);
    channel_.setPort(port);
    tls_ = channel_.establishChannel(log, timedOut, plain_.readTimeoutMs(), heartbeatMs, pm, cert);
    return tls_;
}

bool Socket2::upgradeToTls(const std::string& host, LogBase& log, ProgressMonitor* pm, int heartbeatMs,
                           bool& timedOut, const ClientCert* cert) {
    channel_.setHost(host);
    tls_ = channel_.establishChannelOver(plain_, log, timedOut, plain_.readTimeoutMs(), heartbeatMs, pm, cert);
    return tls_;
}

bool Socket2::sendBytes(const char* data, std::size_t size, LogBase& log, ProgressMonitor* pm, int heartbeatMs) {
    return tls_ ? channel_.sendSecure(data, size, log, pm, heartbeatMs)
                : plain_.sendBytes(data, size, 4096, log, pm, heartbeatMs);
}

bool Socket2::readUntilMatch(std::string& out, std::string_view match, SteadyClock::time_point deadline,
                             LogBase& log, ProgressMonitor* pm, int heartbeatMs, bool& timedOut, bool& aborted,
                             std::size_t maxBytes) {
    return tls_ ? channel_.readUntilMatch(out, match, 1000, deadline, log, pm, heartbeatMs, timedOut, aborted, maxBytes)
                : plain_.readUntilMatch(out, match, 1000, deadline, log, pm, heartbeatMs, timedOut, aborted, maxBytes);
}

void Socket2::close() {
    channel_.forceClose();
    plain_.closeSocket();
    tls_ = false;
}

void Socket2::closeTls(LogBase& log) {
    if (tls_ && channel_.isConnected()) channel_.shutdownChannel(true, log);
    close();
}

}  // namespace zelmar::mail
