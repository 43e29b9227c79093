#include "platform/live/LiveARSession.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <cmath>
#include <thread>

#include <opencv2/core/utility.hpp>

#include "live/BoardViews.h"
#include "platform/fake/FakePlatform.h"
#include "platform/live/ScriptedCameraSource.h"

using namespace tevra;
using namespace tevra::live;
namespace views = tevra::live::testing;

namespace {

constexpr int kWidth = 1280, kHeight = 720;

// Remembers every callback, in order, as short texts.
class Recorder : public ARSessionDelegate {
public:
    std::vector<std::string> events;
    std::vector<std::shared_ptr<ARFrame>> frames;
    void sessionDidUpdateFrame(ARSession&, const std::shared_ptr<ARFrame>& f) override {
        frames.push_back(f);
        events.push_back("frame");
    }
    void sessionDidAddAnchors(ARSession&, const ARAnchorList& a) override { note("added", a); }
    void sessionDidUpdateAnchors(ARSession&, const ARAnchorList& a) override { note("updated", a); }
    void sessionDidRemoveAnchors(ARSession&, const ARAnchorList& a) override { note("removed", a); }
    void sessionCameraDidChangeTrackingState(ARSession&, const std::shared_ptr<ARCamera>& c) override {
        events.push_back("tracking " + std::to_string(c->trackingState()) + "/" +
                         std::to_string(c->trackingStateReason()));
    }
    void sessionDidFailWithError(ARSession&, const Error&) override { events.push_back("failed"); }
    void sessionWasInterrupted(ARSession&) override {}
    void sessionInterruptionEnded(ARSession&) override {}

private:
    void note(const char* what, const ARAnchorList& list) {
        std::string text = what;
        for (const auto& a : list) text += a->isPlaneAnchor() ? " plane" : " " + a->identifier();
        events.push_back(text);
    }
};

struct LiveFixture : ::testing::Test {
    std::shared_ptr<fake::FakeDispatch> dispatch = std::make_shared<fake::FakeDispatch>();
    ScriptedCameraSource* camera = nullptr;
    std::shared_ptr<LiveARSession> session;
    std::shared_ptr<Recorder> delegate = std::make_shared<Recorder>();
    BoardSpec board = BoardSpec{};  // the default board
    CameraCalibration calibration;

    void SetUp() override {
        // OpenCV's own worker pool is not what these tests look at, and
        // ThreadSanitizer cannot see its synchronisation: it stays out.
        cv::setNumThreads(0);
        dispatch->setMainThreadToCurrent();
        calibration.width = kWidth;
        calibration.height = kHeight;
        calibration.fx = calibration.fy = 900;
        calibration.cx = 640;
        calibration.cy = 360;
        auto source = std::make_unique<ScriptedCameraSource>("scripted");
        camera = source.get();
        LiveSessionOptions options;
        options.board = board;
        options.calibration = calibration;
        session = LiveARSession::create(std::move(source), options, dispatch);
        session->setDelegate(delegate);
    }

    // A "420f" image of the board seen from `pose`, or of no board.
    PixelBufferRef image(const views::CameraPose* pose, uint64_t seed) {
        cv::Mat grey;
        if (pose) {
            grey = views::renderView(board, *pose, calibration.intrinsicsFor(kWidth, kHeight), kWidth, kHeight, seed);
        } else {
            cv::RNG rng(seed);
            grey = views::background({kWidth, kHeight}, rng);
        }
        PixelBufferRef b = PixelBuffer::create(kWidth, kHeight, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
        PixelBufferLock lock(*b, 0);
        for (int y = 0; y < kHeight; ++y)
            std::memcpy(b->baseAddressOfPlane(0) + y * b->bytesPerRowOfPlane(0), grey.ptr(y), kWidth);
        for (int y = 0; y < kHeight / 2; ++y)
            std::memset(b->baseAddressOfPlane(1) + y * b->bytesPerRowOfPlane(1), 128, kWidth);
        return b;
    }

    // Pushes one image and runs the main queue until its frame arrived.
    bool play(const views::CameraPose* pose, double t) {
        const size_t before = delegate->frames.size();
        camera->push({image(pose, static_cast<uint64_t>(t * 1000)), t});
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (delegate->frames.size() == before && std::chrono::steady_clock::now() < end) {
            if (!dispatch->mainQueue().drain()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return delegate->frames.size() > before;
    }
};

}  // namespace

// The board defines the world: tracking starts "initializing", turns normal
// with the board's plane when the board is seen, keeps the last pose as
// "insufficient features" while it is gone, and turns normal again.
TEST_F(LiveFixture, TrackingFollowsTheBoardAndThePlaneLiesOnIt) {
    ARWorldTrackingConfiguration config;
    config.planeDetection = ARPlaneDetectionHorizontal;
    session->runWithConfiguration(config, 0);
    const views::CameraPose pose = views::lookAtBoard(0.6, 0.4, 0.3, 0.1);
    ASSERT_TRUE(play(nullptr, 0.0));
    ASSERT_TRUE(play(&pose, 0.033));
    ASSERT_TRUE(play(&pose, 0.067));
    ASSERT_TRUE(play(nullptr, 0.1));
    ASSERT_TRUE(play(&pose, 0.133));
    const std::vector<std::string> expected = {"tracking 1/1", "frame",        "tracking 2/0", "added plane",  "frame",
                                               "frame",        "tracking 1/3", "frame",        "tracking 2/0", "frame"};
    EXPECT_EQ(delegate->events, expected);

    // The pose is the true one within a centimetre, in the session's camera
    // axes; while lost the last pose is kept.
    const auto seen = delegate->frames[2]->camera()->transform();
    EXPECT_NEAR(seen.m(3, 0), pose.position[0], 0.01);
    EXPECT_NEAR(seen.m(3, 1), pose.position[1], 0.01);
    EXPECT_NEAR(seen.m(3, 2), pose.position[2], 0.01);
    EXPECT_NEAR(seen.m(2, 1), pose.rotation(1, 2), 0.02);  // the camera's z axis, world y
    EXPECT_EQ(delegate->frames[3]->camera()->transform().elements(), seen.elements());
    // The plane is the board: at the origin, with the printed pattern's extent.
    const auto& plane = static_cast<const ARPlaneAnchor&>(*delegate->frames[1]->anchors().at(0));
    EXPECT_FLOAT_EQ(plane.extent().x, 0.2f);
    EXPECT_FLOAT_EQ(plane.extent().z, 0.28f);
    // Intrinsics and timestamps are the camera's.
    EXPECT_FLOAT_EQ(delegate->frames[1]->camera()->intrinsics().m(0, 0), 900.f);
    EXPECT_DOUBLE_EQ(delegate->frames[4]->timestamp(), 0.133);
}

// Anchors are reported as on the simulated session; a reset forgets the
// plane; a camera that goes away is "not available", once.
TEST_F(LiveFixture, AnchorsResetAndALostCamera) {
    ARWorldTrackingConfiguration config;
    config.planeDetection = ARPlaneDetectionHorizontal;
    session->runWithConfiguration(config, 0);
    const views::CameraPose pose = views::lookAtBoard(0.5, 0.2, 0, 0);
    ASSERT_TRUE(play(&pose, 1.0));
    auto anchor = std::make_shared<ARAnchor>("A", float4x4::identity());
    session->addAnchor(anchor);
    ASSERT_TRUE(play(&pose, 1.1));
    ASSERT_TRUE(play(&pose, 1.2));
    session->removeAnchor(anchor);
    session->runWithConfiguration(config, ARSessionRunOptionResetTracking);
    ASSERT_TRUE(play(nullptr, 1.3));
    const std::vector<std::string> expected = {"tracking 2/0",    "added plane", "frame", "added A",
                                               "frame",           "updated A",   "frame", "tracking 1/1",
                                               "removed A plane", "frame"};
    EXPECT_EQ(delegate->events, expected);

    delegate->events.clear();
    camera->lose("camera scripted: unplugged");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (delegate->events.empty() && std::chrono::steady_clock::now() < end) {
        camera->waitUntilDelivered(std::chrono::milliseconds(100));
        dispatch->mainQueue().drain();
    }
    EXPECT_EQ(delegate->events, std::vector<std::string>{"tracking 0/0"});
}

// A camera faster than the tracker: images are dropped, never queued, and
// the main thread gets one frame at a time.
TEST_F(LiveFixture, ImagesArrivingWhileTheTrackerIsBusyAreDropped) {
    session->runWithConfiguration({}, 0);
    const views::CameraPose pose = views::lookAtBoard(0.5, 0.3, 1, 0);
    const PixelBufferRef view = image(&pose, 7);
    for (int i = 0; i < 200; ++i) camera->push({view, i / 30.0});
    ASSERT_TRUE(camera->waitUntilDelivered(std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LE(dispatch->mainQueue().pending(), 1u);
    dispatch->mainQueue().drain();
    const LiveSessionStats stats = session->stats();
    EXPECT_EQ(stats.imagesReceived, 200u);
    EXPECT_LT(stats.imagesTracked, 200u);
    EXPECT_LE(stats.framesDelivered, stats.imagesTracked);
}
