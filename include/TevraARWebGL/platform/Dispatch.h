/// @file
/// The dispatch queues: the serial main queue (the main thread's loop) and the
/// global high-priority queue (a small worker pool), plus repeating timers on
/// the main loop.
///
/// Threads: async() may be called from any thread. Work given to main() runs
/// on the main thread in submission order; work given to globalHighPriority()
/// runs on some worker thread, possibly concurrently with other work.
/// Failure: none; work submitted after shutdown is dropped.
#pragma once

#include <functional>
#include <memory>

namespace tevra {

/// A queue that runs work later.
class DispatchQueue {
public:
    virtual ~DispatchQueue() = default;
    /// Queues `work`; never runs it inline. Called from any thread.
    virtual void async(std::function<void()> work) = 0;
};

/// A repeating timer on the main loop.
class Timer {
public:
    virtual ~Timer() = default;
    /// Stops further ticks. Main thread.
    virtual void invalidate() = 0;
    /// True until the timer is invalidated.
    virtual bool isValid() const = 0;
};

/// The dispatch queues and timers.
class Dispatch {
public:
    virtual ~Dispatch() = default;
    /// The serial main queue.
    virtual DispatchQueue& main() = 0;
    /// The global queue of the high-priority class (identifier 2).
    virtual DispatchQueue& globalHighPriority() = 0;
    /// True on the thread that runs the main queue.
    virtual bool isMainThread() const = 0;
    /// A timer firing `tick` every `interval` seconds on the main thread until
    /// invalidated. Called on the main thread.
    virtual std::shared_ptr<Timer> scheduleRepeatingTimer(double interval, std::function<void()> tick) = 0;
};

/// `dispatch`'s main queue, held so that it keeps `dispatch` alive.
inline std::shared_ptr<DispatchQueue> sharedMainQueue(const std::shared_ptr<Dispatch>& dispatch) {
    return std::shared_ptr<DispatchQueue>(dispatch, &dispatch->main());
}

/// A dispatch group: enter/leave pairs, and a notification queued once the
/// count returns to zero. Thread-safe; plain code over the queues above.
class DispatchGroup : public std::enable_shared_from_this<DispatchGroup> {
public:
    /// A new group with no task entered.
    static std::shared_ptr<DispatchGroup> create();
    /// Counts one more outstanding task.
    void enter();
    /// Counts one task as done; a leave without an enter is ignored.
    void leave();
    /// Queues `work` on `queue` when every entered task has left; at once if
    /// none is outstanding. Only the first notify is kept; the queue is held
    /// until then.
    void notify(std::shared_ptr<DispatchQueue> queue, std::function<void()> work);

private:
    DispatchGroup() = default;
    void fireIfDone();
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tevra
