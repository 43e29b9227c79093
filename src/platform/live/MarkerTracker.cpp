#include "platform/live/MarkerTracker.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/live/BoardImage.h"

namespace tevra::live {

namespace {

// Largest image side accepted; anything bigger is not a camera image.
constexpr int kMaxSide = 16384;
// A pose that reprojects its own corners worse than this (RMS, pixels) is
// wrong: a corner taken for another, a marker misread. A single marker's
// four corners fit almost any near-square, so its bound is tighter.
constexpr double kMaxBoardReprojectionError = 4.0;
constexpr double kMaxMarkerReprojectionError = 1.0;
// A ChArUco board's markers are looked for in a half-size image (a quarter
// of the pixels) while the last pose's markers were all at least this many
// pixels a side (about three pixels a cell at half size, enough to read). The
// chessboard corners the pose comes from are found in the full image. When
// the half-size image shows no board, the full one is searched in the same
// call. A single marker is always looked for in the full image: its pose
// comes from its own four corners, and those found at half size are not
// precise enough to tell the two mirror-like poses of a square apart.
constexpr double kHalfSizeMarkerSide = 40;

// The detector's settings, tuned for 720p-class images of a printed board:
// two threshold window sizes (7 and 17 pixels) instead of three, markers of
// at least 16 pixels a side at 1280 wide, and no refinement of the marker
// corners where the pose does not come from them (ChArUco corners are refined
// on their own by interpolateCornersCharuco).
cv::Ptr<cv::aruco::DetectorParameters> detectorParameters(BoardKind kind) {
    auto p = cv::aruco::DetectorParameters::create();
    p->adaptiveThreshWinSizeMin = 7;
    p->adaptiveThreshWinSizeMax = 17;
    p->adaptiveThreshWinSizeStep = 10;
    p->minMarkerPerimeterRate = 0.05;
    // A single marker printed with a thin white margin nests inside the
    // page's outline, and the default (0.05) drops the marker for the page.
    // (A ChArUco board's markers have no such outline; the default stays, as
    // lower values let one marker through twice.)
    if (kind == BoardKind::Marker) p->minMarkerDistanceRate = 0.02;
    p->cornerRefinementMethod =
        kind == BoardKind::Marker ? cv::aruco::CORNER_REFINE_SUBPIX : cv::aruco::CORNER_REFINE_NONE;
    p->cornerRefinementWinSize = 4;
    return p;
}

// Rotation taking the board's object axes (OpenCV's) to the world's, and the
// world position of the object origin. OpenCV 4.6 lays a ChArUco board's
// object points out from the printed pattern's top-left corner with +x right
// and +y down the page, so its +z goes into the page; a single marker (as
// solvePnP's IPPE_SQUARE wants it) is centred, +x right and +y up the page,
// +z out of it. Both were checked against drawBoardImage().
struct BoardToWorld {
    cv::Matx33d rotation;
    cv::Vec3d origin;
};

BoardToWorld boardToWorld(const BoardSpec& spec) {
    if (spec.kind == BoardKind::Charuco)
        return {cv::Matx33d(1, 0, 0,   //
                            0, 0, -1,  //
                            0, 1, 0),
                cv::Vec3d(-spec.width() / 2, 0, -spec.height() / 2)};
    return {cv::Matx33d(1, 0, 0,  //
                        0, 0, 1,  //
                        0, -1, 0),
            cv::Vec3d(0, 0, 0)};
}

float4x4 toFloat4x4(const cv::Matx33d& r, const cv::Vec3d& t) {
    float4x4 m = float4x4::identity();
    for (int c = 0; c < 3; ++c) {
        for (int row = 0; row < 3; ++row) m.columns[c][row] = static_cast<float>(r(row, c));
        m.columns[3][c] = static_cast<float>(t[c]);
    }
    return m;
}

bool finite(const cv::Mat& m) { return cv::checkRange(m, true, nullptr, -1e6, 1e6); }

}  // namespace

struct MarkerTracker::Impl {
    BoardSpec spec;
    CameraCalibration calibration;
    cv::Ptr<cv::aruco::Dictionary> dictionary;
    cv::Ptr<cv::aruco::CharucoBoard> charuco;
    cv::Ptr<cv::aruco::DetectorParameters> parameters;
    BoardToWorld toWorld;
    std::vector<cv::Point3f> markerObjectPoints;
    // boardMarkers[id]: the ChArUco board has marker `id`.
    std::vector<bool> boardMarkers;
    cv::Mat distortion;
    bool distortionUsable = true;

    // The camera matrix for the last image size.
    int matrixWidth = 0, matrixHeight = 0;
    cv::Matx33d cameraMatrix;
    bool cameraMatrixUsable = false;

    // Search the half-size image next time.
    bool halfSize = false;
    // Shortest side in pixels of the markers kept by the last detection.
    double markerSide = 0;

    // Scratch, kept to spare allocations from frame to frame.
    cv::Mat small;
    std::vector<std::vector<cv::Point2f>> markerCorners, rejected;
    std::vector<int> markerIds;
    std::vector<cv::Point2f> imagePoints;
    std::vector<cv::Point3f> objectPoints;

    void updateCameraMatrix(int width, int height) {
        if (width == matrixWidth && height == matrixHeight) return;
        matrixWidth = width;
        matrixHeight = height;
        const sim::CameraIntrinsics k = calibration.intrinsicsFor(width, height);
        // Session pixels run over [0, width], OpenCV's are centred on whole
        // numbers: the principal point moves by half a pixel.
        cameraMatrix = cv::Matx33d(k.fx, 0, k.cx - 0.5, 0, k.fy, k.cy - 0.5, 0, 0, 1);
        cameraMatrixUsable = distortionUsable && std::isfinite(k.fx) && std::isfinite(k.fy) && std::isfinite(k.cx) &&
                             std::isfinite(k.cy) && k.fx > 0 && k.fy > 0;
    }

    // Keeps the markers that belong to the board and lie wholly in the
    // image. A marker running off the image is outlined along the image's
    // edge, and its corners are wrong by up to the part cut off; it is
    // dropped when a corner lies within a twentieth of its side (at least 3
    // pixels) of the edge.
    void keepUsableMarkers(cv::Size size) {
        size_t kept = 0;
        for (size_t i = 0; i < markerIds.size(); ++i) {
            const int id = markerIds[i];
            const bool onBoard =
                spec.kind == BoardKind::Charuco
                    ? id >= 0 && static_cast<size_t>(id) < boardMarkers.size() && boardMarkers[static_cast<size_t>(id)]
                    : id == spec.markerId;
            if (!onBoard) continue;
            const std::vector<cv::Point2f>& q = markerCorners[i];
            const double margin = std::max(3.0, cv::arcLength(q, true) / 80);
            bool inside = q.size() == 4;
            for (const cv::Point2f& p : q)
                inside = inside && p.x >= margin && p.y >= margin && p.x <= size.width - 1 - margin &&
                         p.y <= size.height - 1 - margin;
            if (!inside) continue;
            markerIds[kept] = markerIds[i];
            markerCorners[kept] = markerCorners[i];
            ++kept;
        }
        markerIds.resize(kept);
        markerCorners.resize(kept);
        markerSide = kept ? std::numeric_limits<double>::max() : 0;
        for (const auto& q : markerCorners)
            for (size_t j = 0; j < q.size(); ++j) markerSide = std::min(markerSide, cv::norm(q[j] - q[(j + 1) % 4]));
    }

    // Detects the board's markers in `image` or in its half-size copy
    // (corners then mapped to the full image).
    void detect(const cv::Mat& image, bool half) {
        markerCorners.clear();
        markerIds.clear();
        if (!half) {
            cv::aruco::detectMarkers(image, dictionary, markerCorners, markerIds, parameters, rejected);
        } else {
            cv::resize(image, small, cv::Size((image.cols + 1) / 2, (image.rows + 1) / 2), 0, 0, cv::INTER_AREA);
            cv::aruco::detectMarkers(small, dictionary, markerCorners, markerIds, parameters, rejected);
            const float sx = static_cast<float>(image.cols) / static_cast<float>(small.cols);
            const float sy = static_cast<float>(image.rows) / static_cast<float>(small.rows);
            for (auto& q : markerCorners)
                for (cv::Point2f& c : q) c = {(c.x + 0.5f) * sx - 0.5f, (c.y + 0.5f) * sy - 0.5f};
        }
        keepUsableMarkers(image.size());
    }

    MarkerObservation track(const cv::Mat& image) {
        MarkerObservation out = trackAt(image, halfSize);
        if (!out.found && halfSize) out = trackAt(image, false);
        halfSize = out.found && spec.kind == BoardKind::Charuco && markerSide >= kHalfSizeMarkerSide;
        return out;
    }

    // Image and object points of the board's chessboard corners; false when
    // too few, or (nearly) on one line of the board: their hull must cover
    // at least half a square.
    bool charucoPoints(const cv::Mat& image) {
        std::vector<cv::Point2f> corners;
        std::vector<int> ids;
        cv::aruco::interpolateCornersCharuco(markerCorners, markerIds, image, charuco, corners, ids, cameraMatrix,
                                             distortion);
        imagePoints.clear();
        objectPoints.clear();
        std::vector<cv::Point2f> onBoard;
        for (size_t i = 0; i < ids.size() && i < corners.size(); ++i) {
            const int id = ids[i];
            if (id < 0 || id >= static_cast<int>(charuco->chessboardCorners.size())) continue;
            const cv::Point3f& p = charuco->chessboardCorners[static_cast<size_t>(id)];
            imagePoints.push_back(corners[i]);
            objectPoints.push_back(p);
            onBoard.emplace_back(p.x, p.y);
        }
        if (imagePoints.size() < 4) return false;
        std::vector<cv::Point2f> hull;
        cv::convexHull(onBoard, hull);
        return cv::contourArea(hull) >= 0.5 * spec.squareLength * spec.squareLength;
    }

    // The four corners of the board's marker; false when it is not seen. Of
    // two sightings the larger wins.
    bool markerPoints() {
        double best = 0;
        for (size_t i = 0; i < markerIds.size(); ++i) {
            if (markerIds[i] != spec.markerId || markerCorners[i].size() != 4) continue;
            const double perimeter = cv::arcLength(markerCorners[i], true);
            if (perimeter <= best) continue;
            best = perimeter;
            imagePoints = markerCorners[i];
            objectPoints = markerObjectPoints;
        }
        return best > 0;
    }

    MarkerObservation trackAt(const cv::Mat& image, bool half) {
        MarkerObservation out;
        detect(image, half);
        if (markerIds.empty()) return out;
        const bool havePoints = spec.kind == BoardKind::Charuco ? charucoPoints(image) : markerPoints();
        if (!havePoints) return out;

        cv::Mat rvec, tvec;
        const int method = spec.kind == BoardKind::Charuco ? cv::SOLVEPNP_IPPE : cv::SOLVEPNP_IPPE_SQUARE;
        if (!cv::solvePnP(objectPoints, imagePoints, cameraMatrix, distortion, rvec, tvec, false, method)) return out;
        if (spec.kind == BoardKind::Charuco && imagePoints.size() > 4)
            cv::solvePnPRefineLM(objectPoints, imagePoints, cameraMatrix, distortion, rvec, tvec);
        if (!finite(rvec) || !finite(tvec) || tvec.at<double>(2) <= 0) return out;

        std::vector<cv::Point2f> projected;
        cv::projectPoints(objectPoints, rvec, tvec, cameraMatrix, distortion, projected);
        double sum = 0;
        for (size_t i = 0; i < projected.size(); ++i) {
            const cv::Point2f d = projected[i] - imagePoints[i];
            sum += d.dot(d);
        }
        const double rms = std::sqrt(sum / static_cast<double>(projected.size()));
        const double bound = spec.kind == BoardKind::Charuco ? kMaxBoardReprojectionError : kMaxMarkerReprojectionError;
        if (!std::isfinite(rms) || rms > bound) return out;

        // OpenCV: x_cam = R x_board + t, camera axes +x right, +y down,
        // looking down +z. World = B x_board + o. Session camera axes are
        // OpenCV's turned by F = diag(1, -1, -1). Camera to world is then
        // B R^T F for the rotation and o - B R^T t for the position.
        cv::Matx33d r;
        cv::Rodrigues(rvec, r);
        const cv::Matx33d flip(1, 0, 0, 0, -1, 0, 0, 0, -1);
        const cv::Matx33d boardR = toWorld.rotation * r.t();
        const cv::Vec3d t(tvec.at<double>(0), tvec.at<double>(1), tvec.at<double>(2));
        out.found = true;
        out.cameraToWorld = toFloat4x4(boardR * flip, toWorld.origin - boardR * t);
        out.corners = static_cast<int>(imagePoints.size());
        out.reprojectionError = rms;
        return out;
    }
};

MarkerTracker::MarkerTracker(const BoardSpec& board, const CameraCalibration& calibration)
    : impl_(std::make_unique<Impl>()) {
    Impl& s = *impl_;
    s.spec = board;
    s.calibration = calibration;
    s.dictionary = makeDictionary(board);
    s.charuco = makeCharucoBoard(board);
    s.parameters = detectorParameters(board.kind);
    s.toWorld = boardToWorld(board);
    if (s.charuco) {
        for (int id : s.charuco->ids) {
            if (id < 0) continue;
            if (static_cast<size_t>(id) >= s.boardMarkers.size()) s.boardMarkers.resize(static_cast<size_t>(id) + 1);
            s.boardMarkers[static_cast<size_t>(id)] = true;
        }
    }
    const auto half = static_cast<float>(board.markerLength / 2);
    s.markerObjectPoints = {{-half, half, 0}, {half, half, 0}, {half, -half, 0}, {-half, -half, 0}};
    // OpenCV takes 4, 5, 8, 12 or 14 finite coefficients; other lists leave
    // the camera unusable rather than throwing on every image.
    const std::vector<double>& d = calibration.distortion;
    const size_t n = d.size();
    s.distortionUsable = (n == 0 || n == 4 || n == 5 || n == 8 || n == 12 || n == 14) &&
                         std::all_of(d.begin(), d.end(), [](double v) { return std::isfinite(v); });
    if (n > 0 && s.distortionUsable) s.distortion = cv::Mat(d, true).reshape(1, 1);
}

MarkerTracker::~MarkerTracker() = default;

MarkerObservation MarkerTracker::track(const uint8_t* luma, int width, int height, size_t bytesPerRow) {
    if (!luma || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
        bytesPerRow < static_cast<size_t>(width))
        return {};
    impl_->updateCameraMatrix(width, height);
    if (!impl_->cameraMatrixUsable) return {};
    // The caller's plane, wrapped without a copy; OpenCV only reads it.
    const cv::Mat image(height, width, CV_8UC1, const_cast<uint8_t*>(luma), bytesPerRow);
    try {
        return impl_->track(image);
    } catch (const cv::Exception&) {
        return {};
    }
}

}  // namespace tevra::live
