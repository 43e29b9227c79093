// The whole on-device detection path on the real components: the page's
// "prepare_models" fetches both test models from a loopback server (libcurl,
// libzip, the OpenCV runtime), "turn_on" switches detection on, generated
// camera frames show a sign, the eleventh frame reads the floor, and the next
// VPS answer naming "floor_by_yolo" carries it.
#include "detection/YOLOService.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <chrono>
#include <cmath>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "linux/support/LoopbackServer.h"
#include "models/ModelManager.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/OpenCVModelRuntime.h"
#include "platform/linux/ZipExtractor.h"

using namespace tevra;
using nlohmann::json;
using tevra::testing::LoopbackRequest;
using tevra::testing::LoopbackResponse;
using tevra::testing::LoopbackServer;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

struct RGB {
    float r, g, b;
};

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A ZIP holding the files of `package` under TOP/ (stored, in memory).
std::string zipPackage(const std::string& top, const fs::path& package) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_source_keep(buffer);
    zip_t* z = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    std::deque<std::string> data;
    zip_dir_add(z, (top + "/").c_str(), ZIP_FL_ENC_UTF_8);
    for (auto& e : fs::directory_iterator(package)) {
        data.push_back(readFile(e.path()));
        zip_source_t* src = zip_source_buffer(z, data.back().data(), data.back().size(), 0);
        zip_file_add(z, (top + "/" + e.path().filename().string()).c_str(), src, ZIP_FL_ENC_UTF_8);
    }
    EXPECT_EQ(zip_close(z), 0);
    zip_stat_t st;
    zip_source_stat(buffer, &st);
    std::string out(static_cast<size_t>(st.size), '\0');
    zip_source_open(buffer);
    zip_source_read(buffer, out.data(), st.size);
    zip_source_close(buffer);
    zip_source_free(buffer);
    zip_error_fini(&error);
    return out;
}

// A "420f" camera frame whose upright view, for a portrait device, shows
// `upright(x, y)` (the inverse of the pipeline's colour conversion).
PixelBufferRef portraitCameraFrame(size_t sensorW, size_t sensorH, const std::function<RGB(size_t, size_t)>& upright) {
    auto frame = PixelBuffer::create(sensorW, sensorH, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    auto sensorColour = [&](size_t xs, size_t ys) { return upright(sensorH - 1 - ys, xs); };
    PixelBufferLock lock(*frame, 0);
    uint8_t* yPlane = frame->baseAddressOfPlane(0);
    uint8_t* uvPlane = frame->baseAddressOfPlane(1);
    for (size_t y = 0; y < sensorH; y += 2)
        for (size_t x = 0; x < sensorW; x += 2) {
            float cb = 0, cr = 0;
            for (size_t dy = 0; dy < 2; ++dy)
                for (size_t dx = 0; dx < 2; ++dx) {
                    RGB c = sensorColour(x + dx, y + dy);
                    float luma = 16 + 65.481f * c.r + 128.553f * c.g + 24.966f * c.b;
                    yPlane[(y + dy) * frame->bytesPerRowOfPlane(0) + x + dx] = static_cast<uint8_t>(std::lround(luma));
                    cb += 128 - 37.797f * c.r - 74.203f * c.g + 112.0f * c.b;
                    cr += 128 + 112.0f * c.r - 93.786f * c.g - 18.214f * c.b;
                }
            uint8_t* p = uvPlane + (y / 2) * frame->bytesPerRowOfPlane(1) + x;
            p[0] = static_cast<uint8_t>(std::lround(cb / 4));
            p[1] = static_cast<uint8_t>(std::lround(cr / 4));
        }
    return frame;
}

// Olive background, a red 320 x 120 sign centred at (cx, cy) with up to four
// glyphs (class c coloured (0, 0.8 c / 10, 0.8); "P" is class 10).
std::function<RGB(size_t, size_t)> signScene(const std::string& glyphs, size_t cx, size_t cy) {
    return [=](size_t x, size_t y) -> RGB {
        const long sx = static_cast<long>(x) - (static_cast<long>(cx) - 160);
        const long sy = static_cast<long>(y) - (static_cast<long>(cy) - 60);
        if (sx < 0 || sx >= 320 || sy < 0 || sy >= 120) return {0.35f, 0.35f, 0.0f};
        const size_t slot = static_cast<size_t>(sx / 80);
        const long inSlot = sx % 80;
        if (slot < glyphs.size() && glyphs[slot] != ' ' && inSlot >= 20 && inSlot < 60 && sy >= 30 && sy < 90) {
            int c = glyphs[slot] == 'P' ? 10 : glyphs[slot] - '0';
            return {0.0f, 0.8f * static_cast<float>(c) / 10.0f, 0.8f};
        }
        return {1.0f, 0.0f, 0.0f};
    };
}

class DetectionPath : public ::testing::Test {
protected:
    void SetUp() override {
        fake_ = fake::FakePlatform::install();
        fake_->platform->http = std::make_shared<linux_platform::CurlHttpClient>();
        fake_->platform->archive = std::make_shared<linux_platform::ZipExtractor>();
        fake_->platform->models = std::make_shared<OpenCVModelRuntime>();
        root_ = fs::temp_directory_path() / ("tevra-detection-path-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "documents");
        fs::create_directories(root_ / "bundle");
        fake_->platform->documentsDirectory = (root_ / "documents").string();
        fake_->platform->resourcesDirectory = (root_ / "bundle").string();
        std::string cmd = std::string("/usr/bin/python3 ") + TEVRA_SOURCE_DIR + "/tools/make_test_models.py " +
                          (root_ / "packages").string() + " --form package";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        std::string sign = zipPackage("sign.mlpackage", root_ / "packages" / "test_sign.mlpackage");
        std::string digit = zipPackage("digit.mlpackage", root_ / "packages" / "test_digit.mlpackage");
        server_ = std::make_unique<LoopbackServer>([sign, digit](const LoopbackRequest& r) {
            LoopbackResponse response;
            if (r.target == "/models/sign.zip")
                response.body = sign;
            else if (r.target == "/models/digit.zip")
                response.body = digit;
            else
                response.status = 404;
            return response;
        });
        ASSERT_TRUE(server_->listening());
    }
    void TearDown() override {
        server_.reset();
        fake_->platform->http.reset();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Drains the main queue until a system-log line equals `line`.
    bool waitForSystemLine(const std::string& line, double seconds = 60) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            fake_->dispatch->mainQueue().drain();
            Lines lines = fake_->log->systemLines();
            if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    std::shared_ptr<fake::FakePlatform> fake_;
    std::unique_ptr<LoopbackServer> server_;
    fs::path root_;
};

}  // namespace

TEST_F(DetectionPath, PreparedModelsReadTheFloorOnTheEleventhFrameForTheNextVPSAnswer) {
    const std::string signName = "path_sign_" + std::to_string(::getpid());
    const std::string digitName = "path_digit_" + std::to_string(::getpid());
    YOLOService service;
    service.handleMessage(json{{"command", "prepare_models"},
                               {"models", json::array({{{"name", signName},
                                                        {"url", server_->url("/models/sign.zip")},
                                                        {"model_function", "sign_detection"},
                                                        {"conf_threshold", 0.5}},
                                                       {{"name", digitName},
                                                        {"url", server_->url("/models/digit.zip")},
                                                        {"model_function", "digit_detection"},
                                                        {"conf_threshold", 0.3}}})}});
    ASSERT_TRUE(waitForSystemLine("[YOLO] All models ready")) << ::testing::PrintToString(fake_->log->stdoutLines());
    Lines lines = fake_->log->systemLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[YOLO] Model " + signName + " ready"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[YOLO] Model " + digitName + " ready"), lines.end());
    EXPECT_TRUE(fs::exists(root_ / "documents" / (signName + ".mlmodelc")));
    ASSERT_TRUE(ModelManager::shared()->isModelLoaded(signName));
    ASSERT_TRUE(ModelManager::shared()->isModelLoaded(digitName));

    service.handleMessage("turn_on");
    fake_->device->setOrientation(UIDeviceOrientationPortrait);
    // Sensor 640 x 480, upright 480 x 640, a sign reading "P3".
    auto frame = std::make_shared<fake::FakeARFrame>();
    frame->image_ = portraitCameraFrame(640, 480, signScene("P3", 260, 280));
    fake_->log->clear();
    for (int i = 0; i < 10; ++i) service.processFrame(frame);
    EXPECT_TRUE(fake_->log->systemLines().empty());
    service.processFrame(frame);
    EXPECT_EQ(fake_->log->systemLines(),
              (Lines{"Detected floor = 3", "[YOLO] Detection stopped", "[YOLO] detectedFloor updated = 3"}));
    EXPECT_FALSE(service.manager->startDetectingFloor);
    for (int i = 0; i < 20; ++i) service.processFrame(frame);
    EXPECT_EQ(fake_->log->systemLines().size(), 3u);

    std::string answer =
        service.processVPSResult(R"({"id":"r1","data":{"attributes":{"floor_detector":"floor_by_yolo","x":1.25}}})");
    json parsed = json::parse(answer);
    EXPECT_EQ(parsed["data"]["attributes"]["detected_floor"], 3);
    EXPECT_EQ(parsed["data"]["attributes"]["x"], 1.25);
    EXPECT_EQ(parsed["id"], "r1");
    EXPECT_EQ(fake_->log->systemLines().back(), "[YOLO] Override detected_floor = 3");
}
