/// @file
/// A source of camera images: a webcam, a video file or image sequence, or a
/// test pattern, delivered as "420f" pixel buffers with timestamps.
///
/// In: start() with two handlers. Out: every image the source produces, on
/// the source's own streaming thread, in order; timestamps are seconds on the
/// source's media clock (monotonic, starting near 0 at the first image).
/// Images are full-range BT.601 "420f" whatever the device delivers: a
/// video-range camera is expanded to full range before delivery.
/// A consumer that is slower than the source keeps only the newest image; the
/// source itself holds at most one image that was not yet delivered, so
/// nothing queues without bound.
/// Failure: start() returns false with an error text (no such device, a file
/// that does not decode). A source that goes away after it started (a webcam
/// unplugged, a read error, the end of a file that does not loop) calls the
/// lost handler once, with a one-line reason, and delivers nothing more.
///
/// Threads: start() and stop() from one thread (any); the handlers run on the
/// source's thread and must not call stop(). After stop() returns no handler
/// runs any more.
#pragma once

#include <functional>
#include <string>

#include "platform/PixelBuffer.h"

namespace tevra {

/// One camera image and its time.
struct CameraSample {
    /// The image, "420f" (full range).
    PixelBufferRef image;
    /// Seconds on the source's media clock.
    double timestamp = 0;
};

/// A source of camera images.
class CameraSource {
public:
    virtual ~CameraSource() = default;
    /// Called with each image, on the source's thread.
    using SampleHandler = std::function<void(CameraSample)>;
    /// Called once when the source goes away after it started, on the source's thread.
    using LostHandler = std::function<void(const std::string& reason)>;
    /// Starts delivery. False with `error` set when the source cannot start.
    virtual bool start(SampleHandler onSample, LostHandler onLost, std::string& error) = 0;
    /// Stops delivery; no handler runs after it returns. Idempotent.
    virtual void stop() = 0;
    /// What the source reads, for log lines ("v4l2:/dev/video0").
    virtual std::string description() const = 0;
};

}  // namespace tevra
