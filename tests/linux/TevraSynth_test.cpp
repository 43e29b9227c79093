// The scene generator: rendered pixels agree with projected world points,
// labels agree with the detection code's upright frame, renders are
// deterministic, a generated session loads as a recorded session, and a
// board run's frames agree with its truth.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "SynthScene.h"
#include "detection/ImageUtils.h"
#include "detection/YOLOInference.h"
#include "models/ModelManager.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/OpenCVModelRuntime.h"
#include "platform/linux/ZipExtractor.h"
#include "platform/live/BoardImage.h"
#include "platform/sim/SessionRecording.h"
#include "linux/support/Sanitizers.h"

using namespace tevra;
using namespace tevra::synth;
namespace fs = std::filesystem;

namespace {

SceneSpec plainRoom(uint32_t seed) {
    SceneSpec s;
    s.seed = seed;
    s.clutter = 0;
    s.signs.push_back({"305", "front", 0.0, 1.6, 0.3});
    return s;
}

cv::Vec3d meanAt(const cv::Mat& rgb, cv::Point2d p) {
    cv::Rect r(static_cast<int>(std::floor(p.x)) - 1, static_cast<int>(std::floor(p.y)) - 1, 3, 3);
    cv::Scalar m = cv::mean(rgb(r));
    return {m[0], m[1], m[2]};
}

}  // namespace

TEST(TevraSynth, FloorTileCornersLandOnTheirProjectedPixels) {
    SceneSpec spec = plainRoom(7);
    spec.lights = {{{0, 2.7, 0}, 0.2}};
    spec.ambient = 0.9;
    Scene scene(spec);
    Intrinsics k;
    // Looking down at the floor from above its centre, tilted and turned, so
    // the tile grid is seen in perspective at several distances.
    Pose pose = uprightLookAt({0.3, 1.5, 1.0}, {-0.4, 0, -1.5}, 0.2);
    cv::Mat image = scene.render(pose, k, 1920, 1440);
    int checked = 0;
    for (int i = 2; i <= 10; ++i)
        for (int j = 6; j <= 18; ++j) {
            // Tiles are 0.5 m from the floor's corner (-width/2, 0, -depth/2).
            Vec3 corner{-spec.width / 2 + 0.5 * i, 0, -spec.depth / 2 + 0.5 * j};
            auto p = project(pose, k, corner);
            if (!p || p->x < 20 || p->y < 20 || p->x > 1900 || p->y > 1420) continue;
            // The tile grid is locally a checkerboard in the image: along the
            // projected tile edges, diagonal quadrants match and neighbours differ.
            auto along = [&](Vec3 d) {
                auto q = project(pose, k, corner + d * 0.05);
                cv::Point2d v = *q - *p;
                return v * (4.0 / cv::norm(v));
            };
            cv::Point2d ex = along({1, 0, 0}), ez = along({0, 0, 1});
            cv::Vec3d a = meanAt(image, *p + ex + ez), b = meanAt(image, *p - ex - ez);
            cv::Vec3d c = meanAt(image, *p + ex - ez), d = meanAt(image, *p - ex + ez);
            const double same = std::max(cv::norm(a - b), cv::norm(c - d));
            const double differ = std::min(cv::norm(a - c), cv::norm(b - d));
            EXPECT_LT(same, 0.6 * differ) << "corner " << i << "," << j << " at " << *p;
            ++checked;
        }
    EXPECT_GT(checked, 20);
}

TEST(TevraSynth, SignLabelsMatchTheDetectionUprightFrame) {
    Scene scene(plainRoom(11));
    Intrinsics k;
    std::mt19937 rng(5);
    ViewSample v = sampleSignView(scene, 0, k, 1920, 1440, 60, 300, 45, rng);
    ASSERT_TRUE(v.ok);
    cv::Mat rgb = scene.render(v.pose, k, 1920, 1440);
    // The sensor image as a "32ARGB" buffer, turned upright as for a phone
    // held in portrait.
    PixelBufferRef argb = PixelBuffer::create(1920, 1440, kCVPixelFormatType_32ARGB);
    {
        PixelBufferLock lock(*argb, 0);
        for (int y = 0; y < 1440; ++y)
            for (int x = 0; x < 1920; ++x) {
                uint8_t* px = argb->baseAddress() + y * argb->bytesPerRow() + x * 4;
                const cv::Vec3b& c = rgb.at<cv::Vec3b>(y, x);
                px[0] = 255, px[1] = c[0], px[2] = c[1], px[3] = c[2];
            }
    }
    PixelBufferRef upright = counterDeviceRotation(*argb, 1);
    ASSERT_TRUE(upright);
    ASSERT_EQ(upright->width(), 1440u);
    PixelBufferLock lock(*upright, kCVPixelBufferLock_ReadOnly);
    const SignInstance& sign = scene.signs()[0];
    const Vec3 centre = (sign.corners[0] + sign.corners[2]) * 0.5;
    for (double fx : {0.1, 0.5, 0.9})
        for (double fy : {0.1, 0.9}) {
            Vec3 w =
                sign.corners[0] + (sign.corners[1] - sign.corners[0]) * fx + (sign.corners[3] - sign.corners[0]) * fy;
            auto p = project(v.pose, k, w);
            ASSERT_TRUE(p);
            cv::Point2d q = sensorToUpright(*p, 1440);
            const uint8_t* px =
                upright->baseAddress() + static_cast<int>(q.y) * upright->bytesPerRow() + static_cast<int>(q.x) * 4;
            const cv::Vec3b& s = rgb.at<cv::Vec3b>(static_cast<int>(p->y), static_cast<int>(p->x));
            EXPECT_NEAR(px[1], s[0], 40) << fx << "," << fy;
            EXPECT_NEAR(px[3], s[2], 40) << fx << "," << fy;
        }
    // The label box holds every character box and is at least 60 px tall.
    auto box = uprightBox(v.pose, k, 1440, sign.corners, 4);
    ASSERT_TRUE(box);
    EXPECT_GE(box->height, 60);
    ASSERT_EQ(sign.chars.size(), 3u);
    for (const CharBox& c : sign.chars) {
        auto cb = uprightBox(v.pose, k, 1440, c.corners, 4);
        ASSERT_TRUE(cb);
        EXPECT_TRUE((*box & *cb).area() > 0.99 * cb->area());
    }
    EXPECT_EQ(sign.chars[0].classId, 3);
    EXPECT_EQ(sign.chars[2].classId, 5);
    auto c = project(v.pose, k, centre);
    ASSERT_TRUE(c);
    cv::Point2d q = sensorToUpright(*c, 1440);
    EXPECT_TRUE(box->contains(q));
}

TEST(TevraSynth, RendersAreDeterministicFromTheSeed) {
    Intrinsics k;
    Pose pose = uprightLookAt({0.5, 1.4, 3}, {0, 1.5, -6});
    cv::Mat a = Scene(plainRoom(3)).render(pose, k, 480, 360);
    cv::Mat b = Scene(plainRoom(3)).render(pose, k, 480, 360);
    cv::Mat c = Scene(plainRoom(4)).render(pose, k, 480, 360);
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0);
    EXPECT_GT(cv::norm(a, c, cv::NORM_L1), 0);
}

TEST(TevraSynth, SceneDescriptionsAreCheckedAndRefusedWithAReason) {
    std::string error;
    auto ok = parseSceneSpec(R"({"seed": 9, "signs": [{"text": "P2", "wall": "left", "size": 0.25}],
                                 "trajectory": {"frames": 40}})",
                             error);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(ok->seed, 9u);
    EXPECT_EQ(ok->signs.at(0).text, "P2");
    EXPECT_EQ(ok->trajectory.frames, 40);
    // The committed demo scene shows floor 3.
    std::ifstream demo(std::string(TEVRA_SOURCE_DIR) + "/apps/tevra-synth/scenes/floor3.json");
    std::stringstream demoText;
    demoText << demo.rdbuf();
    auto demoSpec = parseSceneSpec(demoText.str(), error);
    ASSERT_TRUE(demoSpec) << error;
    EXPECT_EQ(floorOfText(demoSpec->signs.at(demoSpec->trajectory.sign).text), 3);
    struct Bad {
        const char* json;
        const char* reason;
    } bad[] = {
        {"[1]", "not a JSON object"},
        {R"({"signs": [{"text": "3A"}]})", "0-9 and P"},
        {R"({"signs": [{"wall": "up"}]})", "front, back, left or right"},
        {R"({"room": {"width": -1}})", "\"width\""},
        {R"({"colour": 1})", "unknown key \"colour\""},
        {R"({"signs": [{"text": "3"}], "trajectory": {"sign": 2}})", "sign that does not exist"},
        {R"({"board": {"text": "square:1"}})", "board \"square:1\": starts with"},
        {R"({"board": {"text": "marker:0:0.001"}})", "too small to draw"},
        {R"({"board": {"x": 2.9}})", "within the floor"},
    };
    for (const Bad& b : bad) {
        error.clear();
        EXPECT_FALSE(parseSceneSpec(b.json, error)) << b.json;
        EXPECT_NE(error.find(b.reason), std::string::npos) << b.json << " -> " << error;
    }
}

TEST(TevraSynth, GeneratedSessionLoadsWithTrackingAndGrowingPlanes) {
    fs::path dir = fs::temp_directory_path() / ("tevra-synth-test-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    {
        std::ofstream scene(dir / "scene.json");
        scene << R"({"seed": 2, "signs": [{"text": "5"}],
                     "trajectory": {"frames": 10, "limitedFrames": 2}})";
    }
    // The generator is a separate program; in sanitizer builds its one-time
    // library allocations at exit are not this test's concern.
    std::string cmd = "ASAN_OPTIONS=detect_leaks=0 " + std::string(TEVRA_SYNTH_BINARY) + " session " +
                      (dir / "scene.json").string() + " " + (dir / "session").string() + " --quality 60 > /dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string error;
    auto rec = sim::SessionRecording::load((dir / "session").string(), error);
    ASSERT_TRUE(rec) << error;
    EXPECT_EQ(rec->imageWidth(), 1920);
    EXPECT_EQ(rec->imageHeight(), 1440);
    const auto& frames = rec->frames();
    ASSERT_EQ(frames.size(), 10u);
    EXPECT_EQ(frames[0].trackingState, 1);  // limited
    EXPECT_EQ(frames[9].trackingState, 2);  // normal
    int adds = 0, updates = 0;
    float firstExtent = -1, lastExtent = -1;
    for (const auto& f : frames)
        for (const auto& c : f.planeChanges) {
            adds += c.kind == sim::PlaneChangeKind::Add;
            updates += c.kind == sim::PlaneChangeKind::Update;
            if (c.id == "floor") (firstExtent < 0 ? firstExtent : lastExtent) = c.extent.x;
        }
    EXPECT_EQ(adds, 2);  // the floor and the sign's wall
    EXPECT_GT(updates, 0);
    EXPECT_GT(lastExtent, firstExtent);
    fs::remove_all(dir);
}

// The committed archives unpack and compile as a download would, and the
// models read the demo scene's sign through the real detectFloor.
TEST(TevraSynth, CommittedModelsReadTheDemoSceneFloor) {
    auto fake = fake::FakePlatform::install();
    auto runtime = std::make_shared<OpenCVModelRuntime>();
    fake->platform->models = runtime;
    fs::path dir = fs::temp_directory_path() / ("tevra-synth-models-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const char* name : {"yolo26n_sign_640", "yolo26n_digit_640"}) {
        const std::string archive = std::string(TEVRA_SOURCE_DIR) + "/models/" + name + ".zip";
        EXPECT_LT(fs::file_size(archive), 2u << 20);
        const fs::path unpacked = dir / (std::string(name) + "-unpacked");
        ASSERT_FALSE(linux_platform::ZipExtractor().unzipItem(archive, unpacked.string()));
        auto built = runtime->compileModelAtURL((unpacked / (std::string(name) + ".mlpackage")).string());
        ASSERT_TRUE(built) << built.error.description();
        fs::copy(*built, dir / (std::string(name) + ".mlmodelc"), fs::copy_options::recursive);
        fs::remove_all(fs::path(*built).parent_path());
    }
    fake->platform->resourcesDirectory = dir.string();
    ASSERT_FALSE(ModelManager::shared()->loadModel("yolo26n_sign_640"));
    ASSERT_FALSE(ModelManager::shared()->loadModel("yolo26n_digit_640"));

    std::ifstream in(std::string(TEVRA_SOURCE_DIR) + "/apps/tevra-synth/scenes/floor3.json");
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    auto spec = parseSceneSpec(text.str(), error);
    ASSERT_TRUE(spec) << error;
    Scene scene(*spec);
    const SignInstance& sign = scene.signs().at(0);
    const Vec3 centre = (sign.corners[0] + sign.corners[2]) * 0.5;
    Intrinsics k;
    // Where the walk-in ends, and a step further back.
    for (double distance : {2.4, 4.0}) {
        Vec3 eye = centre + sign.normal * distance;
        eye[1] = 1.45;
        cv::Mat rgb = scene.render(uprightLookAt(eye, centre), k, 1920, 1440);
        PixelBufferRef frame = PixelBuffer::create(1920, 1440, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
        {
            PixelBufferLock lock(*frame, 0);
            rgbToNV12(rgb, frame->baseAddressOfPlane(0), frame->bytesPerRowOfPlane(0), frame->baseAddressOfPlane(1),
                      frame->bytesPerRowOfPlane(1));
        }
        EXPECT_EQ(detectFloor("yolo26n_sign_640", 0.5f, "yolo26n_digit_640", 0.5f, frame.get(), 1), 3) << distance;
    }
    fs::remove_all(dir);
}

// Random rooms with two signs: on one wall they stand apart, and in
// evaluation scenes (no wide texts) both name the same floor, so a view
// showing both has one right answer.
TEST(TevraSynth, TwoSignsInARandomRoomNeverOverlapAndNameOneFloor) {
    if (TEVRA_TEST_ASAN || TEVRA_TEST_TSAN)
        GTEST_SKIP() << "a property run over many random rooms; the optimised build runs it, and lighter tests render "
                        "under the sanitizers";
    std::mt19937 rng(4242);
    int sameWall = 0;
    for (int i = 0; i < 60; ++i) {
        const bool wide = i % 2;
        SceneSpec spec = randomSceneSpec(rng, 2, wide);
        ASSERT_EQ(spec.signs.size(), 2u);
        if (!wide) {
            EXPECT_EQ(floorOfText(spec.signs[1].text), floorOfText(spec.signs[0].text)) << spec.signs[1].text;
        }
        Scene scene(spec);
        const SignInstance& a = scene.signs()[0];
        const SignInstance& b = scene.signs()[1];
        if (cv::norm(a.normal - b.normal) > 1e-9) continue;
        ++sameWall;
        // Overlap of the two rectangles' extents along every axis: on one
        // wall they share the flat axis, so an overlap needs all three.
        bool apart = false;
        for (int axis = 0; axis < 3; ++axis) {
            double aLo = 1e9, aHi = -1e9, bLo = 1e9, bHi = -1e9;
            for (int c = 0; c < 4; ++c) {
                aLo = std::min(aLo, a.corners[c][axis]), aHi = std::max(aHi, a.corners[c][axis]);
                bLo = std::min(bLo, b.corners[c][axis]), bHi = std::max(bHi, b.corners[c][axis]);
            }
            if (aHi < bLo || bHi < aLo) apart = true;
        }
        EXPECT_TRUE(apart) << "\"" << a.text << "\" and \"" << b.text << "\" overlap on one wall (seed " << spec.seed
                           << ")";
    }
    EXPECT_GT(sameWall, 0);
}

// The board run's frames agree with its truth: the board's marker corners,
// taken from the printed image and projected with the true poses and
// intrinsics, land on the corners found in the frames; the frames where the
// camera looks away show no marker; the truth loads as a recorded session.
TEST(TevraSynth, BoardRunFramesAgreeWithTheirTruth) {
    fs::path dir = fs::temp_directory_path() / ("tevra-synth-board-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string cmd = "ASAN_OPTIONS=detect_leaks=0 " + std::string(TEVRA_SYNTH_BINARY) + " board " + TEVRA_SOURCE_DIR +
                      "/apps/tevra-synth/scenes/board.json " + (dir / "run").string() +
                      " --size 640x480 --frames 12 > " + (dir / "out.txt").string();
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::stringstream printed;
    printed << std::ifstream(dir / "out.txt").rdbuf();
    EXPECT_EQ(printed.str(), "12 frames of 640x480: file:" + (dir / "run/frames/%06d.png").string() + "\n");
    std::string error;
    auto truth = sim::SessionRecording::load((dir / "run/truth").string(), error);
    ASSERT_TRUE(truth) << error;
    ASSERT_EQ(truth->frames().size(), 12u);
    EXPECT_DOUBLE_EQ(truth->frames()[3].timestamp, 0.1);
    const sim::CameraIntrinsics k = truth->frames()[0].intrinsics;
    // The calibration file: the same camera on OpenCV's pixel grid.
    std::stringstream cameraText;
    cameraText << std::ifstream(dir / "run/camera.json").rdbuf();
    auto camera = nlohmann::json::parse(cameraText.str(), nullptr, false);
    ASSERT_TRUE(camera.is_object()) << cameraText.str();
    EXPECT_EQ(camera["imageSize"]["width"], 640);
    EXPECT_DOUBLE_EQ(camera["intrinsics"]["fx"].get<double>(), k.fx);
    EXPECT_DOUBLE_EQ(camera["intrinsics"]["cx"].get<double>(), k.cx);
    EXPECT_TRUE(camera["distortion"].is_array() && camera["distortion"].empty());

    // The chessboard's inner corners in the board's world: the printed
    // squares start at the pattern's top-left corner (platform/live/BoardImage.h).
    const live::BoardSpec board = *live::parseBoardSpec("default", error);
    std::vector<Vec3> grid;
    for (int i = 1; i < board.columns; ++i)
        for (int j = 1; j < board.rows; ++j)
            grid.push_back(
                {i * board.squareLength - board.width() / 2, 0, j * board.squareLength - board.height() / 2});
    const double halfW = board.width() / 2 + 0.01, halfH = board.height() / 2 + 0.01;  // with the margin
    const Vec3 outline[4] = {{-halfW, 0, -halfH}, {halfW, 0, -halfH}, {halfW, 0, halfH}, {-halfW, 0, halfH}};

    std::vector<double> errors;
    std::vector<size_t> away;
    for (size_t i = 0; i < truth->frames().size(); ++i) {
        const float4x4& m = truth->frames()[i].transform;
        Pose pose;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) pose.R(r, c) = m.m(c, r);
            pose.t[r] = m.m(3, r);
        }
        auto pixel = [&](const Vec3& p) { return project(pose, {k.fx, k.fy, k.cx, k.cy}, p); };
        char name[32];
        std::snprintf(name, sizeof name, "%06zu.png", i);
        cv::Mat frame = cv::imread((dir / "run/frames" / name).string(), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(frame.type(), CV_8UC3) << name;
        ASSERT_EQ(frame.size(), cv::Size(640, 480)) << name;
        cv::cvtColor(frame, frame, cv::COLOR_BGR2GRAY);
        std::vector<std::vector<cv::Point2f>> corners;
        std::vector<int> ids;
        cv::aruco::detectMarkers(frame, live::makeDictionary(board), corners, ids);
        // Away: the board's outline, all in front of the camera, lies
        // beside the frame.
        double x0 = 1e30, y0 = 1e30, x1 = -1e30, y1 = -1e30;
        bool inFront = true;
        for (const Vec3& p : outline) {
            auto q = pixel(p);
            inFront = inFront && q;
            if (q) x0 = std::min(x0, q->x), y0 = std::min(y0, q->y), x1 = std::max(x1, q->x), y1 = std::max(y1, q->y);
        }
        if (inFront && (x1 < 0 || y1 < 0 || x0 > 640 || y0 > 480)) {
            EXPECT_TRUE(ids.empty()) << name << ": " << ids.size() << " markers";
            away.push_back(i);
            continue;
        }
        if (ids.empty()) continue;
        // The inner corners OpenCV finds (pixel centres on whole numbers;
        // its ChArUco corners are refined once more, as they come about half
        // a pixel off), each against the nearest projected inner corner.
        std::vector<cv::Point2f> found;
        std::vector<int> foundIds;
        cv::aruco::interpolateCornersCharuco(corners, ids, frame, live::makeCharucoBoard(board), found, foundIds);
        if (found.empty()) continue;
        cv::cornerSubPix(frame, found, {3, 3}, {-1, -1}, {cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 50, 0.01});
        for (const cv::Point2f& f : found) {
            double nearest = 1e9;
            for (const Vec3& g : grid)
                if (auto q = pixel(g)) nearest = std::min(nearest, cv::norm(cv::Point2d(f.x + 0.5, f.y + 0.5) - *q));
            errors.push_back(nearest);
        }
    }
    ASSERT_FALSE(away.empty());
    EXPECT_GT(away.front(), 0u);
    EXPECT_LT(away.back(), 11u);
    ASSERT_GT(errors.size(), 60u);
    std::sort(errors.begin(), errors.end());
    EXPECT_LT(errors[errors.size() / 2], 0.5);
    EXPECT_LT(errors.back(), 1.0);
    fs::remove_all(dir);
}
