#include "feedback/NavigationView.h"
#include "platform/ThreadCheck.h"

namespace tevra {

void NavigationView::drawRect(DrawingContext& context, const Rect& rect) const {
    TEVRA_ASSERT_MAIN_THREAD();
    // A plain view draws nothing of its own before the hairline.
    context.setStrokeColor(kHairlineColor);
    context.setLineWidth(kHairlineWidth);
    context.moveToPoint(0, rect.height);
    context.addLineToPoint(rect.width, rect.height);
    context.strokePath();
}

}  // namespace tevra
