// The program run as a user runs it: one refresh against a local echo page.
#include <gtest/gtest.h>

#include "tests/address/echo_servers.h"
#include "tests/support/machine_ipv6.h"
#include "tests/support/peer_process.h"

namespace zelmar {
namespace {

using namespace test;

TEST(OnceWithEchoPage, LogsAndStoresBothAddresses) {
    EchoServers servers;
    ASSERT_TRUE(servers.ok()) << servers.failure();
    ScratchDir dir;
    const std::string url = servers.Url("/echo");
    WriteFile(dir / "Zelmar.ini",
              "[LocalSettings]\nFTPServer=ftp.example\nSiteName=Site\nUserID=me\nPassword=x\n"
              "OnlineFile=online.htm\nOfflineFile=offline.htm\nRemoteFile=page.htm\nPort=21\nEnableFTP=0\n"
              "WANIPURL=" + url + "\n[Preferences]\nIsLogging=1\nLogFilename=Zelmar.log\n");

    const std::string script = "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir . --once";
    ChildProcess zelmar({"/bin/sh", "-c", script}, dir / "out.txt", {{"http_proxy", ""}, {"all_proxy", ""}});
    ASSERT_EQ(0, zelmar.Wait(std::chrono::seconds(30))) << ReadFile(dir / "out.txt");

    const std::string out = ReadFile(dir / "out.txt");
    EXPECT_NE(std::string::npos, out.find("Requesting WAN IP address from " + url + " ...")) << out;
    const std::string notice = "System Online:   LAN IP: ";
    const std::size_t at = out.find(notice);
    ASSERT_NE(std::string::npos, at) << out;
    const std::size_t lanEnd = out.find(", WAN IP: ", at);
    ASSERT_NE(std::string::npos, lanEnd) << out;
    const std::string lan = out.substr(at + notice.size(), lanEnd - at - notice.size());
    EXPECT_FALSE(lan.empty());
    EXPECT_EQ(std::string::npos, lan.find_first_not_of("0123456789.")) << lan;
    const std::string wanPart = ", WAN IP: 127.0.0.1";
    ASSERT_EQ(0, out.compare(lanEnd, wanPart.size(), wanPart)) << out;
    // No IPv6 echo page is asked when the user named an IPv4 one of their
    // own; the LAN IPv6 pair is there only on a machine that has one.
    const std::size_t lineEnd = out.find('\n', lanEnd);
    const std::size_t tailAt = lanEnd + wanPart.size();
    EXPECT_TRUE(Ipv6TailFits(out.substr(tailAt, lineEnd - tailAt), "N/A")) << out;
    const std::string log = ReadFile(dir / "Zelmar.log");
    EXPECT_NE(std::string::npos, log.find("LAN IP: " + lan + ", WAN IP: 127.0.0.1")) << log;

    const std::string ini = ReadFile(dir / "Zelmar.ini");
    EXPECT_NE(std::string::npos, ini.find("LastWANIP=127.0.0.1")) << ini;
    EXPECT_NE(std::string::npos, ini.find("LastLANIP=" + lan)) << ini;
}

}  // namespace
}  // namespace zelmar
