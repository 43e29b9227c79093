#include "platform/linux/GLibDispatch.h"
#include "base/ThreadAnnotations.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

namespace tevra::linux_platform {

// ---- Main queue ----
//
// Items go into one FIFO; a single idle source on the default context is
// attached when the FIFO turns non-empty and drains the items present when it
// fires. Items posted while a batch runs get the next source, so submission
// order holds across batches.

class GLibDispatch::MainQueue : public DispatchQueue {
public:
    MainQueue() : state_(std::make_shared<State>()) {}

    ~MainQueue() override {
        GSource* source = nullptr;
        {
            MutexLock lock(state_->mutex);
            state_->closed = true;
            state_->items.clear();
            source = state_->source;
            state_->source = nullptr;
        }
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
        }
    }

    void async(std::function<void()> work) override {
        if (!work) return;
        MutexLock lock(state_->mutex);
        if (state_->closed) return;
        state_->items.push_back(std::move(work));
        if (state_->source) return;
        GSource* source = g_idle_source_new();
        g_source_set_priority(source, G_PRIORITY_DEFAULT);
        g_source_set_name(source, "TevraARWebGL main queue");
        // Each attached source pins the state until its destroy notify runs.
        // The callback data is the plain pointer, so nothing is read on the
        // main thread before the state's own lock is taken.
        if (state_->pins++ == 0) state_->self = state_;
        g_source_set_callback(source, &MainQueue::fire, state_.get(), &MainQueue::release);
        state_->source = source;  // the state's reference
        g_source_attach(source, nullptr);
    }

private:
    struct State {
        Mutex mutex;
        std::deque<std::function<void()>> items TEVRA_GUARDED_BY(mutex);
        GSource* source TEVRA_GUARDED_BY(mutex) = nullptr;
        bool closed TEVRA_GUARDED_BY(mutex) = false;
        int pins TEVRA_GUARDED_BY(mutex) = 0;
        std::shared_ptr<State> self TEVRA_GUARDED_BY(mutex);
    };

    static gboolean fire(gpointer data) {
        auto* state = static_cast<State*>(data);
        std::deque<std::function<void()>> batch;
        std::shared_ptr<State> keep;
        {
            MutexLock lock(state->mutex);
            keep = state->self;  // alive while the batch runs, whatever it destroys
            batch.swap(state->items);
            if (state->source) {
                g_source_unref(state->source);
                state->source = nullptr;
            }
        }
        for (auto& work : batch) {
            {
                MutexLock lock(state->mutex);
                if (state->closed) break;
            }
            work();
        }
        return G_SOURCE_REMOVE;
    }

    static void release(gpointer data) {
        auto* state = static_cast<State*>(data);
        std::shared_ptr<State> last;
        {
            MutexLock lock(state->mutex);
            if (--state->pins == 0) last = std::move(state->self);
        }
        // `last` may free the state here, after its lock was released.
    }

    std::shared_ptr<State> state_;
};

// ---- Worker pool ----

class GLibDispatch::WorkerPool : public DispatchQueue {
public:
    explicit WorkerPool(unsigned count) {
        for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { run(); });
    }

    ~WorkerPool() override {
        {
            MutexLock lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
        for (auto& t : threads_) {
            if (t.get_id() == std::this_thread::get_id()) {
                // Destroyed from one of its own workers: that worker can't
                // join itself; it exits once this work item returns.
                t.detach();
            } else if (t.joinable()) {
                t.join();
            }
        }
    }

    void async(std::function<void()> work) override {
        if (!work) return;
        {
            MutexLock lock(mutex_);
            if (stopping_) return;
            items_.push_back(std::move(work));
        }
        cv_.notify_one();
    }

    unsigned size() const { return static_cast<unsigned>(threads_.size()); }

private:
    void run() {
        for (;;) {
            std::function<void()> work;
            {
                MutexLock lock(mutex_);
                while (!stopping_ && items_.empty()) cv_.wait(mutex_);
                // Work queued before shutdown still runs; then the worker exits.
                if (items_.empty()) return;
                work = std::move(items_.front());
                items_.pop_front();
            }
            work();
        }
    }

    Mutex mutex_;
    ConditionVariable cv_;
    std::deque<std::function<void()>> items_ TEVRA_GUARDED_BY(mutex_);
    bool stopping_ TEVRA_GUARDED_BY(mutex_) = false;
    std::vector<std::thread> threads_;
};

// ---- Timers ----

struct GLibDispatch::TimerRegistry {
    Mutex mutex;
    std::set<GSource*> live TEVRA_GUARDED_BY(mutex);  // each holds one reference
    bool closed TEVRA_GUARDED_BY(mutex) = false;
};

class GLibDispatch::GLibTimer : public Timer {
public:
    GLibTimer(GSource* source, std::weak_ptr<TimerRegistry> registry)
        : source_(source), registry_(std::move(registry)) {}
    ~GLibTimer() override { g_source_unref(source_); }

    void invalidate() override {
        g_source_destroy(source_);
        if (auto registry = registry_.lock()) {
            MutexLock lock(registry->mutex);
            if (registry->live.erase(source_)) g_source_unref(source_);
        }
    }

    bool isValid() const override { return !g_source_is_destroyed(source_); }

private:
    GSource* source_;
    std::weak_ptr<TimerRegistry> registry_;
};

namespace {

struct TickData {
    std::function<void()> tick;
    GSource* source;
};

gboolean timerFired(gpointer data) {
    auto* d = static_cast<TickData*>(data);
    // Keep a copy: the tick may invalidate its own timer, which frees `d`
    // only after this callback returns, but the copy keeps captures alive
    // regardless of what the tick does.
    auto tick = d->tick;
    tick();
    return g_source_is_destroyed(d->source) ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

void tickFree(gpointer data) { delete static_cast<TickData*>(data); }

}  // namespace

// ---- GLibDispatch ----

GLibDispatch::GLibDispatch(unsigned workerCount)
    : main_(std::make_unique<MainQueue>()),
      workers_(std::make_unique<WorkerPool>(std::clamp(workerCount, 2u, 4u))),
      timers_(std::make_shared<TimerRegistry>()),
      mainThread_(std::this_thread::get_id()) {}

GLibDispatch::~GLibDispatch() {
    std::set<GSource*> live;
    {
        MutexLock lock(timers_->mutex);
        timers_->closed = true;
        live.swap(timers_->live);
    }
    for (GSource* s : live) {
        g_source_destroy(s);
        g_source_unref(s);
    }
    main_.reset();
    workers_.reset();
}

DispatchQueue& GLibDispatch::main() { return *main_; }

DispatchQueue& GLibDispatch::globalHighPriority() { return *workers_; }

bool GLibDispatch::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

unsigned GLibDispatch::workerCount() const { return workers_->size(); }

std::shared_ptr<Timer> GLibDispatch::scheduleRepeatingTimer(double interval, std::function<void()> tick) {
    double ms = interval * 1000.0;
    if (!(ms >= 1.0)) ms = 1.0;  // also catches NaN
    if (ms > static_cast<double>(G_MAXUINT)) ms = static_cast<double>(G_MAXUINT);
    GSource* source = g_timeout_source_new(static_cast<guint>(ms));
    g_source_set_name(source, "TevraARWebGL timer");
    g_source_set_callback(source, &timerFired, new TickData{std::move(tick), source}, &tickFree);
    bool closed;
    {
        MutexLock lock(timers_->mutex);
        closed = timers_->closed;
        if (!closed) {
            g_source_ref(source);
            timers_->live.insert(source);
        }
    }
    if (!closed)
        g_source_attach(source, nullptr);
    else
        g_source_destroy(source);
    // The handle keeps the creation reference.
    return std::make_shared<GLibTimer>(source, timers_);
}

}  // namespace tevra::linux_platform
