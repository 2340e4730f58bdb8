// The publishing cycle on a core with the fake host, uploading to a real
// pyftpdlib server: the lines the user sees, the error box, the page files
// left or removed, and the exit publication.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/core.h"
#include "app/publish/publishing.h"
#include "tests/publish/ftp_peers.h"
#include "tests/support/core_fixture.h"
#include "tests/support/fake_host.h"
#include "tests/publish/page_upload.h"

using namespace zelmar;
using namespace zelmar::test;

namespace {


class Publishing : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ASSERT_TRUE(server.ok());
        WriteFile(dir / "online.htm", "Status: %S\r\nWAN %WI LAN %I\r\n");
        WriteFile(dir / "offline.htm", "Gone %S.\n");
        MakeCore();
        core->EditSettings([this](Settings& s) {
            UseFtpSite(s, server.port(), "index.htm");
            s.Timeout = 2;
            s.SaveFileASCII.clear();
            s.SaveFileHTML.clear();
        });
        addresses->current = {"203.0.113.7", "10.0.0.5", {}, {}};
    }
    // Whole refreshes (worker inline on the fake host) against the server on
    // port, with a one-second time limit and no boxes.
    void RefreshAgainst(int port) {
        core->EditSettings([&](Settings& s) {
            s.Timeout = 1;
            s.SuppressError = 1;
            FtpPageOf(s).ftpPage.Port = std::to_string(port);
        });
        core->SetServices(UploadPipeline(addresses).Services());
    }

    // What the refresh worker does before it hands over to the upload.
    void RunOnlineUpload() {
        core->state().TransferInProgress = 1;
        PublishOnlinePage(*core, *addresses);
    }
    // The FTP site values as the settings page holds them; every status
    // line copies them into the working values the run uses.
    template <class F>
    void EditSite(F&& edit) {
        core->EditSettings([&](Settings& s) {
            edit(FtpPageOf(s).ftpPage);
            CopyFtpPageToWorking(s);
        });
    }
    void SetRemote(const std::string& remote) {
        EditSite([&](FtpSiteFields& f) { f.RemoteFile = remote; });
    }
    bool Shown(const std::string& line) const { return host.Shown(line); }
    bool Exists(const std::string& name) const { return ::access((dir / name).c_str(), F_OK) == 0; }
    std::string Online() const { return FtpPageOf(core->settings()).ftp.OnlineFile; }

    PyFtpServer server;
    std::shared_ptr<StubAddresses> addresses = std::make_shared<StubAddresses>();
};

TEST_F(Publishing, OnlineUploadToANestedFolderReportsEveryStepAndRemovesThePage) {
    ::mkdir((server.home() + "/www").c_str(), 0755);
    ::mkdir((server.home() + "/www/status").c_str(), 0755);
    SetRemote("www/status/index.htm");
    RunOnlineUpload();

    EXPECT_EQ(ReadFile(server.home() + "/www/status/index.htm"), "Status: Online\r\nWAN 203.0.113.7 LAN 10.0.0.5\r\n");
    EXPECT_EQ(server.CommandsAfter(),
              (std::vector<std::string>{"USER zelmar", "PASS s3cret", "TYPE A", "REST 0", "CWD www/status",
                                        "TYPE I", "PASV", "STOR index.htm", "QUIT"}));
    ASSERT_GE(host.lines.size(), 5u);
    EXPECT_EQ(host.lines.front(), "Attempting to connect to FTP Server...");
    EXPECT_TRUE(Shown("Successfully changed folder."));
    EXPECT_TRUE(Shown("Successfully copied online.htm to www/status/index.htm on 127.0.0.1"));
    EXPECT_EQ(host.lines.back(), "System Online:   LAN IP: 10.0.0.5, WAN IP: 203.0.113.7");
    EXPECT_FALSE(Exists(kOnlinePageFile));
    EXPECT_EQ(core->state().TransferInProgress.load(), 0);
    EXPECT_EQ(core->state().OnlineState.load(), 1);
    EXPECT_EQ(host.uiRequests, std::vector<UiCall>{UiCall::RefreshEnabled});
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(Publishing, ActiveModeWithoutFolderStoresTheWholeName) {
    core->EditSettings([](Settings& s) { FtpPageOf(s).ProxyPassive = 0; });
    RunOnlineUpload();
    EXPECT_EQ(server.CommandsAfter().at(5).substr(0, 5), "PORT ");
    EXPECT_EQ(server.CommandsAfter().at(6), "STOR index.htm");
    EXPECT_TRUE(Shown("Successfully copied online.htm to index.htm on 127.0.0.1"));
    EXPECT_EQ(core->state().OnlineState.load(), 1);
}

// Failures: the error box (unless suppressed), the page left for inspection,
// Refresh enabled again, still offline.
struct FailureCase {
    const char* name;
    std::string remote;
    std::string password;
    bool serverDown;
    std::string shown;  // the reply line as displayed ("%PORT%": the port tried)
    std::string why;    // what the box adds: the step and the server's reply
};

class PublishingFailure : public Publishing, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PublishingFailure, ShowsTheReplyAndTheBoxAndLeavesThePage) {
    const FailureCase& c = GetParam();
    SetRemote(c.remote);
    std::string port;
    EditSite([&](FtpSiteFields& f) {
        f.Password = c.password;
        if (c.serverDown) f.Port = std::to_string(FreePort());
        port = f.Port;
    });
    RunOnlineUpload();

    std::string shown = c.shown, why = c.why;
    if (const auto at = shown.find("%PORT%"); at != std::string::npos) shown.replace(at, 6, port);
    if (const auto at = why.find("%PORT%"); at != std::string::npos) why.replace(at, 6, port);
    EXPECT_TRUE(Shown(shown)) << ::testing::PrintToString(host.lines);
    EXPECT_EQ(host.lines.back(), shown);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, kUploadErrorText + std::string("\n\n") + why);
    EXPECT_EQ(host.boxes[0].icon, MbIcon::Stop);
    EXPECT_EQ(host.boxes[0].buttons, MbButtons::Ok);
    EXPECT_TRUE(Exists(kOnlinePageFile));
    EXPECT_EQ(core->state().TransferInProgress.load(), 0);
    EXPECT_EQ(core->state().OnlineState.load(), 0);
    EXPECT_EQ(host.uiRequests, std::vector<UiCall>{UiCall::RefreshEnabled});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PublishingFailure,
    ::testing::Values(FailureCase{"WrongPassword", "index.htm", "wrong", false, "Authentication failed.",
                                  "The FTP server refused the login: 530 Authentication failed."},
                      FailureCase{"CwdRefused", "missing/index.htm", kFtpPassword, false,
                                  "No such file or directory.",
                                  "The FTP server refused the change of folder: 550 No such file or directory."},
                      // Said as what happened, not as a name or time-out problem.
                      FailureCase{"ServerDown", "index.htm", kFtpPassword, true,
                                  "Unable to connect to 127.0.0.1 port %PORT%: Connection refused",
                                  "Unable to connect to 127.0.0.1 port %PORT%: Connection refused"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Publishing, SuppressedErrorsShowNoBoxAndTheNextGoodUploadRemovesTheOldPage) {
    core->EditSettings([](Settings& s) { s.SuppressError = 1; });
    EditSite([](FtpSiteFields& f) { f.Password = "wrong"; });
    RunOnlineUpload();
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_TRUE(Exists(kOnlinePageFile));

    EditSite([](FtpSiteFields& f) { f.Password = kFtpPassword; });
    RunOnlineUpload();
    EXPECT_FALSE(Exists(kOnlinePageFile));
    EXPECT_EQ(core->state().OnlineState.load(), 1);
}

TEST_F(Publishing, AHungServerFailsTheRunAfterTheTimeLimitAndTheNextRefreshWorks) {
    FakeFtpServer hung({"R:220 hel", "W"});
    RefreshAgainst(hung.port());

    core->ManualRefreshCommand();  // FakeHost runs the worker inline
    EXPECT_EQ(host.lines.back(), "Unable to resolve hostname/Connection Timeout");
    EXPECT_EQ(core->state().TransferInProgress.load(), 0);
    EXPECT_EQ(core->state().OnlineState.load(), 0);

    core->EditSettings([&](Settings& s) { FtpPageOf(s).ftpPage.Port = std::to_string(server.port()); });
    core->ManualRefreshCommand();
    EXPECT_EQ(host.lines.back(), "System Online:   LAN IP: 10.0.0.5, WAN IP: 203.0.113.7");
    EXPECT_EQ(core->state().OnlineState.load(), 1);
}

TEST_F(Publishing, AServerCannotPassOffItsReplyAsTheOnlineNotice) {
    FakeFtpServer liar({"S:P10005 System Online:   ", "W"});
    RefreshAgainst(liar.port());
    core->ManualRefreshCommand();
    for (const std::string& line : host.lines) EXPECT_EQ(line.find("System Online"), std::string::npos) << line;
    EXPECT_EQ(host.lines.back(), "Unable to resolve hostname/Connection Timeout");
    EXPECT_EQ(core->NextTrigger(), RefreshTrigger::Manual) << "the refresh did not end online";
}

// A failed upload whose last reply reads like progress or success must not
// end the log on that line: the reply keeps its code and the failure is said.
struct MisleadingEnd {
    const char* name;
    std::vector<std::string> script;  // after the logon
    std::string reply;                // as shown, with its code
};

class PublishingMisleadingFailure : public Publishing, public ::testing::WithParamInterface<MisleadingEnd> {};

TEST_P(PublishingMisleadingFailure, EndsWithTheFailureOnTheStatusLineAndInTheLog) {
    std::vector<std::string> script = {"S:220 ready", "C:USER zelmar", "S:331 pw", "C:PASS s3cret", "S:230 in",
                                       "C:TYPE A", "S:200 ok", "C:REST 0", "S:350 ok"};
    script.insert(script.end(), GetParam().script.begin(), GetParam().script.end());
    FakeFtpServer fake(script);
    EditSite([&](FtpSiteFields& f) { f.Port = std::to_string(fake.port()); });
    RunOnlineUpload();
    // The reply as the server sent it, code first (the PASV numbers vary).
    EXPECT_TRUE(std::any_of(host.lines.begin(), host.lines.end(),
                            [&](const std::string& l) { return l.rfind(GetParam().reply, 0) == 0; }))
        << ::testing::PrintToString(host.lines);
    EXPECT_EQ(host.lines.back(), kUploadErrorText);
    EXPECT_EQ(core->state().OnlineState.load(), 0);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_TRUE(Exists(kOnlinePageFile));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PublishingMisleadingFailure,
    ::testing::Values(
        MisleadingEnd{"StorCompletedWithoutAStart",
                      {"C:TYPE I", "S:200 binary", "C:PASV", "P:(", "C:STOR index.htm", "S:226 Transfer complete.",
                       "W"},
                      "226 Transfer complete."},
        MisleadingEnd{"PasvWithoutAddress", {"C:TYPE I", "S:200 binary", "C:PASV", "P:-", "W"},
                      "227 Entering Passive Mode"},
        MisleadingEnd{"TypeIAnsweredWithAnIntermediateReply", {"C:TYPE I", "S:350 what?", "W"}, "350 what?"}),
    [](const auto& info) { return std::string(info.param.name); });

// A server's text that begins like one of the program's own lines keeps its
// reply code, so that nobody takes it for ours.
struct Impostor {
    const char* name;
    std::vector<std::string> script;
    std::string shown;
};

class PublishingImpostor : public Publishing, public ::testing::WithParamInterface<Impostor> {};

TEST_P(PublishingImpostor, KeepsTheReplyCodeInFront) {
    FakeFtpServer fake(GetParam().script);
    EditSite([&](FtpSiteFields& f) { f.Port = std::to_string(fake.port()); });
    RunOnlineUpload();
    EXPECT_TRUE(Shown(GetParam().shown)) << ::testing::PrintToString(host.lines);
    for (const std::string& line : host.lines) {
        EXPECT_NE(line.rfind("System Online", 0), 0u) << line;
        EXPECT_NE(line.rfind("Successfully copied", 0), 0u) << line;
    }
    EXPECT_EQ(core->state().OnlineState.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PublishingImpostor,
    ::testing::Values(
        Impostor{"RefusalPosingAsTheOnlineNotice",
                 {"S:220 ready", "C:USER zelmar", "S:530 System Online:   LAN IP: 10.0.0.5, WAN IP: 1.2.3.4", "W"},
                 "530 System Online:   LAN IP: 10.0.0.5, WAN IP: 1.2.3.4"},
        Impostor{"GreetingPosingAsOurCopyLine",
                 {"S:220 ready", "C:USER zelmar", "S:230 Successfully copied online.htm to index.htm on 127.0.0.1",
                  "W"},
                 "230 Successfully copied online.htm to index.htm on 127.0.0.1"},
        Impostor{"LowerCaseAndBlanks",
                 {"S:220 ready", "C:USER zelmar", "S:530   system offline.", "W"}, "530   system offline."}),
    [](const auto& info) { return std::string(info.param.name); });

// A server that echoes the password in its refusal: the status line (and
// with it the log) shows it masked, in any of the places it can stand.
struct EchoCase {
    const char* name;
    std::string reply;
    std::string shown;
};

class PublishingPasswordEcho : public Publishing, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(PublishingPasswordEcho, IsMasked) {
    const std::string pw = "s3cr3t pw";
    FakeFtpServer fake({"S:220 ready", "C:USER zelmar", "S:331 password please", "C:PASS " + pw,
                        "S:" + GetParam().reply, "W"});
    EditSite([&](FtpSiteFields& f) {
        f.Port = std::to_string(fake.port());
        f.Password = pw;
    });
    RunOnlineUpload();
    EXPECT_TRUE(Shown(GetParam().shown)) << ::testing::PrintToString(host.lines);
    for (const std::string& line : host.lines) EXPECT_EQ(line.find(pw), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, PublishingPasswordEcho,
    ::testing::Values(EchoCase{"AtTheEnd", "530 Login incorrect PASS s3cr3t pw", "Login incorrect PASS ********"},
                      EchoCase{"Twice", "530 s3cr3t pw is not s3cr3t pw", "******** is not ********"},
                      EchoCase{"Glued", "530 bads3cr3t pw!", "bad********!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Publishing, AnUnreadableTemplateEndsWithoutConnectingOrABox) {
    EditSite([](FtpSiteFields& f) { f.OnlineFile = "missing.htm"; });
    RunOnlineUpload();
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(host.lines.size(), 2u);  // the attempt and the file error
    EXPECT_TRUE(server.Commands().empty());
    EXPECT_EQ(core->state().TransferInProgress.load(), 0);
    EXPECT_EQ(host.uiRequests, std::vector<UiCall>{UiCall::RefreshEnabled});
}

TEST_F(Publishing, TheProxySnapshotChoosesTheLogonType) {
    // "UseProxy" 0 at approval: a stored firewall type is ignored.
    core->EditSettings([](Settings& s) {
        FtpPageOf(s).LogonType = 6;
        FtpPageOf(s).ProxyAddress = "192.0.2.1";
        FtpPageOf(s).FTPProxyPort = 2121;
    });
    core->EditSettings([](Settings& s) { FtpPageOf(s).UseProxy = 0; });
    core->PinRefreshSettings();
    RunOnlineUpload();
    EXPECT_EQ(server.CommandsAfter().front(), "USER zelmar");
    EXPECT_EQ(core->state().OnlineState.load(), 1);

    // With the snapshot set, type 5 goes through the firewall.
    PyFtpOptions options;
    options.firewallType = 5;
    options.serverText = "127.0.0.1";
    PyFtpServer firewall(options);
    ASSERT_TRUE(firewall.ok());
    core->EditSettings([&](Settings& s) {
        FtpPageOf(s).LogonType = 5;
        FtpPageOf(s).ProxyAddress = "127.0.0.1";
        FtpPageOf(s).FTPProxyPort = firewall.port();
    });
    EditSite([](FtpSiteFields& f) { f.Port = "21"; });
    // Pinned on, then turned off again: the refresh keeps what it started with.
    core->EditSettings([](Settings& s) { FtpPageOf(s).UseProxy = 1; });
    core->PinRefreshSettings();
    core->EditSettings([](Settings& s) { FtpPageOf(s).UseProxy = 0; });
    RunOnlineUpload();
    EXPECT_EQ(firewall.CommandsAfter().front(), "USER zelmar@127.0.0.1");
    EXPECT_EQ(ReadFile(firewall.home() + "/index.htm").substr(0, 14), "Status: Online");
}

TEST(RemotePathSplit, BackslashWinsOverSlash) {
    struct Case {
        std::string remote, folder, name;
    };
    for (const Case& c : std::vector<Case>{{"www/status/index.htm", "www/status", "index.htm"},
                                           {"a\\b/c.htm", "a", "b/c.htm"},
                                           {"a/b\\c.htm", "a/b", "c.htm"},
                                           {"index.htm", "", "index.htm"},
                                           {"/index.htm", "", "index.htm"},
                                           {"www/", "www", ""}}) {
        const RemotePath r = SplitRemotePath(c.remote);
        EXPECT_EQ(r.folder, c.folder) << c.remote;
        EXPECT_EQ(r.name, c.name) << c.remote;
    }
}

// ---------------------------------------------------------------- exit publication

class OfflinePublishing : public Publishing {
protected:
    RefreshPipeline Recording() {
        RefreshPipeline p;
        p.SetAddressLookup([this](Core&) {
            calls.push_back("wan");
            calls.push_back("lan");
            return LookedUpAddresses{};
        });
        p.AddChannelFactory(OneChannel([this](const ChannelContext& context) {
            return std::make_unique<ScriptedChannel>("Mail", [this, enabled = context.settings.EnableMail](
                                                                 const RefreshSnapshot& snapshot, Reporter&) {
                if (enabled)
                    calls.push_back(std::string("mail:") + (snapshot.online() ? "Online" : "Offline") +
                                    std::to_string(core->state().TransferInProgress.load()));
                return DeliveryResult::Success();
            });
        }));
        p.AddChannelFactory(MakeFtpChannels);
        return p;
    }
    static int PublishOffline(Core& core, const RefreshPipeline& pipeline) { return pipeline.RunExit(core); }
    std::vector<std::string> calls;
};

TEST_F(OfflinePublishing, UploadsTheOfflinePageAndAsksToClose) {
    core->EditSettings([](Settings& s) { s.EnableMail = 1; });
    core->OweStartupRefresh();
    EXPECT_EQ(PublishOffline(*core, Recording()), 1);
    EXPECT_EQ(calls, (std::vector<std::string>{"wan", "lan", "mail:Offline1"}));
    EXPECT_EQ(ReadFile(server.home() + "/index.htm"), "Gone Offline.\n");
    EXPECT_TRUE(Shown("Successfully copied offline.htm to index.htm on 127.0.0.1"));
    EXPECT_EQ(host.lines.back(), "System Offline.");
    EXPECT_EQ(host.uiRequests, (std::vector<UiCall>{UiCall::ShutdownWindowShown, UiCall::RefreshDisabled, UiCall::RefreshDisabled}));
    EXPECT_EQ(host.closes, 1);
    EXPECT_FALSE(Exists(kOfflinePageFile));
    EXPECT_EQ(core->state().TransferInProgress.load(), 0);
    EXPECT_EQ(core->state().OnlineState.load(), 1);
    EXPECT_EQ(core->NextTrigger(), RefreshTrigger::Timer);
}

TEST_F(OfflinePublishing, WithFtpOffItRemovesAnOldPageAndCloses) {
    core->EditSettings([](Settings& s) {
        FtpPageOf(s).EnableFTP = 0;
        FtpPageOf(s).UseProxy = 0;
        FtpPageOf(s).ProxyAddress = "192.0.2.1";
        FtpPageOf(s).FTPProxyPort = 2121;
    });
    WriteFile(dir / kOfflinePageFile, "left by a failed run");
    EXPECT_EQ(PublishOffline(*core, Recording()), 1);
    EXPECT_FALSE(Exists(kOfflinePageFile));
    EXPECT_EQ(host.lines, std::vector<std::string>{"System Offline."});
    EXPECT_EQ(host.closes, 1);
    EXPECT_TRUE(server.Commands().empty());
    // The firewall's values stay the user's, though unused.
    EXPECT_EQ(FtpPageOf(core->settings()).ProxyAddress, "192.0.2.1");
    EXPECT_EQ(FtpPageOf(core->settings()).FTPProxyPort, 2121);
}

TEST_F(OfflinePublishing, ExitAnywaySendsNoExitRequest) {
    core->EditSettings([](Settings& s) { FtpPageOf(s).EnableFTP = 0; });
    core->state().ExitAnyway = 1;
    EXPECT_EQ(PublishOffline(*core, Recording()), 1);
    EXPECT_EQ(host.closes, 0);
    EXPECT_EQ(host.lines.back(), "System Offline.");
}

TEST_F(OfflinePublishing, ARunningTransferKeepsItsFlagAndNothingElseHappens) {
    core->state().TransferInProgress = 1;
    EXPECT_EQ(PublishOffline(*core, Recording()), -1);
    EXPECT_EQ(core->state().TransferInProgress.load(), 1);
    EXPECT_EQ(host.uiRequests, std::vector<UiCall>{UiCall::ShutdownWindowShown});
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(host.lines.empty());
}

TEST_F(OfflinePublishing, AFailedUploadKeepsTheProgramOpen) {
    EditSite([](FtpSiteFields& f) { f.Password = "wrong"; });
    EXPECT_EQ(PublishOffline(*core, Recording()), -1);
    EXPECT_EQ(host.closes, 0);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, kUploadErrorText + std::string("\n\nThe FTP server refused the login: 530 Authentication failed."));
    EXPECT_EQ(host.uiRequests.back(), UiCall::RefreshEnabled);
    EXPECT_TRUE(Exists(kOfflinePageFile));
    EXPECT_EQ(core->state().TransferInProgress.load(), 0);
    EXPECT_EQ(core->state().OnlineState.load(), 0);
}

}  // namespace
