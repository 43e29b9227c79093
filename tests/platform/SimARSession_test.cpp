#include "platform/sim/SimARSession.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/fake/FakePlatform.h"

using namespace tevra;
using namespace tevra::sim;

namespace {

// Records every callback as one line: "track Limited/1", "add <ids>", ...
class RecordingDelegate : public ARSessionDelegate {
public:
    std::vector<std::string> events;
    std::vector<std::shared_ptr<ARFrame>> frames;
    std::function<void()> onFrame;

    static std::string ids(const ARAnchorList& list) {
        std::string s;
        for (const auto& a : list) s += (s.empty() ? "" : ",") + a->identifier();
        return s;
    }
    void sessionDidUpdateFrame(ARSession&, const std::shared_ptr<ARFrame>& f) override {
        frames.push_back(f);
        events.push_back("frame " + std::to_string(f->timestamp()));
        if (onFrame) onFrame();
    }
    void sessionDidAddAnchors(ARSession&, const ARAnchorList& a) override { events.push_back("add " + ids(a)); }
    void sessionDidUpdateAnchors(ARSession&, const ARAnchorList& a) override { events.push_back("update " + ids(a)); }
    void sessionDidRemoveAnchors(ARSession&, const ARAnchorList& a) override { events.push_back("remove " + ids(a)); }
    void sessionCameraDidChangeTrackingState(ARSession&, const std::shared_ptr<ARCamera>& c) override {
        events.push_back("track " + std::to_string(c->trackingState()) + "/" +
                         std::to_string(c->trackingStateReason()));
    }
    void sessionDidFailWithError(ARSession&, const Error&) override { events.push_back("fail"); }
    void sessionWasInterrupted(ARSession&) override {}
    void sessionInterruptionEnded(ARSession&) override {}

    std::vector<std::string> take() { return std::exchange(events, {}); }
};

const char* kPlaneId = "00000000-0000-4000-8000-00000000000A";

std::string plane(const char* change, float extent) {
    std::string s = std::string("{\"change\":\"") + change + "\",\"id\":\"" + kPlaneId + "\"";
    if (std::string(change) != "remove")
        s += ",\"transform\":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,-1,1],\"center\":[0,0,0],\"extent\":[" +
             std::to_string(extent) + ",0,1]";
    return s + "}";
}

// Five frames 0.1 s apart: limited/initializing, limited/initializing,
// normal, normal, normal; the plane is added at frame 1, updated at frame 2
// and removed at frame 4.
std::shared_ptr<const SessionRecording> fiveFrames() {
    std::string frames;
    const char* tracking[] = {"\"limited\",\"trackingStateReason\":\"initializing\"",
                              "\"limited\",\"trackingStateReason\":\"initializing\"", "\"normal\"", "\"normal\"",
                              "\"normal\""};
    for (int i = 0; i < 5; ++i) {
        std::string planes;
        if (i == 1) planes = ",\"planes\":[" + plane("add", 1) + "]";
        if (i == 2) planes = ",\"planes\":[" + plane("update", 2) + "]";
        if (i == 4) planes = ",\"planes\":[" + plane("remove", 0) + "]";
        frames += std::string(i ? "," : "") + "{\"timestamp\":" + std::to_string(5 + 0.1 * i) +
                  ",\"transform\":[1,0,0,0,0,1,0,0,0,0,1,0,0,1.5," + std::to_string(-0.1 * i) +
                  ",1],\"trackingState\":" + tracking[i] + planes + "}";
    }
    std::string json =
        "{\"imageSize\":{\"width\":640,\"height\":480},"
        "\"intrinsics\":{\"fx\":500,\"fy\":500,\"cx\":320,\"cy\":240},\"frames\":[" +
        frames + "]}";
    std::string error;
    auto rec = SessionRecording::parse(json, ".", error);
    EXPECT_TRUE(rec) << error;
    return rec;
}

ARWorldTrackingConfiguration horizontal() {
    ARWorldTrackingConfiguration c;
    c.planeDetection = ARPlaneDetectionHorizontal;
    return c;
}

struct Fixture {
    std::shared_ptr<SimARSession> session = std::make_shared<SimARSession>(fiveFrames());
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    Fixture() { session->setDelegate(delegate); }
};

}  // namespace

TEST(SimARSession, DeliversFramesTrackingChangesAndPlanesInOrder) {
    Fixture f;
    EXPECT_FALSE(f.session->step());  // not running yet
    EXPECT_EQ(f.session->currentFrame(), nullptr);
    f.session->runWithConfiguration(horizontal(), ARSessionRunOptionResetTracking);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(f.session->step());
    EXPECT_FALSE(f.session->step());  // the recording is over
    EXPECT_TRUE(f.session->isFinished());
    const std::vector<std::string> expected = {
        "track 1/1",      "frame 5.000000", "add " + std::string(kPlaneId),
        "frame 5.100000", "track 2/0",      "update " + std::string(kPlaneId),
        "frame 5.200000", "frame 5.300000", "remove " + std::string(kPlaneId),
        "frame 5.400000",
    };
    EXPECT_EQ(f.delegate->take(), expected);

    // The frames carry the recording: pose, intrinsics, anchors, camera maths.
    auto& frames = f.delegate->frames;
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(f.session->currentFrame(), frames.back());
    auto cam = frames[3]->camera();
    EXPECT_FLOAT_EQ(cam->transform().m(3, 2), -0.3f);
    EXPECT_FLOAT_EQ(cam->intrinsics().m(0, 0), 500);
    EXPECT_EQ(cam->imageResolution(), (Size{640, 480}));
    EXPECT_EQ(cam->viewMatrixForOrientation(1), viewMatrixForOrientation(cam->transform(), 1));
    ASSERT_EQ(frames[2]->anchors().size(), 1u);
    auto p = std::dynamic_pointer_cast<ARPlaneAnchor>(frames[2]->anchors()[0]);
    ASSERT_TRUE(p);
    EXPECT_FLOAT_EQ(p->extent().x, 2);
    // The earlier frame keeps its own snapshot of the plane.
    EXPECT_FLOAT_EQ(std::dynamic_pointer_cast<ARPlaneAnchor>(frames[1]->anchors()[0])->extent().x, 1);
    EXPECT_TRUE(frames[4]->anchors().empty());
    EXPECT_FALSE(frames[0]->capturedImage());
}

TEST(SimARSession, PlanesNeedPlaneDetection) {
    Fixture f;
    f.session->runWithConfiguration({}, 0);
    while (f.session->step()) {
    }
    for (const auto& e : f.delegate->events) EXPECT_EQ(e.rfind("track", 0) == 0 || e.rfind("frame", 0) == 0, true) << e;
}

TEST(SimARSession, AddedAnchorsAreReportedAddedThenUpdatedUntilRemoved) {
    Fixture f;
    f.session->runWithConfiguration({}, 0);
    f.session->step();
    f.delegate->take();
    auto a = std::make_shared<ARAnchor>("AAAAAAAA-0000-4000-8000-000000000001", float4x4::translation(0, 0, -0.2f));
    auto b = std::make_shared<ARAnchor>("BBBBBBBB-0000-4000-8000-000000000002", float4x4::identity());
    f.session->addAnchor(a);
    f.session->addAnchor(a);  // twice is once
    EXPECT_EQ(f.session->anchors().size(), 1u);
    f.session->step();
    EXPECT_EQ(f.delegate->take(), (std::vector<std::string>{"add " + a->identifier(), "frame 5.100000"}));
    EXPECT_EQ(f.delegate->frames.back()->anchors().size(), 1u);
    f.session->addAnchor(b);
    f.session->step();
    EXPECT_EQ(f.delegate->take(), (std::vector<std::string>{"track 2/0", "add " + b->identifier(),
                                                            "update " + a->identifier(), "frame 5.200000"}));
    f.session->step();
    EXPECT_EQ(f.delegate->take(),
              (std::vector<std::string>{"update " + a->identifier() + "," + b->identifier(), "frame 5.300000"}));
    // Removal by identifier, with another object standing for the anchor.
    f.session->removeAnchor(std::make_shared<ARAnchor>(a->identifier(), float4x4::identity()));
    f.session->step();
    EXPECT_EQ(f.delegate->take(),
              (std::vector<std::string>{"remove " + a->identifier(), "update " + b->identifier(), "frame 5.400000"}));
}

TEST(SimARSession, AnchorRemovedBeforeItWasReportedLeavesNoTrace) {
    Fixture f;
    f.session->runWithConfiguration({}, 0);
    auto a = std::make_shared<ARAnchor>("AAAAAAAA-0000-4000-8000-000000000001", float4x4::identity());
    f.session->addAnchor(a);
    f.session->removeAnchor(a);
    f.session->addAnchor(nullptr);
    f.session->removeAnchor(nullptr);
    f.session->step();
    EXPECT_EQ(f.delegate->take(), (std::vector<std::string>{"track 1/1", "frame 5.000000"}));
}

TEST(SimARSession, ResetTrackingRestartsWithANewOriginAndTimeKeepsRunning) {
    Fixture f;
    f.session->runWithConfiguration(horizontal(), ARSessionRunOptionResetTracking);
    for (int i = 0; i < 3; ++i) f.session->step();
    f.delegate->take();
    auto a = std::make_shared<ARAnchor>("AAAAAAAA-0000-4000-8000-000000000001", float4x4::identity());
    f.session->addAnchor(a);
    f.session->step();  // frame 3 reports the anchor added
    f.delegate->take();

    f.session->runWithConfiguration(horizontal(), ARSessionRunOptionResetTracking);
    EXPECT_EQ(f.session->nextFrameIndex(), 0u);
    f.session->step();
    // The plane goes, the caller's anchor stays; tracking starts over.
    EXPECT_EQ(f.delegate->take(), (std::vector<std::string>{"track 1/1", "remove " + std::string(kPlaneId),
                                                            "update " + a->identifier(), "frame 5.400000"}));
    EXPECT_FLOAT_EQ(f.delegate->frames.back()->camera()->transform().m(3, 2), 0.0f);  // frame 0's pose
    f.session->step();
    EXPECT_EQ(f.delegate->take(), (std::vector<std::string>{"add " + std::string(kPlaneId), "update " + a->identifier(),
                                                            "frame 5.500000"}));

    // Removing existing anchors reports both the plane and the caller's anchor.
    f.session->runWithConfiguration(horizontal(), ARSessionRunOptionRemoveExistingAnchors);
    EXPECT_TRUE(f.session->anchors().empty());
    f.session->step();  // frame 2: its plane update finds no plane
    EXPECT_EQ(f.delegate->take(),
              (std::vector<std::string>{"track 2/0", "remove " + std::string(kPlaneId) + "," + a->identifier(),
                                        "frame 5.600000"}));
}

TEST(SimARSession, PauseStopsDeliveryAndRunResumes) {
    Fixture f;
    f.session->runWithConfiguration({}, ARSessionRunOptionResetTracking);
    f.session->step();
    f.session->step();
    f.session->pause();
    EXPECT_FALSE(f.session->isRunning());
    EXPECT_FALSE(f.session->step());
    EXPECT_EQ(f.session->nextFrameIndex(), 2u);
    f.session->runWithConfiguration({}, 0);
    EXPECT_TRUE(f.session->step());
    EXPECT_DOUBLE_EQ(f.delegate->frames.back()->timestamp(), 5.2);
    EXPECT_NEAR(f.session->timeUntilNextFrame(), 0.1, 1e-9);
}

TEST(SimARSession, LoopingStartsAgainWithIncreasingTimestamps) {
    Fixture f;
    f.session->setLoops(true);
    f.session->runWithConfiguration({}, 0);
    std::vector<double> times;
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(f.session->step());
        times.push_back(f.delegate->frames.back()->timestamp());
    }
    for (size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 0.1, 1e-9) << i;
    EXPECT_FALSE(f.session->isFinished());
}

TEST(SimARSession, DelegateMayPauseOrRestartFromACallback) {
    Fixture f;
    f.delegate->onFrame = [&] { f.session->pause(); };
    f.session->runWithConfiguration({}, 0);
    EXPECT_TRUE(f.session->step());
    EXPECT_FALSE(f.session->step());
    f.delegate->onFrame = [&] { f.session->runWithConfiguration({}, ARSessionRunOptionResetTracking); };
    f.session->runWithConfiguration({}, 0);
    EXPECT_TRUE(f.session->step());
    EXPECT_EQ(f.session->nextFrameIndex(), 0u);
    // A session whose delegate is gone still advances.
    f.delegate.reset();
    EXPECT_TRUE(f.session->step());
    EXPECT_EQ(f.session->nextFrameIndex(), 1u);
}

TEST(SimARSession, UnreadableImageIsLoggedAndTheFrameStillDelivered) {
    auto fake = fake::FakePlatform::install();
    namespace fs = std::filesystem;
    std::string tmpl = (fs::temp_directory_path() / "tevra-simsession-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(tmpl.data()));
    const std::string dir = tmpl;
    std::vector<char> raw(6, 'x');  // 2 x 2 NV12
    std::ofstream(dir + "/a.nv12", std::ios::binary).write(raw.data(), 6);
    std::ofstream(dir + "/session.json")
        << "{\"imageSize\":{\"width\":2,\"height\":2},\"intrinsics\":{\"fx\":2,\"fy\":2,\"cx\":1,\"cy\":1},"
           "\"frames\":[{\"timestamp\":0,\"transform\":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],\"image\":\"a.nv12\"}]}";
    std::string error;
    auto rec = SessionRecording::load(dir, error, {0});
    ASSERT_TRUE(rec) << error;
    fs::remove_all(dir);
    SimARSessionFactory factory(rec);
    auto session = std::dynamic_pointer_cast<SimARSession>(factory.makeSession());
    ASSERT_TRUE(session);
    EXPECT_EQ(factory.lastSession(), session);
    auto delegate = std::make_shared<RecordingDelegate>();
    session->setDelegate(delegate);
    session->runWithConfiguration({}, 0);
    ASSERT_TRUE(session->step());
    ASSERT_EQ(delegate->frames.size(), 1u);
    EXPECT_FALSE(delegate->frames[0]->capturedImage());
    auto lines = fake->log->systemLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Simulated session: frame 0 image unavailable: ", 0), 0u) << lines[0];
}
