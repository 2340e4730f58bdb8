// The address history: the file, its limit, the tokens, and what the desktop
// is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "app/notify/address_history.h"
#include "app/notify/desktop_notes.h"
#include "tests/support/peer_process.h"

namespace zelmar {
namespace {

using test::ScratchDir;

RefreshSnapshot Snap(std::string wan, std::string oldWan, std::int64_t at = 1700000000) {
    RefreshSnapshot s;
    s.current = {std::move(wan), "192.168.1.20", "", ""};
    s.previous = {std::move(oldWan), "192.168.1.20", "", ""};
    s.time = std::chrono::system_clock::time_point(std::chrono::seconds(at));
    return s;
}

TEST(AddressHistory, KeepsTheLastFiftyAcrossARestart) {
    ScratchDir dir;
    auto history = std::make_shared<AddressHistory>(dir / kHistoryFileName);
    std::string error;
    ASSERT_TRUE(history->Load(error)) << error;  // no file yet
    std::vector<std::string> posted;
    auto observer = MakeHistoryObserver(history, [&](StatusMessage m) { posted.push_back(m.text); });
    RefreshSnapshot first = Snap("10.0.0.1", "");
    first.previous = {};
    observer(first, {});                         // first refresh: nothing known before
    observer(Snap("10.0.0.1", "10.0.0.1"), {});  // no change
    const auto change = [&](int i) {
        observer(Snap("10.0.0." + std::to_string(i + 1), "10.0.0." + std::to_string(i), 1700000000 + i), {});
    };
    for (int i = 1; i <= 50; ++i) change(i);
    ASSERT_EQ(history->Entries().size(), kMaxHistoryEntries);
    EXPECT_EQ(history->Entries().front().before.wan, "10.0.0.1");
    change(51);
    EXPECT_TRUE(posted.empty());

    const auto again = OpenAddressHistory(dir.path(), [&](StatusMessage m) { posted.push_back(m.text); });
    EXPECT_TRUE(posted.empty());
    const auto entries = again->Entries();
    ASSERT_EQ(entries.size(), kMaxHistoryEntries);
    EXPECT_EQ(entries.front().before.wan, "10.0.0.2");  // the first change fell off
    EXPECT_EQ(entries.back().after.wan, "10.0.0.52");
    EXPECT_EQ(entries, history->Entries());
    // What a webhook or page is given comes from the history the snapshot
    // carries.
    RefreshSnapshot unchanged = Snap("10.0.0.52", "10.0.0.52");
    unchanged.history = again->Entries();
    PageValues page;
    AddHistoryValues(page, unchanged, true);
    EXPECT_EQ(page.braceValues["old_wan"], "10.0.0.51");
}

TEST(AddressHistory, AFileThatIsNotAHistoryIsReportedAndReplaced) {
    ScratchDir dir;
    for (const char* text : {"{\"changes\": 5}", "not json", "[1,2]"}) {
        test::WriteFile(dir / kHistoryFileName, text);
        AddressHistory h(dir / kHistoryFileName);
        std::string error;
        EXPECT_FALSE(h.Load(error)) << text;
        EXPECT_NE(error.find("is not an address history"), std::string::npos);
        ASSERT_TRUE(h.Add({1, {"1.1.1.1", "", "", ""}, {"2.2.2.2", "", "", ""}}, error)) << error;
        AddressHistory back(dir / kHistoryFileName);
        EXPECT_TRUE(back.Load(error));
        EXPECT_EQ(back.Entries().size(), 1u);
    }
}

// The history is the program's own file: a link is never followed (it would
// overwrite the file it points at) and a named pipe never waited on.
struct HostileHistory {
    const char* name;
    void (*make)(const std::string& dir, const std::string& path);
} const kHostileHistories[] = {
    {"symlink",
     [](const std::string& d, const std::string& path) { ASSERT_EQ(symlink((d + "/mine").c_str(), path.c_str()), 0); }},
    {"named_pipe", [](const std::string&, const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
};

class HostileHistoryFile : public ::testing::TestWithParam<HostileHistory> {};

TEST_P(HostileHistoryFile, IsNeitherReadNorWrittenThrough) {
    ScratchDir dir;
    test::WriteFile(dir / "mine", "the user's own file");
    GetParam().make(dir.path(), dir / kHistoryFileName);
    AddressHistory h(dir / kHistoryFileName);
    std::string error;
    EXPECT_FALSE(h.Load(error) || error.find("cannot read") == std::string::npos) << error;
    EXPECT_FALSE(h.Add({1, {"1.1.1.1", "", "", ""}, {"2.2.2.2", "", "", ""}}, error));
    EXPECT_EQ(test::ReadFile(dir / "mine"), "the user's own file");
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileHistoryFile, ::testing::ValuesIn(kHostileHistories),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AddressHistory, TokensCountTheChangeOfThisRefresh) {
    const std::vector<AddressChange> recorded = {
        {1700000000, {"10.0.0.1", "192.168.1.9", "", ""}, {"10.0.0.2", "192.168.1.20", "", ""}}};
    const std::string first = HistoryTimeText(1700000000);
    const std::string second = HistoryTimeText(1700000600);

    auto same = HistoryValues(recorded, Snap("10.0.0.2", "10.0.0.2", 1700000600), false);
    EXPECT_EQ(same["old_wan"], "10.0.0.1");
    EXPECT_EQ(same["old_lan"], "192.168.1.9");
    EXPECT_EQ(same["changed_at"], first);
    EXPECT_EQ(same["history"], first + "  WAN 10.0.0.1 -> 10.0.0.2, LAN 192.168.1.9 -> 192.168.1.20\n");

    auto changing = HistoryValues(recorded, Snap("10.0.0.<3>", "10.0.0.2", 1700000600), true);
    EXPECT_EQ(changing["old_wan"], "10.0.0.2");
    EXPECT_EQ(changing["old_lan"], "192.168.1.9");  // the LAN did not change now
    EXPECT_EQ(changing["changed_at"], second);
    // Newest first, one row per change, values escaped for HTML.
    const std::string& rows = changing["history"];
    EXPECT_LT(rows.find(second), rows.find(first));
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 2);
    EXPECT_NE(rows.find("<td>10.0.0.2 &rarr; 10.0.0.&lt;3&gt;</td>"), std::string::npos) << rows;
    EXPECT_EQ(rows.find("<3>"), std::string::npos);
    EXPECT_EQ(HistoryValues({}, Snap("1", "1"), true)["changed_at"], "");
}

TEST(AddressHistory, StatusPageRowsAndTimeSinceTheLastChange) {
    const std::vector<AddressChange> entries = {{100, {"1.1.1.1", "10.0.0.1", "", ""}, {"1.1.1.2", "10.0.0.1", "", ""}},
                                                {200, {"1.1.1.2", "10.0.0.1", "", ""}, {"1.1.1.2", "10.0.0.2", "", "fd00::2"}}};
    const auto rows = HistoryRows(entries);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].time, HistoryTimeText(200));
    EXPECT_EQ(rows[0].wan, "1.1.1.2");
    EXPECT_EQ(rows[0].lan, "10.0.0.1 → 10.0.0.2");
    EXPECT_EQ(rows[0].lan6, "fd00::2");  // the first address seen is no change
    EXPECT_EQ(rows[1].wan, "1.1.1.1 → 1.1.1.2");
    const std::pair<std::int64_t, const char*> since[] = {
        {59, "less than a minute"}, {60, "1 min"},        {3599, "59 min"},
        {3600, "1 h 0 min"},        {86399, "23 h 59 min"}, {86400, "1 d 0 h"},
    };
    for (const auto& [seconds, text] : since) EXPECT_EQ(TimeSinceLastChange(entries, 200 + seconds), text);
    EXPECT_EQ(TimeSinceLastChange({}, 1), "");
    // Times from a hand-edited file at the ends of the range: no overflow.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(TimeSinceLastChange({{kMin, {}, {}}}, 1700000000), "106751991167300 d 15 h");
    EXPECT_EQ(TimeSinceLastChange({{-(kMin + 1), {}, {}}}, kMin), "less than a minute");
}

TEST(DesktopNotes, ChangeFailureAndRecoveryEachOnce) {
    DesktopNotePlanner planner;
    const ChannelOutcome failed{"Webhook ntfy", true, {DeliveryOutcome::Failed, "503", "request", "busy", 0}};
    const ChannelOutcome ok{"Webhook ntfy", true, DeliveryResult::Success()};
    const ChannelOutcome notDue{"Webhook ntfy", false, {}};
    RefreshSnapshot first = Snap("10.0.0.1", "");
    first.previous = {};
    EXPECT_TRUE(planner.Plan(first, {}).empty());
    auto notes = planner.Plan(Snap("10.0.0.2", "10.0.0.1"), {failed});
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].body, "WAN 10.0.0.1 → 10.0.0.2");
    EXPECT_EQ(notes[1].summary, "Zelmar: Webhook ntfy failed");
    EXPECT_EQ(notes[1].body, "The request failed: 503 busy.");
    EXPECT_TRUE(planner.Plan(Snap("10.0.0.2", "10.0.0.2"), {failed}).empty());
    EXPECT_TRUE(planner.Plan(Snap("10.0.0.2", "10.0.0.2"), {notDue}).empty());
    notes = planner.Plan(Snap("10.0.0.2", "10.0.0.2"), {ok});
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].summary, "Zelmar: Webhook ntfy works again");
    EXPECT_TRUE(planner.Plan(Snap("10.0.0.2", "10.0.0.2"), {ok}).empty());
}

// A failure's note is a sentence, never a bare code: the channel's words,
// else the step with the server's answer (its code once), else the step.
TEST(DesktopNotes, AFailureIsSaidInWords) {
    DeliveryResult why{DeliveryOutcome::Failed, "535", "login", "535 5.7.8 no", 0};
    why.why = "SMTP login refused by mail.example.org (535 5.7.8 no)";
    const std::pair<DeliveryResult, const char*> rows[] = {
        {why, "SMTP login refused by mail.example.org (535 5.7.8 no)."},
        {{DeliveryOutcome::Failed, "530", "login", "530 Authentication failed.", 0},
         "The login failed: 530 Authentication failed."},
        {{DeliveryOutcome::Failed, "P10007", "upload", "", 0}, "Failed at the upload step; the log has this refresh's lines."},
        {{DeliveryOutcome::Failed, "P", "", "", 0}, "Failed at the delivery step; the log has this refresh's lines."},
    };
    for (const auto& [result, body] : rows) {
        DesktopNotePlanner planner;
        const auto notes = planner.Plan(Snap("10.0.0.1", "10.0.0.1"), {{"FTP", true, result}});
        ASSERT_EQ(notes.size(), 1u) << body;
        EXPECT_EQ(notes[0].body, body);
    }
}

// The service reads a body as markup: what came from outside is text.
TEST(DesktopNotes, MarkupFromOutsideIsShownAsText) {
    const auto notes = DesktopNotePlanner().Plan(
        Snap("10.0.0.2", "10.0.0.1<b>"), {{"FTP", true, {DeliveryOutcome::Failed, "", "", "<a href=\"x\">&'<img src='file:///x'>", 0}}});
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].body, "WAN 10.0.0.1&lt;b&gt; → 10.0.0.2");
    EXPECT_EQ(notes[1].body, "&lt;a href=\"x\"&gt;&amp;'&lt;img src='file:///x'&gt;.");
}

}  // namespace
}  // namespace zelmar
