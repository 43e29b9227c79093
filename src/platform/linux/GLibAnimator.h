// Linear view animations on the GLib main loop (the default main context).
//
// Each animation is a timeout source ticking about 60 times a second; each
// tick calls the step with the elapsed fraction of the duration, the last
// one with exactly 1, then the completion with true. A duration of 0 (or
// less) ends on the next loop iteration, never inside animate().
// cancelAll() ends every running animation at once: step(1), then
// completion(false). Destroying the animator drops running animations
// without calling them (their owners may be going away too).
// Threads: main thread only (the thread running the default main context).
#pragma once

#include <glib.h>

#include <map>
#include <memory>

#include "platform/Animator.h"

namespace tevra::linux_platform {

class GLibAnimator : public Animator {
public:
    GLibAnimator();
    ~GLibAnimator() override;
    GLibAnimator(const GLibAnimator&) = delete;
    GLibAnimator& operator=(const GLibAnimator&) = delete;

    void animate(double duration, Step step, Completion completion) override;
    void cancelAll();
    size_t runningCount() const { return running_.size(); }

private:
    struct Running;
    static gboolean tick(gpointer data);

    std::map<guint, std::unique_ptr<Running>> running_;
};

}  // namespace tevra::linux_platform
