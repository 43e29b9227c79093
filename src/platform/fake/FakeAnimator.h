// An animator for tests: records every animation request and runs it either
// at once (Immediate) or when the test says so (Manual).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/Animator.h"

namespace tevra::fake {

class FakeAnimator : public Animator {
public:
    enum class Mode { Immediate, Manual };
    explicit FakeAnimator(Mode mode = Mode::Manual) : mode_(mode) {}

    void animate(double duration, Step step, Completion completion) override;

    // Every duration requested so far, in order (running or not).
    const std::vector<double>& requestedDurations() const { return durations_; }
    size_t requestCount() const { return durations_.size(); }
    // Animations started and not yet ended.
    size_t pendingCount() const { return pending_.size(); }

    // Calls step(fraction) on every pending animation without ending it.
    void stepAll(double fraction);
    // Ends the oldest pending animation: step(1), then completion(finished).
    // False when none is pending.
    bool runNext(bool finished = true);
    // Ends pending animations, including ones their completions start, until
    // none is left or `limit` were ended. Returns the number ended.
    size_t runAll(bool finished = true, size_t limit = 1000);

    void setMode(Mode m) { mode_ = m; }

private:
    struct Pending {
        double duration;
        Step step;
        Completion completion;
    };
    Mode mode_;
    std::vector<double> durations_;
    std::vector<std::shared_ptr<Pending>> pending_;
};

}  // namespace tevra::fake
