// The stroking calls a view's own drawing makes, in order: the views keep
// their geometry in plain code and hand the strokes to a context that a
// backend (or a test) provides.
//
// Example: the navigation backing view's hairline on a 390 x 44 view is
// setStrokeColor(grey 0.5 at alpha 0.25), setLineWidth(0.5),
// moveToPoint(0, 44), addLineToPoint(390, 44), strokePath().
// Threads: main thread only, like the views.
#pragma once

#include "platform/View.h"

namespace tevra {

class DrawingContext {
public:
    virtual ~DrawingContext() = default;
    virtual void setStrokeColor(const Color& color) = 0;
    virtual void setLineWidth(double width) = 0;
    virtual void moveToPoint(double x, double y) = 0;
    virtual void addLineToPoint(double x, double y) = 0;
    virtual void strokePath() = 0;
};

}  // namespace tevra
