#include "app/address/netlink_addresses.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zelmar {

namespace {

// A closing file descriptor.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// Addresses the route lookup aims at: any address outside the machine's own
// networks will do, as nothing is sent. Documentation ranges are never
// routed to a local network.
constexpr const char* kProbe4 = "203.0.113.1";
constexpr const char* kProbe6 = "2001:db8::1";

bool Bit(std::uint32_t flags, std::uint32_t bit) { return (flags & bit) != 0; }

bool IsLoopback(const InterfaceAddress& a) {
    if (a.family == AF_INET) return a.bytes[0] == 127;
    static const unsigned char kLoop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(a.bytes.data(), kLoop6, 16) == 0;
}

bool IsLinkLocal(const InterfaceAddress& a) {
    if (a.family == AF_INET) return a.bytes[0] == 169 && a.bytes[1] == 254;
    return a.bytes[0] == 0xfe && (a.bytes[1] & 0xc0) == 0x80;
}

bool IsUniqueLocal6(const std::array<unsigned char, 16>& b) { return (b[0] & 0xfe) == 0xfc; }

// Reads one whole dump (RTM_GETADDR or RTM_GETLINK), handing each message
// to `take`. Bounded by a receive time-out, so a kernel that never says
// "done" cannot hold the worker.
template <class Take>
bool Dump(int fd, std::uint16_t type, Take take, std::string* error) {
    struct {
        nlmsghdr header;
        ifaddrmsg body;  // the larger of the two request bodies used here
        char pad[16];
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(type == RTM_GETLINK ? sizeof(ifinfomsg) : sizeof(ifaddrmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = type;
    request.body.ifa_family = AF_UNSPEC;
    if (::send(fd, &request, request.header.nlmsg_len, 0) < 0) {
        *error = std::string("cannot ask the kernel for its interfaces: ") + std::strerror(errno);
        return false;
    }
    // On the heap and only for the dump: a refresh every half hour needs it
    // for a millisecond.
    std::vector<nlmsghdr> storage(64 * 1024 / sizeof(nlmsghdr));
    char* const buffer = reinterpret_cast<char*>(storage.data());
    const std::size_t bufferSize = storage.size() * sizeof(nlmsghdr);
    for (int rounds = 0; rounds < 10000; ++rounds) {
        const ssize_t n = ::recv(fd, buffer, bufferSize, 0);
        if (n <= 0) {
            *error = std::string("no answer from the kernel's interface table: ") +
                     (n < 0 ? std::strerror(errno) : "closed");
            return false;
        }
        int left = static_cast<int>(n);
        for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE) return true;
            if (h->nlmsg_type == NLMSG_ERROR) {
                *error = "the kernel refused to list its interfaces";
                return false;
            }
            take(h);
        }
    }
    *error = "the kernel's interface table did not end";
    return false;
}

}  // namespace

std::string InterfaceAddress::Text() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(family, bytes.data(), text, sizeof text) == nullptr) return std::string();
    return text;
}

std::optional<InterfaceAddress> ParseAddressMessage(const nlmsghdr* message) {
    if (message->nlmsg_type != RTM_NEWADDR && message->nlmsg_type != RTM_DELADDR) return std::nullopt;
    if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return std::nullopt;
    const auto* ifa = static_cast<const ifaddrmsg*>(NLMSG_DATA(message));
    if (ifa->ifa_family != AF_INET && ifa->ifa_family != AF_INET6) return std::nullopt;
    InterfaceAddress a;
    a.ifindex = static_cast<int>(ifa->ifa_index);
    a.family = ifa->ifa_family;
    a.prefixLength = ifa->ifa_prefixlen;
    a.scope = ifa->ifa_scope;
    a.flags = ifa->ifa_flags;
    const std::size_t size = a.family == AF_INET ? 4 : 16;
    bool haveLocal = false, haveAddress = false;
    int left = static_cast<int>(IFA_PAYLOAD(message));
    for (const rtattr* at = IFA_RTA(ifa); RTA_OK(at, left); at = RTA_NEXT(at, left)) {
        const std::size_t length = RTA_PAYLOAD(at);
        switch (at->rta_type) {
            // On a point-to-point link IFA_ADDRESS is the peer and IFA_LOCAL
            // the machine's own address; elsewhere both are the same.
            case IFA_LOCAL:
                if (length != size) return std::nullopt;
                std::memcpy(a.bytes.data(), RTA_DATA(at), size);
                haveLocal = true;
                break;
            case IFA_ADDRESS:
                if (length != size) return std::nullopt;
                if (!haveLocal) std::memcpy(a.bytes.data(), RTA_DATA(at), size);
                haveAddress = true;
                break;
            case IFA_FLAGS:
                // The full flag word: ifa_flags holds only the first eight.
                if (length >= sizeof(std::uint32_t)) std::memcpy(&a.flags, RTA_DATA(at), sizeof(std::uint32_t));
                break;
            default:
                break;
        }
    }
    if (!haveLocal && !haveAddress) return std::nullopt;
    return a;
}

std::optional<InterfaceLink> ParseLinkMessage(const nlmsghdr* message) {
    if (message->nlmsg_type != RTM_NEWLINK && message->nlmsg_type != RTM_DELLINK) return std::nullopt;
    if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return std::nullopt;
    const auto* ifi = static_cast<const ifinfomsg*>(NLMSG_DATA(message));
    InterfaceLink link;
    link.ifindex = ifi->ifi_index;
    link.flags = ifi->ifi_flags;
    int left = static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof(ifinfomsg)));
    for (const rtattr* at = IFLA_RTA(ifi); RTA_OK(at, left); at = RTA_NEXT(at, left)) {
        if (at->rta_type != IFLA_IFNAME) continue;
        const char* name = static_cast<const char*>(RTA_DATA(at));
        link.name.assign(name, strnlen(name, RTA_PAYLOAD(at)));
    }
    return link;
}

void JoinLinks(std::vector<InterfaceAddress>& addresses, const std::vector<InterfaceLink>& links) {
    for (InterfaceAddress& a : addresses) {
        for (const InterfaceLink& l : links) {
            if (l.ifindex != a.ifindex) continue;
            a.ifname = l.name;
            a.interfaceUp = (l.flags & IFF_UP) != 0;
            a.interfaceLoopback = (l.flags & IFF_LOOPBACK) != 0;
        }
    }
}

std::optional<std::vector<InterfaceAddress>> ReadInterfaceAddresses(std::string* error) {
    Fd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.fd < 0) {
        *error = std::string("cannot open the kernel's interface table: ") + std::strerror(errno);
        return std::nullopt;
    }
    timeval wait{2, 0};
    ::setsockopt(fd.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::vector<InterfaceAddress> addresses;
    std::vector<InterfaceLink> links;
    if (!Dump(
            fd.fd, RTM_GETLINK,
            [&](const nlmsghdr* h) {
                if (auto l = ParseLinkMessage(h)) links.push_back(*l);
            },
            error) ||
        !Dump(
            fd.fd, RTM_GETADDR,
            [&](const nlmsghdr* h) {
                if (h->nlmsg_type != RTM_NEWADDR) return;
                if (auto a = ParseAddressMessage(h)) addresses.push_back(*a);
            },
            error))
        return std::nullopt;
    JoinLinks(addresses, links);
    return addresses;
}

std::optional<InterfaceAddress> DefaultRouteSource(int family) {
    Fd fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.fd < 0) return std::nullopt;
    sockaddr_storage to{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&to);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(53);
        ::inet_pton(AF_INET, kProbe4, &sin->sin_addr);
        length = sizeof *sin;
    } else {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&to);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(53);
        ::inet_pton(AF_INET6, kProbe6, &sin6->sin6_addr);
        length = sizeof *sin6;
    }
    // Connecting a datagram socket only asks the routing table.
    if (::connect(fd.fd, reinterpret_cast<sockaddr*>(&to), length) != 0) return std::nullopt;
    sockaddr_storage self{};
    socklen_t selfLength = sizeof self;
    if (::getsockname(fd.fd, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0) return std::nullopt;
    InterfaceAddress a;
    a.family = family;
    if (family == AF_INET)
        std::memcpy(a.bytes.data(), &reinterpret_cast<sockaddr_in*>(&self)->sin_addr, 4);
    else
        std::memcpy(a.bytes.data(), &reinterpret_cast<sockaddr_in6*>(&self)->sin6_addr, 16);
    return a;
}

std::optional<std::string> SelectLanAddress4(const std::vector<InterfaceAddress>& addresses,
                                             const std::string& pinned,
                                             const std::optional<std::string>& routeSource) {
    if (!pinned.empty()) {
        for (const InterfaceAddress& a : addresses)
            if (a.family == AF_INET && a.ifname == pinned) return a.Text();
        return std::nullopt;
    }
    const auto usable = [](const InterfaceAddress& a) {
        return a.family == AF_INET && a.interfaceUp && !a.interfaceLoopback && !IsLoopback(a);
    };
    if (routeSource) {
        for (const InterfaceAddress& a : addresses)
            if (usable(a) && a.Text() == *routeSource) return *routeSource;
    }
    for (const InterfaceAddress& a : addresses)
        if (usable(a) && !IsLinkLocal(a)) return a.Text();
    return std::nullopt;
}

std::optional<std::string> SelectLanAddress6(const std::vector<InterfaceAddress>& addresses,
                                             const std::string& pinned, int routeIfindex) {
    constexpr std::uint32_t kUnstable = IFA_F_TEMPORARY | IFA_F_DEPRECATED | IFA_F_TENTATIVE | IFA_F_DADFAILED;
    const InterfaceAddress* best = nullptr;
    int bestRank = -1;
    for (const InterfaceAddress& a : addresses) {
        if (a.family != AF_INET6 || !a.interfaceUp || a.interfaceLoopback) continue;
        if (!pinned.empty() && a.ifname != pinned) continue;
        if (Bit(a.flags, kUnstable) || IsLoopback(a) || IsLinkLocal(a) || a.scope != RT_SCOPE_UNIVERSE) continue;
        const int rank = (IsUniqueLocal6(a.bytes) ? 0 : 2) + (a.ifindex == routeIfindex ? 1 : 0);
        if (rank > bestRank) {
            best = &a;
            bestRank = rank;
        }
    }
    if (best == nullptr) return std::nullopt;
    return best->Text();
}

int AddressFamilyOf(const std::string& text) {
    unsigned char buffer[16];
    if (::inet_pton(AF_INET, text.c_str(), buffer) == 1) return AF_INET;
    if (::inet_pton(AF_INET6, text.c_str(), buffer) == 1) return AF_INET6;
    return 0;
}

bool IsGloballyReachable(const std::string& address) {
    unsigned char b[16] = {};
    if (::inet_pton(AF_INET, address.c_str(), b) == 1) {
        if (b[0] == 10 || b[0] == 127 || b[0] == 0) return false;
        if (b[0] == 172 && (b[1] & 0xf0) == 16) return false;
        if (b[0] == 192 && b[1] == 168) return false;
        if (b[0] == 100 && (b[1] & 0xc0) == 64) return false;  // carrier-grade NAT, 100.64/10
        if (b[0] == 169 && b[1] == 254) return false;
        return b[0] < 224;  // multicast and reserved
    }
    if (::inet_pton(AF_INET6, address.c_str(), b) == 1) {
        // Global unicast is 2000::/3; everything else (ULA, link-local,
        // loopback, mapped IPv4, multicast) cannot be reached from outside.
        return (b[0] & 0xe0) == 0x20;
    }
    return false;
}

}  // namespace zelmar
