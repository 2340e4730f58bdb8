// The FTP client against real servers on loopback: pyftpdlib (which records
// every command line, so the exact sequences are asserted) and proftpd.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "app/publish/ftp_client.h"
#include "tests/publish/ftp_peers.h"
#include "tests/publish/proftpd_peer.h"

using namespace zelmar;
using namespace zelmar::test;

namespace {

// Binary content over several 4096-byte chunks, with bytes a text-mode
// transfer would change.
std::string PageBytes(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    s.replace(10, 4, "\r\n\n\r");
    return s;
}

LogonParameters Direct(int port, const std::string& user = kFtpUser, const std::string& password = kFtpPassword) {
    LogonParameters p;
    p.host = "127.0.0.1";
    p.port = port;
    p.user = user;
    p.password = password;
    return p;
}

std::string DataCommand(bool passive) { return passive ? "PASV" : "PORT"; }

std::vector<std::string> Normalised(std::vector<std::string> commands) {
    // The PORT numbers change with every run; keep the verb.
    for (auto& c : commands)
        if (c.rfind("PORT 127,0,0,1,", 0) == 0) c = "PORT";
    return commands;
}

class PyFtpUpload : public ::testing::TestWithParam<bool> {};

TEST_P(PyFtpUpload, StoresThePageInANestedFolderWithTheExactCommandSequence) {
    const bool passive = GetParam();
    PyFtpServer server;
    ASSERT_TRUE(server.ok());
    ::mkdir((server.home() + "/www").c_str(), 0755);
    ::mkdir((server.home() + "/www/status").c_str(), 0755);
    ScratchDir local;
    const std::string page = PageBytes(3 * 4096 + 17);
    WriteFile(local / "Online.txt", page);

    FtpClient client(5);
    ASSERT_TRUE(client.LogOn(Direct(server.port()))) << client.lastReply();
    EXPECT_EQ(client.lastReply().substr(0, 4), "230 ");
    client.Command("TYPE A");
    client.Command("REST 0");
    ASSERT_TRUE(client.Command("CWD www/status")) << client.lastReply();
    ASSERT_TRUE(client.TransferFile("index.htm", local / "Online.txt", passive, false)) << client.lastReply();
    EXPECT_EQ(client.lastReply().substr(0, 4), "226 ");
    client.LogOff();
    EXPECT_FALSE(client.connected());

    EXPECT_EQ(Normalised(server.CommandsAfter()),
              (std::vector<std::string>{"USER zelmar", "PASS s3cret", "TYPE A", "REST 0", "CWD www/status",
                                        "TYPE I", DataCommand(passive), "STOR index.htm", "QUIT"}));
    EXPECT_EQ(ReadFile(server.home() + "/www/status/index.htm"), page);

    // And back again: a download gives the same bytes.
    FtpClient reader(5);
    ASSERT_TRUE(reader.LogOn(Direct(server.port())));
    ASSERT_TRUE(reader.TransferFile("www/status/index.htm", local / "copy.htm", passive, true)) << reader.lastReply();
    EXPECT_EQ(ReadFile(local / "copy.htm"), page);
}

INSTANTIATE_TEST_SUITE_P(Modes, PyFtpUpload, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

TEST(PyFtpRefusals, ServerRefusalsLeaveTheServersLineInLastReply) {
    PyFtpServer server;
    ASSERT_TRUE(server.ok());
    {
        FtpClient client(5);
        EXPECT_FALSE(client.LogOn(Direct(server.port(), kFtpUser, "wrong")));
        EXPECT_EQ(client.lastReply().substr(0, 4), "530 ");
    }
    {
        FtpClient client(5);
        ASSERT_TRUE(client.LogOn(Direct(server.port())));
        EXPECT_FALSE(client.Command("CWD no/such/folder"));
        EXPECT_EQ(client.lastReply().substr(0, 4), "550 ");
        // A refused command leaves the session usable.
        EXPECT_TRUE(client.Command("NOOP"));
    }
}

TEST(PyFtpRefusals, StoreRefusedWith550UsesNoDataAndNamesTheReason) {
    PyFtpOptions options;
    options.readonly = true;
    PyFtpServer server(options);
    ASSERT_TRUE(server.ok());
    ScratchDir local;
    WriteFile(local / "Online.txt", "page");
    for (bool passive : {true, false}) {
        FtpClient client(5);
        ASSERT_TRUE(client.LogOn(Direct(server.port())));
        EXPECT_FALSE(client.TransferFile("index.htm", local / "Online.txt", passive, false));
        EXPECT_EQ(client.lastReply().substr(0, 4), "550 ") << client.lastReply();
    }
    EXPECT_EQ(::access((server.home() + "/index.htm").c_str(), F_OK), -1);
}

TEST(PyFtpRefusals, LocalFailuresLeaveLastReplyEmpty) {
    PyFtpServer server;
    ASSERT_TRUE(server.ok());
    FtpClient client(5);
    ASSERT_TRUE(client.LogOn(Direct(server.port())));
    EXPECT_FALSE(client.TransferFile("x.htm", "/nonexistent/Online.txt", true, false));
    EXPECT_EQ(client.lastReply(), "");

    FtpClient nobody(1);
    EXPECT_FALSE(nobody.LogOn(Direct(FreePort())));
    EXPECT_EQ(nobody.lastReply(), "");
    LogonParameters bad = Direct(server.port());
    bad.logonType = 9;
    EXPECT_FALSE(client.LogOn(bad));
    LogonParameters unknown = Direct(21);
    unknown.host = "no-such-host.invalid";
    EXPECT_FALSE(nobody.LogOn(unknown));
    EXPECT_EQ(nobody.lastReply(), "");
}

// Each firewall type's own part of the logon, as the scripted firewall in
// front of the real server checks it. The server port is not 21, so the host
// text carries ":port".
struct FirewallCase {
    int type;
    std::vector<std::string> logon;  // with H for the host text
};

class FirewallLogon : public ::testing::TestWithParam<FirewallCase> {};

TEST_P(FirewallLogon, SendsTheTypesSequenceAndThenUploads) {
    const FirewallCase& c = GetParam();
    // The firewall and the server are one process here: the firewall part
    // is answered first, the remote user's part goes to the real logon.
    PyFtpOptions options;
    options.firewallType = c.type;
    options.serverText = "ftp.example.net:2121";
    PyFtpServer server(options);
    ASSERT_TRUE(server.ok());

    LogonParameters p;
    p.host = "ftp.example.net";  // never connected to: only named to the firewall
    p.port = 2121;
    p.user = kFtpUser;
    p.password = kFtpPassword;
    p.account = "acct";
    p.firewallHost = "127.0.0.1";
    p.firewallPort = server.port();
    p.firewallUser = "fwuser";
    p.firewallPassword = "fwpass";
    p.logonType = c.type;

    ScratchDir local;
    WriteFile(local / "Online.txt", "behind the firewall");
    FtpClient client(5);
    ASSERT_TRUE(client.LogOn(p)) << client.lastReply();
    ASSERT_TRUE(client.TransferFile("fw.htm", local / "Online.txt", true, false)) << client.lastReply();
    client.LogOff();

    std::vector<std::string> expected;
    for (std::string line : c.logon) {
        const auto at = line.find("{H}");
        if (at != std::string::npos) line.replace(at, 3, "ftp.example.net:2121");
        expected.push_back(line);
    }
    for (const char* rest : {"TYPE I", "PASV", "STOR fw.htm", "QUIT"}) expected.push_back(rest);
    EXPECT_EQ(server.CommandsAfter(), expected);
    EXPECT_EQ(ReadFile(server.home() + "/fw.htm"), "behind the firewall");
}

INSTANTIATE_TEST_SUITE_P(
    Types, FirewallLogon,
    ::testing::Values(
        FirewallCase{1, {"USER fwuser", "PASS fwpass", "SITE {H}", "USER zelmar", "PASS s3cret"}},
        FirewallCase{2, {"USER fwuser", "PASS fwpass", "USER zelmar@{H}", "PASS s3cret"}},
        FirewallCase{3, {"OPEN {H}", "USER zelmar", "PASS s3cret"}},
        FirewallCase{4, {"USER fwuser", "PASS fwpass", "USER zelmar", "PASS s3cret"}},
        FirewallCase{5, {"USER zelmar@{H}", "PASS s3cret"}},
        FirewallCase{6, {"USER fwuser@{H}", "PASS fwpass", "USER zelmar", "PASS s3cret"}},
        FirewallCase{7, {"USER zelmar@{H} fwuser", "PASS s3cret"}},
        FirewallCase{8, {"USER zelmar@fwuser@{H}", "PASS s3cret@fwpass"}}),
    [](const auto& info) { return "Type" + std::to_string(info.param.type); });

class ProftpdUpload : public ::testing::TestWithParam<bool> {};

TEST_P(ProftpdUpload, StoresThePageAndReportsRefusals) {
    const bool passive = GetParam();
    ProftpdServer server;
    if (!server.ok()) GTEST_SKIP() << server.reason();
    ScratchDir local;
    ::chmod(local.path().c_str(), 0755);
    const std::string page = PageBytes(5 * 4096 + 3);
    WriteFile(local / "Online.txt", page);
    server.MakeFolder("www");
    server.MakeFolder("locked", false);  // readable, not writable for the server

    if (passive) {
        FtpClient client(5);
        EXPECT_FALSE(client.LogOn(Direct(server.port(), ProftpdServer::kUser, "wrong")));
        EXPECT_EQ(client.lastReply().substr(0, 4), "530 ");
    }
    FtpClient client(5);
    ASSERT_TRUE(client.LogOn(Direct(server.port(), ProftpdServer::kUser, ProftpdServer::kPassword)))
        << client.lastReply();
    client.Command("TYPE A");
    client.Command("REST 0");
    EXPECT_FALSE(client.Command("CWD missing"));
    EXPECT_EQ(client.lastReply().substr(0, 4), "550 ");
    ASSERT_TRUE(client.Command("CWD www"));
    ASSERT_TRUE(client.TransferFile("index.htm", local / "Online.txt", passive, false)) << client.lastReply();
    EXPECT_EQ(client.lastReply().substr(0, 4), "226 ");
    EXPECT_EQ(ReadFile(server.home() + "/www/index.htm"), page);

    ASSERT_TRUE(client.Command("CWD ../locked"));
    EXPECT_FALSE(client.TransferFile("index.htm", local / "Online.txt", passive, false));
    EXPECT_EQ(client.lastReply().substr(0, 1), "5") << client.lastReply();
    client.LogOff();
}

INSTANTIATE_TEST_SUITE_P(Modes, ProftpdUpload, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

}  // namespace
