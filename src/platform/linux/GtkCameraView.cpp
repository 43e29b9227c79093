#include "platform/linux/GtkCameraView.h"

#include <GLES2/gl2ext.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace tevra::linux_platform {

// What the renderer draws into: forwards to the view's framebuffer of the
// moment. The view owns it; the renderer holds it weakly, and a drawable
// holds it weakly, so neither keeps the view's state alive. `view` is
// cleared when the view goes.
class GtkCameraView::Destination : public RenderDestinationProvider,
                                   public std::enable_shared_from_this<GtkCameraView::Destination> {
public:
    explicit Destination(GtkCameraView* view) : view(view) {}
    std::shared_ptr<GPURenderPassDescriptor> currentRenderPassDescriptor() override {
        return view ? view->passDescriptor() : nullptr;
    }
    std::shared_ptr<GPUDrawable> currentDrawable() override {
        if (!view) return nullptr;
        return std::make_shared<gl::GLDrawable>([weak = weak_from_this()] {
            if (auto self = weak.lock())
                if (self->view) self->view->framePresented();
        });
    }
    GtkCameraView* view;
};

namespace {

bool hasExtension(const char* name) {
    const auto* all = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    if (!all) return false;
    const size_t n = std::strlen(name);
    for (const char* p = std::strstr(all, name); p; p = std::strstr(p + n, name))
        if ((p == all || p[-1] == ' ') && (p[n] == ' ' || p[n] == '\0')) return true;
    return false;
}

GLuint framebufferOf(gl::GLOffscreenDestination& target) {
    auto pass = target.currentRenderPassDescriptor();
    auto* glPass = dynamic_cast<gl::GLRenderPassDescriptor*>(pass.get());
    return glPass ? glPass->framebuffer : 0;
}

int toPixels(double points, int scale) {
    if (!(points > 0)) return 0;  // also NaN
    return static_cast<int>(std::min(std::lround(points * scale), 1L << 20));
}

}  // namespace

GtkCameraView::GtkCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device, Backing backing)
    : CameraView(frame), device_(std::dynamic_pointer_cast<gl::GLDevice>(device)) {
    if (device_) {
        destination_ = std::make_shared<Destination>(this);
        if (device_->context()->makeCurrent()) bgraReads_ = hasExtension("GL_EXT_read_format_bgra");
    }
    if (backing == Backing::Automatic && gdk_display_get_default()) {
        widget_ = gtk_drawing_area_new();
        g_object_ref_sink(widget_);
        gtk_widget_set_halign(widget_, GTK_ALIGN_FILL);
        gtk_widget_set_valign(widget_, GTK_ALIGN_FILL);
        gtk_widget_set_hexpand(widget_, TRUE);
        gtk_widget_set_vexpand(widget_, TRUE);
        g_signal_connect(widget_, "size-allocate", G_CALLBACK(onSizeAllocate), this);
        g_signal_connect(widget_, "notify::scale-factor", G_CALLBACK(onScaleFactorChanged), this);
        g_signal_connect(widget_, "draw", G_CALLBACK(onDraw), this);
        g_signal_connect(widget_, "map", G_CALLBACK(onMapChanged), this);
        g_signal_connect(widget_, "unmap", G_CALLBACK(onMapChanged), this);
        g_signal_connect(widget_, "destroy", G_CALLBACK(onDestroy), this);
        gtk_widget_show(widget_);
    }
    const int scale = scaleFactor();
    drawableWidth_ = toPixels(frame.width, scale);
    drawableHeight_ = toPixels(frame.height, scale);
    updateTickSources();
}

GtkCameraView::~GtkCameraView() {
    if (timerId_) g_source_remove(timerId_);
    dropFence();
    if (destination_) destination_->view = nullptr;
    if (widget_) {
        if (tickCallbackId_) gtk_widget_remove_tick_callback(widget_, tickCallbackId_);
        g_signal_handlers_disconnect_by_data(widget_, this);
        gtk_widget_destroy(widget_);
        g_object_unref(widget_);
    }
    if (target_ && device_) {
        device_->context()->makeCurrent();
        target_.reset();
    }
}

std::shared_ptr<RenderDestinationProvider> GtkCameraView::renderDestination() const { return destination_; }

int GtkCameraView::scaleFactor() const { return widget_ ? std::max(1, gtk_widget_get_scale_factor(widget_)) : 1; }

void GtkCameraView::setFrame(const Rect& f) {
    View::setFrame(f);
    if (widget_) {
        // The widget asks for the frame (inside a GtkOverlay at start/top
        // alignment, as the host places it); its allocation follows.
        auto px = [](double v) { return v > 0 ? static_cast<int>(std::lround(std::min(v, 1e6))) : 0; };
        gtk_widget_set_margin_start(widget_, px(f.x));
        gtk_widget_set_margin_top(widget_, px(f.y));
        gtk_widget_set_size_request(widget_, std::max(1, px(f.width)), std::max(1, px(f.height)));
    }
    // Once GTK has laid the widget out, its allocation decides the size.
    if (allocated_) return;
    const int scale = scaleFactor();
    setDrawableSize(toPixels(f.width, scale), toPixels(f.height, scale));
}

void GtkCameraView::setHidden(bool h) {
    View::setHidden(h);
    if (widget_) gtk_widget_set_visible(widget_, !h);
}

// ---- Ticks ----

void GtkCameraView::tick() {
    auto d = delegate();
    if (!d) return;
    if (device_) device_->context()->makeCurrent();
    ++ticks_;
    d->drawInMTKView(*this);
}

void GtkCameraView::setPaused(bool paused) {
    paused_ = paused;
    updateTickSources();
}

void GtkCameraView::setPreferredFramesPerSecond(int fps) {
    fps = std::clamp(fps, 1, 240);
    if (fps == fps_) return;
    fps_ = fps;
    if (timerId_) {
        g_source_remove(timerId_);
        timerId_ = 0;
    }
    updateTickSources();
}

GtkCameraView::TickSource GtkCameraView::tickSource() const {
    if (tickCallbackId_ && gtk_widget_get_mapped(widget_)) return TickSource::FrameClock;
    if (timerId_) return TickSource::Timer;
    return TickSource::None;
}

void GtkCameraView::updateTickSources() {
    const bool run = device_ && !paused_;
    const bool mapped = widget_ && gtk_widget_get_mapped(widget_);
    if (widget_ && run && !tickCallbackId_) {
        tickCallbackId_ = gtk_widget_add_tick_callback(widget_, onFrameClockTick, this, nullptr);
    } else if (widget_ && !run && tickCallbackId_) {
        gtk_widget_remove_tick_callback(widget_, tickCallbackId_);
        tickCallbackId_ = 0;
    }
    const bool wantTimer = run && !mapped;
    if (wantTimer && !timerId_) {
        timerId_ = g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(1000 / fps_), onTimerTick, this, nullptr);
    } else if (!wantTimer && timerId_) {
        g_source_remove(timerId_);
        timerId_ = 0;
    }
}

gboolean GtkCameraView::onFrameClockTick(GtkWidget* widget, GdkFrameClock*, gpointer self) {
    auto* view = static_cast<GtkCameraView*>(self);
    // An unmapped widget's ticks come from the timer.
    if (!gtk_widget_get_mapped(widget)) return G_SOURCE_CONTINUE;
    // A frame drawn at an earlier tick that has finished gets painted now.
    if (view->frameFence_ != EGL_NO_SYNC && view->frameDone()) gtk_widget_queue_draw(widget);
    view->tick();
    return G_SOURCE_CONTINUE;
}

gboolean GtkCameraView::onTimerTick(gpointer self) {
    static_cast<GtkCameraView*>(self)->tick();
    return G_SOURCE_CONTINUE;
}

void GtkCameraView::onMapChanged(GtkWidget*, gpointer self) { static_cast<GtkCameraView*>(self)->updateTickSources(); }

void GtkCameraView::onDestroy(GtkWidget*, gpointer self) {
    // Destroyed by its window: the tick callbacks went with it; keep ticking
    // from the timer, as for a view without a widget.
    auto* view = static_cast<GtkCameraView*>(self);
    view->tickCallbackId_ = 0;
    g_signal_handlers_disconnect_by_data(view->widget_, view);
    g_object_unref(view->widget_);
    view->widget_ = nullptr;
    view->allocated_ = false;
    view->updateTickSources();
}

// ---- Sizes ----

void GtkCameraView::onSizeAllocate(GtkWidget*, GdkRectangle*, gpointer self) {
    auto* view = static_cast<GtkCameraView*>(self);
    view->allocated_ = true;
    view->applyAllocation();
}

void GtkCameraView::onScaleFactorChanged(GObject*, GParamSpec*, gpointer self) {
    auto* view = static_cast<GtkCameraView*>(self);
    if (view->allocated_) view->applyAllocation();
}

void GtkCameraView::applyAllocation() {
    GtkAllocation a;
    gtk_widget_get_allocation(widget_, &a);
    // The frame in points first: the delegate reads the bounds.
    View::setFrame({static_cast<double>(a.x), static_cast<double>(a.y), static_cast<double>(a.width),
                    static_cast<double>(a.height)});
    const int scale = scaleFactor();
    setDrawableSize(toPixels(a.width, scale), toPixels(a.height, scale));
}

void GtkCameraView::setDrawableSize(int width, int height) {
    if (width == drawableWidth_ && height == drawableHeight_) return;
    drawableWidth_ = width;
    drawableHeight_ = height;
    if (auto d = delegate())
        d->mtkViewDrawableSizeWillChange(*this, {static_cast<double>(width), static_cast<double>(height)});
    if (widget_) gtk_widget_queue_draw(widget_);
}

// ---- Drawing ----

gl::GLOffscreenDestination* GtkCameraView::currentTarget() {
    if (!device_ || drawableWidth_ <= 0 || drawableHeight_ <= 0) return nullptr;
    if (target_ && target_->width() == drawableWidth_ && target_->height() == drawableHeight_) return target_.get();
    if (!device_->context()->makeCurrent()) return nullptr;
    auto next = std::make_unique<gl::GLOffscreenDestination>(device_, drawableWidth_, drawableHeight_);
    const GLuint to = framebufferOf(*next);
    if (!to) {
        // Too big (or no memory): no pass, as for a view without a drawable.
        target_.reset();
        return nullptr;
    }
    glDisable(GL_SCISSOR_TEST);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    const GLuint from = target_ ? framebufferOf(*target_) : 0;
    if (from) {
        // Keep showing the last image, stretched, until the next draw.
        glBindFramebuffer(GL_READ_FRAMEBUFFER, from);
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, to);
        glBlitFramebuffer(0, 0, target_->width(), target_->height(), 0, 0, drawableWidth_, drawableHeight_,
                          GL_COLOR_BUFFER_BIT, GL_LINEAR);
    } else {
        glBindFramebuffer(GL_FRAMEBUFFER, to);
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    target_ = std::move(next);
    ++frameGeneration_;
    return target_.get();
}

std::shared_ptr<GPURenderPassDescriptor> GtkCameraView::passDescriptor() {
    auto* target = currentTarget();
    return target ? target->currentRenderPassDescriptor() : nullptr;
}

void GtkCameraView::framePresented() {
    ++presented_;
    ++frameGeneration_;
    if (!widget_) return;
    // Paint once the drawing is done, so that the paint's read never waits
    // for it: a fence after the frame's commands (the commit flushes it).
    // Frames presented faster than they finish would never be painted that
    // way: when the previous frame is still waiting, paint this one at once
    // (its read then waits for the drawing).
    const bool backlog = frameFence_ != EGL_NO_SYNC;
    dropFence();
    if (!backlog) frameFence_ = eglCreateSync(device_->context()->display(), EGL_SYNC_FENCE, nullptr);
    if (frameFence_ == EGL_NO_SYNC) gtk_widget_queue_draw(widget_);
}

bool GtkCameraView::frameDone() {
    if (frameFence_ == EGL_NO_SYNC) return true;
    if (eglClientWaitSync(device_->context()->display(), frameFence_, 0, 0) == EGL_TIMEOUT_EXPIRED) return false;
    dropFence();
    return true;
}

void GtkCameraView::dropFence() {
    if (frameFence_ == EGL_NO_SYNC) return;
    eglDestroySync(device_->context()->display(), frameFence_);
    frameFence_ = EGL_NO_SYNC;
}

bool GtkCameraView::readBack() {
    auto* target = currentTarget();
    if (!target) return false;
    const GLuint fb = framebufferOf(*target);
    if (!fb || !device_->context()->makeCurrent()) return false;
    using Clock = std::chrono::steady_clock;
    const auto nanosecondsSince = [](Clock::time_point t) {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t).count());
    };
    // The read waits for the frame's drawing; count that wait apart.
    const auto waitStart = Clock::now();
    glFinish();
    readback_.waitNanoseconds += nanosecondsSince(waitStart);
    const auto start = Clock::now();
    const int w = target->width(), h = target->height();
    const size_t bytes = static_cast<size_t>(w) * static_cast<size_t>(h) * 4;
    image_.resize(bytes);
    glBindFramebuffer(GL_FRAMEBUFFER, fb);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    bool done = false;
    if (bgraReads_) {
        while (glGetError() != GL_NO_ERROR) {
        }
        glReadPixels(0, 0, w, h, GL_BGRA_EXT, GL_UNSIGNED_BYTE, image_.data());
        done = glGetError() == GL_NO_ERROR;
        if (!done) bgraReads_ = false;
    }
    if (!done) {
        glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, image_.data());
        for (size_t i = 0; i < bytes; i += 4) std::swap(image_[i], image_[i + 2]);
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    imageWidth_ = w;
    imageHeight_ = h;
    imageGeneration_ = frameGeneration_;
    ++readback_.count;
    readback_.bytes += bytes;
    readback_.nanoseconds += nanosecondsSince(start);
    return true;
}

gboolean GtkCameraView::onDraw(GtkWidget*, cairo_t* cr, gpointer self) {
    static_cast<GtkCameraView*>(self)->paint(cr);
    return TRUE;
}

void GtkCameraView::paint(cairo_t* cr) {
    const bool stale =
        imageGeneration_ != frameGeneration_ || imageWidth_ != drawableWidth_ || imageHeight_ != drawableHeight_;
    // A frame still being drawn is painted at a later tick; until then the
    // last one stays up.
    if (stale && frameDone()) readBack();
    const double w = gtk_widget_get_allocated_width(widget_), h = gtk_widget_get_allocated_height(widget_);
    if (image_.empty() || imageWidth_ <= 0 || imageHeight_ <= 0) {
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_paint(cr);
        return;
    }
    // The image's rows run bottom to top. The surface walks them from the
    // last with a negative stride, so the paint itself needs no mirroring
    // transform: X servers' render paths don't all honour a negative scale.
    const int stride = imageWidth_ * 4;
    cairo_surface_t* surface =
        cairo_image_surface_create_for_data(image_.data() + static_cast<size_t>(imageHeight_ - 1) * stride,
                                            CAIRO_FORMAT_RGB24, imageWidth_, imageHeight_, -stride);
    cairo_save(cr);
    cairo_scale(cr, w / imageWidth_, h / imageHeight_);
    cairo_set_source_surface(cr, surface, 0, 0);
    const bool exact = std::lround(w * scaleFactor()) == imageWidth_ && std::lround(h * scaleFactor()) == imageHeight_;
    cairo_pattern_set_filter(cairo_get_source(cr), exact ? CAIRO_FILTER_NEAREST : CAIRO_FILTER_BILINEAR);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_surface_destroy(surface);
    ++painted_;
}

CameraSnapshot GtkCameraView::snapshot() {
    CameraSnapshot s;
    auto* target = currentTarget();
    if (!target || !device_->context()->makeCurrent()) return s;
    const GLuint fb = framebufferOf(*target);
    if (!fb) return s;
    s.width = target->width();
    s.height = target->height();
    const size_t row = static_cast<size_t>(s.width) * 4;
    s.rgba.resize(row * static_cast<size_t>(s.height));
    glBindFramebuffer(GL_FRAMEBUFFER, fb);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, s.width, s.height, GL_RGBA, GL_UNSIGNED_BYTE, s.rgba.data());
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    // GL's rows run bottom to top.
    std::vector<uint8_t> swap(row);
    for (int top = 0, bottom = s.height - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = &s.rgba[static_cast<size_t>(top) * row];
        uint8_t* b = &s.rgba[static_cast<size_t>(bottom) * row];
        std::memcpy(swap.data(), a, row);
        std::memcpy(a, b, row);
        std::memcpy(b, swap.data(), row);
    }
    return s;
}

std::shared_ptr<GtkCameraView> makeGtkCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device) {
    return std::make_shared<GtkCameraView>(frame, std::move(device));
}

}  // namespace tevra::linux_platform
