#include "platform/linux/GtkNavigationDrawing.h"

namespace tevra::linux_platform {

void CairoDrawingContext::setStrokeColor(const Color& color) { stroke_ = color; }

void CairoDrawingContext::setLineWidth(double width) { cairo_set_line_width(cr_, width); }

void CairoDrawingContext::moveToPoint(double x, double y) { cairo_move_to(cr_, x, y); }

void CairoDrawingContext::addLineToPoint(double x, double y) { cairo_line_to(cr_, x, y); }

void CairoDrawingContext::strokePath() {
    cairo_set_source_rgba(cr_, stroke_.r, stroke_.g, stroke_.b, stroke_.a);
    cairo_stroke(cr_);
}

void drawNavigationView(cairo_t* cr, const NavigationView& view, const Rect& rect) {
    cairo_save(cr);
    const Color& bg = view.backgroundColor();
    if (bg.a > 0) {
        cairo_set_source_rgba(cr, bg.r, bg.g, bg.b, bg.a);
        cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
        cairo_fill(cr);
    }
    CairoDrawingContext context(cr);
    view.drawRect(context, rect);
    cairo_restore(cr);
}

}  // namespace tevra::linux_platform
