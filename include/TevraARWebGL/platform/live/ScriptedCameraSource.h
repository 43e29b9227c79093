/// @file
/// A camera source driven by a test: the test pushes images and a loss, the
/// source delivers them in order on its own thread, as a camera would.
///
/// In: push() and lose() from any thread, before or after start(); what is
/// pushed before start() waits and is delivered once the source runs.
/// Out: the pushed images, in order, to the sample handler, and a loss to the
/// lost handler once; after a loss nothing more is delivered until the next
/// start(). Images and losses pushed after stop() wait for the next start().
/// Failure: failNextStart() makes the next start() fail with that text.
/// Threads: as CameraSource; the handlers run on the source's own thread.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <thread>

#include "base/ThreadAnnotations.h"
#include "platform/CameraSource.h"

namespace tevra::live {

/// A deterministic CameraSource for tests.
class ScriptedCameraSource final : public CameraSource {
public:
    /// A source that describes itself as `description`.
    explicit ScriptedCameraSource(std::string description = "scripted");
    /// Stops it.
    ~ScriptedCameraSource() override;
    ScriptedCameraSource(const ScriptedCameraSource&) = delete;
    ScriptedCameraSource& operator=(const ScriptedCameraSource&) = delete;

    /// Queues an image for delivery.
    void push(CameraSample sample);
    /// Queues the loss of the source, delivered after the images queued before it.
    void lose(std::string reason);
    /// Makes the next start() fail with `error`.
    void failNextStart(std::string error);
    /// Waits until the source runs, nothing is queued and no handler runs;
    /// false when `timeout` passed first.
    bool waitUntilDelivered(std::chrono::milliseconds timeout);
    /// The number of successful start() calls so far.
    int startCount() const;

    /// Starts the delivery thread; false with `error` after failNextStart() or
    /// when already started.
    bool start(SampleHandler onSample, LostHandler onLost, std::string& error) override;
    /// Stops the delivery thread; no handler runs after it returns. Idempotent.
    void stop() override;
    /// The description given at construction.
    std::string description() const override { return description_; }

private:
    struct Event {
        CameraSample sample;
        bool lost = false;
        std::string reason;
    };
    void run(SampleHandler onSample, LostHandler onLost);

    const std::string description_;
    mutable Mutex mutex_;
    ConditionVariable changed_;
    std::deque<Event> queue_ TEVRA_GUARDED_BY(mutex_);
    bool running_ TEVRA_GUARDED_BY(mutex_) = false;
    bool quit_ TEVRA_GUARDED_BY(mutex_) = false;
    bool busy_ TEVRA_GUARDED_BY(mutex_) = false;
    std::string failStart_ TEVRA_GUARDED_BY(mutex_);
    int starts_ TEVRA_GUARDED_BY(mutex_) = 0;
    std::thread thread_;  // started and joined by start() and stop()
};

}  // namespace tevra::live
