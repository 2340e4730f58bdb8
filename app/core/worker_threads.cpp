#include "app/core/worker_threads.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace zelmar {

void WorkerThreads::Start(std::function<void()> fn, std::function<void()> finished) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back({std::thread([done, fn = std::move(fn), finished = std::move(finished)] {
                            fn();
#if defined(__GLIBC__)
                            // A refresh leaves freed memory in this thread's
                            // arena that the program, asleep until the next
                            // one, has no use for: give it back.
                            malloc_trim(0);
#endif
                            done->store(true);
                            if (finished) finished();
                        }),
                        done});
}

void WorkerThreads::JoinAll() {
    std::vector<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& w : workers)
        if (w.thread.joinable()) w.thread.join();
}

std::size_t WorkerThreads::held() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_.size();
}

}  // namespace zelmar
