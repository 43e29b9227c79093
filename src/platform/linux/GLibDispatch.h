// Dispatch on Linux: the main queue is the GLib main loop of the default main
// context, the global high-priority queue is a small pool of worker threads,
// and repeating timers are timeout sources on the main loop.
//
// The main thread is the thread that constructs GLibDispatch; it must be the
// thread that runs the default main context (g_main_loop_run, gtk_main or
// g_main_context_iteration). Work posted to main() runs there in submission
// order, one batch per loop iteration, never inline in async().
//
// Timers keep firing until invalidated, even when the caller drops its handle
// (a run loop keeps its timers); destroying GLibDispatch invalidates them all.
//
// Shutdown: the destructor removes the main-queue source (queued main work is
// dropped), invalidates every timer, lets the workers finish the work already
// queued and joins them. Work posted afterwards is dropped.
#pragma once

#include <glib.h>

#include <memory>
#include <thread>

#include "platform/Dispatch.h"

namespace tevra::linux_platform {

class GLibDispatch : public Dispatch {
public:
    // `workerCount` is clamped to 2..4.
    explicit GLibDispatch(unsigned workerCount = 3);
    ~GLibDispatch() override;
    GLibDispatch(const GLibDispatch&) = delete;
    GLibDispatch& operator=(const GLibDispatch&) = delete;

    DispatchQueue& main() override;
    DispatchQueue& globalHighPriority() override;
    bool isMainThread() const override;
    std::shared_ptr<Timer> scheduleRepeatingTimer(double interval, std::function<void()> tick) override;

    unsigned workerCount() const;

private:
    class MainQueue;
    class WorkerPool;
    class GLibTimer;
    struct TimerRegistry;
    std::unique_ptr<MainQueue> main_;
    std::unique_ptr<WorkerPool> workers_;
    std::shared_ptr<TimerRegistry> timers_;
    std::thread::id mainThread_;
};

}  // namespace tevra::linux_platform
