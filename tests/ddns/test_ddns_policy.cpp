// When an entry tries, how long it waits after a failure, and what a
// "[DDNS x]" section must hold to be used.
#include <gtest/gtest.h>

#include "app/core/ini_file.h"
#include "app/core/secret_text.h"
#include "app/ddns/ddns_channel.h"
#include "app/ddns/ddns_page_model.h"
#include "app/ddns/ddns_policy.h"
#include "app/refresh/channel_record.h"
#include "tests/ddns/ddns_test_support.h"
#include "tests/support/peer_process.h"

namespace zelmar {
namespace {

using test::kTestNow;

// A reply may echo the secret in any form it was sent in; each is masked
// before the reply is cut to a line, even where the cut would fall inside.
TEST(DdnsReply, EveryFormOfTheSecretIsMaskedBeforeTheCut) {
    const std::string secret = "s3cr3t/t0ken+value with space";
    const std::string forms[] = {secret, "s3cr3t%2Ft0ken%2Bvalue%20with%20space",
                                 "s3cr3t%2ft0ken%2bvalue%20with%20space", "s3cr3t%2Ft0ken%2Bvalue+with+space"};
    for (const std::string& form : forms) {
        const std::string reply = std::string(190, '.') + form + " tail";
        const std::string shown = MaskReply(reply, secret);
        EXPECT_EQ(shown.find("s3cr3t"), std::string::npos) << shown;
        EXPECT_EQ(shown.find("t0ken"), std::string::npos) << shown;
    }
    // The Basic login a dyndns2 server echoes back.
    const std::vector<std::string> basic = SecretForms("4711", "joe");
    EXPECT_EQ(WithoutSecretForms("Authorization: Basic am9lOjQ3MTE=", basic), "Authorization: Basic ***");
}

TEST(DdnsBackoff, FiveMinutesDoublingToOneHour) {
    const std::pair<int, std::int64_t> rows[] = {{0, 300},  {1, 600},  {2, 1200},   {3, 2400},
                                                 {4, 3600}, {5, 3600}, {1000, 3600}, {-1, 300}};
    for (const auto& [failures, seconds] : rows) EXPECT_EQ(DdnsBackoffSeconds(failures), seconds) << failures;
}

struct DueRow {
    const char* name;
    DdnsProtocol protocol;
    bool wantAAAA;
    const char* wan;
    const char* wan6;
    ChannelRecord record;
    bool due;
};

void PrintTo(const DueRow& r, std::ostream* os) { *os << r.name; }

constexpr std::int64_t kDay = 24 * 60 * 60;
const AddressSet kHeld{"192.0.2.7", "", "2001:db8::7", ""};

ChannelRecord Record(std::int64_t deliveredAt, int failures = 0, std::int64_t retryAt = 0) {
    ChannelRecord r;
    r.delivered = kHeld;
    r.deliveredAt = deliveredAt;
    r.failures = failures;
    r.retryAt = retryAt;
    return r;
}

const DueRow kDue[] = {
    {"NeverDelivered", DdnsProtocol::Dyndns2, false, "192.0.2.7", "", {}, true},
    {"SameAddressYesterday", DdnsProtocol::Dyndns2, false, "192.0.2.7", "", Record(kTestNow - kDay), false},
    {"SameAddress25DaysLess1s", DdnsProtocol::DuckDns, false, "192.0.2.7", "",
     Record(kTestNow - 25 * kDay + 1), false},
    {"SameAddress25Days", DdnsProtocol::DuckDns, false, "192.0.2.7", "", Record(kTestNow - 25 * kDay), true},
    {"NewAddress", DdnsProtocol::Cloudflare, false, "192.0.2.8", "", Record(kTestNow - kDay), true},
    {"NewIPv6Wanted", DdnsProtocol::Dyndns2, true, "192.0.2.7", "2001:db8::8", Record(kTestNow - kDay), true},
    {"NewIPv6NotWanted", DdnsProtocol::Dyndns2, false, "192.0.2.7", "2001:db8::8", Record(kTestNow - kDay), false},
    {"NoWanAddress", DdnsProtocol::Dyndns2, false, "N/A", "", {}, false},
    {"OnlyIPv6", DdnsProtocol::Dyndns2, true, "N/A", "2001:db8::7", {}, true},
    {"BackingOff", DdnsProtocol::Dyndns2, false, "192.0.2.8", "", Record(kTestNow - kDay, 2, kTestNow + 1), false},
    {"BackOffOver", DdnsProtocol::Dyndns2, false, "192.0.2.8", "", Record(kTestNow - kDay, 2, kTestNow), true},
    // An own server is asked every time; it decides whether to update.
    {"Rfc2136SameAddress", DdnsProtocol::Rfc2136, false, "192.0.2.7", "", Record(kTestNow - kDay), true},
    {"Rfc2136BackingOff", DdnsProtocol::Rfc2136, false, "192.0.2.7", "", Record(0, 1, kTestNow + 60), false},
};

class DdnsDueTable : public ::testing::TestWithParam<DueRow> {};

TEST_P(DdnsDueTable, TriesOnlyWhenTheNameMayBeBehind) {
    const DueRow& row = GetParam();
    DdnsEntry e;
    e.protocol = row.protocol;
    e.wantAAAA = row.wantAAAA;
    EXPECT_EQ(DdnsDue(e, test::SnapshotWith(row.wan, row.wan6), row.record, kTestNow), row.due);
}

INSTANTIATE_TEST_SUITE_P(Rules, DdnsDueTable, ::testing::ValuesIn(kDue),
                         [](const auto& info) { return std::string(info.param.name); });

// The user's own refresh tries at once; it still sends no unchanged address.
TEST(DdnsDue, AManualRefreshDoesNotWaitForTheBackOff) {
    DdnsEntry e;
    e.protocol = DdnsProtocol::Dyndns2;
    RefreshSnapshot snapshot = test::SnapshotWith("192.0.2.8");
    snapshot.trigger = RefreshTrigger::Manual;
    EXPECT_TRUE(DdnsDue(e, snapshot, Record(kTestNow - kDay, 2, kTestNow + 600), kTestNow));
    snapshot.current.wan = "192.0.2.7";
    EXPECT_FALSE(DdnsDue(e, snapshot, Record(kTestNow - kDay), kTestNow));
}

class DdnsSettings : public ::testing::Test {
protected:
    std::vector<std::unique_ptr<DeliveryChannel>> Channels() {
        Settings settings;
        const std::string start = dir_.path();
        return MakeDdnsChannels({settings, ini_, start, key_});
    }
    void Set(const std::string& section, const std::string& key, const std::string& value) {
        ini_.WriteString(section, key, value);
    }
    test::ScratchDir dir_;
    IniFile ini_{dir_ / "Zelmar.ini"};
    std::string key_ = "wsZk3!x9Q";
};

// Settings that cannot work are said once, as a stop that lasts until they
// change; they never reach a server.
TEST_F(DdnsSettings, UnusableEntriesStopWithOneLineNamingEachProblem) {
    Set("DDNS broken", "Protocol", "dyndns3");
    Set("DDNS broken", "Records", "A,MX");
    Set("DDNS broken", "Server", "http://members.example.org");
    test::LineReporter reporter;
    const auto channels = Channels();
    ASSERT_EQ(channels.size(), 1u);
    ASSERT_TRUE(channels[0]->Due(test::SnapshotWith("192.0.2.7"), {}));
    const DeliveryResult r = channels[0]->Deliver(test::SnapshotWith("192.0.2.7"), reporter);
    EXPECT_EQ(r.outcome, DeliveryOutcome::FailedPermanently);
    ASSERT_EQ(reporter.lines.size(), 1u);
    for (const char* part : {"\"dyndns3\"", "\"Host\" names no host", "\"MX\"", "no secret is stored",
                             "stops updating until its settings change"})
        EXPECT_NE(reporter.lines[0].find(part), std::string::npos) << part << " in " << reporter.lines[0];
}

TEST_F(DdnsSettings, TheFingerprintFollowsEverySettingAndTheSecret) {
    Set("DDNS home", "Protocol", "duckdns");
    Set("DDNS home", "Host", "home");
    std::string error;
    ASSERT_TRUE(WriteDdnsSecret(ini_, "home", "token-1", key_, error)) << error;
    const std::string before = Channels()[0]->SettingsFingerprint();
    EXPECT_EQ(Channels()[0]->SettingsFingerprint(), before);
    ASSERT_TRUE(WriteDdnsSecret(ini_, "home", "token-2", key_, error));
    const std::string newSecret = Channels()[0]->SettingsFingerprint();
    EXPECT_NE(newSecret, before);
    Set("DDNS home", "Records", "A,AAAA");
    EXPECT_NE(Channels()[0]->SettingsFingerprint(), newSecret);
    EXPECT_EQ(test::ReadFile(ini_.path()).find("token-2"), std::string::npos);
}

TEST_F(DdnsSettings, SecretsThatCannotBeStoredAreRefused) {
    std::string error;
    for (const std::string& bad : {std::string(), std::string(256, 'x'), std::string("a\nb"), std::string("a\0b", 3)})
        EXPECT_FALSE(WriteDdnsSecret(ini_, "home", bad, key_, error)) << bad.size();
    EXPECT_TRUE(WriteDdnsSecret(ini_, "home", std::string(255, 'x'), key_, error)) << error;
    EXPECT_EQ(ReadDdnsSecret(ini_, "home", key_), std::string(255, 'x'));
    EXPECT_FALSE(WriteDdnsSecret(ini_, "bad]name", "x", key_, error));
}

}  // namespace
}  // namespace zelmar

namespace zelmar {
namespace {

// The command line stores the secret scrambled, from standard input, and
// only for an entry that exists.
TEST_F(DdnsSettings, SetDdnsSecretStoresStandardInputScrambled) {
    Set("DDNS home", "Protocol", "duckdns");
    const std::string run = "cd '" + dir_.path() + "' && printf 'tok-5150\\n' | " ZELMAR_BINARY " --set-ddns-secret ";
    EXPECT_EQ(std::system((run + "home 2>/dev/null").c_str()), 0);
    EXPECT_EQ(ReadDdnsSecret(ini_, "home", ScrambleKey()), "tok-5150");
    EXPECT_EQ(test::ReadFile(ini_.path()).find("tok-5150"), std::string::npos);
    EXPECT_NE(std::system((run + "office 2>/dev/null").c_str()), 0);
    EXPECT_EQ(test::ReadFile(ini_.path()).find("office"), std::string::npos);
}

}  // namespace
}  // namespace zelmar


namespace zelmar {
namespace {

// The page's operations as the dialog uses them: a new secret or the stored
// one, names that are taken, and the outcome read from the channel's record.
TEST_F(DdnsSettings, ThePageAddsEditsEnablesAndRemovesEntries) {
    DdnsPageModel model(ini_, key_);
    DdnsEntry e;
    e.name = "home";
    e.protocol = DdnsProtocol::DuckDns;
    e.hosts = {"home"};
    std::string error;
    EXPECT_FALSE(model.Save(e, "", true, error));
    EXPECT_EQ(error, "No secret is stored (zelmar --set-ddns-secret home).");
    ASSERT_TRUE(model.Save(e, "tok-1", true, error)) << error;
    EXPECT_FALSE(model.Save(e, "tok-1", true, error));
    e.hosts = {"home", "office"};
    ASSERT_TRUE(model.Save(e, "", false, error)) << error;  // the stored secret stays
    EXPECT_EQ(ReadDdnsSecret(ini_, "home", key_), "tok-1");
    EXPECT_EQ(model.Load("home").secret, "");
    ASSERT_TRUE(model.SetEnabled("home", false));
    EXPECT_TRUE(Channels().empty());

    ChannelRecord record;
    record.failures = 2;
    ASSERT_TRUE(StoreChannelRecord(ini_, "DDNS home", record));
    std::vector<DdnsRow> rows = model.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].hosts, "home, office");
    EXPECT_FALSE(rows[0].enabled);
    EXPECT_EQ(rows[0].lastOutcome, "failed 2 times");
    record.stoppedFor = "0123";
    record.stopReason = "badauth";
    ASSERT_TRUE(StoreChannelRecord(ini_, "DDNS home", record));
    EXPECT_EQ(model.Rows()[0].lastOutcome, "stopped: badauth");
    ASSERT_TRUE(model.Remove("home"));
    EXPECT_TRUE(model.Rows().empty());
    EXPECT_TRUE(ini_.GetSectionNames().empty());
}

}  // namespace
}  // namespace zelmar

namespace zelmar {
namespace {

// Sections are found by their prefix, in file order, each once, whatever
// the letter case; a prefix without a name or without its blank is no entry.
TEST_F(DdnsSettings, EntriesAreTheSectionsNamedDdnsSomething) {
    test::WriteFile(ini_.path(), "[ddns Home]\nHost=a\n[LocalSettings]\n[DDNS office]\n[DDNS home]\nHost=b\n"
                                 "[DDNSx]\n[DDNS ]\n");
    EXPECT_EQ(DdnsEntryNames(ini_), (std::vector<std::string>{"Home", "office"}));
    EXPECT_TRUE(DdnsEntryExists(ini_, "HOME"));
    EXPECT_FALSE(DdnsEntryExists(ini_, "x"));
}

}  // namespace
}  // namespace zelmar
