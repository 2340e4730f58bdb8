// rfc2136 entries against a real BIND 9: signed updates with each TSIG
// algorithm, read back by dig, and every refusal BIND gives.
#include <gtest/gtest.h>

#include "app/core/ini_file.h"
#include "app/ddns/ddns_channel.h"
#include "app/ddns/ddns_protocols.h"
#include "tests/ddns/bind_peer.h"
#include "tests/ddns/ddns_test_support.h"

namespace zelmar {
namespace {

using test::BindPeer;
using test::kTestNow;

class Rfc2136Bind : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bind_.failure().empty()) GTEST_SKIP() << bind_.failure();
    }
    DdnsEntry Entry(const test::TsigKey& key = BindPeer::Keys()[0]) const {
        DdnsEntry e;
        e.name = "home";
        e.protocol = DdnsProtocol::Rfc2136;
        e.hosts = {"home.example.test"};
        e.server = bind_.server();
        e.zone = "example.test";
        e.keyName = key.name;
        e.keyAlgorithm = key.algorithm;
        e.secret = key.secret;
        e.wantAAAA = true;
        return e;
    }
    BindPeer bind_;
};

class Rfc2136Algorithms : public Rfc2136Bind, public ::testing::WithParamInterface<int> {};

TEST_P(Rfc2136Algorithms, ReplacesTheWholeSetAndSkipsWhatTheServerHolds) {
    const DdnsEntry e = Entry(BindPeer::Keys()[GetParam()]);
    const DdnsAddresses want{"192.0.2.7", "2001:DB8::7"};
    const DeliveryResult first = Rfc2136Deliver(e, want, {0, kTestNow, 5});
    EXPECT_EQ(first.outcome, DeliveryOutcome::Delivered) << first.code << " " << first.serverReply;
    // Both old A records are gone: the name holds exactly the new one.
    EXPECT_EQ(bind_.Dig("home.example.test", "A"), "192.0.2.7\n");
    EXPECT_EQ(bind_.Dig("home.example.test", "AAAA"), "2001:db8::7\n");
    const DeliveryResult again = Rfc2136Deliver(e, want, {0, kTestNow, 5});
    EXPECT_EQ(again.outcome, DeliveryOutcome::NothingToDo) << again.code;
}

INSTANTIATE_TEST_SUITE_P(EachKey, Rfc2136Algorithms, ::testing::Values(0, 1, 2));

TEST_F(Rfc2136Bind, OneUpdateCarriesEveryName) {
    DdnsEntry e = Entry();
    e.hosts = {"home.example.test", "office.example.test"};
    e.wantAAAA = false;
    const DeliveryResult r = Rfc2136Deliver(e, {"198.51.100.4", ""}, {0, kTestNow, 5});
    EXPECT_EQ(r.outcome, DeliveryOutcome::Delivered) << r.code << " " << r.serverReply;
    EXPECT_EQ(bind_.Dig("home.example.test", "A"), "198.51.100.4\n");
    EXPECT_EQ(bind_.Dig("office.example.test", "A"), "198.51.100.4\n");
    EXPECT_EQ(bind_.Dig("office.example.test", "AAAA"), "");
}

struct Refusal {
    const char* name;
    void (*change)(DdnsEntry&);
    const char* code;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

const Refusal kRefusals[] = {
    {"WrongSecret", [](DdnsEntry& e) { e.secret = BindPeer::Outsider().secret; }, "BADSIG"},
    {"UnknownKey", [](DdnsEntry& e) { e.keyName = "nobody-knows"; }, "BADKEY"},
    {"KeyGrantedNothing",
     [](DdnsEntry& e) {
         e.keyName = BindPeer::Outsider().name;
         e.secret = BindPeer::Outsider().secret;
     },
     "REFUSED"},
    {"NameOutsideThePolicy", [](DdnsEntry& e) { e.hosts = {"www.example.test"}; }, "REFUSED"},
    {"ZoneNotServed",
     [](DdnsEntry& e) {
         e.zone = "nothere.test";
         e.hosts = {"home.nothere.test"};
     },
     "NOTAUTH"},
    {"NameOutsideTheZone", [](DdnsEntry& e) { e.hosts = {"home.second.test"}; }, "NOTZONE"},
};

class Rfc2136Refusals : public Rfc2136Bind, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Rfc2136Refusals, StopUntilTheSettingsChangeAndLeaveTheZoneAlone) {
    DdnsEntry e = Entry();
    e.wantAAAA = false;
    GetParam().change(e);
    const DeliveryResult r = Rfc2136Deliver(e, {"192.0.2.99", ""}, {0, kTestNow, 5});
    EXPECT_EQ(r.outcome, DeliveryOutcome::FailedPermanently);
    EXPECT_EQ(r.code, GetParam().code) << r.serverReply;
    EXPECT_EQ(r.retryAt, 0);
    EXPECT_EQ(bind_.Dig("home.example.test", "A"), "10.0.0.1\n10.0.0.2\n");
    EXPECT_EQ(bind_.Dig(e.hosts[0], "A"), e.hosts[0] == "home.example.test" ? "10.0.0.1\n10.0.0.2\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Bind, Rfc2136Refusals, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Rfc2136Bind, AServerThatIsDownIsTriedAgainAfterTheBackOff) {
    const DdnsEntry e = Entry();
    bind_.Stop();
    for (const auto& [failures, wait] : {std::pair{0, 300}, std::pair{3, 2400}, std::pair{9, 3600}}) {
        const DeliveryResult r = Rfc2136Deliver(e, {"192.0.2.7", ""}, {failures, kTestNow, 1});
        EXPECT_EQ(r.outcome, DeliveryOutcome::Failed);
        EXPECT_TRUE(r.code == "timeout" || r.code == "network") << r.code;
        EXPECT_EQ(r.retryAt, kTestNow + wait) << failures;
    }
}

// The channel as the refresh runs it: from the settings file, with the
// secret stored scrambled, to one status line that never shows it.
TEST_F(Rfc2136Bind, AChannelFromTheSettingsFileUpdatesAndReportsOneLine) {
    test::ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    const test::TsigKey& key = BindPeer::Keys()[0];
    const std::string scrambleKey = "ab" "Zk3!x9Q";
    ini.WriteString("DDNS home", "Protocol", std::string("rfc2136"));
    ini.WriteString("DDNS home", "Host", std::string("home.example.test"));
    ini.WriteString("DDNS home", "Server", bind_.server());
    ini.WriteString("DDNS home", "Zone", std::string("example.test"));
    ini.WriteString("DDNS home", "KeyName", key.name);
    ini.WriteString("DDNS off", "Protocol", std::string("rfc2136"));
    ini.WriteString("DDNS off", "Enabled", std::string("0"));
    std::string error;
    ASSERT_TRUE(WriteDdnsSecret(ini, "home", key.secret, scrambleKey, error)) << error;
    EXPECT_EQ(test::ReadFile(ini.path()).find(key.secret), std::string::npos);

    Settings settings;
    const std::string start = dir.path();
    const std::vector<std::unique_ptr<DeliveryChannel>> channels =
        MakeDdnsChannels({settings, ini, start, scrambleKey});
    ASSERT_EQ(channels.size(), 1u);
    EXPECT_EQ(channels[0]->Name(), "DDNS home");
    const RefreshSnapshot snapshot = test::SnapshotWith("203.0.113.5");
    ASSERT_TRUE(channels[0]->Due(snapshot, {}));
    test::LineReporter reporter;
    const DeliveryResult r = channels[0]->Deliver(snapshot, reporter);
    EXPECT_EQ(r.outcome, DeliveryOutcome::Delivered) << r.code << " " << r.serverReply;
    EXPECT_EQ(bind_.Dig("home.example.test", "A"), "203.0.113.5\n");
    ASSERT_EQ(reporter.lines.size(), 1u);
    EXPECT_EQ(reporter.lines[0], "DDNS home: home.example.test now points to 203.0.113.5.");
}

}  // namespace
}  // namespace zelmar
