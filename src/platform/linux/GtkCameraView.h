// The camera view on GTK 3: a tevra::CameraView backed by a GtkDrawingArea
// that the host places in its window's GtkOverlay (bottom to top: the host
// web view, this view, the page view with a transparent background).
//
// In:  a GPU device (used only when it is a gl::GLDevice), the frame the
//      controller sets, the widget's allocation and scale factor.
// Out: display ticks to the delegate (drawInMTKView) and drawable size
//      changes in pixels (mtkViewDrawableSizeWillChange), on the main thread;
//      the rendered camera image on screen and as RGBA bytes (snapshot()).
//
// How it draws: the renderer draws with the GLDevice into an offscreen
// framebuffer the size of the drawable (pixels). Presenting a frame only
// marks it new and queues a redraw; the widget's draw handler reads the new
// frame back (BGRA straight into a cairo image, bottom row first, flipped by
// the cairo transform) and paints it. So the readback runs once per frame
// that GTK actually paints, never inside the renderer's update, and only once
// the frame's drawing has finished (a fence checked at each frame-clock
// tick), so it never stalls the main thread on the GPU: a frame is painted
// at the first tick after its drawing is done.
//
// Display ticks: while the widget is mapped, a tick callback on the widget's
// frame clock (the display's refresh). While it isn't (not yet shown,
// hidden, or a view without a widget), a GLib timeout at
// preferredFramesPerSecond (60) keeps ticking, so the page keeps getting
// frames headless. tick() runs one tick by hand. A view without a device
// never ticks by itself.
//
// Sizes: setFrame also sets the widget's size request and start/top
// margins (its place in the host's GtkOverlay). Every size-allocate sets the view's frame (points) from the
// allocation and, when the drawable size (allocation x scale factor) changes,
// tells the delegate the new drawable size in pixels. Before the widget has
// had an allocation, and for a view without a widget, setFrame sets the
// drawable size (frame x scale factor). After a size change the last image
// is carried over, stretched, until the renderer draws at the new size.
//
// Fails: a device that is not a GLDevice (or null) gives device() null and
// no render destination; a drawable of zero size, or one too big for GL,
// has no pass descriptor (the renderer then only presents and commits);
// snapshot() is empty without a device or drawable.
//
// Example: a 1280 x 720 window at scale factor 2 gives frame (0, 0, 1280,
// 720), a drawable of 2560 x 1440 pixels and a delegate call with that size.
//
// Threads: main thread only (the thread of the default GLib main context,
// which keeps the GLDevice's context current).
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/View.h"
#include "platform/linux/GLDevice.h"

namespace tevra::linux_platform {

// A camera image: RGBA bytes, top row first, width x height pixels.
struct CameraSnapshot {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;
    bool empty() const { return rgba.empty(); }
};

class GtkCameraView : public CameraView {
public:
    enum class Backing {
        Automatic,  // a widget when GTK has a default display, else offscreen
        Offscreen,  // no widget: timer ticks, snapshot() only
    };
    enum class TickSource { None, FrameClock, Timer };

    GtkCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device, Backing backing = Backing::Automatic);
    ~GtkCameraView() override;
    GtkCameraView(const GtkCameraView&) = delete;
    GtkCameraView& operator=(const GtkCameraView&) = delete;

    std::shared_ptr<GPUDevice> device() const override { return device_; }
    std::shared_ptr<RenderDestinationProvider> renderDestination() const override;
    void setFrame(const Rect& f) override;
    void setHidden(bool h) override;

    // The widget for the host to place, or null for an offscreen view. The
    // view keeps its own reference and destroys the widget when it goes.
    GtkWidget* widget() const { return widget_; }
    // The drawable size in pixels.
    Size drawableSize() const { return {static_cast<double>(drawableWidth_), static_cast<double>(drawableHeight_)}; }
    int scaleFactor() const;

    // Runs one display tick: the delegate's drawInMTKView, with the device's
    // context current.
    void tick();
    // Stops and restarts the automatic ticks.
    void setPaused(bool paused);
    bool isPaused() const { return paused_; }
    // Rate of the timer ticks (1..240); the frame clock keeps its own rate.
    void setPreferredFramesPerSecond(int fps);
    int preferredFramesPerSecond() const { return fps_; }
    TickSource tickSource() const;

    // The current camera image read from the GPU (what the widget shows once
    // it paints). Empty without a device or drawable.
    CameraSnapshot snapshot();

    // Counters, for diagnostics and tests.
    uint64_t tickCount() const { return ticks_; }
    uint64_t presentedFrames() const { return presented_; }
    uint64_t paintedFrames() const { return painted_; }
    struct ReadbackStats {
        uint64_t count = 0;
        uint64_t waitNanoseconds = 0;  // waiting for the frame's drawing to finish
        uint64_t nanoseconds = 0;      // the read itself (wall time, main thread)
        uint64_t bytes = 0;
    };
    ReadbackStats readbackStats() const { return readback_; }

private:
    class Destination;

    static gboolean onFrameClockTick(GtkWidget*, GdkFrameClock*, gpointer self);
    static gboolean onTimerTick(gpointer self);
    static void onSizeAllocate(GtkWidget*, GdkRectangle* allocation, gpointer self);
    static void onScaleFactorChanged(GObject*, GParamSpec*, gpointer self);
    static gboolean onDraw(GtkWidget*, cairo_t* cr, gpointer self);
    static void onMapChanged(GtkWidget*, gpointer self);
    static void onDestroy(GtkWidget*, gpointer self);

    void updateTickSources();
    void applyAllocation();
    void setDrawableSize(int width, int height);
    // The framebuffer for the current drawable size, made (carrying the last
    // image over) when the size changed; null without device or size.
    gl::GLOffscreenDestination* currentTarget();
    std::shared_ptr<GPURenderPassDescriptor> passDescriptor();
    void framePresented();
    // Whether the last presented frame's drawing has finished.
    bool frameDone();
    void dropFence();
    bool readBack();
    void paint(cairo_t* cr);

    std::shared_ptr<gl::GLDevice> device_;
    std::shared_ptr<Destination> destination_;
    std::unique_ptr<gl::GLOffscreenDestination> target_;
    GtkWidget* widget_ = nullptr;
    bool allocated_ = false;
    guint tickCallbackId_ = 0;
    guint timerId_ = 0;
    bool paused_ = false;
    int fps_ = 60;
    int drawableWidth_ = 0, drawableHeight_ = 0;
    bool bgraReads_ = false;

    // The last frame read back for painting: BGRA (cairo RGB24), bottom row
    // first.
    std::vector<uint8_t> image_;
    int imageWidth_ = 0, imageHeight_ = 0;
    uint64_t frameGeneration_ = 0, imageGeneration_ = 0;
    EGLSync frameFence_ = EGL_NO_SYNC;

    uint64_t ticks_ = 0, presented_ = 0, painted_ = 0;
    ReadbackStats readback_;
};

// The Linux view factory's makeCameraView.
std::shared_ptr<GtkCameraView> makeGtkCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device);

}  // namespace tevra::linux_platform
