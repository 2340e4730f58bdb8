// rfc2136 entries against real name servers, BIND 9 and Knot DNS, with the
// same table: signed updates with each TSIG algorithm, read back by dig, and
// every refusal the servers give.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "app/core/ini_file.h"
#include "app/ddns/ddns_channel.h"
#include "app/ddns/ddns_protocols.h"
#include "tests/ddns/ddns_test_support.h"
#include "tests/ddns/dns_peer.h"

namespace zelmar {
namespace {

using test::DnsPeer;
using test::kTestNow;

enum class Peer { Bind, Knot };

std::string PeerName(Peer p) { return p == Peer::Bind ? "Bind" : "Knot"; }
Peer PeerOf(Peer p) { return p; }
template <class... T>
Peer PeerOf(const std::tuple<Peer, T...>& param) {
    return std::get<0>(param);
}

// One server per test, of the kind the test's parameter names.
template <class Param>
class Rfc2136 : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        if (PeerOf(this->GetParam()) == Peer::Bind)
            peer_ = std::make_unique<test::BindPeer>();
        else
            peer_ = std::make_unique<test::KnotPeer>();
        if (!peer_->failure().empty()) GTEST_SKIP() << peer_->failure();
    }
    DdnsEntry Entry(const test::TsigKey& key = DnsPeer::Keys()[0]) const {
        DdnsEntry e;
        e.name = "home";
        e.protocol = DdnsProtocol::Rfc2136;
        e.hosts = {"home.example.test"};
        e.server = peer_->server();
        e.zone = "example.test";
        e.keyName = key.name;
        e.keyAlgorithm = key.algorithm;
        e.secret = key.secret;
        e.wantAAAA = true;
        return e;
    }
    std::unique_ptr<DnsPeer> peer_;
};

const auto kPeers = ::testing::Values(Peer::Bind, Peer::Knot);

class Rfc2136Algorithms : public Rfc2136<std::tuple<Peer, int>> {};

TEST_P(Rfc2136Algorithms, ReplacesTheWholeSetAndSkipsWhatTheServerHolds) {
    const DdnsEntry e = Entry(DnsPeer::Keys()[std::get<1>(GetParam())]);
    const DdnsAddresses want{"192.0.2.7", "2001:DB8::7"};
    const DeliveryResult first = Rfc2136Deliver(e, want, {0, kTestNow, 5});
    EXPECT_EQ(first.outcome, DeliveryOutcome::Delivered) << first.code << " " << first.serverReply;
    // Both old A records are gone: the name holds exactly the new one.
    EXPECT_EQ(peer_->Dig("home.example.test", "A"), "192.0.2.7\n");
    EXPECT_EQ(peer_->Dig("home.example.test", "AAAA"), "2001:db8::7\n");
    const DeliveryResult again = Rfc2136Deliver(e, want, {0, kTestNow, 5});
    EXPECT_EQ(again.outcome, DeliveryOutcome::NothingToDo) << again.code;
}

INSTANTIATE_TEST_SUITE_P(EachKey, Rfc2136Algorithms, ::testing::Combine(kPeers, ::testing::Values(0, 1, 2)),
                         [](const auto& info) {
                             return PeerName(std::get<0>(info.param)) + "_" +
                                    DnsPeer::Keys()[std::get<1>(info.param)].algorithm.substr(5);
                         });

class Rfc2136Peers : public Rfc2136<Peer> {};

TEST_P(Rfc2136Peers, OneUpdateCarriesEveryName) {
    DdnsEntry e = Entry();
    e.hosts = {"home.example.test", "office.example.test"};
    e.wantAAAA = false;
    const DeliveryResult r = Rfc2136Deliver(e, {"198.51.100.4", ""}, {0, kTestNow, 5});
    EXPECT_EQ(r.outcome, DeliveryOutcome::Delivered) << r.code << " " << r.serverReply;
    EXPECT_EQ(peer_->Dig("home.example.test", "A"), "198.51.100.4\n");
    EXPECT_EQ(peer_->Dig("office.example.test", "A"), "198.51.100.4\n");
    EXPECT_EQ(peer_->Dig("office.example.test", "AAAA"), "");
}

struct Refusal {
    const char* name;
    void (*change)(DdnsEntry&);
    const char* bind;
    // Knot checks its ACL (keys, names, types) before the zone's content and
    // answers a denied update NOTAUTH with the TSIG error BADKEY, as RFC 8945
    // allows for a key that may not do what it asks; the entry stops all the
    // same.
    const char* knot;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

const Refusal kRefusals[] = {
    {"WrongSecret", [](DdnsEntry& e) { e.secret = DnsPeer::Outsider().secret; }, "BADSIG", "BADSIG"},
    {"UnknownKey", [](DdnsEntry& e) { e.keyName = "nobody-knows"; }, "BADKEY", "BADKEY"},
    {"KeyGrantedNothing",
     [](DdnsEntry& e) {
         e.keyName = DnsPeer::Outsider().name;
         e.secret = DnsPeer::Outsider().secret;
     },
     "REFUSED", "BADKEY"},
    {"NameOutsideThePolicy", [](DdnsEntry& e) { e.hosts = {"www.example.test"}; }, "REFUSED", "BADKEY"},
    {"ZoneNotServed",
     [](DdnsEntry& e) {
         e.zone = "nothere.test";
         e.hosts = {"home.nothere.test"};
     },
     "NOTAUTH", "NOTAUTH"},
    {"NameOutsideTheZone", [](DdnsEntry& e) { e.hosts = {"home.second.test"}; }, "NOTZONE", "BADKEY"},
    // Found here, not by the server: nothing is sent.
    {"SecretNotBase64", [](DdnsEntry& e) { e.secret = "not base64!"; }, "settings", "settings"},
};

class Rfc2136Refusals : public Rfc2136<std::tuple<Peer, Refusal>> {};

TEST_P(Rfc2136Refusals, StopUntilTheSettingsChangeAndLeaveTheZoneAlone) {
    const auto& [peer, refusal] = GetParam();
    DdnsEntry e = Entry();
    e.wantAAAA = false;
    refusal.change(e);
    const DeliveryResult r = Rfc2136Deliver(e, {"192.0.2.99", ""}, {0, kTestNow, 5});
    EXPECT_EQ(r.outcome, DeliveryOutcome::FailedPermanently);
    EXPECT_EQ(r.code, peer == Peer::Bind ? refusal.bind : refusal.knot) << r.serverReply;
    EXPECT_EQ(r.retryAt, 0);
    EXPECT_EQ(peer_->Dig("home.example.test", "A"), "10.0.0.1\n10.0.0.2\n");
    EXPECT_EQ(peer_->Dig(e.hosts[0], "A"), e.hosts[0] == "home.example.test" ? "10.0.0.1\n10.0.0.2\n" : "");
}

INSTANTIATE_TEST_SUITE_P(EachPeer, Rfc2136Refusals, ::testing::Combine(kPeers, ::testing::ValuesIn(kRefusals)),
                         [](const auto& info) {
                             return PeerName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

TEST_P(Rfc2136Peers, AServerThatIsDownIsTriedAgainAfterTheBackOff) {
    const DdnsEntry e = Entry();
    peer_->Stop();
    for (const auto& [failures, wait] : {std::pair{0, 300}, std::pair{3, 2400}, std::pair{9, 3600}}) {
        const DeliveryResult r = Rfc2136Deliver(e, {"192.0.2.7", ""}, {failures, kTestNow, 1});
        EXPECT_EQ(r.outcome, DeliveryOutcome::Failed);
        // The closed port is told at once, not waited out.
        EXPECT_EQ(r.code, "network");
        EXPECT_NE(r.serverReply.find("Connection refused"), std::string::npos) << r.serverReply;
        EXPECT_EQ(r.retryAt, kTestNow + wait) << failures;
    }
}

// The new address beside a stale second record is not "already there".
TEST_P(Rfc2136Peers, ANameHoldingTheAddressAndAStaleOneIsReplaced) {
    const DeliveryResult r = Rfc2136Deliver(Entry(), {"10.0.0.1", ""}, {0, kTestNow, 5});
    EXPECT_EQ(r.outcome, DeliveryOutcome::Delivered) << r.code << " " << r.serverReply;
    EXPECT_EQ(peer_->Dig("home.example.test", "A"), "10.0.0.1\n");
}

// A server whose UDP answers are all truncated: every query and the update
// must be asked again over TCP, which alone carries the real answers.
TEST_P(Rfc2136Peers, ATruncatedAnswerIsAskedAgainOverTcp) {
    const test::HostileDnsPeer relay("truncate", peer_->port());
    ASSERT_TRUE(relay.ready()) << relay.Log();
    DdnsEntry e = Entry();
    e.server = relay.server();
    e.wantAAAA = false;
    const DeliveryResult r = Rfc2136Deliver(e, {"192.0.2.55", ""}, {0, kTestNow, 5});
    EXPECT_EQ(r.outcome, DeliveryOutcome::Delivered) << r.code << " " << r.serverReply;
    EXPECT_EQ(peer_->Dig("home.example.test", "A"), "192.0.2.55\n");
    // The query, the update and the read-back each went by UDP first, then
    // once by TCP.
    EXPECT_EQ(relay.Count("tcp"), 3) << relay.Log();
    EXPECT_EQ(relay.Count("udp"), 3) << relay.Log();
}

// A hostile server (tests/support/hostile_dns_peer.py) in front of the real
// one: each row one way of misbehaving, what the entry makes of it, and what
// the zone holds afterwards.
struct Hostile {
    const char* mode;
    DeliveryOutcome outcome;
    const char* code;
    const char* line;  // a part of the status line
    const char* zone;  // home's A records afterwards
};

void PrintTo(const Hostile& h, std::ostream* os) { *os << h.mode; }

constexpr const char* kBefore = "10.0.0.1\n10.0.0.2\n";
constexpr const char* kAfter = "203.0.113.7\n";
const Hostile kHostile[] = {
    {"trickle", DeliveryOutcome::Failed, "timeout", "of its TCP answer when the time ran out", kBefore},
    {"spoof-id", DeliveryOutcome::Delivered, "NOERROR", "now points to", kAfter},
    {"spoof-question", DeliveryOutcome::Delivered, "NOERROR", "now points to", kAfter},
    {"spoof-port", DeliveryOutcome::Delivered, "NOERROR", "now points to", kAfter},
    {"strip-tsig", DeliveryOutcome::Failed, "network", "the server's answer is not signed with the key", kAfter},
    {"bad-mac", DeliveryOutcome::Failed, "network", "does not match the key", kAfter},
    {"refuse-queries", DeliveryOutcome::Delivered, "NOERROR", "its signed NOERROR is taken as proof", kAfter},
    {"refuse-unsigned", DeliveryOutcome::FailedPermanently, "REFUSED", "may not know the key \"zelmar-sha256\"",
     kBefore},
};

class Rfc2136Hostile : public Rfc2136<std::tuple<Peer, Hostile>> {};

TEST_P(Rfc2136Hostile, OnlyTheServersSignedAnswerCountsAndNothingHangs) {
    const Hostile& h = std::get<1>(GetParam());
    // Trickled bytes come one a second, inside the two seconds of Timeout.
    const test::HostileDnsPeer hostile(h.mode, peer_->port(), h.mode[0] == 't' ? "1" : "203.0.113.7");
    ASSERT_TRUE(hostile.ready()) << hostile.Log();
    DdnsEntry e = Entry();
    e.server = hostile.server();
    e.wantAAAA = false;
    const DeliveryResult r = Rfc2136Deliver(e, {"203.0.113.7", ""}, {0, kTestNow, 2});
    EXPECT_EQ(r.outcome, h.outcome) << r.code << " " << r.serverReply;
    EXPECT_EQ(r.code, h.code) << r.serverReply;
    const std::string line = DdnsStatusLine(e, r, "203.0.113.7");
    EXPECT_NE(line.find(h.line), std::string::npos) << line;
    // The trickle was abandoned long before its last byte.
    EXPECT_LT(hostile.Count("byte"), 5) << hostile.Log();
    EXPECT_EQ(peer_->Dig("home.example.test", "A"), h.zone);
}

INSTANTIATE_TEST_SUITE_P(EachPeer, Rfc2136Hostile, ::testing::Combine(kPeers, ::testing::ValuesIn(kHostile)),
                         [](const auto& info) {
                             std::string name = PeerName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).mode;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// The channel as the refresh runs it: from the settings file, with the
// secret stored scrambled, to one status line that never shows it.
TEST_P(Rfc2136Peers, AChannelFromTheSettingsFileUpdatesAndReportsOneLine) {
    test::ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    const test::TsigKey& key = DnsPeer::Keys()[0];
    const std::string scrambleKey = "ab" "Zk3!x9Q";
    ini.WriteString("DDNS home", "Protocol", std::string("rfc2136"));
    ini.WriteString("DDNS home", "Host", std::string("home.example.test"));
    ini.WriteString("DDNS home", "Server", peer_->server());
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
    EXPECT_EQ(peer_->Dig("home.example.test", "A"), "203.0.113.5\n");
    ASSERT_EQ(reporter.lines.size(), 1u);
    EXPECT_EQ(reporter.lines[0], "DDNS home: home.example.test now points to 203.0.113.5.");
}

INSTANTIATE_TEST_SUITE_P(EachPeer, Rfc2136Peers, kPeers, [](const auto& info) { return PeerName(info.param); });

}  // namespace
}  // namespace zelmar
