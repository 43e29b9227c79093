#include "platform/linux/GLibAnimator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <vector>

namespace tevra::linux_platform {
namespace {

bool iterateUntil(const std::function<bool()>& done, double seconds = 5) {
    guint tick = g_timeout_add(
        5, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    bool ok = done();
    while (!ok && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        ok = done();
    }
    g_source_remove(tick);
    return ok;
}

TEST(GLibAnimator, StepsRiseToExactlyOneThenCompletesFinished) {
    GLibAnimator animator;
    std::vector<double> steps;
    std::vector<bool> completions;
    animator.animate(
        0.1, [&](double t) { steps.push_back(t); }, [&](bool f) { completions.push_back(f); });
    EXPECT_TRUE(steps.empty()) << "nothing runs inside animate()";
    ASSERT_TRUE(iterateUntil([&] { return !completions.empty(); }));
    EXPECT_EQ(completions, std::vector<bool>{true});
    ASSERT_GE(steps.size(), 2u);
    EXPECT_EQ(steps.back(), 1.0);
    for (size_t i = 1; i < steps.size(); ++i) EXPECT_GE(steps[i], steps[i - 1]);
    EXPECT_EQ(animator.runningCount(), 0u);
}

TEST(GLibAnimator, ZeroDurationEndsOnTheNextIterationAndCancelEndsUnfinished) {
    GLibAnimator animator;
    std::vector<std::string> order;
    animator.animate(
        0, [&](double t) { order.push_back("step " + std::to_string(t)); },
        [&](bool f) { order.push_back(f ? "done" : "cancelled"); });
    EXPECT_TRUE(order.empty());
    ASSERT_TRUE(iterateUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<std::string>{"step 1.000000", "done"}));

    order.clear();
    animator.animate(
        10,
        [&](double t) {
            if (t == 1.0) order.push_back("end");
        },
        [&](bool f) { order.push_back(f ? "done" : "cancelled"); });
    animator.cancelAll();
    EXPECT_EQ(order, (std::vector<std::string>{"end", "cancelled"}));
}

TEST(GLibAnimator, DestroyingTheAnimatorDropsRunningAnimations) {
    bool called = false;
    {
        GLibAnimator animator;
        animator.animate(0.05, nullptr, [&](bool) { called = true; });
    }
    iterateUntil([] { return false; }, 0.2);
    EXPECT_FALSE(called);
}

TEST(GLibAnimator, ACompletionMayDestroyTheAnimator) {
    auto* animator = new GLibAnimator;
    bool done = false;
    animator->animate(0, nullptr, [&](bool) {
        delete animator;
        done = true;
    });
    EXPECT_TRUE(iterateUntil([&] { return done; }));
}

}  // namespace
}  // namespace tevra::linux_platform
