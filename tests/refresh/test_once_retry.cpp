// `zelmar --once` as a timer runs it, against real loopback servers: a
// delivery that failed is tried again at the next run although no address
// changed, one that succeeded is not repeated, and the exit status tells
// which part failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <vector>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "app/notify/address_history.h"
#include "tests/publish/ftp_peers.h"
#include "tests/support/machine_ipv6.h"
#include "tests/support/peer_process.h"
#include "tests/support/smtp_peer.h"

using namespace zelmar;
using namespace zelmar::test;

namespace {

std::string Quote(const std::string& s) { return "'" + s + "'"; }

class OnceRetry : public ::testing::Test {
protected:
    // "On IP change only" for both channels; the echo page does not answer,
    // so the addresses stay what they were from run to run.
    void SetUp() override {
        WriteFile(dir / "online.htm", "Status: %S WAN %WI LAN %I\r\n");
        WriteFile(dir / "ip.txt", "WAN %WI LAN %I\r\n");
        Settings s;
        UseFtpSite(s, FreePort(), "index.htm");
        const FtpWorkingSettings& ftp = FtpPageOf(s).ftp;
        const std::pair<const char*, std::string> local[] = {
            {"FTPServer", ftp.FTPServer},    {"Port", std::to_string(ftp.Port)},       {"UserID", ftp.UserID},
            {"SiteName", "Site"},            {"OnlineFile", "online.htm"}, {"OfflineFile", "online.htm"},
            {"RemoteFile", "index.htm"},     {"EnableFTP", "1"},           {"FTPOnIPChangeOnly", "1"},
            {"SaveFileHTML", ""},            {"SaveFileASCII", ""},
            {"WANIPURL", "http://127.0.0.1:" + std::to_string(FreePort()) + "/"},
        };
        for (const auto& [k, v] : local) ASSERT_TRUE(ini.WriteString(kLocalSettings, k, v));
        std::string password = ftp.Password;
        ScrambleText(password, ScrambleKey());
        ASSERT_TRUE(ini.WriteString(kLocalSettings, "Password", password));
        const std::pair<const char*, std::string> prefs[] = {
            {"EmailServer", "127.0.0.1"},   {"EmailServerPort", std::to_string(FreePort())},
            {"EmailFrom", "z@example.com"}, {"EmailTo", "joe@example.com"},
            {"EmailInput", "ip.txt"},       {"EmailOnIPChangeOnly", "1"},
            {"Timeout", "2"},               {"SuppressError", "1"},
            {"RefreshIntv", "0"},
        };
        for (const auto& [k, v] : prefs) ASSERT_TRUE(ini.WriteString(kPreferences, k, v));
    }
    int Once(const std::string& options = "") {
        ChildProcess p({"/bin/sh", "-c", "cd " + Quote(dir.path()) + " && exec " + Quote(ZELMAR_BINARY) + " --once" + options},
                       dir / ("out" + std::to_string(++runs) + ".txt"));
        const int status = p.Wait(std::chrono::seconds(60));
        out = ReadFile(dir / ("out" + std::to_string(runs) + ".txt"));
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Set(const char* section, const char* key, const std::string& value) {
        ASSERT_TRUE(ini.WriteString(section, key, value));
    }

    ScratchDir dir;
    IniFile ini{dir / "Zelmar.ini"};
    std::string out;
    int runs = 0;
};

TEST_F(OnceRetry, AFailedUploadIsTriedAgainThenNotRepeated) {
    // The first run sees the addresses for the first time: due, but the
    // server is down.
    EXPECT_EQ(Once(), 1) << out;
    EXPECT_NE(out.find("Attempting to connect to FTP Server..."), std::string::npos) << out;
    EXPECT_EQ(IniFile(dir / "Zelmar.ini").GetString("Channel FTP", "Failures"), "1");
    EXPECT_EQ(IniFile(dir / "Zelmar.ini").GetString("Channel FTP", "DeliveredAt"), "0");
    PyFtpServer server;
    ASSERT_TRUE(server.ok());
    Set(kLocalSettings, "Port", std::to_string(server.port()));
    // Same addresses, but the last attempt failed: uploaded now.
    EXPECT_EQ(Once(), 0) << out;
    EXPECT_EQ(ReadFile(server.home() + "/index.htm").rfind("Status: Online WAN ", 0), 0u) << out;
    EXPECT_NE(out.find("System Online:   LAN IP: "), std::string::npos) << out;
    EXPECT_EQ(IniFile(dir / "Zelmar.ini").GetString("Channel FTP", "Failures"), "0");
    EXPECT_NE(IniFile(dir / "Zelmar.ini").GetString("Channel FTP", "DeliveredAt"), "0");
    ::unlink((server.home() + "/index.htm").c_str());
    // Delivered, nothing changed: not again, and still online.
    EXPECT_EQ(Once(), 0) << out;
    EXPECT_EQ(out.find("Attempting to connect to FTP Server..."), std::string::npos) << out;
    EXPECT_FALSE(std::ifstream(server.home() + "/index.htm").good());
    // --force is the manual refresh: delivered whatever the record says.
    EXPECT_EQ(Once(" --force"), 0) << out;
    EXPECT_TRUE(std::ifstream(server.home() + "/index.htm").good()) << out;
}

TEST_F(OnceRetry, AFailedMailIsTriedAgainThenNotRepeatedAndExitsTwoMeanwhile) {
    // Without the page, knowing the WAN address is the online state.
    EchoPage echo;
    Set(kLocalSettings, "WANIPURL", echo.url());
    Set(kLocalSettings, "EnableFTP", "0");
    Set(kPreferences, "EnableMail", "1");
    EXPECT_EQ(Once(), 2) << "online, but the mail failed\n" << out;
    EXPECT_NE(out.find("Email not sent; see SMTPErrors.xml for details"), std::string::npos) << out;
    SmtpPeer server;
    ASSERT_TRUE(server.ok());
    Set(kPreferences, "EmailServerPort", std::to_string(server.port()));
    EXPECT_EQ(Once(), 0) << out;
    EXPECT_EQ(server.Count(), 1) << out;
    EXPECT_EQ(Once(), 0) << out;
    EXPECT_EQ(server.Count(), 1) << "delivered and unchanged: not mailed again\n" << out;
    EXPECT_EQ(out.find("Attempting to send e-mail..."), std::string::npos) << out;
}

// The timer's tick when nothing changed, and when the echo page misbehaves:
// the page is Python's own HTTP server serving a file the test rewrites, the
// hook appends its event to hook.log, a webhook goes to the tests' receiver
// (one JSON line per request).
class QuietTick : public OnceRetry {
protected:
    void SetUp() override {
        OnceRetry::SetUp();
        ::mkdir((dir / "www").c_str(), 0755);
        const std::string port = std::to_string(FreePort()), hookPort = std::to_string(FreePort());
        echo_ = std::make_unique<ChildProcess>(std::vector<std::string>{kSystemPython, "-m", "http.server", "--bind",
                                                                        "127.0.0.1", "--directory", dir / "www", port});
        receiver_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            kSystemPython, ZELMAR_TESTS_DIR "/notify/webhook_receiver.py", hookPort, dir / "requests.log"});
        ASSERT_TRUE(WaitForPort(std::stoi(port)) && WaitForPort(std::stoi(hookPort)));
        Set(kLocalSettings, "EnableFTP", "0");
        Set(kLocalSettings, "WANIPURL", "http://127.0.0.1:" + port + "/ip");
        Set(kPreferences, "OnChangeCommand", "/bin/sh -c \"echo $ZELMAR_EVENT >> hook.log\"");
        Set("Webhook w", "URL", "http://127.0.0.1:" + hookPort + "/hook");
        Set("Webhook w", "Body", R"({"wan":"%{wan}","old":"%{old_wan}"})");
    }
    void Answer(const std::string& between) { WriteFile(dir / "www/ip", "REMOTE_ADDR: " + between + "<br>"); }
    std::string Requests() const { return ReadFile(dir / "requests.log"); }
    std::size_t Sent() const {
        const std::string all = Requests();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), '\n'));
    }
    // A write of the settings file replaces it: a new inode and time.
    std::pair<ino_t, long> Written() const {
        struct stat st {};
        ::stat((dir / "Zelmar.ini").c_str(), &st);
        return {st.st_ino, st.st_mtim.tv_nsec};
    }
    bool Exists(const std::string& name) const { return ::access((dir / name).c_str(), F_OK) == 0; }

    std::unique_ptr<ChildProcess> echo_, receiver_;
};

TEST_F(QuietTick, FourUnchangedTicksRunNoHookAndWriteNothing) {
    Answer("2001:DB8:0:0::8");
    EXPECT_EQ(Once(), 0) << out;
    EXPECT_EQ(Sent(), 1u) << "the webhook's first delivery\n" << out;
    EXPECT_FALSE(Exists(kHistoryFileName)) << "the first address seen is no \"- -> address\" change";
    const auto written = Written();
    for (int tick = 0; tick < 4; ++tick) {
        Answer(tick % 2 == 0 ? "2001:db8::8" : "2001:DB8:0:0::8");  // one address, two spellings
        EXPECT_EQ(Once(), 0) << out;
    }
    EXPECT_FALSE(Exists("hook.log")) << ReadFile(dir / "hook.log");
    EXPECT_EQ(Written(), written) << ReadFile(dir / "Zelmar.ini");
    EXPECT_FALSE(Exists(kHistoryFileName));
    EXPECT_EQ(Sent(), 1u);
    EXPECT_EQ(ini.GetString(kIPAddress, "LastWANIP"), "2001:db8::8");
}

TEST_F(QuietTick, AnEmptyAnswerIsAFailedLookupThatPublishesAndStoresNothing) {
    Answer("192.0.2.7");
    EXPECT_EQ(Once(), 0) << out;
    const auto written = Written();
    Answer("");
    Once();
    EXPECT_NE(out.find("ERROR: Unable to retrieve WAN IP address from http://127.0.0.1:"), std::string::npos) << out;
    EXPECT_EQ(Written(), written) << ReadFile(dir / "Zelmar.ini");
    EXPECT_FALSE(Exists("hook.log") || Exists(kHistoryFileName));
    EXPECT_EQ(Sent(), 1u);
    Once(" --force");  // a forced delivery tells programs the address is unknown
    EXPECT_NE(Requests().find(R"({\"wan\":\"\",)"), std::string::npos) << Requests();
    // The next real address is one change from the last real one.
    Answer("192.0.2.8");
    EXPECT_EQ(Once(), 0) << out;
    EXPECT_EQ(ReadFile(dir / "hook.log"), "changed\n");
    EXPECT_NE(Requests().find(R"({\"wan\":\"192.0.2.8\",\"old\":\"192.0.2.7\"})"), std::string::npos) << Requests();
}

// A whole refresh's status lines, as the user sees them on stdout and the
// log keeps them, for the standard runs: the same lines, in the same order,
// as before the refresh became a pipeline of channels.
struct LinesCase {
    const char* what;
    bool mailUp, ftpUp, ftpLoginRight;
    int exitCode;
    std::vector<std::string> lines;  // "<echo>" stands for the echo page's URL
};

class StatusLines : public OnceRetry, public ::testing::WithParamInterface<LinesCase> {};

TEST_P(StatusLines, AsTheyWere) {
    const LinesCase& c = GetParam();
    Set(kPreferences, "EnableMail", "1");
    std::unique_ptr<SmtpPeer> smtp;
    std::unique_ptr<PyFtpServer> ftp;
    if (c.mailUp) {
        smtp = std::make_unique<SmtpPeer>();
        ASSERT_TRUE(smtp->ok());
        Set(kPreferences, "EmailServerPort", std::to_string(smtp->port()));
    }
    if (c.ftpUp) {
        ftp = std::make_unique<PyFtpServer>();
        ASSERT_TRUE(ftp->ok());
        Set(kLocalSettings, "Port", std::to_string(ftp->port()));
    }
    if (!c.ftpLoginRight) Set(kLocalSettings, "UserID", "somebody");
    const std::string echo = ini.GetString(kLocalSettings, "WANIPURL");
    EXPECT_EQ(Once(" --force"), c.exitCode) << out;
    std::vector<std::string> shown;
    for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = out.substr(at, end - at);
        // "MM/DD/YY HH:MM:SS  " before each status line.
        if (line.size() > 19 && line[2] == '/' && line.compare(17, 2, "  ") == 0) shown.push_back(line.substr(19));
    }
    // Added since: where the passwords are kept (no keyring in a test), and
    // a refused connection said as what happened, with the port it tried.
    std::erase_if(shown, [](const std::string& l) { return l.rfind("Passwords are kept scrambled", 0) == 0; });
    // A failed mail's reason after the line that names the error file, and a
    // good one's count of recipients after the two lines of old.
    for (std::string& l : shown) {
        if (l.rfind("Unable to connect to 127.0.0.1 port ", 0) == 0 && l.find(": Connection refused") != std::string::npos)
            l = "Unable to connect to 127.0.0.1 port <ftp>: Connection refused";
        if (l.rfind("Email not sent: Unable to connect to 127.0.0.1 port ", 0) == 0)
            l = "Email not sent: Unable to connect to 127.0.0.1 port <smtp>: Connection refused";
    }
    std::vector<std::string> want;
    for (std::string line : c.lines) {
        if (const auto at = line.find("<echo>"); at != std::string::npos) line.replace(at, 6, echo);
        want.push_back(line);
    }
    // The machine's own LAN address is not the test's to know.
    if (!shown.empty() && shown.back().rfind("System Online:   LAN IP: ", 0) == 0) {
        const std::string& last = shown.back();
        const std::size_t wanAt = last.rfind(", WAN IP: ");
        ASSERT_EQ(last.compare(wanAt, 13, ", WAN IP: N/A"), 0) << last;
        EXPECT_TRUE(Ipv6TailFits(last.substr(wanAt + 13), "N/A")) << last;
        shown.back() = "System Online:   LAN IP: <lan>, WAN IP: N/A";
    }
    EXPECT_EQ(shown, want) << out;
}

const std::vector<std::string> kUploaded = {
    "Attempting to connect to FTP Server...", "Login successful.", "Type set to: ASCII.",
    "Resuming transfers not allowed in ASCII mode.", "Successfully copied online.htm to index.htm on 127.0.0.1",
    "Transfer complete.", "System Online:   LAN IP: <lan>, WAN IP: N/A"};

std::vector<std::string> Lines(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const std::string kSentToOne = "E-mail sent to 1 recipient(s).";

const std::vector<std::string> kLookup = {"Requesting WAN IP address from <echo> ...",
                                          "ERROR: Unable to retrieve WAN IP address from <echo>"};

INSTANTIATE_TEST_SUITE_P(
    Rows, StatusLines,
    ::testing::Values(
        LinesCase{"mailAndUpload", true, true, true, 0,
                  Lines(Lines(kLookup, {"Attempting to send e-mail...", "Attempting to send e-mail...", kSentToOne}),
                        kUploaded)},
        LinesCase{"mailDownUploadDone", false, true, true, 2,
                  Lines(Lines(kLookup, {"Attempting to send e-mail...",
                                        "Email not sent; see SMTPErrors.xml for details",
                                        "Email not sent: Unable to connect to 127.0.0.1 port <smtp>: Connection refused"}),
                        kUploaded)},
        LinesCase{"uploadRefused", true, true, false, 1,
                  Lines(kLookup, {"Attempting to send e-mail...", "Attempting to send e-mail...", kSentToOne,
                                  "Attempting to connect to FTP Server...", "Authentication failed."})},
        LinesCase{"ftpDown", true, false, true, 1,
                  Lines(kLookup, {"Attempting to send e-mail...", "Attempting to send e-mail...", kSentToOne,
                                  "Attempting to connect to FTP Server...",
                                  "Unable to connect to 127.0.0.1 port <ftp>: Connection refused"})}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
