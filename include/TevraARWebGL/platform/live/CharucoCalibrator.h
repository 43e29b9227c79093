/// @file
/// A camera's calibration from images of a ChArUco board
/// (platform/live/Board.h), with OpenCV's ArUco module.
///
/// In: 8-bit luma images of the board seen from varied places, one at a time.
/// Each image is kept as a view when at least 8 of the board's corners are
/// found, spread over more than one row and column of the board, and it is
/// not a near-duplicate of a view already kept (the same corners within 2 %
/// of the image diagonal, on average, of where they were). Out: the camera's
/// intrinsics and distortion (platform/live/CameraCalibration.h, on the
/// session's pixel grid) with the reprojection error.
/// Failure: an image that is not kept says why; calibrate() returns none with
/// a one-line reason (fewer than 8 views, no solution).
/// Threads: one calibrator is used by one thread at a time; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/live/Board.h"
#include "platform/live/CameraCalibration.h"

namespace tevra::live {

/// What addView() made of one image.
struct CalibrationViewResult {
    /// True when the image was kept as a view.
    bool kept = false;
    /// Board corners found in the image.
    int corners = 0;
    /// One line: the view's number when kept, otherwise why it was not.
    std::string text;
};

/// Collects views of a ChArUco board and calibrates the camera from them.
class CharucoCalibrator {
public:
    /// Corners a view needs.
    static constexpr int kMinimumCorners = 8;
    /// Views calibrate() needs.
    static constexpr int kMinimumViews = 8;

    /// A calibrator for `board`; a single-marker board keeps no views.
    explicit CharucoCalibrator(const BoardSpec& board);
    ~CharucoCalibrator();
    CharucoCalibrator(const CharucoCalibrator&) = delete;
    CharucoCalibrator& operator=(const CharucoCalibrator&) = delete;

    /// Looks for the board in one 8-bit luma image and keeps it as a view
    /// when it adds one. All views must have the size of the first.
    CalibrationViewResult addView(const uint8_t* luma, int width, int height, size_t bytesPerRow);

    /// The views kept so far.
    int views() const;

    /// Calibrates from the views kept. None and `error` set when there are
    /// too few or no sound solution is found.
    std::optional<CameraCalibration> calibrate(std::string& error) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tevra::live
