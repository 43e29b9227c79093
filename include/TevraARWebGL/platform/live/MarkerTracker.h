/// @file
/// Camera pose from a printed board (platform/live/Board.h) in a camera image,
/// with OpenCV's ArUco module: markers are detected in the luma plane, the
/// ChArUco corners interpolated, and the pose solved from the board's known
/// geometry (solvePnP).
///
/// In: the luma plane of each camera image. Out: the camera's pose in the
/// board's world (camera to world, in the session's camera axes: +x right,
/// +y up in the image, looking down -z), or "not found" when too little of
/// the board is seen (fewer than 4 ChArUco corners, or the marker missing).
/// Failure: none; a bad image (null, empty) is "not found".
/// Threads: one tracker is used by one thread at a time; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "math/Simd.h"
#include "platform/live/Board.h"
#include "platform/live/CameraCalibration.h"

namespace tevra::live {

/// What one image showed.
struct MarkerObservation {
    /// True when the board's pose was found.
    bool found = false;
    /// Camera to world (session camera axes); identity when not found.
    float4x4 cameraToWorld = float4x4::identity();
    /// Board corners (ChArUco) or marker corners used for the pose.
    int corners = 0;
    /// Root-mean-square reprojection error of the pose in pixels.
    double reprojectionError = 0;
};

/// Finds the board and solves the camera pose, one image at a time.
class MarkerTracker {
public:
    /// A tracker for `board`, seen by a camera with `calibration` (scaled to
    /// the image size as CameraCalibration::intrinsicsFor does).
    MarkerTracker(const BoardSpec& board, const CameraCalibration& calibration);
    ~MarkerTracker();
    MarkerTracker(const MarkerTracker&) = delete;
    MarkerTracker& operator=(const MarkerTracker&) = delete;

    /// The raw (unsmoothed) pose from one 8-bit luma plane.
    MarkerObservation track(const uint8_t* luma, int width, int height, size_t bytesPerRow);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// Smooths a stream of poses with little lag: an adaptive low-pass filter
/// whose cut-off rises with the speed of motion (steady poses are held still,
/// fast moves are followed within a frame or two).
class PoseSmoother {
public:
    /// The smoothed pose for a raw pose at `timestamp` seconds.
    float4x4 filter(const float4x4& cameraToWorld, double timestamp);
    /// Forgets the history; the next pose is taken as it is.
    void reset();

private:
    bool primed_ = false;
    double lastTime_ = 0;
    float3 position_{}, velocity_{};
    float4 rotation_{};  // quaternion x, y, z, w
    float angularSpeed_ = 0;
};

}  // namespace tevra::live
