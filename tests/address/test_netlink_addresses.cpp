// The LAN address choice from the kernel's address and link messages, built
// here byte by byte as rtnetlink sends them, so the parser and the choice
// are checked together without depending on this machine's interfaces.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cstring>
#include <vector>

#include "app/address/netlink_addresses.h"

using namespace zelmar;

namespace {

// One netlink message under construction.
class Message {
public:
    template <class Body>
    Message(std::uint16_t type, const Body& body) : bytes_(NLMSG_LENGTH(sizeof(Body)), 0) {
        Header().nlmsg_type = type;
        std::memcpy(NLMSG_DATA(&Header()), &body, sizeof body);
        Header().nlmsg_len = static_cast<std::uint32_t>(bytes_.size());
    }
    Message& Attr(std::uint16_t type, const void* data, std::size_t size) {
        const std::size_t at = NLMSG_ALIGN(bytes_.size());
        bytes_.resize(at + RTA_SPACE(size), 0);
        auto* rta = reinterpret_cast<rtattr*>(bytes_.data() + at);
        rta->rta_type = type;
        rta->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        std::memcpy(RTA_DATA(rta), data, size);
        Header().nlmsg_len = static_cast<std::uint32_t>(bytes_.size());
        return *this;
    }
    const nlmsghdr* get() const { return reinterpret_cast<const nlmsghdr*>(bytes_.data()); }

private:
    nlmsghdr& Header() { return *reinterpret_cast<nlmsghdr*>(bytes_.data()); }
    std::vector<unsigned char> bytes_;
};

struct Addr {
    int ifindex;
    const char* text;
    unsigned flags = 0;         // IFA_FLAGS (full word)
    unsigned char scope = RT_SCOPE_UNIVERSE;
    const char* peer = nullptr;  // point-to-point: IFA_ADDRESS is the peer
};

InterfaceAddress Parsed(const Addr& a) {
    const int family = std::strchr(a.text, ':') ? AF_INET6 : AF_INET;
    ifaddrmsg ifa{};
    ifa.ifa_family = static_cast<unsigned char>(family);
    ifa.ifa_index = static_cast<unsigned>(a.ifindex);
    ifa.ifa_scope = a.scope;
    ifa.ifa_flags = 0;  // the short field: the kernel's IFA_FLAGS word must be read
    unsigned char local[16], peer[16];
    inet_pton(family, a.text, local);
    const std::size_t size = family == AF_INET ? 4 : 16;
    Message m(RTM_NEWADDR, ifa);
    if (a.peer) {
        inet_pton(family, a.peer, peer);
        m.Attr(IFA_ADDRESS, peer, size).Attr(IFA_LOCAL, local, size);
    } else {
        m.Attr(IFA_ADDRESS, local, size);
    }
    const std::uint32_t flags = a.flags;
    m.Attr(IFA_FLAGS, &flags, sizeof flags);
    auto parsed = ParseAddressMessage(m.get());
    EXPECT_TRUE(parsed) << a.text;
    return parsed.value_or(InterfaceAddress{});
}

std::vector<InterfaceAddress> Machine(const std::vector<Addr>& addrs) {
    // 1 lo, 2 eth0, 3 wlan0 (down), 4 eth1
    const std::pair<const char*, unsigned> links[] = {
        {"lo", IFF_UP | IFF_LOOPBACK}, {"eth0", IFF_UP}, {"wlan0", 0}, {"eth1", IFF_UP | IFF_RUNNING}};
    std::vector<InterfaceLink> parsedLinks;
    for (int i = 0; i < 4; ++i) {
        ifinfomsg ifi{};
        ifi.ifi_index = i + 1;
        ifi.ifi_flags = links[i].second;
        Message m(RTM_NEWLINK, ifi);
        m.Attr(IFLA_IFNAME, links[i].first, std::strlen(links[i].first) + 1);
        auto link = ParseLinkMessage(m.get());
        EXPECT_TRUE(link);
        parsedLinks.push_back(link.value_or(InterfaceLink{}));
    }
    std::vector<InterfaceAddress> out;
    for (const Addr& a : addrs) out.push_back(Parsed(a));
    JoinLinks(out, parsedLinks);
    return out;
}

const Addr kLo4{1, "127.0.0.1", IFA_F_PERMANENT, RT_SCOPE_HOST};
const Addr kLo6{1, "::1", IFA_F_PERMANENT, RT_SCOPE_HOST};

struct Lan4Case {
    const char* name;
    std::vector<Addr> addrs;
    const char* pinned;
    const char* route;  // the kernel's source for the default route
    const char* want;   // "" for none
};

class Lan4 : public ::testing::TestWithParam<Lan4Case> {};

TEST_P(Lan4, ChoosesTheMachinesAddress) {
    const Lan4Case& c = GetParam();
    auto got = SelectLanAddress4(Machine(c.addrs), c.pinned,
                                 c.route ? std::optional<std::string>(c.route) : std::nullopt);
    EXPECT_EQ(got.value_or(""), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Lan4,
    ::testing::Values(
        Lan4Case{"RouteSourceWins", {kLo4, {4, "10.0.0.1"}, {2, "192.0.2.2"}}, "", "192.0.2.2", "192.0.2.2"},
        Lan4Case{"NoRouteFirstUsable",
                 {kLo4, {2, "169.254.3.3"}, {3, "10.1.1.1"}, {2, "192.0.2.2"}, {4, "10.0.0.1"}}, "", nullptr,
                 "192.0.2.2"},
        Lan4Case{"RouteSourceOnADownInterfaceIgnored", {{3, "10.1.1.1"}, {4, "10.0.0.1"}}, "", "10.1.1.1",
                 "10.0.0.1"},
        Lan4Case{"LoopbackRouteSourceIgnored", {kLo4, {4, "10.0.0.1"}}, "", "127.0.0.1", "10.0.0.1"},
        Lan4Case{"OnlyLoopbackAndLinkLocal", {kLo4, {2, "169.254.3.3"}}, "", nullptr, ""},
        Lan4Case{"PinnedInterface", {{2, "192.0.2.2"}, {4, "10.0.0.1"}}, "eth1", "192.0.2.2", "10.0.0.1"},
        Lan4Case{"PinnedLoopbackIsHonoured", {kLo4, {2, "192.0.2.2"}}, "lo", nullptr, "127.0.0.1"},
        Lan4Case{"PinnedUnknown", {{2, "192.0.2.2"}}, "eth9", nullptr, ""},
        Lan4Case{"PointToPointTakesTheLocalEnd", {{4, "10.8.0.6", 0, RT_SCOPE_UNIVERSE, "10.8.0.5"}}, "", nullptr,
                 "10.8.0.6"}),
    [](const auto& info) { return std::string(info.param.name); });

struct Lan6Case {
    const char* name;
    std::vector<Addr> addrs;
    const char* pinned;
    int routeIfindex;
    const char* want;
};

class Lan6 : public ::testing::TestWithParam<Lan6Case> {};

TEST_P(Lan6, ChoosesAStableAddress) {
    const Lan6Case& c = GetParam();
    EXPECT_EQ(SelectLanAddress6(Machine(c.addrs), c.pinned, c.routeIfindex).value_or(""), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Lan6,
    ::testing::Values(
        Lan6Case{"StableNotTemporary",
                 {kLo6, {2, "2001:db8::aaaa", IFA_F_TEMPORARY}, {2, "2001:db8::1", IFA_F_MANAGETEMPADDR}}, "", 2,
                 "2001:db8::1"},
        Lan6Case{"DeprecatedLosesToUniqueLocal", {{2, "2001:db8::1", IFA_F_DEPRECATED}, {2, "fd00::2"}}, "", 2,
                 "fd00::2"},
        Lan6Case{"TentativeAndFailedAreNothing",
                 {{2, "2001:db8::1", IFA_F_TENTATIVE}, {2, "2001:db8::2", IFA_F_DADFAILED}}, "", 2, ""},
        Lan6Case{"GlobalBeatsUniqueLocalOnTheRouteInterface", {{2, "fd00::2"}, {4, "2001:db8::4"}}, "", 2,
                 "2001:db8::4"},
        Lan6Case{"RouteInterfaceBreaksTies", {{4, "2001:db8::4"}, {2, "2001:db8::2"}}, "", 2, "2001:db8::2"},
        Lan6Case{"KernelOrderWithoutRoute", {{4, "2001:db8::4"}, {2, "2001:db8::2"}}, "", 0, "2001:db8::4"},
        Lan6Case{"LinkLocalLoopbackAndDownAreNothing",
                 {kLo6, {2, "fe80::1", IFA_F_PERMANENT, RT_SCOPE_LINK}, {3, "2001:db8::3"}}, "", 2, ""},
        Lan6Case{"LinkLocalEvenWithUniverseScope", {{2, "febf::1"}}, "", 2, ""},
        Lan6Case{"PinnedInterface", {{2, "2001:db8::2"}, {4, "fd00::4"}}, "eth1", 2, "fd00::4"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NetlinkParse, RefusesMalformedMessages) {
    ifaddrmsg ifa{};
    ifa.ifa_family = AF_INET;
    const unsigned char six[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(ParseAddressMessage(Message(RTM_NEWADDR, ifa).Attr(IFA_ADDRESS, six, 6).get()))
        << "an IPv4 address must be 4 bytes";
    EXPECT_FALSE(ParseAddressMessage(Message(RTM_NEWADDR, ifa).get())) << "no address at all";
    const unsigned char four[4] = {192, 0, 2, 2};
    EXPECT_FALSE(ParseAddressMessage(Message(RTM_NEWROUTE, ifa).Attr(IFA_ADDRESS, four, 4).get()));
    ifa.ifa_family = AF_PACKET;
    EXPECT_FALSE(ParseAddressMessage(Message(RTM_NEWADDR, ifa).Attr(IFA_ADDRESS, four, 4).get()));
}

TEST(NetlinkLive, ThisMachinesTablesParse) {
    std::string error;
    auto addresses = ReadInterfaceAddresses(&error);
    ASSERT_TRUE(addresses) << error;
    bool loopback = false;
    for (const InterfaceAddress& a : *addresses)
        loopback = loopback || (a.ifname == "lo" && a.interfaceLoopback && a.Text() == "127.0.0.1");
    EXPECT_TRUE(loopback) << "lo with 127.0.0.1 is on every machine";
}

}  // namespace
