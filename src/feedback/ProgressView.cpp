#include "feedback/ProgressView.h"
#include "platform/ThreadCheck.h"

#include <cmath>
#include <utility>

namespace tevra {

namespace {

const Color kDefaultFillColor{1, 0, 1, 1};
const Color kDefaultBackgroundColor{0, 1, 1, 1};

}  // namespace

void PlatformAccessibilityNotifier::postLayoutChangedNotification(const View* focusElement) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!service_) return;
    const auto* bar = dynamic_cast<const ProgressView*>(focusElement);
    service_->postLayoutChanged(focusElement, bar ? bar->accessibilityLabel() : std::string());
}

float clampProgressValue(float value) {
    // NaN fails "< 1" and so becomes 1, like any value from 1 up.
    float v = value < 1.0f ? value : 1.0f;
    return v < 0.0f ? 0.0f : v;
}

Rect progressFillFrame(float value, const Rect& barBounds) {
    const float width = static_cast<float>(static_cast<double>(value) * barBounds.width);
    return {0, 0, static_cast<double>(std::ceil(width)), barBounds.height};
}

Rect progressBackgroundFrame(bool hidden, const Rect& barBounds) {
    if (hidden) return {0, barBounds.height, barBounds.width, 0};
    return barBounds;
}

Rect collapsedStripFrame(const Rect& strip, const Rect& barBounds) {
    return {strip.x, barBounds.height, strip.width, 0};
}

Rect interpolateFrame(const Rect& from, const Rect& to, double fraction) {
    if (!(fraction < 1.0)) return to;
    if (fraction <= 0.0) return from;
    auto mix = [fraction](double a, double b) { return a + (b - a) * fraction; };
    return {mix(from.x, to.x), mix(from.y, to.y), mix(from.width, to.width), mix(from.height, to.height)};
}

ProgressView::ProgressView(Rect frame, std::shared_ptr<Animator> animator,
                           std::shared_ptr<AccessibilityNotifier> accessibility)
    : View(frame), accessibility_(std::move(accessibility)), self_(std::make_shared<ProgressView*>(this)) {
    setAnimator(std::move(animator));
    progressViewInit();
}

void ProgressView::setAnimator(std::shared_ptr<Animator> a) {
    TEVRA_ASSERT_MAIN_THREAD();
    animator_ = a ? std::move(a) : std::make_shared<ImmediateAnimator>();
}

void ProgressView::progressViewInit() {
    autoresizingMask_ = kFlexibleWidth | kFlexibleTopMargin;  // 10
    View::setBackgroundColor(Color::clear());
    clipsToBounds_ = true;
    accessibilityElement_ = true;

    progressBackgroundView_ = std::make_shared<View>(frame());
    addSubview(progressBackgroundView_);

    progressFillView_ = std::make_shared<View>(Rect{});
    addSubview(progressFillView_);

    progressFillView_->setBackgroundColor(kDefaultFillColor);
    progressBackgroundView_->setBackgroundColor(kDefaultBackgroundColor);

    initialised_ = true;
    setProgressValue(0);
    animationDuration_ = 0.25;
}

void ProgressView::setProgressValue(float value) {
    TEVRA_ASSERT_MAIN_THREAD();
    progressValue_ = clampProgressValue(value);
    setNeedsLayout();
}

void ProgressView::setProgressValue(float value, bool animated, std::function<void(bool finished)> completion) {
    TEVRA_ASSERT_MAIN_THREAD();
    progressValue_ = value;
    std::weak_ptr<ProgressView*> weak = self_;
    const Rect from = progressFillView_->frame();
    auto fill = progressFillView_;
    animator_->animate(
        animated ? animationDuration_ : 0.0,
        [weak, fill, from](double t) {
            auto self = weak.lock();
            if (!self) return;
            fill->setFrame(interpolateFrame(from, progressFillFrame((*self)->progressValue_, (*self)->bounds()), t));
        },
        std::move(completion));
}

Color ProgressView::progressFillColor() const { return progressFillView_->backgroundColor(); }

void ProgressView::setProgressFillColor(const std::optional<Color>& color) {
    TEVRA_ASSERT_MAIN_THREAD();
    progressFillView_->setBackgroundColor(color.value_or(kDefaultFillColor));
}

Color ProgressView::progressBackgroundColor() const { return progressBackgroundView_->backgroundColor(); }

void ProgressView::setProgressBackgroundColor(const std::optional<Color>& color) {
    TEVRA_ASSERT_MAIN_THREAD();
    progressBackgroundView_->setBackgroundColor(color.value_or(kDefaultBackgroundColor));
}

void ProgressView::setHidden(bool hidden) {
    TEVRA_ASSERT_MAIN_THREAD();
    View::setHidden(hidden);
    if (accessibility_) accessibility_->postLayoutChangedNotification(hidden ? nullptr : this);
}

void ProgressView::setHidden(bool hidden, bool animated, std::function<void(bool finished)> completion) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (isHidden() == hidden) {
        if (completion) completion(true);
        return;
    }
    auto fill = progressFillView_;
    auto background = progressBackgroundView_;
    const Rect fillFrom = fill->frame();
    const Rect backgroundFrom = background->frame();
    std::weak_ptr<ProgressView*> weak = self_;

    Animator::Step step;
    if (hidden) {
        animateHide_ = true;
        step = [weak, fill, background, fillFrom, backgroundFrom](double t) {
            auto self = weak.lock();
            if (!self) return;
            const Rect b = (*self)->bounds();
            background->setFrame(interpolateFrame(backgroundFrom, collapsedStripFrame(backgroundFrom, b), t));
            fill->setFrame(interpolateFrame(fillFrom, collapsedStripFrame(fillFrom, b), t));
        };
    } else {
        setHidden(false);
        step = [weak, fill, background, fillFrom, backgroundFrom](double t) {
            auto self = weak.lock();
            if (!self) return;
            const Rect b = (*self)->bounds();
            background->setFrame(interpolateFrame(backgroundFrom, b, t));
            fill->setFrame(interpolateFrame(fillFrom, Rect{fillFrom.x, 0, fillFrom.width, b.height}, t));
        };
    }

    animator_->animate(animated ? animationDuration_ : 0.0, std::move(step),
                       [weak, hidden, completion = std::move(completion)](bool finished) {
                           if (hidden) {
                               if (auto self = weak.lock()) {
                                   (*self)->animateHide_ = false;
                                   (*self)->setHidden(true);
                               }
                           }
                           if (completion) completion(finished);
                       });
}

void ProgressView::setFrame(const Rect& f) {
    TEVRA_ASSERT_MAIN_THREAD();
    View::setFrame(f);
    setNeedsLayout();
}

void ProgressView::setNeedsLayout() {
    if (initialised_) layoutSubviews();
}

void ProgressView::layoutSubviews() {
    if (animateHide_) return;
    updateProgressBackgroundView();
    updateProgressFillView();
}

void ProgressView::updateProgressFillView() {
    progressFillView_->setFrame(progressFillFrame(progressValue_, bounds()));
}

void ProgressView::updateProgressBackgroundView() {
    progressBackgroundView_->setFrame(progressBackgroundFrame(isHidden(), bounds()));
}

}  // namespace tevra
