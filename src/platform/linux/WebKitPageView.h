// The page view on WebKitGTK 4.1: a tevra::WebView over a WebKitWebView.
//
// In:  the configuration's user scripts and message channels (at creation),
//      loads, history moves, script evaluations, view properties.
// Out: page messages to the configuration's UserContentController (as JSON
//      values), navigation and alert callbacks to the delegates, progress to
//      the "estimatedProgress" observer.
// Fails: a load reports exactly one failure (provisional before the first
//      content arrived, else a navigation failure) and never a finish after
//      it; WebKit's own error page is suppressed. A cancelled load has code
//      kNavigationCancelledCode (-999). Other errors keep their GError domain,
//      code and message: a refused connection is g-io-error-quark 39,
//      "Could not connect: Connection refused".
//      When the web process ends (a crash, the memory limit, or
//      webkit_web_view_terminate_web_process) the current navigation fails
//      (provisional or not, as far as it got; a page already shown fails as
//      a navigation) with the domain "WebKitWebProcessTerminated" and the
//      termination reason as code, and the page is reloaded in a new web
//      process from the main loop: at most kMaxTerminationReloads times
//      within kTerminationReloadWindowSeconds, then it stays down with a log
//      line.
// Example: loading http://127.0.0.1:9/ with nothing listening gives
//      webViewDidStartProvisionalNavigation, then
//      webViewDidFailProvisionalNavigation(g-io-error-quark, 39), nothing else.
//
// Choices where GTK has no direct counterpart:
//  - Scrolling off is a user style sheet "overflow: hidden !important" on the
//    root and body; the pan and bounce flags are only stored.
//  - Opaque: the background colour with alpha 1 (white when it is clear);
//    not opaque: the background colour as it is, so clear shows what lies
//    under the widget. The scroll view's background only is stored.
//  - setFrame sets the widget's size request and its start/top margins
//    (the position inside a GtkOverlay, with start/top alignment).
//  - Message bodies are converted within the installed Limits
//    (pageMessageMaxBytes, pageMessageMaxDepth; GtkJSON.h): a larger body is
//    refused with one line "WebKitPageView: refused a message on 'NAME': it
//    is larger than 4194304 bytes" and never delivered.
//  - Only the main frame and subframes of its origin reach the channels. A
//    web-process extension (webprocess/FrameGuardExtension.cpp, loaded from
//    frameGuardDirectory()) gives every other subframe a stand-in whose
//    messages are refused, each with one line "WebKitPageView: refused a
//    message on 'TevraAR' from a subframe of another origin
//    (http://127.0.0.1:8001)"; after kMaxRefusalLines in one page load the
//    rest are counted, not logged. With Limits::allowCrossOriginFrameMessages
//    the page view runs in a web context without the guard. When the
//    extension can't be found, one line says so at the first web process.
//  - Clicks the page leaves alone: a script in the main frame watches every
//    trusted click (a mouse click, or a touch tap WebKit turns into one).
//    When the click ends on nothing that takes clicks (a link, a button, a
//    form field, a label, an element with an onclick attribute or a button
//    role, editable text), the page did not cancel it (preventDefault) nor
//    stop it on its way up to the window (stopPropagation), the tap handler
//    (setTapHandler) runs on the main thread. The page itself sees every
//    click as usual. Clicks inside subframes never tap.
//  - Page dialogs other than alert (confirm, prompt, leave-page) are
//    answered at once without showing anything; a leave-page question is
//    answered "leave".
//
// Needs GTK initialised (gtk_init) and a display. Threads: main thread only;
// every callback arrives on the main thread (the default main context).
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Limits.h"
#include "platform/View.h"

namespace tevra::linux_platform {

class WebKitPageView : public WebView {
public:
    static constexpr size_t kMaxTerminationReloads = 3;
    static constexpr int kTerminationReloadWindowSeconds = 60;
    static constexpr size_t kMaxRefusalLines = 20;
    // The web-process extension's file name, and the directory it is loaded
    // from: $TEVRA_WEB_EXTENSIONS_DIR, else "web-extensions" beside the
    // executable, else the installed one; "" when none holds it.
    static constexpr const char* kFrameGuardFileName = "libtevra-frame-guard.so";
    static std::string frameGuardDirectory();

    WebKitPageView(const Rect& frame, const WebViewConfiguration& configuration);
    ~WebKitPageView() override;
    WebKitPageView(const WebKitPageView&) = delete;
    WebKitPageView& operator=(const WebKitPageView&) = delete;

    void evaluateJavaScript(const std::string& script,
                            std::function<void(const nlohmann::json& result, const std::optional<Error>& error)>
                                completionHandler = nullptr) override;
    void loadRequest(const std::string& url) override;
    bool canGoBack() const override;
    std::optional<std::string> backItemURL() const override;
    void goBack() override;
    void goForward() override;
    void reload() override;
    std::optional<std::string> URL() const override;
    double estimatedProgress() const override;

    void setFrame(const Rect& f) override;
    void setHidden(bool h) override;
    void setBackgroundColor(const Color& c) override;
    void setOpaque(bool o) override;
    void setScrollEnabled(bool e) override;
    void setInspectable(bool i) override;
    void setPreferenceValue(const std::string& key, const nlohmann::json& value) override;

    // Runs for each click the page leaves alone (see above); empty: none.
    void setTapHandler(std::function<void()> handler) { tapHandler_ = std::move(handler); }
    // The channel the click script posts on.
    static constexpr const char* kTapChannel = "tevraHostTap";

    // The WebKitWebView, for the host to place (e.g. in a GtkOverlay). The
    // page view keeps its own reference and destroys the widget when it goes.
    GtkWidget* widget() const { return GTK_WIDGET(webView_); }
    WebKitWebView* webKitWebView() const { return webView_; }
    const WebViewConfiguration& configuration() const { return configuration_; }

private:
    struct Channel {
        WebKitPageView* owner;
        std::string name;
        gulong handlerId = 0;
    };
    enum class NavigationState { Idle, Provisional, Committed, Failed };

    static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer channel);
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self);
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent event, gchar* uri, GError* error, gpointer self);
    static void onProgressChanged(GObject*, GParamSpec*, gpointer self);
    static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer self);
    static void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer self);
    static gboolean onUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer self);
    static void onTapMessage(WebKitUserContentManager*, WebKitJavascriptResult*, gpointer self);

    void handleLoadChanged(WebKitLoadEvent event);
    void handleLoadFailed(WebKitLoadEvent event, const GError* error);
    void applyBackground();
    void scheduleReloadAfterTermination();

    WebViewConfiguration configuration_;
    WebKitUserContentManager* contentManager_ = nullptr;
    WebKitSettings* settings_ = nullptr;
    WebKitWebView* webView_ = nullptr;
    WebKitUserStyleSheet* noScrollSheet_ = nullptr;
    std::vector<std::unique_ptr<Channel>> channels_;
    std::vector<gulong> viewHandlers_;
    NavigationState navigation_ = NavigationState::Idle;
    guint reloadSource_ = 0;
    std::vector<gint64> terminationReloads_;  // monotonic times of recent reloads
    Limits limits_;
    size_t refusalsThisLoad_ = 0;
    std::function<void()> tapHandler_;
    gulong tapHandlerId_ = 0;
};

// Creates a page view; the Linux view factory's makeWebView.
std::shared_ptr<WebKitPageView> makeWebKitPageView(const Rect& frame, const WebViewConfiguration& configuration);

}  // namespace tevra::linux_platform
