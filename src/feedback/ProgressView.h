// The page-load progress bar: a background strip with a fill strip whose
// width follows a value from 0 to 1, with animated value changes and
// animated showing and hiding (the strips collapse onto the bottom edge).
//
// In:  values (plain setter clamps, animated setter trusts its caller),
//      frames, colours, show/hide requests.
// Out: the two strips' frames and colours, animation requests to the
//      Animator, accessibility layout-changed notifications.
// Fails: never; out-of-range values are clamped, NaN counts as full.
// Example: a bar 375 wide at 0.001 has a fill 1 wide (0.375 rounded up);
//          hiding a bar 375 x 3 moves both strips to y 3, height 0.
//
// The frame arithmetic and the state live here in plain code; a toolkit
// mirror follows the strips' frames and colours through View's hooks.
// Threads: main thread only; animation completions arrive there too.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Accessibility.h"
#include "platform/Animator.h"
#include "platform/View.h"

namespace tevra {

// Tells assistive technology that a screen's layout changed. `focusElement`
// is the view to move to, or null for none. Main thread.
class AccessibilityNotifier {
public:
    virtual ~AccessibilityNotifier() = default;
    virtual void postLayoutChangedNotification(const View* focusElement) = 0;
};

// Posts the notices through the platform's accessibility service: the focus
// element with its announced text (a progress bar's accessibility label, ""
// for other views), or no element and "". A null service posts nothing.
// Example: the bar shown posts (bar, "Page loading"); hidden, (null, "").
// Threads: main thread only.
class PlatformAccessibilityNotifier : public AccessibilityNotifier {
public:
    explicit PlatformAccessibilityNotifier(std::shared_ptr<Accessibility> service) : service_(std::move(service)) {}
    void postLayoutChangedNotification(const View* focusElement) override;

private:
    std::shared_ptr<Accessibility> service_;
};

// ---- Frame arithmetic (pure) ----

// The plain setter's clamp: v >= 1 or NaN -> 1, then v < 0 -> 0.
float clampProgressValue(float value);
// The fill strip: x 0, y 0, width ceil(float(value * bounds width)), full height.
Rect progressFillFrame(float value, const Rect& barBounds);
// The background strip: the bar's bounds, or flattened on the bottom edge when hidden.
Rect progressBackgroundFrame(bool hidden, const Rect& barBounds);
// A strip collapsed onto the bottom edge: same x and width, y = bounds height, height 0.
Rect collapsedStripFrame(const Rect& strip, const Rect& barBounds);
// Linear interpolation between two frames; exactly `to` at fraction >= 1.
Rect interpolateFrame(const Rect& from, const Rect& to, double fraction);

class ProgressView : public View {
public:
    // Autoresizing mask bits, as the views use them.
    static constexpr unsigned kFlexibleWidth = 2;
    static constexpr unsigned kFlexibleTopMargin = 8;

    // The animator runs value and show/hide animations; without one they end
    // at once (still through an animator, with completions).
    explicit ProgressView(Rect frame = {}, std::shared_ptr<Animator> animator = nullptr,
                          std::shared_ptr<AccessibilityNotifier> accessibility = nullptr);

    float progressValue() const { return progressValue_; }
    // Stores the value clamped to [0, 1] (NaN -> 1) and lays the strips out.
    void setProgressValue(float value);
    // Stores the value unchanged and animates the fill to it over
    // animationDuration (or 0 when not animated). The completion, if any,
    // gets the animation's finished flag.
    void setProgressValue(float value, bool animated, std::function<void(bool finished)> completion);

    double animationDuration() const { return animationDuration_; }
    void setAnimationDuration(double d) { animationDuration_ = d; }

    const std::shared_ptr<View>& progressFillView() const { return progressFillView_; }
    const std::shared_ptr<View>& progressBackgroundView() const { return progressBackgroundView_; }
    // True while a hide animation runs; layout leaves the strips alone then.
    bool animateHide() const { return animateHide_; }

    // The fill strip's background colour; no colour -> (1, 0, 1, 1).
    Color progressFillColor() const;
    void setProgressFillColor(const std::optional<Color>& color);
    // The background strip's background colour; no colour -> (0, 1, 1, 1).
    Color progressBackgroundColor() const;
    void setProgressBackgroundColor(const std::optional<Color>& color);

    // Base behaviour plus an accessibility layout-changed notification: the
    // bar itself as focus when it becomes visible, none when hidden.
    void setHidden(bool hidden) override;
    // Shows or hides the bar with the strips sliding. Already in that state:
    // completion(true) at once and no animation.
    void setHidden(bool hidden, bool animated, std::function<void(bool finished)> completion);

    // A frame change re-lays the strips out (they follow the bar's width).
    void setFrame(const Rect& f) override;

    // Requests a layout pass. Plain views have no deferred layout pass, so
    // it runs at once.
    void setNeedsLayout();
    // Re-lays out both strips unless a hide animation runs.
    virtual void layoutSubviews();
    void updateProgressFillView();
    void updateProgressBackgroundView();

    unsigned autoresizingMask() const { return autoresizingMask_; }
    bool clipsToBounds() const { return clipsToBounds_; }
    bool isAccessibilityElement() const { return accessibilityElement_; }
    // What assistive technology announces for the bar: "Page loading".
    const std::string& accessibilityLabel() const { return accessibilityLabel_; }
    void setAccessibilityLabel(std::string label) { accessibilityLabel_ = std::move(label); }

    void setAnimator(std::shared_ptr<Animator> a);
    void setAccessibilityNotifier(std::shared_ptr<AccessibilityNotifier> n) { accessibility_ = std::move(n); }

protected:
    // One-time set-up, run by the constructor.
    void progressViewInit();

private:
    std::shared_ptr<Animator> animator_;
    std::shared_ptr<AccessibilityNotifier> accessibility_;
    float progressValue_ = 0;
    double animationDuration_ = 0.25;
    std::shared_ptr<View> progressFillView_;
    std::shared_ptr<View> progressBackgroundView_;
    bool animateHide_ = false;
    unsigned autoresizingMask_ = 0;
    bool clipsToBounds_ = false;
    bool accessibilityElement_ = false;
    std::string accessibilityLabel_ = "Page loading";
    // Set by the constructor once set-up is done; layout before that is skipped.
    bool initialised_ = false;
    // Guards the animation callbacks against a view that is gone.
    std::shared_ptr<ProgressView*> self_;
};

}  // namespace tevra
