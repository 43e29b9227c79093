#include "platform/Dispatch.h"
#include "base/ThreadAnnotations.h"

#include <mutex>

namespace tevra {

struct DispatchGroup::State {
    Mutex mutex;
    long count TEVRA_GUARDED_BY(mutex) = 0;
    std::shared_ptr<DispatchQueue> queue TEVRA_GUARDED_BY(mutex);
    std::function<void()> work TEVRA_GUARDED_BY(mutex);
};

std::shared_ptr<DispatchGroup> DispatchGroup::create() {
    auto g = std::shared_ptr<DispatchGroup>(new DispatchGroup());
    g->state_ = std::make_shared<State>();
    return g;
}

void DispatchGroup::enter() {
    MutexLock lock(state_->mutex);
    ++state_->count;
}

void DispatchGroup::leave() {
    {
        MutexLock lock(state_->mutex);
        if (state_->count > 0) --state_->count;
    }
    fireIfDone();
}

void DispatchGroup::notify(std::shared_ptr<DispatchQueue> queue, std::function<void()> work) {
    if (!queue) return;
    {
        MutexLock lock(state_->mutex);
        if (state_->work) return;
        state_->queue = std::move(queue);
        state_->work = std::move(work);
    }
    fireIfDone();
}

void DispatchGroup::fireIfDone() {
    std::function<void()> work;
    std::shared_ptr<DispatchQueue> queue;
    {
        MutexLock lock(state_->mutex);
        if (state_->count != 0 || !state_->work) return;
        work = std::move(state_->work);
        state_->work = nullptr;
        queue = std::move(state_->queue);
    }
    queue->async(std::move(work));
}

}  // namespace tevra
