#include "feedback/ProgressView.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "feedback/NavigationView.h"
#include "platform/fake/FakeAnimator.h"

namespace tevra {
namespace {

using fake::FakeAnimator;

class RecordingNotifier : public AccessibilityNotifier {
public:
    void postLayoutChangedNotification(const View* focusElement) override { posts.push_back(focusElement); }
    std::vector<const View*> posts;
};

struct Bar {
    std::shared_ptr<FakeAnimator> animator = std::make_shared<FakeAnimator>(FakeAnimator::Mode::Manual);
    std::shared_ptr<RecordingNotifier> notes = std::make_shared<RecordingNotifier>();
    ProgressView view{Rect{0, 0, 375, 3}, animator, notes};
};

TEST(ProgressViewArithmetic, FillWidthIsTheCeilingOfTheProduct) {
    EXPECT_EQ(progressFillFrame(0.001f, {0, 0, 375, 3}), (Rect{0, 0, 1, 3}));
    EXPECT_EQ(progressFillFrame(0.0f, {0, 0, 375, 3}), (Rect{0, 0, 0, 3}));
    EXPECT_EQ(progressFillFrame(0.5f, {0, 0, 375, 3}), (Rect{0, 0, 188, 3}));
    EXPECT_EQ(progressFillFrame(1.0f, {0, 0, 375, 3}), (Rect{0, 0, 375, 3}));
    EXPECT_EQ(progressBackgroundFrame(true, {0, 0, 375, 3}), (Rect{0, 3, 375, 0}));
    EXPECT_EQ(progressBackgroundFrame(false, {0, 0, 375, 3}), (Rect{0, 0, 375, 3}));
    EXPECT_EQ(interpolateFrame({0, 0, 0, 4}, {0, 0, 100, 0}, 0.25), (Rect{0, 0, 25, 3}));
    EXPECT_EQ(interpolateFrame({0, 0, 0.1, 4}, {0, 0, 0.3, 0}, 1.0), (Rect{0, 0, 0.3, 0}));
}

TEST(ProgressViewValue, PlainSetterClampsAndLaysOut) {
    Bar b;
    b.view.setProgressValue(1.7f);
    EXPECT_EQ(b.view.progressValue(), 1.0f);
    EXPECT_EQ(b.view.progressFillView()->frame(), (Rect{0, 0, 375, 3}));
    b.view.setProgressValue(-0.2f);
    EXPECT_EQ(b.view.progressValue(), 0.0f);
    EXPECT_EQ(b.view.progressFillView()->frame().width, 0);
    b.view.setProgressValue(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(b.view.progressValue(), 1.0f);
    b.view.setProgressValue(0.001f);
    EXPECT_EQ(b.view.progressFillView()->frame(), (Rect{0, 0, 1, 3}));
    EXPECT_EQ(b.animator->requestCount(), 0u) << "the plain setter never animates";
}

TEST(ProgressViewValue, InitialState) {
    Bar b;
    EXPECT_EQ(b.view.progressValue(), 0.0f);
    EXPECT_EQ(b.view.animationDuration(), 0.25);
    EXPECT_EQ(b.view.autoresizingMask(), 10u);
    EXPECT_TRUE(b.view.clipsToBounds());
    EXPECT_TRUE(b.view.isAccessibilityElement());
    EXPECT_EQ(b.view.backgroundColor(), Color::clear());
    ASSERT_EQ(b.view.subviews().size(), 2u);
    EXPECT_EQ(b.view.subviews()[0], b.view.progressBackgroundView());
    EXPECT_EQ(b.view.subviews()[1], b.view.progressFillView());
    EXPECT_EQ(b.view.progressFillColor(), (Color{1, 0, 1, 1}));
    EXPECT_EQ(b.view.progressBackgroundColor(), (Color{0, 1, 1, 1}));
    EXPECT_EQ(b.view.progressBackgroundView()->frame(), (Rect{0, 0, 375, 3}));
}

TEST(ProgressViewValue, ColoursFallBackToDefaults) {
    Bar b;
    const Color blue{33 / 255.0, 150 / 255.0, 243 / 255.0, 1};
    b.view.setProgressFillColor(blue);
    b.view.setProgressBackgroundColor(blue);
    EXPECT_EQ(b.view.progressFillView()->backgroundColor(), blue);
    EXPECT_EQ(b.view.progressBackgroundColor(), blue);
    b.view.setProgressFillColor(std::nullopt);
    b.view.setProgressBackgroundColor(std::nullopt);
    EXPECT_EQ(b.view.progressFillColor(), (Color{1, 0, 1, 1}));
    EXPECT_EQ(b.view.progressBackgroundColor(), (Color{0, 1, 1, 1}));
}

TEST(ProgressViewValue, AnimatedSetterStoresUnchangedAndSlidesTheFill) {
    Bar b;
    int calls = 0;
    bool finishedFlag = false;
    b.view.setProgressValue(0.4f, true, [&](bool f) {
        ++calls;
        finishedFlag = f;
    });
    EXPECT_EQ(b.view.progressValue(), 0.4f);
    ASSERT_EQ(b.animator->requestedDurations(), std::vector<double>{0.25});
    EXPECT_EQ(b.view.progressFillView()->frame().width, 0) << "nothing moves before the animation runs";
    b.animator->stepAll(0.5);
    EXPECT_EQ(b.view.progressFillView()->frame().width, 75);
    EXPECT_EQ(calls, 0);
    b.animator->runAll(false);
    EXPECT_EQ(b.view.progressFillView()->frame(), (Rect{0, 0, 150, 3}));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(finishedFlag) << "the animator's finished flag is passed through";

    // The animated setter trusts its caller: no clamping.
    b.view.setProgressValue(1.5f, false, nullptr);
    EXPECT_EQ(b.view.progressValue(), 1.5f);
}

TEST(ProgressViewHidden, AlreadyInStateCompletesAtOnceWithoutAnimating) {
    Bar b;
    std::vector<bool> results;
    b.view.setHidden(false, true, [&](bool f) { results.push_back(f); });
    EXPECT_EQ(results, std::vector<bool>{true});
    EXPECT_EQ(b.animator->requestCount(), 0u);
    EXPECT_TRUE(b.notes->posts.empty());
}

TEST(ProgressViewHidden, LayoutDuringHideLeavesStripsAloneThenBarIsHidden) {
    Bar b;
    b.view.setProgressValue(0.5f);
    int completions = 0;
    b.view.setHidden(true, true, [&](bool f) {
        EXPECT_TRUE(f);
        ++completions;
    });
    EXPECT_TRUE(b.view.animateHide());
    EXPECT_FALSE(b.view.isHidden()) << "still visible while collapsing";

    b.animator->stepAll(0.5);
    const Rect fillMid = b.view.progressFillView()->frame();
    const Rect backgroundMid = b.view.progressBackgroundView()->frame();
    EXPECT_EQ(fillMid, (Rect{0, 1.5, 188, 1.5}));
    b.view.setProgressValue(0.9f);  // a progress notification mid-hide
    b.view.layoutSubviews();
    EXPECT_EQ(b.view.progressFillView()->frame(), fillMid);
    EXPECT_EQ(b.view.progressBackgroundView()->frame(), backgroundMid);

    // A show request mid-hide finds the bar not hidden: done at once.
    bool showResult = false;
    b.view.setHidden(false, true, [&](bool f) { showResult = f; });
    EXPECT_TRUE(showResult);

    b.animator->runAll();
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(b.view.isHidden());
    EXPECT_FALSE(b.view.animateHide());
    EXPECT_EQ(b.view.progressBackgroundView()->frame(), (Rect{0, 3, 375, 0}));
    EXPECT_EQ(b.view.progressFillView()->frame(), (Rect{0, 3, 188, 0}));
    ASSERT_EQ(b.notes->posts.size(), 1u);
    EXPECT_EQ(b.notes->posts[0], nullptr) << "hidden: notification without focus element";
}

TEST(ProgressViewHidden, ShowIsImmediateAndStripsSlideBack) {
    Bar b;
    b.view.setProgressValue(0.2f);
    b.view.setHidden(true);
    b.view.layoutSubviews();
    EXPECT_EQ(b.view.progressBackgroundView()->frame(), (Rect{0, 3, 375, 0}));
    b.notes->posts.clear();

    bool done = false;
    b.view.setHidden(false, true, [&](bool) { done = true; });
    EXPECT_FALSE(b.view.isHidden()) << "visible from the first moment";
    ASSERT_EQ(b.notes->posts.size(), 1u);
    EXPECT_EQ(b.notes->posts[0], &b.view);
    b.animator->runAll();
    EXPECT_TRUE(done);
    EXPECT_EQ(b.view.progressBackgroundView()->frame(), (Rect{0, 0, 375, 3}));
    EXPECT_EQ(b.view.progressFillView()->frame(), (Rect{0, 0, 75, 3}));
}

TEST(ProgressViewHidden, UnanimatedChangesStillGoThroughTheAnimatorWithDurationZero) {
    Bar b;
    std::vector<std::string> order;
    b.view.setProgressValue(1.0f, false, [&](bool f) {
        order.push_back(f ? "value:true" : "value:false");
        b.view.setHidden(true, false, [&](bool g) { order.push_back(g ? "hide:true" : "hide:false"); });
    });
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(b.animator->runAll(), 2u);
    EXPECT_EQ(b.animator->requestedDurations(), (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(order, (std::vector<std::string>{"value:true", "hide:true"}));
    EXPECT_TRUE(b.view.isHidden());
}

TEST(ProgressViewHidden, FrameChangeRelaysTheStripsAndCompletionsSurviveTheBar) {
    auto animator = std::make_shared<FakeAnimator>();
    bool called = false;
    {
        ProgressView view(Rect{0, 0, 100, 2}, animator);
        view.setProgressValue(0.5f);
        view.setFrame({0, 0, 200, 4});
        EXPECT_EQ(view.progressFillView()->frame(), (Rect{0, 0, 100, 4}));
        EXPECT_EQ(view.progressBackgroundView()->frame(), (Rect{0, 0, 200, 4}));
        view.setHidden(true, true, [&](bool) { called = true; });
    }
    animator->runAll();
    EXPECT_TRUE(called) << "the caller's completion runs even when the bar is gone";
}

TEST(ProgressViewDefaults, WithoutAnimatorEverythingEndsAtOnce) {
    ProgressView view(Rect{0, 0, 50, 2});
    bool done = false;
    view.setHidden(true, true, [&](bool f) { done = f; });
    EXPECT_TRUE(done);
    EXPECT_TRUE(view.isHidden());
}

class RecordingContext : public DrawingContext {
public:
    void setStrokeColor(const Color& c) override {
        calls.push_back("color " + fmt(c.r) + fmt(c.g) + fmt(c.b) + fmt(c.a));
    }
    void setLineWidth(double w) override { calls.push_back("width " + fmt(w)); }
    void moveToPoint(double x, double y) override { calls.push_back("move " + fmt(x) + fmt(y)); }
    void addLineToPoint(double x, double y) override { calls.push_back("line " + fmt(x) + fmt(y)); }
    void strokePath() override { calls.push_back("stroke"); }
    static std::string fmt(double v) {
        char b[32];
        std::snprintf(b, sizeof b, "%g ", v);
        return b;
    }
    std::vector<std::string> calls;
};

TEST(NavigationViewDrawing, HairlineOnTheBottomEdge) {
    NavigationView view(Rect{0, 0, 375, 44});
    RecordingContext ctx;
    view.drawRect(ctx, {0, 0, 375, 44});
    EXPECT_EQ(ctx.calls, (std::vector<std::string>{"color 0.5 0.5 0.5 0.25 ", "width 0.5 ", "move 0 44 ",
                                                   "line 375 44 ", "stroke"}));
}

}  // namespace
}  // namespace tevra
