// The FTP client against scripted servers: replies and faults a real server
// does not produce (hung or broken replies, odd PASV replies, dead data
// connections), and the logon table's less common paths. Time limits are
// 1 s, so each hang costs about a second.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "app/publish/ftp_client.h"
#include "tests/publish/ftp_peers.h"

using namespace zelmar;
using namespace zelmar::test;

namespace {

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<std::string> kLogon = {"S:220 ready", "C:USER u", "S:331 password", "C:PASS p", "S:230 in"};

LogonParameters To(const FakeFtpServer& server, int type = 0) {
    LogonParameters p;
    p.host = "127.0.0.1";
    p.port = server.port();
    p.user = "u";
    p.password = "p";
    p.account = "acct";
    p.firewallHost = "127.0.0.1";
    p.firewallPort = server.port();
    p.firewallUser = "fw";
    p.firewallPassword = "fwp";
    p.logonType = type;
    return p;
}

TEST(FtpReplies, MultiLineGreetingEndsOnlyAtItsOwnCodeWithASpace) {
    FakeFtpServer server(With({"S:220-Welcome", "S:220-220-still the greeting", "S:230 another number",
                               "S:220x not the end either", "S:220 ready"},
                              {"C:USER u", "S:331 password", "C:PASS p", "S:230 in"}));
    FtpClient client(1);
    EXPECT_TRUE(client.LogOn(To(server))) << client.lastReply();
    EXPECT_EQ(client.lastReply(), "230 in");
    client.LogOff();
    EXPECT_TRUE(server.matched());
}

TEST(FtpReplies, LinesEndingInBareLineFeedsAndOverlongLinesAreRead) {
    FakeFtpServer server({"R:220 short\n", "C:USER u", "R:230 " + std::string(10000, 'x') + "\r\n"});
    FtpClient client(1);
    EXPECT_TRUE(client.LogOn(To(server)));
    EXPECT_EQ(client.lastReply().size(), 4096u);  // kept up to a bound, the rest dropped
}

TEST(FtpReplies, ControlBytesFromTheServerAreMasked) {
    // The reply is shown and logged: no terminal escapes, no line breaks.
    FakeFtpServer server({"R:421 a\x1b[2Jb\x07\rc\tend\r\n", "W"});
    FtpClient client(1);
    EXPECT_FALSE(client.LogOn(To(server)));
    EXPECT_EQ(client.lastReply(), "421 a?[2Jb??c\tend");
}

TEST(FtpCommands, ATimedOutCommandEndsTheConversation) {
    // A late answer to TYPE A must never be read as the answer to REST 0.
    FakeFtpServer server(With(kLogon, {"C:TYPE A", "W"}));
    FtpClient client(1);
    ASSERT_TRUE(client.LogOn(To(server)));
    EXPECT_FALSE(client.Command("TYPE A"));
    EXPECT_FALSE(client.Command("REST 0"));
    EXPECT_EQ(client.lastReply(), "");
    const auto received = server.Received();
    EXPECT_EQ(std::count(received.begin(), received.end(), "REST 0"), 0);
}

// Faults while a reply is awaited: each is a local failure, lastReply empty.
struct ReplyFault {
    const char* name;
    std::vector<std::string> script;
};

class HungOrBrokenReply : public ::testing::TestWithParam<ReplyFault> {};

TEST_P(HungOrBrokenReply, FailsAfterTheTimeLimitWithAnEmptyReply) {
    FakeFtpServer server(GetParam().script);
    {
        FtpClient client(1);
        EXPECT_FALSE(client.LogOn(To(server)));
        EXPECT_EQ(client.lastReply(), "");
    }
    server.Received();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HungOrBrokenReply,
    ::testing::Values(ReplyFault{"SilentServer", {"W"}}, ReplyFault{"PartialLineThenSilence", {"R:220 Wel", "W"}},
                      ReplyFault{"MultiLineNeverEnds", {"S:220-one", "S:220-two", "W"}},
                      ReplyFault{"ClosedMidReply", {"S:220-one", "X"}},
                      ReplyFault{"SilentAfterUser", {"S:220 ok", "C:USER u", "W"}},
                      ReplyFault{"EmptyLineIsNoReply", {"S:220 ok", "C:USER u", "S:", "W"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Floods and drips: one deadline bounds the whole reply, and it is checked
// on every line, not only when the server pauses.
TEST(FtpReplies, AFloodOfContinuationLinesEndsAtTheTimeLimit) {
    FakeFtpServer server({"F:220-flood"});
    const auto start = std::chrono::steady_clock::now();
    {
        FtpClient client(1);
        EXPECT_FALSE(client.LogOn(To(server)));
        EXPECT_EQ(client.lastReply(), "");
    }
    // Timeout plus a generous margin; without the check the client reads for
    // as long as the server floods (20 s).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    server.Received();
}

TEST(FtpReplies, AMultiLineReplyWhoseLinesDripInFailsAtTheTimeLimit) {
    // Each line comes within the limit, the whole reply does not.
    FakeFtpServer server({"S:220-one", "Z:600", "S:220-two", "Z:600", "S:220 ready", "C:USER u", "S:230 in"});
    FtpClient client(1);
    EXPECT_FALSE(client.LogOn(To(server)));
    EXPECT_EQ(client.lastReply(), "");
    client.LogOff();
    server.Received();
}

// Lines that carry no reply code have no reply class: none of them is a
// completion reply, so none of them lets the logon go on.
class NotAReply : public ::testing::TestWithParam<std::string> {};

TEST_P(NotAReply, IsNoCompletionReply) {
    FakeFtpServer server({"S:" + GetParam(), "W"});
    {
        FtpClient client(1);
        EXPECT_FALSE(client.LogOn(To(server)));
        EXPECT_EQ(client.replyClass(), 0);
    }  // closed here, so the server's wait for the close ends at once
    server.Received();
}

INSTANTIATE_TEST_SUITE_P(Lines, NotAReply,
                         ::testing::Values("2", "22", "2 ok", "22 ok", "2x0 ok", "220x", "2200 ok", "020 ok",
                                           "620 ok", " 220 ok", "ready"));

TEST(FtpReplies, ClassesOfReplyLines) {
    for (const auto& [line, cls] : std::vector<std::pair<std::string, int>>{
             {"220 ok", 2}, {"220", 2}, {"220-more", 2}, {"150 go", 1}, {"331 pw", 3}, {"421 bye", 4},
             {"550 no", 5}, {"2", 0}, {"", 0}, {"22", 0}, {"220x", 0}, {"2\t0 x", 0}, {"000 x", 0}, {"999 x", 0}})
        EXPECT_EQ(ReplyClassOf(line), cls) << line;
}

TEST(FtpLogon, TableEdges) {
    {  // A 3xx to PASS asks for the account.
        FakeFtpServer server({"S:220 ok", "C:USER u", "S:331 pw", "C:PASS p", "S:332 account?", "C:ACCT acct",
                              "S:230 in"});
        FtpClient client(1);
        EXPECT_TRUE(client.LogOn(To(server)));
        EXPECT_EQ(client.lastReply(), "230 in");
    }
    {  // Type 7: a completion reply to the combined USER fails the logon.
        FakeFtpServer server({"S:220 fw", "C:USER u@127.0.0.1:*", "S:230 logged on as someone", "W"});
        FtpClient client(1);
        EXPECT_FALSE(client.LogOn(To(server, 7)));
        EXPECT_EQ(client.lastReply(), "");
    }
    {  // Type 1 with port 2121: SITE names server:2121; a 2xx to it fails.
        FakeFtpServer server({"S:220 fw", "C:USER fw", "S:230 ok", "C:SITE ftp.example.com:2121",
                              "S:200 that is not how a firewall answers", "W"});
        LogonParameters p = To(server, 1);
        p.host = "ftp.example.com";
        p.port = 2121;
        FtpClient client(1);
        EXPECT_FALSE(client.LogOn(p));
        EXPECT_EQ(client.lastReply(), "");
        client.LogOff();
        EXPECT_TRUE(server.matched());
    }
    {  // Any other class is a refusal the caller can show.
        FakeFtpServer server({"S:220 ok", "C:USER u", "S:421 too many users", "W"});
        FtpClient client(1);
        EXPECT_FALSE(client.LogOn(To(server)));
        EXPECT_EQ(client.lastReply(), "421 too many users");
    }
    {  // A greeting that is not a completion reply.
        FakeFtpServer server({"S:120 come back in 5 minutes", "W"});
        FtpClient client(1);
        EXPECT_FALSE(client.LogOn(To(server)));
        EXPECT_EQ(client.lastReply(), "120 come back in 5 minutes");
    }
}

TEST(FtpLogon, EverySequenceEndsWithinItsSteps) {
    // Every path through every table reaches done or fail, moving forward.
    for (int type = 0; type < kLogonTypes; ++type) {
        for (int i = 0; i < kMaxLogonSteps; ++i) {
            const LogonStep& s = kLogonSequences[type][i];
            if (s.code < 0) continue;
            for (int next : {s.onCompletion, s.onIntermediate}) {
                const bool terminal = next == kLogonDone || next == kLogonFail;
                EXPECT_TRUE(terminal || (next > i + 1 && next <= kMaxLogonSteps &&
                                         kLogonSequences[type][next - 1].code >= 0))
                    << "type " << type << " step " << i + 1;
            }
        }
    }
}

TEST(FtpPassive, ReplyParsing) {
    struct Case {
        std::string reply;
        bool ok;
        std::string host;
        int port;
    };
    for (const Case& c : std::vector<Case>{
             {"227 Entering Passive Mode (192,0,2,10,19,137)", true, "192.0.2.10", 5001},
             {"227 =(127,0,0,1,255,255).", true, "127.0.0.1", 65535},
             {"227 ( 10, 0, 0, 1, 0, 21 )", true, "10.0.0.1", 21},
             {"227 Entering Passive Mode 192,0,2,10,19,137", false, "", 0},
             {"227 (192,0,2,10,19,137", false, "", 0},
             {"227 )192,0,2,10,19,137(", false, "", 0},
             {"227 (192,0,2,10,19)", false, "", 0},
             {"227 (192,0,2,10,19,137,1)", false, "", 0},
             {"227 (192,0,2,10,256,1)", false, "", 0},
             {"227 (192,0,2,x,1,1)", false, "", 0},
         }) {
        const auto a = ParsePassiveReply(c.reply);
        ASSERT_EQ(a.has_value(), c.ok) << c.reply;
        if (!a) continue;
        EXPECT_EQ(a->host, c.host) << c.reply;
        EXPECT_EQ(a->port, c.port) << c.reply;
    }
}

class FtpTransferFaults : public ::testing::Test {
protected:
    void SetUp() override { WriteFile(local / "Online.txt", page); }
    ScratchDir local;
    std::string page = std::string(70000, 'a') + "end";
};

TEST_F(FtpTransferFaults, PasvWithoutParenthesesFailsBeforeStor) {
    FakeFtpServer server(With(kLogon, {"C:TYPE I", "S:200 binary", "C:PASV", "P:-", "W"}));
    {
        FtpClient client(1);
        ASSERT_TRUE(client.LogOn(To(server)));
        EXPECT_FALSE(client.TransferFile("index.htm", local / "Online.txt", true, false));
        EXPECT_EQ(client.lastReply().substr(0, 4), "227 ");
    }
    for (const auto& line : server.Received()) EXPECT_EQ(line.find("STOR"), std::string::npos) << line;
}

TEST_F(FtpTransferFaults, PassiveDataGoesToTheControlPeerWhateverThePasvReplyNames) {
    FakeFtpServer server(With(kLogon, {"C:TYPE I", "S:200 binary", "C:PASV", "Q", "C:STOR index.htm",
                                       "S:150 go", "D:0", "S:226 done"}));
    FtpClient client(1);
    ASSERT_TRUE(client.LogOn(To(server)));
    EXPECT_TRUE(client.TransferFile("index.htm", local / "Online.txt", true, false)) << client.lastReply();
    EXPECT_EQ(client.lastReply(), "226 done");
    server.Received();
    EXPECT_EQ(server.dataReceived(), page);
}

TEST_F(FtpTransferFaults, ShortSendsAreResentFromTheFile) {
    // The server reads in small bites through a small window, so the
    // client's sends keep coming back short.
    page.clear();
    for (int i = 0; i < 40000; ++i) page += std::to_string(i) + ",";
    WriteFile(local / "Online.txt", page);
    FakeFtpServer server(With(kLogon, {"C:TYPE I", "S:200 binary", "C:PASV", "P:(", "C:STOR index.htm",
                                       "S:150 go", "D:700", "S:226 done"}));
    FtpClient client(2);
    ASSERT_TRUE(client.LogOn(To(server)));
    EXPECT_TRUE(client.TransferFile("index.htm", local / "Online.txt", true, false)) << client.lastReply();
    server.Received();
    EXPECT_EQ(server.dataReceived(), page);
}

struct DataFault {
    const char* name;
    bool passive;
    std::vector<std::string> script;
    std::size_t pageSize;
};

class DeadDataConnection : public ::testing::TestWithParam<DataFault> {};

TEST_P(DeadDataConnection, IsALocalFailureAfterTheTimeLimit) {
    ScratchDir local;
    WriteFile(local / "Online.txt", std::string(GetParam().pageSize, 'z'));
    FakeFtpServer server(With(kLogon, GetParam().script));
    {
        FtpClient client(1);
        ASSERT_TRUE(client.LogOn(To(server)));
        EXPECT_FALSE(client.TransferFile("index.htm", local / "Online.txt", GetParam().passive, false));
        EXPECT_EQ(client.lastReply(), "");
    }
    server.Received();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeadDataConnection,
    ::testing::Values(
        // Active mode: the server never connects back.
        DataFault{"ActiveNeverConnects", false, {"C:TYPE I", "S:200 ok", "C:PORT 127,0,0,1,*", "S:200 ok",
                                                 "C:STOR index.htm", "S:150 go", "W"}, 100},
        // Passive mode: the server never reads what it accepted.
        DataFault{"PassiveNeverRead", true, {"C:TYPE I", "S:200 ok", "C:PASV", "P:(", "C:STOR index.htm",
                                             "S:150 go", "H"}, 24u << 20},
        // The server dies mid-transfer.
        DataFault{"ServerDiesMidTransfer", true, {"C:TYPE I", "S:200 ok", "C:PASV", "P:(", "C:STOR index.htm",
                                                  "S:150 go", "K:10000"}, 4u << 20},
        // The data arrived but the final reply never comes.
        DataFault{"NoFinalReply", true, {"C:TYPE I", "S:200 ok", "C:PASV", "P:(", "C:STOR index.htm",
                                         "S:150 go", "D:0", "W"}, 5000},
        // The server takes STOR and says nothing.
        DataFault{"NoReplyToStor", true, {"C:TYPE I", "S:200 ok", "C:PASV", "P:(", "C:STOR index.htm",
                                               "R:", "W"}, 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpTransferFaults, ARefusedFinalReplyIsShownAsTheServerSaidIt) {
    FakeFtpServer server(With(kLogon, {"C:TYPE I", "S:200 binary", "C:PASV", "P:(", "C:STOR index.htm",
                                       "S:150 go", "D:0", "S:452 disk full"}));
    FtpClient client(1);
    ASSERT_TRUE(client.LogOn(To(server)));
    EXPECT_FALSE(client.TransferFile("index.htm", local / "Online.txt", true, false));
    EXPECT_EQ(client.lastReply(), "452 disk full");
}

TEST(FtpCommands, LineBreaksInsideACommandAreRefused) {
    FakeFtpServer server(With(kLogon, {"W"}));
    FtpClient client(1);
    ASSERT_TRUE(client.LogOn(To(server)));
    EXPECT_FALSE(client.Command("CWD a\r\nDELE index.htm"));
    EXPECT_EQ(client.lastReply(), "");
    client.LogOff();
    const auto received = server.Received();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back(), "QUIT\r\n");
}

class SmuggledCommand : public ::testing::TestWithParam<std::string> {};

TEST_P(SmuggledCommand, IsRefusedBeforeAnythingIsSent) {
    FakeFtpServer server(With(kLogon, {"W"}));
    FtpClient client(1);
    ASSERT_TRUE(client.LogOn(To(server)));
    EXPECT_FALSE(client.Command(GetParam()));
    EXPECT_EQ(client.lastReply(), "");
    client.LogOff();
    const auto received = server.Received();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back(), "QUIT\r\n");  // nothing of the refused line arrived
}

INSTANTIATE_TEST_SUITE_P(Lines, SmuggledCommand,
                         ::testing::Values("CWD a\rDELE index.htm", "CWD a\nDELE index.htm",
                                           "CWD a\r\nDELE index.htm", std::string("CWD a\0DELE index.htm", 20),
                                           "CWD a\r"));

}  // namespace
