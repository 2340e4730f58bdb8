// EventLoop: the main loop of the window-less front ends. It runs posted
// tasks and timer ticks one at a time on the thread that calls Run, which
// plays the part of the window thread: blocking sends from workers wait here
// until the loop has run them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace zelmar {

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    // The thread that constructs the loop is its main thread.
    EventLoop();

    // Queues fn and returns at once.
    void Post(std::function<void()> fn);

    // Runs fn on the loop and waits until it has run. On the loop's own
    // thread fn runs at once. Once the loop has stopped, fn is dropped and
    // the call returns without waiting (a send to a closed window).
    void Send(const std::function<void()>& fn);

    // Periodic timer per identifier; setting it again replaces it.
    void SetTimer(int id, std::chrono::milliseconds interval);
    bool KillTimer(int id);

    // Runs until Quit, calling onTick(id) for each due timer.
    void Run(const std::function<void(int)>& onTick);
    // Runs until done() is true (checked after every task and tick) or Quit.
    void RunUntil(const std::function<void(int)>& onTick, const std::function<bool()>& done);
    void Quit();
    bool stopped() const;

    bool OnLoopThread() const { return std::this_thread::get_id() == loopThread_; }

private:
    struct Timer {
        std::chrono::milliseconds interval;
        Clock::time_point due;
    };
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::map<int, Timer> timers_;
    bool quit_ = false;
    std::thread::id loopThread_;
};

}  // namespace zelmar
