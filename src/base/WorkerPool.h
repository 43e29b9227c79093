// A pool of at most `maxThreads` threads that run posted jobs in the order
// they were posted. Threads are started only when a job is waiting and no
// thread is free, so an idle pool holds none, and a burst of a thousand jobs
// holds `maxThreads`.
//
// Shutdown (shutdown() or the destructor) runs every job already posted,
// then joins the threads. Called from inside one of the pool's own jobs, it
// joins the others and leaves that thread to finish the queue and end on its
// own. A job posted after shutdown runs at once on the posting thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace tevra {

class WorkerPool {
public:
    // `name` (at most 15 bytes) names the threads, as ps and debuggers show them.
    explicit WorkerPool(size_t maxThreads, const char* name = nullptr);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void post(std::function<void()> job);
    void shutdown();

    // Threads alive now.
    size_t threadCount() const;
    // The most threads alive at once so far.
    size_t peakThreadCount() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tevra
