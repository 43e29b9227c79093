// The renderer on real OpenGL ES (Mesa llvmpipe on a surfaceless EGL
// display): draws known camera frames offscreen and reads the pixels back.
#include <gtest/gtest.h>

#include "linux/support/Watchdog.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/fake/FakePlatform.h"
#include "platform/linux/GLDevice.h"
#include "render/Renderer.h"

using namespace tevra;

namespace {

struct YCbCr {
    uint8_t y, cb, cr;
};

// 75% colour bars: white, yellow, cyan, green, magenta, red, blue, black.
constexpr YCbCr kBars[8] = {{180, 128, 128}, {168, 44, 136}, {145, 147, 44}, {134, 63, 52},
                            {63, 193, 204},  {51, 109, 212}, {28, 212, 120}, {16, 128, 128}};
// A strip across the top 60 rows of the image, to tell up from down.
constexpr YCbCr kMarker = {120, 200, 60};
constexpr int kWidth = 640, kHeight = 480, kMarkerRows = 60;

PixelBufferRef colourBarsFrame() {
    auto buffer = PixelBuffer::create(kWidth, kHeight, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    buffer->lockBaseAddress(0);
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = buffer->baseAddressOfPlane(0) + y * buffer->bytesPerRowOfPlane(0);
        for (int x = 0; x < kWidth; ++x) row[x] = y < kMarkerRows ? kMarker.y : kBars[x / 80].y;
    }
    for (int y = 0; y < kHeight / 2; ++y) {
        uint8_t* row = buffer->baseAddressOfPlane(1) + y * buffer->bytesPerRowOfPlane(1);
        for (int x = 0; x < kWidth / 2; ++x) {
            const YCbCr c = y * 2 < kMarkerRows ? kMarker : kBars[x / 40];
            row[x * 2] = c.cb;
            row[x * 2 + 1] = c.cr;
        }
    }
    buffer->unlockBaseAddress(0);
    return buffer;
}

class GLRendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = fake::FakePlatform::install();
        setenv("TEVRA_FRAMEWORK_RESOURCES", TEVRA_SOURCE_RESOURCES, 1);
        Error error;
        device = gl::GLDevice::createSurfaceless(&error);
        ASSERT_TRUE(device) << "no OpenGL ES 3 on EGL: " << error.description();
        destination = std::make_shared<gl::GLOffscreenDestination>(device, kWidth, kHeight);
        session = std::make_shared<fake::FakeARSession>(fake->transcript);
        frame = std::make_shared<fake::FakeARFrame>();
        frame->image_ = colourBarsFrame();
        session->setCurrentFrame(frame);
        renderer = std::make_unique<Renderer>(session, device, destination);
        renderer->drawRectResized({kWidth, kHeight});
    }
    void TearDown() override {
        renderer.reset();
        destination.reset();
        device.reset();
    }
    RGB8 pixel(const std::vector<uint8_t>& rgba, int x, int y) {
        const uint8_t* p = &rgba[(static_cast<size_t>(y) * kWidth + x) * 4];
        return {p[0], p[1], p[2]};
    }
    void expectColour(const std::vector<uint8_t>& rgba, int x, int y, YCbCr c, const std::string& what) {
        const RGB8 want = ycbcrToRGB(c.y, c.cb, c.cr);
        const RGB8 got = pixel(rgba, x, y);
        EXPECT_NEAR(got.r, want.r, 2) << what << " at " << x << "," << y;
        EXPECT_NEAR(got.g, want.g, 2) << what << " at " << x << "," << y;
        EXPECT_NEAR(got.b, want.b, 2) << what << " at " << x << "," << y;
    }

    tevra::test::Watchdog watchdog{std::chrono::seconds(120), "GL renderer test"};
    std::shared_ptr<fake::FakePlatform> fake;
    std::shared_ptr<gl::GLDevice> device;
    std::shared_ptr<gl::GLOffscreenDestination> destination;
    std::shared_ptr<fake::FakeARSession> session;
    std::shared_ptr<fake::FakeARFrame> frame;
    std::unique_ptr<Renderer> renderer;
};

TEST_F(GLRendererTest, BothPipelinesBuildFromTheShippedLibrary) {
    EXPECT_TRUE(fake->log->systemLines().empty()) << fake->log->systemLines()[0];
    EXPECT_TRUE(renderer->capturedImagePipelineState());
    EXPECT_TRUE(renderer->anchorPipelineState());
    EXPECT_TRUE(renderer->cubeMesh());
}

TEST_F(GLRendererTest, ColourBarsMatchTheCpuConversion) {
    renderer->update();
    const auto rgba = destination->readPixels();
    for (int i = 0; i < 8; ++i) {
        expectColour(rgba, i * 80 + 40, 240, kBars[i], "bar " + std::to_string(i));
        expectColour(rgba, i * 80 + 10, 470, kBars[i], "bar " + std::to_string(i) + " bottom");
    }
    // Image top is view top.
    expectColour(rgba, 320, 20, kMarker, "marker");
    EXPECT_EQ(destination->presentCount(), 1);
}

TEST_F(GLRendererTest, PortraitTransformRotatesTheImageAQuarterTurnClockwise) {
    frame->display_ = AffineTransform{0, 1, -1, 0, 1, 0};
    renderer->setInterfaceOrientation(1);
    renderer->update();
    const auto rgba = destination->readPixels();
    // The vertical bars become horizontal bands, left bar at the top, and the
    // image's top strip runs down the right edge.
    for (int i = 0; i < 8; ++i) {
        expectColour(rgba, 300, i * 60 + 30, kBars[i], "band " + std::to_string(i));
        expectColour(rgba, 20, i * 60 + 30, kBars[i], "band " + std::to_string(i) + " left");
    }
    expectColour(rgba, 620, 30, kMarker, "marker top right");
    expectColour(rgba, 620, 450, kMarker, "marker bottom right");
}

TEST_F(GLRendererTest, SinglePlaneFramesRedrawThePreviousImage) {
    renderer->update();
    const auto before = destination->readPixels();
    frame->image_ = PixelBuffer::create(kWidth, kHeight, kCVPixelFormatType_OneComponent8);
    renderer->update();
    EXPECT_EQ(destination->readPixels(), before);
}

TEST_F(GLRendererTest, FramesWithoutPassStillCompleteSoUpdatesNeverStall) {
    destination->setPassAvailableForTesting(false);
    for (int i = 0; i < 10; ++i) renderer->update();
    EXPECT_EQ(destination->presentCount(), 10);
    destination->setPassAvailableForTesting(true);
    for (int i = 0; i < 10; ++i) renderer->update();
    EXPECT_EQ(destination->presentCount(), 20);
    EXPECT_TRUE(frame->image_->lockStats().balanced());
    const auto stats = device->uploadStats();
    EXPECT_EQ(stats.planes, 40u);
    EXPECT_EQ(stats.bytes, 20u * (kWidth * kHeight + kWidth * kHeight / 2));
}

TEST_F(GLRendererTest, CompletedHandlersRunOnTheCompletionThreadAfterTheWork) {
    auto queue = device->newCommandQueue();
    std::mutex m;
    std::condition_variable cv;
    int completed = 0;
    std::thread::id handlerThread;
    for (int i = 0; i < 5; ++i) {
        auto cb = queue->commandBuffer();
        cb->addCompletedHandler([&] {
            std::lock_guard<std::mutex> lock(m);
            ++completed;
            handlerThread = std::this_thread::get_id();
            cv.notify_all();
        });
        cb->commit();
    }
    std::unique_lock<std::mutex> lock(m);
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return completed == 5; }));
    EXPECT_NE(handlerThread, std::this_thread::get_id());
}

}  // namespace
