#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include "app/core/core.h"
#include "app/core/event_log.h"
#include "app/publish/publishing.h"
#include "tests/support/pipeline_support.h"
#include "tests/support/core_fixture.h"
#include "tests/support/fake_host.h"
#include "tests/support/peer_process.h"

using namespace zelmar;
using namespace std::chrono_literals;
using zelmar::test::CoreTest;
using zelmar::test::FakeHost;
using zelmar::test::UiCall;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;

namespace {

// A core on the fake host whose services only record what they were asked.
class RefreshCycle : public CoreTest {
protected:
    void Start(const std::string& preferences, const std::string& local = "EnableFTP=1\n") {
        MakeCore("[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=s\nUserID=u\nPassword=p\n"
                 "OnlineFile=on.htm\nOfflineFile=off.htm\nRemoteFile=page.htm\nPort=21\n"
                 "WANIPURL=http://echo.example/ip\n" +
                 local + "[Preferences]\n" + preferences);
        RefreshPipeline pipeline;
        pipeline.SetProgramCheck([this](Core&) {
            calls.push_back("programs");
            return programChanged;
        });
        pipeline.SetAddressLookup([this](Core&) {
            calls.push_back("wan");
            calls.push_back("lan");
            LookedUpAddresses found;
            found.previous = seen;
            found.current = {wan, "10.0.0.5", {}, {}};
            seen = found.current;
            return found;
        });
        pipeline.AddChannelFactory(zelmar::test::OneChannel([this](const ChannelContext&) {
            return std::make_unique<zelmar::test::ScriptedChannel>("Mail", [this](const RefreshSnapshot& s, Reporter&) {
                calls.push_back("mail");
                triggers.push_back(s.trigger);
                return DeliveryResult::Success();
            });
        }));
        // The page's channel with its own decisions, but no server.
        struct Upload : FtpChannel {
            Upload(RefreshCycle& t, const ChannelContext& c) : FtpChannel(c.settings, c.startDirectory), test(t) {}
            DeliveryResult Transfer(const RefreshSnapshot&, const std::string&, Reporter&) override {
                test.calls.push_back("upload");
                EXPECT_EQ(test.core->state().TransferInProgress.load(), 1);
                return test.uploadSucceeds ? DeliveryResult::Success() : DeliveryResult{};
            }
            RefreshCycle& test;
        };
        pipeline.AddChannelFactory(zelmar::test::OneChannel(
            [this](const ChannelContext& c) { return std::make_unique<Upload>(*this, c); }));
        core->SetServices(pipeline.Services());
        core->Initialise(false);
    }
    int Count(const std::string& what) const { return static_cast<int>(std::count(calls.begin(), calls.end(), what)); }
    bool Logged(const std::string& line) const { return host.Shown(line); }

    std::vector<std::string> calls;
    std::vector<RefreshTrigger> triggers;
    std::string wan = "203.0.113.7";
    // What the previous refresh found.
    AddressSet seen;
    bool programChanged = false;
    bool uploadSucceeds = true;
};

TEST_F(RefreshCycle, NoIntervalAndNoStartUpdateMeansNoRefreshUntilAsked) {
    Start("RefreshIntv=0\nIsUpdateOnStart=0\nInitStartupDelay=3\n");
    host.Advance(1ms);
    ASSERT_EQ(host.shownMinimised, std::vector<bool>{false});
    EXPECT_EQ(host.page.nextRefresh, kNotScheduled);
    host.Advance(1h);
    EXPECT_EQ(host.workersStarted, 0);
    EXPECT_EQ(host.page.nextRefresh, kNotScheduled);
    core->ManualRefreshCommand();
    EXPECT_EQ(host.workersStarted, 1);
    EXPECT_EQ(Count("upload"), 1);  // a manual refresh always uploads
}

TEST_F(RefreshCycle, StartupDelayThenEveryInterval) {
    Start("RefreshIntv=5\nIsUpdateOnStart=0\nInitStartupDelay=10\nFTPOnIPChangeOnly=1\n",
          "EnableFTP=1\nFTPOnIPChangeOnly=1\n");
    host.Advance(1ms);
    EXPECT_EQ(host.page.nextRefresh, TimeDisplay(host.Now() + 10s));
    host.Advance(9998ms);
    EXPECT_EQ(host.workersStarted, 0);
    host.Advance(2ms);
    EXPECT_EQ(host.workersStarted, 1);  // the refresh slot fires in the very tick of the delay
    EXPECT_EQ(core->NextTrigger(), RefreshTrigger::Timer);
    EXPECT_EQ(Count("upload"), 1);  // first sighting of the addresses is a change
    host.Advance(5min);
    EXPECT_EQ(host.workersStarted, 2);
    EXPECT_EQ(Count("upload"), 1);  // unchanged addresses, change-only mode
    EXPECT_EQ(host.TimerInterval(IDT_TIMER_0), 5min);
    host.Advance(10min);
    EXPECT_EQ(host.workersStarted, 4);
}

TEST_F(RefreshCycle, StartupForceUploadsOnceDespiteUnchangedAddresses) {
    Start("RefreshIntv=5\nIsUpdateOnStart=1\nInitStartupDelay=0\n", "EnableFTP=1\nFTPOnIPChangeOnly=1\n");
    seen = {wan, "10.0.0.5", {}, {}};  // as if the previous run had seen them
    host.Advance(20ms);
    EXPECT_EQ(host.workersStarted, 1);
    EXPECT_EQ(Count("upload"), 1);
    EXPECT_EQ(core->NextTrigger(), RefreshTrigger::Timer);
    host.Advance(5min);
    EXPECT_EQ(host.workersStarted, 2);
    EXPECT_EQ(Count("upload"), 1);
    EXPECT_EQ(core->state().OnlineState.load(), 1);
}

TEST_F(RefreshCycle, StartUpdateWithoutIntervalRefreshesOnce) {
    Start("RefreshIntv=0\nIsUpdateOnStart=1\nInitStartupDelay=2\n");
    // The maintainer floor does not apply: the echo page is a private one.
    host.Advance(3s);
    EXPECT_EQ(host.workersStarted, 1);
    host.Advance(2h);
    EXPECT_EQ(host.workersStarted, 1);
}

TEST_F(RefreshCycle, FtpOffStillLooksUpMailsAndGoesOnline) {
    Start("RefreshIntv=0\nEnableMail=1\n", "EnableFTP=0\n");
    core->RefreshNow();
    EXPECT_EQ(calls, (std::vector<std::string>{"programs", "wan", "lan", "mail"}));
    EXPECT_TRUE(Logged("System Online:   LAN IP: 10.0.0.5, WAN IP: 203.0.113.7"));
    EXPECT_EQ(core->state().OnlineState.load(), 1);
    EXPECT_EQ(core->state().TransferInProgress.load(), 0);
    EXPECT_EQ(host.trayOnline.back(), true);
    EXPECT_EQ(host.uiRequests, (std::vector<UiCall>{UiCall::RefreshDisabled, UiCall::RefreshEnabled}));
}

TEST_F(RefreshCycle, NoRefreshWhileATransferRuns) {
    Start("RefreshIntv=0\n");
    core->state().TransferInProgress = 1;
    core->RefreshNow();
    EXPECT_EQ(host.workersStarted, 0);
    EXPECT_TRUE(calls.empty());
}

TEST_F(RefreshCycle, ASecondRefreshWaitsForTheFirstWorker) {
    Start("RefreshIntv=0\n");
    host.inlineWorkers = false;
    core->ManualRefreshCommand();
    core->ManualRefreshCommand();  // the worker is still looking up addresses
    EXPECT_EQ(host.workersStarted, 1);
    host.RunWorkers();
    core->ManualRefreshCommand();
    EXPECT_EQ(host.workersStarted, 2);
}

TEST_F(RefreshCycle, ManualRefreshKeepsTheNextRefreshTime) {
    Start("RefreshIntv=5\nInitStartupDelay=0\n");
    host.Advance(30ms);  // first refresh ran and set the next time
    const std::string next = host.page.nextRefresh;
    ASSERT_EQ(next, TimeDisplay(host.Now() + 5min - 10ms)) << "set at the refresh";
    host.Advance(1min);
    core->ManualRefreshCommand();
    EXPECT_EQ(host.page.nextRefresh, next);
    EXPECT_EQ(core->NextTrigger(), RefreshTrigger::Timer);
    EXPECT_EQ(host.page.lastRefreshed, TimeDisplay(host.Now()));
}

// A press of "&Refresh" while a timer's refresh is still looking up does
// not turn that refresh into a manual one: it keeps the trigger it was let
// through with, and the press makes the next refresh the manual one.
TEST_F(RefreshCycle, TheTriggerTravelsWithItsRefresh) {
    Start("RefreshIntv=0\n");
    host.inlineWorkers = false;
    core->RefreshNow();
    core->ManualRefreshCommand();
    host.RunWorkers();
    core->RefreshNow();
    host.RunWorkers();
    EXPECT_EQ(triggers, (std::vector<RefreshTrigger>{RefreshTrigger::Timer, RefreshTrigger::Manual}));
    EXPECT_EQ(core->NextTrigger(), RefreshTrigger::Timer);
}

TEST_F(RefreshCycle, ProgramStatusChangeForcesTheUpload) {
    Start("RefreshIntv=0\nTriggerProgramStatusUpdate=1\n", "EnableFTP=1\nFTPOnIPChangeOnly=1\n");
    core->RefreshNow();  // first: addresses new
    ASSERT_EQ(Count("upload"), 1);
    core->RefreshNow();  // same addresses, no change
    ASSERT_EQ(Count("upload"), 1);
    programChanged = true;
    core->RefreshNow();
    EXPECT_EQ(Count("upload"), 2);
    EXPECT_TRUE(Logged("Program status change detected. Triggering FTP notification."));
}

TEST_F(RefreshCycle, FailedUploadLeavesOfflineAndManualFlag) {
    Start("RefreshIntv=0\n");
    uploadSucceeds = false;
    core->ManualRefreshCommand();
    EXPECT_EQ(core->state().OnlineState.load(), 0);
    EXPECT_EQ(core->state().TransferInProgress.load(), 0);
    EXPECT_EQ(core->NextTrigger(), RefreshTrigger::Manual);  // the next refresh counts as manual too
    EXPECT_EQ(host.uiRequests.back(), UiCall::RefreshEnabled);
}

// An incomplete FTP site stops only the page: the lookups and the other
// channels go on, the page's line is said, and the online state is not
// reached.
TEST_F(RefreshCycle, IncompleteSiteSkipsOnlyThePage) {
    Start("RefreshIntv=0\nIsLogging=1\nLogFilename=Zelmar.log\n");
    core->EditSettings([](Settings& s) { FtpPageOf(s).ftpPage.RemoteFile.clear(); });
    core->RefreshNow();
    EXPECT_EQ(calls, (std::vector<std::string>{"programs", "wan", "lan", "mail"}));
    EXPECT_TRUE(Logged("Local Settings Needed."));
    EXPECT_NE(zelmar::test::ReadFile(dir / "Zelmar.log").find("Local Settings Needed.\r\n"), std::string::npos);
    EXPECT_EQ(core->state().OnlineState.load(), 0);
}

// With the page off, an incomplete site says nothing, and the online state
// is reached when the WAN address is known.
TEST_F(RefreshCycle, WithThePageOffAKnownWanAddressIsOnline) {
    for (const auto& [address, online] : {std::pair{"203.0.113.7", 1}, std::pair{"N/A", 0}}) {
        wan = address;
        Start("RefreshIntv=0\n", "EnableFTP=0\n");
        core->EditSettings([](Settings& s) { FtpPageOf(s).ftpPage.RemoteFile.clear(); });
        core->ManualRefreshCommand();
        EXPECT_EQ(Count("mail"), 1) << address;
        EXPECT_FALSE(Logged("Local Settings Needed."));
        EXPECT_EQ(core->state().OnlineState.load(), online) << address;
        calls.clear();
    }
}

TEST_F(RefreshCycle, StoredIntervalReplacesAnUnsavedEdit) {
    Start("RefreshIntv=0\n");
    core->EditSettings([](Settings& s) { s.RefreshIntv = 7; });
    core->MarkIntervalEdited();
    core->ini().WriteString("Preferences", "RefreshIntv", "12");
    core->RefreshNow();
    EXPECT_EQ(core->settings().RefreshIntv, 12);
    EXPECT_FALSE(core->IntervalEdited());
    EXPECT_EQ(host.TimerInterval(IDT_TIMER_0), 12min);
    core->ini().WriteString("Preferences", "RefreshIntv", "0");
    core->RefreshNow();
    EXPECT_EQ(host.page.nextRefresh, kNotScheduled);
}

// With the firewall off a refresh leaves its values alone: a later save
// once wrote them back empty, and the user's firewall was lost.
TEST_F(RefreshCycle, ProxyValuesAreKeptWhenProxyIsOff) {
    Start("RefreshIntv=0\nUseProxy=0\nProxyAddress=fw.example\nFTPProxyPort=2121\nHTTPProxyPort=8080\n");
    core->RefreshNow();
    EXPECT_EQ(FtpPageOf(core->settings()).ProxyAddress, "fw.example");
    EXPECT_EQ(FtpPageOf(core->settings()).FTPProxyPort, 2121);
    EXPECT_EQ(FtpPageOf(core->settings()).HTTPProxyPort, "8080");
    EXPECT_EQ(FtpPageOf(core->ChannelSettings()).UseProxy, 0);
}

TEST_F(RefreshCycle, TimerFailuresAreReportedUnlessSuppressed) {
    host.failSetTimer = true;
    Start("RefreshIntv=0\n");
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Unable to obtain timer");
    EXPECT_EQ(host.boxes[0].caption, "IDT_TIMER_0");
    EXPECT_TRUE(host.boxes[0].systemModal);
    EXPECT_EQ(core->firstTickSlot(), 0);

    core->EditSettings([](Settings& s) { s.SuppressError = 1; });
    core->ArmRefreshTimer(5);
    EXPECT_EQ(host.boxes.size(), 1u);
}

TEST_F(RefreshCycle, MinimisedByTheSwitchOrTheSetting) {
    Start("IsMinOnStartup=1\n");
    host.Advance(1ms);
    EXPECT_EQ(host.shownMinimised, std::vector<bool>{true});
}

TEST_F(RefreshCycle, SaveReArmsAndRefreshesWhenTheIntervalWasEdited) {
    Start("RefreshIntv=0\n");
    core->EditSettings([](Settings& s) { s.RefreshIntv = 20; });
    core->MarkIntervalEdited();
    core->SaveSettings();
    EXPECT_EQ(host.workersStarted, 1);
    EXPECT_EQ(host.TimerInterval(IDT_TIMER_0), 20min);
    EXPECT_EQ(core->ini().GetString("Preferences", "RefreshIntv"), "20");
    EXPECT_EQ(core->ini().GetString("Preferences", "TriggerProgramStatusUpdate"), "0");
}

}  // namespace
