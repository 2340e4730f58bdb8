// A TCP socket whose every wait has a time limit. It is the transport below
// the FTP client and the mail component's socket layer: neither may hang on
// a peer that stops answering, so connect, accept, send and receive all take
// a deadline.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include "net/default_timeout.h"

namespace zelmar {

// A TCP socket whose every wait has a time limit (whole seconds, at least 1).
// Move-only; closes on destruction.
class TimeoutSocket {
public:
    using Clock = std::chrono::steady_clock;

    explicit TimeoutSocket(int timeoutSeconds);
    // Takes over a connected stream socket (any family, a socketpair end
    // too); it is closed with this object.
    static TimeoutSocket Adopt(int fd, int timeoutSeconds);
    ~TimeoutSocket();
    TimeoutSocket(TimeoutSocket&& other) noexcept;
    TimeoutSocket& operator=(TimeoutSocket&& other) noexcept;
    TimeoutSocket(const TimeoutSocket&) = delete;
    TimeoutSocket& operator=(const TimeoutSocket&) = delete;

    // Connects to host (a name is resolved, IPv4) and port within the limit.
    bool Connect(const std::string& host, int port);
    // Starts a connect to a dotted IPv4 address without waiting for it;
    // FinishConnect waits for the outcome within the limit. A non-empty
    // bindAddress (dotted IPv4) is bound first, any port; when that fails,
    // *bindFailed (if given) is set and the socket is closed.
    bool StartConnect(const std::string& address, int port, const std::string& bindAddress = {},
                      bool* bindFailed = nullptr);
    bool FinishConnect();

    // Listens on the given local IPv4 address, any port.
    bool Listen(const std::string& localAddress, int backlog);
    // Waits (within the limit) for one connection and returns it.
    std::optional<TimeoutSocket> Accept();

    // Sends as much of data as the peer takes at once, waiting at most the
    // limit for room; returns the count sent (possibly short), or -1 on an
    // error or a time-out.
    long SendSome(const char* data, std::size_t size);
    // Sends all of data (each wait within the limit).
    bool SendAll(const char* data, std::size_t size);
    // Receives up to size bytes, waiting until deadline at the latest.
    // Returns the count, 0 when the peer closed, -1 on an error or time-out.
    long ReceiveUntil(char* buffer, std::size_t size, Clock::time_point deadline);
    long Receive(char* buffer, std::size_t size) { return ReceiveUntil(buffer, size, Deadline()); }

    // Addresses as dotted text ("" when unknown), ports in host order.
    std::string LocalAddress() const;
    int LocalPort() const;
    std::string PeerAddress() const;

    bool IsOpen() const { return fd_ >= 0; }
    void Close();
    // Closes with a reset instead of an orderly end, so that the peer sees
    // an aborted transfer rather than a complete (truncated) file.
    void Abort();
    int timeoutSeconds() const { return timeoutSeconds_; }
    // Changes the limit of later waits (whole seconds, at least 1).
    void SetTimeoutSeconds(int seconds) { timeoutSeconds_ = TimeoutOrDefault(seconds); }

    // For callers that keep their own deadlines (the mail socket layer):
    // sends as much as the peer takes at once, waiting until deadline at
    // the latest for room; the count sent, or -1 on an error or time-out.
    long SendSomeUntil(const char* data, std::size_t size, Clock::time_point deadline);
    // True when data (or the peer's end) can be read before deadline.
    bool WaitReadable(Clock::time_point deadline);
    // The pending socket error (SO_ERROR), e.g. why FinishConnect failed;
    // 0 when none or when there is no socket.
    int PendingError() const;
    // errno of the last failed send or receive of the *Until calls.
    int LastErrno() const { return lastErrno_; }
    // Why the last Connect failed, in words ("Connection refused", "no such
    // host", "timed out"); empty after a connect that worked.
    const std::string& connectProblem() const { return connectProblem_; }
    Clock::time_point Deadline() const { return Clock::now() + std::chrono::seconds(timeoutSeconds_); }

private:
    bool WaitFor(short events, Clock::time_point deadline);

    int lastErrno_ = 0;
    std::string connectProblem_;

    int fd_ = -1;
    int timeoutSeconds_;
};

}  // namespace zelmar
