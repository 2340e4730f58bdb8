// FakeHost: a deterministic Host for tests. Blocking sends run at once on the
// calling thread, workers run inline (or wait in a queue until the test runs
// them), timers run on a virtual clock that only Advance moves, and message
// boxes are recorded and answered from a script.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/core/host.h"

namespace zelmar::test {

// The requests a window carries out itself, as the fake host records them.
enum class UiCall { RefreshEnabled, RefreshDisabled, ShutdownWindowShown, ShutdownWindowHidden, MainWindowRestored };

class FakeHost : public Host {
public:
    // Set by the test: the tick handler (usually Core::OnTimer).
    std::function<void(int)> onTick;

    // Workers run inline when true; otherwise they queue until RunWorkers.
    bool inlineWorkers = true;

    // --- Host ---
    void SendToMain(const std::function<void()>& fn) override {
        std::lock_guard<std::recursive_mutex> lock(mainMutex_);
        fn();
    }
    void StartWorker(std::function<void()> fn) override {
        ++workersStarted;
        if (inlineWorkers)
            fn();
        else
            pendingWorkers.push_back(std::move(fn));
    }
    bool SetTimer(int id, std::chrono::milliseconds interval) override {
        timerCalls.push_back({id, interval});
        if (failSetTimer) return false;
        timers_[id] = Timer{interval, now_ + interval};
        return true;
    }
    bool KillTimer(int id) override {
        if (failKillTimer) return false;
        timers_.erase(id);
        return true;
    }
    MbAnswer MessageBox(const MessageBoxRequest& r) override {
        boxes.push_back(r);
        if (!answers.empty()) {
            MbAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        return r.defaultAnswer;
    }
    void StatusLine(const StatusMessage& message, const std::string& text) override {
        messages.push_back(message);
        lines.push_back(text);
    }
    void StatusPageChanged(const StatusPage& p) override { page = p; }
    bool StatusPageExists() const override { return statusPageExists; }
    void SetTrayOnline(bool online) override { trayOnline.push_back(online); }
    void SetRefreshEnabled(bool enabled) override {
        uiRequests.push_back(enabled ? UiCall::RefreshEnabled : UiCall::RefreshDisabled);
    }
    void ShowShutdownWindow(bool visible) override {
        uiRequests.push_back(visible ? UiCall::ShutdownWindowShown : UiCall::ShutdownWindowHidden);
    }
    void RestoreMainWindow() override { uiRequests.push_back(UiCall::MainWindowRestored); }
    void CloseMainWindow() override { ++closes; }
    void ShowMainWindow(bool minimised) override { shownMinimised.push_back(minimised); }
    void ShowStatusPage() override { ++statusPageShown; }
    bool SaveEnabled() const override { return saveEnabled; }
    Clock::time_point Now() const override { return wallStart + now_; }

    // --- virtual time ---
    // Moves the clock on by d, firing due timers in order (each repeats at
    // its interval until killed or replaced).
    void Advance(std::chrono::milliseconds d) {
        const auto end = now_ + d;
        for (int guard = 0; guard < 100000; ++guard) {
            auto next = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it)
                if (next == timers_.end() || it->second.due < next->second.due) next = it;
            if (next == timers_.end() || next->second.due > end) break;
            now_ = next->second.due;
            const int id = next->first;
            next->second.due = now_ + std::max(next->second.interval, std::chrono::milliseconds(1));
            if (onTick) onTick(id);
        }
        now_ = end;
    }
    bool TimerPending(int id) const { return timers_.count(id) != 0; }
    std::chrono::milliseconds TimerInterval(int id) const { return timers_.at(id).interval; }

    void RunWorkers() {
        while (!pendingWorkers.empty()) {
            auto fn = std::move(pendingWorkers.front());
            pendingWorkers.pop_front();
            fn();
        }
    }

    // --- recordings and knobs ---
    Clock::time_point wallStart = Clock::from_time_t(1700000000);  // fixed start of virtual time
    std::vector<MessageBoxRequest> boxes;
    std::deque<MbAnswer> answers;
    std::vector<std::string> lines;      // the displayed (logged) texts
    std::vector<StatusMessage> messages;  // the messages they came from
    std::vector<UiCall> uiRequests;
    std::vector<bool> trayOnline;
    std::vector<bool> shownMinimised;
    std::vector<std::pair<int, std::chrono::milliseconds>> timerCalls;
    std::deque<std::function<void()>> pendingWorkers;
    StatusPage page;
    bool statusPageExists = false;
    bool failSetTimer = false;
    bool failKillTimer = false;
    int closes = 0;
    int statusPageShown = 0;
    bool saveEnabled = false;
    int workersStarted = 0;

private:
    struct Timer {
        std::chrono::milliseconds interval;
        std::chrono::milliseconds due;
    };
    std::chrono::milliseconds now_{0};
    std::map<int, Timer> timers_;
    std::recursive_mutex mainMutex_;
};

}  // namespace zelmar::test
