// The machine's own addresses as the kernel lists them (rtnetlink), and the
// choice of the one address of each family that stands for the machine.
//
// A host name on a stock Linux installation resolves to 127.0.1.1 or
// 127.0.0.1, which tells nobody where the machine is. The kernel knows
// better: the source address it would use for the default route is the
// address the rest of the network sees, and the address flags tell a stable
// IPv6 address from a temporary (privacy) or deprecated one.
//
// Reading the kernel's tables and choosing from them are separate: the
// choice is a pure function of the parsed messages, so it can be checked
// against any set of interfaces without the kernel.
#pragma once

#include <linux/netlink.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelmar {

struct InterfaceAddress {
    int ifindex = 0;
    int family = 0;  // AF_INET or AF_INET6
    // The address in network order: 4 bytes used for IPv4, 16 for IPv6.
    std::array<unsigned char, 16> bytes{};
    unsigned prefixLength = 0;
    unsigned scope = 0;       // RT_SCOPE_UNIVERSE, RT_SCOPE_LINK, RT_SCOPE_HOST ...
    std::uint32_t flags = 0;  // IFA_F_TEMPORARY, IFA_F_DEPRECATED, ...
    // Filled in from the link table.
    std::string ifname;
    bool interfaceUp = false;
    bool interfaceLoopback = false;

    std::string Text() const;
};

struct InterfaceLink {
    int ifindex = 0;
    std::string name;
    unsigned flags = 0;  // IFF_UP, IFF_LOOPBACK, ...
};

// One RTM_NEWADDR/RTM_DELADDR message; nullopt for a message that is too
// short, of another type or of another family.
std::optional<InterfaceAddress> ParseAddressMessage(const nlmsghdr* message);
// One RTM_NEWLINK/RTM_DELLINK message.
std::optional<InterfaceLink> ParseLinkMessage(const nlmsghdr* message);

// Gives each address its interface's name and state.
void JoinLinks(std::vector<InterfaceAddress>& addresses, const std::vector<InterfaceLink>& links);

// The kernel's address and link tables, joined; nullopt (with *error) when
// the tables cannot be read.
std::optional<std::vector<InterfaceAddress>> ReadInterfaceAddresses(std::string* error);

// The source address the kernel picks for a packet to the Internet (a
// connected UDP socket, nothing is sent); nullopt without a route.
std::optional<InterfaceAddress> DefaultRouteSource(int family);

// The IPv4 address that stands for the machine:
//  - with `pinned` (an interface name): the first IPv4 address of that
//    interface, or nothing;
//  - else `routeSource` when it is an address of an interface that is up and
//    not the loopback;
//  - else the first address that is neither loopback nor link-local on an
//    interface that is up.
std::optional<std::string> SelectLanAddress4(const std::vector<InterfaceAddress>& addresses,
                                             const std::string& pinned,
                                             const std::optional<std::string>& routeSource);

// The stable IPv6 address that stands for the machine: never temporary,
// deprecated, tentative or failed duplicate detection, never link-local or
// loopback. A global address wins over a unique-local one; on equal terms
// the interface of the default route (routeIfindex, 0 for none) wins, then
// the kernel's order. With `pinned` only that interface counts.
std::optional<std::string> SelectLanAddress6(const std::vector<InterfaceAddress>& addresses,
                                             const std::string& pinned, int routeIfindex);

// Classification of an address literal for the WAN warnings: false for the
// private and carrier-grade NAT IPv4 ranges, loopback, link-local, and IPv6
// addresses outside the global unicast range; also false for text that is
// no address.
bool IsGloballyReachable(const std::string& address);

// The family of an address literal: AF_INET, AF_INET6, or 0 for no address.
int AddressFamilyOf(const std::string& text);

}  // namespace zelmar
