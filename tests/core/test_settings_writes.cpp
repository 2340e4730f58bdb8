// One logical save is one replacement of "Zelmar.ini": the first run, a save
// and the values a refresh stores are each counted through the replacement
// seam. And the one key table keeps the load, the first run and the save in
// step with each other and with the in-memory defaults.
#include <gtest/gtest.h>

#include <algorithm>

#include <map>
#include <mutex>
#include <unistd.h>
#include <variant>

#include "app/core/atomic_file.h"
#include "app/core/core.h"
#include "app/core/settings.h"
#include "app/publish/ftp_page_settings.h"
#include "tests/support/fake_host.h"
#include "tests/support/pipeline_support.h"
#include "tests/support/peer_process.h"

using namespace zelmar;
using zelmar::test::FakeHost;
using zelmar::test::ReadFile;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;

namespace {

// Counts the replacements of each file while it lives.
class ReplacementCounter {
public:
    ReplacementCounter() {
        AtomicFileSeams seams;
        seams.onReplaced = [this](const std::string& path) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++counts_[path];
        };
        SetAtomicFileSeams(seams);
    }
    ~ReplacementCounter() { SetAtomicFileSeams({}); }
    int operator[](const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        return counts_[path];
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        counts_.clear();
    }

private:
    std::mutex mutex_;
    std::map<std::string, int> counts_;
};

class OneWrite : public ::testing::Test {
protected:
    void SetUp() override { chdir(dir.path().c_str()); }
    void TearDown() override { chdir("/"); }

    // A core whose refresh services store what the real ones store: the
    // program statuses on the main loop, the two addresses on the worker.
    void MakeCore() {
        core = std::make_unique<Core>(host, dir.path(), ini, "k");
        host.onTick = [this](int id) { core->OnTimer(id); };
        RefreshPipeline pipeline;
        pipeline.SetProgramCheck([this](Core& c) {
            c.ini().DeleteSection("ProcessStatuses");
            c.ini().WriteSection("ProcessStatuses", {{"ProcessStatus0", "TRUE" + std::to_string(round)}});
            return false;
        });
        pipeline.SetAddressLookup([this](Core& c) {
            // A value stored earlier in the same refresh is seen.
            EXPECT_EQ(c.ini().GetString("ProcessStatuses", "ProcessStatus0"), "TRUE" + std::to_string(round));
            c.ini().WriteString(kIPAddress, "LastWANIP", "203.0.113." + std::to_string(round));
            c.ini().WriteString(kIPAddress, "LastLANIP", "10.0.0." + std::to_string(round));
            return LookedUpAddresses{};
        });
        // The page's channel, delivered and recorded like the real one.
        pipeline.AddChannelFactory(zelmar::test::OneChannel([](const ChannelContext&) {
            return std::make_unique<zelmar::test::ScriptedChannel>("FTP", nullptr, nullptr, true);
        }));
        core->SetServices(pipeline.Services());
    }

    ScratchDir dir;
    const std::string ini = dir / "Zelmar.ini";
    FakeHost host;
    std::unique_ptr<Core> core;
    ReplacementCounter replaced;
    int round = 1;
};

TEST_F(OneWrite, FirstRunIsOneReplacement) {
    MakeCore();
    core->Initialise(false);
    EXPECT_EQ(replaced[ini], 1);
    EXPECT_NE(ReadFile(ini).find("FTPServer=" + std::string(kPlaceholderFtpServer)), std::string::npos);
    EXPECT_EQ(core->settings().Timeout, 15);
}

TEST_F(OneWrite, RefreshIsOneReplacementWhetherTheWorkerRunsAtOnceOrLater) {
    WriteFile(ini,
              "[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=s\nUserID=u\nPassword=p\n"
              "OnlineFile=on.htm\nOfflineFile=off.htm\nRemoteFile=page.htm\nPort=21\nEnableFTP=1\n"
              "WANIPURL=http://echo.example/ip\nSaveFileASCII=Zelmar.txt\nSaveFileHTML=Zelmar.html\n"
              "[Preferences]\nRefreshIntv=0\n");
    MakeCore();
    core->LoadOrCreateSettings();
    ASSERT_EQ(replaced[ini], 0);

    for (bool inlineWorker : {true, false}) {
        SCOPED_TRACE(inlineWorker ? "worker runs inside the refresh" : "worker runs after it");
        ++round;
        replaced.Reset();
        host.inlineWorkers = inlineWorker;
        core->ManualRefreshCommand();
        if (!inlineWorker) {
            // The statuses wait for the addresses the worker will find.
            EXPECT_EQ(replaced[ini], 0);
            host.RunWorkers();
        }
        EXPECT_EQ(replaced[ini], 1);
        const std::string r = std::to_string(round);
        IniFile check(ini);
        EXPECT_EQ(check.GetString("ProcessStatuses", "ProcessStatus0"), "TRUE" + r);
        EXPECT_EQ(check.GetString(kIPAddress, "LastWANIP"), "203.0.113." + r);
        EXPECT_EQ(check.GetString(kIPAddress, "LastLANIP"), "10.0.0." + r);
    }
}

// A one-shot run (zelmar --once) on a file that lacks the page copy names:
// the load repairs them, and that repair goes out in the refresh's one write
// instead of a write of its own.
TEST_F(OneWrite, OneShotRunRepairsAndStoresInOneReplacement) {
    for (bool inlineWorker : {true, false}) {
        SCOPED_TRACE(inlineWorker ? "worker runs inside the refresh" : "worker runs after it");
        WriteFile(ini,
                  "[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=s\nUserID=u\nPassword=p\n"
                  "OnlineFile=on.htm\nOfflineFile=off.htm\nRemoteFile=page.htm\nPort=21\nEnableFTP=1\n"
                  "WANIPURL=http://echo.example/ip\n[Preferences]\nRefreshIntv=0\n");
        MakeCore();
        replaced.Reset();
        host.inlineWorkers = inlineWorker;
        core->LoadSettingsAndRefresh();
        if (!inlineWorker) {
            EXPECT_EQ(replaced[ini], 0);
            host.RunWorkers();
        }
        EXPECT_EQ(replaced[ini], 1);
        IniFile check(ini);
        EXPECT_EQ(check.GetString(kLocalSettings, "SaveFileASCII"), "Zelmar.txt");
        EXPECT_EQ(check.GetString(kLocalSettings, "SaveFileHTML"), "Zelmar.html");
        EXPECT_EQ(check.GetString(kIPAddress, "LastWANIP"), "203.0.113.1");
        EXPECT_EQ(check.GetString("ProcessStatuses", "ProcessStatus0"), "TRUE1");
        EXPECT_EQ(core->settings().SaveFileHTML, "Zelmar.html");
        core.reset();
    }
}

// A refresh that finds what the last one found writes nothing, although it
// deletes and writes back the statuses' section on the way.
TEST_F(OneWrite, RefreshThatChangesNoByteWritesNothing) {
    WriteFile(ini,
              "[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=s\nUserID=u\nPassword=p\n"
              "OnlineFile=on.htm\nOfflineFile=off.htm\nRemoteFile=page.htm\nPort=21\nEnableFTP=1\n"
              "WANIPURL=http://echo.example/ip\nSaveFileASCII=Zelmar.txt\nSaveFileHTML=Zelmar.html\n"
              "[Preferences]\nRefreshIntv=0\n");
    MakeCore();
    core->LoadOrCreateSettings();
    // The statuses' section moves behind the addresses' at the second
    // refresh and stays there.
    core->ManualRefreshCommand();
    core->ManualRefreshCommand();
    ASSERT_EQ(replaced[ini], 2);
    const std::string before = ReadFile(ini);
    replaced.Reset();
    core->ManualRefreshCommand();
    EXPECT_EQ(replaced[ini], 0);
    EXPECT_EQ(ReadFile(ini), before);
}

TEST_F(OneWrite, SaveIsOneReplacement) {
    MakeCore();
    core->Initialise(false);
    replaced.Reset();
    core->EditSettings([](Settings& s) {
        FtpPageOf(s).ftpPage.SiteName = "Saved Site";
        s.EmailServer = "smtp.example.org";
        s.TriggerProgramStatusUpdate = 1;
    });
    core->SaveSettings();
    EXPECT_EQ(replaced[ini], 1);
    IniFile check(ini);
    EXPECT_EQ(check.GetString(kLocalSettings, "SiteName"), "Saved Site");
    EXPECT_EQ(check.GetString(kPreferences, "EmailServer"), "smtp.example.org");
    EXPECT_EQ(check.GetString(kPreferences, "TriggerProgramStatusUpdate"), "1");

    // Saving what is already on file changes no byte and writes nothing.
    replaced.Reset();
    core->SaveSettings();
    EXPECT_EQ(replaced[ini], 0);
}

TEST_F(OneWrite, SaveDuringARefreshIsOnDiskBeforeTheWorkerRuns) {
    MakeCore();
    core->Initialise(false);
    core->EditSettings([](Settings& s) { FtpPageOf(s).ftpPage.FTPServer = "ftp.example.org"; });
    host.inlineWorkers = false;
    replaced.Reset();
    core->ManualRefreshCommand();
    ASSERT_EQ(host.pendingWorkers.size(), 1u);
    core->EditSettings([](Settings& s) { FtpPageOf(s).ftpPage.SiteName = "Saved Meanwhile"; });
    core->SaveSettings();
    // The save (with the statuses found so far) is written now, not when
    // the worker's lookups end; the worker's addresses follow in one more.
    EXPECT_EQ(replaced[ini], 1);
    EXPECT_EQ(IniFile(ini).GetString(kLocalSettings, "SiteName"), "Saved Meanwhile");
    host.RunWorkers();
    EXPECT_EQ(replaced[ini], 2);
    EXPECT_EQ(IniFile(ini).GetString(kIPAddress, "LastLANIP"), "10.0.0.1");
    EXPECT_EQ(IniFile(ini).GetString(kLocalSettings, "SiteName"), "Saved Meanwhile");
}

// A batch that cannot be committed says so, and the old file stays whole.
TEST_F(OneWrite, BatchOnAReadOnlyFileFailsAtOnceAndKeepsTheFile) {
    WriteFile(ini, "[S]\nk=old\n");
    chmod(ini.c_str(), 0400);
    IniFile file(ini);
    IniBatch batch(file);
    EXPECT_FALSE(file.WriteString("S", "k", "new"));
    EXPECT_TRUE(batch.Commit());  // nothing was accepted, nothing to write
    EXPECT_EQ(ReadFile(ini), "[S]\nk=old\n");
    EXPECT_EQ(replaced[ini], 0);
}

TEST(IniBatches, ReadsSeeTheBatchAndNestedBatchesCommitOnce) {
    ScratchDir dir;
    ReplacementCounter replaced;
    const std::string path = dir / "b.ini";
    IniFile file(path);
    {
        IniBatch outer(file);
        {
            IniBatch inner(file);
            ASSERT_TRUE(file.WriteString("A", "x", "1"));
            EXPECT_EQ(file.GetString("A", "x"), "1");
        }
        EXPECT_EQ(replaced[path], 0);
        ASSERT_TRUE(file.WriteSection("B", {{"y", "2"}}));
        ASSERT_TRUE(file.DeleteSection("A"));
        EXPECT_EQ(file.GetSection("B").size(), 1u);
        EXPECT_EQ(file.GetString("A", "x", "gone"), "gone");
    }
    EXPECT_EQ(replaced[path], 1);
    EXPECT_EQ(ReadFile(path), "[B]\ny=2\n");
}

TEST(IniBatches, ABatchMayOutliveItsFile) {
    // A queued worker that never runs keeps the refresh's batch after the
    // core (and its settings file object) is gone.
    ScratchDir dir;
    ReplacementCounter replaced;
    const std::string path = dir / "o.ini";
    auto file = std::make_unique<IniFile>(path);
    auto batch = std::make_unique<IniBatch>(*file);
    ASSERT_TRUE(file->WriteString("A", "x", "1"));
    file.reset();
    EXPECT_EQ(replaced[path], 1);  // what was pending is written at the file's end
    EXPECT_TRUE(batch->Commit());
    batch.reset();
    EXPECT_EQ(replaced[path], 1);
    EXPECT_EQ(ReadFile(path), "[A]\nx=1\n");
}

// --- the key table ---------------------------------------------------------

std::string ValueOf(const SettingKey& k, Settings& s) {
    return std::visit(
        [](auto* field) -> std::string {
            if constexpr (std::is_same_v<decltype(field), int*>)
                return std::to_string(*field);
            else
                return *field;
        },
        k.field(s));
}

TEST(SettingKeyTable, LoadDefaultsAreTheInMemoryDefaults) {
    // A file with nothing but the server: every other key takes its load
    // default, which must be what a Settings holds before any load.
    ScratchDir dir;
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=f\nWANIPURL=http://mine/\n"
                                  "SaveFileASCII=Zelmar.txt\nSaveFileHTML=Zelmar.html\n"
                                  "[Preferences]\nStartDelimiter=S\nEndDelimiter=E\n");
    IniFile ini(dir / "Zelmar.ini");
    Settings loaded, fresh;
    ASSERT_TRUE(LoadSettings(ini, loaded, "k"));
    for (const SettingKey& k : SettingKeys()) {
        const std::string name = k.key;
        if (name == "FTPServer" || name == "WANIPURL" || name == "StartDelimiter" || name == "EndDelimiter")
            continue;
        EXPECT_EQ(ValueOf(k, loaded), ValueOf(k, fresh)) << name;
        EXPECT_EQ(ValueOf(k, fresh), k.loadDefault) << name;
    }
}

TEST(SettingKeyTable, WhatTheSaveWritesLoadsBackUnchanged) {
    ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    Settings saved;
    int n = 2;
    for (const SettingKey& k : SettingKeys()) {
        std::visit(
            [&](auto* field) {
                // A number within the key's range, as the load keeps it.
                if constexpr (std::is_same_v<decltype(field), int*>)
                    *field = static_cast<int>(std::clamp<long>(n++, k.lowest, k.highest));
                else
                    *field = std::string(k.key) + " value " + std::to_string(n++);
            },
            k.field(saved));
    }
    FtpPageOf(saved).ftpPage.FTPServer = "ftp.example.org";
    saved.RefreshIntv = 45;
    WriteSavedSettings(ini, saved, "k");
    Settings loaded;
    ASSERT_TRUE(LoadSettings(ini, loaded, "k"));
    for (const SettingKey& k : SettingKeys()) {
        if (k.saveOrder == 0) continue;
        EXPECT_EQ(ValueOf(k, loaded), ValueOf(k, saved)) << k.key;
    }
    // Passwords are not on file in clear text.
    EXPECT_EQ(ReadFile(dir / "Zelmar.ini").find("Password value"), std::string::npos);
}

TEST(SettingKeyTable, OrdersAreComplete) {
    // Each order numbers its keys 1..n without gaps or twins, so no key can
    // be dropped or written twice by accident.
    for (int SettingKey::*order : {&SettingKey::firstRunOrder, &SettingKey::saveOrder}) {
        std::vector<int> seen;
        for (const SettingKey& k : SettingKeys())
            if (k.*order > 0) seen.push_back(k.*order);
        std::sort(seen.begin(), seen.end());
        for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], static_cast<int>(i) + 1);
    }
    for (const SettingKey& k : SettingKeys())
        EXPECT_EQ(k.firstRunOrder > 0, k.firstRunValue != nullptr) << k.key;
}

}  // namespace
