#include <gtest/gtest.h>

#include <sys/stat.h>
#include <atomic>
#include <filesystem>
#include <future>
#include <thread>
#include <unistd.h>

#include "app/core/core.h"
#include "app/publish/publishing.h"
#include "tests/support/core_fixture.h"
#include "tests/support/fake_host.h"
#include "tests/support/peer_process.h"
#include "tests/support/pipeline_support.h"

using namespace zelmar;
using zelmar::test::CoreTest;
using zelmar::test::FakeHost;
using zelmar::test::UiCall;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;

namespace {

// The exit procedure on the fake host, with an offline publication that
// only records its runs and ends as the test says.
class ExitProcedure : public CoreTest {
protected:
    void Start(const std::string& preferences, bool completeSite = true) {
        MakeCore(std::string("[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=s\nUserID=u\nPassword=p\n"
                             "OnlineFile=on.htm\nOfflineFile=off.htm\nRemoteFile=") +
                 (completeSite ? "page.htm" : "") + "\nPort=21\nEnableFTP=1\nWANIPURL=http://echo/\n[Preferences]\n" +
                 preferences);
        // The page's own check of its settings.
        RefreshPipeline page;
        page.AddChannelFactory(MakeFtpChannels);
        RefreshServices svc;
        svc.IncompleteSettings = page.Services().IncompleteSettings;
        svc.PublishOffline = [this](Core& c) {
            ++offlineRuns;
            c.PostStatusMessage("530 Login incorrect.");
            if (!offlineSucceeds) return -1;
            if (c.state().ExitAnyway == 0) c.SendExitRequest();
            return 1;
        };
        core->SetServices(svc);
        core->LoadOrCreateSettings();
    }
    void Online(bool transfer = false) {
        core->state().OnlineState = 1;
        core->state().TransferInProgress = transfer ? 1 : 0;
    }

    int offlineRuns = 0;
    bool offlineSucceeds = true;
};

TEST_F(ExitProcedure, SaveQuestionAnswers) {
    Start("IsUpdateOnShut=1\n");
    host.saveEnabled = true;
    host.answers = {MbAnswer::Cancel};
    EXPECT_EQ(core->RequestExit(), ExitOutcome::Stayed);
    EXPECT_EQ(host.closes, 0);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Do you want to save your settings?");
    EXPECT_EQ(host.boxes[0].caption, "Exit Zelmar");
    EXPECT_EQ(host.boxes[0].buttons, MbButtons::YesNoCancel);

    core->EditSettings([](Settings& s) { s.MaxLog = 9; });
    host.answers = {MbAnswer::Yes};
    EXPECT_EQ(core->RequestExit(), ExitOutcome::Closed);  // never online: no offline page
    EXPECT_EQ(core->ini().GetString("Preferences", "MaxLog"), "9");
    EXPECT_EQ(offlineRuns, 0);
    EXPECT_EQ(host.closes, 1);
}

TEST_F(ExitProcedure, NoAnswerDoesNotSave) {
    Start("");
    host.saveEnabled = true;
    core->EditSettings([](Settings& s) { s.MaxLog = 9; });
    host.answers = {MbAnswer::No};
    EXPECT_EQ(core->RequestExit(), ExitOutcome::Closed);
    EXPECT_EQ(core->ini().GetString("Preferences", "MaxLog"), "");
}

TEST_F(ExitProcedure, MiddleOfATransfer) {
    Start("IsUpdateOnShut=1\n");
    Online(true);
    EXPECT_EQ(core->RequestExit(), ExitOutcome::Stayed);  // No is preselected
    EXPECT_EQ(host.boxes.back().text, "You are in the middle of a transfer, are you sure you want to exit?");
    EXPECT_EQ(host.boxes.back().defaultAnswer, MbAnswer::No);
    host.answers = {MbAnswer::Yes};
    EXPECT_EQ(core->RequestExit(), ExitOutcome::Closed);
    EXPECT_EQ(offlineRuns, 0);
}

TEST_F(ExitProcedure, OfflinePageThenTheProgramEndsByItself) {
    Start("IsUpdateOnShut=1\n");
    Online();
    host.inlineWorkers = false;
    EXPECT_EQ(core->RequestExit(), ExitOutcome::PublishingOffline);
    EXPECT_EQ(host.shownMinimised, std::vector<bool>{true});
    EXPECT_EQ(host.closes, 0);
    host.RunWorkers();
    EXPECT_EQ(offlineRuns, 1);
    EXPECT_EQ(host.closes, 1);
    EXPECT_FALSE(core->exitFailed());
}

TEST_F(ExitProcedure, ExitRequestAsksTheSaveQuestionAgain) {
    Start("IsUpdateOnShut=1\n");
    Online();
    host.saveEnabled = true;
    host.answers = {MbAnswer::No, MbAnswer::Cancel};  // Cancel no longer stops the exit
    EXPECT_EQ(core->RequestExit(), ExitOutcome::PublishingOffline);
    EXPECT_EQ(host.boxes.size(), 2u);
    EXPECT_EQ(host.closes, 1);
}

TEST_F(ExitProcedure, OnlyOnlineProgramsPublishOffline) {
    Start("IsUpdateOnShut=1\n");
    EXPECT_EQ(core->RequestExit(), ExitOutcome::Closed);
    EXPECT_EQ(offlineRuns, 0);
    Start("IsUpdateOnShut=0\n");
    Online();
    EXPECT_EQ(core->RequestExit(), ExitOutcome::Closed);
    EXPECT_EQ(offlineRuns, 0);
}

TEST_F(ExitProcedure, IncompleteSiteAsksExitAnyway) {
    Start("IsUpdateOnShut=1\n", false);
    Online();
    host.answers = {MbAnswer::No};
    EXPECT_EQ(core->RequestExit(), ExitOutcome::Stayed);
    EXPECT_EQ(host.lines.back(), "Local Settings Needed.");
    EXPECT_EQ(host.boxes.back().text, "There was an error uploading page. Exit anyway?");
    EXPECT_EQ(host.boxes.back().caption, "Zelmar Error");
    EXPECT_EQ(host.boxes.back().icon, MbIcon::Warning);
    EXPECT_EQ(host.statusPageShown, 1);
    EXPECT_EQ(host.shownMinimised, (std::vector<bool>{true, false}));
    host.answers = {MbAnswer::Yes};
    EXPECT_EQ(core->RequestExit(), ExitOutcome::Closed);
    EXPECT_EQ(core->state().ExitAnyway.load(), 1);
    EXPECT_EQ(offlineRuns, 0);
}

TEST_F(ExitProcedure, FailedOfflinePageClosesWhenNotAskedToNotify) {
    Start("IsUpdateOnShut=1\nNotifyErrorOnShut=0\n");
    Online();
    offlineSucceeds = false;
    EXPECT_EQ(core->RequestExit(), ExitOutcome::PublishingOffline);
    EXPECT_EQ(host.closes, 1);
    EXPECT_TRUE(core->exitFailed());
    EXPECT_EQ(host.lines.back(), "Login incorrect.");  // the failure is shown and logged once more
}

TEST_F(ExitProcedure, FailedOfflinePageAsksWhenNotifyIsOn) {
    Start("IsUpdateOnShut=1\nNotifyErrorOnShut=1\n");
    Online();
    offlineSucceeds = false;
    host.answers = {MbAnswer::No};
    core->RequestExit();
    EXPECT_EQ(host.closes, 0);  // the user stays with the program open
    EXPECT_EQ(host.boxes.back().text, "There was an error uploading page. Exit anyway?");
    host.answers = {MbAnswer::Yes};
    core->RequestExit();
    EXPECT_EQ(host.closes, 1);
    EXPECT_EQ(core->state().ExitAnyway.load(), 1);
}

TEST_F(ExitProcedure, EndOfSession) {
    Start("IsUpdateOnShut=0\n");
    EXPECT_TRUE(core->OnEndSession());
    EXPECT_EQ(offlineRuns, 0);
    Start("IsUpdateOnShut=1\n");  // whatever the online state
    EXPECT_TRUE(core->OnEndSession());
    EXPECT_EQ(offlineRuns, 1);
    offlineSucceeds = false;
    EXPECT_FALSE(core->OnEndSession());
}

TEST_F(ExitProcedure, EndOfSessionDuringARefreshIsRefused) {
    Start("IsUpdateOnShut=1\n");
    host.inlineWorkers = false;
    core->ManualRefreshCommand();  // the worker has not even looked up the addresses yet
    EXPECT_FALSE(core->OnEndSession());
    EXPECT_EQ(offlineRuns, 0);
    host.RunWorkers();
    EXPECT_TRUE(core->OnEndSession());
}

// The session ends while a refresh worker is on its own thread, still inside
// its address look-ups (so before it raises the transfer flag): the offline
// page must wait, as it shares the working files with that worker.
TEST_F(ExitProcedure, EndOfSessionWhileARefreshLooksUpAddresses) {
    Start("IsUpdateOnShut=1\n");
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> inLookup{false};
    std::atomic<int> overlaps{0};
    RefreshPipeline pipeline;
    pipeline.SetAddressLookup([&](Core&) {
        inLookup = true;
        entered.set_value();
        released.wait();
        inLookup = false;
        return LookedUpAddresses{};
    });
    RefreshServices svc = pipeline.Services();
    svc.PublishOffline = [&](Core&) {
        ++offlineRuns;
        if (inLookup) ++overlaps;
        return 1;
    };
    core->SetServices(svc);
    host.inlineWorkers = false;
    core->ManualRefreshCommand();
    std::thread worker([this] { host.RunWorkers(); });
    entered.get_future().wait();
    ASSERT_EQ(core->state().TransferInProgress.load(), 0);
    EXPECT_TRUE(core->WorkerRunning());
    EXPECT_FALSE(core->OnEndSession());
    EXPECT_EQ(offlineRuns, 0);
    release.set_value();
    worker.join();
    EXPECT_FALSE(core->WorkerRunning());
    EXPECT_TRUE(core->OnEndSession());
    EXPECT_EQ(offlineRuns, 1);
    EXPECT_EQ(overlaps.load(), 0);
}

TEST_F(ExitProcedure, ARefreshCutShortByTheExitNeitherMailsNorUploads) {
    Start("EnableMail=1\n");
    std::vector<std::string> steps;
    RefreshPipeline pipeline;
    pipeline.SetAddressLookup([&](Core& c) {
        steps.push_back("lan");
        c.SendClose();  // e.g. the service retired this version
        return LookedUpAddresses{};
    });
    pipeline.AddChannelFactory(zelmar::test::OneChannel([&](const ChannelContext&) {
        return std::make_unique<zelmar::test::ScriptedChannel>("Mail", [&](const RefreshSnapshot&, Reporter&) {
            steps.push_back("mail");
            return DeliveryResult::Success();
        });
    }));
    pipeline.AddChannelFactory(zelmar::test::OneChannel([&](const ChannelContext&) {
        return std::make_unique<zelmar::test::ScriptedChannel>(
            "FTP",
            [&](const RefreshSnapshot&, Reporter&) {
                steps.push_back("upload");
                return DeliveryResult::Success();
            },
            nullptr, true);
    }));
    core->SetServices(pipeline.Services());
    core->EditSettings([](Settings& s) { FtpPageOf(s).EnableFTP = 1; });
    core->ManualRefreshCommand();
    EXPECT_EQ(steps, std::vector<std::string>{"lan"});
    EXPECT_EQ(core->state().TransferInProgress.load(), 0);
    EXPECT_FALSE(core->WorkerRunning());
}

TEST_F(ExitProcedure, UnreadableSettingsFileIsLeftAlone) {
    mkdir((dir / "Zelmar.ini").c_str(), 0700);
    MakeCore();
    core->LoadOrCreateSettings();
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text.rfind("Unable to read the settings file " + (dir / "Zelmar.ini"), 0), 0u);
    EXPECT_NE(host.boxes[0].text.find("The file is left unchanged."), std::string::npos);
    core->RefreshNow();
    EXPECT_EQ(core->state().OnlineState.load(), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Zelmar.ini"));
}

TEST_F(ExitProcedure, CloseRequestFromAWorker) {
    Start("");
    core->SendClose();
    core->SendClose();
    EXPECT_EQ(host.closes, 1);
    core->SendRefreshEnabled(false);
    EXPECT_EQ(host.uiRequests, std::vector<UiCall>{UiCall::RefreshDisabled});
}

}  // namespace
