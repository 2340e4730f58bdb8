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

namespace zelmar {
namespace {

using namespace test;

TEST(DdnsOnce, TheNameFollowsTheWanAddressOfARefresh) {
    BindPeer bind;
    if (!bind.failure().empty()) GTEST_SKIP() << bind.failure();
    ScratchDir dir;
    const int echoPort = FreePort();
    ChildProcess echo({kSystemPython, "-c",
                       "import http.server as h\n"
                       "class E(h.BaseHTTPRequestHandler):\n"
                       "    def do_GET(self):\n"
                       "        b = b'REMOTE_ADDR: 127.0.0.1<br>'\n"
                       "        self.send_response(200); self.send_header('Content-Length', str(len(b)))\n"
                       "        self.end_headers(); self.wfile.write(b)\n"
                       "h.HTTPServer(('127.0.0.1', " + std::to_string(echoPort) + "), E).serve_forever()\n"},
                      dir / "echo.log");
    ASSERT_TRUE(WaitForPort(echoPort));

    IniFile ini(dir / "Zelmar.ini");
    const TsigKey& key = BindPeer::Keys()[0];
    const std::pair<const char*, std::string> local[] = {
        // A complete FTP site, as a refresh requires, that is not used.
        {"FTPServer", "ftp.invalid"}, {"SiteName", "Site"}, {"UserID", "u"}, {"Password", "p"},
        {"OnlineFile", "online.htm"}, {"OfflineFile", "online.htm"}, {"RemoteFile", "index.htm"},
        {"EnableFTP", "0"}, {"SaveFileHTML", ""}, {"SaveFileASCII", ""},
        {"WANIPURL", "http://127.0.0.1:" + std::to_string(echoPort) + "/"}};
    for (const auto& [k, v] : local) ASSERT_TRUE(ini.WriteString(kLocalSettings, k, v));
    for (const auto& [k, v] : {std::pair{"Timeout", "5"}, std::pair{"SuppressError", "1"}})
        ASSERT_TRUE(ini.WriteString(kPreferences, k, std::string(v)));
    const std::pair<const char*, std::string> entry[] = {{"Protocol", "rfc2136"}, {"Host", "home.example.test"},
                                                         {"Server", bind.server()}, {"Zone", "example.test"},
                                                         {"KeyName", key.name}};
    for (const auto& [k, v] : entry) ASSERT_TRUE(ini.WriteString("DDNS home", k, v));
    std::string error;
    ASSERT_TRUE(WriteDdnsSecret(ini, "home", key.secret, ScrambleKey(), error)) << error;

    auto once = [&](int run) {
        const std::string log = dir / ("out" + std::to_string(run) + ".txt");
        ChildProcess p({"/bin/sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --once"}, log);
        p.Wait(std::chrono::seconds(60));
        return ReadFile(log);
    };
    std::string out = once(1);
    EXPECT_NE(out.find("DDNS home: home.example.test now points to 127.0.0.1."), std::string::npos) << out;
    EXPECT_EQ(bind.Dig("home.example.test", "A"), "127.0.0.1\n");
    EXPECT_EQ(ini.GetString("Channel DDNS home", "WANIP"), "127.0.0.1");
    struct stat before {}, after {};
    ::stat(ini.path().c_str(), &before);
    out = once(2);
    EXPECT_NE(out.find("DDNS home: home.example.test already points to 127.0.0.1."), std::string::npos) << out;
    ::stat(ini.path().c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << "nothing changed: the settings file is not rewritten";
    EXPECT_EQ(out.find(key.secret), std::string::npos);
    EXPECT_EQ(ReadFile(ini.path()).find(key.secret), std::string::npos);
}

}  // namespace
}  // namespace zelmar
