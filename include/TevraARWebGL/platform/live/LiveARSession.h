/// @file
/// A world-tracking AR session on a real camera: images from a CameraSource,
/// the camera's pose from a printed board (platform/live/Board.h, whose
/// world it is) found by a MarkerTracker, smoothed by a PoseSmoother.
///
/// In: a camera source, the board, the camera's calibration (or a field of
/// view, with a warning in the log), the platform's dispatch.
/// Out: the delegate callbacks of a session, on the main thread, in the order
/// SimARSession delivers them (tracking change, removed, added, updated
/// anchors, then the frame), one frame per tracked camera image:
/// - tracking "normal" while the board is seen; "limited" with reason
///   "initializing" before it was first seen, and with reason "insufficient
///   features" while it is lost, keeping the last pose; "not available" when
///   the camera went away (one log line; the session stays, with no frames);
/// - while horizontal plane detection is on, one plane at the board (its
///   centre, the pattern's extent), added when the board is first seen;
/// - the caller's anchors, as SimARSession reports them.
/// Images that arrive while the tracker is busy are dropped: one image waits
/// at most, and one tracked frame waits for the main thread at most.
///
/// Threads: the camera source's thread receives images; a tracking thread of
/// the session's own detects the board and solves the pose; everything else,
/// and every call of ARSession, is on the main thread. Pausing stops the
/// camera (its light goes out); running again starts it again.
/// Failure: a camera that cannot start is logged ("Live session: camera ...:
/// reason") and reported as tracking "not available".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ARSession.h"
#include "platform/CameraSource.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"
#include "platform/live/Board.h"
#include "platform/live/CameraCalibration.h"

namespace tevra::live {

/// How a live session tracks.
struct LiveSessionOptions {
    /// The board that defines the world.
    BoardSpec board;
    /// The camera's calibration; none takes fieldOfViewDegrees, with a warning.
    std::optional<CameraCalibration> calibration;
    /// The horizontal field of view assumed without a calibration.
    double fieldOfViewDegrees = 60;
};

/// Counts and times of a live session, for reports.
struct LiveSessionStats {
    /// Images the camera delivered.
    uint64_t imagesReceived = 0;
    /// Images the tracker looked at (the others were dropped as newer ones came).
    uint64_t imagesTracked = 0;
    /// Frames delivered to the delegate.
    uint64_t framesDelivered = 0;
    /// Frames in which the board was found.
    uint64_t framesWithBoard = 0;
    ///@{
    /// Milliseconds from an image's arrival to the end of its frame's
    /// delivery (the delegate's frame call included): median and 95th percentile.
    double latencyP50Ms = 0, latencyP95Ms = 0;
    ///@}
    /// Milliseconds of detection and pose per tracked image: median.
    double trackingP50Ms = 0;
    /// Milliseconds of main-thread work per delivered frame, the delegate's
    /// callbacks included: median.
    double deliveryP50Ms = 0;
};

/// A live AR session on a camera and a printed board.
class LiveARSession : public ARSession {
public:
    /// A session reading `source`; nothing runs before the first run.
    static std::shared_ptr<LiveARSession> create(std::unique_ptr<CameraSource> source, LiveSessionOptions options,
                                                 std::shared_ptr<Dispatch> dispatch);
    ~LiveARSession() override;

    void setDelegate(std::weak_ptr<ARSessionDelegate> delegate) override;
    /// Starts the camera (again). ARSessionRunOptionResetTracking forgets the
    /// pose and the plane; ARSessionRunOptionRemoveExistingAnchors removes the
    /// caller's anchors.
    void runWithConfiguration(const ARWorldTrackingConfiguration& configuration, unsigned long options) override;
    /// Stops the camera; the session keeps its state.
    void pause() override;
    std::shared_ptr<ARFrame> currentFrame() const override;
    /// Adds an anchor; reported as added with the next frame, then as updated with each.
    void addAnchor(const std::shared_ptr<ARAnchor>& anchor) override;
    /// Removes an anchor (the caller's or the plane); reported with the next frame.
    void removeAnchor(const std::shared_ptr<ARAnchor>& anchor) override;

    /// Counts and times so far. Main thread.
    LiveSessionStats stats() const;
    /// Called on the main thread after each delivered frame.
    std::function<void()> onFrameDelivered;

private:
    struct Impl;
    explicit LiveARSession(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

/// Makes live sessions, each on a new camera source.
class LiveARSessionFactory : public ARSessionFactory {
public:
    /// Sessions on the sources `makeSource` makes (null: a session whose camera
    /// is not available), with `options`, on `dispatch`.
    LiveARSessionFactory(std::function<std::unique_ptr<CameraSource>()> makeSource, LiveSessionOptions options,
                         std::shared_ptr<Dispatch> dispatch)
        : makeSource_(std::move(makeSource)), options_(std::move(options)), dispatch_(std::move(dispatch)) {}
    /// A new session.
    std::shared_ptr<ARSession> makeSession() override;
    /// The session made last, while it lives.
    std::shared_ptr<LiveARSession> lastSession() const { return last_.lock(); }

private:
    std::function<std::unique_ptr<CameraSource>()> makeSource_;
    LiveSessionOptions options_;
    std::shared_ptr<Dispatch> dispatch_;
    std::weak_ptr<LiveARSession> last_;
};

}  // namespace tevra::live
