#include "platform/fake/FakeAnimator.h"

namespace tevra::fake {

void FakeAnimator::animate(double duration, Step step, Completion completion) {
    durations_.push_back(duration);
    auto p = std::make_shared<Pending>(Pending{duration, std::move(step), std::move(completion)});
    if (mode_ == Mode::Manual) {
        pending_.push_back(std::move(p));
        return;
    }
    if (p->step) p->step(1.0);
    if (p->completion) p->completion(true);
}

void FakeAnimator::stepAll(double fraction) {
    // Steps may start new animations; only the ones pending now are stepped.
    auto now = pending_;
    for (auto& p : now)
        if (p->step) p->step(fraction);
}

bool FakeAnimator::runNext(bool finished) {
    if (pending_.empty()) return false;
    auto p = pending_.front();
    pending_.erase(pending_.begin());
    if (p->step) p->step(1.0);
    if (p->completion) p->completion(finished);
    return true;
}

size_t FakeAnimator::runAll(bool finished, size_t limit) {
    size_t n = 0;
    while (n < limit && runNext(finished)) ++n;
    return n;
}

}  // namespace tevra::fake
