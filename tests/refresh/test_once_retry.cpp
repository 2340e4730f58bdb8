// `zelmar --once` as a timer runs it, against real loopback servers: a
// delivery that failed is tried again at the next run although no address
// changed, one that succeeded is not repeated, and the exit status tells
// which part failed.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "tests/publish/ftp_peers.h"
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
    PyFtpServer server;
    ASSERT_TRUE(server.ok());
    Set(kLocalSettings, "Port", std::to_string(server.port()));
    // Same addresses, but the last attempt failed: uploaded now.
    EXPECT_EQ(Once(), 0) << out;
    EXPECT_EQ(ReadFile(server.home() + "/index.htm").rfind("Status: Online WAN ", 0), 0u) << out;
    EXPECT_NE(out.find("System Online:   LAN IP: "), std::string::npos) << out;
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

}  // namespace
