// CameraCalibration::intrinsicsFor on its own, until the calibration file's
// reader and writer (CameraCalibration.cpp) define it together with the rest.
// Drop this file when that lands.
#include "platform/live/CameraCalibration.h"

namespace tevra::live {

sim::CameraIntrinsics CameraCalibration::intrinsicsFor(int imageWidth, int imageHeight) const {
    if (width <= 0 || height <= 0 || imageWidth <= 0 || imageHeight <= 0) return {};
    const double sx = static_cast<double>(imageWidth) / width, sy = static_cast<double>(imageHeight) / height;
    return {static_cast<float>(fx * sx), static_cast<float>(fy * sy), static_cast<float>(cx * sx),
            static_cast<float>(cy * sy)};
}

}  // namespace tevra::live
