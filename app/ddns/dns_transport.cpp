#include "app/ddns/dns_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/core/text.h"

namespace zelmar {

namespace {

using Clock = std::chrono::steady_clock;

// The largest DNS message (its length field over TCP is 16 bits).
constexpr std::size_t kMaxMessage = 65535;
// A bound on the rounds of any wait loop, far above what a deadline allows,
// in case a peer or the kernel keeps a loop spinning without a wait.
constexpr int kMaxRounds = 100000;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

int MillisecondsUntil(Clock::time_point deadline) {
    // Rounded up: a wait must not end just before its deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

// True when the socket is ready for events (or has an error to report)
// before the deadline.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (int round = 0; round < kMaxRounds; ++round) {
        if (Clock::now() >= deadline) return false;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, MillisecondsUntil(deadline));
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

bool SameQuestion(const ldns_pkt* query, const ldns_pkt* answer) {
    const ldns_rr_list* asked = ldns_pkt_question(query);
    const ldns_rr_list* told = ldns_pkt_question(answer);
    const std::size_t n = asked ? ldns_rr_list_rr_count(asked) : 0;
    if ((told ? ldns_rr_list_rr_count(told) : 0) != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const ldns_rr* a = ldns_rr_list_rr(asked, i);
        const ldns_rr* b = ldns_rr_list_rr(told, i);
        // Names compare without regard to case (RFC 4343).
        if (ldns_dname_compare(ldns_rr_owner(a), ldns_rr_owner(b)) != 0 ||
            ldns_rr_get_type(a) != ldns_rr_get_type(b) || ldns_rr_get_class(a) != ldns_rr_get_class(b))
            return false;
    }
    return true;
}

// Parses bytes into answer when they answer query; false (and the bytes
// dropped) otherwise.
bool TakeIfAnswer(const ldns_pkt* query, const std::uint8_t* bytes, std::size_t size, bool overTcp,
                  DnsAnswer& answer) {
    ldns_pkt* parsed = nullptr;
    if (ldns_wire2pkt(&parsed, bytes, size) != LDNS_STATUS_OK || !parsed) return false;
    if (ldns_pkt_id(parsed) != ldns_pkt_id(query) || !ldns_pkt_qr(parsed) ||
        ldns_pkt_get_opcode(parsed) != ldns_pkt_get_opcode(query) || !SameQuestion(query, parsed)) {
        ldns_pkt_free(parsed);
        ++answer.ignored;
        return false;
    }
    ldns_pkt_free(answer.packet);
    answer.packet = parsed;
    answer.wire.assign(bytes, bytes + size);
    answer.overTcp = overTcp;
    return true;
}

std::string IgnoredNote(const DnsAnswer& answer) {
    if (answer.ignored == 0) return {};
    return "; " + std::to_string(answer.ignored) + (answer.ignored == 1 ? " answer" : " answers") +
           " to another message ignored";
}

DnsExchangeStatus OverUdp(const DnsServer& server, const ldns_pkt* query, const std::vector<std::uint8_t>& wire,
                          Clock::time_point deadline, DnsAnswer& answer, bool& truncated, std::string& error) {
    truncated = false;
    Fd fd(::socket(server.address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&server.address), server.length) != 0 ||
        ::send(fd.get(), wire.data(), wire.size(), 0) != static_cast<ssize_t>(wire.size())) {
        const int e = errno;
        error = "cannot send to " + server.text + ": " + std::strerror(e);
        return e == ECONNREFUSED ? DnsExchangeStatus::Refused : DnsExchangeStatus::Failed;
    }
    std::vector<std::uint8_t> buffer(kMaxMessage);
    for (int round = 0; round < kMaxRounds; ++round) {
        if (!WaitFor(fd.get(), POLLIN, deadline)) {
            error = "no answer from " + server.text + " in time" + IgnoredNote(answer);
            return DnsExchangeStatus::TimedOut;
        }
        const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) {
            const int e = errno;
            if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) continue;
            // The ICMP "port unreachable" of a server that is down arrives
            // here at once.
            error = std::string("nothing answers at ") + server.text + " (" + std::strerror(e) + ")";
            return e == ECONNREFUSED ? DnsExchangeStatus::Refused : DnsExchangeStatus::Failed;
        }
        if (!TakeIfAnswer(query, buffer.data(), static_cast<std::size_t>(n), false, answer)) continue;
        truncated = ldns_pkt_tc(answer.packet);
        return DnsExchangeStatus::Answered;
    }
    error = "no answer from " + server.text + " in time" + IgnoredNote(answer);
    return DnsExchangeStatus::TimedOut;
}

// Reads exactly size bytes; got counts what arrived.
DnsExchangeStatus ReadExact(int fd, std::uint8_t* to, std::size_t size, Clock::time_point deadline,
                            std::size_t& got) {
    got = 0;
    for (int round = 0; round < kMaxRounds && got < size; ++round) {
        const ssize_t n = ::recv(fd, to + got, size - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return DnsExchangeStatus::Failed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return DnsExchangeStatus::Failed;
        if (!WaitFor(fd, POLLIN, deadline)) return DnsExchangeStatus::TimedOut;
    }
    return got == size ? DnsExchangeStatus::Answered : DnsExchangeStatus::TimedOut;
}

DnsExchangeStatus OverTcp(const DnsServer& server, const ldns_pkt* query, const std::vector<std::uint8_t>& wire,
                          Clock::time_point deadline, DnsAnswer& answer, std::string& error) {
    Fd fd(::socket(server.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        error = std::string("cannot open a TCP socket: ") + std::strerror(errno);
        return DnsExchangeStatus::Failed;
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&server.address), server.length) != 0 &&
        errno != EINPROGRESS) {
        const int e = errno;
        error = "cannot connect to " + server.text + " over TCP: " + std::strerror(e);
        return e == ECONNREFUSED ? DnsExchangeStatus::Refused : DnsExchangeStatus::Failed;
    }
    if (!WaitFor(fd.get(), POLLOUT, deadline)) {
        error = "no TCP connection to " + server.text + " in time";
        return DnsExchangeStatus::TimedOut;
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0) {
        error = "cannot connect to " + server.text + " over TCP: " + std::strerror(pending);
        return pending == ECONNREFUSED ? DnsExchangeStatus::Refused : DnsExchangeStatus::Failed;
    }
    std::vector<std::uint8_t> out = {static_cast<std::uint8_t>(wire.size() >> 8),
                                     static_cast<std::uint8_t>(wire.size() & 0xFF)};
    out.insert(out.end(), wire.begin(), wire.end());
    std::size_t sent = 0;
    for (int round = 0; round < kMaxRounds && sent < out.size(); ++round) {
        const ssize_t n = ::send(fd.get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error = "cannot send to " + server.text + " over TCP: " + std::strerror(errno);
            return DnsExchangeStatus::Failed;
        } else if (!WaitFor(fd.get(), POLLOUT, deadline)) {
            error = server.text + " did not take the message over TCP in time";
            return DnsExchangeStatus::TimedOut;
        }
    }
    // A server that answers something else first is read on, until the
    // answer to this message or the deadline.
    std::vector<std::uint8_t> buffer(kMaxMessage);
    for (int round = 0; round < kMaxRounds; ++round) {
        std::uint8_t prefix[2];
        std::size_t got = 0;
        DnsExchangeStatus s = ReadExact(fd.get(), prefix, 2, deadline, got);
        std::size_t size = 0;
        if (s == DnsExchangeStatus::Answered) {
            size = static_cast<std::size_t>(prefix[0]) << 8 | prefix[1];
            s = ReadExact(fd.get(), buffer.data(), size, deadline, got);
            got += 2;
        }
        if (s != DnsExchangeStatus::Answered) {
            // Counted with the length prefix, as the bytes went over the wire.
            const std::string part =
                std::to_string(got) + (size > 0 ? " of " + std::to_string(size + 2) : std::string()) + " bytes";
            error = s == DnsExchangeStatus::TimedOut
                        ? server.text + " had sent " + part + " of its TCP answer when the time ran out"
                        : server.text + " closed the TCP connection after " + part + " of its answer";
            error += IgnoredNote(answer);
            return s;
        }
        if (TakeIfAnswer(query, buffer.data(), size, true, answer)) return DnsExchangeStatus::Answered;
    }
    error = "no answer from " + server.text + " in time" + IgnoredNote(answer);
    return DnsExchangeStatus::TimedOut;
}

}  // namespace

bool ResolveDnsServer(const std::string& server, DnsServer& out, std::string& error) {
    std::string host = TrimBlanks(server);
    std::string portText;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string::npos) {
            error = "\"" + server + "\" lacks its closing ']'";
            return false;
        }
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':') {
                error = "\"" + server + "\" is not host[:port]";
                return false;
            }
            portText = host.substr(close + 2);
        }
        host = host.substr(1, close - 1);
    } else if (std::count(host.begin(), host.end(), ':') == 1) {
        portText = host.substr(host.find(':') + 1);
        host = host.substr(0, host.find(':'));
    }
    std::uint16_t port = 53;
    if (!portText.empty()) {
        const long p = LeadingInt(portText);
        if (p <= 0 || p > 65535 || std::to_string(p) != portText) {
            error = "\"" + portText + "\" is not a port";
            return false;
        }
        port = static_cast<std::uint16_t>(p);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        error = "cannot find the address of \"" + host + "\": " + gai_strerror(rc);
        return false;
    }
    out = DnsServer{};
    std::memcpy(&out.address, found->ai_addr, std::min<std::size_t>(found->ai_addrlen, sizeof out.address));
    out.length = static_cast<socklen_t>(found->ai_addrlen);
    ::freeaddrinfo(found);
    if (out.address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&out.address)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&out.address)->sin_port = htons(port);
    out.text = TrimBlanks(server);
    return true;
}

std::uint16_t RandomDnsId() {
    std::uint16_t id = 0;
    // Two bytes from the kernel never come short once it is running.
    if (::getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) id = ldns_get_random();
    return id;
}

DnsExchangeStatus DnsExchange(const DnsServer& server, const ldns_pkt* query, Clock::time_point deadline,
                              DnsAnswer& answer, std::string& error) {
    std::uint8_t* raw = nullptr;
    std::size_t size = 0;
    if (ldns_pkt2wire(&raw, query, &size) != LDNS_STATUS_OK || !raw) {
        free(raw);
        error = "cannot build the message";
        return DnsExchangeStatus::Failed;
    }
    const std::vector<std::uint8_t> wire(raw, raw + size);
    free(raw);
    bool truncated = false;
    const DnsExchangeStatus s = OverUdp(server, query, wire, deadline, answer, truncated, error);
    if (s != DnsExchangeStatus::Answered || !truncated) return s;
    // The rest of the same deadline is all the TCP exchange gets.
    return OverTcp(server, query, wire, deadline, answer, error);
}

}  // namespace zelmar
