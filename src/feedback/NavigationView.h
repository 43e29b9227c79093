// The backing view behind the navigation chrome. Its only drawing is a faint
// hairline along the bottom edge: from (0, height) to (width, height) of the
// rectangle drawn, grey 0.5 at alpha 0.25, 0.5 wide. The line lies on the
// edge, so only its upper half shows. Its background colour is set by its
// owner.
//
// Drawing goes through the platform's drawing context (platform/Drawing.h),
// so the geometry stays in plain code.
// Threads: main thread only.
#pragma once

#include "platform/Drawing.h"
#include "platform/View.h"

namespace tevra {

class NavigationView : public View {
public:
    using View::View;

    static constexpr Color kHairlineColor{0.5, 0.5, 0.5, 0.25};
    static constexpr double kHairlineWidth = 0.5;

    // Draws the view's content for `rect` into `context`.
    virtual void drawRect(DrawingContext& context, const Rect& rect) const;
};

}  // namespace tevra
