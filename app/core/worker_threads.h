// The threads a host runs its workers on (refreshes, publications).
//
// A worker's thread is joined once it has finished, the next time a worker
// starts: a program that runs for months must not keep a thread, and its
// stack, for every refresh it ever made.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zelmar {

class WorkerThreads {
public:
    WorkerThreads() = default;
    ~WorkerThreads() { JoinAll(); }
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Runs fn on a new thread, then finished (on that thread, after fn).
    void Start(std::function<void()> fn, std::function<void()> finished = {});
    // Waits for every worker started so far.
    void JoinAll();
    // Threads not joined yet: the running ones and those finished since the
    // last start.
    std::size_t held() const;

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    mutable std::mutex mutex_;
    std::vector<Worker> workers_;
};

}  // namespace zelmar
