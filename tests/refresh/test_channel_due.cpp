// The channels' "due" decisions and the records they are made against.
#include <gtest/gtest.h>

#include <tuple>

#include "app/core/ini_file.h"
#include "app/notify/notification_email.h"
#include "app/publish/publishing.h"
#include "app/refresh/channel_record.h"
#include "tests/ddns/ddns_test_support.h"
#include "tests/support/peer_process.h"
#include "tests/support/pipeline_support.h"

using namespace zelmar;

namespace {

const AddressSet kDelivered{"203.0.113.7", "10.0.0.5", "2001:db8::7", "fd00::5"};

struct DueCase {
    const char* what;
    AddressSet current;
    RefreshTrigger trigger;
    int failures;
    bool ftpDue, mailDue;
};

class ChannelDue : public ::testing::TestWithParam<DueCase> {};

// "On IP change only" set for both: each address alone decides, a failed
// last attempt is retried, and each trigger forces what it always forced
// (the start-up refresh forces the page but not the mail).
TEST_P(ChannelDue, DecidesFromTheRecord) {
    const DueCase& c = GetParam();
    Settings settings;
    FtpPageOf(settings).EnableFTP = 1;
    FtpPageOf(settings).FTPOnIPChangeOnly = 1;
    settings.EmailOnIPChangeOnly = 1;
    RefreshSnapshot snapshot;
    snapshot.current = c.current;
    snapshot.previous = c.current;  // the last lookup is not what counts
    snapshot.trigger = c.trigger;
    ChannelRecord record;
    record.delivered = kDelivered;
    record.deliveredAt = 1;
    record.failures = c.failures;
    EXPECT_EQ(FtpChannel(settings, "/tmp").Due(snapshot, record), c.ftpDue);
    IniFile ini("/nonexistent/Zelmar.ini");
    EXPECT_EQ(MailChannel(settings, "/tmp", ini).Due(snapshot, record), c.mailDue);
}

AddressSet With(Address AddressSet::*member, const char* value) {
    AddressSet a = kDelivered;
    a.*member = value;
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ChannelDue,
    ::testing::Values(
        DueCase{"neither", kDelivered, RefreshTrigger::Timer, 0, false, false},
        DueCase{"wanOnly", With(&AddressSet::wan, "203.0.113.8"), RefreshTrigger::Timer, 0, true, true},
        DueCase{"lanOnly", With(&AddressSet::lan, "10.0.0.6"), RefreshTrigger::Timer, 0, true, true},
        DueCase{"both", {"203.0.113.8", "10.0.0.6", "2001:db8::7", "fd00::5"}, RefreshTrigger::Timer, 0, true, true},
        DueCase{"wan6Only", With(&AddressSet::wan6, "2001:db8::8"), RefreshTrigger::Timer, 0, true, true},
        DueCase{"lan6Only", With(&AddressSet::lan6, "fd00::6"), RefreshTrigger::Timer, 0, true, true},
        DueCase{"lastAttemptFailed", kDelivered, RefreshTrigger::Timer, 1, true, true},
        DueCase{"manual", kDelivered, RefreshTrigger::Manual, 0, true, true},
        DueCase{"startup", kDelivered, RefreshTrigger::Startup, 0, true, false},
        DueCase{"exit", kDelivered, RefreshTrigger::Exit, 0, true, false}),
    [](const auto& info) { return std::string(info.param.what); });

// The one decision of what changed: two spellings of an address are one
// address, and an unknown one counts only where the policy says.
TEST(ChangesBetween, SpellingsAndUnknownByPolicy) {
    struct Row {
        const char* before;
        const char* after;
        bool noChange, whenUnknownNow, change;
    };
    const Row rows[] = {
        {"2001:DB8:0:0::8", "2001:db8::8", false, false, false},
        {"192.0.2.7", " 192.0.2.8", true, true, true},
        {"192.0.2.7", "N/A", false, false, true},
        {"", "192.0.2.7", false, true, true},
        {"N/A", "", false, false, false},
    };
    for (const Row& r : rows) {
        const AddressSet before{r.before, {}, {}, {}}, after{r.after, {}, {}, {}};
        EXPECT_EQ(ChangesBetween(before, after).any(), r.noChange) << r.before << " -> " << r.after;
        EXPECT_EQ(ChangesBetween(before, after, UnknownIs::NoChangeWhenUnknownNow).any(), r.whenUnknownNow);
        EXPECT_EQ(ChangesBetween(before, after, UnknownIs::Change).wan, r.change);
    }
}

TEST(ChannelDueLegacy, ANeverDeliveredChannelComparesWithTheLastLookup) {
    Settings settings;
    FtpPageOf(settings).EnableFTP = 1;
    FtpPageOf(settings).FTPOnIPChangeOnly = 1;
    RefreshSnapshot snapshot;
    snapshot.current = {"203.0.113.7", "10.0.0.5", {}, {}};
    snapshot.previous = snapshot.current;
    const FtpChannel ftp(settings, "/tmp");
    EXPECT_FALSE(ftp.Due(snapshot, ChannelRecord{}));
    snapshot.previous.lan = "10.0.0.4";
    EXPECT_TRUE(ftp.Due(snapshot, ChannelRecord{}));
    FtpPageOf(settings).EnableFTP = 0;
    EXPECT_FALSE(FtpChannel(settings, "/tmp").Due(snapshot, ChannelRecord{}));
}

struct ResultCase {
    const char* what;
    DeliveryOutcome outcome;
    std::int64_t retryAt;
    int failures;
    bool delivered;
    std::string stoppedFor;
};

class RecordAfter : public ::testing::TestWithParam<ResultCase> {};

// Each outcome leaves the record that decides the next refresh, and the
// record survives the settings file.
TEST_P(RecordAfter, OutcomeAndStoredForm) {
    const ResultCase& c = GetParam();
    zelmar::test::ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    ChannelRecord record;
    record.delivered = {"198.51.100.1", "10.0.0.1", {}, {}};
    record.deliveredAt = 100;
    record.failures = 2;
    DeliveryResult result{c.outcome, "530", "login", "530 Login\r\nincorrect.", c.retryAt};
    RecordResult(record, result, kDelivered, "fp", 5000);
    EXPECT_EQ(record.failures, c.failures);
    EXPECT_EQ(record.delivered == kDelivered, c.delivered);
    EXPECT_EQ(record.deliveredAt, c.delivered ? 5000 : 100);
    EXPECT_EQ(record.retryAt, c.retryAt);
    EXPECT_EQ(record.stoppedFor, c.stoppedFor);
    ASSERT_TRUE(StoreChannelRecord(ini, "Webhook x", record));
    const ChannelRecord loaded = LoadChannelRecord(IniFile(dir / "Zelmar.ini"), "Webhook x");
    EXPECT_EQ(loaded.delivered, record.delivered);
    EXPECT_EQ(loaded.deliveredAt, record.deliveredAt);
    EXPECT_EQ(loaded.failures, record.failures);
    EXPECT_EQ(loaded.retryAt, record.retryAt);
    EXPECT_EQ(loaded.stoppedFor, record.stoppedFor);
    EXPECT_EQ(loaded.stopReason, record.stopReason);
    EXPECT_EQ(loaded.stopReason.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RecordAfter,
    ::testing::Values(ResultCase{"delivered", DeliveryOutcome::Delivered, 0, 0, true, ""},
                      ResultCase{"nothingToDo", DeliveryOutcome::NothingToDo, 0, 0, true, ""},
                      ResultCase{"failed", DeliveryOutcome::Failed, 0, 3, false, ""},
                      ResultCase{"failedWithBackOff", DeliveryOutcome::Failed, 6000, 3, false, ""},
                      ResultCase{"refused", DeliveryOutcome::FailedPermanently, 0, 3, false, "fp"}),
    [](const auto& info) { return std::string(info.param.what); });

// A name server only asked, and found holding what it last got, leaves the
// record (and so the settings file) as it was.
TEST(RecordAfter, APeerOnlyAskedLeavesTheRecordAlone) {
    ChannelRecord record;
    record.delivered = kDelivered;
    record.deliveredAt = 100;
    DeliveryResult asked{DeliveryOutcome::NothingToDo, "unchanged", "query", {}, 0};
    asked.sentNothing = true;
    RecordResult(record, asked, kDelivered, "fp", 5000);
    EXPECT_EQ(record.deliveredAt, 100);
    RecordResult(record, asked, With(&AddressSet::wan, "203.0.113.8"), "fp", 6000);
    EXPECT_EQ(record.deliveredAt, 6000);
}

TEST(RecordHeldBack, StoppedForTheSameSettingsOrWaitingForItsTime) {
    ChannelRecord record;
    record.stoppedFor = "fp";
    EXPECT_TRUE(HeldBack(record, "fp", 0, true));
    EXPECT_FALSE(HeldBack(record, "fp2", 0, false));
    record.stoppedFor.clear();
    EXPECT_FALSE(HeldBack(record, "", 0, false)) << "an empty fingerprint never stops a channel";
    record.retryAt = 1000;
    EXPECT_TRUE(HeldBack(record, "", 999, false));
    EXPECT_FALSE(HeldBack(record, "", 1000, false));
    EXPECT_FALSE(HeldBack(record, "", 999, true)) << "a forced refresh does not wait";
}

TEST(RecordLoad, BrokenNumbersReadAsNothing) {
    zelmar::test::ScratchDir dir;
    zelmar::test::WriteFile(dir / "Zelmar.ini", "[Channel FTP]\nDeliveredAt=12x\nFailures=-3\nRetryAt=junk\n");
    const ChannelRecord r = LoadChannelRecord(IniFile(dir / "Zelmar.ini"), "FTP");
    EXPECT_EQ(r.deliveredAt, 0);
    EXPECT_EQ(r.failures, 0);
    EXPECT_EQ(r.retryAt, 0);
}

// A record time beyond the longest back-off (a clock once set ahead) is
// brought back and said once; the channel is tried once the bound has come.
TEST(RecordFromTheFuture, IsClampedSaidOnceAndTriedAgain) {
    constexpr std::int64_t kBound = test::kTestNow + kLongestRetryBackoffSeconds, k9999 = 253402300799, kZero = 0, kOne = 1;
    // {RetryAt, DeliveredAt, said, tried at once}
    for (const auto& [retryAt, deliveredAt, said, triedAtOnce] :
         {std::tuple{k9999, kOne, true, 0}, {kBound + 1, kOne, true, 0}, {kBound, kOne, false, 0}, {kZero, k9999, true, 1}}) {
        zelmar::test::ScratchDir dir;
        IniFile ini(dir / "Zelmar.ini");
        ASSERT_TRUE(StoreChannelRecord(ini, "FTP", {kDelivered, deliveredAt, 1, retryAt, "", ""}));
        int tried = 0;
        test::ScriptedChannel channel("FTP", [&](auto&, auto&) { return ++tried, DeliveryResult::Success(); },
                                      [](auto&, const ChannelRecord& r) { return r.deliveredAt <= test::kTestNow; });
        test::LineReporter reporter;
        RefreshSnapshot snapshot = test::SnapshotWith("203.0.113.7");
        RefreshPipeline::RunChannel(ini, channel, snapshot, reporter);
        EXPECT_EQ(tried, triedAtOnce) << retryAt;
        EXPECT_EQ(LoadChannelRecord(ini, "FTP").retryAt, tried ? 0 : std::min(retryAt, kBound)) << retryAt;
        snapshot.time += std::chrono::seconds(kLongestRetryBackoffSeconds);
        RefreshPipeline::RunChannel(ini, channel, snapshot, reporter);
        EXPECT_EQ(tried, triedAtOnce + 1) << retryAt;
        EXPECT_EQ(reporter.lines.size(), said ? 1u : 0u) << retryAt;
    }
}

}  // namespace
