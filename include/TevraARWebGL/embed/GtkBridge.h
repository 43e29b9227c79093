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
    /// chrome) are only recorded.
    void addSubview(const std::shared_ptr<View>& view) override;

private:
    GtkWidget* overlay_;
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
