#include "base/WorkerPool.h"

#include <pthread.h>

#include <algorithm>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

#include "base/ThreadAnnotations.h"

namespace tevra {

struct WorkerPool::State {
    State(size_t max, const char* threadName)
        : maxThreads(std::max<size_t>(1, max)), name(threadName ? std::string(threadName).substr(0, 15) : "") {}
    const size_t maxThreads;
    const std::string name;
    mutable Mutex mutex;
    ConditionVariable wake;
    std::deque<std::function<void()>> queue TEVRA_GUARDED_BY(mutex);
    std::vector<std::thread> threads TEVRA_GUARDED_BY(mutex);
    size_t alive TEVRA_GUARDED_BY(mutex) = 0;
    size_t idle TEVRA_GUARDED_BY(mutex) = 0;
    size_t peak TEVRA_GUARDED_BY(mutex) = 0;
    bool stopping TEVRA_GUARDED_BY(mutex) = false;

    // A thread's life: jobs until the pool stops and the queue is empty.
    static void run(const std::shared_ptr<State>& self) {
        if (!self->name.empty()) pthread_setname_np(pthread_self(), self->name.c_str());
        for (;;) {
            std::function<void()> job;
            {
                MutexLock lock(self->mutex);
                while (self->queue.empty() && !self->stopping) {
                    ++self->idle;
                    self->wake.wait(self->mutex);
                    --self->idle;
                }
                if (self->queue.empty()) {
                    --self->alive;
                    return;
                }
                job = std::move(self->queue.front());
                self->queue.pop_front();
            }
            job();
        }
    }
};

WorkerPool::WorkerPool(size_t maxThreads, const char* name) : state_(std::make_shared<State>(maxThreads, name)) {}

WorkerPool::~WorkerPool() { shutdown(); }

void WorkerPool::post(std::function<void()> job) {
    if (!job) return;
    {
        MutexLock lock(state_->mutex);
        if (!state_->stopping) {
            state_->queue.push_back(std::move(job));
            // A new thread only when the waiting jobs outnumber the free ones.
            if (state_->queue.size() > state_->idle && state_->alive < state_->maxThreads) {
                ++state_->alive;
                state_->peak = std::max(state_->peak, state_->alive);
                state_->threads.emplace_back([self = state_] { State::run(self); });
            } else {
                state_->wake.notify_one();
            }
            return;
        }
    }
    job();
}

void WorkerPool::shutdown() {
    std::vector<std::thread> threads;
    {
        MutexLock lock(state_->mutex);
        state_->stopping = true;
        threads.swap(state_->threads);
    }
    state_->wake.notify_all();
    for (std::thread& t : threads) {
        if (t.get_id() == std::this_thread::get_id()) {
            // Shut down from one of its own jobs: this thread finishes the
            // queue once the job returns, and ends by itself.
            t.detach();
        } else if (t.joinable()) {
            t.join();
        }
    }
}

size_t WorkerPool::threadCount() const {
    MutexLock lock(state_->mutex);
    return state_->alive;
}

size_t WorkerPool::peakThreadCount() const {
    MutexLock lock(state_->mutex);
    return state_->peak;
}

}  // namespace tevra
