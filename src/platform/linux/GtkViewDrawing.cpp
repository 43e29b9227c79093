#include "platform/linux/GtkViewDrawing.h"

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
    // Like a view's layer, nothing is drawn outside the rectangle.
    cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
    cairo_clip(cr);
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

namespace {

void fillRect(cairo_t* cr, const Rect& r, const Color& c) {
    if (c.a <= 0 || !(r.width > 0) || !(r.height > 0)) return;
    cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
    cairo_rectangle(cr, r.x, r.y, r.width, r.height);
    cairo_fill(cr);
}

}  // namespace

void drawProgressView(cairo_t* cr, const ProgressView& view) {
    if (view.isHidden()) return;
    const Rect b = view.bounds();
    cairo_save(cr);
    cairo_rectangle(cr, b.x, b.y, b.width, b.height);
    cairo_clip(cr);
    fillRect(cr, b, view.backgroundColor());
    for (const auto& strip : view.subviews())
        if (!strip->isHidden()) fillRect(cr, strip->frame(), strip->backgroundColor());
    cairo_restore(cr);
}

}  // namespace tevra::linux_platform
