/// @file
/// Camera sources on GStreamer: a V4L2 webcam, a video file or an image
/// sequence, or a test pattern (platform/CameraSource.h).
///
/// Source text (`--camera`):
/// @code{.unparsed}
///   v4l2:/dev/video0          a webcam
///   file:PATH                 a video file, or an image sequence when PATH
///                             holds a printf number such as frames/%06d.png
///   test                      GStreamer's test pattern
/// @endcode
/// Failure: makeCameraSource() returns null and `error` set for a malformed
/// text; a source that cannot start says so from start().
#pragma once

#include <memory>
#include <string>

#include "platform/CameraSource.h"

namespace tevra::live {

/// How a camera source is read.
struct CameraSourceOptions {
    ///@{
    /// Requested image size; 0 takes the device's or file's own.
    int width = 0, height = 0;
    ///@}
    /// Frames per second of an image sequence and of the test pattern; a
    /// webcam runs at the rate it chooses.
    int framesPerSecond = 30;
    /// Files and image sequences start again at their end (timestamps keep rising).
    bool loop = false;
    /// Files and image sequences are played at their own rate, as a camera
    /// would deliver them; false delivers them as fast as the consumer takes
    /// them (a slower consumer still sees every image).
    bool realTime = true;
};

/// A GStreamer camera source for a source text. Null and `error` set for a
/// malformed text.
std::unique_ptr<CameraSource> makeCameraSource(const std::string& text, const CameraSourceOptions& options,
                                               std::string& error);

}  // namespace tevra::live
