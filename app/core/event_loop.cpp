#include "app/core/event_loop.h"

#include <future>
#include <memory>

namespace zelmar {

EventLoop::EventLoop() : loopThread_(std::this_thread::get_id()) {}

void EventLoop::Post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (quit_) return;
        tasks_.push_back(std::move(fn));
    }
    wake_.notify_all();
}

void EventLoop::Send(const std::function<void()>& fn) {
    if (OnLoopThread()) {
        fn();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (quit_) return;
        // The promise is kept by the task; if the loop stops before running
        // it, the task is destroyed and the waiting sender is released.
        tasks_.push_back([fn, done] {
            fn();
            done->set_value();
        });
    }
    wake_.notify_all();
    try {
        finished.get();
    } catch (const std::future_error&) {
        // broken promise: the loop ended first
    }
}

void EventLoop::SetTimer(int id, std::chrono::milliseconds interval) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timers_[id] = Timer{interval, Clock::now() + interval};
    }
    wake_.notify_all();
}

bool EventLoop::KillTimer(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return timers_.erase(id) > 0;
}

void EventLoop::Quit() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        dropped.swap(tasks_);
    }
    wake_.notify_all();
    // dropped tasks are destroyed here, outside the lock, releasing senders
}

bool EventLoop::stopped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return quit_;
}

void EventLoop::Run(const std::function<void(int)>& onTick) {
    RunUntil(onTick, [] { return false; });
}

void EventLoop::RunUntil(const std::function<void(int)>& onTick, const std::function<bool()>& done) {
    while (!done()) {
        std::function<void()> task;
        int tick = 0;
        bool haveTick = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            for (;;) {
                if (quit_) return;
                if (!tasks_.empty()) {
                    task = std::move(tasks_.front());
                    tasks_.pop_front();
                    break;
                }
                auto next = timers_.end();
                for (auto it = timers_.begin(); it != timers_.end(); ++it)
                    if (next == timers_.end() || it->second.due < next->second.due) next = it;
                const auto now = Clock::now();
                if (next != timers_.end() && next->second.due <= now) {
                    tick = next->first;
                    haveTick = true;
                    next->second.due = now + next->second.interval;
                    break;
                }
                if (next == timers_.end())
                    wake_.wait(lock);
                else
                    wake_.wait_until(lock, next->second.due);
            }
        }
        if (task) task();
        if (haveTick) onTick(tick);
    }
}

}  // namespace zelmar
