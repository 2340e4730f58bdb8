#include <gtest/gtest.h>

#include "app/address/lan_address.h"
#include "app/core/core.h"
#include "tests/support/core_fixture.h"
#include "tests/support/fake_host.h"
#include "tests/support/peer_process.h"

namespace zelmar {
namespace {

using test::FakeHost;
using test::ScratchDir;

class LanAddressTest : public test::CoreTest {
protected:
    void SetUp() override {
        test::CoreTest::SetUp();
        MakeCore(std::nullopt, "key");
    }

    static LanResolver Answering(std::optional<std::string> name, std::optional<std::vector<Ipv4Bytes>> addresses,
                                 std::function<std::optional<std::string>(const std::string&)> primary = {}) {
        return LanResolver{[name] { return name; },
                           [name, addresses](const std::string& asked) {
                               EXPECT_EQ(name.value_or(""), asked);
                               return addresses;
                           },
                           std::move(primary)};
    }
};

TEST_F(LanAddressTest, ReportsTheLastAddressTheResolverLists) {
    struct Case {
        const char* what;
        std::optional<std::string> name;
        std::optional<std::vector<Ipv4Bytes>> addresses;
        const char* want;
    };
    const Case cases[] = {
        {"two adapters", "desk", std::vector<Ipv4Bytes>{{10, 0, 0, 5}, {192, 168, 1, 20}}, "192.168.1.20"},
        {"one address", "desk", std::vector<Ipv4Bytes>{{172, 16, 0, 9}}, "172.16.0.9"},
        {"bytes are unsigned", "desk", std::vector<Ipv4Bytes>{{200, 0, 255, 200}}, "200.0.255.200"},
        {"no host name", std::nullopt, std::vector<Ipv4Bytes>{{10, 0, 0, 5}}, ""},
        {"name not resolved", "desk", std::nullopt, ""},
    };
    std::string previous;  // the first call after installation has nothing stored
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const LookedUpAddress r = LookUpLanAddress(*core, Answering(c.name, c.addresses));
        EXPECT_EQ(c.want, r.current.Plain());
        EXPECT_EQ(previous, r.previous.Plain());
        // Only a real address is stored: the last one stays for the next
        // comparison.
        if (*c.want != '\0') previous = c.want;
        EXPECT_EQ(previous, core->ini().GetString(kIPAddress, "LastLANIP", "<missing>"));
    }
    EXPECT_TRUE(host.lines.empty()) << "failures are silent";
}

// The kernel's primary address stands in only for a host name that says
// nothing (loopback only, or no answer); "LanInterface" always wins.
TEST_F(LanAddressTest, PrimaryAddressReplacesALoopbackOnlyHostName) {
    struct Case {
        const char* what;
        std::optional<std::vector<Ipv4Bytes>> addresses;
        const char* pinned;
        std::optional<std::string> primary;
        const char* want;
    };
    const Case cases[] = {
        {"Debian's 127.0.1.1", std::vector<Ipv4Bytes>{{127, 0, 1, 1}}, "", "192.0.2.2", "192.0.2.2"},
        {"all of 127/8", std::vector<Ipv4Bytes>{{127, 0, 0, 1}, {127, 255, 255, 254}}, "", "192.0.2.2", "192.0.2.2"},
        {"the last address that is not loopback", std::vector<Ipv4Bytes>{{10, 0, 0, 5}, {127, 0, 1, 1}}, "",
         "192.0.2.2", "10.0.0.5"},
        {"128 is not loopback", std::vector<Ipv4Bytes>{{128, 0, 0, 1}}, "", "192.0.2.2", "128.0.0.1"},
        {"not resolved", std::nullopt, "", "192.0.2.2", "192.0.2.2"},
        {"no primary either: unknown, never loopback", std::vector<Ipv4Bytes>{{127, 0, 1, 1}}, "", std::nullopt, ""},
        {"a loopback primary is unknown too", std::vector<Ipv4Bytes>{{127, 0, 1, 1}}, "", "127.0.0.1", ""},
        {"a pinned loopback interface", std::vector<Ipv4Bytes>{{10, 0, 0, 5}}, "lo", "127.0.0.1", ""},
        {"pinned interface", std::vector<Ipv4Bytes>{{10, 0, 0, 5}}, "eth1", "198.51.100.4", "198.51.100.4"},
        {"pinned interface without address", std::vector<Ipv4Bytes>{{10, 0, 0, 5}}, "eth1", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        core->EditSettings([&](Settings& s) { s.LanInterface = c.pinned; });
        std::string asked = "<not asked>";
        const LanResolver r = Answering("desk", c.addresses, [&](const std::string& pinned) {
            asked = pinned;
            return c.primary;
        });
        EXPECT_EQ(c.want, GetLanAddress(*core, r));
        if (*c.pinned != '\0') {
            EXPECT_EQ(c.pinned, asked);
        }
    }
}

TEST_F(LanAddressTest, SystemResolverFindsNumericHostsAndThisMachine) {
    const LanResolver system = SystemLanResolver();
    auto numeric = system.resolve("192.0.2.200");
    ASSERT_TRUE(numeric.has_value());
    ASSERT_EQ(1u, numeric->size());
    EXPECT_EQ("192.0.2.200", DottedQuad(numeric->front()));

    // This machine's own name resolves to some IPv4 address.
    const std::string lan = GetLanAddress(*core);
    EXPECT_FALSE(lan.empty());
    EXPECT_EQ(lan, core->ini().GetString(kIPAddress, "LastLANIP"));
}

}  // namespace
}  // namespace zelmar
