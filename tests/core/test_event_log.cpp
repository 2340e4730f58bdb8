#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/core.h"
#include "app/core/event_log.h"
#include "tests/support/core_fixture.h"
#include "tests/support/fake_host.h"
#include "tests/support/peer_process.h"

using namespace zelmar;
using zelmar::test::CoreTest;
using zelmar::test::FakeHost;
using zelmar::test::ReadFile;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;

namespace {

TEST(MessageClassification, DisplayTexts) {
    struct Case {
        const char* message;
        const char* display;
        bool failure;
    } cases[] = {
        {"P10004 Attempting to connect to FTP Server...", "Attempting to connect to FTP Server...", false},
        {"530 Login incorrect.", "Login incorrect.", false},
        {"226 Transfer complete", "Transfer complete", false},
        {"P Email not sent; see SMTPErrors.xml for details", "Email not sent; see SMTPErrors.xml for details", false},
        {"P10001", "P10001", false},
        {"", "Unable to resolve hostname/Connection Timeout", true},
        {"Connection refused", "Unable to resolve hostname/Connection Timeout", true},
        {"000 zero code", "Unable to resolve hostname/Connection Timeout", true},
        {"P10005 System Online:   ", "System Online:   ", false},
    };
    for (const auto& c : cases) {
        ClassifiedMessage m = ClassifyMessage(c.message);
        EXPECT_EQ(m.displayText, c.display) << c.message;
        EXPECT_EQ(m.connectionFailure, c.failure) << c.message;
    }
}

TEST(LogDates, ValidDatesAndDayNumbers) {
    EXPECT_EQ(DayNumber(2000, 3, 1) - DayNumber(2000, 2, 28), 2);  // leap year
    EXPECT_EQ(DayNumber(2001, 3, 1) - DayNumber(2001, 2, 28), 1);
    EXPECT_EQ(DayNumber(2009, 1, 1) - DayNumber(2008, 12, 31), 1);
    EXPECT_TRUE(LineDayNumber("02/29/08 10:00:00  x"));
    EXPECT_FALSE(LineDayNumber("02/29/09 10:00:00  x"));
    EXPECT_FALSE(LineDayNumber("13/01/08 10:00:00  x"));
    EXPECT_FALSE(LineDayNumber("00/10/08"));
    EXPECT_FALSE(LineDayNumber("04/31/08"));
    EXPECT_FALSE(LineDayNumber("1a/01/08"));
    EXPECT_FALSE(LineDayNumber("continuation of a long text"));
    EXPECT_FALSE(LineDayNumber("01/01/0"));
    EXPECT_EQ(*LineDayNumber("11/05/08 14:03:27  text"), DayNumber(2008, 11, 5));
}

// A core over a scratch folder with logging on; the log file's lines are
// dated relative to the fake clock.
class EventLogTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
        MakeCore("[LocalSettings]\nFTPServer=f\nWANIPURL=http://echo/\n[Preferences]\nIsLogging=1\n"
                 "LogFilename=Zelmar.log\nMaxLog=7\n");
        core->LoadOrCreateSettings();
    }

    std::string Stamp(int daysAgo) const {
        std::time_t t = Host::Clock::to_time_t(host.Now()) - daysAgo * 86400;
        std::tm tm{};
        gmtime_r(&t, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%m/%d/%y %H:%M:%S  ", &tm);
        return buf;
    }
};

TEST_F(EventLogTest, LinesCarryTheTimeStampAndTheDisplayText) {
    core->PostStatusMessage("P10004 Attempting to connect to FTP Server...");
    core->PostStatusMessage("530 Login incorrect.");
    const std::string want = TimeDisplay(host.Now());
    EXPECT_EQ(ReadFile(dir / "Zelmar.log"), want + "Attempting to connect to FTP Server...\r\n" + want +
                                                "Login incorrect.\r\n");
    EXPECT_EQ(want.size(), 19u);
    EXPECT_EQ(host.page.hostMessages, "Login incorrect.");
}

// The display gets each message as it was raised, its kind and code kept
// beside the line that was logged.
TEST_F(EventLogTest, TheHostGetsTheMessageWithItsKindAndCode) {
    core->PostStatusMessage(StatusMessage::Program("P10002", "Successfully changed folder."));
    core->PostStatusMessage("530 Login incorrect.");
    core->PostStatusMessage(StatusMessage{StatusKind::ConnectionFailure, "", ""});
    core->PostStatusMessage(OnlineNotice());
    ASSERT_EQ(host.messages.size(), 4u);
    EXPECT_EQ(host.messages[0], StatusMessage::Program("P10002", "Successfully changed folder."));
    EXPECT_EQ(host.messages[1], (StatusMessage{StatusKind::ServerReply, "530", "Login incorrect."}));
    EXPECT_EQ(host.messages[2].kind, StatusKind::ConnectionFailure);
    EXPECT_TRUE(host.messages[3].IsOnlineNotice());
    EXPECT_EQ(host.lines[0], "Successfully changed folder.");
    EXPECT_EQ(host.lines[2], kConnectionFailureText);
    EXPECT_EQ(host.lines[3].rfind("System Online:   LAN IP: ", 0), 0u);
}

// The IPv6 pair follows only when one of its addresses is known: an IPv4-only
// machine's notice keeps its old form, which log readers match.
TEST_F(EventLogTest, OnlineNoticeCarriesTheAddresses) {
    struct Case {
        const char* lan6;
        const char* wan6;
        const char* tail;
    };
    const Case cases[] = {
        {"", "", ""},
        {"fd00::2", "", ", LAN IPv6: fd00::2, WAN IPv6: N/A"},
        {"", "2001:db8::7", ", LAN IPv6: N/A, WAN IPv6: 2001:db8::7"},
        {"fd00::2", "2001:db8::7", ", LAN IPv6: fd00::2, WAN IPv6: 2001:db8::7"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dir / "Zelmar.log");
        core->FinishOnline({"203.0.113.9", "192.168.1.20", c.wan6, c.lan6});
        const std::string line = "System Online:   LAN IP: 192.168.1.20, WAN IP: 203.0.113.9" + std::string(c.tail);
        EXPECT_EQ(ReadFile(dir / "Zelmar.log"), TimeDisplay(host.Now()) + line + "\r\n");
        EXPECT_EQ(host.lines.back(), line) << "the status line says what the log says";
        EXPECT_EQ(host.page.hostMessages, "System Online:   ");
        EXPECT_EQ(host.page.addresses, (AddressSet{"203.0.113.9", "192.168.1.20", c.wan6, c.lan6}));
        EXPECT_EQ(host.page.lastRefreshed, TimeDisplay(host.Now()));
    }
}

TEST_F(EventLogTest, OldLinesArePurgedWhenTheFirstDatedLineIsTooOld) {
    const std::string longLine(200, 'x');
    WriteFile(dir / "Zelmar.log", "no date here\r\n" + Stamp(8) + "eight days\r\n" + Stamp(8) +
                                      "continued\r\nwrapped text\r\n" + Stamp(6) + longLine + "\r\n" + Stamp(1) +
                                      "yesterday\r\n");
    core->PostStatusMessage("P10002 Successfully changed folder.");
    const std::string now = TimeDisplay(host.Now());
    EXPECT_EQ(ReadFile(dir / "Zelmar.log"), Stamp(6) + longLine + "\r\n" + Stamp(1) + "yesterday\r\n" + now +
                                                "Cleaning Log File...\r\n" + now + "Successfully changed folder.\r\n");
    EXPECT_EQ(ReadFile(dir / "Zelmar.log.tmp"), "");
}

TEST_F(EventLogTest, PurgeKeepsLinesExactlyMaxLogDaysOld) {
    // MaxLog is 7: a line 7 days old is young enough, one 8 days old is not.
    WriteFile(dir / "Zelmar.log", Stamp(8) + "eight\r\n" + Stamp(7) + "seven\r\n" + Stamp(0) + "today\r\n");
    core->PostStatusMessage("P10002 Successfully changed folder.");
    const std::string now = TimeDisplay(host.Now());
    EXPECT_EQ(ReadFile(dir / "Zelmar.log"), Stamp(7) + "seven\r\n" + Stamp(0) + "today\r\n" + now +
                                                "Cleaning Log File...\r\n" + now + "Successfully changed folder.\r\n");
}

TEST_F(EventLogTest, YoungLogOrMaxLogZeroIsNeverPurged) {
    const std::string young = Stamp(7) + "seven days\r\n";
    WriteFile(dir / "Zelmar.log", young);
    core->PostStatusMessage("P x");
    EXPECT_EQ(ReadFile(dir / "Zelmar.log").rfind(young, 0), 0u);

    core->EditSettings([](Settings& s) { s.MaxLog = 0; });
    const std::string old = Stamp(400) + "ancient\r\n";
    WriteFile(dir / "Zelmar.log", old);
    core->PostStatusMessage("P y");
    EXPECT_EQ(ReadFile(dir / "Zelmar.log"), old + TimeDisplay(host.Now()) + "y\r\n");
}

TEST_F(EventLogTest, EmptyLogNameAsksEveryTime) {
    core->EditSettings([](Settings& s) { s.LogFilename.clear(); });
    core->PostStatusMessage("P one");
    core->PostStatusMessage("P two");
    ASSERT_EQ(host.boxes.size(), 2u);
    EXPECT_EQ(host.boxes[0].text, "Please specify log name file or disable logging.");
    EXPECT_EQ(host.page.hostMessages, "two");
}

TEST_F(EventLogTest, FailedPurgeKeepsTheLogAndSaysSo) {
    // A folder named like the rotation file makes the rename fail.
    WriteFile(dir / "Zelmar.log", Stamp(30) + "old\r\n");
    mkdir((dir / "Zelmar.log.tmp").c_str(), 0755);
    WriteFile(dir / "Zelmar.log.tmp/blocker", "x");
    core->PostStatusMessage("P10002 Successfully changed folder.");
    EXPECT_EQ(host.page.hostMessages, kLogErrorText);
    const std::string log = ReadFile(dir / "Zelmar.log");
    EXPECT_EQ(log.rfind(Stamp(30) + "old\r\n", 0), 0u);
    EXPECT_EQ(log.find("Successfully changed folder."), std::string::npos);
}

TEST_F(EventLogTest, LoggingOffWritesNothing) {
    core->EditSettings([](Settings& s) { s.IsLogging = 0; });
    core->PostStatusMessage("P10002 Successfully changed folder.");
    EXPECT_FALSE(std::ifstream(dir / "Zelmar.log").good());
    EXPECT_EQ(host.lines.back(), "Successfully changed folder.");
}

}  // namespace

namespace {

// A relative log name belongs to the folder the program started in, like
// every other file the user names relatively: the process's current folder
// may be another one by then (a window front end, a test harness).
TEST(EventLogPlace, ARelativeLogNameLivesInTheStartFolderWhateverTheCurrentFolder) {
    ScratchDir start, elsewhere;
    WriteFile(start / "Zelmar.ini",
              "[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nIsLogging=1\nLogFilename=Zelmar.log\n");
    ASSERT_EQ(::chdir(elsewhere.path().c_str()), 0);
    FakeHost host;
    Core core(host, start.path(), start / "Zelmar.ini", "k");
    core.LoadOrCreateSettings();
    core.PostStatusMessage(std::string("P10004 Attempting to connect to FTP Server..."));
    (void)!::chdir("/");
    EXPECT_NE(ReadFile(start / "Zelmar.log").find("Attempting to connect to FTP Server..."), std::string::npos);
    EXPECT_NE(::access((elsewhere / "Zelmar.log").c_str(), F_OK), 0);
}

}  // namespace
