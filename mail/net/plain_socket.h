// The mail component's blocking TCP client, built on the shared timed socket.
//
// PlainSocket resolves host names on a short-lived thread (so a slow lookup
// can time out or be aborted), connects with a time limit, sends in pieces
// and receives with idle limits, and cuts lines out of its receive buffer
// (read until match). Every wait uses poll() on one descriptor and ends at
// a deadline; a read-until-match also ends at a size cap, so a peer that
// never sends a line end, or sends one byte at a time, cannot hold the
// caller for ever or exhaust memory.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "mail/base/log_base.h"
#include "mail/base/progress_monitor.h"
#include "net/timeout_socket.h"

namespace zelmar::mail {

using SteadyClock = std::chrono::steady_clock;

// Once-per-process start of the socket layer: SIGPIPE is ignored (sends also
// pass MSG_NOSIGNAL). Later calls report success.
bool startupWinsock(LogBase& log);

// The state of one timed name lookup, shared by the waiting caller and the
// lookup thread; whichever lets go last frees it (std::shared_ptr).
class HostnameResolve {
public:
    explicit HostnameResolve(std::string host) : host_(std::move(host)) {}
    const std::string& host() const { return host_; }
    bool busy() const { return busy_.load(std::memory_order_acquire); }
    // Runs the lookup (on whichever thread calls it) and clears busy.
    void run();
    // The dotted IPv4 address found, "" when none.
    std::string dotted() const;
    std::uint32_t address() const;

private:
    const std::string host_;
    std::atomic<bool> busy_{true};
    mutable std::mutex mutex_;
    std::string dotted_;
    std::uint32_t address_ = 0;  // network order
};

// Looks host up on a thread of its own, polling every 10 ms up to timeoutMs,
// giving the monitor a heartbeat and honouring its abort. On failure, a name
// that loses characters when cleaned is looked up again cleaned. Only names
// the user gave are ever looked up (no invented "www." names).
bool resolveHostTimed(const std::string& host, int timeoutMs, int heartbeatMs, ProgressMonitor* pm,
                      std::string& dotted, bool& timedOut, bool& aborted, LogBase& log);
// Blocking lookup; also gives the official (canonical) name when known.
bool resolveHost(const std::string& host, std::string& dotted, std::string* officialName, LogBase& log);
// The local host's official name, or its plain host name.
bool localHostName(std::string& name, LogBase& log);
// The name cleaned as the second lookup uses it: blanks and the characters
// ' " < > : / @ ? removed, lower-cased.
std::string cleanHostName(std::string_view host);

// Limits a transfer to a number of bytes per second (0: no limit).
class BandwidthThrottle {
public:
    void setLimit(std::uint64_t bytesPerSecond);
    std::uint64_t limit() const { return limit_; }
    // Waits as the limit demands before a transfer; false when aborted.
    bool waitBefore(int heartbeatMs, ProgressMonitor* pm);
    void count(std::uint64_t bytes);

private:
    std::uint64_t limit_ = 0;
    SteadyClock::time_point start_{};
    std::uint64_t bytes_ = 0;
};

class PlainSocket {
public:
    // Fail reasons of the last connect.
    enum FailReason { kNone = 0, kNoHost = 1, kLookupFailed = 2, kLookupTimedOut = 3, kLookupAborted = 4,
                      kNoSocket = 5, kConnectTimedOut = 6, kConnectFailed = 7 };
    static constexpr int kDefaultReadTimeoutMs = 30000;
    static constexpr int kMaxReadTimeoutMs = 5000000;
    static constexpr std::size_t kDefaultMaxLine = 64 * 1024;

    PlainSocket();
    ~PlainSocket();
    PlainSocket(const PlainSocket&) = delete;
    PlainSocket& operator=(const PlainSocket&) = delete;

    bool connectSocket(const std::string& host, int port, LogBase& log, ProgressMonitor* pm, int heartbeatMs,
                       bool& timedOut);
    // Moves the other socket's connection, timeouts and state into this one.
    void takeOver(PlainSocket& other);
    void closeSocket();
    bool isConnected() const { return connected_ && sock_.IsOpen(); }

    // Sends all of data in pieces of at most pieceSize, each piece looping
    // over partial sends; the wait for room is limited by the read timeout.
    bool sendBytes(const char* data, std::size_t size, std::size_t pieceSize, LogBase& log, ProgressMonitor* pm,
                   int heartbeatMs);
    // Appends what one receive yields (1..maxSize bytes, capped at 1000000)
    // to out; waits until deadline at the latest.
    bool receiveBytes(std::string& out, std::size_t maxSize, SteadyClock::time_point deadline, LogBase& log,
                      ProgressMonitor* pm, int heartbeatMs, bool& timedOut, bool& aborted, bool& closed);
    bool receiveBytes(std::string& out, std::size_t maxSize, LogBase& log, ProgressMonitor* pm, int heartbeatMs,
                      bool& timedOut, bool& aborted, bool& closed) {
        return receiveBytes(out, maxSize, readDeadline(), log, pm, heartbeatMs, timedOut, aborted, closed);
    }
    // Moves everything up to and including match into out. Fails when the
    // deadline passes (timedOut; a partial text is put into out but does
    // not count), when more than maxBytes arrive without the match, or when
    // the connection ends.
    bool readUntilMatch(std::string& out, std::string_view match, std::size_t receiveSize,
                        SteadyClock::time_point deadline, LogBase& log, ProgressMonitor* pm, int heartbeatMs,
                        bool& timedOut, bool& aborted, std::size_t maxBytes = kDefaultMaxLine);
    bool readUntilMatch(std::string& out, std::string_view match, std::size_t receiveSize, LogBase& log,
                        ProgressMonitor* pm, int heartbeatMs, bool& timedOut, bool& aborted) {
        return readUntilMatch(out, match, receiveSize, readDeadline(), log, pm, heartbeatMs, timedOut, aborted);
    }
    // Waits up to ms for data; false on time-out, abort or a gone peer.
    bool waitForData(int ms, LogBase& log, ProgressMonitor* pm);
    bool isReadable();

    // Bytes received but not yet handed out; takeBuffered empties them.
    const std::string& buffered() const { return buffer_; }
    std::string takeBuffered();

    void setReadTimeout(int ms);
    // When set, the socket is bound to this local dotted address before
    // connecting ("" for none).
    void setLocalBindAddress(std::string address) { localBindAddress_ = std::move(address); }
    const std::string& localBindAddress() const { return localBindAddress_; }
    void setConnectTimeout(int seconds) { connectTimeoutMs_ = seconds < 0 ? 0 : seconds * 1000; }
    int readTimeoutMs() const { return readTimeoutMs_; }
    int connectTimeoutMs() const { return connectTimeoutMs_; }
    SteadyClock::time_point readDeadline() const { return SteadyClock::now() + std::chrono::milliseconds(readTimeoutMs_); }
    int failReason() const { return failReason_; }
    // Why the last connect failed, in the system's words ("Connection
    // refused"); "" when it did not fail before a connection was made.
    std::string connectProblem() const;
    std::string localAddress() const { return sock_.LocalAddress(); }
    int lastSendError() const { return lastSendError_; }
    const std::string& resolvedAddress() const { return resolvedAddress_; }
    int serialNumber() const { return serial_; }
    BandwidthThrottle& uploadThrottle() { return upload_; }
    BandwidthThrottle& downloadThrottle() { return download_; }

private:
    zelmar::TimeoutSocket sock_;
    bool connected_ = false;
    std::string buffer_;
    BandwidthThrottle upload_, download_;
    int readTimeoutMs_ = kDefaultReadTimeoutMs;
    int connectTimeoutMs_ = 7000;
    int lastSendError_ = 0;
    std::string resolvedAddress_;
    std::string localBindAddress_;
    int failReason_ = kNone;
    int connectErrno_ = 0;
    int serial_;
};

}  // namespace zelmar::mail
