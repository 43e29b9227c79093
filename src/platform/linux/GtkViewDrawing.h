// Draws the chrome's plain views with cairo, for GtkDrawingArea "draw"
// handlers that mirror them: a DrawingContext over a cairo_t, the backing
// view with its hairline, and the progress bar's two strips.
//
//   g_signal_connect(area, "draw", G_CALLBACK(onDraw), view);
//   gboolean onDraw(GtkWidget* w, cairo_t* cr, gpointer view) {
//       drawNavigationView(cr, *static_cast<NavigationView*>(view),
//                          {0, 0, double(gtk_widget_get_allocated_width(w)),
//                                 double(gtk_widget_get_allocated_height(w))});
//       return FALSE;
//   }
// Threads: main thread only.
#pragma once

#include <cairo.h>

#include "feedback/NavigationView.h"
#include "feedback/ProgressView.h"

namespace tevra::linux_platform {

class CairoDrawingContext : public DrawingContext {
public:
    explicit CairoDrawingContext(cairo_t* cr) : cr_(cr) {}
    void setStrokeColor(const Color& color) override;
    void setLineWidth(double width) override;
    void moveToPoint(double x, double y) override;
    void addLineToPoint(double x, double y) override;
    void strokePath() override;

private:
    cairo_t* cr_;
    Color stroke_{0, 0, 0, 1};
};

// Fills the view's background colour over `rect`, then runs its drawRect,
// clipped to `rect`.
void drawNavigationView(cairo_t* cr, const NavigationView& view, const Rect& rect);

// Draws the bar in its own coordinates: nothing when hidden; else its
// background colour, then the background strip, then the fill strip, each
// clipped to the bar's bounds. Redraw on every animation step.
void drawProgressView(cairo_t* cr, const ProgressView& view);

}  // namespace tevra::linux_platform
