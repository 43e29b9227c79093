#include "platform/linux/GLibDispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using tevra::linux_platform::GLibDispatch;

namespace {

// Runs the default main context until `done` holds or `seconds` pass.
template <typename Pred>
bool runLoopUntil(Pred done, double seconds = 5) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void runLoopFor(double seconds) {
    runLoopUntil([] { return false; }, seconds);
}

}  // namespace

TEST(GLibDispatch, MainQueueRunsInSubmissionOrderOnTheMainThreadNeverInline) {
    GLibDispatch dispatch;
    std::vector<int> seen;
    bool allOnMain = true;
    for (int i = 0; i < 1000; ++i) {
        dispatch.main().async([&, i] {
            seen.push_back(i);
            allOnMain = allOnMain && dispatch.isMainThread();
            // Work queued while a batch runs goes after everything queued before it.
            if (i == 10) dispatch.main().async([&] { seen.push_back(1000); });
        });
    }
    EXPECT_TRUE(seen.empty());
    ASSERT_TRUE(runLoopUntil([&] { return seen.size() == 1001; }));
    for (int i = 0; i <= 1000; ++i) ASSERT_EQ(seen[i], i);
    EXPECT_TRUE(allOnMain);
}

TEST(GLibDispatch, PostsFromOtherThreadsArriveOnMainInEachThreadsOrder) {
    GLibDispatch dispatch;
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::pair<int, int>> seen;
    bool allOnMain = true;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            EXPECT_FALSE(dispatch.isMainThread());
            for (int i = 0; i < kEach; ++i)
                dispatch.main().async([&, t, i] {
                    seen.emplace_back(t, i);
                    allOnMain = allOnMain && dispatch.isMainThread();
                });
        });
    }
    bool complete = runLoopUntil([&] { return seen.size() == kThreads * kEach; });
    for (auto& th : threads) th.join();
    ASSERT_TRUE(complete);
    std::vector<int> next(kThreads, 0);
    for (auto [t, i] : seen) ASSERT_EQ(i, next[t]++);
    EXPECT_TRUE(allOnMain);
}

TEST(GLibDispatch, GlobalQueueRunsConcurrentlyOffTheMainThreadAndHopsBack) {
    GLibDispatch dispatch;
    EXPECT_GE(dispatch.workerCount(), 2u);
    EXPECT_LE(dispatch.workerCount(), 4u);
    // Two items that can only both finish if they run at the same time.
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    std::atomic<int> together{0};
    std::atomic<bool> onMain{false};
    std::atomic<int> backOnMain{0};
    for (int k = 0; k < 2; ++k) {
        dispatch.globalHighPriority().async([&] {
            onMain = onMain || dispatch.isMainThread();
            std::unique_lock<std::mutex> lock(m);
            ++arrived;
            cv.notify_all();
            if (cv.wait_for(lock, std::chrono::seconds(5), [&] { return arrived == 2; })) ++together;
            dispatch.main().async([&] { backOnMain += dispatch.isMainThread() ? 1 : 100; });
        });
    }
    ASSERT_TRUE(runLoopUntil([&] { return backOnMain.load() >= 2; }, 10));
    EXPECT_EQ(together.load(), 2);
    EXPECT_FALSE(onMain.load());
    EXPECT_EQ(backOnMain.load(), 2);
}

TEST(GLibDispatch, RepeatingTimerTicksUntilInvalidated) {
    GLibDispatch dispatch;
    int ticks = 0;
    std::shared_ptr<tevra::Timer> timer;
    timer = dispatch.scheduleRepeatingTimer(0.01, [&] {
        EXPECT_TRUE(dispatch.isMainThread());
        if (++ticks == 3) timer->invalidate();
    });
    EXPECT_TRUE(timer->isValid());
    ASSERT_TRUE(runLoopUntil([&] { return ticks == 3; }));
    EXPECT_FALSE(timer->isValid());
    runLoopFor(0.1);
    EXPECT_EQ(ticks, 3);
    timer->invalidate();  // twice is harmless
}

TEST(GLibDispatch, DestructionStopsTimersAndDropsUnrunMainWork) {
    int ticks = 0;
    bool mainRan = false;
    std::shared_ptr<tevra::Timer> survivor;
    {
        GLibDispatch dispatch;
        // A timer whose handle is dropped keeps ticking, like a run loop's.
        dispatch.scheduleRepeatingTimer(0.01, [&] { ++ticks; });
        survivor = dispatch.scheduleRepeatingTimer(0.01, [] {});
        ASSERT_TRUE(runLoopUntil([&] { return ticks >= 2; }));
        dispatch.main().async([&] { mainRan = true; });
    }
    int atDestruction = ticks;
    runLoopFor(0.1);
    EXPECT_EQ(ticks, atDestruction);
    EXPECT_FALSE(mainRan);
    EXPECT_FALSE(survivor->isValid());
    survivor->invalidate();
}

TEST(GLibDispatch, ShutdownRunsQueuedWorkerItemsAndJoins) {
    std::atomic<int> ran{0};
    auto start = std::chrono::steady_clock::now();
    {
        GLibDispatch dispatch(2);
        for (int i = 0; i < 100; ++i)
            dispatch.globalHighPriority().async([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                ++ran;
            });
    }
    EXPECT_EQ(ran.load(), 100);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
}
