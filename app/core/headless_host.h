// HeadlessHost: the front end without a window system. Status lines go to
// stdout in the log's line format, message boxes to stderr (answered with
// their default button), timers and blocking sends run on an EventLoop.
#pragma once

#include <cstdio>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/core/event_loop.h"
#include "app/core/host.h"
#include "app/core/worker_threads.h"

namespace zelmar {

class HeadlessHost : public Host {
public:
    explicit HeadlessHost(std::FILE* out = stdout, std::FILE* err = stderr) : out_(out), err_(err) {}
    ~HeadlessHost() override;

    EventLoop& loop() { return loop_; }

    void SendToMain(const std::function<void()>& fn) override { loop_.Send(fn); }
    void PostToMain(std::function<void()> fn) override {
        if (inlineWorkers_ && loop_.OnLoopThread()) {
            fn();
            return;
        }
        loop_.Post(std::move(fn));
    }
    // A one-shot run has nothing for its main loop to do while its refresh
    // runs: the refresh runs on the main thread itself, so each status line
    // is shown as it comes instead of being handed over and waited for.
    // Posted work (a box nobody waits for) then runs at once too, keeping
    // its place among the lines.
    void RunWorkersInline() { inlineWorkers_ = true; }
    void StartWorker(std::function<void()> fn) override;
    bool SetTimer(int id, std::chrono::milliseconds interval) override;
    // Stopping a timer that is not pending is harmless, not a failure.
    bool KillTimer(int id) override {
        loop_.KillTimer(id);
        return true;
    }
    MbAnswer MessageBox(const MessageBoxRequest& request) override;
    void StatusLine(const StatusMessage& message, const std::string& displayText) override;
    void CloseMainWindow() override { loop_.Quit(); }
    void ShowShutdownWindow(bool visible) override;

    // Waits for every worker started so far.
    void JoinWorkers();

private:
    EventLoop loop_;
    std::FILE* out_;
    std::FILE* err_;
    WorkerThreads workers_;
    bool inlineWorkers_ = false;
};

}  // namespace zelmar
