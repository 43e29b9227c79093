/// @file
/// Records what an AR session delivers into a recorded-session directory
/// (docs/sessions.md), so that a live run can be replayed later with
/// SimARSession, deterministically.
///
/// RecordingARSession wraps any ARSession: the controller talks to it as to
/// the session itself; every call goes to the inner session and every
/// delegate callback comes back through it, unchanged, after it was noted.
/// Per delivered frame it keeps the timestamp, the camera pose, intrinsics
/// and tracking state, the plane changes and the other anchors' changes
/// reported since the frame before, and the camera image. Poses, timestamps
/// and intrinsics are written so that they read back as the same numbers:
/// a replay gives the same frame calls.
///
/// Images are written as JPEG (from the 4:2:0 planes, no RGB) on a writer
/// thread of the recorder's own. At most `maxQueuedFrames` wait for it; a
/// frame arriving while the queue is full keeps its record but not its image,
/// and the log says so once per stretch of such frames.
/// A tracking change reported without a frame (a camera that went away) is
/// not recorded: the format keeps state per frame.
/// Failure: a file that cannot be written stops the image writing with one
/// log line ("Session recorder: ..."); the records are still written at
/// finish(), which returns false with the reason when session.json cannot be.
///
/// Threads: main thread, as the session; the writer thread is internal.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/ThreadAnnotations.h"
#include "platform/ARSession.h"
#include "platform/Platform.h"
#include "platform/sim/SessionWriter.h"

namespace tevra::sim {

/// How a session is recorded.
struct SessionRecorderOptions {
    /// JPEG quality of the camera images (1-100).
    int jpegQuality = 90;
    /// Frames whose images may wait for the writer thread.
    size_t maxQueuedFrames = 30;
    /// When false, no images are written (poses, tracking and anchors only).
    bool images = true;
};

/// An ARSession that records what the session it wraps delivers.
class RecordingARSession : public ARSession, public ARSessionDelegate {
public:
    /// Wraps `inner`, recording into `directory` (created when missing).
    static std::shared_ptr<RecordingARSession> create(std::shared_ptr<ARSession> inner, std::string directory,
                                                      SessionRecorderOptions options = {});
    ~RecordingARSession() override;

    /// Writes the images still queued and session.json. Idempotent (later
    /// calls return the first result). False and `error` set on failure.
    bool finish(std::string& error);
    /// Frames recorded so far.
    size_t framesRecorded() const { return frames_; }
    /// The directory written.
    const std::string& directory() const { return directory_; }
    /// The wrapped session.
    const std::shared_ptr<ARSession>& inner() const { return inner_; }

    /// @name ARSession: forwarded to the wrapped session.
    ///@{
    void setDelegate(std::weak_ptr<ARSessionDelegate> delegate) override;
    void runWithConfiguration(const ARWorldTrackingConfiguration& configuration, unsigned long options) override;
    void pause() override;
    std::shared_ptr<ARFrame> currentFrame() const override;
    void addAnchor(const std::shared_ptr<ARAnchor>& anchor) override;
    void removeAnchor(const std::shared_ptr<ARAnchor>& anchor) override;
    ///@}

    /// @name ARSessionDelegate: noted, then passed on to the delegate.
    ///@{
    void sessionDidUpdateFrame(ARSession& session, const std::shared_ptr<ARFrame>& frame) override;
    void sessionDidAddAnchors(ARSession& session, const ARAnchorList& anchors) override;
    void sessionDidUpdateAnchors(ARSession& session, const ARAnchorList& anchors) override;
    void sessionDidRemoveAnchors(ARSession& session, const ARAnchorList& anchors) override;
    void sessionCameraDidChangeTrackingState(ARSession& session, const std::shared_ptr<ARCamera>& camera) override;
    void sessionDidFailWithError(ARSession& session, const Error& error) override;
    void sessionWasInterrupted(ARSession& session) override;
    void sessionInterruptionEnded(ARSession& session) override;
    ///@}

private:
    RecordingARSession(std::shared_ptr<ARSession> inner, std::string directory, SessionRecorderOptions options);
    void note(const ARAnchorList& anchors, PlaneChangeKind kind);
    void writerLoop();
    struct Pending {
        RecordedFrame record;
        PixelBufferRef image;
    };

    std::weak_ptr<RecordingARSession> self_;
    std::shared_ptr<ARSession> inner_;
    std::weak_ptr<ARSessionDelegate> delegate_;
    std::string directory_;
    SessionRecorderOptions options_;
    RecordedFrame changes_;  // plane and anchor changes since the last frame
    size_t frames_ = 0;
    bool droppingImages_ = false;
    std::optional<bool> finished_;
    std::string finishError_;

    Mutex mutex_;
    ConditionVariable wake_;
    std::deque<Pending> queue_ TEVRA_GUARDED_BY(mutex_);
    // Made under the lock at the first frame, before the writer thread sees
    // any; then used by the writer thread alone until finish() joins it.
    std::unique_ptr<SessionWriter> writer_;
    bool closing_ TEVRA_GUARDED_BY(mutex_) = false;
    bool writeFailed_ TEVRA_GUARDED_BY(mutex_) = false;
    std::thread writerThread_;
};

/// Hands out the sessions of another factory, each wrapped in a
/// RecordingARSession writing into one directory.
class RecordingSessionFactory : public ARSessionFactory {
public:
    /// Records the sessions of `inner` into `directory`.
    RecordingSessionFactory(std::shared_ptr<ARSessionFactory> inner, std::string directory,
                            SessionRecorderOptions options = {})
        : inner_(std::move(inner)), directory_(std::move(directory)), options_(options) {}
    /// The inner factory's next session, recorded.
    std::shared_ptr<ARSession> makeSession() override;
    /// The recorder made last, while it lives.
    std::shared_ptr<RecordingARSession> lastRecorder() const { return last_.lock(); }

private:
    std::shared_ptr<ARSessionFactory> inner_;
    std::string directory_;
    SessionRecorderOptions options_;
    std::weak_ptr<RecordingARSession> last_;
};

}  // namespace tevra::sim
