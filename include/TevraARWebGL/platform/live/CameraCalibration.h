/// @file
/// A camera's calibration: its intrinsics (and lens distortion) at one image
/// size, read from and written to a small JSON file.
///
/// File (written by tevra-calibrate, read by the live session):
/// @code{.unparsed}
///   {"version": 1,
///    "imageSize": {"width": 1280, "height": 720},
///    "intrinsics": {"fx": 912.4, "fy": 911.8, "cx": 641.2, "cy": 358.9},
///    "distortion": [k1, k2, p1, p2, k3],
///    "rms": 0.31, "views": 24}
/// @endcode
/// Pixels of the image at `imageSize`, on the session's pixel grid: the image
/// spans [0, width] x [0, height], so pixel (i, j) covers [i, i + 1] x [j, j + 1]
/// and its centre is (i + 0.5, j + 0.5); a centred principal point is
/// (width / 2, height / 2). OpenCV's ChArUco corners (interpolateCornersCharuco)
/// are on this grid; cornerSubPix (and ArUco marker corners refined with it)
/// puts pixel centres on whole numbers, where the principal point is
/// (cx - 0.5, cy - 0.5). `distortion` is OpenCV's (k1, k2, p1,
/// p2[, k3[, k4, k5, k6]]) and may be empty; `rms` (reprojection error in
/// pixels) and `views` are informative. A camera delivering another size of
/// the same aspect uses the intrinsics scaled to it.
/// Failure: loading returns none and an error naming the file and the fault;
/// the file is read only up to 64 KB.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/SimCamera.h"

namespace tevra::live {

/// A camera's intrinsics and distortion at one image size.
struct CameraCalibration {
    ///@{
    /// The image size the figures are for.
    int width = 0, height = 0;
    ///@}
    ///@{
    /// Focal lengths and principal point in pixels.
    double fx = 0, fy = 0, cx = 0, cy = 0;
    ///@}
    /// OpenCV's distortion coefficients; empty for none.
    std::vector<double> distortion;
    /// Reprojection error of the calibration in pixels (0: not calibrated).
    double rms = 0;
    /// Views the calibration used (0: not calibrated).
    int views = 0;

    /// The intrinsics for images of `imageWidth` x `imageHeight`: scaled from
    /// the calibrated size (same aspect assumed; differing aspects scale each
    /// axis on its own). On this pixel grid the scaling keeps pixel centres on
    /// pixel centres. An uncalibrated size (0) or a non-positive image size
    /// returns the figures unscaled.
    sim::CameraIntrinsics intrinsicsFor(int imageWidth, int imageHeight) const;
};

/// A calibration assumed from a horizontal field of view (degrees), square
/// pixels, the principal point at the image centre and no distortion.
CameraCalibration calibrationFromFieldOfView(int width, int height, double horizontalDegrees = 60);

/// Reads a calibration file. None and `error` set on failure.
std::optional<CameraCalibration> loadCameraCalibration(const std::string& path, std::string& error);

/// Parses a calibration file's text; `name` names it in errors.
std::optional<CameraCalibration> parseCameraCalibration(const std::string& text, const std::string& name,
                                                        std::string& error);

/// Writes a calibration file. False and `error` set on failure.
bool saveCameraCalibration(const CameraCalibration& calibration, const std::string& path, std::string& error);

}  // namespace tevra::live
