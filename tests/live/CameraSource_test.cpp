#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <thread>

#include "platform/live/GstCameraSource.h"
#include "platform/live/ScriptedCameraSource.h"

using namespace tevra;
using namespace tevra::live;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int kFrames = 5, kFps = 10;

struct TempDir {
    fs::path path;
    TempDir() {
        std::string name = (fs::temp_directory_path() / "tevra-camera-XXXXXX").string();
        path = mkdtemp(name.data());
    }
    ~TempDir() { fs::remove_all(path); }
};

// Writes `n` flat images in BGR `colour`; returns the printf path.
std::string writeSequence(const fs::path& dir, int n, cv::Scalar colour = {40, 90, 200}, cv::Size size = {64, 48}) {
    for (int i = 0; i < n; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%06d.png", i);
        cv::imwrite((dir / name).string(), cv::Mat(size, CV_8UC3, colour));
    }
    return (dir / "%06d.png").string();
}

// Records what a source delivers; every wait is bounded.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<double> times;
    std::vector<PixelBufferRef> kept;  // the first image, or the newest with keepNewest
    int lost = 0;
    std::string reason;
    bool afterLost = false, afterStop = false, keepNewest = false;
    std::atomic<bool> stopped{false};
    std::chrono::milliseconds delay{0};
    long maxLive = 0;

    bool start(CameraSource& source, std::string& error) {
        return source.start([this](CameraSample s) { onSample(std::move(s)); },
                            [this](const std::string& why) { onLost(why); }, error);
    }
    void onSample(CameraSample s) {
        std::this_thread::sleep_for(delay);
        std::lock_guard lock(mutex);
        afterLost |= lost > 0;
        afterStop |= stopped.load();
        times.push_back(s.timestamp);
        if (kept.empty() || keepNewest) kept = {std::move(s.image)};
        maxLive = std::max(maxLive, PixelBuffer::liveCount());
        changed.notify_all();
    }
    void onLost(const std::string& why) {
        std::lock_guard lock(mutex);
        ++lost;
        reason = why;
        changed.notify_all();
    }
    template <typename Pred>
    bool waitFor(Pred pred, std::chrono::seconds timeout = 10s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, pred);
    }
};

// GStreamer sources: a PNG sequence that ends, and the live test pattern.
struct RealSources {
    TempDir dir;
    std::unique_ptr<CameraSource> source;
    CameraSource& finite() {
        CameraSourceOptions options;
        options.framesPerSecond = kFps;
        options.realTime = false;
        std::string error;
        source = makeCameraSource("file:" + writeSequence(dir.path, kFrames), options, error);
        EXPECT_TRUE(source) << error;
        return *source;
    }
    CameraSource& endless() {
        std::string error;
        source = makeCameraSource("test", {.width = 160, .height = 120}, error);
        EXPECT_TRUE(source) << error;
        return *source;
    }
};

// The scripted source, fed as the camera would be.
struct FakeSources {
    ScriptedCameraSource source{"scripted"};
    std::atomic<bool> quit{false};
    std::thread feeder;
    ~FakeSources() {
        quit = true;
        if (feeder.joinable()) feeder.join();
        source.stop();
    }
    CameraSource& finite() {
        for (int i = 0; i < kFrames; ++i)
            source.push(
                {PixelBuffer::create(64, 48, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange), double(i) / kFps});
        source.lose("camera scripted: end of stream");
        return source;
    }
    CameraSource& endless() {
        feeder = std::thread([this] {
            for (int i = 0; !quit; ++i) {
                source.push({PixelBuffer::create(160, 120, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange), i / 30.0});
                std::this_thread::sleep_for(2ms);
            }
        });
        return source;
    }
};

template <typename Sources>
class CameraSourceContract : public ::testing::Test {};
using Implementations = ::testing::Types<FakeSources, RealSources>;
TYPED_TEST_SUITE(CameraSourceContract, Implementations);

TYPED_TEST(CameraSourceContract, DeliversInOrderThenLosesOnceAtTheEnd) {
    TypeParam sources;
    Recorder rec;
    std::string error;
    CameraSource& source = sources.finite();
    ASSERT_TRUE(rec.start(source, error)) << error;
    ASSERT_TRUE(rec.waitFor([&] { return rec.lost > 0; }));
    source.stop();
    ASSERT_EQ(rec.times.size(), size_t(kFrames));
    for (int i = 0; i < kFrames; ++i) EXPECT_NEAR(rec.times[i], double(i) / kFps, 1e-6) << i;
    ASSERT_EQ(rec.kept.size(), 1u);
    EXPECT_EQ(rec.kept[0]->width(), 64u);
    EXPECT_EQ(rec.kept[0]->height(), 48u);
    EXPECT_EQ(rec.kept[0]->pixelFormatType(), kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    EXPECT_EQ(rec.lost, 1);
    EXPECT_FALSE(rec.afterLost);
    EXPECT_NE(rec.reason.find("end of stream"), std::string::npos) << rec.reason;
    EXPECT_EQ(rec.reason.find('\n'), std::string::npos);
}

TYPED_TEST(CameraSourceContract, RisingTimesAndNothingAfterStop) {
    TypeParam sources;
    Recorder rec;
    std::string error;
    CameraSource& source = sources.endless();
    ASSERT_TRUE(rec.start(source, error)) << error;
    EXPECT_FALSE(source.start([](CameraSample) {}, [](const std::string&) {}, error)) << "started twice";
    ASSERT_TRUE(rec.waitFor([&] { return rec.times.size() >= 5; }));
    source.stop();
    rec.stopped = true;
    source.stop();                       // idempotent
    std::this_thread::sleep_for(100ms);  // room for a late handler to show itself
    std::lock_guard lock(rec.mutex);
    EXPECT_FALSE(rec.afterStop);
    EXPECT_EQ(rec.lost, 0);
    for (size_t i = 1; i < rec.times.size(); ++i) EXPECT_GT(rec.times[i], rec.times[i - 1]) << i;
}

TEST(ScriptedCameraSource, FailsStartWhenToldAndDropsWhatFollowsALoss) {
    ScriptedCameraSource source("scripted");
    Recorder rec;
    std::string error;
    source.failNextStart("no such camera");
    EXPECT_FALSE(rec.start(source, error));
    EXPECT_EQ(error, "camera scripted: no such camera");
    source.lose("unplugged");
    source.push({PixelBuffer::create(8, 8, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange), 0});
    ASSERT_TRUE(rec.start(source, error)) << error;
    ASSERT_TRUE(source.waitUntilDelivered(10s));
    EXPECT_EQ(rec.lost, 1);
    EXPECT_TRUE(rec.times.empty());
}

// Writes a three-image MJPEG clip at 10 images per second.
bool writeClip(const fs::path& file) {
    gst_init(nullptr, nullptr);
    const std::string line =
        "videotestsrc num-buffers=3 ! video/x-raw,width=64,height=48,framerate=10/1 ! jpegenc ! "
        "avimux ! filesink location=\"" +
        file.string() + "\"";
    GstElement* pipeline = gst_parse_launch(line.c_str(), nullptr);
    if (!pipeline) return false;
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* msg =
        gst_bus_timed_pop_filtered(bus, 10 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
    if (msg) gst_message_unref(msg);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return ok;
}

TEST(GstCameraSource, LoopingSequenceAndFileKeepTimesRising) {
    TempDir dir;
    ASSERT_TRUE(writeClip(dir.path / "clip.avi"));
    for (const std::string& path : {writeSequence(dir.path, 3), (dir.path / "clip.avi").string()}) {
        std::string error;
        CameraSourceOptions options{.framesPerSecond = kFps, .loop = true, .realTime = false};
        auto source = makeCameraSource("file:" + path, options, error);
        ASSERT_TRUE(source) << error;
        Recorder rec;
        ASSERT_TRUE(rec.start(*source, error)) << error;
        ASSERT_TRUE(rec.waitFor([&] { return rec.times.size() >= 8 || rec.lost; })) << path;
        source->stop();
        ASSERT_EQ(rec.lost, 0) << rec.reason;
        ASSERT_GE(rec.times.size(), 8u);
        for (size_t i = 0; i < 8; ++i) EXPECT_NEAR(rec.times[i], double(i) / kFps, 1e-6) << path << " " << i;
    }
}

TEST(GstCameraSource, FlatColourComesOutAsFullRangeBt601AtAnySize) {
    const double r = 200, g = 90, b = 40;
    const double y = 0.299 * r + 0.587 * g + 0.114 * b;
    const double cb = 128 - 0.168736 * r - 0.331264 * g + 0.5 * b;
    const double cr = 128 + 0.5 * r - 0.418688 * g - 0.081312 * b;
    for (const cv::Size size : {cv::Size(64, 48), cv::Size(1280, 720)}) {  // HD would default to BT.709
        TempDir dir;
        writeSequence(dir.path, 1, {b, g, r}, size);
        std::string error;
        auto source = makeCameraSource("file:" + (dir.path / "000000.png").string(), {}, error);
        ASSERT_TRUE(source) << error;
        Recorder rec;
        ASSERT_TRUE(rec.start(*source, error)) << error;
        ASSERT_TRUE(rec.waitFor([&] { return rec.lost > 0; }));
        source->stop();
        ASSERT_EQ(rec.times.size(), 1u);
        const PixelBuffer& image = *rec.kept[0];
        EXPECT_NEAR(image.baseAddressOfPlane(0)[20 * image.bytesPerRowOfPlane(0) + 30], y, 2) << size;
        const uint8_t* pair = image.baseAddressOfPlane(1) + 10 * image.bytesPerRowOfPlane(1) + 2 * 15;
        EXPECT_NEAR(pair[0], cb, 2) << size;
        EXPECT_NEAR(pair[1], cr, 2) << size;
    }
}

TEST(GstCameraSource, MissingDeviceOrFileFailsStartWithTheReason) {
    for (const std::string& text :
         std::vector<std::string>{"v4l2:/dev/video97", "file:/nonexistent/clip.mp4", "file:/nonexistent/%04d.png"}) {
        std::string error;
        auto source = makeCameraSource(text, {}, error);
        ASSERT_TRUE(source) << error;
        Recorder rec;
        EXPECT_FALSE(rec.start(*source, error)) << text;
        EXPECT_EQ(error.rfind("camera " + text + ": ", 0), 0u) << error;
        EXPECT_GT(error.size(), text.size() + 12) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    for (const char* text : {"webcam", "v4l2:", "file:", "file:a/%s.png", "file:a/%d-%d.png", "file:a/%04d.bmp"}) {
        std::string error;
        EXPECT_FALSE(makeCameraSource(text, {}, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(GstCameraSource, TestPatternAtTheRequestedSizeWithASlowConsumerHoldsOnlyTheNewest) {
    std::string error;
    auto source = makeCameraSource("test", {.width = 320, .height = 180, .framesPerSecond = 60}, error);
    ASSERT_TRUE(source) << error;
    Recorder rec;
    rec.keepNewest = true;
    rec.delay = 40ms;
    const long before = PixelBuffer::liveCount();
    ASSERT_TRUE(rec.start(*source, error)) << error;
    ASSERT_TRUE(rec.waitFor([&] { return rec.times.size() >= 6; }));
    source->stop();
    EXPECT_LE(rec.maxLive - before, 2);
    const PixelBuffer& image = *rec.kept[0];
    EXPECT_EQ(image.width(), 320u);
    EXPECT_EQ(image.height(), 180u);
    EXPECT_EQ(image.widthOfPlane(1), 160u);
    EXPECT_EQ(image.heightOfPlane(1), 90u);
    // The source ran on while the consumer slept: what it got skips images.
    EXPECT_GT(rec.times.back() - rec.times.front(), (rec.times.size() - 1) * 1.5 / 60);
}

}  // namespace
