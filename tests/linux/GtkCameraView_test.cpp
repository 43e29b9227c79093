// The GTK camera view: display ticks, drawable sizes, and the camera image
// drawn by the real renderer on OpenGL ES (llvmpipe) and shown through the
// widget. The offscreen cases need only EGL; the widget cases need an X
// display (the test binary runs under xvfb-run) and skip without one.
#include "platform/linux/GtkCameraView.h"

#include <gtest/gtest.h>

#include "linux/support/Watchdog.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake/FakePlatform.h"
#include "render/Renderer.h"

namespace tevra::linux_platform {
namespace {

// Runs the default main context until `done` holds or `seconds` pass.
bool iterateUntil(const std::function<bool()>& done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    // Wakes the loop often enough to notice the deadline.
    const guint wake = g_timeout_add(
        5, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool ok = true;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ok = false;
            break;
        }
        g_main_context_iteration(nullptr, TRUE);
    }
    g_source_remove(wake);
    return ok;
}

void iterateFor(double seconds) {
    iterateUntil([] { return false; }, seconds);
}

struct YCbCr {
    uint8_t y, cb, cr;
};

// 75% colour bars: white, yellow, cyan, green, magenta, red, blue, black,
// under a strip across the top 60 rows to tell up from down.
constexpr YCbCr kBars[8] = {{180, 128, 128}, {168, 44, 136}, {145, 147, 44}, {134, 63, 52},
                            {63, 193, 204},  {51, 109, 212}, {28, 212, 120}, {16, 128, 128}};
constexpr YCbCr kMarker = {120, 200, 60};
constexpr int kWidth = 640, kHeight = 480, kMarkerRows = 60;

PixelBufferRef colourBarsFrame() {
    auto buffer = PixelBuffer::create(kWidth, kHeight, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    buffer->lockBaseAddress(0);
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = buffer->baseAddressOfPlane(0) + y * buffer->bytesPerRowOfPlane(0);
        for (int x = 0; x < kWidth; ++x) row[x] = y < kMarkerRows ? kMarker.y : kBars[x / 80].y;
    }
    for (int y = 0; y < kHeight / 2; ++y) {
        uint8_t* row = buffer->baseAddressOfPlane(1) + y * buffer->bytesPerRowOfPlane(1);
        for (int x = 0; x < kWidth / 2; ++x) {
            const YCbCr c = y * 2 < kMarkerRows ? kMarker : kBars[x / 40];
            row[x * 2] = c.cb;
            row[x * 2 + 1] = c.cr;
        }
    }
    buffer->unlockBaseAddress(0);
    return buffer;
}

// Compares an RGB pixel with the CPU conversion of `c`, within 2 levels.
void expectColour(RGB8 got, YCbCr c, const std::string& what) {
    const RGB8 want = ycbcrToRGB(c.y, c.cb, c.cr);
    EXPECT_NEAR(got.r, want.r, 2) << what;
    EXPECT_NEAR(got.g, want.g, 2) << what;
    EXPECT_NEAR(got.b, want.b, 2) << what;
}

RGB8 snapshotPixel(const CameraSnapshot& s, int x, int y) {
    const uint8_t* p = &s.rgba[(static_cast<size_t>(y) * s.width + x) * 4];
    return {p[0], p[1], p[2]};
}

// Checks the bars, the marker strip on top, at positions scaled to `w` x `h`.
void expectBars(const std::function<RGB8(int, int)>& pixel, int w, int h, const std::string& where) {
    for (int i = 0; i < 8; ++i) {
        const int x = (i * 80 + 40) * w / kWidth;
        expectColour(pixel(x, h / 2), kBars[i], where + " bar " + std::to_string(i));
        expectColour(pixel(x, h - 3), kBars[i], where + " bar " + std::to_string(i) + " bottom");
    }
    expectColour(pixel(w / 2, 20 * h / kHeight), kMarker, where + " marker at the top");
}

// The same checks as expectBars without failing: true when every sampled
// pixel is within 2 levels.
bool barsMatch(const std::function<RGB8(int, int)>& pixel, int w, int h) {
    auto near = [](RGB8 got, YCbCr c) {
        const RGB8 want = ycbcrToRGB(c.y, c.cb, c.cr);
        return std::abs(got.r - want.r) <= 2 && std::abs(got.g - want.g) <= 2 && std::abs(got.b - want.b) <= 2;
    };
    for (int i = 0; i < 8; ++i) {
        const int x = (i * 80 + 40) * w / kWidth;
        if (!near(pixel(x, h / 2), kBars[i]) || !near(pixel(x, h - 3), kBars[i])) return false;
    }
    return near(pixel(w / 2, 20 * h / kHeight), kMarker);
}

class RecordingDelegate : public CameraViewDelegate {
public:
    void drawInMTKView(CameraView&) override {
        ++ticks;
        if (onTick) onTick();
    }
    void mtkViewDrawableSizeWillChange(CameraView& view, Size size) override {
        sizes.push_back(size);
        boundsAtChange.push_back(view.bounds().size());
        if (onSize) onSize(view);
    }
    int ticks = 0;
    std::vector<Size> sizes;
    std::vector<Size> boundsAtChange;
    std::function<void()> onTick;
    std::function<void(CameraView&)> onSize;
};

// A device that only names itself (no GL).
class NamedDevice : public GPUDevice {
public:
    std::string name() const override { return "named"; }
};

class GtkCameraViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = fake::FakePlatform::install();
        setenv("TEVRA_FRAMEWORK_RESOURCES", TEVRA_SOURCE_RESOURCES, 1);
        Error error;
        device = gl::GLDevice::createSurfaceless(&error);
        ASSERT_TRUE(device) << "no OpenGL ES 3 on EGL: " << error.description();
        delegate = std::make_shared<RecordingDelegate>();
        session = std::make_shared<fake::FakeARSession>(fake->transcript);
        frame = std::make_shared<fake::FakeARFrame>();
        frame->image_ = colourBarsFrame();
        session->setCurrentFrame(frame);
    }
    void TearDown() override {
        renderer.reset();
        view.reset();
        device.reset();
    }
    // Wires a renderer the way the controller does: drawn on request at the
    // next tick, told the bounds on every size change.
    void attachRenderer() {
        renderer = Renderer::initWithSession(session, view->device(), view->renderDestination());
        renderer->drawRectResized(view->bounds().size());
        delegate->onTick = [this] {
            if (!drawRequested) return;
            drawRequested = false;
            renderer->update();
        };
        delegate->onSize = [this](CameraView& v) { renderer->drawRectResized(v.bounds().size()); };
    }

    tevra::test::Watchdog watchdog{std::chrono::seconds(120), "GTK camera view test"};
    std::shared_ptr<fake::FakePlatform> fake;
    std::shared_ptr<gl::GLDevice> device;
    std::shared_ptr<RecordingDelegate> delegate;
    std::shared_ptr<fake::FakeARSession> session;
    std::shared_ptr<fake::FakeARFrame> frame;
    std::shared_ptr<GtkCameraView> view;
    std::shared_ptr<Renderer> renderer;
    bool drawRequested = false;
};

// ---- Without a widget ----

using GtkCameraViewOffscreenTest = GtkCameraViewTest;

TEST_F(GtkCameraViewOffscreenTest, OnlyAGLDeviceGivesADeviceAndADestination) {
    view = std::make_shared<GtkCameraView>(Rect{0, 0, 64, 48}, device, GtkCameraView::Backing::Offscreen);
    EXPECT_EQ(view->device(), device);
    EXPECT_TRUE(view->renderDestination());
    EXPECT_EQ(view->widget(), nullptr);

    for (std::shared_ptr<GPUDevice> other :
         {std::shared_ptr<GPUDevice>(), std::shared_ptr<GPUDevice>(std::make_shared<NamedDevice>())}) {
        GtkCameraView without(Rect{0, 0, 64, 48}, other, GtkCameraView::Backing::Offscreen);
        EXPECT_FALSE(without.device());
        EXPECT_FALSE(without.renderDestination());
        EXPECT_EQ(without.tickSource(), GtkCameraView::TickSource::None);
        EXPECT_TRUE(without.snapshot().empty());
    }
}

TEST_F(GtkCameraViewOffscreenTest, TimerTicksDriveTheDelegateUntilPausedOrGone) {
    view = std::make_shared<GtkCameraView>(Rect{0, 0, 64, 48}, device, GtkCameraView::Backing::Offscreen);
    view->setDelegate(delegate);
    EXPECT_EQ(view->tickSource(), GtkCameraView::TickSource::Timer);
    ASSERT_TRUE(iterateUntil([&] { return delegate->ticks >= 3; }, 5));

    view->setPaused(true);
    EXPECT_EQ(view->tickSource(), GtkCameraView::TickSource::None);
    int ticks = delegate->ticks;
    iterateFor(0.1);
    EXPECT_EQ(delegate->ticks, ticks);

    view->setPaused(false);
    ASSERT_TRUE(iterateUntil([&] { return delegate->ticks >= ticks + 2; }, 5));
    view->tick();  // by hand, also fine
    ticks = delegate->ticks;
    view.reset();
    iterateFor(0.1);
    EXPECT_EQ(delegate->ticks, ticks);
}

TEST_F(GtkCameraViewOffscreenTest, FrameSetsTheDrawableSizeAndTellsTheDelegateOnChange) {
    view = std::make_shared<GtkCameraView>(Rect{0, 0, 64, 48}, device, GtkCameraView::Backing::Offscreen);
    EXPECT_EQ(view->drawableSize(), (Size{64, 48}));
    view->setDelegate(delegate);
    view->setPaused(true);
    view->setFrame({0, 0, 320, 240});
    view->setFrame({0, 0, 320, 240});
    ASSERT_EQ(delegate->sizes.size(), 1u);
    EXPECT_EQ(delegate->sizes[0], (Size{320, 240}));
    EXPECT_EQ(delegate->boundsAtChange[0], (Size{320, 240}));
    EXPECT_EQ(view->snapshot().width, 320);

    // No drawable: no pass, nothing to show.
    view->setFrame({0, 0, 0, 240});
    EXPECT_FALSE(view->renderDestination()->currentRenderPassDescriptor());
    EXPECT_TRUE(view->snapshot().empty());
}

TEST_F(GtkCameraViewOffscreenTest, RendererDrawsTheColourBarsAndAResizeKeepsThemUntilTheNextDraw) {
    view = std::make_shared<GtkCameraView>(Rect{0, 0, kWidth, kHeight}, device, GtkCameraView::Backing::Offscreen);
    view->setDelegate(delegate);
    attachRenderer();
    ASSERT_TRUE(fake->log->systemLines().empty()) << fake->log->systemLines()[0];
    // Before anything is drawn the image is black.
    const auto black = view->snapshot();
    ASSERT_EQ(black.rgba.size(), size_t{kWidth} * kHeight * 4);
    expectColour(snapshotPixel(black, 10, 10), kBars[7], "before the first draw");

    drawRequested = true;
    ASSERT_TRUE(iterateUntil([&] { return view->presentedFrames() >= 1; }, 10));
    auto shot = view->snapshot();
    ASSERT_EQ(shot.width, kWidth);
    ASSERT_EQ(shot.height, kHeight);
    expectBars([&](int x, int y) { return snapshotPixel(shot, x, y); }, kWidth, kHeight, "drawn");

    view->setFrame({0, 0, 320, 240});
    ASSERT_EQ(delegate->sizes.back(), (Size{320, 240}));
    shot = view->snapshot();
    ASSERT_EQ(shot.width, 320);
    expectBars([&](int x, int y) { return snapshotPixel(shot, x, y); }, 320, 240, "carried over");

    drawRequested = true;
    ASSERT_TRUE(iterateUntil([&] { return view->presentedFrames() >= 2; }, 10));
    shot = view->snapshot();
    expectBars([&](int x, int y) { return snapshotPixel(shot, x, y); }, 320, 240, "redrawn");
    EXPECT_TRUE(frame->image_->lockStats().balanced());
}

// ---- In a window ----

// The host window's stack: a red stand-in for the host web view, the camera
// view, and an empty (transparent) stand-in for the page view on top.
class GtkCameraViewWindowTest : public GtkCameraViewTest {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) GTEST_SKIP() << "no DISPLAY: run the test binary under xvfb-run -a";
        // No accessibility bus: its client leaks at start-up, which the
        // leak checker of the sanitizer build would report.
        setenv("NO_AT_BRIDGE", "1", 0);
        if (!gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "GTK can't open DISPLAY=" << display;
        GtkCameraViewTest::SetUp();
        if (HasFatalFailure()) return;
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window), kWidth, kHeight);
        overlay = gtk_overlay_new();
        gtk_container_add(GTK_CONTAINER(window), overlay);
        GtkWidget* host = gtk_drawing_area_new();
        g_signal_connect(host, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t* cr, gpointer) -> gboolean {
                             cairo_set_source_rgb(cr, 1, 0, 0);
                             cairo_paint(cr);
                             return TRUE;
                         }),
                         nullptr);
        gtk_container_add(GTK_CONTAINER(overlay), host);
    }
    void TearDown() override {
        renderer.reset();
        view.reset();
        if (window) gtk_widget_destroy(window);
        window = nullptr;
        if (device) iterateFor(0.02);
        GtkCameraViewTest::TearDown();
    }
    // Creates the view (the delegate set first, as the controller does),
    // stacks it and shows the window at its default size.
    void showView() {
        view = makeGtkCameraView(Rect{0, 0, kWidth, kHeight}, device);
        ASSERT_TRUE(view->widget());
        view->setDelegate(delegate);
        gtk_overlay_add_overlay(GTK_OVERLAY(overlay), view->widget());
        gtk_overlay_add_overlay(GTK_OVERLAY(overlay), gtk_box_new(GTK_ORIENTATION_VERTICAL, 0));
        gtk_widget_show_all(window);
        ASSERT_TRUE(
            iterateUntil([&] { return gtk_widget_get_mapped(view->widget()) && view->frame().width == kWidth; }, 10))
            << "window not mapped at " << kWidth << "x" << kHeight;
    }

    GtkWidget* window = nullptr;
    GtkWidget* overlay = nullptr;
};

TEST_F(GtkCameraViewWindowTest, FrameClockTicksWhileMappedAndTheTimerWhileHidden) {
    showView();
    EXPECT_EQ(view->tickSource(), GtkCameraView::TickSource::FrameClock);
    const int before = delegate->ticks;
    ASSERT_TRUE(iterateUntil([&] { return delegate->ticks >= before + 3; }, 5));

    view->setHidden(true);
    EXPECT_FALSE(gtk_widget_get_mapped(view->widget()));
    EXPECT_EQ(view->tickSource(), GtkCameraView::TickSource::Timer);
    const int hidden = delegate->ticks;
    ASSERT_TRUE(iterateUntil([&] { return delegate->ticks >= hidden + 3; }, 5));

    view->setHidden(false);
    ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_mapped(view->widget()); }, 5));
    EXPECT_EQ(view->tickSource(), GtkCameraView::TickSource::FrameClock);
}

TEST_F(GtkCameraViewWindowTest, AllocationsSetTheFrameInPointsAndTellTheDelegatePixels) {
    showView();
    const int scale = view->scaleFactor();
    EXPECT_EQ(view->drawableSize(), (Size{double(kWidth * scale), double(kHeight * scale)}));
    EXPECT_EQ(view->frame().size(), (Size{kWidth, kHeight}));

    gtk_window_resize(GTK_WINDOW(window), 400, 300);
    ASSERT_TRUE(iterateUntil([&] { return view->frame().width == 400 && view->frame().height == 300; }, 10));
    EXPECT_EQ(delegate->sizes.back(), (Size{400.0 * scale, 300.0 * scale}));
    EXPECT_EQ(delegate->boundsAtChange.back(), (Size{400, 300}));
    EXPECT_EQ(view->drawableSize(), (Size{400.0 * scale, 300.0 * scale}));
    // Once laid out, the allocation decides: a frame from the controller
    // doesn't resize the drawable.
    const size_t calls = delegate->sizes.size();
    view->setFrame({0, 0, 100, 100});
    EXPECT_EQ(delegate->sizes.size(), calls);
}

TEST_F(GtkCameraViewWindowTest, PaintedWidgetShowsTheColourBars) {
    showView();
    attachRenderer();
    drawRequested = true;
    ASSERT_TRUE(iterateUntil([&] { return view->presentedFrames() >= 1; }, 10));
    // The paint after the present reads the frame back.
    ASSERT_TRUE(iterateUntil([&] { return view->readbackStats().count >= 1 && view->paintedFrames() >= 1; }, 10));
    const uint64_t reads = view->readbackStats().count;

    const auto shot = view->snapshot();
    const int scale = view->scaleFactor();
    ASSERT_EQ(shot.width, kWidth * scale);
    expectBars([&](int x, int y) { return snapshotPixel(shot, x, y); }, shot.width, shot.height, "snapshot");

    // What the draw handler paints (cairo RGB24: B, G, R, X in memory).
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
    cairo_t* cr = cairo_create(surface);
    gtk_widget_draw(view->widget(), cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    const uint8_t* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    auto painted = [&](int x, int y) {
        const uint8_t* p = data + static_cast<size_t>(y) * stride + x * 4;
        return RGB8{p[2], p[1], p[0]};
    };
    expectBars(painted, kWidth, kHeight, "painted");
    // Painting again without a new frame reads nothing back.
    EXPECT_EQ(view->readbackStats().count, reads);

    // On screen, when the X server's depth keeps the colours. Other tests'
    // windows share the display and may cover part of this one for a
    // moment, so the window is raised and read again until it shows the
    // bars or the tries run out.
    GdkWindow* gdkWindow = gtk_widget_get_window(window);
    if (gdk_visual_get_depth(gdk_window_get_visual(gdkWindow)) >= 24) {
        GdkPixbuf* pixbuf = nullptr;
        auto onScreen = [&](int x, int y) {
            const uint8_t* px = gdk_pixbuf_get_pixels(pixbuf);
            const int rowstride = gdk_pixbuf_get_rowstride(pixbuf), channels = gdk_pixbuf_get_n_channels(pixbuf);
            const uint8_t* p = px + static_cast<size_t>(y) * rowstride + x * channels;
            return RGB8{p[0], p[1], p[2]};
        };
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (pixbuf) g_object_unref(pixbuf);
            pixbuf = gdk_pixbuf_get_from_window(gdkWindow, 0, 0, kWidth, kHeight);
            ASSERT_TRUE(pixbuf);
            if (barsMatch(onScreen, kWidth, kHeight)) break;
            gdk_window_raise(gdkWindow);
            gtk_widget_queue_draw(window);
            iterateFor(0.1);
        }
        expectBars(onScreen, kWidth, kHeight, "on screen");
        g_object_unref(pixbuf);
    }

    // The next frame replaces it once drawn: the image turned upside down
    // puts the marker strip at the bottom.
    frame->display_ = AffineTransform{1, 0, 0, -1, 0, 1};
    renderer->drawRectResized(view->bounds().size());
    drawRequested = true;
    ASSERT_TRUE(iterateUntil([&] { return view->readbackStats().count > reads; }, 10));
    cr = cairo_create(surface);
    gtk_widget_draw(view->widget(), cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    expectColour(painted(kWidth / 2, kHeight - 20), kMarker, "marker at the bottom after the next frame");
    expectColour(painted(40, 20), kBars[0], "first bar at the top after the next frame");
    cairo_surface_destroy(surface);
    const auto timing = view->readbackStats();
    std::printf("readback of %dx%d: %.2f ms read, %.2f ms waiting for drawing (mean of %llu)\n", shot.width,
                shot.height, timing.nanoseconds / 1e6 / timing.count, timing.waitNanoseconds / 1e6 / timing.count,
                static_cast<unsigned long long>(timing.count));
}

TEST_F(GtkCameraViewWindowTest, ViewAndWindowCanGoInEitherOrder) {
    showView();
    // The window goes first: the view keeps ticking from its timer.
    gtk_widget_destroy(window);
    window = nullptr;
    EXPECT_EQ(view->widget(), nullptr);
    EXPECT_EQ(view->tickSource(), GtkCameraView::TickSource::Timer);
    const int ticks = delegate->ticks;
    ASSERT_TRUE(iterateUntil([&] { return delegate->ticks >= ticks + 2; }, 5));
    view.reset();

    // The view goes first: its widget leaves the overlay, nothing ticks.
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), kWidth, kHeight);
    overlay = gtk_overlay_new();
    gtk_container_add(GTK_CONTAINER(window), overlay);
    showView();
    GList* children = gtk_container_get_children(GTK_CONTAINER(overlay));
    const guint withView = g_list_length(children);
    g_list_free(children);
    view.reset();
    children = gtk_container_get_children(GTK_CONTAINER(overlay));
    EXPECT_EQ(g_list_length(children), withView - 1);
    g_list_free(children);
    const int after = delegate->ticks;
    iterateFor(0.1);
    EXPECT_EQ(delegate->ticks, after);
}

}  // namespace
}  // namespace tevra::linux_platform
