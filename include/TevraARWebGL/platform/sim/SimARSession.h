/// @file
/// A world-tracking AR session replayed from a SessionRecording.
///
/// In: a loaded recording; run/pause/addAnchor/removeAnchor from the
/// controller; step() from whoever drives time (the replay driver's fake clock
/// or a real-time host's timer), always on the main thread.
/// Out: per step, the delegate callbacks of one recorded frame, in this order:
/// @code{.unparsed}
///   sessionCameraDidChangeTrackingState  when the state or reason differs
///                                        from the last one reported;
///   sessionDidRemoveAnchors               planes and anchors removed by the
///                                        recording,
///                                        planes dropped by a tracking reset,
///                                        anchors removed by removeAnchor;
///   sessionDidAddAnchors                  planes, then anchors, added by the
///                                        recording,
///                                        anchors added by addAnchor since the
///                                        last step;
///   sessionDidUpdateAnchors               planes and anchors updated by the
///                                        recording, and
///                                        every anchor added by addAnchor that
///                                        is alive (reported on every later
///                                        step while it lives);
///   sessionDidUpdateFrame                 the frame itself (already current).
/// @endcode
/// Empty lists produce no callback. Planes are only reported while the
/// configuration asks for horizontal plane detection; the recording's other
/// anchors (what a page placed while it was recorded) always are, and a
/// tracking reset or a loop drops them with the planes.
///
/// Time: the first run delivers the recording's own timestamps. A tracking
/// reset (or a loop) starts again at the first frame with timestamps that keep
/// increasing (offset by the time already replayed plus one frame interval),
/// as a real session's uptime clock would.
///
/// Failure: an image that can no longer be read is logged to the system log
/// ("Simulated session: frame %d image unavailable: %@") and the frame is
/// delivered without one. step() returns false when it delivered nothing: not
/// running, or the recording is over and looping is off.
///
/// Example: a 30-frame recording run with horizontal plane detection delivers
/// 30 frames on 30 steps; a run with ARSessionRunOptionResetTracking after step
/// 12 makes the next step deliver frame 0 again, with the planes seen so far
/// removed first.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/ARSession.h"
#include "platform/Platform.h"
#include "platform/sim/SessionRecording.h"
#include "platform/sim/SimCamera.h"

namespace tevra::sim {

/// A world-tracking AR session replayed from a SessionRecording, one frame per step().
class SimARSession : public ARSession {
public:
    /// A session over `recording`; nothing is delivered before the first run.
    explicit SimARSession(std::shared_ptr<const SessionRecording> recording);

    void setDelegate(std::weak_ptr<ARSessionDelegate> delegate) override { delegate_ = std::move(delegate); }
    /// Starts, resumes or restarts delivery. A first run, or a run with
    /// ARSessionRunOptionResetTracking, starts at the recording's first frame;
    /// ARSessionRunOptionRemoveExistingAnchors removes every anchor.
    void runWithConfiguration(const ARWorldTrackingConfiguration& configuration, unsigned long options) override;
    /// Stops delivery; a later run without reset resumes where it stopped.
    void pause() override;
    std::shared_ptr<ARFrame> currentFrame() const override { return current_; }
    /// Adds an anchor of the caller's; reported as added on the next step and
    /// as updated on every step after that until it is removed.
    void addAnchor(const std::shared_ptr<ARAnchor>& anchor) override;
    /// Removes an anchor (the caller's or a plane) by identifier; reported as
    /// removed on the next step unless it was never reported as added.
    void removeAnchor(const std::shared_ptr<ARAnchor>& anchor) override;

    /// Delivers the next recorded frame. Main thread. False if nothing was
    /// delivered.
    bool step();
    /// The same as step().
    bool deliverNextFrame() { return step(); }

    /// When set, the recording starts again after its last frame (as a reset
    /// would) instead of ending.
    void setLoops(bool loops) { loops_ = loops; }
    /// True between a run and a pause.
    bool isRunning() const { return running_; }
    /// True once the last frame was delivered and looping is off.
    bool isFinished() const;
    /// Index of the frame the next step delivers.
    size_t nextFrameIndex() const { return index_; }
    /// Seconds between the last delivered frame and the next one, from the
    /// recording's timestamps (the recording's frame interval at a wrap), for
    /// hosts that replay in real time. 0 before the first frame.
    double timeUntilNextFrame() const;
    /// Every anchor alive now: planes first, then the recording's other
    /// anchors, then the caller's.
    ARAnchorList anchors() const;
    /// The recording replayed.
    const SessionRecording& recording() const { return *recording_; }
    /// The configuration of the last run.
    const ARWorldTrackingConfiguration& configuration() const { return configuration_; }

private:
    void restartRecording();
    void dropPlanes();

    std::shared_ptr<const SessionRecording> recording_;
    std::weak_ptr<ARSessionDelegate> delegate_;
    ARWorldTrackingConfiguration configuration_;
    bool running_ = false;
    bool started_ = false;
    bool loops_ = false;
    size_t index_ = 0;
    double timeOffset_ = 0;
    std::optional<double> lastTimestamp_;  // of the last delivered frame
    std::optional<std::pair<long, long>> lastTracking_;
    std::shared_ptr<ARFrame> current_;
    // Planes alive now, keyed by the recording's id, in order of addition.
    std::vector<std::pair<std::string, std::shared_ptr<ARPlaneAnchor>>> planes_;
    std::vector<std::pair<std::string, std::shared_ptr<ARAnchor>>> recordedAnchors_;  // the recording's "anchors"
    ARAnchorList userAnchors_;                                                        // alive, in order of addition
    ARAnchorList pendingAdded_;                                                       // added since the last step
    ARAnchorList pendingRemoved_;                                                     // removed since the last step
};

/// Hands out simulated sessions that replay one recording.
class SimARSessionFactory : public ARSessionFactory {
public:
    /// A factory whose sessions replay `recording`.
    explicit SimARSessionFactory(std::shared_ptr<const SessionRecording> recording)
        : recording_(std::move(recording)) {}
    /// A new SimARSession over the recording.
    std::shared_ptr<ARSession> makeSession() override;
    /// The session made last, while it lives; null otherwise.
    std::shared_ptr<SimARSession> lastSession() const { return last_.lock(); }

private:
    std::shared_ptr<const SessionRecording> recording_;
    std::weak_ptr<SimARSession> last_;
};

}  // namespace tevra::sim
