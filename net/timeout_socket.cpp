#include "net/timeout_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <utility>
#include "net/default_timeout.h"

namespace zelmar {

namespace {

using Clock = TimeoutSocket::Clock;

std::string Dotted(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &a.sin_addr, text, sizeof text)) return "";
    return text;
}

int MillisecondsUntil(Clock::time_point deadline) {
    // Rounded up: a wait must not end just before its deadline, or the
    // caller would see neither data nor a time-out.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

}  // namespace

TimeoutSocket::TimeoutSocket(int timeoutSeconds) : timeoutSeconds_(TimeoutOrDefault(timeoutSeconds)) {}

TimeoutSocket::~TimeoutSocket() { Close(); }

TimeoutSocket TimeoutSocket::Adopt(int fd, int timeoutSeconds) {
    TimeoutSocket s(timeoutSeconds);
    s.fd_ = fd;
    return s;
}

TimeoutSocket::TimeoutSocket(TimeoutSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), timeoutSeconds_(other.timeoutSeconds_) {}

TimeoutSocket& TimeoutSocket::operator=(TimeoutSocket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        timeoutSeconds_ = other.timeoutSeconds_;
    }
    return *this;
}

void TimeoutSocket::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TimeoutSocket::Abort() {
    if (fd_ >= 0) {
        const linger reset{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    Close();
}

bool TimeoutSocket::WaitFor(short events, Clock::time_point deadline) {
    for (int round = 0; round < 1000000; ++round) {
        pollfd p{fd_, events, 0};
        const int r = ::poll(&p, 1, MillisecondsUntil(deadline));
        if (r > 0) return true;  // ready, or an error the next call reports
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
    return false;
}

bool TimeoutSocket::StartConnect(const std::string& address, int port, const std::string& bindAddress,
                                 bool* bindFailed) {
    Close();
    if (bindFailed) *bindFailed = false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (port < 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) return false;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return false;
    if (!bindAddress.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = 0;
        const bool parsed = inet_pton(AF_INET, bindAddress.c_str(), &local.sin_addr) == 1;
        if (!parsed) errno = EINVAL;
        if (!parsed || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            const int err = errno;
            if (bindFailed) *bindFailed = true;
            Close();
            errno = err;
            return false;
        }
    }
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
    if (errno == EINPROGRESS) return true;
    Close();
    return false;
}

bool TimeoutSocket::FinishConnect() {
    if (fd_ < 0) return false;
    if (!WaitFor(POLLOUT, Deadline())) {
        connectProblem_ = "timed out";
        return false;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        connectProblem_ = std::strerror(error != 0 ? error : errno);
        return false;
    }
    // The small command lines and the page's last chunk should leave at once.
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool TimeoutSocket::Connect(const std::string& host, int port) {
    connectProblem_.clear();
    if (host.empty() || port <= 0 || port > 65535) {
        connectProblem_ = "no host or port to connect to";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;  // PASV and PORT speak IPv4 only
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0 || !found) {
        connectProblem_ = std::string("the name could not be resolved (") + ::gai_strerror(rc) + ")";
        return false;
    }
    bool ok = false;
    for (addrinfo* ai = found; ai && !ok; ai = ai->ai_next) {
        const std::string address = Dotted(*reinterpret_cast<sockaddr_in*>(ai->ai_addr));
        ok = StartConnect(address, port) && FinishConnect();
        if (!ok && connectProblem_.empty()) connectProblem_ = std::strerror(errno);
        if (!ok) Close();
    }
    ::freeaddrinfo(found);
    return ok;
}

bool TimeoutSocket::Listen(const std::string& localAddress, int backlog) {
    Close();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = 0;
    if (inet_pton(AF_INET, localAddress.c_str(), &a.sin_addr) != 1) return false;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return false;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, backlog) != 0) {
        Close();
        return false;
    }
    return true;
}

std::optional<TimeoutSocket> TimeoutSocket::Accept() {
    if (fd_ < 0) return std::nullopt;
    const auto deadline = Deadline();
    for (int round = 0; round < 1000; ++round) {
        if (!WaitFor(POLLIN, deadline)) return std::nullopt;
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            TimeoutSocket s(timeoutSeconds_);
            s.fd_ = fd;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return s;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) return std::nullopt;
    }
    return std::nullopt;
}

long TimeoutSocket::SendSome(const char* data, std::size_t size) {
    if (fd_ < 0) return -1;
    // The clock is read only when the socket is full: most sends go at once.
    std::optional<Clock::time_point> deadline;
    for (int round = 0; round < 1000000; ++round) {
        const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!deadline) deadline = Deadline();
        if (!WaitFor(POLLOUT, *deadline)) return -1;
    }
    return -1;
}

bool TimeoutSocket::SendAll(const char* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        const long n = SendSome(data + sent, size - sent);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

long TimeoutSocket::ReceiveUntil(char* buffer, std::size_t size, Clock::time_point deadline) {
    if (fd_ < 0) return -1;
    for (int round = 0; round < 1000000; ++round) {
        const ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!WaitFor(POLLIN, deadline)) return -1;
    }
    return -1;
}

long TimeoutSocket::SendSomeUntil(const char* data, std::size_t size, Clock::time_point deadline) {
    if (fd_ < 0) return -1;
    for (int round = 0; round < 1000000; ++round) {
        const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            lastErrno_ = errno;
            return -1;
        }
        if (!WaitFor(POLLOUT, deadline)) {
            lastErrno_ = ETIMEDOUT;
            return -1;
        }
    }
    return -1;
}

bool TimeoutSocket::WaitReadable(Clock::time_point deadline) { return fd_ >= 0 && WaitFor(POLLIN, deadline); }

int TimeoutSocket::PendingError() const {
    if (fd_ < 0) return 0;
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
    return error;
}

std::string TimeoutSocket::LocalAddress() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET)
        return "";
    return Dotted(a);
}

int TimeoutSocket::LocalPort() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET)
        return -1;
    return ntohs(a.sin_port);
}

std::string TimeoutSocket::PeerAddress() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET)
        return "";
    return Dotted(a);
}

}  // namespace zelmar
