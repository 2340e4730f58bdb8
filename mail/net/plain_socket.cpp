#include "mail/net/plain_socket.h"

#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <thread>
#include <utility>

#include "mail/base/string_buffer.h"
#include "mail/net/socket_errors.h"

namespace zelmar::mail {

namespace {

std::atomic<int> g_nextSerial{1};

int msLeft(SteadyClock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 0x7FFFFFFF));
}

bool isDotted(const std::string& host) {
    in_addr a{};
    return inet_pton(AF_INET, host.c_str(), &a) == 1;
}

// The slice a wait uses between abort checks: with a monitor, the heartbeat
// (at least 50 ms, at most 200 ms when there is none); without, the whole wait.
SteadyClock::time_point sliceEnd(SteadyClock::time_point deadline, ProgressMonitor* pm, int heartbeatMs) {
    if (!pm) return deadline;
    const int slice = heartbeatMs > 0 ? std::max(50, heartbeatMs) : 200;
    return std::min(deadline, SteadyClock::now() + std::chrono::milliseconds(slice));
}

// One lookup with the time left; the thread keeps the shared state alive
// when the caller gives up first.
bool lookupOnce(const std::string& name, SteadyClock::time_point deadline, int heartbeatMs, ProgressMonitor* pm,
                std::string& dotted, bool& timedOut, bool& aborted, LogBase& log) {
    // An abort asked for before the lookup starts is honoured even when the
    // lookup itself would finish before the first look at the monitor.
    if (abortRequested(pm)) {
        log.logError("DNS lookup aborted by application callback");
        aborted = true;
        return false;
    }
    auto job = std::make_shared<HostnameResolve>(name);
    try {
        std::thread([job] { job->run(); }).detach();
    } catch (...) {
        log.logError("Memory allocation failure.");
        return false;
    }
    auto nextBeat = SteadyClock::now() + std::chrono::milliseconds(std::max(heartbeatMs, 10));
    for (long round = 0; job->busy() && round < 100000000L; ++round) {
        if (abortRequested(pm)) {
            log.logError("DNS lookup aborted by application callback");
            aborted = true;
            return false;
        }
        if (SteadyClock::now() >= deadline) {
            timedOut = true;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (pm && heartbeatMs > 0 && SteadyClock::now() >= nextBeat) {
            pm->consume(0);
            nextBeat = SteadyClock::now() + std::chrono::milliseconds(heartbeatMs);
        }
    }
    dotted = job->dotted();
    return !dotted.empty();
}

}  // namespace

bool startupWinsock(LogBase&) {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
    return true;
}

void HostnameResolve::run() {
    addrinfo hints{};
    hints.ai_family = AF_INET;  // the log and the callers speak dotted IPv4
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host_.c_str(), nullptr, &hints, &found) == 0 && found) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
        const auto* b = reinterpret_cast<const unsigned char*>(&a->sin_addr.s_addr);
        char text[32];
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
        std::lock_guard lock(mutex_);
        dotted_ = text;
        address_ = a->sin_addr.s_addr;
    }
    if (found) ::freeaddrinfo(found);
    busy_.store(false, std::memory_order_release);
}

std::string HostnameResolve::dotted() const {
    std::lock_guard lock(mutex_);
    return dotted_;
}

std::uint32_t HostnameResolve::address() const {
    std::lock_guard lock(mutex_);
    return address_;
}

std::string cleanHostName(std::string_view host) {
    std::string out;
    for (char c : trimView(host)) {
        if (std::string_view(" \t\r\n'\"<>:/@?").find(c) != std::string_view::npos) continue;
        out.push_back(asciiLower(c));
    }
    return out;
}

bool resolveHostTimed(const std::string& host, int timeoutMs, int heartbeatMs, ProgressMonitor* pm,
                      std::string& dotted, bool& timedOut, bool& aborted, LogBase& log) {
    timedOut = aborted = false;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 1));
    if (lookupOnce(host, deadline, heartbeatMs, pm, dotted, timedOut, aborted, log)) return true;
    if (aborted) return false;
    if (timedOut || SteadyClock::now() >= deadline) {
        log.logError("DNS timed out.");
        timedOut = true;
        return false;
    }
    const std::string cleaned = cleanHostName(host);
    if (!cleaned.empty() && cleaned != host) {
        if (lookupOnce(cleaned, deadline, heartbeatMs, pm, dotted, timedOut, aborted, log)) return true;
        if (timedOut) log.logError("DNS timed out.");
    }
    // A name with one dot is not retried as "www." + name: the login would
    // go to a host the user never named.
    return false;
}

bool resolveHost(const std::string& host, std::string& dotted, std::string* officialName, LogBase&) {
    for (const std::string& name : {host, cleanHostName(host)}) {
        if (name.empty()) continue;
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0 && found) {
            const auto* a = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            dotted = text;
            if (officialName && found->ai_canonname) *officialName = found->ai_canonname;
            ::freeaddrinfo(found);
            return true;
        }
        if (found) ::freeaddrinfo(found);
    }
    return false;
}

bool localHostName(std::string& name, LogBase& log) {
    if (!startupWinsock(log)) {
        log.logError("WSA startup failed for getting local hostname");
        return false;
    }
    char host[501] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return false;
    name = host;
    std::string dotted, official;
    if (resolveHost(name, dotted, &official, log) && !official.empty()) name = official;
    return !name.empty();
}

void BandwidthThrottle::setLimit(std::uint64_t bytesPerSecond) {
    limit_ = bytesPerSecond;
    start_ = SteadyClock::now();
    bytes_ = 0;
}

bool BandwidthThrottle::waitBefore(int heartbeatMs, ProgressMonitor* pm) {
    if (limit_ == 0) return true;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start_).count();
    // The first 200 ms go unchecked: an average over a shorter time says
    // little, and a short burst is not worth a sleep.
    if (elapsed < 200 || bytes_ * 1000 / static_cast<std::uint64_t>(elapsed) < limit_) return true;
    const long long dueMs = std::min<long long>(static_cast<long long>(bytes_ * 1000 / limit_), elapsed + 20000);
    const auto until = start_ + std::chrono::milliseconds(dueMs);
    const int slice = heartbeatMs > 0 ? heartbeatMs : 50;
    for (int round = 0; round < 100000 && SteadyClock::now() < until; ++round) {
        if (abortRequested(pm)) return false;
        std::this_thread::sleep_for(std::min<SteadyClock::duration>(until - SteadyClock::now(),
                                                                     std::chrono::milliseconds(slice)));
    }
    return true;
}

void BandwidthThrottle::count(std::uint64_t bytes) {
    if (limit_ == 0) return;
    if (bytes_ == 0) start_ = SteadyClock::now();
    bytes_ += bytes;
}

PlainSocket::PlainSocket() : sock_(1), serial_(g_nextSerial.fetch_add(1)) {
    LogNull quiet;
    startupWinsock(quiet);
}

PlainSocket::~PlainSocket() { closeSocket(); }

void PlainSocket::setReadTimeout(int ms) {
    if (ms <= 0) ms = 21600000;
    readTimeoutMs_ = std::min(ms, kMaxReadTimeoutMs);
}

void PlainSocket::closeSocket() {
    sock_.Close();
    buffer_.clear();
    connected_ = false;
}

void PlainSocket::takeOver(PlainSocket& other) {
    closeSocket();
    sock_ = std::move(other.sock_);
    connected_ = std::exchange(other.connected_, false);
    buffer_ = std::move(other.buffer_);
    other.buffer_.clear();
    readTimeoutMs_ = other.readTimeoutMs_;
    connectTimeoutMs_ = other.connectTimeoutMs_;
    lastSendError_ = other.lastSendError_;
    resolvedAddress_ = other.resolvedAddress_;
    failReason_ = other.failReason_;
    connectErrno_ = other.connectErrno_;
}

std::string PlainSocket::connectProblem() const {
    switch (failReason_) {
        case kNoHost: return "no host name given";
        case kLookupFailed: return "host name not found";
        case kLookupTimedOut: return "the host name lookup timed out";
        case kLookupAborted: return "the host name lookup was stopped";
        case kConnectTimedOut: return std::strerror(ETIMEDOUT);
        case kNoSocket:
        case kConnectFailed: return connectErrno_ ? std::strerror(connectErrno_) : "the connection failed";
        default: return std::string();
    }
}

std::string PlainSocket::takeBuffered() {
    std::string out;
    out.swap(buffer_);
    return out;
}

bool PlainSocket::connectSocket(const std::string& hostIn, int port, LogBase& log, ProgressMonitor* pm,
                                int heartbeatMs, bool& timedOut) {
    (void)heartbeatMs;
    timedOut = false;
    failReason_ = kNone;
    connectErrno_ = 0;
    closeSocket();
    startupWinsock(log);
    std::string host(trimView(hostIn));
    if (host.empty()) {
        log.logError("Cannot connect, hostname is zero length");
        failReason_ = kNoHost;
        return false;
    }
    if (equalsNoCase(host, "localhost")) host = "127.0.0.1";

    const auto start = SteadyClock::now();
    // A connect timeout of 0 means no limit of our own (the kernel's applies).
    const int limitMs = connectTimeoutMs_ > 0 ? connectTimeoutMs_ : 21600000;
    const auto deadline = start + std::chrono::milliseconds(limitMs);
    std::string address = host;
    if (!isDotted(host)) {
        ProgressMonitor own;
        bool lookupTimedOut = false, lookupAborted = false;
        ProgressMonitor* monitor = pm ? pm : &own;
        if (!resolveHostTimed(host, limitMs, 200, monitor, address, lookupTimedOut, lookupAborted, log)) {
            log.logError("Cannot get host by name..");
            log.logData("hostname", host.c_str());
            failReason_ = lookupAborted ? kLookupAborted : lookupTimedOut ? kLookupTimedOut : kLookupFailed;
            timedOut = lookupTimedOut;
            return false;
        }
        if (SteadyClock::now() >= deadline) {
            log.logError("Application timeout after DNS");
            failReason_ = kLookupTimedOut;
            timedOut = true;
            return false;
        }
    }
    resolvedAddress_ = address;

    const int leftMs = std::max(1, msLeft(deadline));
    sock_.SetTimeoutSeconds((leftMs + 999) / 1000);
    if (!localBindAddress_.empty()) log.logData("BindIpAddr", localBindAddress_.c_str());
    bool bindFailed = false;
    if (!sock_.StartConnect(address, port, localBindAddress_, &bindFailed)) {
        const int err = errno;
        connectErrno_ = err;
        logSocketError(err, log);
        if (bindFailed) {
            log.logError("Failed to bind to local IP address");
            failReason_ = kConnectFailed;
            sock_.Close();
            return false;
        }
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == EAFNOSUPPORT) {
            log.logError("Cannot connect, invalid socket.");
            failReason_ = kNoSocket;
        } else {
            log.logError("Connect function failed.");
            failReason_ = kConnectFailed;
        }
        sock_.Close();
        return false;
    }
    // poll() for writability, then SO_ERROR: a refused non-blocking connect
    // also becomes writable.
    const bool finished = sock_.FinishConnect();
    if (!finished) {
        const int err = sock_.PendingError();
        if (err == 0 && SteadyClock::now() >= deadline) {
            log.logDataLong("ConnectTimeoutMs", connectTimeoutMs_);
            failReason_ = kConnectTimedOut;
            timedOut = true;
            logSocketError(ETIMEDOUT, log);
        } else {
            connectErrno_ = err ? err : ECONNREFUSED;
            logSocketError(connectErrno_, log);
            log.logData("sockError", std::to_string(err).c_str());
            failReason_ = kConnectFailed;
        }
        log.logError("Connect function failed.");
        sock_.Close();
        return false;
    }
    sock_.SetTimeoutSeconds((readTimeoutMs_ + 999) / 1000);
    connected_ = true;
    buffer_.clear();
    return true;
}

bool PlainSocket::sendBytes(const char* data, std::size_t size, std::size_t pieceSize, LogBase& log,
                            ProgressMonitor* pm, int heartbeatMs) {
    if (!isConnected()) {
        log.logError("This socket is not connected");
        return false;
    }
    if (pieceSize == 0) pieceSize = 4096;
    std::size_t sent = 0;
    while (sent < size) {
        if (abortRequested(pm)) {
            log.logError("Socket SendBytes2 aborted by application. (1)");
            return false;
        }
        if (!upload_.waitBefore(heartbeatMs, pm)) {
            log.logError("Aborted by application while upload throttling (1)");
            return false;
        }
        const std::size_t piece = std::min(pieceSize, size - sent);
        // Loop until the whole piece is gone: a short send is not the end.
        std::size_t done = 0;
        auto idleDeadline = readDeadline();
        for (int round = 0; done < piece && round < 10000000; ++round) {
            const long n = sock_.SendSomeUntil(data + sent + done, piece - done, sliceEnd(idleDeadline, pm, heartbeatMs));
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                idleDeadline = readDeadline();
                continue;
            }
            if (n == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (sock_.LastErrno() == ETIMEDOUT) {
                if (abortRequested(pm)) {
                    log.logError("Socket send aborted by application");
                    return false;
                }
                if (SteadyClock::now() < idleDeadline) continue;
                log.logDataLong("idleTimeoutMs", readTimeoutMs_);
                log.logError("Socket send idle timeout");
                return false;
            }
            lastSendError_ = sock_.LastErrno();
            logSocketError(lastSendError_, log);
            log.logError("Error sending on socket");
            log.logDataLong("send_size", static_cast<std::int32_t>(piece));
            closeSocket();
            return false;
        }
        sent += piece;
        upload_.count(piece);
        if (pm) {
            pm->consume(piece);
            if (pm->abortCheck()) {
                log.logError("Socket send aborted by application");
                return false;
            }
        }
    }
    return true;
}

bool PlainSocket::isReadable() {
    return sock_.IsOpen() && sock_.WaitReadable(SteadyClock::now());
}

bool PlainSocket::waitForData(int ms, LogBase& log, ProgressMonitor* pm) {
    if (!isConnected()) return false;
    if (!buffer_.empty()) return true;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(std::max(ms, 0));
    for (int round = 0; round < 10000000; ++round) {
        if (sock_.WaitReadable(sliceEnd(deadline, pm, 200))) return true;
        if (abortRequested(pm)) {
            log.logError("Wait-for-data aborted by app");
            return false;
        }
        if (SteadyClock::now() >= deadline) return false;
    }
    return false;
}

bool PlainSocket::receiveBytes(std::string& out, std::size_t maxSize, SteadyClock::time_point deadline,
                               LogBase& log, ProgressMonitor* pm, int heartbeatMs, bool& timedOut, bool& aborted,
                               bool& closed) {
    timedOut = aborted = closed = false;
    if (!isConnected()) {
        log.logError("This socket is not connected");
        closed = true;
        return false;
    }
    maxSize = std::clamp<std::size_t>(maxSize, 1, 1000000);
    // Wait in slices so that an abort is seen while waiting.
    for (int round = 0;; ++round) {
        if (sock_.WaitReadable(sliceEnd(deadline, pm, heartbeatMs))) break;
        if (abortRequested(pm)) {
            log.logError("socket operation aborted by application callback");
            aborted = true;
            return false;
        }
        if (SteadyClock::now() >= deadline || round > 100000000) {
            log.logError("Timeout waiting to read socket or accept connection");
            log.logDataLong("timeoutMs", readTimeoutMs_);
            timedOut = true;
            return false;
        }
    }
    if (!download_.waitBefore(heartbeatMs, pm)) {
        log.logError("Aborted by application while download throttling (2)");
        aborted = true;
        return false;
    }
    char stackBuf[4000];
    std::string heapBuf;
    char* buf = stackBuf;
    if (maxSize > sizeof stackBuf) {
        heapBuf.resize(maxSize);
        buf = heapBuf.data();
    }
    const long n = sock_.ReceiveUntil(buf, maxSize, SteadyClock::now());
    if (n == 0) {
        log.logDataLong("numBytesRequested", static_cast<std::int32_t>(maxSize));
        log.logError("Connection closed by server.");
        closeSocket();
        closed = true;
        return false;
    }
    if (n < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) return true;  // woke without data: nothing new
        const SocketErrorText t = socketErrorText(err);
        std::string text = "SOCKET_ERROR: ";
        text += t.text ? t.text : std::to_string(err);
        log.logError(text.c_str());
        log.logDataLong("numBytesRequested", static_cast<std::int32_t>(maxSize));
        log.logError("Failed to receive data on the TCP socket");
        closeSocket();
        closed = true;
        return false;
    }
    out.append(buf, static_cast<std::size_t>(n));
    download_.count(static_cast<std::uint64_t>(n));
    if (pm) pm->consume(0);
    return true;
}

bool PlainSocket::readUntilMatch(std::string& out, std::string_view match, std::size_t receiveSize,
                                 SteadyClock::time_point deadline, LogBase& log, ProgressMonitor* pm,
                                 int heartbeatMs, bool& timedOut, bool& aborted, std::size_t maxBytes) {
    out.clear();
    timedOut = aborted = false;
    std::size_t searchFrom = 0;
    for (int round = 0; round < 10000000; ++round) {
        if (abortRequested(pm)) {
            log.logError("socket read-until-match aborted by application callback");
            aborted = true;
            return false;
        }
        const std::size_t at = buffer_.find(match, searchFrom);
        if (at != std::string::npos && at + match.size() <= maxBytes) {
            out.assign(buffer_, 0, at + match.size());
            buffer_.erase(0, at + match.size());
            return true;
        }
        if (buffer_.size() >= maxBytes) {
            log.logError("Line too long without its end");
            log.logDataLong("maxBytes", static_cast<std::int32_t>(maxBytes));
            closeSocket();
            return false;
        }
        searchFrom = buffer_.size() >= match.size() ? buffer_.size() - match.size() + 1 : 0;
        bool closed = false;
        const std::size_t want = std::min(receiveSize, maxBytes - buffer_.size());
        if (!receiveBytes(buffer_, want, deadline, log, pm, heartbeatMs, timedOut, aborted, closed)) {
            if (timedOut && !buffer_.empty()) {
                // An incomplete line is no reply: hand it out for the log only.
                out = std::move(buffer_);
                buffer_.clear();
            }
            if (!timedOut && !aborted && !closed) {
                log.logError(isReadable() ? "Failed to read data from socket" : "Socket is no longer readable");
            }
            return false;
        }
    }
    return false;
}

}  // namespace zelmar::mail
