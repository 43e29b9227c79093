/// @file
/// Runs linear view animations: a step that moves views from where they are
/// to where they should end, called with the elapsed fraction of a duration,
/// and a completion told whether the animation ran to its end.
///
/// The views keep their state in plain fields, so an animation is just a
/// sequence of step calls; whoever owns the main loop decides when they
/// happen (a GLib timer in the apps, the test in tests).
///
/// Threads: main thread only; steps and completions run on the main thread.
/// Failure: none. An animation that is cancelled still ends with step(1) and
/// then completion(false), so views never stay half-way.
#pragma once

#include <functional>

namespace tevra {

/// The linear timing curve's option value (3 << 16); the only curve used.
constexpr unsigned long kViewAnimationOptionCurveLinear = 3ul << 16;

/// Runs linear view animations.
class Animator {
public:
    /// Moves the views to where they are at `fraction` (0 to 1) of the animation.
    using Step = std::function<void(double fraction)>;
    /// Told whether the animation ran to its end (false: cancelled).
    using Completion = std::function<void(bool finished)>;

    virtual ~Animator() = default;
    /// Starts a linear animation of `duration` seconds (0 or less: end at
    /// once, but still through the animator, i.e. never inline for the real
    /// implementation). `step` is called with fractions rising from 0 to 1;
    /// the last call is always step(1). `completion` (may be empty) is then
    /// called once with true, or with false if the animation was cancelled.
    /// Called on the main thread.
    virtual void animate(double duration, Step step, Completion completion) = 0;
};

/// An animator that ends every animation inline: step(1), then completion(true).
/// For views that have no toolkit behind them.
class ImmediateAnimator : public Animator {
public:
    /// Calls step(1), then completion(true), before it returns.
    void animate(double, Step step, Completion completion) override {
        if (step) step(1.0);
        if (completion) completion(true);
    }
};

}  // namespace tevra
