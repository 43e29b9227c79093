// Camera views of a printed board, rendered with OpenCV for the tracker's
// tests and benchmark: the board image of drawBoardImage() on a white page,
// warped by the exact homography of a camera pose into a grey image with a
// textured background and sensor noise. Rendered at twice the size and
// averaged down, so edges are anti-aliased as a lens and sensor would.
#pragma once

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "platform/live/BoardImage.h"
#include "platform/sim/SimCamera.h"

namespace tevra::live::testing {

// A camera pose in the session's camera axes: the columns of `rotation` are
// the camera's x, y, z axes in the world; the camera looks down -z.
struct CameraPose {
    cv::Matx33d rotation = cv::Matx33d::eye();
    cv::Vec3d position;
};

// A camera at `distance` from `target`, `tilt` radians off the board's
// normal towards `azimuth`, turned by `roll` about its own axis; the page's
// top is up in the image before the roll.
inline CameraPose lookAtBoard(double distance, double tilt, double azimuth, double roll, cv::Vec3d target = {0, 0, 0}) {
    const cv::Vec3d back(std::sin(tilt) * std::cos(azimuth), std::cos(tilt), std::sin(tilt) * std::sin(azimuth));
    const cv::Vec3d x0 = cv::normalize(cv::Vec3d(0, 0, -1).cross(back));
    const cv::Vec3d y0 = back.cross(x0);
    const cv::Vec3d x = std::cos(roll) * x0 + std::sin(roll) * y0, y = back.cross(x);
    CameraPose pose;
    for (int r = 0; r < 3; ++r) {
        pose.rotation(r, 0) = x[r];
        pose.rotation(r, 1) = y[r];
        pose.rotation(r, 2) = back[r];
    }
    pose.position = target + distance * back;
    return pose;
}

// The session pixel (u right, v down over [0, width]) of a world point.
inline cv::Point2d project(const CameraPose& pose, const sim::CameraIntrinsics& k, const cv::Vec3d& world) {
    const cv::Vec3d c = pose.rotation.t() * (world - pose.position);
    return {k.cx + k.fx * c[0] / -c[2], k.cy - k.fy * c[1] / -c[2]};
}

// A textured grey background: smooth blobs and a few hard-edged shapes.
inline cv::Mat background(cv::Size size, cv::RNG& rng) {
    cv::Mat coarse(9, 16, CV_8U);
    rng.fill(coarse, cv::RNG::UNIFORM, 60, 190);
    cv::Mat image;
    cv::resize(coarse, image, size, 0, 0, cv::INTER_CUBIC);
    for (int i = 0; i < 12; ++i) {
        const cv::Point a(rng.uniform(0, size.width), rng.uniform(0, size.height));
        const cv::Point b = a + cv::Point(rng.uniform(20, size.width / 4), rng.uniform(20, size.height / 4));
        cv::rectangle(image, a, b, cv::Scalar(rng.uniform(30, 220)), cv::FILLED);
    }
    return image;
}

// The view of the board from `pose` with intrinsics `k`, width x height
// pixels; `noise` is the sensor noise's standard deviation in grey levels.
inline cv::Mat renderView(const BoardSpec& spec, const CameraPose& pose, const sim::CameraIntrinsics& k, int width,
                          int height, uint64_t seed, double noise = 2.0) {
    cv::RNG rng(seed);
    const cv::Size big(2 * width, 2 * height);
    cv::Mat canvas = background(big, rng);

    // The page at about the rendered resolution: the printed pattern with a
    // white margin, printed ink and paper at realistic grey levels.
    const double distance = cv::norm(pose.position);
    const double ppm = std::clamp(2 * k.fx / std::max(distance, 0.05), 800.0, 10000.0);
    const int margin = static_cast<int>(std::lround(0.015 * ppm));
    cv::Mat pattern = drawBoardImage(spec, ppm), page;
    cv::copyMakeBorder(pattern, page, margin, margin, margin, margin, cv::BORDER_CONSTANT, cv::Scalar(255));
    page.convertTo(page, CV_8U, 180.0 / 255.0, 35);

    // Page pixel (i, j), centred on whole numbers, lies at pattern position
    // (i - margin + 0.5, j - margin + 0.5) / ppm from the pattern's corner.
    std::array<cv::Point2f, 4> from, to;
    const double w = spec.width(), h = spec.height();
    for (int n = 0; n < 4; ++n) {
        const double i = (n == 1 || n == 2) ? page.cols - 1 : 0, j = n >= 2 ? page.rows - 1 : 0;
        const cv::Vec3d world((i - margin + 0.5) / ppm - w / 2, 0, (j - margin + 0.5) / ppm - h / 2);
        const cv::Point2d p = project(pose, k, world);
        from[static_cast<size_t>(n)] = cv::Point2f(static_cast<float>(i), static_cast<float>(j));
        to[static_cast<size_t>(n)] = cv::Point2f(static_cast<float>(2 * p.x - 0.5), static_cast<float>(2 * p.y - 0.5));
    }
    const cv::Mat homography = cv::getPerspectiveTransform(from.data(), to.data());
    cv::warpPerspective(page, canvas, homography, big, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);

    cv::Mat image, grain(height, width, CV_16S);
    cv::resize(canvas, image, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    rng.fill(grain, cv::RNG::NORMAL, 0, noise);
    cv::Mat noisy;
    image.convertTo(noisy, CV_16S);
    noisy += grain;
    noisy.convertTo(image, CV_8U);
    return image;
}

// The image a lens with OpenCV distortion `coefficients` makes of the ideal
// pinhole image `image` (intrinsics k): each pixel takes the colour of the
// pinhole image where its undistorted position lies.
inline cv::Mat distort(const cv::Mat& image, const sim::CameraIntrinsics& k, const std::vector<double>& coefficients) {
    const cv::Matx33d camera(k.fx, 0, k.cx - 0.5, 0, k.fy, k.cy - 0.5, 0, 0, 1);
    std::vector<cv::Point2f> pixels;
    pixels.reserve(image.total());
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x) pixels.emplace_back(static_cast<float>(x), static_cast<float>(y));
    std::vector<cv::Point2f> ideal;
    cv::undistortPoints(pixels, ideal, camera, coefficients, cv::noArray(), camera);
    cv::Mat map = cv::Mat(ideal, false).reshape(2, image.rows), out;
    cv::remap(image, out, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(128));
    return out;
}

}  // namespace tevra::live::testing
