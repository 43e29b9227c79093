#include "base/WorkerPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using tevra::WorkerPool;
using namespace std::chrono_literals;

namespace {

// Counts down to zero; waits are bounded.
struct Latch {
    std::mutex m;
    std::condition_variable cv;
    int left;
    explicit Latch(int n) : left(n) {}
    void arrive() {
        std::lock_guard<std::mutex> lock(m);
        --left;
        cv.notify_all();
    }
    bool wait(std::chrono::seconds bound = 10s) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, bound, [&] { return left <= 0; });
    }
};

}  // namespace

TEST(WorkerPool, ABurstRunsEveryJobOnceOnAtMostItsThreadsAndTheyRunSideBySide) {
    WorkerPool pool(3);
    // Three jobs that each wait for all three to be running: they finish
    // only if the pool really runs three at once.
    Latch together(3), finished(3);
    for (int i = 0; i < 3; ++i) {
        pool.post([&] {
            together.arrive();
            together.wait();
            finished.arrive();
        });
    }
    ASSERT_TRUE(finished.wait());

    constexpr int kJobs = 1000;
    std::vector<std::atomic<int>> runs(kJobs);
    std::mutex m;
    std::set<std::thread::id> threads;
    Latch all(kJobs);
    for (int i = 0; i < kJobs; ++i) {
        pool.post([&, i] {
            runs[static_cast<size_t>(i)]++;
            {
                std::lock_guard<std::mutex> lock(m);
                threads.insert(std::this_thread::get_id());
            }
            all.arrive();
        });
    }
    ASSERT_TRUE(all.wait());
    for (auto& r : runs) EXPECT_EQ(r.load(), 1);
    EXPECT_LE(threads.size(), 3u);
    EXPECT_EQ(pool.peakThreadCount(), 3u);
    EXPECT_LE(pool.threadCount(), 3u);
}

TEST(WorkerPool, ShutdownRunsWhatWasQueuedAndLaterJobsRunAtOnce) {
    std::atomic<int> ran{0};
    {
        WorkerPool pool(1);
        Latch started(1);
        std::atomic<bool> release{false};
        pool.post([&] {
            started.arrive();
            while (!release) std::this_thread::sleep_for(1ms);
            ++ran;
        });
        ASSERT_TRUE(started.wait());
        for (int i = 0; i < 20; ++i) pool.post([&] { ++ran; });
        std::thread releaser([&] {
            std::this_thread::sleep_for(20ms);
            release = true;
        });
        pool.shutdown();
        releaser.join();
        EXPECT_EQ(ran.load(), 21);
        EXPECT_EQ(pool.threadCount(), 0u);
        const auto caller = std::this_thread::get_id();
        std::thread::id ranOn;
        pool.post([&] { ranOn = std::this_thread::get_id(); });
        EXPECT_EQ(ranOn, caller);
    }
}

TEST(WorkerPool, DestroyedFromItsOwnJobTheQueueStillRuns) {
    auto pool = std::make_shared<std::unique_ptr<WorkerPool>>(std::make_unique<WorkerPool>(1));
    Latch go(1), after(5);
    std::atomic<bool> destroyed{false};
    (*pool)->post([pool, &go, &destroyed] {
        go.wait();
        pool->reset();  // the pool's destructor, on its own thread
        destroyed = true;
    });
    for (int i = 0; i < 5; ++i) (*pool)->post([&] { after.arrive(); });
    go.arrive();
    EXPECT_TRUE(after.wait());
    EXPECT_TRUE(destroyed);
}
