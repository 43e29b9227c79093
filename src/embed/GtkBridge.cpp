#include "embed/GtkBridge.h"

#include <algorithm>

#include "platform/Platform.h"
#include "platform/linux/GtkCameraView.h"
#include "platform/linux/WebKitPageView.h"

namespace tevra::linux_platform {

GtkBridgeView::GtkBridgeView(Rect frame) : View(frame), overlay_(gtk_overlay_new()) {
    g_object_ref_sink(overlay_);
    gtk_widget_set_size_request(overlay_, static_cast<int>(frame.width), static_cast<int>(frame.height));
    // The overlay's main child only gives it a size; the views lie over it.
    gtk_container_add(GTK_CONTAINER(overlay_), gtk_drawing_area_new());
    allocateHandler_ = g_signal_connect(overlay_, "size-allocate", G_CALLBACK(&GtkBridgeView::onSizeAllocate), this);
}

GtkBridgeView::~GtkBridgeView() {
    if (resizeSource_) g_source_remove(resizeSource_);
    g_signal_handler_disconnect(overlay_, allocateHandler_);
    // Page views may outlive this view: their clicks no longer reach it.
    for (const auto& v : subviews())
        if (auto page = std::dynamic_pointer_cast<WebKitPageView>(v)) page->setTapHandler(nullptr);
    g_object_unref(overlay_);
}

void GtkBridgeView::fireTap() {
    // A copy: a recogniser's action may replace the list.
    const std::vector<std::shared_ptr<TapGestureRecognizer>> recognizers = gestureRecognizers();
    for (const auto& r : recognizers) r->fire();
}

void GtkBridgeView::onSizeAllocate(GtkWidget*, GdkRectangle* a, gpointer data) {
    auto* self = static_cast<GtkBridgeView*>(data);
    const Rect& f = self->frame();
    if (a->width == static_cast<int>(f.width) && a->height == static_cast<int>(f.height)) return;
    self->View::setFrame({f.x, f.y, static_cast<double>(a->width), static_cast<double>(a->height)});
    // The views are laid out after GTK's layout pass, not inside it.
    if (!self->resizeSource_) self->resizeSource_ = g_idle_add(&GtkBridgeView::onResized, self);
}

gboolean GtkBridgeView::onResized(gpointer data) {
    auto* self = static_cast<GtkBridgeView*>(data);
    self->resizeSource_ = 0;
    if (self->resizeHandler_) self->resizeHandler_();
    return G_SOURCE_REMOVE;
}

void GtkBridgeView::addSubview(const std::shared_ptr<View>& v) {
    View::addSubview(v);
    GtkWidget* w = nullptr;
    if (auto page = std::dynamic_pointer_cast<WebKitPageView>(v)) w = page->widget();
    if (auto camera = std::dynamic_pointer_cast<GtkCameraView>(v)) w = camera->widget();
    if (!w) return;
    // An overlay child gets its requested size: the view's frame.
    const Rect& f = v->frame();
    gtk_widget_set_size_request(w, std::max(1, static_cast<int>(f.width)), std::max(1, static_cast<int>(f.height)));
    gtk_widget_set_margin_start(w, static_cast<int>(f.x));
    gtk_widget_set_margin_top(w, static_cast<int>(f.y));
    gtk_widget_set_halign(w, GTK_ALIGN_START);
    gtk_widget_set_valign(w, GTK_ALIGN_START);
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), w);
    gtk_widget_show(w);
    if (auto page = std::dynamic_pointer_cast<WebKitPageView>(v)) page->setTapHandler([this] { fireTap(); });
}

std::unique_ptr<GtkBridge> GtkBridge::create(int width, int height, std::string& error) {
    if (!hasPlatform()) {
        error = "no platform is installed (call installLinuxPlatform first)";
        return nullptr;
    }
    if (!gdk_display_get_default()) {
        error = "GTK has no display (call gtk_init with a display, or run under Xvfb)";
        return nullptr;
    }
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) {
        error = "the bridge's size must be between 1 x 1 and 16384 x 16384 pixels";
        return nullptr;
    }
    std::unique_ptr<GtkBridge> b(new GtkBridge());
    const Rect frame{0, 0, static_cast<double>(width), static_cast<double>(height)};
    b->hostView_ = std::make_shared<GtkBridgeView>(frame);
    b->hostWebView_ = makeWebKitPageView(frame, WebViewConfiguration{});
    b->controller_ = ViewControllerSDK::initWithView(b->hostView_, b->hostWebView_);
    std::weak_ptr<ViewControllerSDK> controller = b->controller_;
    b->hostView_->setResizeHandler([controller] {
        if (auto c = controller.lock()) {
            c->updateInterface();
            c->updateWindowSize = true;
        }
    });
    b->mapHandler_ = g_signal_connect(b->widget(), "map", G_CALLBACK(onMap), b.get());
    b->unmapHandler_ = g_signal_connect(b->widget(), "unmap", G_CALLBACK(onUnmap), b.get());
    return b;
}

GtkBridge::~GtkBridge() {
    GtkWidget* w = widget();
    g_signal_handler_disconnect(w, mapHandler_);
    g_signal_handler_disconnect(w, unmapHandler_);
    if (gtk_widget_get_mapped(w)) controller_->viewWillDisappear(true);
    // The controller and the views let go of their widgets before the
    // overlay goes with the last view.
    controller_.reset();
    hostWebView_.reset();
    hostView_.reset();
}

void GtkBridge::onMap(GtkWidget*, gpointer self) { static_cast<GtkBridge*>(self)->controller_->viewWillAppear(true); }

void GtkBridge::onUnmap(GtkWidget*, gpointer self) {
    static_cast<GtkBridge*>(self)->controller_->viewWillDisappear(true);
}

}  // namespace tevra::linux_platform
