#include "platform/linux/GLibAnimator.h"

#include <utility>
#include <vector>

namespace tevra::linux_platform {

namespace {
constexpr guint kTickMilliseconds = 16;
}

struct GLibAnimator::Running {
    GLibAnimator* owner;
    guint sourceId = 0;
    gint64 start;
    double duration;
    Step step;
    Completion completion;
};

GLibAnimator::GLibAnimator() = default;

GLibAnimator::~GLibAnimator() {
    for (auto& [id, r] : running_) g_source_remove(id);
}

void GLibAnimator::animate(double duration, Step step, Completion completion) {
    auto r = std::make_unique<Running>(Running{this, 0, g_get_monotonic_time(), duration > 0 ? duration : 0.0,
                                               std::move(step), std::move(completion)});
    Running* raw = r.get();
    raw->sourceId = raw->duration > 0 ? g_timeout_add(kTickMilliseconds, &GLibAnimator::tick, raw)
                                      : g_idle_add(&GLibAnimator::tick, raw);
    running_[raw->sourceId] = std::move(r);
}

gboolean GLibAnimator::tick(gpointer data) {
    auto* r = static_cast<Running*>(data);
    const double elapsed = static_cast<double>(g_get_monotonic_time() - r->start) / G_USEC_PER_SEC;
    if (r->duration > 0 && elapsed < r->duration) {
        if (r->step) r->step(elapsed / r->duration);
        return G_SOURCE_CONTINUE;
    }
    // Ending: the source goes with G_SOURCE_REMOVE, so only forget it here.
    GLibAnimator* owner = r->owner;
    auto it = owner->running_.find(r->sourceId);
    std::unique_ptr<Running> mine = std::move(it->second);
    owner->running_.erase(it);
    // The step or completion may destroy the animator: touch only `mine`.
    if (mine->step) mine->step(1.0);
    if (mine->completion) mine->completion(true);
    return G_SOURCE_REMOVE;
}

void GLibAnimator::cancelAll() {
    std::vector<std::unique_ptr<Running>> cancelled;
    for (auto& [id, r] : running_) {
        g_source_remove(id);
        cancelled.push_back(std::move(r));
    }
    running_.clear();
    for (auto& r : cancelled) {
        if (r->step) r->step(1.0);
        if (r->completion) r->completion(false);
    }
}

}  // namespace tevra::linux_platform
