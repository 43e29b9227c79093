// The whole loop in one run, as a user would see it: tevra-host plays a
// generated session (a room with a floor sign showing "3") with the demo page,
// which prepares both committed models from a loopback server, turns
// detection on and asks a loopback VPS stub for fixes. The floor read on the
// device must come back inside the VPS answers the page receives.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "linux/support/Sanitizers.h"
#include "platform/live/CameraCalibration.h"
#include "platform/sim/SessionRecording.h"
#include "platform/sim/SimCamera.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

#if TEVRA_TEST_ASAN || TEVRA_TEST_TSAN
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::string runCommand(const std::string& command, int& status) {
    std::string out;
    FILE* f = popen(command.c_str(), "r");
    if (!f) {
        status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    status = pclose(f);
    return out;
}

// Share of pixels in the rectangle that are the demo page's grid colour.
double gridShare(cairo_surface_t* image, int x0, int y0, int x1, int y1) {
    const int stride = cairo_image_surface_get_stride(image);
    const unsigned char* data = cairo_image_surface_get_data(image);
    long grid = 0, all = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const unsigned char* p = data + y * stride + x * 4;  // B, G, R, A
            ++all;
            if (p[2] < 140 && p[1] > 180 && p[0] > 180) ++grid;
        }
    return all ? static_cast<double>(grid) / all : 0;
}

TEST(WholeLoop, FloorReadOnTheDeviceComesBackInTheVPSAnswer) {
    if (kSanitized) GTEST_SKIP() << "the whole loop runs in the optimised build (the host's frame timing is the point)";
    const fs::path work = fs::temp_directory_path() / ("tevra-whole-loop-" + std::to_string(::getpid()));
    fs::remove_all(work);
    // The driver bounds every step (generation, server start, the host run).
    const std::string command = std::string("timeout 150 /usr/bin/python3 ") + TEVRA_SOURCE_DIR +
                                "/tools/whole_loop.py --host " + TEVRA_HOST_BINARY + " --synth " + TEVRA_SYNTH_BINARY +
                                " --work " + work.string() + " --seconds 6 2>&1";
    int status = 0;
    const std::string out = runCommand(command, status);
    ASSERT_EQ(status, 0) << out;
    std::ifstream in(work / "summary.json");
    const json s = json::parse(in, nullptr, false);
    ASSERT_TRUE(s.is_object()) << out;
    const auto hostLog = [&] {
        std::ifstream f(work / "host.log");
        return std::string(std::istreambuf_iterator<char>(f), {});
    };

    // Both models were downloaded once, compiled and loaded.
    EXPECT_EQ(s["downloads"].value("/models/yolo26n_sign_640.zip", 0), 1) << out;
    EXPECT_EQ(s["downloads"].value("/models/yolo26n_digit_640.zip", 0), 1) << out;
    EXPECT_TRUE(s["allModelsReady"].get<bool>()) << hostLog();

    // Detection ran until it found the floor of the sign, then stopped: every
    // run before the last found nothing, and no run came after it.
    const int expected = s["expectedFloor"].get<int>();
    EXPECT_EQ(expected, 3);
    const auto runs = s["detectionRuns"].get<std::vector<int>>();
    ASSERT_FALSE(runs.empty()) << hostLog();
    EXPECT_EQ(runs.back(), expected) << out;
    for (size_t i = 0; i + 1 < runs.size(); ++i) EXPECT_EQ(runs[i], -1) << "run " << i;
    EXPECT_EQ(s["detectionStopped"], 1);
    // One run per ten eligible frames, the first on the eleventh: never more
    // runs than the frames delivered allow.
    const int frames = s["report"].value("framesDelivered", 0);
    EXPECT_LE(static_cast<int>(runs.size()), std::max(0, (frames - 1) / 10)) << out;

    // The VPS answers after it carry the floor, and the page shows it.
    ASSERT_FALSE(s["overrides"].empty()) << out;
    for (const auto& f : s["overrides"]) EXPECT_EQ(f, expected);
    EXPECT_EQ(s["pageDetectedFloor"], expected) << out;
    EXPECT_EQ(s["pageLastAnswer"]["data"]["attributes"]["detected_floor"], expected);
    EXPECT_EQ(s["pageLastAnswer"]["data"]["attributes"]["floor_detector"], "floor_by_yolo");

    // The stub received the upright frame fitted into 540 x 720, with the
    // intrinsics of the full upright image (1440 x 1920), and the token.
    ASSERT_FALSE(s["vpsRequests"].empty()) << out;
    for (const auto& r : s["vpsRequests"]) {
        EXPECT_EQ(r["jpeg"], json::array({540, 720}));
        EXPECT_EQ(r["intrinsics"], json::array({1440, 1920}));
        EXPECT_EQ(r["authorization"], "Bearer loop-token");
    }

    // The last frame looks at the sign's wall with the floor along the bottom
    // edge: the page's grid shows on both, over the camera image.
    ASSERT_TRUE(s["screenshot"].is_string()) << out;
    cairo_surface_t* shot = cairo_image_surface_create_from_png(s["screenshot"].get<std::string>().c_str());
    ASSERT_EQ(cairo_surface_status(shot), CAIRO_STATUS_SUCCESS);
    const int w = cairo_image_surface_get_width(shot), h = cairo_image_surface_get_height(shot);
    ASSERT_EQ(w, 390);
    ASSERT_EQ(h, 844);
    // The bottom band beside the page's buttons is floor in the camera image.
    const double floorGrid =
        (gridShare(shot, 0, h * 88 / 100, w * 12 / 100, h) + gridShare(shot, w * 88 / 100, h * 88 / 100, w, h)) / 2;
    EXPECT_GT(floorGrid, 0.05) << "no grid over the floor";
    // The camera image shows through between the grid lines.
    EXPECT_LT(floorGrid, 0.8);
    cairo_surface_destroy(shot);
    fs::remove_all(work);
}

// The whole loop on a live camera: the host reads generated frames of a
// room with a printed board on its floor and a floor sign on the wall as its
// camera. The floor is read on the device and comes back in the VPS answers.
TEST(WholeLoop, OnALiveCameraTheFloorComesBackInTheVPSAnswer) {
    if (kSanitized) GTEST_SKIP() << "the whole loop runs in the optimised build (the host's frame timing is the point)";
    const fs::path work = fs::temp_directory_path() / ("tevra-whole-loop-live-" + std::to_string(::getpid()));
    // 1920 x 1440 PNG frames decode slowly on a loaded machine (as few as five
    // a second): the run is long enough for detection to read the sign and
    // for VPS fixes to follow it.
    fs::remove_all(work);
    const std::string command = std::string("timeout 200 /usr/bin/python3 ") + TEVRA_SOURCE_DIR +
                                "/tools/whole_loop.py --host " + TEVRA_HOST_BINARY + " --synth " + TEVRA_SYNTH_BINARY +
                                " --work " + work.string() + " --live --live-frames 100 --seconds 14 2>&1";
    int status = 0;
    const std::string out = runCommand(command, status);
    ASSERT_EQ(status, 0) << out;
    std::ifstream in(work / "summary.json");
    const json s = json::parse(in, nullptr, false);
    ASSERT_TRUE(s.is_object()) << out;
    EXPECT_TRUE(s["allModelsReady"].get<bool>()) << out;
    const auto runs = s["detectionRuns"].get<std::vector<int>>();
    ASSERT_FALSE(runs.empty()) << out;
    EXPECT_EQ(runs.back(), 3) << out;
    ASSERT_FALSE(s["overrides"].empty()) << out;
    for (const auto& f : s["overrides"]) EXPECT_EQ(f, 3);
    EXPECT_EQ(s["pageDetectedFloor"], 3) << out;
    // Landscape frames of the camera: the VPS image is the frame fitted into
    // 540 wide, with the full frame's intrinsics.
    for (const auto& r : s["vpsRequests"]) {
        EXPECT_EQ(r["jpeg"], json::array({540, 405}));
        EXPECT_EQ(r["intrinsics"], json::array({1920, 1440}));
    }
    EXPECT_LT(s["report"]["poseError"].value("positionMedianCm", 99.0), 1.0) << out;
    fs::remove_all(work);
}

// A live camera, as a person with a webcam and a printed board would run it:
// tevra-host reads a generated image sequence of a board lying on a floor
// (tevra-synth board) as its camera, with the demo page. The poses match the
// generating camera path, tracking turns "limited" while the board is out of
// view and "normal" again, the page's projection is the one of the
// calibration's intrinsics, the page's grid is drawn, and the run is recorded
// as a session that loads.
TEST(LiveCamera, PosesMatchTheGeneratedPathAndThePageDrawsOnTheBoard) {
    if (kSanitized) GTEST_SKIP() << "the live run plays in real time in the optimised build";
    const fs::path work = fs::temp_directory_path() / ("tevra-live-" + std::to_string(::getpid()));
    fs::remove_all(work);
    fs::create_directories(work);
    int status = 0;
    std::string out = runCommand(std::string("timeout 120 ") + TEVRA_SYNTH_BINARY + " board " + TEVRA_SOURCE_DIR +
                                     "/apps/tevra-synth/scenes/board.json " + (work / "seq").string() +
                                     " --size 1280x720 --frames 120 2>&1",
                                 status);
    ASSERT_EQ(status, 0) << out;
    const fs::path seq = work / "seq";
    out = runCommand(std::string("timeout 120 ") + TEVRA_HOST_BINARY + " --headless --seconds 5 --no-page-console" +
                         " --camera 'file:" + (seq / "frames/%06d.png").string() + "' --calibration " +
                         (seq / "camera.json").string() + " --truth " + (seq / "truth").string() + " --record " +
                         (work / "rec").string() + " --resources " + TEVRA_SOURCE_DIR +
                         "/examples/resources --documents " + (work / "documents").string() + " --defaults " +
                         (work / "defaults.json").string() + " --url file://demo --screenshot " +
                         (work / "shot.png").string() + " 2>&1",
                     status);
    ASSERT_EQ(status, 0) << out;

    double posMedian = 99, posP95 = 99, rotMedian = 99, rotP95 = 99;
    int compared = 0, normal = 0, limited = 0, changes = 0;
    std::string page;
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) {
        std::sscanf(l.c_str(),
                    "report: pose error against the truth: %d frames; position median %lf cm, p95 %lf cm; rotation "
                    "median %lf deg, p95 %lf deg",
                    &compared, &posMedian, &posP95, &rotMedian, &rotP95);
        std::sscanf(l.c_str(), "report: live tracking: normal in %d frames, limited in %d, %d changes", &normal,
                    &limited, &changes);
        if (l.rfind("page: ", 0) == 0) page = l.substr(6);
    }
    EXPECT_GT(compared, 40) << out;
    EXPECT_LT(posMedian, 1.0) << out;
    EXPECT_LT(rotMedian, 1.0) << out;
    EXPECT_LT(posP95, 3.0) << out;
    EXPECT_LT(rotP95, 3.0) << out;
    // Seen, lost while the camera looks away, seen again.
    EXPECT_GE(changes, 2) << out;
    EXPECT_GT(limited, 0) << out;

    // The page's projection is the calibration's, for the landscape window.
    std::string error;
    auto calibration = tevra::live::loadCameraCalibration((seq / "camera.json").string(), error);
    ASSERT_TRUE(calibration) << error;
    const json state = json::parse(page, nullptr, false);
    ASSERT_TRUE(state.is_object() && state["projection"].is_array()) << out;
    const auto expected = tevra::sim::projectionMatrixForOrientation(calibration->intrinsicsFor(1280, 720), {1280, 720},
                                                                     3, {960, 540}, 0.01f, 10000.f)
                              .elements();
    for (size_t i = 0; i < 16; ++i) EXPECT_NEAR(state["projection"][i].get<double>(), expected[i], 1e-4) << i;
    EXPECT_EQ(state.value("planes", 0), 1);

    // The page drew its grid on the plane at the board.
    cairo_surface_t* shot = cairo_image_surface_create_from_png((work / "shot.png").c_str());
    ASSERT_EQ(cairo_surface_status(shot), CAIRO_STATUS_SUCCESS);
    EXPECT_GT(gridShare(shot, 0, 0, cairo_image_surface_get_width(shot), cairo_image_surface_get_height(shot)), 0.002);
    cairo_surface_destroy(shot);

    // The recording loads as a session, with the frames the host delivered.
    auto recording = tevra::sim::SessionRecording::load((work / "rec").string(), error);
    ASSERT_TRUE(recording) << error;
    EXPECT_GE(static_cast<int>(recording->frames().size()), normal + limited - 2);
    fs::remove_all(work);
}

}  // namespace
