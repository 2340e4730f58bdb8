// Core: the program without its window. It owns the settings in memory, the
// shared flags, the program status table and the Status page's fields; it runs the refresh cycle (timer, RefreshNow, the PublishOnline
// worker) and the one road of status messages into the display and the log.
//
// Threads: everything here runs on the main loop except PublishOnline and the
// services it calls, which run on the worker. The worker reaches the main
// loop only through PostStatusMessage and the Send* requests, which block until
// the main loop has handled them, so the main loop must never wait for the
// worker.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/core/host.h"
#include "app/core/ini_file.h"
#include "app/core/messages.h"
#include "app/core/refresh_start.h"
#include "app/core/secret_store.h"
#include "app/core/settings.h"
#include "app/core/shared_state.h"

namespace zelmar {

class Core;

// What a refresh runs, supplied by the composition root (app/composition_root.h)
// from the refresh pipeline. Each is optional: without Refresh a refresh
// reports that publishing is not available.
struct RefreshServices {
    // Main loop, before the worker starts: looks at the watched programs;
    // true when one of them changed.
    std::function<bool(Core&)> CheckProgramStatuses;
    // The worker's whole refresh: look up, deliver, record, end online or
    // not (EndUpload or FinishOnline). storeBatch is let go of once the
    // refresh has stored what it stores; start is what the main loop let it
    // through with.
    std::function<void(Core&, std::shared_ptr<IniBatch> storeBatch, RefreshStart start)> Refresh;
    // The whole exit publication: 1 on success, -1 otherwise. On success it
    // sends the exit request itself unless ExitAnyway is set.
    std::function<int(Core&)> PublishOffline;
    // One line for each enabled channel that decides the online state but
    // lacks settings it needs (the core knows no channel's keys).
    std::function<std::vector<StatusMessage>(Core&)> IncompleteSettings;
    // The longest a refresh or the exit publication may take with the
    // settings of this moment: its lookups and every enabled channel's
    // deadline.
    std::function<std::chrono::seconds(Core&)> TimeBudget;
};

enum class ExitOutcome { Stayed, Closed, PublishingOffline };

inline constexpr const char* kNotScheduled = MessageText(Msg::NotScheduled);

class Core {
public:
    Core(Host& host, std::string startDirectory, std::string settingsFile, std::string scrambleKey);
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // Start-up of the main window: load the settings (a first run writes the
    // defaults and loads again), forget an owed manual refresh, arm the
    // first tick.
    // startMinimised is the "-I" switch.
    void Initialise(bool startMinimised);

    // Loads the settings, writing the first-run defaults when needed.
    void LoadOrCreateSettings();

    void SetServices(RefreshServices services) { services_ = std::move(services); }
    const RefreshServices& services() const { return services_; }

    // --- refresh cycle (main loop) ---
    void OnTimer(int id);
    void ArmRefreshTimer(int minutes);
    void RefreshNow();
    // The "&Refresh" command: a manual refresh.
    void ManualRefreshCommand();
    // The trigger the next refresh gets: manual while a manual refresh has
    // not ended online, then the start-up refresh until its online channel
    // was tried, else the timer's.
    RefreshTrigger NextTrigger() const;
    // The start-up refresh is due ("IsUpdateOnStart"): the next refreshes
    // count as such until the channel that decides the online state was
    // tried.
    void OweStartupRefresh() { startupOwed_ = true; }
    // From a worker: the channel that decides the online state was tried,
    // so the start-up refresh's forced delivery is done.
    void SendOnlineChannelTried();
    // The longest a refresh may take with the settings of this moment (see
    // RefreshServices::TimeBudget); without the services, one "Timeout".
    std::chrono::seconds RefreshBudget();
    // A one-shot run: loads the settings and starts a refresh, a manual one
    // (everything delivered) or one as the timer starts it. What
    // the load repairs in the file (a missing page copy name) reaches it in
    // the same write as what the refresh stores. A first run's defaults are
    // still written at once, as their own save.
    void LoadSettingsAndRefresh(bool manual = true);
    // Before the exit's publication: true when every enabled channel that
    // decides the online state has the settings it needs; otherwise each
    // one's line has been shown and logged. A refresh never stops here: it
    // runs every channel, and one that lacks settings says so and is skipped.
    bool CheckLocalSettings();
    // The Advanced Options page accepted a new interval.
    void MarkIntervalEdited() { intervalEdited_ = true; }
    bool IntervalEdited() const { return intervalEdited_; }

    // --- worker ---
    // storeBatch, when given, is let go of as soon as the addresses are
    // stored, so the refresh's values reach the settings file in one write.
    void PublishOnline(std::shared_ptr<IniBatch> storeBatch = nullptr, RefreshStart start = {});
    // Ends an upload: clears TransferInProgress and enables "&Refresh"; on
    // success also sets OnlineState and posts the online notice with the
    // addresses the refresh found. trigger: what the refresh was let through
    // with.
    void EndUpload(bool success, const AddressSet& found = {}, RefreshTrigger trigger = RefreshTrigger::Timer);
    // Finish online without an upload.
    void FinishOnline(const AddressSet& found = {}, RefreshTrigger trigger = RefreshTrigger::Timer);
    // True while a worker (a refresh or the exit publication) has not ended.
    bool WorkerRunning() const { return workersRunning_.load() > 0; }

    // --- messages (any thread) ---
    void PostStatusMessage(StatusMessage message);
    // A message given in its line form ("P10002 Successfully changed
    // folder.", a server's reply as its client keeps it): read once, here.
    void PostStatusMessage(const std::string& line) { PostStatusMessage(StatusMessage::FromLine(line)); }
    void PostStatusMessage(const char* line) { PostStatusMessage(std::string(line)); }
    // Requests the window carries out, sent to the main loop and awaited.
    void SendRefreshEnabled(bool enabled);
    void SendShutdownWindow(bool visible);
    void SendRestoreMainWindow();
    // Closes the main window from a worker (e.g. the service retired this
    // version).
    void SendClose();
    // The exit publication failed: its failure handler runs on the main loop.
    void SendExitPublicationFailed();
    void SendExitRequest();

    // --- exit (main loop) ---
    // The exit command ("E&xit", "&Shutdown", a signal): save question,
    // transfer question, and the offline publication when it is due.
    ExitOutcome RequestExit();
    // The offline publication has finished.
    void OnExitRequest();
    // The exit publication failed.
    void OnExitPublicationFailed();
    // The session ends: publish offline here and now when configured;
    // returns whether the session may end.
    bool OnEndSession();
    // Closes the main window; the main loop then ends.
    void Close();
    bool closed() const { return closed_.load(); }
    // True when the program closes after a failed exit publication.
    bool exitFailed() const { return exitFailed_; }

    // --- main loop ---
    // A status line has arrived: display and log it, then take the pages'
    // edits.
    void HandleStatusMessage(const StatusMessage& message);
    // Display-and-log steps for one message, without CommitPageEdits. The
    // online notice shows the addresses of statusPage().
    void DisplayAndLog(const StatusMessage& message);
    // A refresh (not the exit's) has ended; wanFailed: it got no WAN address
    // or the network looked down. Told to the listener, and kept for one set
    // later: a success sticks.
    void RefreshVerdict(bool wanFailed);
    void SetRefreshVerdictListener(std::function<void(bool wanFailed)> listener);
    // The verdict so far: none yet, a failure, or a success.
    std::optional<bool> refreshVerdict() const { return verdict_; }
    void SaveSettings();
    // The edits of the pages a refresh takes at once (not waiting for a
    // save) become the values the channels work with.
    void CommitPageEdits();
    // Keeps the settings as a refresh is let through: what a channel family
    // keeps from its start (KeepFromRefreshStart) comes from these.
    void PinRefreshSettings();
    // The settings a channel of the running refresh is built from: the
    // current ones, with what the refresh keeps from its start.
    Settings ChannelSettings() const;
    // A message box, from any thread: boxes belong to the main loop, so a
    // worker waits there until the user has closed it.
    MbAnswer MessageBox(const MessageBoxRequest& request);
    // A message box that "SuppressError" = 1 suppresses (returns the default).
    MbAnswer ErrorBox(const MessageBoxRequest& request);

    // --- data ---
    Settings settings() const {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        return settings_;
    }
    template <class F>
    void EditSettings(F&& edit) {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        edit(settings_);
    }
    SharedState& state() { return state_; }
    IniFile& ini() { return ini_; }
    Host& host() { return host_; }
    const std::string& startDirectory() const { return startDirectory_; }
    const std::string& scrambleKey() const { return scrambleKey_; }
    // Where the passwords are kept: the desktop keyring or the settings file.
    SecretStore& secrets() { return secrets_; }
    const StatusPage& statusPage() const { return page_; }
    // What the Status page and the online notice show, as a finished
    // refresh hands it to the main loop.
    void ShowAddresses(const AddressSet& found) { page_.addresses = found; }
    bool startMinimised() const { return startMinimised_; }

    std::vector<ProgramStatusEntry> programTable() const {
        std::lock_guard<std::mutex> lock(tableMutex_);
        return programs_;
    }
    void setProgramTable(std::vector<ProgramStatusEntry> table) {
        std::lock_guard<std::mutex> lock(tableMutex_);
        programs_ = std::move(table);
    }

    // Timer slots (IDT_TIMER_0 when armed, 0 when not), for tests.
    int firstTickSlot() const { return firstTickSlot_; }
    int startupDelaySlot() const { return startupDelaySlot_; }
    int refreshSlot() const { return refreshSlot_; }

private:
    int ArmTimer(long long ms);
    void StopTimer(int slot);
    void PagesChanged();
    void StartCountedWorker(std::function<void()> work);
    // Main loop: a refresh ended online; shows its addresses, the refresh
    // times and the online notice.
    void ShowOnline(const AddressSet& found, RefreshTrigger trigger);
    // DisplayAndLog; keepNextRefresh: the online notice of a manual refresh
    // leaves the next refresh time as it is.
    void Show(const StatusMessage& message, bool keepNextRefresh);
    bool AskExitAnyway();

    Host& host_;
    std::string startDirectory_;
    IniFile ini_;
    std::string scrambleKey_;
    SecretStore secrets_;

    mutable std::mutex settingsMutex_;
    // Guarded by settingsMutex_.
    Settings refreshStart_;
    Settings settings_;
    SharedState state_;
    StatusPage page_;
    mutable std::mutex tableMutex_;
    std::vector<ProgramStatusEntry> programs_;
    RefreshServices services_;

    bool startMinimised_ = false;
    // Read by the worker, which stops early once the window is gone.
    std::atomic<bool> closed_{false};
    bool exitFailed_ = false;
    bool intervalEdited_ = false;
    bool keyringRunFresh_ = false;
    int firstTickSlot_ = 0;
    int startupDelaySlot_ = 0;
    int refreshSlot_ = 0;
    std::atomic<int> workersRunning_{0};
    // Main loop: the last status line (an exit that failed shows it again).
    StatusMessage lastMessage_;
    std::optional<bool> verdict_;
    std::function<void(bool)> verdictListener_;
    // Main loop only. A manual refresh that has not ended online makes the
    // next refresh a manual one too; the start-up refresh stays owed until
    // its online channel was tried.
    bool manualOwed_ = false;
    bool startupOwed_ = false;
};

}  // namespace zelmar
