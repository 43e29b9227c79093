// The backing view behind the navigation chrome. Its only drawing is a faint
// hairline along the bottom edge: from (0, height) to (width, height) of the
// rectangle drawn, grey 0.5 at alpha 0.25, 0.5 wide. The line lies on the
// edge, so only its upper half shows. Its background colour is set by its
// owner.
//
// Drawing goes through a small context interface so the geometry stays in
// plain code; the Linux side strokes it with cairo
// (platform/linux/GtkViewDrawing.h).
// Threads: main thread only.
#pragma once

#include "platform/View.h"

namespace tevra {

// The stroking calls a view's drawing makes, in order.
class DrawingContext {
public:
    virtual ~DrawingContext() = default;
    virtual void setStrokeColor(const Color& color) = 0;
    virtual void setLineWidth(double width) = 0;
    virtual void moveToPoint(double x, double y) = 0;
    virtual void addLineToPoint(double x, double y) = 0;
    virtual void strokePath() = 0;
};

class NavigationView : public View {
public:
    using View::View;

    static constexpr Color kHairlineColor{0.5, 0.5, 0.5, 0.25};
    static constexpr double kHairlineWidth = 0.5;

    // Draws the view's content for `rect` into `context`.
    virtual void drawRect(DrawingContext& context, const Rect& rect) const;
};

}  // namespace tevra
