// The X11 desktop against real windows on a virtual display: titles found
// whole and without case, a title that changes, windows closed between
// checks, the dialog's filter, a window manager's client list, and a server
// that goes away.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/core/core.h"
#include "app/monitor/add_remove_programs.h"
#include "app/monitor/program_monitor.h"
#include "app/publish/publishing.h"
#include "tests/monitor/x_session.h"
#include "tests/support/core_fixture.h"
#include "tests/support/fake_host.h"
#include "tests/support/pipeline_support.h"

using namespace zelmar;
using zelmar::test::CoreTest;
using zelmar::test::FakeHost;
using zelmar::test::ScratchDir;
using zelmar::test::TestWindow;
using zelmar::test::WaitUntil;
using zelmar::test::WriteFile;
using zelmar::test::XServer;
using zelmar::test::OneChannel;

namespace {

bool Contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

class X11Desktop : public CoreTest {
protected:
    static void SetUpTestSuite() { server = new XServer(false); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        CoreTest::SetUp();
        ASSERT_FALSE(server->display().empty()) << "Xvfb did not start";
        desktop = OpenX11DesktopWindows(server->display());
        ASSERT_TRUE(desktop->Available()) << desktop->Problem();
        SetMonitorDesktop(desktop);
    }
    void TearDown() override {
        SetMonitorDesktop(nullptr);
        CoreTest::TearDown();
    }

    // Waits until the desktop sees (or no longer sees) a title.
    bool Shows(const std::string& title, bool shown = true) {
        return WaitUntil([&] { return desktop->FindByTitle(title) == shown; });
    }

    static XServer* server;
    std::shared_ptr<DesktopWindows> desktop;
};
XServer* X11Desktop::server = nullptr;

TEST_F(X11Desktop, FindsWholeTitlesWithoutRegardToCase) {
    TestWindow mail(*server, "Mail Client - Inbox");
    TestWindow utf8(*server, "Éditeur Ünïcode Привет");
    TestWindow latin1(*server, "Legacy Ærø", {"--wm-name-only"});
    ASSERT_TRUE(Shows("Mail Client - Inbox"));
    ASSERT_TRUE(Shows("Éditeur Ünïcode Привет"));
    ASSERT_TRUE(Shows("Legacy Ærø"));  // Latin-1 WM_NAME read as UTF-8

    EXPECT_TRUE(IsProgramWindowPresent("mail client - INBOX"));
    EXPECT_TRUE(IsProgramWindowPresent("éDITEUR üNÏCODE пРИВЕТ"));
    EXPECT_TRUE(IsProgramWindowPresent("LEGACY æRØ"));
    EXPECT_FALSE(IsProgramWindowPresent("Mail Client"));
    EXPECT_FALSE(IsProgramWindowPresent("Mail Client - Inbox (2)"));
    EXPECT_FALSE(IsProgramWindowPresent(""));

    const auto titles = CandidateWindowTitles(*desktop);
    EXPECT_TRUE(Contains(titles, "Mail Client - Inbox"));
    EXPECT_TRUE(Contains(titles, "Legacy Ærø"));
}

TEST_F(X11Desktop, AWindowWhoseTitleChangesIsNoLongerRunning) {
    TestWindow writer(*server, "Report.txt - Writer", {"--retitle", "Report.txt * - Writer"});
    ASSERT_TRUE(Shows("Report.txt - Writer"));
    writer.Retitle();
    EXPECT_TRUE(Shows("Report.txt - Writer", false));
    EXPECT_TRUE(IsProgramWindowPresent("Report.txt * - Writer"));
}

TEST_F(X11Desktop, RefreshStoresTheWordsAndAClosedWindowTriggersTheUpload) {
    Core& core = MakeCore("[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=s\nUserID=u\nPassword=p\n"
                          "OnlineFile=on.htm\nOfflineFile=off.htm\nRemoteFile=page.htm\nPort=21\nEnableFTP=1\n"
                          "FTPOnIPChangeOnly=1\nStatusIndicators=RUNNING/NOT RUNNING\n"
                          "[Preferences]\nRefreshIntv=0\nTriggerProgramStatusUpdate=1\n"
                          "[Processes]\nProcessName0=Accounts Ledger\nProcessName1=Backup Agent\n");
    int uploads = 0;
    RefreshPipeline pipeline;
    bool changed = false;
    pipeline.SetProgramCheck([&changed](Core& c) { return changed = CheckProgramStatuses(c); });
    // The upload decision is the page channel's own; only the transfer is
    // counted instead of made.
    struct CountedUpload : FtpChannel {
        CountedUpload(const ChannelContext& c, int& n) : FtpChannel(c.settings, c.startDirectory), count(n) {}
        DeliveryResult Transfer(const RefreshSnapshot&, const std::string&, Reporter&) override {
            ++count;
            return DeliveryResult::Success();
        }
        int& count;
    };
    pipeline.AddChannelFactory(
        OneChannel([&](const ChannelContext& c) { return std::make_unique<CountedUpload>(c, uploads); }));
    core.SetServices(pipeline.Services());
    core.LoadOrCreateSettings();

    TestWindow ledger(*server, "Accounts Ledger");
    auto backup = std::make_unique<TestWindow>(*server, "backup agent");
    ASSERT_TRUE(Shows("Accounts Ledger"));
    ASSERT_TRUE(Shows("Backup Agent"));

    // Addresses are not looked up here, so they never change: only a program
    // status change can cause an upload.
    core.RefreshNow();
    EXPECT_EQ(core.ini().GetString("ProcessStatuses", "ProcessStatus0"), "RUNNING");
    EXPECT_EQ(core.ini().GetString("ProcessStatuses", "ProcessStatus1"), "RUNNING");
    core.RefreshNow();
    EXPECT_EQ(uploads, 0);

    backup.reset();
    ASSERT_TRUE(Shows("Backup Agent", false));
    core.RefreshNow();
    EXPECT_TRUE(changed);
    EXPECT_EQ(uploads, 1);
    EXPECT_NE(std::find(host.lines.begin(), host.lines.end(),
                        "Program status change detected. Triggering FTP notification."),
              host.lines.end());
    EXPECT_EQ(core.ini().GetString("ProcessStatuses", "ProcessStatus0"), "RUNNING");
    EXPECT_EQ(core.ini().GetString("ProcessStatuses", "ProcessStatus1"), "NOT RUNNING");
    EXPECT_EQ(GetProgramStatusWord(core, "%P1"), "NOT RUNNING");
    EXPECT_EQ(GetProgramStatusWord(core, "%P0"), "RUNNING");
}

TEST_F(X11Desktop, DialogOffersOnlyMainWindows) {
    TestWindow main(*server, "Plain Main Window");
    TestWindow dialog(*server, "A Dialog Window", {"--type", "DIALOG"});
    TestWindow normal(*server, "Typed Normal Window", {"--type", "NORMAL"});
    TestWindow owned(*server, "Owned Window", {"--transient"});
    TestWindow utility(*server, "Utility Window", {"--type", "UTILITY"});
    TestWindow menu(*server, "Override Menu", {"--override"});
    TestWindow hidden(*server, "Never Mapped", {"--unmapped"});
    for (const char* t : {"Plain Main Window", "A Dialog Window", "Typed Normal Window", "Owned Window",
                          "Utility Window", "Override Menu"})
        ASSERT_TRUE(Shows(t)) << t;
    ASSERT_TRUE(WaitUntil([&] { return hidden.ready(); }));

    const auto titles = CandidateWindowTitles(*desktop);
    for (const char* t : {"Plain Main Window", "A Dialog Window", "Typed Normal Window"})
        EXPECT_TRUE(Contains(titles, t)) << t;
    for (const char* t : {"Owned Window", "Utility Window", "Override Menu", "Never Mapped"})
        EXPECT_FALSE(Contains(titles, t)) << t;
}

TEST(X11DesktopWithWindowManager, ClientListIncludingMinimisedWindows) {
    XServer server(true);
    ASSERT_FALSE(server.display().empty()) << "Xvfb or openbox did not start";
    const auto desktop = OpenX11DesktopWindows(server.display());
    TestWindow framed(server, "Framed Editor");
    TestWindow minimised(server, "Minimised Player", {"--iconic"});
    TestWindow owned(server, "Owned Palette", {"--transient"});
    for (const char* t : {"framed editor", "MINIMISED PLAYER", "Owned Palette"})
        ASSERT_TRUE(WaitUntil([&] { return desktop->FindByTitle(t); })) << t;

    const auto titles = CandidateWindowTitles(*desktop);
    EXPECT_TRUE(Contains(titles, "Framed Editor"));
    EXPECT_TRUE(Contains(titles, "Minimised Player"));
    EXPECT_FALSE(Contains(titles, "Owned Palette"));
}

TEST(X11DesktopServerGone, EveryProgramIsOffAndNothingCrashes) {
    XServer server(false);
    ASSERT_FALSE(server.display().empty());
    const auto desktop = OpenX11DesktopWindows(server.display());
    TestWindow w(server, "Short Lived");
    ASSERT_TRUE(WaitUntil([&] { return desktop->FindByTitle("Short Lived"); }));
    w.Close();
    server.Kill();

    testing::internal::CaptureStderr();
    EXPECT_FALSE(desktop->FindByTitle("Short Lived"));
    EXPECT_FALSE(desktop->Available());
    EXPECT_TRUE(desktop->TopLevelWindows().empty());
    EXPECT_FALSE(desktop->FindByTitle("Short Lived"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

}  // namespace
