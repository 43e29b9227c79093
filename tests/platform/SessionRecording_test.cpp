#include "platform/sim/SessionRecording.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/sim/SessionWriter.h"

using namespace tevra;
using namespace tevra::sim;

namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "tevra-session-XXXXXX").string();
        path_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void writeText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> solidRGB(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = r;
        rgb[i + 1] = g;
        rgb[i + 2] = b;
    }
    return rgb;
}

uint8_t lumaAt(PixelBuffer& b, size_t x, size_t y) { return b.baseAddressOfPlane(0)[y * b.bytesPerRowOfPlane(0) + x]; }
uint8_t chromaAt(PixelBuffer& b, size_t cx, size_t cy, int k) {
    return b.baseAddressOfPlane(1)[cy * b.bytesPerRowOfPlane(1) + 2 * cx + k];
}

const char* kIdentity = "[1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1]";

std::string frameJson(double t, const std::string& extra = "") {
    return "{\"timestamp\":" + std::to_string(t) + ",\"transform\":" + kIdentity + extra + "}";
}

std::string sessionJson(const std::string& frames, const std::string& size = "{\"width\":4,\"height\":2}") {
    return "{\"version\":1,\"imageSize\":" + size +
           ",\"intrinsics\":{\"fx\":3,\"fy\":3,\"cx\":2,\"cy\":1},\"frames\":[" + frames + "]}";
}

}  // namespace

TEST(SessionRecording, LoadsTheDemoSession) {
    std::string error;
    auto rec = SessionRecording::load(std::string(TEVRA_SOURCE_DIR) + "/examples/sessions/demo", error);
    ASSERT_TRUE(rec) << error;
    EXPECT_EQ(rec->imageWidth(), 320);
    EXPECT_EQ(rec->imageHeight(), 240);
    ASSERT_EQ(rec->frames().size(), 30u);
    EXPECT_NEAR(rec->frameInterval(), 1.0 / 30, 1e-9);
    EXPECT_EQ(rec->frames().front().trackingState, 1);
    EXPECT_EQ(rec->frames().front().trackingStateReason, 1);
    EXPECT_EQ(rec->frames().back().trackingState, 2);
    size_t adds = 0, updates = 0;
    for (const RecordedFrame& f : rec->frames()) {
        ASSERT_TRUE(f.image);
        EXPECT_EQ(f.image->pixelFormatType(), kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
        EXPECT_EQ(f.image->widthOfPlane(1), 160u);
        for (const PlaneChange& c : f.planeChanges) (c.kind == PlaneChangeKind::Add ? adds : updates)++;
    }
    EXPECT_EQ(adds, 1u);
    EXPECT_GT(updates, 3u);
    // The camera walks forward (down -z).
    EXPECT_LT(rec->frames().back().transform.m(3, 2), rec->frames().front().transform.m(3, 2) - 0.5f);
}

TEST(SessionRecording, WriterRoundTripKeepsPosesTrackingPlanesAndColours) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const CameraIntrinsics k{50.5f, 51.25f, 31.5f, 24.0f};
    SessionWriter writer(dir.path(), 64, 48, k, 95);
    std::string error;
    const uint8_t colours[3][3] = {{255, 0, 0}, {0, 255, 0}, {128, 128, 128}};
    for (int i = 0; i < 3; ++i) {
        RecordedFrame f;
        f.timestamp = 10 + i * 0.1;
        f.transform = float4x4::translation(0.1f * i, 1.4f, -0.3f) * rotationY(0.1f * i);
        f.intrinsics = i == 2 ? CameraIntrinsics{60, 60, 32, 24} : k;
        f.trackingState = i == 0 ? 1 : 2;
        f.trackingStateReason = i == 0 ? 3 : 0;
        PlaneChange c;
        c.id = "floor";
        c.kind = i == 0 ? PlaneChangeKind::Add : i == 1 ? PlaneChangeKind::Update : PlaneChangeKind::Remove;
        c.transform = float4x4::translation(0, 0, -1);
        c.center = {0.1f, 0, 0.2f};
        c.extent = {1.5f + i, 0, 2};
        f.planeChanges.push_back(c);
        auto rgb = solidRGB(64, 48, colours[i][0], colours[i][1], colours[i][2]);
        ASSERT_TRUE(writer.addFrame(f, rgb.data(), 64 * 3, error)) << error;
    }
    ASSERT_TRUE(writer.finish(error)) << error;

    auto rec = SessionRecording::load(dir.path(), error);
    ASSERT_TRUE(rec) << error;
    ASSERT_EQ(rec->frames().size(), 3u);
    const auto& f0 = rec->frames()[0];
    EXPECT_EQ(f0.timestamp, 10);
    EXPECT_EQ(f0.transform, float4x4::translation(0, 1.4f, -0.3f) * rotationY(0));
    EXPECT_EQ(rec->frames()[1].transform, float4x4::translation(0.1f, 1.4f, -0.3f) * rotationY(0.1f));
    EXPECT_EQ(f0.intrinsics, k);
    EXPECT_EQ(rec->frames()[2].intrinsics, (CameraIntrinsics{60, 60, 32, 24}));
    EXPECT_EQ(f0.trackingState, 1);
    EXPECT_EQ(f0.trackingStateReason, 3);
    ASSERT_EQ(f0.planeChanges.size(), 1u);
    EXPECT_EQ(f0.planeChanges[0].kind, PlaneChangeKind::Add);
    EXPECT_EQ(f0.planeChanges[0].extent.x, 1.5f);
    EXPECT_EQ(f0.planeChanges[0].center.z, 0.2f);
    EXPECT_EQ(rec->frames()[2].planeChanges[0].kind, PlaneChangeKind::Remove);

    // Pure red in full-range BT.601: Y 76, Cb 85, Cr 255; green: 150, 44, 21;
    // grey 128: 128, 128, 128. JPEG leaves a few levels of error.
    const int expected[3][3] = {{76, 85, 255}, {150, 44, 21}, {128, 128, 128}};
    for (int i = 0; i < 3; ++i) {
        PixelBuffer& b = *rec->frames()[i].image;
        PixelBufferLock lock(b, kCVPixelBufferLock_ReadOnly);
        EXPECT_NEAR(lumaAt(b, 20, 20), expected[i][0], 3) << "frame " << i;
        EXPECT_NEAR(chromaAt(b, 10, 10, 0), expected[i][1], 3) << "frame " << i;
        EXPECT_NEAR(chromaAt(b, 10, 10, 1), expected[i][2], 3) << "frame " << i;
    }
}

TEST(SessionRecording, RGBToNV12IsFullRangeWithAveragedChroma) {
    // 3 x 3 (odd): left column black, the rest white; chroma of a grey is 128.
    std::vector<uint8_t> rgb(27, 255);
    for (int y = 0; y < 3; ++y) rgb[y * 9] = rgb[y * 9 + 1] = rgb[y * 9 + 2] = 0;
    PixelBufferRef b = nv12FromRGB(rgb.data(), 3, 3, 9);
    ASSERT_TRUE(b);
    PixelBufferLock lock(*b, kCVPixelBufferLock_ReadOnly);
    EXPECT_EQ(b->widthOfPlane(1), 2u);
    EXPECT_EQ(lumaAt(*b, 0, 0), 0);
    EXPECT_EQ(lumaAt(*b, 1, 2), 255);
    for (int cy = 0; cy < 2; ++cy)
        for (int cx = 0; cx < 2; ++cx) {
            EXPECT_EQ(chromaAt(*b, cx, cy, 0), 128);
            EXPECT_EQ(chromaAt(*b, cx, cy, 1), 128);
        }
    // Blue: Y 29, Cb 255, Cr 107.
    auto blue = solidRGB(2, 2, 0, 0, 255);
    PixelBufferRef bb = nv12FromRGB(blue.data(), 2, 2, 6);
    PixelBufferLock lock2(*bb, kCVPixelBufferLock_ReadOnly);
    EXPECT_EQ(lumaAt(*bb, 1, 1), 29);
    EXPECT_EQ(chromaAt(*bb, 0, 0, 0), 255);
    EXPECT_EQ(chromaAt(*bb, 0, 0, 1), 107);
    EXPECT_FALSE(nv12FromRGB(blue.data(), 0, 2, 6));
}

TEST(SessionRecording, ReadsRawNV12FramesExactlyAndOnDemand) {
    TempDir dir;
    // 5 x 3: 15 luma bytes, then 3 x 2 Cb/Cr pairs = 12 bytes.
    std::vector<uint8_t> raw(27);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 7);
    writeBytes(dir.path() + "/f0.nv12", raw);
    writeText(dir.path() + "/session.json",
              sessionJson(frameJson(0, ",\"image\":\"f0.nv12\"") + "," + frameJson(0.5), "{\"width\":5,\"height\":3}"));
    std::string error;
    for (size_t limit : {size_t{1} << 20, size_t{0}}) {
        auto rec = SessionRecording::load(dir.path(), error, {limit});
        ASSERT_TRUE(rec) << error;
        EXPECT_EQ(static_cast<bool>(rec->frames()[0].image), limit != 0);
        PixelBufferRef b = rec->imageForFrame(0, error);
        ASSERT_TRUE(b) << error;
        PixelBufferLock lock(*b, kCVPixelBufferLock_ReadOnly);
        EXPECT_EQ(lumaAt(*b, 4, 2), raw[14]);
        EXPECT_EQ(chromaAt(*b, 2, 1, 1), raw[15 + 11]);
        // The second frame has no image: null without an error.
        EXPECT_FALSE(rec->imageForFrame(1, error));
        EXPECT_EQ(error, "");
    }
    // A file that disappears after a lazy load is an error at delivery.
    auto rec = SessionRecording::load(dir.path(), error, {0});
    ASSERT_TRUE(rec);
    fs::remove(dir.path() + "/f0.nv12");
    EXPECT_FALSE(rec->imageForFrame(0, error));
    EXPECT_NE(error.find("f0.nv12"), std::string::npos) << error;
}

TEST(SessionRecording, BadSessionsFailWithAClearError) {
    struct Case {
        const char* name;
        std::string json;
        const char* fragment;
    };
    const std::vector<Case> cases = {
        {"not json", "{\"frames\": [", "not valid JSON"},
        {"not an object", "[1,2]", "top level"},
        {"no size", "{\"intrinsics\":{\"fx\":1,\"fy\":1,\"cx\":0,\"cy\":0},\"frames\":[]}", "imageSize"},
        {"odd size", sessionJson(frameJson(0), "{\"width\":4.5,\"height\":2}"), "whole numbers"},
        {"no frames", sessionJson(""), "non-empty array"},
        {"short transform", sessionJson("{\"timestamp\":0,\"transform\":[1,2,3]}"), "frame 0: \"transform\" needs 16"},
        {"text in transform", sessionJson("{\"timestamp\":0,\"transform\":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,\"x\"]}"),
         "needs 16 numbers"},
        {"no timestamp", sessionJson("{\"transform\":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]}"), "missing \"timestamp\""},
        {"time goes back", sessionJson(frameJson(1) + "," + frameJson(0.5)), "frame 1: timestamps must not decrease"},
        {"bad state", sessionJson(frameJson(0, ",\"trackingState\":\"great\"")), "unknown trackingState \"great\""},
        {"bad reason", sessionJson(frameJson(0, ",\"trackingStateReason\":9")), "trackingStateReason\" out of range"},
        {"bad focal",
         "{\"imageSize\":{\"width\":4,\"height\":2},\"intrinsics\":{\"fx\":0,\"fy\":1,\"cx\":0,\"cy\":0},"
         "\"frames\":[" +
             frameJson(0) + "]}",
         "fx and fy must be positive"},
        {"update first", sessionJson(frameJson(0, ",\"planes\":[{\"change\":\"update\",\"id\":\"p\"}]")),
         "updated before it is added"},
        {"added twice",
         sessionJson(frameJson(0, ",\"planes\":[{\"change\":\"add\",\"id\":\"p\",\"transform\":" +
                                      std::string(kIdentity) + ",\"center\":[0,0,0],\"extent\":[1,0,1]}]") +
                     "," +
                     frameJson(1, ",\"planes\":[{\"change\":\"add\",\"id\":\"p\",\"transform\":" +
                                      std::string(kIdentity) + ",\"center\":[0,0,0],\"extent\":[1,0,1]}]")),
         "frame 1: plane change 0: plane \"p\" is added twice"},
        {"bad change", sessionJson(frameJson(0, ",\"planes\":[{\"change\":\"grow\",\"id\":\"p\"}]")),
         "\"change\" must be"},
        {"plane without extent",
         sessionJson(frameJson(0, ",\"planes\":[{\"change\":\"add\",\"id\":\"p\",\"transform\":" +
                                      std::string(kIdentity) + ",\"center\":[0,0,0]}]")),
         "missing \"extent\""},
        {"missing image", sessionJson(frameJson(0, ",\"image\":\"nope.jpg\"")), "nope.jpg: cannot open file"},
        {"text image", sessionJson(frameJson(0, ",\"image\":\"notes.txt\"")), "not a JPEG image or an .nv12 file"},
        {"short nv12", sessionJson(frameJson(0, ",\"image\":\"short.nv12\"")), "NV12 file has 5 bytes"},
        {"broken jpeg", sessionJson(frameJson(0, ",\"image\":\"broken.jpg\"")), "not a valid JPEG image"},
        {"jpeg of another size", sessionJson(frameJson(0, ",\"image\":\"big.jpg\"")),
         "image is 8x8, the session's imageSize is 4x2"},
    };
    TempDir dir;
    writeText(dir.path() + "/notes.txt", "hello");
    writeBytes(dir.path() + "/short.nv12", {1, 2, 3, 4, 5});
    writeBytes(dir.path() + "/broken.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0, 1, 2, 3, 4});
    std::vector<uint8_t> jpeg;
    std::string error;
    auto rgb = solidRGB(8, 8, 10, 20, 30);
    ASSERT_TRUE(encodeRGBToJpeg(rgb.data(), 8, 8, 24, 90, jpeg, error)) << error;
    writeBytes(dir.path() + "/big.jpg", jpeg);

    for (const Case& c : cases) {
        writeText(dir.path() + "/session.json", c.json);
        error.clear();
        auto rec = SessionRecording::load(dir.path(), error);
        EXPECT_FALSE(rec) << c.name;
        EXPECT_NE(error.find(c.fragment), std::string::npos) << c.name << ": " << error;
    }
    error.clear();
    EXPECT_FALSE(SessionRecording::load(dir.path() + "/missing", error));
    EXPECT_NE(error.find("session.json: cannot open file"), std::string::npos) << error;

    std::string jerr;
    EXPECT_FALSE(decodeJpegToNV12(nullptr, 0, jerr));
    EXPECT_FALSE(jerr.empty());
}

TEST(SessionRecording, PlaneIdentifiersAreStableUUIDs) {
    EXPECT_EQ(planeAnchorIdentifier("0a1b2c3d-0000-4000-8000-abcdefabcdef"), "0A1B2C3D-0000-4000-8000-ABCDEFABCDEF");
    std::string floor = planeAnchorIdentifier("floor");
    EXPECT_EQ(floor, planeAnchorIdentifier("floor"));
    EXPECT_NE(floor, planeAnchorIdentifier("wall"));
    ASSERT_EQ(floor.size(), 36u);
    EXPECT_EQ(floor[8], '-');
    EXPECT_EQ(floor[14], '5');  // name-based version
    for (char c : floor) EXPECT_TRUE(c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << floor;
}
