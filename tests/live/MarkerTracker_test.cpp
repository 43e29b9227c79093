#include "platform/live/MarkerTracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "live/BoardViews.h"
#include "linux/support/Sanitizers.h"

using namespace tevra;
using namespace tevra::live;
using namespace tevra::live::testing;

namespace {

constexpr int kWidth = 1280, kHeight = 720;
constexpr double kPi = 3.14159265358979323846;

BoardSpec board(const char* text) {
    std::string error;
    auto spec = parseBoardSpec(text, error);
    EXPECT_TRUE(spec) << error;
    return *spec;
}

// A 60-degree camera calibrated at another size of the same aspect, so the
// tracker's scaling of the intrinsics is on the path.
CameraCalibration calibration() {
    CameraCalibration c;
    c.width = 1920, c.height = 1080;
    c.fx = c.fy = 960 / std::tan(kPi / 6);
    c.cx = 961.5, c.cy = 538.5;
    return c;
}

MarkerObservation track(MarkerTracker& tracker, const cv::Mat& image) {
    return tracker.track(image.data, image.cols, image.rows, image.step);
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(std::lround(p * static_cast<double>(v.size() - 1)))];
}

struct Errors {
    std::vector<double> centimetres, degrees;
};

void addError(Errors& e, const CameraPose& truth, const float4x4& found) {
    cv::Matx33d r;
    for (int c = 0; c < 3; ++c)
        for (int row = 0; row < 3; ++row) r(row, c) = found.m(c, row);
    const cv::Vec3d p(found.m(3, 0), found.m(3, 1), found.m(3, 2));
    const cv::Matx33d d = truth.rotation.t() * r;
    const double cosine = std::clamp((d(0, 0) + d(1, 1) + d(2, 2) - 1) / 2, -1.0, 1.0);
    e.centimetres.push_back(100 * cv::norm(p - truth.position));
    e.degrees.push_back(std::acos(cosine) * 180 / kPi);
}

}  // namespace

// The board straight below a camera whose image top is the page's top: the
// printed pattern pasted into the image unwarped, at a scale the camera's
// distance gives. The pose must put the camera above the page (+y), with its
// right along the page's right (+x) and its up towards the page's top (-z):
// the page's right is +x and its bottom +z.
TEST(MarkerTracker, WorldAxesFollowThePrintedPage) {
    for (const char* text : {"default", "marker:3:0.1"}) {
        SCOPED_TRACE(text);
        const BoardSpec spec = board(text);
        const double ppm = 2000;
        cv::Mat pattern = drawBoardImage(spec, ppm);
        cv::Mat image(kHeight, kWidth, CV_8U, cv::Scalar(255));
        const int left = 700, top = 80;
        pattern.copyTo(image(cv::Rect(left, top, pattern.cols, pattern.rows)));

        const CameraCalibration cal = calibration();
        const sim::CameraIntrinsics k = cal.intrinsicsFor(kWidth, kHeight);
        MarkerTracker tracker(spec, cal);
        const MarkerObservation seen = track(tracker, image);
        ASSERT_TRUE(seen.found);
        EXPECT_LT(seen.reprojectionError, 0.5);
        EXPECT_EQ(seen.corners, spec.kind == BoardKind::Charuco ? 24 : 4);

        // Camera axes: right = +x, up = -z, back = +y.
        const float4x4& m = seen.cameraToWorld;
        EXPECT_NEAR(m.m(0, 0), 1, 1e-3);
        EXPECT_NEAR(m.m(1, 2), -1, 1e-3);
        EXPECT_NEAR(m.m(2, 1), 1, 1e-3);
        // The pattern's centre lies (a, b) pixels right of and below the
        // principal point, so the camera is a / ppm left and b / ppm up the
        // page from it, f / ppm above it.
        const double a = left + pattern.cols / 2.0 - k.cx, b = top + pattern.rows / 2.0 - k.cy;
        EXPECT_NEAR(m.m(3, 0), -a / ppm, 2e-3);
        EXPECT_NEAR(m.m(3, 1), k.fx / ppm, 2e-3);
        EXPECT_NEAR(m.m(3, 2), -b / ppm, 2e-3);
    }
}

// About twenty views of each kind of board, 0.35 to 1.2 m away, up to 60
// degrees off the board's normal, turned in the image.
TEST(MarkerTracker, PosesOfRenderedViewsAreAccurate) {
    if (TEVRA_TEST_ASAN || TEVRA_TEST_TSAN)
        GTEST_SKIP() << "an accuracy run over forty rendered views; the optimised build runs it, and the other tracker "
                        "tests take the same paths under the sanitizers";
    for (const char* text : {"default", "marker:0:0.1"}) {
        SCOPED_TRACE(text);
        const BoardSpec spec = board(text);
        const CameraCalibration cal = calibration();
        const sim::CameraIntrinsics k = cal.intrinsicsFor(kWidth, kHeight);
        MarkerTracker tracker(spec, cal);
        std::mt19937 random(7);
        std::uniform_real_distribution<double> unit(0, 1);
        Errors errors;
        int missed = 0;
        const int views = 20;
        for (int i = 0; i < views; ++i) {
            const double distance = 0.35 + 0.85 * i / (views - 1);
            const double tilt = 60 * kPi / 180 * unit(random), azimuth = 2 * kPi * unit(random);
            const double roll = (unit(random) - 0.5) * kPi / 2;
            const cv::Vec3d target((unit(random) - 0.5) * 0.04, 0, (unit(random) - 0.5) * 0.04);
            const CameraPose truth = lookAtBoard(distance, tilt, azimuth, roll, target);
            const cv::Mat image = renderView(spec, truth, k, kWidth, kHeight, 100 + static_cast<uint64_t>(i));
            const MarkerObservation seen = track(tracker, image);
            if (!seen.found) {
                ++missed;
                continue;
            }
            addError(errors, truth, seen.cameraToWorld);
        }
        EXPECT_EQ(missed, 0);
        ASSERT_FALSE(errors.degrees.empty());
        const double cm50 = percentile(errors.centimetres, 0.5), cm95 = percentile(errors.centimetres, 0.95);
        const double deg50 = percentile(errors.degrees, 0.5), deg95 = percentile(errors.degrees, 0.95);
        std::printf("%s: position %.3f cm median, %.3f cm 95%%; rotation %.3f deg median, %.3f deg 95%%\n", text, cm50,
                    cm95, deg50, deg95);
        EXPECT_LT(cm50, 1.0);
        EXPECT_LT(deg50, 1.0);
        EXPECT_LT(cm95, 2.0);
        EXPECT_LT(deg95, 2.0);
        // And no view is wildly off (a corner mistaken, a pose flipped).
        EXPECT_LT(percentile(errors.centimetres, 1.0), 5.0);
        EXPECT_LT(percentile(errors.degrees, 1.0), 5.0);
    }
}

// A lens with barrel distortion, known to the calibration: the corners are
// undistorted before the pose is solved.
TEST(MarkerTracker, DistortedViewsAreAccurate) {
    const BoardSpec spec = board("default");
    CameraCalibration cal = calibration();
    cal.distortion = {-0.25, 0.08, 0.001, -0.001, 0};
    const sim::CameraIntrinsics k = cal.intrinsicsFor(kWidth, kHeight);
    MarkerTracker tracker(spec, cal);
    const CameraPose views[] = {lookAtBoard(0.45, 0.5, 0.3, 0.1, {0.03, 0, 0}), lookAtBoard(0.8, 0.9, 2.0, -0.3),
                                lookAtBoard(1.0, 0.3, 4.0, 0.4, {-0.05, 0, 0.05})};
    for (const CameraPose& truth : views) {
        const cv::Mat image = distort(renderView(spec, truth, k, kWidth, kHeight, 31), k, cal.distortion);
        const MarkerObservation seen = track(tracker, image);
        ASSERT_TRUE(seen.found);
        Errors e;
        addError(e, truth, seen.cameraToWorld);
        EXPECT_LT(e.centimetres[0], 1.0);
        EXPECT_LT(e.degrees[0], 1.0);
        EXPECT_LT(seen.reprojectionError, 0.5);
    }
}

TEST(MarkerTracker, NotFoundWithoutTheBoardAndFoundWhenPartlyCovered) {
    const BoardSpec spec = board("default");
    const CameraCalibration cal = calibration();
    const sim::CameraIntrinsics k = cal.intrinsicsFor(kWidth, kHeight);
    MarkerTracker tracker(spec, cal);

    cv::RNG rng(5);
    const cv::Mat empty = background(cv::Size(kWidth, kHeight), rng);
    EXPECT_FALSE(track(tracker, empty).found);
    // A marker of the board's dictionary that is not on the board.
    cv::Mat stray = empty.clone(), strayMarker;
    cv::aruco::drawMarker(makeDictionary(spec), 60, 200, strayMarker, 1);
    strayMarker.copyTo(stray(cv::Rect(500, 200, 200, 200)));
    EXPECT_FALSE(track(tracker, stray).found);
    EXPECT_FALSE(tracker.track(nullptr, kWidth, kHeight, kWidth).found);
    EXPECT_FALSE(tracker.track(empty.data, 0, 0, 0).found);
    EXPECT_FALSE(tracker.track(empty.data, kWidth, kHeight, kWidth - 1).found);
    EXPECT_FALSE(tracker.track(empty.data, -kWidth, kHeight, kWidth).found);

    // A hand over the board's left two fifths: the rest still gives the pose.
    const CameraPose truth = lookAtBoard(0.6, 0.4, 1.0, 0.2);
    cv::Mat image = renderView(spec, truth, k, kWidth, kHeight, 9);
    const cv::Point2d edge = project(truth, k, {-0.02, 0, 0});
    cv::rectangle(image, cv::Point(0, 0), cv::Point(static_cast<int>(edge.x), kHeight), cv::Scalar(90), cv::FILLED);
    const MarkerObservation seen = track(tracker, image);
    ASSERT_TRUE(seen.found);
    EXPECT_LT(seen.corners, 24);
    Errors errors;
    addError(errors, truth, seen.cameraToWorld);
    EXPECT_LT(errors.centimetres[0], 2.0);
    EXPECT_LT(errors.degrees[0], 2.0);
    // Only a strip two squares high left in view: its markers give one row
    // of corners, a line, and a line gives no pose.
    cv::Mat strip = renderView(spec, truth, k, kWidth, kHeight, 9);
    for (const auto& [near, far] : {std::pair{-0.5, -0.06}, std::pair{0.02, 0.5}}) {
        std::vector<cv::Point> cover;
        for (const cv::Vec3d& corner :
             {cv::Vec3d(-0.5, 0, near), cv::Vec3d(0.5, 0, near), cv::Vec3d(0.5, 0, far), cv::Vec3d(-0.5, 0, far)})
            cover.push_back(project(truth, k, corner));
        cv::fillConvexPoly(strip, cover, cv::Scalar(90));
    }
    EXPECT_FALSE(track(tracker, strip).found);

    // A single marker moving off the image's edge: found while whole, and
    // its clipped outline never gives a wrong pose.
    const BoardSpec marker = board("marker:0:0.15");
    MarkerTracker markerTracker(marker, cal);
    int whole = 0;
    for (int i = 0; i < 20; ++i) {
        const CameraPose view = lookAtBoard(0.4, 0.1, 1.5, 0.3, {0, 0, 0.026 + 0.001 * i});
        const MarkerObservation partial = track(markerTracker, renderView(marker, view, k, kWidth, kHeight, 20));
        if (!partial.found) continue;
        ++whole;
        Errors e;
        addError(e, view, partial.cameraToWorld);
        EXPECT_LT(e.centimetres[0], 1.0) << i;
        EXPECT_LT(e.degrees[0], 1.0) << i;
    }
    EXPECT_GE(whole, 4);

    // A camera without usable intrinsics sees nothing.
    MarkerTracker blind(spec, CameraCalibration{});
    EXPECT_FALSE(track(blind, image).found);
    CameraCalibration odd = cal;
    odd.distortion = {0.1, 0.01, 0};
    MarkerTracker oddLens(spec, odd);
    EXPECT_FALSE(track(oddLens, image).found);
}

namespace {

float4x4 poseAt(const cv::Vec3d& position, double yaw) {
    float4x4 m = rotationY(static_cast<float>(yaw));
    m.columns[3] = {static_cast<float>(position[0]), static_cast<float>(position[1]), static_cast<float>(position[2]),
                    1};
    return m;
}

cv::Vec3d positionOf(const float4x4& m) { return {m.m(3, 0), m.m(3, 1), m.m(3, 2)}; }

// Yaw of a pose built by poseAt().
double yawOf(const float4x4& m) { return std::atan2(m.m(0, 2) * -1.0, m.m(0, 0)); }

}  // namespace

// 30 poses a second with 2 mm and 0.3 degrees of tracker jitter: held still,
// the jitter is mostly removed; moving at 1 m/s and turning at 86 degrees a
// second, the smoothed pose trails the true one by less than a centimetre and
// a degree.
TEST(PoseSmoother, RemovesJitterAndFollowsAMetrePerSecond) {
    std::mt19937 random(3);
    std::normal_distribution<double> jitter(0, 0.002), turn(0, 0.3 * kPi / 180);
    const double dt = 1.0 / 30;
    for (double speed : {0.0, 1.0}) {
        SCOPED_TRACE(speed);
        PoseSmoother smoother;
        double rawSpread = 0, smoothSpread = 0, lag = 0, yawError = 0;
        int counted = 0;
        for (int i = 0; i < 90; ++i) {
            const double t = i * dt;
            const cv::Vec3d truth(speed * t, 0.3, 0.5);
            const cv::Vec3d noisy = truth + cv::Vec3d(jitter(random), jitter(random), jitter(random));
            const double yaw = 0.5 + 1.5 * speed * t;
            const float4x4 out = smoother.filter(poseAt(noisy, yaw + turn(random)), 10 + t);
            if (i < 30) continue;  // settled after a second
            rawSpread += cv::norm(noisy - truth);
            smoothSpread += cv::norm(positionOf(out) - truth);
            lag += (truth - positionOf(out))[0];
            yawError += std::abs(std::remainder(yawOf(out) - yaw, 2 * kPi));
            ++counted;
        }
        rawSpread /= counted, smoothSpread /= counted, lag /= counted, yawError /= counted;
        std::printf("%.0f m/s: jitter %.2f mm raw, %.2f mm smoothed; lag %.2f mm; yaw off by %.3f deg\n", speed,
                    1000 * rawSpread, 1000 * smoothSpread, 1000 * lag, yawError * 180 / kPi);
        EXPECT_LT(std::abs(lag), 0.01);
        EXPECT_LT(smoothSpread, speed > 0 ? 0.01 : rawSpread / 3);
        EXPECT_LT(yawError, (speed > 0 ? 1.0 : 0.1) * kPi / 180);
    }
}

TEST(PoseSmoother, StartsAfreshOnResetAndOnTimeGoingBack) {
    PoseSmoother smoother;
    smoother.filter(poseAt({0, 0, 0}, 0), 1.0);
    const float4x4 far = poseAt({1, 0, 0}, 1.0);
    // A pose in the same instant, or earlier, is taken as it is.
    EXPECT_EQ(smoother.filter(far, 1.0), far);
    const float4x4 back = poseAt({2, 0, 0}, 0.2);
    EXPECT_EQ(smoother.filter(back, 0.5), back);
    // After that the filter runs from the new pose: a small step is damped.
    const float4x4 step = smoother.filter(poseAt({2.001, 0, 0}, 0.2), 0.5 + 1.0 / 30);
    EXPECT_GT(step.m(3, 0), 2.0f);
    EXPECT_LT(step.m(3, 0), 2.001f);
    smoother.reset();
    EXPECT_EQ(smoother.filter(far, 0.6), far);
}
