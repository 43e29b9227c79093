#include "TevraARWebGL/Globals.h"
#include "support/ControllerFixture.h"

using namespace tevra;
using tevra::test::ControllerFixture;

class ScriptMessages : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        make();
        fake->log->clear();
    }
};

TEST_F(ScriptMessages, ConfigurationValidatesAndKeepsGoing) {
    post("TevraARConfig", "compressionFactor:1.5");
    EXPECT_EQ(log(), (std::vector<std::string>{"Invalid compression factor: 1.50 (must be 0.0-1.0)"}));
    EXPECT_FLOAT_EQ(cameraFrameJpegCompressionFactor, 0.9f);
    post("TevraARConfig", "compressionFactor:1");
    EXPECT_FLOAT_EQ(cameraFrameJpegCompressionFactor, 1.0f);
    post("TevraARConfig", "compressionFactor:0");
    EXPECT_FLOAT_EQ(cameraFrameJpegCompressionFactor, 0.0f);

    fake->log->clear();
    post("TevraARConfig", "targetFrameWidth:0|targetFrameHeight:720");
    EXPECT_EQ(log(), (std::vector<std::string>{"Invalid target frame width: 0 (must be > 0)"}));
    EXPECT_EQ(targetFrameWidth, 540);
    EXPECT_EQ(targetFrameHeight, 720);
    EXPECT_EQ(controller->targetSize, (Size{540, 720}));

    post("TevraARConfig", "targetFrameHeight:-3|compressionFactor:0.8|targetFrameWidth:720");
    EXPECT_TRUE(logged("Invalid target frame height: -3 (must be > 0)"));
    EXPECT_FLOAT_EQ(cameraFrameJpegCompressionFactor, 0.8f);
    EXPECT_EQ(controller->targetSize, (Size{720, 720}));
}

TEST_F(ScriptMessages, IdleTimerWishReachesTheHostEveryTime) {
    std::vector<bool> told;
    controller->idleTimerDisabledDidChange = [&](bool v) { told.push_back(v); };
    post("TevraARConfig", "isIdleTimerDisabled:true");
    EXPECT_FALSE(controller->getIsIdleTimerDisabled());
    post("TevraARConfig", "isIdleTimerDisabled:1");
    post("TevraARConfig", "isIdleTimerDisabled:1");
    EXPECT_TRUE(controller->getIsIdleTimerDisabled());
    EXPECT_EQ(told, (std::vector<bool>{false, true, true}));
}

TEST_F(ScriptMessages, MalformedConfigurationChangesNothing) {
    for (const char* body : {"a:b:c", "", "|", "compressionFactor", "compressionFactor:0.5:1", "CompressionFactor:0.1",
                             " compressionFactor:0.1"})
        post("TevraARConfig", body);
    EXPECT_TRUE(log().empty());
    EXPECT_FLOAT_EQ(cameraFrameJpegCompressionFactor, 0.9f);
    post("TevraARConfig", nullptr);
    EXPECT_EQ(log(), (std::vector<std::string>{"Failed to parse TevraARConfig message!"}));
    post("TevraARConfig", nlohmann::json::array({"compressionFactor:0.1"}));
    EXPECT_EQ(log().size(), 2u);
    EXPECT_FLOAT_EQ(cameraFrameJpegCompressionFactor, 0.9f);
}

TEST_F(ScriptMessages, ARCommandsChangeControllerState) {
    post("Zephral", "setDepthNear:0.5,9");
    EXPECT_FLOAT_EQ(controller->near, 0.5f);
    post("UnityBridge", "setDepthFar:abc");
    EXPECT_FLOAT_EQ(controller->far, 0.0f);
    post("Zephral", "advanceFrame:");
    EXPECT_TRUE(controller->drawNextCameraFrame);
    post("Zephral", "showCameraFeed:");
    EXPECT_TRUE(controller->showingCameraFeed);
    post("UnityBridge", "hideCameraFeed:");
    EXPECT_FALSE(controller->showingCameraFeed);
    fake->log->clear();
    post("Zephral", "log:a:b,c");
    EXPECT_EQ(log(), (std::vector<std::string>{"a:b,c"}));
}

TEST_F(ScriptMessages, ResetPoseNeedsItsColon) {
    post("Zephral", "resetPose");
    EXPECT_EQ(session().runCount(), 0);
    EXPECT_TRUE(log().empty());
    post("Zephral", "resetPose:");
    EXPECT_EQ(session().runCount(), 1);
}

TEST_F(ScriptMessages, UnknownCommandLogsWarningOnBothChannels) {
    post("Zephral", "foo:1");
    post("UnityBridge", "foo:1");
    EXPECT_EQ(log(), (std::vector<std::string>{"WARNING: Unknown message received: 'foo'",
                                               "WARNING: Unknown message received: 'foo'"}));
}

TEST_F(ScriptMessages, NonTextBodiesAreRefusedWithOneLine) {
    post("Zephral", 42);
    post("UnityBridge", nlohmann::json::object({{"a", 1}}));
    post("TevraAR", nullptr);
    ASSERT_EQ(log().size(), 3u);
    EXPECT_EQ(log()[0], "Ignoring message on channel 'Zephral': the body is not text: 42");
    EXPECT_EQ(log()[1], "Ignoring message on channel 'UnityBridge': the body is not text: {\"a\":1}");
    EXPECT_EQ(log()[2], "Ignoring TevraAR message: the body is not text: null");
    // Bodies of any type reach the haptic player and detection service without harm.
    post("TevraARHaptic", nlohmann::json::array({1, 2}));
    post("YOLOCommander", true);
}

static std::vector<std::string> identityWithTranslation(const std::string& id) {
    return {id, "1", "0", "0", "0", "0", "1", "0", "0", "0", "0", "1", "0", "1", "2", "3", "1"};
}

static std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + v[i];
    return s;
}

TEST_F(ScriptMessages, AddAnchorKeepsTheThreeMapsTogether) {
    post("Zephral", "addAnchor:" + join(identityWithTranslation("7")));
    ASSERT_EQ(session().anchors().size(), 1u);
    auto anchor = session().anchors()[0];
    EXPECT_EQ(anchor->transform().columns[3].x, 1.0f);
    EXPECT_EQ(anchor->transform().columns[3].y, 2.0f);
    EXPECT_EQ(anchor->transform().columns[3].z, 3.0f);
    EXPECT_EQ(anchor->transform().columns[3].w, 1.0f);
    EXPECT_EQ(controller->anchors.at("7"), anchor);
    EXPECT_EQ(controller->jsAnchorIdsToObjCAnchorIds.at("7"), anchor->identifier());
    EXPECT_EQ(controller->objCAnchorIdsToJSAnchorIds.at(anchor->identifier()), "7");

    post("Zephral", "removeAnchor:7");
    EXPECT_TRUE(session().anchors().empty());
    EXPECT_TRUE(controller->anchors.empty());
    EXPECT_TRUE(controller->jsAnchorIdsToObjCAnchorIds.empty());
    EXPECT_TRUE(controller->objCAnchorIdsToJSAnchorIds.empty());
}

TEST_F(ScriptMessages, SecondAnchorUnderTheSameIdLeavesBothInTheSession) {
    post("Zephral", "addAnchor:" + join(identityWithTranslation("4")));
    post("Zephral", "addAnchor:" + join(identityWithTranslation("4")));
    ASSERT_EQ(session().anchors().size(), 2u);
    EXPECT_EQ(controller->anchors.at("4"), session().anchors()[1]);
    EXPECT_EQ(controller->objCAnchorIdsToJSAnchorIds.size(), 2u);
    for (auto& [uuid, pageId] : controller->objCAnchorIdsToJSAnchorIds) EXPECT_EQ(pageId, "4");
}

TEST_F(ScriptMessages, BadAnchorCommandsAreRefusedAndMapsStayConsistent) {
    auto args = identityWithTranslation("9");
    args.pop_back();
    post("Zephral", "addAnchor:" + join(args));
    EXPECT_EQ(
        log(),
        (std::vector<std::string>{"addAnchor refused for page id '9': it needs 16 numbers after the id, got 15"}));
    post("Zephral", "addAnchor:");
    post("Zephral", "removeAnchor:9");
    post("Zephral", "removeAnchor:");
    EXPECT_TRUE(session().anchors().empty());
    EXPECT_TRUE(controller->anchors.empty() && controller->jsAnchorIdsToObjCAnchorIds.empty() &&
                controller->objCAnchorIdsToJSAnchorIds.empty());
    EXPECT_TRUE(logged("removeAnchor refused: no anchor with page id '9'"));
    EXPECT_EQ(log().size(), 4u);
}

TEST_F(ScriptMessages, RestartEmptiesTheMapsWhileTheSessionKeepsRunning) {
    post("Zephral", "addAnchor:" + join(identityWithTranslation("1")));
    post("Zephral", "resetPose:");
    EXPECT_TRUE(controller->anchors.empty());
    EXPECT_TRUE(controller->jsAnchorIdsToObjCAnchorIds.empty());
    EXPECT_TRUE(controller->objCAnchorIdsToJSAnchorIds.empty());
    EXPECT_EQ(session().lastRunOptions(), ARSessionRunOptionResetTracking);
}
