// Pixel-buffer operations that prepare camera frames for the detection
// models: "420f" to 32-bit ARGB, quarter turns, scaling and box crops.
//
// In: pixel buffers (never modified). Out: new buffers (or, for a zero
// rotation, the buffer given), or none on failure.
// Example: a 1920 x 1440 frame, device rotation 1 (portrait), comes out of
// counterDeviceRotation as a 1440 x 1920 buffer turned a quarter clockwise.
#pragma once

#include <cstdint>

#include "platform/PixelBuffer.h"

namespace tevra {

// Rotation codes. Given to rotatePixelBuffer, code 1 turns the image a quarter
// turn counter-clockwise and code 3 a quarter turn clockwise.
extern "C" {
extern const int64_t kRotate0Degrees;
extern const int64_t kRotate90DegreesClockwise;
extern const int64_t kRotate180Degrees;
extern const int64_t kRotate90DegreesCounterClockwise;
}

enum class PixelBufferError { rotationFailed };

// A value or a thrown PixelBufferError, without exceptions.
struct RotationResult {
    PixelBufferRef buffer;
    bool failed = false;
};

PixelBufferRef convertNV12ToARGB(PixelBuffer& pixelBuffer);
PixelBufferRef resizeARGBPixelBuffer(PixelBuffer& pixelBuffer, int64_t dstWidth, int64_t dstHeight);
RotationResult rotatePixelBuffer(PixelBuffer& pixelBuffer, int64_t rotation);
PixelBufferRef counterDeviceRotation(PixelBuffer& pixelBuffer, int32_t deviceRotation);
PixelBufferRef cropARGBPixelBufferFromYOLO(PixelBuffer& pixelBuffer, float xCenter, float yCenter, float boxWidth,
                                           float boxHeight);

}  // namespace tevra
