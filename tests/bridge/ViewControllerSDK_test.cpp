#include "bridge/ViewControllerSDK.h"

#include "support/ControllerFixture.h"

using namespace tevra;
using tevra::test::ControllerFixture;

using SetUpTest = ControllerFixture;

TEST_F(SetUpTest, BuildsPageViewWithScriptsChannelsAndLayering) {
    make();
    auto& pv = page();
    const auto& content = *pv.configuration().userContentController;
    EXPECT_EQ(content.channelNames(), (std::vector<std::string>{"Zephral", "TevraAR", "TevraARConfig", "TevraARHaptic",
                                                                "YOLOCommander", "UnityBridge"}));
    ASSERT_EQ(content.userScripts().size(), 4u);
    EXPECT_EQ(content.userScripts()[0].source, "window.ZephralSendsCameraFrames = false;");
    EXPECT_NE(content.userScripts()[1].source.find("window.Zephral = Zephral"), std::string::npos);
    EXPECT_NE(content.userScripts()[2].source.find("window.UnityBridge = UnityBridge"), std::string::npos);
    EXPECT_NE(content.userScripts()[3].source.find("navigator.xr"), std::string::npos);
    for (const auto& s : content.userScripts()) {
        EXPECT_EQ(s.injectionTime, UserScriptInjectionTime::AtDocumentStart);
        EXPECT_TRUE(s.forMainFrameOnly);
    }
    EXPECT_TRUE(pv.configuration().allowsInlineMediaPlayback);
    EXPECT_TRUE(pv.isInspectable());
    EXPECT_EQ(pv.preferenceValue("allowFileAccessFromFileURLs"), 1);
    EXPECT_EQ(pv.contentInsetAdjustmentBehavior(), UIScrollViewContentInsetAdjustmentNever);
    EXPECT_TRUE(pv.isScrollEnabled() && pv.isPanGestureEnabled() && pv.bounces());
    // Opaque white until the page asks for the camera feed.
    EXPECT_TRUE(pv.isOpaque());
    EXPECT_EQ(pv.backgroundColor(), Color::white());
    EXPECT_EQ(pv.scrollBackgroundColor(), Color::white());
    EXPECT_TRUE(logged("show camera feed: NO"));
    // Bottom to top: host web view, camera view, page view.
    ASSERT_EQ(hostView->subviews().size(), 3u);
    EXPECT_EQ(hostView->subviews()[0], hostWebView);
    EXPECT_EQ(hostView->subviews()[1].get(), &camera());
    EXPECT_EQ(hostView->subviews()[2].get(), &pv);
    EXPECT_EQ(camera().frame(), (Rect{0, 0, 390, 844}));
    // The host web view only gets the controller as delegates.
    EXPECT_EQ(hostWebView->navigationDelegate(), controller);
    EXPECT_EQ(pv.navigationDelegate(), controller);
    EXPECT_EQ(pv.uiDelegate(), controller);
    EXPECT_TRUE(pv.evaluatedScripts().empty());
    EXPECT_TRUE(pv.loadedURLs().empty());
    // Configured but not running.
    EXPECT_EQ(session().runCount(), 0);
    EXPECT_EQ(controller->targetSize, (Size{540, 960}));
    EXPECT_FLOAT_EQ(controller->near, 0.01f);
    EXPECT_FLOAT_EQ(controller->far, 10000.0f);
    EXPECT_NE(controller->yoloService, nullptr);
    EXPECT_NE(controller->hapticController, nullptr);
}

TEST_F(SetUpTest, TapRecognizerGoesFirst) {
    auto previous = std::make_shared<TapGestureRecognizer>(nullptr);
    hostView->setGestureRecognizers({previous});
    make();
    ASSERT_EQ(hostView->gestureRecognizers().size(), 2u);
    EXPECT_EQ(hostView->gestureRecognizers()[0], controller->tapRecognizer);
    EXPECT_EQ(hostView->gestureRecognizers()[1], previous);
}

TEST_F(SetUpTest, WithoutGPUStopsAfterTheCameraView) {
    fake->views->setHasGPU(false);
    make();
    EXPECT_TRUE(logged("Metal is not supported on this device"));
    EXPECT_EQ(controller->wkWebView, nullptr);
    EXPECT_EQ(controller->renderer, nullptr);
    EXPECT_EQ(controller->yoloService, nullptr);
    EXPECT_EQ(controller->hapticController, nullptr);
    EXPECT_NE(controller->session, nullptr);
    ASSERT_EQ(hostView->subviews().size(), 1u);  // only the host web view
    EXPECT_EQ(fake->device->observerCount(), 0u);
    // Messages and frames on a half-built controller do not crash.
    controller->sessionDidUpdateFrame(session(), std::make_shared<fake::FakeARFrame>());
    controller->restartSession();
}

TEST_F(SetUpTest, WithoutHostViewStopsAfterTheCameraViewAndLoadsNothing) {
    controller = ViewControllerSDK::initWithView(nullptr, nullptr);
    EXPECT_TRUE(logged("❌ No host view: the camera view and the page view are not set up"));
    EXPECT_EQ(controller->wkWebView, nullptr);
    EXPECT_NE(controller->session, nullptr);
    controller->viewWillAppear(false);
    controller->sessionDidUpdateFrame(session(), std::make_shared<fake::FakeARFrame>());
    // Nothing loads without a page view, so nothing is remembered.
    controller->loadURL("example.org");
    EXPECT_TRUE(logged("No page view: http://example.org is not loaded"));
    EXPECT_FALSE(controller->getURLFromUserDefaults());
    controller->viewWillDisappear(false);
}

TEST_F(SetUpTest, MachineIdentifierSelectsTheCompactChrome) {
    for (auto [machine, expected] : std::vector<std::pair<std::string, bool>>{
             {"iPhone10,6", true}, {"IPHONE10,6", true}, {"iPhone11,2", false}, {"x86_64", false}}) {
        fake->device->setMachineIdentifier(machine);
        EXPECT_EQ(make()->iPhoneXDevice, expected) << machine;
    }
    EXPECT_EQ(deviceName(), "x86_64");
}

TEST_F(SetUpTest, OrientationMapsDeviceToInterface) {
    fake->device->setOrientation(UIDeviceOrientationFaceUp);
    make();
    EXPECT_EQ(controller->interfaceOrientation, 0);
    EXPECT_EQ(controller->deviceOrientation, UIDeviceOrientationFaceUp);
    EXPECT_FALSE(controller->updateWindowSize);
    fake->device->setOrientation(UIDeviceOrientationLandscapeLeft);
    EXPECT_EQ(controller->interfaceOrientation, UIInterfaceOrientationLandscapeRight);
    EXPECT_TRUE(controller->updateWindowSize);
    fake->device->setOrientation(UIDeviceOrientationLandscapeRight);
    EXPECT_EQ(controller->interfaceOrientation, UIInterfaceOrientationLandscapeLeft);
    fake->device->setOrientation(UIDeviceOrientationFaceDown);
    EXPECT_EQ(controller->interfaceOrientation, UIInterfaceOrientationLandscapeLeft);
    EXPECT_EQ(controller->deviceOrientation, UIDeviceOrientationFaceDown);
}

TEST_F(SetUpTest, AppearanceRunsAndPausesTheSession) {
    make();
    fake->device->endGeneratingDeviceOrientationNotifications();
    controller->viewWillAppear(true);
    EXPECT_TRUE(fake->device->isGeneratingDeviceOrientationNotifications());
    EXPECT_EQ(session().runCount(), 1);
    EXPECT_EQ(session().lastRunOptions(), ARSessionRunOptionResetTracking);
    EXPECT_EQ(session().lastConfiguration().planeDetection, ARPlaneDetectionHorizontal);
    controller->viewWillDisappear(true);
    EXPECT_FALSE(fake->device->isGeneratingDeviceOrientationNotifications());
    EXPECT_FALSE(session().isRunning());
    fake->log->clear();
    controller->pause();
    EXPECT_EQ(log(), (std::vector<std::string>{"✅ AR session paused"}));
    controller->didReceiveMemoryWarning();
    EXPECT_EQ(log().size(), 1u);
}

TEST_F(SetUpTest, CameraFeedSwitchesOpacity) {
    make();
    controller->setShowCameraFeed(true);
    EXPECT_FALSE(page().isOpaque());
    EXPECT_EQ(page().backgroundColor(), Color::clear());
    EXPECT_EQ(page().scrollBackgroundColor(), Color::clear());
    EXPECT_TRUE(controller->showingCameraFeed);
    EXPECT_TRUE(logged("show camera feed: YES"));
    controller->setShowCameraFeed(false);
    EXPECT_TRUE(page().isOpaque());
    EXPECT_EQ(page().backgroundColor(), Color::white());
}

TEST_F(SetUpTest, AlertsAreSilentAndCompleteAtOnce) {
    make();
    int calls = 0;
    controller->showAlertDialog("boom", [&] { ++calls; });
    EXPECT_EQ(calls, 1);
    page().simulateAlert("from page", [&] { ++calls; });
    EXPECT_EQ(calls, 2);
    controller->showAlertDialog("no completion", nullptr);
}

TEST_F(SetUpTest, DestructionReleasesEverythingAndUnhooksDelegates) {
    make();
    std::weak_ptr<ViewControllerSDK> weak = controller;
    auto pageView = fake->views->lastWebView();
    controller.reset();
    EXPECT_TRUE(weak.expired()) << "the page view's channels must not keep the controller alive";
    EXPECT_EQ(pageView->navigationDelegate(), nullptr);
    EXPECT_EQ(fake->device->observerCount(), 0u);
    // A late message finds no handler.
    EXPECT_FALSE(pageView->postMessage("Zephral", "advanceFrame:"));
}
