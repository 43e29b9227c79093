#include "platform/linux/WebKitPageView.h"

#include <dlfcn.h>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include <cstdlib>
#include <filesystem>

#include "platform/Log.h"
#include "platform/Platform.h"
#include "platform/linux/GtkJSON.h"
#include "platform/linux/LinuxPlatform.h"

namespace tevra::linux_platform {

namespace {

// Posts each trusted click the page leaves alone on the tap channel, once
// every listener has seen it (WebKitPageView.h).
constexpr const char* kTapScript = R"JS((function () {
  var handlers = window.webkit && window.webkit.messageHandlers;
  var channel = handlers && handlers.tevraHostTap;
  if (!channel) return;
  var taking = 'a[href], area[href], button, input, select, textarea, label, summary, option, ' +
      '[onclick], [role="button"], [role="link"], [contenteditable]:not([contenteditable="false"])';
  window.addEventListener('click', function (e) {
    if (!e.isTrusted) return;
    setTimeout(function () {
      var t = e.target;
      if (e.defaultPrevented || (t && t.closest && t.closest(taking))) return;
      try { channel.postMessage(1); } catch (err) {}
    }, 0);
  });
})();)JS";

constexpr const char* kNoScrollStyle = "html, body { overflow: hidden !important; }";

bool truthy(const nlohmann::json& v) {
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_number()) return v.get<double>() != 0;
    if (v.is_string()) {
        const auto& s = v.get_ref<const std::string&>();
        return !s.empty() && s != "0" && s != "false";
    }
    return false;
}

int pixels(double v) {
    if (!(v > 0)) return 0;
    if (v > std::numeric_limits<int>::max() / 2) return std::numeric_limits<int>::max() / 2;
    return static_cast<int>(std::lround(v));
}

Error errorFromGError(const GError* e) {
    Error out;
    out.domain = e ? g_quark_to_string(e->domain) : "WebKitPageView";
    out.code = e ? e->code : -1;
    out.localizedDescription = e && e->message ? e->message : "";
    if (e && g_error_matches(e, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
        out.code = kNavigationCancelledCode;
    return out;
}

// An alert handed to the UI delegate. Completed during the signal, WebKit
// finishes it when the handler returns TRUE (closing it there would free it
// under WebKit's feet). Completed later, the dialog is kept by a reference
// taken before the handler returns and closed by the completion, or when the
// completion is dropped uncalled, so the page never stays blocked.
struct PendingAlert {
    ~PendingAlert() { finish(); }
    void complete() {
        completed = true;
        finish();
    }
    void finish() {
        if (!dialog) return;
        WebKitScriptDialog* d = std::exchange(dialog, nullptr);
        webkit_script_dialog_close(d);
        webkit_script_dialog_unref(d);
    }
    bool completed = false;
    WebKitScriptDialog* dialog = nullptr;  // set only once the signal returns uncompleted
};

// Sent by the frame guard for each message it refused: (channel, origin).
constexpr const char* kRefusedMessageName = "tevra.refused-frame-message";

JSONConversionLimits conversionLimits(const Limits& limits) {
    return JSONConversionLimits{limits.pageMessageMaxBytes, limits.pageMessageMaxDepth};
}

void onInitializeWebExtensions(WebKitWebContext* context, gpointer) {
    const std::string dir = WebKitPageView::frameGuardDirectory();
    if (dir.empty()) {
        static bool told = false;
        if (!told)
            logSystem(std::string("WebKitPageView: the frame guard ") + WebKitPageView::kFrameGuardFileName +
                      " was not found; subframes of other origins can post messages");
        told = true;
        return;
    }
    webkit_web_context_set_web_extensions_directory(context, dir.c_str());
}

// Page views run in the default context, whose web processes load the frame
// guard; views that allow cross-origin frames get a context of their own
// without it.
WebKitWebContext* webContext(bool allowCrossOriginFrames) {
    if (allowCrossOriginFrames) {
        static WebKitWebContext* open = webkit_web_context_new();
        return open;
    }
    static WebKitWebContext* guarded = [] {
        WebKitWebContext* c = webkit_web_context_get_default();
        g_signal_connect(c, "initialize-web-extensions", G_CALLBACK(&onInitializeWebExtensions), nullptr);
        return c;
    }();
    return guarded;
}

using EvaluationCompletion = std::function<void(const nlohmann::json&, const std::optional<Error>&)>;

struct PendingEvaluation {
    EvaluationCompletion completion;
    JSONConversionLimits limits;
};

void evaluationFinished(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<PendingEvaluation> pending(static_cast<PendingEvaluation*>(data));
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
    if (error) {
        Error e = errorFromGError(error);
        g_error_free(error);
        if (value) g_object_unref(value);
        pending->completion(nullptr, e);
        return;
    }
    std::string why;
    std::optional<nlohmann::json> json = jsonFromJSCValue(value, pending->limits, why);
    if (value) g_object_unref(value);
    if (!json) {
        pending->completion(nullptr, Error{"WebKitPageView", -1, "The result was refused: " + why});
        return;
    }
    pending->completion(*json, std::nullopt);
}

}  // namespace

WebKitPageView::WebKitPageView(const Rect& frame, const WebViewConfiguration& configuration)
    : WebView(frame), configuration_(configuration), limits_(hasPlatform() ? platform().limits : Limits{}) {
    if (!configuration_.userContentController)
        configuration_.userContentController = std::make_shared<UserContentController>();

    contentManager_ = webkit_user_content_manager_new();
    for (const UserScript& s : configuration_.userContentController->userScripts()) {
        WebKitUserScript* script = webkit_user_script_new(
            s.source.c_str(),
            s.forMainFrameOnly ? WEBKIT_USER_CONTENT_INJECT_TOP_FRAME : WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
            s.injectionTime == UserScriptInjectionTime::AtDocumentStart ? WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START
                                                                        : WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END,
            nullptr, nullptr);
        webkit_user_content_manager_add_script(contentManager_, script);
        webkit_user_script_unref(script);
    }
    {
        WebKitUserScript* script =
            webkit_user_script_new(kTapScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                   WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
        webkit_user_content_manager_add_script(contentManager_, script);
        webkit_user_script_unref(script);
    }

    settings_ = webkit_settings_new();
    webkit_settings_set_enable_developer_extras(settings_, FALSE);
    webView_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context",
                                            webContext(limits_.allowCrossOriginFrameMessages), "user-content-manager",
                                            contentManager_, "settings", settings_, nullptr));
    g_object_ref_sink(webView_);

    // Every signal of the page view is connected here and disconnected in
    // the destructor.
    for (const std::string& name : configuration_.userContentController->channelNames()) {
        if (!webkit_user_content_manager_register_script_message_handler(contentManager_, name.c_str())) {
            logSystem("WebKitPageView: message channel '" + name + "' registered twice; ignored");
            continue;
        }
        auto channel = std::make_unique<Channel>(Channel{this, name});
        const std::string signal = "script-message-received::" + name;
        channel->handlerId = g_signal_connect(contentManager_, signal.c_str(),
                                              G_CALLBACK(&WebKitPageView::onScriptMessage), channel.get());
        channels_.push_back(std::move(channel));
    }
    if (webkit_user_content_manager_register_script_message_handler(contentManager_, kTapChannel))
        tapHandlerId_ =
            g_signal_connect(contentManager_, (std::string("script-message-received::") + kTapChannel).c_str(),
                             G_CALLBACK(&WebKitPageView::onTapMessage), this);
    viewHandlers_.push_back(
        g_signal_connect(webView_, "load-changed", G_CALLBACK(&WebKitPageView::onLoadChanged), this));
    viewHandlers_.push_back(g_signal_connect(webView_, "load-failed", G_CALLBACK(&WebKitPageView::onLoadFailed), this));
    viewHandlers_.push_back(g_signal_connect(webView_, "notify::estimated-load-progress",
                                             G_CALLBACK(&WebKitPageView::onProgressChanged), this));
    viewHandlers_.push_back(
        g_signal_connect(webView_, "script-dialog", G_CALLBACK(&WebKitPageView::onScriptDialog), this));
    viewHandlers_.push_back(g_signal_connect(webView_, "web-process-terminated",
                                             G_CALLBACK(&WebKitPageView::onWebProcessTerminated), this));
    viewHandlers_.push_back(
        g_signal_connect(webView_, "user-message-received", G_CALLBACK(&WebKitPageView::onUserMessage), this));

    for (const auto& [key, value] : configuration_.preferences) setPreferenceValue(key, value);
    setFrame(frame);
    applyBackground();
}

WebKitPageView::~WebKitPageView() {
    if (reloadSource_ != 0) g_source_remove(reloadSource_);
    for (gulong id : viewHandlers_) g_signal_handler_disconnect(webView_, id);
    for (auto& c : channels_) {
        g_signal_handler_disconnect(contentManager_, c->handlerId);
        webkit_user_content_manager_unregister_script_message_handler(contentManager_, c->name.c_str());
    }
    channels_.clear();
    if (tapHandlerId_) {
        g_signal_handler_disconnect(contentManager_, tapHandlerId_);
        webkit_user_content_manager_unregister_script_message_handler(contentManager_, kTapChannel);
    }
    // Stop whatever the page is doing and take the widget out of its parent.
    webkit_web_view_stop_loading(webView_);
    gtk_widget_destroy(GTK_WIDGET(webView_));
    g_object_unref(webView_);
    if (noScrollSheet_) webkit_user_style_sheet_unref(noScrollSheet_);
    g_object_unref(settings_);
    g_object_unref(contentManager_);
}

// ---- Signals ----

void WebKitPageView::onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    auto* channel = static_cast<Channel*>(data);
    std::string why;
    std::optional<nlohmann::json> body =
        jsonFromJSCValue(webkit_javascript_result_get_js_value(result), conversionLimits(channel->owner->limits_), why);
    if (!body) {
        logSystem("WebKitPageView: refused a message on '" + channel->name + "': " + why);
        return;
    }
    ScriptMessage message{channel->name, std::move(*body)};
    // The handler may destroy this page view: hold the controller, and touch
    // nothing of ours after delivering.
    std::shared_ptr<UserContentController> controller = channel->owner->configuration_.userContentController;
    if (!controller->deliver(message))
        logSystem("WebKitPageView: no handler for message channel '" + message.name + "'");
}

void WebKitPageView::onTapMessage(WebKitUserContentManager*, WebKitJavascriptResult*, gpointer data) {
    // The body carries nothing; the handler may destroy this page view.
    std::function<void()> handler = static_cast<WebKitPageView*>(data)->tapHandler_;
    if (handler) handler();
}

gboolean WebKitPageView::onUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer data) {
    auto* self = static_cast<WebKitPageView*>(data);
    if (g_strcmp0(webkit_user_message_get_name(message), kRefusedMessageName) != 0) return FALSE;
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ss)"))) return TRUE;
    const char* channel = nullptr;
    const char* origin = nullptr;
    g_variant_get(parameters, "(&s&s)", &channel, &origin);
    const size_t n = ++self->refusalsThisLoad_;
    if (n <= kMaxRefusalLines) {
        logSystem("WebKitPageView: refused a message on '" + clippedForLog(channel, 256) +
                  "' from a subframe of another origin (" + clippedForLog(origin, 256) + ")");
    } else if (n == kMaxRefusalLines + 1) {
        logSystem("WebKitPageView: further refused subframe messages in this page load are not logged");
    }
    return TRUE;
}

std::string WebKitPageView::frameGuardDirectory() {
    namespace fs = std::filesystem;
    std::error_code ec;
    auto holds = [&](const fs::path& dir) { return !dir.empty() && fs::exists(dir / kFrameGuardFileName, ec); };
    if (const char* env = std::getenv("TEVRA_WEB_EXTENSIONS_DIR"); env && *env) return holds(env) ? env : "";
    const fs::path beside = fs::path(executableDirectory()) / "web-extensions";
    if (holds(beside)) return beside.string();
    // An installed library finds it relative to itself: LIBDIR/TevraARWebGL/web-extensions.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&makeWebKitPageView), &info) && info.dli_fname && *info.dli_fname) {
        const fs::path installed = fs::path(info.dli_fname).parent_path() / "TevraARWebGL" / "web-extensions";
        if (holds(installed)) return installed.string();
    }
#ifdef TEVRA_WEB_EXTENSIONS_INSTALL_DIR
    if (holds(TEVRA_WEB_EXTENSIONS_INSTALL_DIR)) return TEVRA_WEB_EXTENSIONS_INSTALL_DIR;
#endif
    return "";
}

void WebKitPageView::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
    static_cast<WebKitPageView*>(self)->handleLoadChanged(event);
}

gboolean WebKitPageView::onLoadFailed(WebKitWebView*, WebKitLoadEvent event, gchar*, GError* error, gpointer self) {
    static_cast<WebKitPageView*>(self)->handleLoadFailed(event, error);
    return TRUE;  // no error page: it would run the user scripts again
}

void WebKitPageView::onProgressChanged(GObject*, GParamSpec*, gpointer self) {
    static_cast<WebKitPageView*>(self)->notifyProgress();
}

gboolean WebKitPageView::onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
    auto* self = static_cast<WebKitPageView*>(data);
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
        case WEBKIT_SCRIPT_DIALOG_ALERT:
            if (auto delegate = self->uiDelegate()) {
                auto pending = std::make_shared<PendingAlert>();
                delegate->webViewRunJavaScriptAlertPanelWithMessage(*self, webkit_script_dialog_get_message(dialog),
                                                                    [pending] { pending->complete(); });
                // Kept for later only when the delegate holds on to the completion.
                if (!pending->completed && pending.use_count() > 1) pending->dialog = webkit_script_dialog_ref(dialog);
            }
            break;
        case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
            webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
            break;
        default:
            // confirm() answers false and prompt() null, with nothing shown.
            break;
    }
    return TRUE;
}

void WebKitPageView::onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data) {
    auto* self = static_cast<WebKitPageView*>(data);
    logSystem("WebKitPageView: web process terminated (reason " + std::to_string(static_cast<int>(reason)) + ")");
    // The page is gone with its process: whether it was still loading or
    // already shown, its navigation failed.
    const NavigationState state = self->navigation_;
    self->navigation_ = NavigationState::Failed;
    Error e{"WebKitWebProcessTerminated", static_cast<long>(reason), "The web process terminated"};
    const char* uri = webkit_web_view_get_uri(self->webView_);
    const bool showingPage = state == NavigationState::Idle && uri && *uri;
    if (state == NavigationState::Provisional || state == NavigationState::Committed || showingPage) {
        if (auto d = self->navigationDelegate()) {
            if (state == NavigationState::Provisional)
                d->webViewDidFailProvisionalNavigation(*self, e);
            else
                d->webViewDidFailNavigation(*self, e);
        }
    }
    self->scheduleReloadAfterTermination();
}

void WebKitPageView::scheduleReloadAfterTermination() {
    if (reloadSource_ != 0) return;
    const char* uri = webkit_web_view_get_uri(webView_);
    if (!uri || !*uri || std::string_view(uri) == "about:blank") return;
    // A page that takes its process down every time it loads is not
    // reloaded for ever: at most kMaxTerminationReloads in a row within
    // kTerminationReloadWindowSeconds.
    const gint64 now = g_get_monotonic_time();
    const gint64 window = static_cast<gint64>(kTerminationReloadWindowSeconds) * G_USEC_PER_SEC;
    while (!terminationReloads_.empty() && now - terminationReloads_.front() > window)
        terminationReloads_.erase(terminationReloads_.begin());
    if (terminationReloads_.size() >= kMaxTerminationReloads) {
        logSystem("WebKitPageView: the web process keeps terminating; the page is not reloaded again");
        return;
    }
    terminationReloads_.push_back(now);
    logSystem(std::string("WebKitPageView: reloading ") + uri + " in a new web process");
    // Reloaded from the main loop, not from inside the signal.
    reloadSource_ = g_idle_add(
        [](gpointer data) -> gboolean {
            auto* self = static_cast<WebKitPageView*>(data);
            self->reloadSource_ = 0;
            webkit_web_view_reload(self->webView_);
            return G_SOURCE_REMOVE;
        },
        this);
}

void WebKitPageView::handleLoadChanged(WebKitLoadEvent event) {
    switch (event) {
        case WEBKIT_LOAD_STARTED: {
            const NavigationState previous = navigation_;
            navigation_ = NavigationState::Provisional;
            refusalsThisLoad_ = 0;
            auto d = navigationDelegate();
            // A navigation replaced before it ended reports once, as cancelled.
            if (d && (previous == NavigationState::Provisional || previous == NavigationState::Committed)) {
                Error cancelled{g_quark_to_string(WEBKIT_NETWORK_ERROR), kNavigationCancelledCode,
                                "Load request cancelled"};
                if (previous == NavigationState::Provisional)
                    d->webViewDidFailProvisionalNavigation(*this, cancelled);
                else
                    d->webViewDidFailNavigation(*this, cancelled);
                d = navigationDelegate();
            }
            if (d) d->webViewDidStartProvisionalNavigation(*this);
            break;
        }
        case WEBKIT_LOAD_REDIRECTED:
            break;
        case WEBKIT_LOAD_COMMITTED:
            if (navigation_ == NavigationState::Provisional) navigation_ = NavigationState::Committed;
            break;
        case WEBKIT_LOAD_FINISHED: {
            const NavigationState previous = navigation_;
            navigation_ = NavigationState::Idle;
            // After a failure WebKit still sends FINISHED; that is no finish.
            if (previous != NavigationState::Provisional && previous != NavigationState::Committed) break;
            if (auto d = navigationDelegate()) d->webViewDidFinishNavigation(*this);
            break;
        }
    }
}

void WebKitPageView::handleLoadFailed(WebKitLoadEvent event, const GError* error) {
    const NavigationState previous = navigation_;
    if (previous == NavigationState::Failed) return;  // already reported
    navigation_ = NavigationState::Failed;
    const Error e = errorFromGError(error);
    const bool provisional = previous == NavigationState::Provisional ||
                             (previous == NavigationState::Idle && event != WEBKIT_LOAD_COMMITTED);
    auto d = navigationDelegate();
    if (!d) return;
    if (provisional)
        d->webViewDidFailProvisionalNavigation(*this, e);
    else
        d->webViewDidFailNavigation(*this, e);
}

// ---- WebView ----

void WebKitPageView::evaluateJavaScript(const std::string& script, EvaluationCompletion completionHandler) {
    if (!completionHandler) {
        webkit_web_view_evaluate_javascript(webView_, script.c_str(), static_cast<gssize>(script.size()), nullptr,
                                            nullptr, nullptr, nullptr, nullptr);
        return;
    }
    auto* pending = new PendingEvaluation{std::move(completionHandler), conversionLimits(limits_)};
    webkit_web_view_evaluate_javascript(webView_, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, &evaluationFinished, pending);
}

void WebKitPageView::loadRequest(const std::string& url) { webkit_web_view_load_uri(webView_, url.c_str()); }

bool WebKitPageView::canGoBack() const { return webkit_web_view_can_go_back(webView_); }

std::optional<std::string> WebKitPageView::backItemURL() const {
    WebKitBackForwardList* list = webkit_web_view_get_back_forward_list(webView_);
    WebKitBackForwardListItem* item = list ? webkit_back_forward_list_get_back_item(list) : nullptr;
    const char* uri = item ? webkit_back_forward_list_item_get_uri(item) : nullptr;
    if (!uri || !*uri) return std::nullopt;
    return std::string(uri);
}

void WebKitPageView::goBack() { webkit_web_view_go_back(webView_); }
void WebKitPageView::goForward() { webkit_web_view_go_forward(webView_); }
void WebKitPageView::reload() { webkit_web_view_reload(webView_); }

std::optional<std::string> WebKitPageView::URL() const {
    const char* uri = webkit_web_view_get_uri(webView_);
    if (!uri || !*uri) return std::nullopt;
    return std::string(uri);
}

double WebKitPageView::estimatedProgress() const { return webkit_web_view_get_estimated_load_progress(webView_); }

void WebKitPageView::setFrame(const Rect& f) {
    WebView::setFrame(f);
    GtkWidget* w = widget();
    gtk_widget_set_halign(w, GTK_ALIGN_START);
    gtk_widget_set_valign(w, GTK_ALIGN_START);
    gtk_widget_set_margin_start(w, pixels(f.x));
    gtk_widget_set_margin_top(w, pixels(f.y));
    gtk_widget_set_size_request(w, pixels(f.width), pixels(f.height));
}

void WebKitPageView::setHidden(bool h) {
    WebView::setHidden(h);
    gtk_widget_set_no_show_all(widget(), h);
    gtk_widget_set_visible(widget(), !h);
}

void WebKitPageView::setBackgroundColor(const Color& c) {
    WebView::setBackgroundColor(c);
    applyBackground();
}

void WebKitPageView::setOpaque(bool o) {
    WebView::setOpaque(o);
    applyBackground();
}

void WebKitPageView::applyBackground() {
    const Color& c = backgroundColor();
    GdkRGBA rgba{c.r, c.g, c.b, c.a};
    if (isOpaque()) {
        if (c.a <= 0) rgba = GdkRGBA{1, 1, 1, 1};
        rgba.alpha = 1;
    }
    webkit_web_view_set_background_color(webView_, &rgba);
}

void WebKitPageView::setScrollEnabled(bool e) {
    WebView::setScrollEnabled(e);
    if (!e && !noScrollSheet_) {
        noScrollSheet_ = webkit_user_style_sheet_new(kNoScrollStyle, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                     WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr);
        webkit_user_content_manager_add_style_sheet(contentManager_, noScrollSheet_);
    } else if (e && noScrollSheet_) {
        webkit_user_content_manager_remove_style_sheet(contentManager_, noScrollSheet_);
        webkit_user_style_sheet_unref(noScrollSheet_);
        noScrollSheet_ = nullptr;
    }
}

void WebKitPageView::setInspectable(bool i) {
    WebView::setInspectable(i);
    webkit_settings_set_enable_developer_extras(settings_, i);
}

void WebKitPageView::setPreferenceValue(const std::string& key, const nlohmann::json& value) {
    WebView::setPreferenceValue(key, value);
    if (key == "allowFileAccessFromFileURLs")
        webkit_settings_set_allow_file_access_from_file_urls(settings_, truthy(value));
    else if (key == "allowUniversalAccessFromFileURLs")
        webkit_settings_set_allow_universal_access_from_file_urls(settings_, truthy(value));
    else
        logSystem("WebKitPageView: preference '" + key + "' has no WebKitGTK setting; stored only");
}

std::shared_ptr<WebKitPageView> makeWebKitPageView(const Rect& frame, const WebViewConfiguration& configuration) {
    return std::make_shared<WebKitPageView>(frame, configuration);
}

}  // namespace tevra::linux_platform
