/// @file
/// The bridge in a GTK widget: everything a GTK application needs to host
/// ViewControllerSDK in one of its windows.
///
/// GtkBridgeView is the host view: a GtkOverlay that stacks the views the
/// controller adds (the camera view under the page view) at their frames.
/// GtkBridge builds that view, the host web view and the controller, and
/// forwards the widget's appearance to the controller: "map" becomes
/// viewWillAppear, "unmap" viewWillDisappear.
///
/// Input and size: a click (or touch tap) on the page that the page leaves
/// alone (no link, button or form field under it, not cancelled by the page)
/// is a tap on the host view: its tap recognisers fire, so the controller
/// places its tap anchor. The page still gets every click. When GTK gives
/// the widget a new size, the host view takes it as its frame and the
/// controller lays its views out again (the camera view's drawable, the
/// renderer and the page view follow) and tells the page its new size with
/// the next frame.
///
/// In: the widget's size in pixels. Out: widget() to put into a container;
/// controller() to load pages and configure the bridge.
/// Fails: create() answers null with `error` set when no platform is
/// installed or GTK has no display; nothing throws.
/// Example (a 390 x 844 portrait window over a recorded session):
/// @code
///     gtk_init(&argc, &argv);
///     LinuxPlatformOptions o;
///     o.ar = std::make_shared<sim::SimARSessionFactory>(recording);
///     installLinuxPlatform(o);
///     std::string error;
///     auto bridge = GtkBridge::create(390, 844, error);
///     gtk_container_add(GTK_CONTAINER(window), bridge->widget());
///     gtk_widget_show_all(window);            // the controller appears
///     bridge->controller()->loadURL("file://demo");
/// @endcode
///
/// Threads: main thread only. Destroy the GtkBridge before the window that
/// holds its widget.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>

#include "bridge/ViewControllerSDK.h"
#include "platform/View.h"

namespace tevra::linux_platform {

/// The host view: a GtkOverlay stacking the controller's views at their frames.
class GtkBridgeView : public View {
public:
    /// A host view of `frame`'s size (its widget requests that size).
    explicit GtkBridgeView(Rect frame);
    /// Gives up the view's reference to the overlay.
    ~GtkBridgeView() override;
    GtkBridgeView(const GtkBridgeView&) = delete;
    GtkBridgeView& operator=(const GtkBridgeView&) = delete;

    /// The overlay (the view holds one reference).
    GtkWidget* widget() const { return overlay_; }
    /// Adds the view; a camera view or a page view is stacked over the
    /// earlier ones at its frame. Views without a widget (the zero-height
    /// chrome) are only recorded. A page view's untaken clicks become taps
    /// (fireTap()).
    void addSubview(const std::shared_ptr<View>& view) override;

    /// A tap on the host view: fires its tap recognisers in order.
    void fireTap();
    /// Called from the main loop after GTK gave the widget a size other than
    /// the frame's; the frame has that size by then. Empty: nothing is called.
    void setResizeHandler(std::function<void()> handler) { resizeHandler_ = std::move(handler); }

private:
    static void onSizeAllocate(GtkWidget*, GdkRectangle* allocation, gpointer self);
    static gboolean onResized(gpointer self);

    GtkWidget* overlay_;
    std::function<void()> resizeHandler_;
    guint resizeSource_ = 0;
    gulong allocateHandler_ = 0;
};

/// The host view, the host web view and the controller, with the widget's
/// appearance forwarded to the controller.
class GtkBridge {
public:
    /// A bridge of `width` x `height` pixels (1 to 16384 each). Null with
    /// `error` set when no platform is installed, GTK has no display or the
    /// size is out of range.
    static std::unique_ptr<GtkBridge> create(int width, int height, std::string& error);
    /// Tells a mapped controller viewWillDisappear, then lets go of the
    /// controller and the views.
    ~GtkBridge();
    GtkBridge(const GtkBridge&) = delete;
    GtkBridge& operator=(const GtkBridge&) = delete;

    /// The widget to put into a container.
    GtkWidget* widget() const { return hostView_->widget(); }
    /// The controller: load pages and configure the bridge through it.
    const std::shared_ptr<ViewControllerSDK>& controller() const { return controller_; }

private:
    GtkBridge() = default;
    static void onMap(GtkWidget*, gpointer self);
    static void onUnmap(GtkWidget*, gpointer self);

    std::shared_ptr<GtkBridgeView> hostView_;
    std::shared_ptr<WebView> hostWebView_;
    std::shared_ptr<ViewControllerSDK> controller_;
    gulong mapHandler_ = 0, unmapHandler_ = 0;
};

}  // namespace tevra::linux_platform
