// `zelmar --once` with an rfc2136 entry, as a timer runs it: the WAN address
// from a loopback echo page reaches a real BIND, the outcome is one status
// line and the channel's record, and the next run finds the name up to date.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "app/ddns/ddns_entry.h"
#include "tests/ddns/dns_peer.h"
#include "tests/support/smtp_peer.h"

namespace zelmar {
namespace {

using namespace test;

// A loopback echo page answering 127.0.0.1 and a "[DDNS home]" entry on
// BIND: the settings of a dynamic-DNS user, to which each test adds its own.
class DdnsOnce : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bind.failure().empty()) GTEST_SKIP() << bind.failure();
        ASSERT_TRUE(echo.ok());
        Set(kLocalSettings, {{"SaveFileHTML", ""}, {"SaveFileASCII", ""},
                             {"WANIPURL", echo.url()}});
        Set(kPreferences, {{"Timeout", "5"}, {"SuppressError", "1"}});
        Set("DDNS home", {{"Protocol", "rfc2136"}, {"Host", "home.example.test"}, {"Server", bind.server()},
                          {"Zone", "example.test"}, {"KeyName", key.name}});
        std::string error;
        ASSERT_TRUE(WriteDdnsSecret(ini, "home", key.secret, ScrambleKey(), error)) << error;
    }
    void Set(const std::string& section, std::initializer_list<std::pair<const char*, std::string>> values) {
        for (const auto& [k, v] : values) ASSERT_TRUE(ini.WriteString(section, k, v));
    }
    // One run; the exit status, its lines in out.
    int Once(const std::string& options = "") {
        const std::string log = dir / ("out" + std::to_string(++runs) + ".txt");
        ChildProcess p({"/bin/sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --once" + options}, log);
        const int status = p.Wait(std::chrono::seconds(60));
        out = ReadFile(log);
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    BindPeer bind;
    ScratchDir dir;
    EchoPage echo;
    IniFile ini{dir / "Zelmar.ini"};
    const TsigKey& key = BindPeer::Keys()[0];
    std::string out;
    int runs = 0;
};

TEST_F(DdnsOnce, TheNameFollowsTheWanAddressOfARefresh) {
    // A complete FTP site that is not used.
    Set(kLocalSettings, {{"FTPServer", "ftp.invalid"}, {"SiteName", "Site"}, {"UserID", "u"}, {"Password", "p"},
                         {"OnlineFile", "online.htm"}, {"OfflineFile", "online.htm"}, {"RemoteFile", "index.htm"},
                         {"EnableFTP", "0"}});
    Once();
    EXPECT_NE(out.find("DDNS home: home.example.test now points to 127.0.0.1."), std::string::npos) << out;
    EXPECT_EQ(bind.Dig("home.example.test", "A"), "127.0.0.1\n");
    EXPECT_EQ(ini.GetString("Channel DDNS home", "WANIP"), "127.0.0.1");
    struct stat before {}, after {};
    ::stat(ini.path().c_str(), &before);
    Once();
    EXPECT_NE(out.find("DDNS home: home.example.test already points to 127.0.0.1."), std::string::npos) << out;
    ::stat(ini.path().c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << "nothing changed: the settings file is not rewritten";
    EXPECT_EQ(out.find(key.secret), std::string::npos);
    EXPECT_EQ(ReadFile(ini.path()).find(key.secret), std::string::npos);
}

// No FTP site at all (FTP off, its fields empty): the page is no gate for the
// other channels, and the online state follows the known WAN address.
TEST_F(DdnsOnce, WithoutAnFtpSiteEveryOtherChannelDelivers) {
    SmtpPeer smtp;
    ASSERT_TRUE(smtp.ok());
    WriteFile(dir / "ip.txt", "WAN %WI\r\n");
    // The address changes (the first address ever seen would be no change
    // for the hook).
    Set(kLocalSettings, {{"EnableFTP", "0"}});
    Set(kIPAddress, {{"LastWANIP", "192.0.2.9"}});
    Set(kPreferences, {{"EnableMail", "1"}, {"EmailServer", "127.0.0.1"}, {"EmailServerPort", std::to_string(smtp.port())},
                       {"EmailFrom", "z@example.com"}, {"EmailTo", "joe@example.com"}, {"EmailInput", "ip.txt"},
                       {"OnChangeCommand", "sh -c 'echo \"$ZELMAR_WAN_IP\" > hook.txt'"}});
    EXPECT_EQ(Once(" --force"), 0) << out;
    EXPECT_EQ(out.find("Local Settings Needed."), std::string::npos) << out;
    EXPECT_EQ(bind.Dig("home.example.test", "A"), "127.0.0.1\n");
    EXPECT_EQ(smtp.Count(), 1) << out;
    EXPECT_EQ(ReadFile(dir / "hook.txt"), "127.0.0.1\n") << out;
}

}  // namespace
}  // namespace zelmar
