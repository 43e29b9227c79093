/// @file
/// Process-wide exported globals and constants, with C linkage under their
/// exact names.
///
/// The tuning globals are read on background queues without a lock; each is a
/// single 32-bit value written whole on the main thread.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/// JPEG quality of the VPS image, 0.0 (smallest) to 1.0 (best). Initially 0.9.
/// A page sets it with "compressionFactor:F" on "TevraARConfig".
extern float cameraFrameJpegCompressionFactor;
/// The box the VPS image is fitted into. Initially 540 x 960.
/// This is its width; a page sets it with "targetFrameWidth:N" on "TevraARConfig" (N > 0).
extern int32_t targetFrameWidth;
/// The height of the box the VPS image is fitted into (initially 960); "targetFrameHeight:N".
extern int32_t targetFrameHeight;
/// Camera frames are not pushed to the page.
extern const int32_t SEND_CAMERA_FRAME_TO_JS;

/// The library's version as a number.
extern const double TevraARWebGLVersionNumber;
/// The library's version as a NUL-terminated identification line ending in the
/// version text ("... PROJECT:TevraARWebGL-1.0.0" and a line break).
extern const unsigned char TevraARWebGLVersionString[];

#ifdef __cplusplus
}
#endif
