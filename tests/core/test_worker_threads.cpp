// Worker threads: a finished worker's thread is joined at the next start, so
// a long-running program holds only the threads that still run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/core/worker_threads.h"

using namespace zelmar;

namespace {

TEST(WorkerThreads, FinishedWorkersAreJoinedAtTheNextStart) {
    WorkerThreads workers;
    std::atomic<int> ran{0};
    for (int refresh = 0; refresh < 50; ++refresh) {
        std::atomic<bool> finished{false};
        workers.Start([&] { ++ran; }, [&] { finished = true; });
        for (int i = 0; i < 5000 && !finished; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(finished) << refresh;
        // This one, and at most the one before it (finished since the start).
        EXPECT_LE(workers.held(), 2u) << refresh;
    }
    workers.JoinAll();
    EXPECT_EQ(ran, 50);
    EXPECT_EQ(workers.held(), 0u);
}

TEST(WorkerThreads, RunningWorkersAreKeptAndJoinAllWaitsForThem) {
    WorkerThreads workers;
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> done{0};
    for (int i = 0; i < 3; ++i)
        workers.Start([&] {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return release; });
            ++done;
        });
    EXPECT_EQ(workers.held(), 3u) << "running workers are never joined early";
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> lock(m);
        release = true;
        cv.notify_all();
    });
    workers.JoinAll();
    EXPECT_EQ(done, 3) << "JoinAll returned before the workers ended";
    releaser.join();
}

}  // namespace
