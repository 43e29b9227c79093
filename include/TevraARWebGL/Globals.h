// Process-wide exported globals and constants, with C linkage under their
// exact names.
//
// The tuning globals are read on background queues without a lock; each is a
// single 32-bit value written whole on the main thread.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// JPEG quality of the VPS image, 0.0 (smallest) to 1.0 (best). Initially 0.9.
extern float cameraFrameJpegCompressionFactor;
// The box the VPS image is fitted into. Initially 540 x 960.
extern int32_t targetFrameWidth;
extern int32_t targetFrameHeight;
// Camera frames are not pushed to the page.
extern const int32_t SEND_CAMERA_FRAME_TO_JS;

extern const double TevraARWebGLVersionNumber;
extern const unsigned char TevraARWebGLVersionString[];

#ifdef __cplusplus
}
#endif
