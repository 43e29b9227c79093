// The main-thread check: a call from another thread stops the program with
// one line naming the function and the thread; without a dispatch to ask it
// lets everything through.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <thread>

#include "platform/ThreadCheck.h"
#include "platform/fake/FakePlatform.h"

namespace tevra {
namespace {

void onWorker(const char* function) {
    std::thread worker([function] {
        pthread_setname_np(pthread_self(), "check-worker");
        assertMainThread(function);
    });
    worker.join();
}

TEST(ThreadCheckDeathTest, AnOffMainThreadCallAbortsNamingFunctionAndThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto fake = fake::FakePlatform::install();
    assertMainThread("void tevra::Sample::entry()");  // on the main thread: passes

    EXPECT_DEATH(
        onWorker("void tevra::Sample::entry()"),
        "Main-thread check failed: void tevra::Sample::entry\\(\\) called on thread [0-9]+ \\(check-worker\\)");
    EXPECT_EXIT(
        {
            installPlatform(std::make_shared<Platform>());  // no dispatch
            onWorker("void tevra::Sample::entry()");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tevra
