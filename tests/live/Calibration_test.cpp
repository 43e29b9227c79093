#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/live/BoardImage.h"
#include "platform/live/CameraCalibration.h"
#include "platform/live/CharucoCalibrator.h"

using namespace tevra::live;

namespace {

constexpr int kWidth = 1280, kHeight = 720;
constexpr double kFocal = 900, kCx = 640, kCy = 360;  // the session's pixel grid

BoardSpec defaultBoard() {
    std::string error;
    return *parseBoardSpec("default", error);
}

// The board (with a 1 cm white margin) seen by a camera of known intrinsics
// from a pose: the printed image warped by the exact homography. `tilt` and
// `turn` rotate the board about the camera's x and y axes, `spin` about its
// normal; `at` places its centre in camera space (OpenCV axes, metres).
cv::Mat viewOfBoard(const BoardSpec& board, double tilt, double turn, double spin, cv::Vec3d at) {
    const double ppm = 2000, margin = 0.01 * ppm;
    cv::Mat printed;
    cv::copyMakeBorder(drawBoardImage(board, ppm), printed, int(margin), int(margin), int(margin), int(margin),
                       cv::BORDER_CONSTANT, cv::Scalar(255));
    // Printed pixel index (centre at whole numbers) to the board's (x, z).
    const cv::Matx33d toBoard(1 / ppm, 0, (0.5 - margin) / ppm - board.width() / 2, 0, 1 / ppm,
                              (0.5 - margin) / ppm - board.height() / 2, 0, 0, 1);
    // World x -> camera x, world z (down the page) -> camera y, world y -> camera -z.
    const cv::Matx33d facing(1, 0, 0, 0, 0, 1, 0, -1, 0);
    cv::Matx33d rx, ry, rz;
    cv::Rodrigues(cv::Vec3d(tilt, 0, 0), rx);
    cv::Rodrigues(cv::Vec3d(0, turn, 0), ry);
    cv::Rodrigues(cv::Vec3d(0, 0, spin), rz);
    const cv::Matx33d r = rx * ry * rz * facing;
    const cv::Matx33d k(kFocal, 0, kCx - 0.5, 0, kFocal, kCy - 0.5, 0, 0, 1);
    const cv::Matx33d plane(r(0, 0), r(0, 2), at[0], r(1, 0), r(1, 2), at[1], r(2, 0), r(2, 2), at[2]);
    cv::Mat view;
    cv::warpPerspective(printed, view, cv::Mat(k * plane * toBoard), cv::Size(kWidth, kHeight), cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT, cv::Scalar(90));
    cv::GaussianBlur(view, view, cv::Size(3, 3), 0.6);
    cv::Mat noise(view.size(), CV_16S);
    cv::randn(noise, 0, 2);
    view.convertTo(view, CV_16S);
    cv::Mat(view + noise).convertTo(view, CV_8U);
    return view;
}

CalibrationViewResult add(CharucoCalibrator& calibrator, const cv::Mat& view) {
    return calibrator.addView(view.data, view.cols, view.rows, view.step);
}

std::string temporaryPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("tevra-calib-" + std::to_string(::getpid()) + "-" + name))
        .string();
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

}  // namespace

TEST(Calibration, RecoversKnownIntrinsicsFromGeneratedViews) {
    cv::theRNG().state = 12345;
    const BoardSpec board = defaultBoard();
    CharucoCalibrator calibrator(board);
    // Fifteen poses: tilted up to about 35 degrees each way, turned about the
    // normal, 0.45 to 0.8 m away and spread over the image.
    for (int i = 0; i < 15; ++i) {
        const double tilt = 0.6 * std::sin(1.7 * i), turn = 0.55 * std::cos(2.3 * i), spin = 0.5 * std::sin(0.9 * i);
        const cv::Vec3d at(0.12 * std::sin(1.3 * i + 1), 0.05 * std::cos(1.1 * i), 0.45 + 0.35 * (i % 5) / 4.0);
        const auto result = add(calibrator, viewOfBoard(board, tilt, turn, spin, at));
        EXPECT_TRUE(result.kept) << "pose " << i << ": " << result.text;
    }
    ASSERT_GE(calibrator.views(), CharucoCalibrator::kMinimumViews);
    std::string error;
    const auto calibration = calibrator.calibrate(error);
    ASSERT_TRUE(calibration) << error;
    std::printf("recovered fx %.2f fy %.2f cx %.2f cy %.2f, rms %.3f px over %d views\n", calibration->fx,
                calibration->fy, calibration->cx, calibration->cy, calibration->rms, calibration->views);
    EXPECT_NEAR(calibration->fx, kFocal, 0.01 * kFocal);
    EXPECT_NEAR(calibration->fy, kFocal, 0.01 * kFocal);
    EXPECT_NEAR(calibration->cx, kCx, 2);
    EXPECT_NEAR(calibration->cy, kCy, 2);
    EXPECT_EQ(calibration->width, kWidth);
    EXPECT_EQ(calibration->height, kHeight);
    EXPECT_EQ(calibration->views, calibrator.views());
    EXPECT_LT(calibration->rms, 1.0);

    // What calibrate() gives is a file that reads back the same.
    const std::string path = temporaryPath("recovered.json");
    ASSERT_TRUE(saveCameraCalibration(*calibration, path, error)) << error;
    const auto loaded = loadCameraCalibration(path, error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(loaded->fx, calibration->fx);
    EXPECT_EQ(loaded->cy, calibration->cy);
    EXPECT_EQ(loaded->distortion, calibration->distortion);
    EXPECT_EQ(loaded->rms, calibration->rms);
    std::filesystem::remove(path);
}

TEST(Calibration, ViewsThatAddNothingAreRefusedAndTooFewDoNotCalibrate) {
    cv::theRNG().state = 777;
    const BoardSpec board = defaultBoard();
    CharucoCalibrator calibrator(board);
    const cv::Mat view = viewOfBoard(board, 0.3, -0.2, 0.1, {0, 0, 0.6});
    ASSERT_TRUE(add(calibrator, view).kept);
    const auto again = add(calibrator, view);
    EXPECT_FALSE(again.kept);
    EXPECT_NE(again.text.find("nearly the same as view 1"), std::string::npos) << again.text;
    // A small move is still the same view; a different pose is not.
    EXPECT_FALSE(add(calibrator, viewOfBoard(board, 0.3, -0.2, 0.1, {0.002, 0, 0.6})).kept);
    EXPECT_TRUE(add(calibrator, viewOfBoard(board, -0.3, 0.3, -0.2, {0.05, 0.02, 0.5})).kept);

    const cv::Mat blank(kHeight, kWidth, CV_8UC1, cv::Scalar(128));
    const auto none = add(calibrator, blank);
    EXPECT_FALSE(none.kept);
    EXPECT_NE(none.text.find("0 board corners"), std::string::npos) << none.text;
    cv::Mat smaller;
    cv::resize(viewOfBoard(board, 0.1, 0.4, 0, {0, 0, 0.5}), smaller, cv::Size(640, 360));
    EXPECT_NE(add(calibrator, smaller).text.find("differs from the 1280x720"), std::string::npos);
    EXPECT_FALSE(calibrator.addView(nullptr, kWidth, kHeight, kWidth).kept);
    EXPECT_FALSE(calibrator.addView(blank.data, kWidth, kHeight, 10).kept);

    std::string error;
    EXPECT_FALSE(calibrator.calibrate(error));
    EXPECT_EQ(error, "calibration needs 8 views of the board; 2 were kept");

    std::string why;
    const auto marker = parseBoardSpec("marker:0:0.1", why);
    CharucoCalibrator markerCalibrator(*marker);
    EXPECT_NE(add(markerCalibrator, view).text.find("ChArUco"), std::string::npos);
}

TEST(Calibration, FilesRoundTripExactlyAndHostileFilesFailWithOneLine) {
    CameraCalibration c;
    c.width = 1920;
    c.height = 1080;
    c.fx = 1.0 / 3 * 4000;
    c.fy = 0.1 + 0.2 + 1333;
    c.cx = 960.123456789012345;
    c.cy = 539.9999999999999;
    c.distortion = {0.1, -0.25, 1e-5, -3.3e-4, 0.0125};
    c.rms = 0.31234567890123;
    c.views = 24;
    std::string error;
    const std::string path = temporaryPath("round.json");
    ASSERT_TRUE(saveCameraCalibration(c, path, error)) << error;
    auto loaded = loadCameraCalibration(path, error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(loaded->width, c.width);
    EXPECT_EQ(loaded->height, c.height);
    EXPECT_EQ(loaded->fx, c.fx);
    EXPECT_EQ(loaded->fy, c.fy);
    EXPECT_EQ(loaded->cx, c.cx);
    EXPECT_EQ(loaded->cy, c.cy);
    EXPECT_EQ(loaded->distortion, c.distortion);
    EXPECT_EQ(loaded->rms, c.rms);
    EXPECT_EQ(loaded->views, c.views);

    // A calibration that would not read back is not written.
    CameraCalibration broken = c;
    broken.fx = std::nan("");
    EXPECT_FALSE(saveCameraCalibration(broken, path, error));
    EXPECT_NE(error.find("fx and fy"), std::string::npos) << error;
    EXPECT_TRUE(loadCameraCalibration(path, error)) << "the earlier file is kept";

    const std::string good =
        R"("imageSize":{"width":1280,"height":720},"intrinsics":{"fx":900,"fy":900,"cx":640,"cy":360})";
    ASSERT_TRUE(parseCameraCalibration("{\"version\":1," + good + "}", "ok.json", error)) << error;
    const std::pair<std::string, const char*> hostile[] = {
        {"", "not JSON"},
        {"{\"version\":1,", "not JSON"},
        {"[1,2]", "not a JSON object"},
        {"{" + good + "}", "version must be 1"},
        {"{\"version\":\"1\"," + good + "}", "version must be 1"},
        {R"({"version":1,"imageSize":{"width":-1280,"height":720},"intrinsics":{"fx":900,"fy":900,"cx":640,"cy":360}})",
         "imageSize"},
        {R"({"version":1,"imageSize":{"width":1e300,"height":720},"intrinsics":{"fx":900,"fy":900,"cx":640,"cy":360}})",
         "imageSize"},
        {R"({"version":1,"imageSize":{"width":1280,"height":720},"intrinsics":{"fx":900,"fy":900,"cx":640}})",
         "intrinsics lack cy"},
        {R"({"version":1,"imageSize":{"width":1280,"height":720},"intrinsics":{"fx":"900","fy":900,"cx":640,"cy":360}})",
         "fx must be a number"},
        {R"({"version":1,"imageSize":{"width":1280,"height":720},"intrinsics":{"fx":1e999,"fy":900,"cx":640,"cy":360}})",
         "out of range"},
        {R"({"version":1,"imageSize":{"width":1280,"height":720},"intrinsics":{"fx":-900,"fy":900,"cx":640,"cy":360}})",
         "fx and fy"},
        {R"({"version":1,"imageSize":{"width":1280,"height":720},"intrinsics":{"fx":900,"fy":900,"cx":64000,"cy":360}})",
         "within the image"},
        {"{\"version\":1," + good + ",\"distortion\":[1,2,3]}", "distortion must hold"},
        {"{\"version\":1," + good + ",\"distortion\":[1,2,3,null]}", "distortion numbers"},
        {"{\"version\":1," + good + ",\"distortion\":[1,2,3,1e30]}", "distortion numbers"},
        {"{\"version\":1," + good + ",\"rms\":-1}", "rms"},
        {"{\"version\":1," + good + ",\"views\":2.5}", "views"},
    };
    for (const auto& [text, why] : hostile) {
        error.clear();
        EXPECT_FALSE(parseCameraCalibration(text, "cam\nera.json", error)) << text;
        EXPECT_EQ(error.rfind("camera calibration \"cam?era.json\": ", 0), 0u) << error;
        EXPECT_NE(error.find(why), std::string::npos) << text << " -> " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }

    writeText(path, "{\"version\":1," + good + ",\"pad\":\"" + std::string(70000, 'x') + "\"}");
    EXPECT_FALSE(loadCameraCalibration(path, error));
    EXPECT_NE(error.find("larger than 64 KB"), std::string::npos) << error;
    std::filesystem::remove(path);
    EXPECT_FALSE(loadCameraCalibration(path, error));
    EXPECT_NE(error.find("cannot be opened"), std::string::npos) << error;
    EXPECT_FALSE(loadCameraCalibration(std::filesystem::temp_directory_path().string(), error));
    EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
}

TEST(Calibration, IntrinsicsScaleToTheImageAndTheFieldOfViewFallback) {
    CameraCalibration c;
    c.width = 1280;
    c.height = 720;
    c.fx = 900;
    c.fy = 910;
    c.cx = 641;
    c.cy = 359;
    const auto half = c.intrinsicsFor(640, 360);
    EXPECT_FLOAT_EQ(half.fx, 450);
    EXPECT_FLOAT_EQ(half.fy, 455);
    EXPECT_FLOAT_EQ(half.cx, 320.5f);
    EXPECT_FLOAT_EQ(half.cy, 179.5f);
    const auto other = c.intrinsicsFor(640, 480);  // another aspect: each axis on its own
    EXPECT_FLOAT_EQ(other.fx, 450);
    EXPECT_FLOAT_EQ(other.fy, 910 * 480 / 720.0f);
    EXPECT_FLOAT_EQ(other.cy, 359 * 480 / 720.0f);
    EXPECT_TRUE(c.intrinsicsFor(1280, 720) == (tevra::sim::CameraIntrinsics{900, 910, 641, 359}));
    EXPECT_TRUE(c.intrinsicsFor(0, 0) == (tevra::sim::CameraIntrinsics{900, 910, 641, 359}));

    const auto wide = calibrationFromFieldOfView(1280, 720, 90);
    EXPECT_NEAR(wide.fx, 640, 1e-9);
    EXPECT_EQ(wide.fx, wide.fy);
    EXPECT_EQ(wide.cx, 640);
    EXPECT_EQ(wide.cy, 360);
    EXPECT_TRUE(wide.distortion.empty());
    EXPECT_NEAR(calibrationFromFieldOfView(1920, 1080).fx, 960 / std::tan(M_PI / 6), 1e-9);
    EXPECT_NEAR(calibrationFromFieldOfView(1920, 1080, std::nan("")).fx, 960 / std::tan(M_PI / 6), 1e-9);
}

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int runTool(const std::string& arguments) {
    const int status = std::system(("timeout 60 " TEVRA_CALIBRATE_BINARY " " + arguments + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(Calibration, PrintedBoardIsTrueToSize) {
    const std::string png = temporaryPath("board.png"), pdf = temporaryPath("board.pdf");
    ASSERT_EQ(runTool("--print-board " + png + " --dpi 150"), 0);
    const cv::Mat image = cv::imread(png, cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(image.empty());
    // 150 dpi is 5906 pixels per metre: 20 x 28 cm and a 1 cm margin all round.
    EXPECT_EQ(image.cols, std::lround(0.22 * 5906));
    EXPECT_EQ(image.rows, std::lround(0.30 * 5906));
    const std::string bytes = readFile(png);
    const size_t phys = bytes.find("pHYs");
    ASSERT_NE(phys, std::string::npos);
    EXPECT_EQ(bytes.find("pHYs", phys + 1), std::string::npos);
    EXPECT_LT(phys, bytes.find("IDAT"));
    auto word = [&](size_t at) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
        return v;
    };
    EXPECT_EQ(word(phys + 4), 5906u);
    EXPECT_EQ(word(phys + 8), 5906u);
    EXPECT_EQ(bytes[phys + 12], 1);
    std::vector<std::vector<cv::Point2f>> corners;
    std::vector<int> ids;
    cv::aruco::detectMarkers(image, makeDictionary(defaultBoard()), corners, ids);
    EXPECT_EQ(ids.size(), 17u);

    ASSERT_EQ(runTool("--print-board " + pdf), 0);
    const std::string document = readFile(pdf);
    ASSERT_EQ(document.rfind("%PDF", 0), 0u);
    const size_t box = document.find("/MediaBox [");
    ASSERT_NE(box, std::string::npos);
    double x0 = -1, y0 = -1, w = 0, h = 0;
    std::istringstream(document.substr(box + 11, 80)) >> x0 >> y0 >> w >> h;
    EXPECT_EQ(x0, 0);
    EXPECT_EQ(y0, 0);
    EXPECT_NEAR(w, 0.22 / 0.0254 * 72, 0.01);  // the pattern and the margins
    EXPECT_NEAR(h, 0.31 / 0.0254 * 72, 0.01);  // and the caption's band
    EXPECT_EQ(runTool("--print-board " + png + " --dpi 5"), 2);
    EXPECT_EQ(runTool("--print-board board.svg"), 2);
    EXPECT_EQ(runTool("--print-board " + png + " --board marker:0:0.5:DICT_4X4_50 --dpi 1200"), 1);
    std::filesystem::remove(png);
    std::filesystem::remove(pdf);
}
