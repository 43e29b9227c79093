#include "platform/live/CharucoCalibrator.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "platform/live/BoardImage.h"

namespace tevra::live {

namespace {

constexpr int kMaxImageSide = 16384;
// A view whose corners lie, on average, within this share of the image
// diagonal of a kept view's same corners adds nothing to the calibration.
constexpr double kDuplicateShare = 0.02;
// Corners two views must share, as a share of the smaller view's, before
// they can be duplicates.
constexpr double kSharedCornerShare = 0.8;

struct View {
    std::vector<cv::Point2f> corners;
    std::vector<int> ids;
};

// OpenCV's text for a failure, on one line and short.
std::string oneLine(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 160)) out += (c == '\n' || c == '\r') ? ' ' : c;
    return out;
}

}  // namespace

struct CharucoCalibrator::Impl {
    BoardSpec spec;
    cv::Ptr<cv::aruco::Dictionary> dictionary;
    cv::Ptr<cv::aruco::CharucoBoard> board;
    cv::Ptr<cv::aruco::DetectorParameters> parameters = cv::aruco::DetectorParameters::create();
    cv::Size size;
    std::vector<View> views;

    // The index of a kept view this one nearly repeats, or -1.
    int duplicateOf(const View& view) const {
        const double limit = kDuplicateShare * std::hypot(size.width, size.height);
        // Where each of the board's corners is in this view (-1: not seen).
        std::vector<int> where(board->chessboardCorners.size(), -1);
        for (size_t i = 0; i < view.ids.size(); ++i)
            if (view.ids[i] >= 0 && static_cast<size_t>(view.ids[i]) < where.size())
                where[static_cast<size_t>(view.ids[i])] = static_cast<int>(i);
        for (size_t k = 0; k < views.size(); ++k) {
            const View& kept = views[k];
            double distance = 0;
            size_t shared = 0;
            for (size_t j = 0; j < kept.ids.size(); ++j) {
                const int id = kept.ids[j];
                const int i = id >= 0 && static_cast<size_t>(id) < where.size() ? where[static_cast<size_t>(id)] : -1;
                if (i < 0) continue;
                distance += cv::norm(view.corners[static_cast<size_t>(i)] - kept.corners[j]);
                ++shared;
            }
            const size_t fewer = std::min(view.ids.size(), kept.ids.size());
            if (shared > 0 && static_cast<double>(shared) >= kSharedCornerShare * static_cast<double>(fewer) &&
                distance / static_cast<double>(shared) < limit)
                return static_cast<int>(k);
        }
        return -1;
    }

    // True when the corners span more than one row and one column of the
    // board: corners on one line leave the board's plane undetermined.
    bool spread(const View& view) const {
        const int perRow = std::max(1, spec.columns - 1);
        std::set<int> rows, columns;
        for (int id : view.ids) {
            rows.insert(id / perRow);
            columns.insert(id % perRow);
        }
        return rows.size() > 1 && columns.size() > 1;
    }
};

CharucoCalibrator::CharucoCalibrator(const BoardSpec& board) : impl_(std::make_unique<Impl>()) {
    impl_->spec = board;
    if (board.kind == BoardKind::Charuco) {
        impl_->dictionary = makeDictionary(board);
        impl_->board = makeCharucoBoard(board);
    }
}

CharucoCalibrator::~CharucoCalibrator() = default;

int CharucoCalibrator::views() const { return static_cast<int>(impl_->views.size()); }

CalibrationViewResult CharucoCalibrator::addView(const uint8_t* luma, int width, int height, size_t bytesPerRow) {
    CalibrationViewResult result;
    auto refuse = [&](const std::string& why) {
        result.text = why;
        return result;
    };
    if (!impl_->board) return refuse("calibration needs a ChArUco board, not a single marker");
    if (!luma || width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide ||
        bytesPerRow < static_cast<size_t>(width))
        return refuse("not an image");
    const cv::Size size(width, height);
    if (!impl_->views.empty() && size != impl_->size)
        return refuse("image size " + std::to_string(width) + "x" + std::to_string(height) + " differs from the " +
                      std::to_string(impl_->size.width) + "x" + std::to_string(impl_->size.height) +
                      " of the views kept");

    const cv::Mat image(size, CV_8UC1, const_cast<uint8_t*>(luma), bytesPerRow);
    View view;
    try {
        std::vector<std::vector<cv::Point2f>> markerCorners;
        std::vector<int> markerIds;
        cv::aruco::detectMarkers(image, impl_->dictionary, markerCorners, markerIds, impl_->parameters);
        if (!markerIds.empty())
            cv::aruco::interpolateCornersCharuco(markerCorners, markerIds, image, impl_->board, view.corners, view.ids);
    } catch (const cv::Exception& e) {
        return refuse("board detection failed: " + oneLine(e.err));
    }
    result.corners = static_cast<int>(view.ids.size());
    if (result.corners < kMinimumCorners)
        return refuse(std::to_string(result.corners) + " board corners found; a view needs " +
                      std::to_string(kMinimumCorners));
    if (!impl_->spread(view)) return refuse("the corners found lie on one row or column of the board");
    if (impl_->views.empty()) impl_->size = size;
    if (const int k = impl_->duplicateOf(view); k >= 0)
        return refuse("nearly the same as view " + std::to_string(k + 1) + "; move or tilt the board");
    impl_->views.push_back(std::move(view));
    result.kept = true;
    result.text =
        "view " + std::to_string(impl_->views.size()) + " kept (" + std::to_string(result.corners) + " corners)";
    return result;
}

std::optional<CameraCalibration> CharucoCalibrator::calibrate(std::string& error) const {
    const int count = views();
    if (count < kMinimumViews) {
        error = "calibration needs " + std::to_string(kMinimumViews) + " views of the board; " + std::to_string(count) +
                (count == 1 ? " was" : " were") + " kept";
        return std::nullopt;
    }
    std::vector<std::vector<cv::Point2f>> corners;
    std::vector<std::vector<int>> ids;
    for (const View& view : impl_->views) {
        corners.push_back(view.corners);
        ids.push_back(view.ids);
    }
    cv::Mat cameraMatrix, distortion;
    double rms = 0;
    try {
        rms = cv::aruco::calibrateCameraCharuco(corners, ids, impl_->board, impl_->size, cameraMatrix, distortion);
    } catch (const cv::Exception& e) {
        error = "calibration failed: " + oneLine(e.err);
        return std::nullopt;
    }
    CameraCalibration c;
    c.width = impl_->size.width;
    c.height = impl_->size.height;
    // interpolateCornersCharuco gives corners with pixel centres at i + 0.5
    // (it shifts cornerSubPix's whole-number centres by half a pixel), the
    // session's grid, so the camera matrix is already on that grid.
    c.fx = cameraMatrix.at<double>(0, 0);
    c.fy = cameraMatrix.at<double>(1, 1);
    c.cx = cameraMatrix.at<double>(0, 2);
    c.cy = cameraMatrix.at<double>(1, 2);
    c.distortion.assign(distortion.begin<double>(), distortion.end<double>());
    c.rms = rms;
    c.views = count;
    const bool sound = std::isfinite(c.fx) && std::isfinite(c.fy) && c.fx > 0 && c.fy > 0 && c.fx <= 1e6 &&
                       c.fy <= 1e6 && std::isfinite(rms) && c.cx >= 0 && c.cx <= c.width && c.cy >= 0 &&
                       c.cy <= c.height && std::all_of(c.distortion.begin(), c.distortion.end(), [](double k) {
                           return std::isfinite(k) && std::fabs(k) <= 1e4;
                       });
    if (!sound) {
        error = "calibration failed: the views give no sound solution; take views from more places";
        return std::nullopt;
    }
    return c;
}

}  // namespace tevra::live
