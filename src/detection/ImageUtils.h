// Pixel-buffer operations that prepare camera frames for the detection
// models: "420f" to 32-bit ARGB, quarter turns, scaling and box crops.
//
// In: pixel buffers (never modified). Out: new buffers (or, for a zero
// rotation, the buffer given), or none on failure. Sources are locked
// read-only, outputs with no flags, and every exit path unlocks exactly what
// it locked; a buffer created on a failed path is released.
// Failure: an absent result; only the rotation logs ("[YOLO] Rotation error!")
// and reports `PixelBufferError::rotationFailed` through RotationResult.
// Example: a 1920 x 1440 frame, device rotation 1 (portrait), comes out of
// counterDeviceRotation as a 1440 x 1920 buffer turned a quarter clockwise,
// which resizeARGBPixelBuffer stretches to the model's 640 x 640.
// Threads: any; no shared state.
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

// A buffer, or the error the rotation reports (`failed` set, no buffer).
struct RotationResult {
    PixelBufferRef buffer;
    bool failed = false;
    PixelBufferError error = PixelBufferError::rotationFailed;  // meaningful only when failed
};

// "420f" camera buffer -> new W x H kCVPixelFormatType_32ARGB buffer (bytes A, R,
// G, B; alpha 255) by the video-range BT.601 rule: Y' clamped to 16..235, Cb
// and Cr to 16..240. Any other format (also "420v") gives none, unlocked.
PixelBufferRef convertNV12ToARGB(PixelBuffer& pixelBuffer);

// 4-byte-per-pixel buffer -> new dstWidth x dstHeight ARGB buffer, scaled with
// an anti-aliasing Lanczos-3 filter, each axis on its own (no aspect kept).
// None for a size <= 0 or above the buffer limit, or a source whose rows are
// shorter than 4 bytes a pixel.
PixelBufferRef resizeARGBPixelBuffer(PixelBuffer& pixelBuffer, int64_t dstWidth, int64_t dstHeight);

// The models' input straight from a "420f" camera buffer: the bytes of
// convertNV12ToARGB, counterDeviceRotation(deviceRotation) and
// resizeARGBPixelBuffer(dstWidth, dstHeight), made in one pass that reads the
// planes once and makes no full-size image (the same passes and rounding, so
// the same bytes). None where the three steps would give none (other
// formats, sizes <= 0 or above the limit, planes without memory).
PixelBufferRef uprightInputFromCamera(PixelBuffer& camera, int32_t deviceRotation, int64_t dstWidth, int64_t dstHeight);

// Code 0: the same buffer, nothing locked. Code 1: a quarter turn
// counter-clockwise; 3: clockwise (whatever the constants' names say); 2: a
// half turn; any other code: a same-size copy. Outputs are created with the
// IOSurface attribute. When no output can be made (or the source has no
// memory or is not 4 bytes a pixel) it logs "[YOLO] Rotation error!" and
// returns `failed`.
RotationResult rotatePixelBuffer(PixelBuffer& pixelBuffer, int64_t rotation);

// Undoes the device rotation: 1 and 3 are swapped, then rotatePixelBuffer. A
// failure becomes none.
PixelBufferRef counterDeviceRotation(PixelBuffer& pixelBuffer, int32_t deviceRotation);

// The box (centre and size as fractions of the image) clipped to the image, as
// a new ARGB buffer with the IOSurface attribute. Computed in single
// precision, truncated toward zero. None for an empty or outside box, and for
// values that are not finite or do not fit 64-bit integers.
PixelBufferRef cropARGBPixelBufferFromYOLO(PixelBuffer& pixelBuffer, float xCenter, float yCenter, float boxWidth,
                                           float boxHeight);

}  // namespace tevra
