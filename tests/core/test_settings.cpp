#include <gtest/gtest.h>

#include <random>

#include "app/core/settings.h"
#include "app/publish/ftp_page_settings.h"
#include "tests/support/peer_process.h"

using namespace zelmar;
using zelmar::test::ReadFile;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;

namespace {

const std::string kKey = ScrambleKeyFor("ws-01");

TEST(Scrambling, RoundTripsPrintableTextWithAnyPrintableKey) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> printable(32, 126), len(0, 40), keyLen(1, 9);
    for (int round = 0; round < 2000; ++round) {
        std::string text(static_cast<std::size_t>(len(rng)), ' '), key(static_cast<std::size_t>(keyLen(rng)), ' ');
        for (char& c : text) c = static_cast<char>(printable(rng));
        for (char& c : key) c = static_cast<char>(printable(rng));
        std::string s = text;
        ScrambleText(s, key);
        ASSERT_EQ(s.size(), text.size());
        for (unsigned char c : s) {
            // Never a byte that the settings file could not hold.
            ASSERT_GE(c, 65);
            ASSERT_LE(c, 253);
        }
        UnscrambleText(s, key);
        ASSERT_EQ(s, text) << "key " << key;
    }
}

TEST(Scrambling, KnownValueAndMachineDependence) {
    std::string s = "yourpw";
    ScrambleText(s, "ab");
    // 'y'+'a'+1, 'o'+'b'+1, ...
    EXPECT_EQ(s, std::string({char('y' + 'a' + 1), char('o' + 'b' + 1), char('u' + 'a' + 1),
                              char('r' + 'b' + 1), char('p' + 'a' + 1), char('w' + 'b' + 1)}));
    std::string other = s;
    UnscrambleText(other, "xyz");
    EXPECT_NE(other, "yourpw");
    EXPECT_EQ(ScrambleKeyFor("WORKSTATION").substr(0, 2), "WO");
    EXPECT_EQ(ScrambleKeyFor("WORKSTATION").size(), 9u);
    EXPECT_EQ(ScrambleKeyFor("").size(), 7u);  // never empty
}

TEST(Scrambling, StopsAtAZeroByteThatArises) {
    const std::string key = "\xBE";
    std::string t = "AB";
    ScrambleText(t, key);  // 'A'(65)+190+1 = 256 -> 0
    EXPECT_EQ(t, "");
}

TEST(Settings, FirstRunWritesExactlyTheDefaultsInOrder) {
    ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    Settings s;
    EXPECT_FALSE(LoadSettings(ini, s, kKey));
    WriteDefaultSettings(ini, kKey);
    std::string pw = "yourpw";
    ScrambleText(pw, kKey);
    EXPECT_EQ(ReadFile(dir / "Zelmar.ini"),
              "[LocalSettings]\nFTPServer=" + std::string(kPlaceholderFtpServer) +
                  "\nSiteName=My FTP Site\nUserID=myname\nPassword=" + pw +
                  "\nOnlineFile=samples/online.htm\nOfflineFile=samples/offline.htm\nRemoteFile=mypage.htm\n"
                  "Port=21\nSaveFileHTML=Zelmar.html\nSaveFileASCII=Zelmar.txt\nEnableFTP=0\n"
                  "[Preferences]\nIsLogging=0\nLogFilename=Zelmar.log\nIsMinOnStartup=0\nIsUpdateOnStart=1\n"
                  "IsUpdateOnShut=0\nNotifyErrorOnShut=0\nSuppressError=0\nRefreshIntv=0\nTimeout=15\nMaxLog=0\n");
    ASSERT_TRUE(LoadSettings(ini, s, kKey));
    EXPECT_EQ(FtpPageOf(s).ftpPage.Password, "yourpw");
    EXPECT_EQ(s.NotifyErrorOnShut, 0);  // a first run writes 0 ...
    EXPECT_EQ(s.RefreshIntv, 30);       // default service: 30-minute floor
    EXPECT_EQ(s.MaintainerServiceFlag, 1);
}

TEST(Settings, MissingKeysTakeTheirLoadDefaults) {
    ScratchDir dir;
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=ftp.example.org\nWANIPURL=http://echo.example/\n");
    IniFile ini(dir / "Zelmar.ini");
    Settings s;
    ASSERT_TRUE(LoadSettings(ini, s, kKey));
    EXPECT_EQ(s.NotifyErrorOnShut, 1);  // ... but a missing key reads as 1
    EXPECT_EQ(s.UpdateOnNAIP, 1);
    EXPECT_EQ(s.Timeout, 15);
    EXPECT_EQ(FtpPageOf(s).ProxyPassive, 1);
    EXPECT_EQ(FtpPageOf(s).FTPProxyPort, 21);
    EXPECT_EQ(FtpPageOf(s).HTTPProxyPort, "80");
    EXPECT_EQ(s.EmailServerPort, 25);
    EXPECT_EQ(FtpPageOf(s).ftpPage.Port, "21");
    EXPECT_EQ(s.StatusIndicators, "TRUE/FALSE");
    EXPECT_EQ(s.RefreshIntv, 0);  // private echo page: no floor
    EXPECT_EQ(s.MaintainerServiceFlag, 0);
    // The output names repair themselves in the file.
    EXPECT_EQ(ini.GetString("LocalSettings", "SaveFileASCII"), "Zelmar.txt");
    EXPECT_EQ(ini.GetString("LocalSettings", "SaveFileHTML"), "Zelmar.html");
}

// Only a missing file is a first run: a file without "FTPServer" (a user of
// DNS or mail only, a file written by hand) keeps every key it has, and the
// first run's values never replace a key that is present.
TEST(Settings, AFileWithoutFtpServerKeepsEveryKey) {
    ScratchDir dir;
    const std::string content =
        "[LocalSettings]\nSiteName=Kept\nWANIPURL=http://mine/\n[Preferences]\nTimeout=30\nRefreshIntv=10\n"
        "IsLogging=1\nLogFilename=mine.log\nIsUpdateOnStart=0\nMaxLog=9\n";
    WriteFile(dir / "Zelmar.ini", content);
    IniFile ini(dir / "Zelmar.ini");
    for (const bool defaultsWritten : {false, true}) {
        if (defaultsWritten) WriteDefaultSettings(ini, kKey);
        Settings s;
        ASSERT_TRUE(LoadSettings(ini, s, kKey));
        EXPECT_EQ(FtpPageOf(s).ftpPage.SiteName + s.LogFilename, "Keptmine.log");
        EXPECT_EQ((std::vector<int>{s.Timeout, s.RefreshIntv, s.IsLogging, s.IsUpdateOnStart, s.MaxLog}),
                  (std::vector<int>{30, 10, 1, 0, 9}));
    }
}

// Each number is checked once, at load: out of range it is used as the
// nearest allowed value and named once, and the file keeps what the user
// wrote. "Timeout" 0 or less is the default, not an error.
TEST(Settings, NumbersOutOfRangeAreClampedAndNamedOnce) {
    const struct {
        const char* line;
        int& (*member)(Settings&);
        int used;
        bool named;
    } cases[] = {
        {"Timeout=0", [](Settings& s) -> int& { return s.Timeout; }, 15, false},
        {"Timeout=-4", [](Settings& s) -> int& { return s.Timeout; }, 15, false},
        {"Timeout=1", [](Settings& s) -> int& { return s.Timeout; }, 1, false},
        {"Timeout=3601", [](Settings& s) -> int& { return s.Timeout; }, 3600, true},
        {"MaxLog=-1", [](Settings& s) -> int& { return s.MaxLog; }, 0, true},
        {"MaxLog=36500", [](Settings& s) -> int& { return s.MaxLog; }, 36500, false},
        {"LogonType=9", [](Settings& s) -> int& { return FtpPageOf(s).LogonType; }, 8, true},
        {"InitStartupDelay=-1", [](Settings& s) -> int& { return s.InitStartupDelay; }, 0, true},
        {"RefreshIntv=-5", [](Settings& s) -> int& { return s.RefreshIntv; }, 0, true},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string content = "[LocalSettings]\nWANIPURL=http://mine/\n[Preferences]\n" + std::string(c.line) + "\n";
        WriteFile(dir / "Zelmar.ini", content);
        IniFile ini(dir / "Zelmar.ini");
        Settings s;
        std::vector<StatusMessage> notes;
        ASSERT_TRUE(LoadSettings(ini, s, kKey, &notes));
        EXPECT_EQ(c.member(s), c.used) << c.line;
        EXPECT_EQ(notes.size(), c.named ? 1u : 0u) << c.line;
        const std::string key = std::string(c.line).substr(0, std::string(c.line).find('='));
        for (const StatusMessage& note : notes) EXPECT_NE(note.text.find('"' + key + '"'), std::string::npos);
        EXPECT_NE(ReadFile(dir / "Zelmar.ini").find(c.line), std::string::npos) << c.line;
    }
}

struct IntervalCase {
    const char* wanUrl;  // nullptr: key missing
    const char* stored;
    int expected;
    int flag;
};

TEST(Settings, RefreshIntervalClampedByTheWanSource) {
    const IntervalCase cases[] = {
        {nullptr, "10", 30, 1},
        {"", "10", 30, 1},
        {"http://192.168.1.1/ip", "10", 10, 0},
        {"http://192.168.1.1/ip", "20000", 9999, 0},
        {nullptr, "20000", 9999, 1},
        {nullptr, "0", 30, 1},
        {"http://192.168.1.1/ip", "0", 0, 0},
        {"http://x/cgi/ZeLmAr/ip", "5", 30, 1},
        {"https://holdenvale.example/", "5", 30, 1},
        {"http://tarnwick.example/", "5", 30, 1},
        {"http://192.168.1.1/ip", "abc", 0, 0},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        std::string content = "[LocalSettings]\nFTPServer=f\n";
        if (c.wanUrl) content += std::string("WANIPURL=") + c.wanUrl + "\n";
        content += std::string("[Preferences]\nRefreshIntv=") + c.stored + "\n";
        WriteFile(dir / "Zelmar.ini", content);
        IniFile ini(dir / "Zelmar.ini");
        Settings s;
        ASSERT_TRUE(LoadSettings(ini, s, kKey));
        EXPECT_EQ(s.RefreshIntv, c.expected) << (c.wanUrl ? c.wanUrl : "(missing)") << " " << c.stored;
        EXPECT_EQ(s.MaintainerServiceFlag, c.flag) << (c.wanUrl ? c.wanUrl : "(missing)");
    }
}

TEST(Settings, DelimitersComeAsAPair) {
    struct Case {
        const char* lines;
        const char* start;
        const char* end;
    } cases[] = {
        {"StartDelimiter=IP is \n", "REMOTE_ADDR:", "<br>"},
        {"EndDelimiter=</b>\n", "REMOTE_ADDR:", "<br>"},
        {"StartDelimiter=<b>\nEndDelimiter=</b>\n", "<b>", "</b>"},
        {"", "REMOTE_ADDR:", "<br>"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string content = std::string("[LocalSettings]\nFTPServer=f\nSaveFileASCII=a\nSaveFileHTML=b\n"
                                                "[Preferences]\n") + c.lines;
        WriteFile(dir / "Zelmar.ini", content);
        IniFile ini(dir / "Zelmar.ini");
        Settings s;
        ASSERT_TRUE(LoadSettings(ini, s, kKey));
        EXPECT_EQ(s.StartDelimiter, c.start);
        EXPECT_EQ(s.EndDelimiter, c.end);
        EXPECT_EQ(ReadFile(dir / "Zelmar.ini"), content) << "the file is not changed";
    }
}

TEST(Settings, EmptyOutputNameIsRepairedAtLoad) {
    ScratchDir dir;
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=f\nSaveFileHTML=\nSaveFileASCII=mine.txt\n");
    IniFile ini(dir / "Zelmar.ini");
    Settings s;
    ASSERT_TRUE(LoadSettings(ini, s, kKey));
    EXPECT_EQ(s.SaveFileHTML, "Zelmar.html");
    EXPECT_EQ(s.SaveFileASCII, "mine.txt");
    EXPECT_EQ(ini.GetString("LocalSettings", "SaveFileHTML"), "Zelmar.html");
}

TEST(Settings, PasswordsAreScrambledOnDiskAndClearInMemory) {
    ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    Settings s;
    FtpPageOf(s).ftpPage.FTPServer = "ftp.example.org";
    FtpPageOf(s).ftpPage.Password = "ftp secret with 30 characters!";
    FtpPageOf(s).ProxyPass = "proxy=pw";
    WriteSavedSettings(ini, s, kKey);
    std::string email = "mail pw";
    ScrambleText(email, kKey);
    ini.WriteString("Preferences", "EmailPassword", email);
    const std::string file = ReadFile(dir / "Zelmar.ini");
    EXPECT_EQ(file.find("secret"), std::string::npos);
    EXPECT_EQ(file.find("proxy=pw"), std::string::npos);
    Settings back;
    ASSERT_TRUE(LoadSettings(ini, back, kKey));
    EXPECT_EQ(FtpPageOf(back).ftpPage.Password, "ftp secret with 30 characters!");
    EXPECT_EQ(FtpPageOf(back).ProxyPass, "proxy=pw");
    EXPECT_EQ(back.EmailPassword, "mail pw");
}

TEST(Settings, SaveWritesItsKeysInOrderAndNoOthers) {
    ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    Settings s;
    FtpPageOf(s).ftpPage.FTPServer = "h";
    s.RefreshIntv = 45;
    WriteSavedSettings(ini, s, kKey);
    const std::string file = ReadFile(dir / "Zelmar.ini");
    const char* order[] = {"FTPServer=", "SiteName=", "UserID=", "Password=", "OnlineFile=", "OfflineFile=",
                           "RemoteFile=", "Port=", "FTPOnIPChangeOnly=", "EnableFTP=", "[Preferences]",
                           "IsLogging=", "LogFilename=", "IsMinOnStartup=", "IsUpdateOnStart=",
                           "IsUpdateOnShut=", "NotifyErrorOnShut=", "Timeout=", "MaxLog=", "SuppressError=",
                           "UpdateOnNAIP=", "ProxyPassive=", "UseProxy=", "ProxyAddress=", "HTTPProxyPort=",
                           "FTPProxyPort=", "ProxyUser=", "ProxyAccount=", "ProxyPass=", "LogonType=",
                           "RefreshIntv=45", "InitStartupDelay=", "EmailInput=", "EmailServer=",
                           "EmailServerPort=25", "EmailTo=", "EmailFrom=", "EmailSubject=", "EnableMail=",
                           "EnableSMTPAuth=", "EnableSecureSMTP=", "IsMailTo=", "IsMsgAttachment=",
                           "EmailOnIPChangeOnly="};
    std::size_t at = 0;
    for (const char* k : order) {
        std::size_t found = file.find(std::string("\n") + k, at);
        ASSERT_NE(found, std::string::npos) << k;
        at = found + 1;
    }
    // The echo pages and delimiters are edited on the Advanced Options page.
    for (const char* saved : {"\nWANIPURL=", "\nWANIPURL6=", "\nWANCheckURLs=", "\nStartDelimiter=",
                              "\nEndDelimiter=", "\nRefreshOnNetworkChange=1"})
        EXPECT_NE(file.find(saved), std::string::npos) << saved;
    for (const char* never : {"SaveFileASCII", "SaveFileHTML", "DebugWANPage", "StatusIndicators", "LanInterface",
                              "EmailAccount", "EmailPassword", "LastLANIP"})
        EXPECT_EQ(file.find(never), std::string::npos) << never;
}

TEST(Settings, CommitCopiesThePageIntoTheWorkingValues) {
    Settings s;
    FtpPageOf(s).ftpPage = {"host", "site", "user", "pw", "on.htm", "off.htm", "dir/page.htm", "2121x"};
    CopyFtpPageToWorking(s);
    EXPECT_EQ(FtpPageOf(s).ftp.FTPServer, "host");
    EXPECT_EQ(FtpPageOf(s).ftp.RemoteFile, "dir/page.htm");
    EXPECT_EQ(FtpPageOf(s).ftp.Port, 2121);
}

}  // namespace
