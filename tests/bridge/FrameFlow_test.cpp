#include "base/TextUtils.h"
#include "support/ControllerFixture.h"

using namespace tevra;
using tevra::test::ControllerFixture;

class FrameFlow : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        make();
        controller->viewWillAppear(false);
        page().clearRecords();
        fake->log->clear();
    }
    std::shared_ptr<fake::FakeARFrame> frame(const float4x4& cameraTransform = float4x4::identity()) {
        auto f = std::make_shared<fake::FakeARFrame>();
        f->camera_->transform_ = cameraTransform;
        f->image_ = PixelBuffer::create(64, 48, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
        return f;
    }
    // One display tick at time t, then one AR frame, then the main queue.
    void tickAndFrame(double t, const std::shared_ptr<fake::FakeARFrame>& f = nullptr) {
        fake->clock->set(t);
        camera().tick();
        session().deliverFrame(f ? f : frame());
        drain();
    }
    std::vector<std::string> frameCalls() {
        std::vector<std::string> out;
        for (auto& s : page().evaluatedScripts())
            if (s.rfind("if(window.handleARFrame)", 0) == 0) out.push_back(s);
        return out;
    }
};

TEST_F(FrameFlow, WatchdogSendsAboutOneFramePerSecond) {
    for (int i = 0; i <= 60; ++i) tickAndFrame(100.0 + i / 60.0);  // one second of ticks
    EXPECT_TRUE(frameCalls().empty());
    tickAndFrame(101.02);
    EXPECT_EQ(frameCalls().size(), 1u);
    for (int i = 1; i <= 59; ++i) tickAndFrame(101.02 + i / 60.0);
    EXPECT_EQ(frameCalls().size(), 1u);
    tickAndFrame(102.05);
    EXPECT_EQ(frameCalls().size(), 2u);
}

TEST_F(FrameFlow, TwoAdvanceFramesBetweenTicksDrawOnce) {
    tickAndFrame(100.0);
    post("Zephral", "advanceFrame:");
    post("Zephral", "advanceFrame:");
    tickAndFrame(100.016);
    tickAndFrame(100.033);
    EXPECT_EQ(frameCalls().size(), 1u);
    // A request while a frame is owed is served by the next tick.
    fake->clock->set(100.05);
    post("Zephral", "advanceFrame:");
    camera().tick();
    post("Zephral", "advanceFrame:");
    session().deliverFrame(frame());
    drain();
    tickAndFrame(100.066);
    EXPECT_EQ(frameCalls().size(), 3u);
}

TEST_F(FrameFlow, IdentityViewGivesOriginAndUnitQuaternion) {
    post("Zephral", "advanceFrame:");
    tickAndFrame(100.0);
    auto calls = frameCalls();
    ASSERT_EQ(calls.size(), 1u);
    const std::string prefix = "if(window.handleARFrame){window.handleARFrame(new Float32Array([";
    ASSERT_EQ(calls[0].rfind(prefix, 0), 0u);
    EXPECT_EQ(calls[0].substr(prefix.size(), 9 * 7 + 9 * 2),
              "0.000000,0.000000,0.000000,0.000000,0.000000,0.000000,1.000000,1.000000,0.000000,");
    EXPECT_EQ(calls[0].substr(calls[0].size() - 4), "]))}");
    size_t commas = static_cast<size_t>(std::count(calls[0].begin(), calls[0].end(), ','));
    EXPECT_EQ(commas, 38u);
}

TEST_F(FrameFlow, PoseComesFromTheInverseViewMatrix) {
    post("Zephral", "advanceFrame:");
    float4x4 cam = float4x4::translation(1, 2, 3) * rotationY(static_cast<float>(M_PI));
    tickAndFrame(100.0, frame(cam));
    auto calls = frameCalls();
    ASSERT_EQ(calls.size(), 1u);
    std::vector<double> v;
    std::string nums = calls[0].substr(calls[0].find("([") + 2);
    for (auto& piece : splitString(nums.substr(0, nums.find(']')), ",")) v.push_back(std::stod(piece));
    ASSERT_EQ(v.size(), 39u);
    EXPECT_NEAR(v[0], 1, 1e-5);
    EXPECT_NEAR(v[1], 2, 1e-5);
    EXPECT_NEAR(v[2], 3, 1e-5);
    EXPECT_NEAR(std::abs(v[4]), 1, 1e-5);  // a half turn about y
    EXPECT_NEAR(v[3], 0, 1e-5);
    EXPECT_NEAR(v[5], 0, 1e-5);
    EXPECT_NEAR(v[6], 0, 1e-5);
}

TEST_F(FrameFlow, NearDistanceChangesTheNextProjection) {
    post("Zephral", "advanceFrame:");
    tickAndFrame(100.0);
    post("Zephral", "setDepthNear:0.5");
    post("Zephral", "advanceFrame:");
    tickAndFrame(100.1);
    auto calls = frameCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].substr(0, 200), calls[1].substr(0, 200));  // same pose
    EXPECT_NE(calls[0], calls[1]);
}

TEST_F(FrameFlow, WindowSizeGoesFirstOnceWithFractionsDropped) {
    page().setFrame({0, 0, 390.5, 844.0});
    fake->device->setOrientation(UIDeviceOrientationLandscapeLeft);
    EXPECT_TRUE(controller->updateWindowSize);
    page().setFrame({0, 0, 390.5, 844.0});  // the layout pass reset it; keep the fractional size
    post("Zephral", "advanceFrame:");
    tickAndFrame(100.0);
    auto scripts = page().evaluatedScripts();
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_EQ(scripts[0], "if(window.ZephralSetWindowSize)ZephralSetWindowSize({\"width\":390,\"height\":844});");
    EXPECT_EQ(scripts[1].rfind("if(window.handleARFrame)", 0), 0u);
    post("Zephral", "advanceFrame:");
    tickAndFrame(100.1);
    EXPECT_EQ(page().evaluatedScripts().size(), 3u);
    EXPECT_FALSE(controller->updateWindowSize);
}

TEST_F(FrameFlow, NoFramesWithoutAppearance) {
    // A fresh controller whose host never called viewWillAppear.
    make();
    EXPECT_EQ(session().runCount(), 0);
    EXPECT_TRUE(page().evaluatedScripts().empty());
}

TEST_F(FrameFlow, StoredFrameHoldsExactlyOneRetain) {
    auto first = frame();
    auto second = frame();
    post("Zephral", "advanceFrame:");
    tickAndFrame(100.0, first);
    EXPECT_EQ(first->image_->retainCount(), 2);  // the test's and the controller's
    post("Zephral", "advanceFrame:");
    tickAndFrame(100.1, second);
    EXPECT_EQ(first->image_->retainCount(), 1);
    EXPECT_EQ(second->image_->retainCount(), 2);
    auto taken = controller->retainedLastCapturedFrame();
    EXPECT_EQ(taken, second->image_);
    EXPECT_EQ(second->image_->retainCount(), 3);
}

TEST_F(FrameFlow, TrackingChangesReachThePageAndKeepIntrinsics) {
    auto cam = std::make_shared<fake::FakeARCamera>();
    cam->state_ = ARTrackingStateLimited;
    cam->reason_ = ARTrackingStateReasonInitializing;
    // K[0][0]=fx 1500, K[1][1]=fy 1490, K[0][2]=cx 960, K[1][2]=cy 720 (column-major storage).
    cam->intrinsics_.m(0, 0) = 1500;
    cam->intrinsics_.m(1, 1) = 1490;
    cam->intrinsics_.m(2, 0) = 960;
    cam->intrinsics_.m(2, 1) = 720;
    controller->sessionCameraDidChangeTrackingState(session(), cam);
    EXPECT_EQ(log(), (std::vector<std::string>{"AR camera tracking state = Limited"}));
    ASSERT_EQ(page().evaluatedScripts().size(), 1u);
    EXPECT_EQ(page().evaluatedScripts()[0],
              "if(window.onTrackingStateChanged){window.onTrackingStateChanged(\"Limited|null\")}");
    EXPECT_FLOAT_EQ(controller->cameraFx, 1490);
    EXPECT_FLOAT_EQ(controller->cameraFy, 1500);
    EXPECT_FLOAT_EQ(controller->cameraCx, 720);
    EXPECT_FLOAT_EQ(controller->cameraCy, 960);

    cam->state_ = ARTrackingStateLimited;
    cam->reason_ = ARTrackingStateReasonInsufficientFeatures;
    controller->sessionCameraDidChangeTrackingState(session(), cam);
    EXPECT_TRUE(logged("AR camera tracking state = LimitedInsufficient Featues"));
    EXPECT_EQ(page().evaluatedScripts()[1],
              "if(window.onTrackingStateChanged){window.onTrackingStateChanged(\"Limited|Insufficient Featues\")}");
    cam->state_ = ARTrackingStateNotAvailable;
    cam->reason_ = ARTrackingStateReasonExcessiveMotion;
    controller->sessionCameraDidChangeTrackingState(session(), cam);
    EXPECT_NE(page().evaluatedScripts()[2].find("\"Not Available|Excessive Motion\""), std::string::npos);
}

TEST_F(FrameFlow, RememberedPageLoadsOnceWhenTrackingBegins) {
    auto cam = std::make_shared<fake::FakeARCamera>();
    cam->state_ = ARTrackingStateNotAvailable;
    fake->defaults->setObject("https://example.org/ar", "url");
    controller->sessionCameraDidChangeTrackingState(session(), cam);
    EXPECT_TRUE(page().loadedURLs().empty());
    EXPECT_FALSE(controller->initialPageLoadedWhenTrackingBegins);
    cam->state_ = ARTrackingStateNormal;
    controller->sessionCameraDidChangeTrackingState(session(), cam);
    EXPECT_EQ(page().loadedURLs(), (std::vector<std::string>{"https://example.org/ar"}));
    EXPECT_TRUE(controller->initialPageLoadedWhenTrackingBegins);
    controller->sessionCameraDidChangeTrackingState(session(), cam);
    EXPECT_EQ(page().loadedURLs().size(), 1u);
}

TEST_F(FrameFlow, NoRememberedPageStillEndsTheFirstLoad) {
    auto cam = std::make_shared<fake::FakeARCamera>();
    cam->state_ = ARTrackingStateNormal;
    controller->sessionCameraDidChangeTrackingState(session(), cam);
    EXPECT_TRUE(controller->initialPageLoadedWhenTrackingBegins);
    fake->defaults->setObject("https://example.org/later", "url");
    controller->sessionCameraDidChangeTrackingState(session(), cam);
    EXPECT_TRUE(page().loadedURLs().empty());
}
