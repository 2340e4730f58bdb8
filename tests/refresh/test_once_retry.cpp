// `zelmar --once` as a timer runs it, against real loopback servers: a
// delivery that failed is tried again at the next run although no address
// changed, one that succeeded is not repeated, and the exit status tells
// which part failed.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

#include "app/core/ini_file.h"
#include "app/core/settings.h"
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
        const std::pair<const char*, std::string> local[] = {
            {"FTPServer", s.ftp.FTPServer},  {"Port", std::to_string(s.ftp.Port)},       {"UserID", s.ftp.UserID},
            {"SiteName", "Site"},            {"OnlineFile", "online.htm"}, {"OfflineFile", "online.htm"},
            {"RemoteFile", "index.htm"},     {"EnableFTP", "1"},           {"FTPOnIPChangeOnly", "1"},
            {"SaveFileHTML", ""},            {"SaveFileASCII", ""},
            {"WANIPURL", "http://127.0.0.1:" + std::to_string(FreePort()) + "/"},
        };
        for (const auto& [k, v] : local) ASSERT_TRUE(ini.WriteString(kLocalSettings, k, v));
        std::string password = s.ftp.Password;
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
    for (std::string& l : shown)
        if (l.rfind("Unable to connect to 127.0.0.1 port ", 0) == 0 && l.find(": Connection refused") != std::string::npos)
            l = "Unable to connect to 127.0.0.1 port <ftp>: Connection refused";
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

const std::vector<std::string> kLookup = {"Requesting WAN IP address from <echo> ...",
                                          "ERROR: Unable to retrieve WAN IP address from <echo>"};

INSTANTIATE_TEST_SUITE_P(
    Rows, StatusLines,
    ::testing::Values(
        LinesCase{"mailAndUpload", true, true, true, 0,
                  Lines(Lines(kLookup, {"Attempting to send e-mail...", "Attempting to send e-mail..."}), kUploaded)},
        LinesCase{"mailDownUploadDone", false, true, true, 2,
                  Lines(Lines(kLookup, {"Attempting to send e-mail...",
                                        "Email not sent; see SMTPErrors.xml for details"}),
                        kUploaded)},
        LinesCase{"uploadRefused", true, true, false, 1,
                  Lines(kLookup, {"Attempting to send e-mail...", "Attempting to send e-mail...",
                                  "Attempting to connect to FTP Server...", "Authentication failed."})},
        LinesCase{"ftpDown", true, false, true, 1,
                  Lines(kLookup, {"Attempting to send e-mail...", "Attempting to send e-mail...",
                                  "Attempting to connect to FTP Server...",
                                  "Unable to connect to 127.0.0.1 port <ftp>: Connection refused"})}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
