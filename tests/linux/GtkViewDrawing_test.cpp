#include "platform/linux/GtkViewDrawing.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tevra::linux_platform {
namespace {

struct Surface {
    Surface(int w, int h) : s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h)), cr(cairo_create(s)) {}
    ~Surface() {
        cairo_destroy(cr);
        cairo_surface_destroy(s);
    }
    // Premultiplied ARGB of one pixel.
    uint32_t at(int x, int y) {
        cairo_surface_flush(s);
        auto* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
        return reinterpret_cast<uint32_t*>(row)[x];
    }
    cairo_surface_t* s;
    cairo_t* cr;
};

TEST(GtkViewDrawing, ProgressBarStripsFollowTheirFramesAndColours) {
    ProgressView bar(Rect{0, 0, 100, 4});
    bar.setProgressFillColor(Color{1, 0, 0, 1});
    bar.setProgressBackgroundColor(Color{0, 0, 1, 1});
    bar.setProgressValue(0.5f);
    Surface img(100, 4);
    drawProgressView(img.cr, bar);
    EXPECT_EQ(img.at(10, 2), 0xffff0000u);
    EXPECT_EQ(img.at(49, 2), 0xffff0000u);
    EXPECT_EQ(img.at(50, 2), 0xff0000ffu);

    Surface hidden(100, 4);
    bar.setHidden(true);
    drawProgressView(hidden.cr, bar);
    EXPECT_EQ(hidden.at(10, 2), 0u);
}

TEST(GtkViewDrawing, BackingViewShowsOnlyTheUpperHalfOfItsHairline) {
    NavigationView backing(Rect{0, 0, 50, 10});
    Surface img(50, 12);
    drawNavigationView(img.cr, backing, {0, 0, 50, 10});
    const uint32_t line = img.at(25, 9);
    EXPECT_GT(line >> 24, 0u) << "the hairline's upper half lies in the last row";
    EXPECT_LT(line >> 24, 0x40u) << "faint: alpha 0.25, half covered";
    EXPECT_EQ(img.at(25, 5), 0u) << "a clear background draws nothing";
}

}  // namespace
}  // namespace tevra::linux_platform
