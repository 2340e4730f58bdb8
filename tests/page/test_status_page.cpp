// The status page generator: token order and values, the template limits,
// and what the output file and the two copies look like after every kind of
// file trouble.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include "app/core/core.h"
#include "app/monitor/program_monitor.h"
#include "app/publish/ftp_page_settings.h"
#include "tests/monitor/scripted_desktop.h"
#include "tests/support/core_fixture.h"
#include "tests/support/fake_host.h"
#include "tests/support/page_support.h"
#include "tests/support/peer_process.h"

namespace zelmar {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

std::tm LocalTime(int year, int month, int day, int hour, int min, int sec) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    t.tm_isdst = -1;
    std::time_t when = std::mktime(&t);  // also fills in the weekday
    std::tm out{};
    localtime_r(&when, &out);
    return out;
}

// Saturday 7 March 2026, 15:04:05.
PageValues SampleValues() {
    PageValues v;
    v.wanAddress = "203.0.113.7";
    v.lanAddress = "192.168.1.20";
    v.siteName = "My FTP Site";
    v.statusWord = "Online";
    v.time = LocalTime(2026, 3, 7, 15, 4, 5);
    return v;
}

TEST(ExpandPageTemplate, TokensInTheirOrder) {
    struct Case {
        const char* templ;
        const char* want;
    } cases[] = {
        {"%WI|%W|%I", "203.0.113.7|Saturday|192.168.1.20"},
        {"%WIx%WI", "203.0.113.7x203.0.113.7"},
        {"%24T / %T", "15:04:05 / 3:04:05 PM"},
        {"%D", "03/07/2026"},
        {"%m-%d-%y", "03-07-2026"},
        {"%y/%Y", "2026/%Y"},
        {"%H is %S", "My FTP Site is Online"},
        {"%M %% %Y %s %h %w %i %", "%M %% %Y %s %h %w %i %"},
        {"", ""},
        {"no tokens at all\r\n", "no tokens at all\r\n"},
        // Bytes outside ASCII and lone CRs pass through untouched.
        {"caf\xE9\r%S\n\xFF\xFE", "caf\xE9\rOnline\n\xFF\xFE"},
        // Adjacent tokens and a token split by nothing in between.
        {"%S%S%%S", "OnlineOnline%Online"},
    };
    for (const auto& c : cases) EXPECT_EQ(ExpandPageTemplate(c.templ, SampleValues()), c.want) << c.templ;
}

TEST(ExpandPageTemplate, ValuesMeetLaterTokensButNotEarlierOnes) {
    PageValues v = SampleValues();
    v.siteName = "%S site %WI %I";  // "%S" comes later; "%WI" and "%I" are done
    EXPECT_EQ(ExpandPageTemplate("%H", v), "Online site %WI %I");
}

// A value is text: it ends at its first NUL byte, so no NUL (and nothing
// behind one) reaches the page.
TEST(ExpandPageTemplate, ValuesEndAtTheirFirstNul) {
    PageValues v = SampleValues();
    v.siteName = std::string("My Site\0<script>", 16);
    v.wanAddress = std::string("203.0.113.7\0x", 13);
    v.programWords = {std::string("UP\0DOWN", 7)};
    const std::string page = ExpandPageTemplate("[%H] [%WI] [%P0]", v);
    EXPECT_EQ(page, "[My Site] [203.0.113.7] [UP]");
    EXPECT_EQ(page.find('\0'), std::string::npos);
}

TEST(InFolder, JoinsOnlyRelativePaths) {
    EXPECT_EQ(InFolder("/start", "a.htm"), "/start/a.htm");
    EXPECT_EQ(InFolder("/start/", "sub/a.htm"), "/start/sub/a.htm");
    EXPECT_EQ(InFolder("/start", "/abs/a.htm"), "/abs/a.htm");
    EXPECT_EQ(InFolder("", "a.htm"), "a.htm");
    EXPECT_EQ(InFolder("/start", ""), "");
}

TEST(ExpandPageTemplate, ProgramTokensInIncreasingOrder) {
    PageValues v = SampleValues();
    for (int i = 0; i < 12; ++i) v.programWords.push_back("W" + std::to_string(i));
    v.programWords[1] = "UP";
    v.programWords[10] = "TEN";
    // "%P1" goes before "%P10", so "%P10".."%P19" read as program 1 plus a digit.
    EXPECT_EQ(ExpandPageTemplate("%P0 %P1 %P10 %P11 %P19 %P2", v), "W0 UP UP0 UP1 UP9 W2");
    v.programWords.resize(3);
    EXPECT_EQ(ExpandPageTemplate("%P2 %P3 %P %p0 %P", v), "W2 %P3 %P %p0 %P");
    v.programWords = {"RUN %P1", "DOWN"};
    EXPECT_EQ(ExpandPageTemplate("%P0", v), "RUN DOWN");
    v.programWords.clear();
    EXPECT_EQ(ExpandPageTemplate("%P0", v), "%P0");
}

TEST(TwelveHourTime, MidnightNoonAndAfternoon) {
    struct Case {
        int h, m, s;
        const char* want;
    } cases[] = {
        {0, 0, 0, "12:00:00 AM"},   {0, 5, 9, "12:05:09 AM"},  {9, 15, 0, "9:15:00 AM"},
        {11, 59, 59, "11:59:59 AM"}, {12, 0, 0, "12:00:00 PM"}, {12, 30, 1, "12:30:01 PM"},
        {13, 5, 0, "1:05:00 PM"},    {23, 59, 59, "11:59:59 PM"},
    };
    for (const auto& c : cases) {
        std::tm t{};
        t.tm_hour = c.h;
        t.tm_min = c.m;
        t.tm_sec = c.s;
        EXPECT_EQ(TwelveHourTime(t), c.want) << c.h << ":" << c.m << ":" << c.s;
    }
}

TEST(OffWordOf, SplitsAtTheFirstSlash) {
    EXPECT_EQ(OffWordOf("TRUE/FALSE"), "FALSE");
    EXPECT_EQ(OffWordOf("UP/DOWN/X"), "DOWN/X");
    EXPECT_EQ(OffWordOf("OFF"), "OFF");
    EXPECT_EQ(OffWordOf(""), "");
}

class GenerateStatusPageTest : public test::CoreTest {
protected:
    void SetUp() override {
        test::CoreTest::SetUp();
        MakeCore(std::nullopt, "key");
        core->EditSettings([](Settings& s) { FtpPageOf(s).ftp.SiteName = "My FTP Site"; });
        SetClock(LocalTime(2026, 3, 7, 15, 4, 5));
    }

    void SetClock(std::tm t) { host.wallStart = Host::Clock::from_time_t(std::mktime(&t)); }
    int GenerateStatusPage(Core& c, const std::string& templatePath, const std::string& outputPath) {
        return test::GeneratePageOf(c, found, templatePath, outputPath);
    }

    AddressSet found{"203.0.113.7", "192.168.1.20", {}, {}};

    std::string At(const std::string& name) const { return dir / name; }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(GenerateStatusPageTest, WritesPageAndCopiesRelativeToTheStartDirectory) {
    WriteFile(At("online.htm"), "<p>%I %WI %D %T %S</p>\r\n");
    ASSERT_EQ(::chdir("/"), 0);  // relative paths must not depend on where we are
    EXPECT_EQ(GenerateStatusPage(*core, "online.htm", "Online.txt"), 1);
    const std::string want = "<p>192.168.1.20 203.0.113.7 03/07/2026 3:04:05 PM Online</p>\r\n";
    EXPECT_EQ(ReadFile(At("Online.txt")), want);
    EXPECT_EQ(ReadFile(At("Zelmar.html")), want);
    EXPECT_EQ(ReadFile(At("Zelmar.txt")), "203.0.113.7");
    EXPECT_EQ(Files(), (std::vector<std::string>{"Online.txt", "Zelmar.html", "Zelmar.txt", "online.htm"}));
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_TRUE(host.lines.empty());
    // The generator leaves the process's current folder alone: other threads
    // (the window) may rely on it.
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_STREQ(cwd, "/");
}

// A NUL in "SiteName" ends the site name on the page.
TEST_F(GenerateStatusPageTest, NulInSiteNameDoesNotReachThePage) {
    core->EditSettings([](Settings& s) { FtpPageOf(s).ftp.SiteName = std::string("Home\0evil", 9); });
    WriteFile(At("t.htm"), "<h1>%H</h1>");
    ASSERT_EQ(GenerateStatusPage(*core, "t.htm", "out.txt"), 1);
    EXPECT_EQ(ReadFile(At("out.txt")), "<h1>Home</h1>");
}

TEST_F(GenerateStatusPageTest, OneTimestampAtMidnightAndNoon) {
    WriteFile(At("t.htm"), "%T|%24T|%W|%D");
    SetClock(LocalTime(2026, 1, 1, 0, 0, 0));
    ASSERT_EQ(GenerateStatusPage(*core, "t.htm", "out.txt"), 1);
    EXPECT_EQ(ReadFile(At("out.txt")), "12:00:00 AM|00:00:00|Thursday|01/01/2026");
    SetClock(LocalTime(2026, 1, 1, 12, 0, 0));
    ASSERT_EQ(GenerateStatusPage(*core, "t.htm", "out.txt"), 1);
    EXPECT_EQ(ReadFile(At("out.txt")), "12:00:00 PM|12:00:00|Thursday|01/01/2026");
}

TEST_F(GenerateStatusPageTest, UnknownWanAddressInPageAndAsciiCopy) {
    found.wan = Address();
    WriteFile(At("t.htm"), "WAN %WI");
    ASSERT_EQ(GenerateStatusPage(*core, "t.htm", "Online.txt"), 1);
    EXPECT_EQ(ReadFile(At("Online.txt")), "WAN N/A");
    EXPECT_EQ(ReadFile(At("Zelmar.txt")), "N/A");
}

TEST_F(GenerateStatusPageTest, ProgramWordsAreLookedUpAfreshByTag) {
    auto desktop = std::make_shared<zelmar::test::ScriptedDesktop>();
    SetMonitorDesktop(desktop);
    core->EditSettings([](Settings& s) { s.StatusIndicators = "UP/DOWN"; });
    // Rows out of order, and no row tagged "%P1": that one shows the off word.
    // The stored words are stale on purpose: the window is what counts.
    core->setProgramTable({{2, "%P2", "Editor", "DOWN"}, {0, "%P0", "Mail", "UP"}, {1, "%P5", "x", "UP"}});
    desktop->Open("editor");
    WriteFile(At("t.htm"), "%P0,%P1,%P2,%P3");
    ASSERT_EQ(GenerateStatusPage(*core, "t.htm", "out.txt"), 1);
    EXPECT_EQ(ReadFile(At("out.txt")), "DOWN,DOWN,UP,%P3");
    SetMonitorDesktop(nullptr);
}

TEST_F(GenerateStatusPageTest, TemplateEndsAtTheLimitOrAtANul) {
    std::string big(kMaxTemplateBytes, 'a');
    big += 'Z';
    WriteFile(At("big.htm"), big);
    ASSERT_EQ(GenerateStatusPage(*core, "big.htm", "out.txt"), 1);
    EXPECT_EQ(ReadFile(At("out.txt")), std::string(kMaxTemplateBytes, 'a'));

    WriteFile(At("nul.htm"), std::string("before %S\0after %S", 18));
    ASSERT_EQ(GenerateStatusPage(*core, "nul.htm", "out.txt"), 1);
    EXPECT_EQ(ReadFile(At("out.txt")), "before Online");

    WriteFile(At("empty.htm"), "");
    ASSERT_EQ(GenerateStatusPage(*core, "empty.htm", "out.txt"), 1);
    EXPECT_TRUE(fs::exists(At("out.txt")));
    EXPECT_EQ(fs::file_size(At("out.txt")), 0u);
}

TEST_F(GenerateStatusPageTest, UnreadableTemplateWritesNothing) {
    WriteFile(At("Online.txt"), "previous page");
    fs::create_directory(At("folder.htm"));
    struct Case {
        const char* templ;
        const char* wantWords;
    } cases[] = {{"missing.htm", "not found"}, {"folder.htm", "directory"}, {"no/such/dir.htm", "not found"}};
    for (const auto& c : cases) {
        host.lines.clear();
        EXPECT_EQ(GenerateStatusPage(*core, c.templ, "Online.txt"), -1) << c.templ;
        ASSERT_FALSE(host.messages.empty());
        const std::string message = host.messages.back().Line();
        EXPECT_EQ(message.rfind("P10007 ", 0), 0u) << message;
        EXPECT_NE(message.find(c.templ), std::string::npos) << message;
        EXPECT_NE(message.find(c.wantWords), std::string::npos) << message;
        ASSERT_EQ(host.lines.size(), 1u);
        EXPECT_EQ(host.lines[0], message.substr(7));  // the code is not shown
    }
    EXPECT_EQ(ReadFile(At("Online.txt")), "previous page");
    EXPECT_EQ(Files(), (std::vector<std::string>{"Online.txt", "folder.htm"}));
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(GenerateStatusPageTest, BothCopiesOff) {
    core->EditSettings([](Settings& s) {
        s.SaveFileHTML.clear();
        s.SaveFileASCII.clear();
    });
    WriteFile(At("t.htm"), "%S");
    ASSERT_EQ(GenerateStatusPage(*core, "t.htm", "Offline.txt"), 1);
    EXPECT_EQ(Files(), (std::vector<std::string>{"Offline.txt", "t.htm"}));
}

TEST_F(GenerateStatusPageTest, FileThatCannotBeCreatedIsReportedAndSkipped) {
    WriteFile(At("t.htm"), "%S");
    WriteFile(At("plainfile"), "");
    fs::create_directory(At("adir"));
    core->EditSettings([](Settings& s) { s.SaveFileHTML = "adir"; });  // a folder is in the way
    for (int suppress : {0, 1}) {
        host.boxes.clear();
        core->EditSettings([&](Settings& s) { s.SuppressError = suppress; });
        fs::remove(At("Zelmar.txt"));
        EXPECT_EQ(GenerateStatusPage(*core, "t.htm", "plainfile/Online.txt"), 1);
        // The other files are still written.
        EXPECT_EQ(ReadFile(At("Zelmar.txt")), "203.0.113.7");
        if (suppress == 1) {
            EXPECT_TRUE(host.boxes.empty());
            continue;
        }
        ASSERT_EQ(host.boxes.size(), 2u);
        EXPECT_NE(host.boxes[0].text.find("plainfile/Online.txt"), std::string::npos) << host.boxes[0].text;
        EXPECT_NE(host.boxes[1].text.find("adir"), std::string::npos) << host.boxes[1].text;
        for (const auto& b : host.boxes) {
            EXPECT_EQ(b.buttons, MbButtons::Ok);
            EXPECT_NE(b.icon, MbIcon::Stop);
        }
    }
    EXPECT_TRUE(fs::is_directory(At("adir")));
    EXPECT_TRUE(host.lines.empty());
}

TEST_F(GenerateStatusPageTest, CopiesFollowLinksAndKeepTheirMode) {
    WriteFile(At("t.htm"), "%S");
    WriteFile(At("real.html"), "old");
    fs::permissions(At("real.html"), fs::perms(0640));
    fs::create_symlink("real.html", At("link.html"));
    core->EditSettings([](Settings& s) { s.SaveFileHTML = "link.html"; });
    ASSERT_EQ(GenerateStatusPage(*core, "t.htm", "Online.txt"), 1);
    EXPECT_TRUE(fs::is_symlink(At("link.html")));
    EXPECT_EQ(ReadFile(At("real.html")), "Online");
    EXPECT_EQ(fs::status(At("real.html")).permissions() & fs::perms::all, fs::perms(0640));
}

// A failed write in the middle of the files: the stop box (even with
// "SuppressError" = 1), the files not yet written are skipped, and the old
// output is left whole with no temporary file lying about.
void ExpectWriteFailureHandled(test::FakeHost& host, const std::vector<std::string>& files,
                               const std::string& folder) {
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Unhandled error writing to disk. Please check file access permissions.");
    EXPECT_EQ(host.boxes[0].icon, MbIcon::Stop);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, files);
}

TEST_F(GenerateStatusPageTest, RefusedWriteKeepsThePreviousPage) {
    core->EditSettings([](Settings& s) { s.SuppressError = 1; });
    WriteFile(At("t.htm"), std::string(4000, 'x') + "%S");
    WriteFile(At("Online.txt"), "previous page");
    // A file size limit makes the system refuse the write midway, like a
    // full disk; the signal it raises is ignored so the write just fails.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = GenerateStatusPage(*core, "t.htm", "Online.txt");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(result, 1);
    EXPECT_EQ(ReadFile(At("Online.txt")), "previous page");
    ExpectWriteFailureHandled(host, {"Online.txt", "t.htm"}, dir.path());
}

TEST_F(GenerateStatusPageTest, FullDiskKeepsThePreviousPage) {
    const std::string disk = dir / "disk";
    fs::create_directory(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};

    WriteFile(At("t.htm"), std::string(20000, 'x') + "%S");
    WriteFile(disk + "/Online.txt", "previous page");
    // Fill the disk up to its last few blocks.
    WriteFile(disk + "/filler", std::string(64 * 1024, 'f'));
    ASSERT_LT(fs::file_size(disk + "/filler"), 64u * 1024u) << "the small disk did not fill";

    EXPECT_EQ(GenerateStatusPage(*core, "t.htm", "disk/Online.txt"), 1);
    EXPECT_EQ(ReadFile(disk + "/Online.txt"), "previous page");
    ExpectWriteFailureHandled(host, {"Online.txt", "filler"}, disk);
    EXPECT_FALSE(fs::exists(At("Zelmar.html")));
    EXPECT_FALSE(fs::exists(At("Zelmar.txt")));
}

// The sample templates shipped with the program use only known tokens, so a
// page made from them holds no '%' at all.
TEST(SampleTemplates, ExpandCompletely) {
    PageValues v = SampleValues();
    v.programWords = {"RUNNING"};
    for (const char* name : {"online.htm", "offline.htm"}) {
        const std::string templ = test::ReadFile(std::string(ZELMAR_PAGE_TEST_DIR) + "/../../samples/" + name);
        ASSERT_FALSE(templ.empty()) << name;
        EXPECT_LE(templ.size(), kMaxTemplateBytes) << name;
        const std::string page = ExpandPageTemplate(templ, v);
        EXPECT_EQ(page.find('%'), std::string::npos) << name;
        EXPECT_NE(page.find("203.0.113.7"), std::string::npos) << name;
    }
}

}  // namespace
}  // namespace zelmar
