// Live session benchmarks.
//
// BM_MarkerTrack_1280x720/in_view:1: MarkerTracker::track() on a 1280 x 720
// rendered view of the default ChArUco board (charuco:5x7:0.04:0.03) about
// 0.5 m away and 25 degrees off its normal, on one thread (OpenCV's own
// threads switched off): detection, corner interpolation and the pose, as
// from frame to frame while the board is tracked (its markers are then big
// enough to be searched in the half-size image). Target: at most 8 ms
// median.
// BM_MarkerTrack_1280x720/in_view:2: the board 1.1 m away, its markers too
// small for the half-size image: the full image is searched every frame.
// BM_MarkerTrack_1280x720/in_view:0: the same on a textured image without
// the board (the full image is searched, and nothing found).
// BM_Baseline_MarkerTrack_1280x720: the same views the usual way with
// OpenCV alone: detectMarkers with its default parameters on the full image,
// interpolateCornersCharuco and estimatePoseCharucoBoard.
// Every iteration tracks one of eight views (different noise), so nothing is
// cached from one to the next but the tracker's own state.
#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include <cmath>
#include <vector>

#include "live/BoardViews.h"
#include "platform/live/BoardImage.h"
#include "platform/live/MarkerTracker.h"

using namespace tevra;
using namespace tevra::live;

namespace {

constexpr int kWidth = 1280, kHeight = 720;

CameraCalibration calibration() {
    CameraCalibration c;
    c.width = kWidth, c.height = kHeight;
    c.fx = c.fy = 640 / std::tan(3.14159265358979 / 6);
    c.cx = 640, c.cy = 360;
    return c;
}

// Eight views of the default board at a distance (range 1: 0.5 m, 2: 1.1 m),
// or of no board (range 0).
std::vector<cv::Mat> makeViews(const benchmark::State& state, const BoardSpec& spec, const sim::CameraIntrinsics& k) {
    const bool inView = state.range(0) != 0;
    const double distance = state.range(0) == 2 ? 1.1 : 0.5;
    std::vector<cv::Mat> views;
    for (uint64_t i = 0; i < 8; ++i) {
        if (inView) {
            views.push_back(testing::renderView(spec, testing::lookAtBoard(distance, 0.45, 0.8 * i, 0.1), k, kWidth,
                                                kHeight, i + 1));
        } else {
            cv::RNG rng(i + 1);
            views.push_back(testing::background(cv::Size(kWidth, kHeight), rng));
        }
    }
    return views;
}

void BM_MarkerTrack_1280x720(benchmark::State& state) {
    cv::setNumThreads(1);
    const BoardSpec spec{};
    const CameraCalibration cal = calibration();
    const std::vector<cv::Mat> views = makeViews(state, spec, cal.intrinsicsFor(kWidth, kHeight));
    MarkerTracker tracker(spec, cal);
    size_t n = 0;
    int found = 0;
    for (auto _ : state) {
        const cv::Mat& image = views[n++ % views.size()];
        const MarkerObservation seen = tracker.track(image.data, image.cols, image.rows, image.step);
        found += seen.found;
        benchmark::DoNotOptimize(seen);
    }
    state.counters["found"] = benchmark::Counter(found, benchmark::Counter::kAvgIterations);
}

void BM_Baseline_MarkerTrack_1280x720(benchmark::State& state) {
    cv::setNumThreads(1);
    const BoardSpec spec{};
    const CameraCalibration cal = calibration();
    const std::vector<cv::Mat> views = makeViews(state, spec, cal.intrinsicsFor(kWidth, kHeight));
    const cv::Ptr<cv::aruco::CharucoBoard> board = makeCharucoBoard(spec);
    const cv::Ptr<cv::aruco::DetectorParameters> parameters = cv::aruco::DetectorParameters::create();
    const cv::Matx33d camera(cal.fx, 0, cal.cx, 0, cal.fy, cal.cy, 0, 0, 1);
    const cv::Mat distortion;
    size_t n = 0;
    int found = 0;
    for (auto _ : state) {
        const cv::Mat& image = views[n++ % views.size()];
        std::vector<std::vector<cv::Point2f>> corners;
        std::vector<int> ids;
        cv::aruco::detectMarkers(image, board->dictionary, corners, ids, parameters);
        std::vector<cv::Point2f> charucoCorners;
        std::vector<int> charucoIds;
        cv::Vec3d rvec, tvec;
        if (!ids.empty() && cv::aruco::interpolateCornersCharuco(corners, ids, image, board, charucoCorners, charucoIds,
                                                                 camera, distortion) >= 4)
            found +=
                cv::aruco::estimatePoseCharucoBoard(charucoCorners, charucoIds, board, camera, distortion, rvec, tvec);
        benchmark::DoNotOptimize(tvec);
    }
    state.counters["found"] = benchmark::Counter(found, benchmark::Counter::kAvgIterations);
}

}  // namespace

BENCHMARK(BM_Baseline_MarkerTrack_1280x720)
    ->ArgName("in_view")
    ->Arg(1)
    ->Arg(2)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

BENCHMARK(BM_MarkerTrack_1280x720)
    ->ArgName("in_view")
    ->Arg(1)
    ->Arg(2)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
