#include "HostApp.h"

#include <webkit2/webkit2.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "base/FrameworkResources.h"
#include "platform/linux/FileUserDefaults.h"
#include "embed/GtkBridge.h"
#include "platform/linux/GtkCameraView.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/WebKitPageView.h"

namespace fs = std::filesystem;

namespace tevra::host {

using linux_platform::GtkCameraView;
using linux_platform::WebKitPageView;

namespace {

// The platform's view factory with one extra channel on every page view.
class ProbeViewFactory : public ViewFactory {
public:
    ProbeViewFactory(std::shared_ptr<ViewFactory> inner, std::shared_ptr<ScriptMessageHandler> probe)
        : inner_(std::move(inner)), probe_(std::move(probe)) {}
    std::shared_ptr<GPUDevice> systemDefaultDevice() override { return inner_->systemDefaultDevice(); }
    std::shared_ptr<CameraView> makeCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device) override {
        return inner_->makeCameraView(frame, std::move(device));
    }
    std::shared_ptr<WebView> makeWebView(const Rect& frame, const WebViewConfiguration& configuration) override {
        configuration.userContentController->addScriptMessageHandler(probe_, kProbeChannel);
        // Runs after the framework's scripts, so it wraps their handleARFrame.
        configuration.userContentController->addUserScript(
            {"(function () {"
             "  var probe = window.webkit.messageHandlers.hostProbe, inner = window.handleARFrame;"
             "  window.handleARFrame = function (data) {"
             "    probe.postMessage(data && data.length ? data[0] : null);"
             "    if (inner) return inner(data);"
             "  };"
             "})();"});
        return inner_->makeWebView(frame, configuration);
    }
    std::shared_ptr<TextField> makeTextField() override { return inner_->makeTextField(); }
    std::shared_ptr<Button> makeButton() override { return inner_->makeButton(); }

private:
    std::shared_ptr<ViewFactory> inner_;
    std::shared_ptr<ScriptMessageHandler> probe_;
};

// Every line to the platform's log and then to a tap.
class TeeLog : public Log {
public:
    TeeLog(std::shared_ptr<Log> first, std::shared_ptr<Log> second)
        : first_(std::move(first)), second_(std::move(second)) {}
    void system(std::string_view line) override {
        first_->system(line);
        second_->system(line);
    }
    void standardOutput(std::string_view line) override {
        first_->standardOutput(line);
        second_->standardOutput(line);
    }

private:
    std::shared_ptr<Log> first_, second_;
};

bool parseInt(const std::string& text, long& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno) return false;
    out = v;
    return true;
}

}  // namespace

const char* hostUsage() {
    return "usage: tevra-host [--url TEXT] [--session DIR] [--resources DIR] [--documents DIR]\n"
           "                  [--defaults FILE.json]\n"
           "                  [--size WxH] [--orientation N] [--navigation] [--no-loop]\n"
           "                  [--headless] [--frames N] [--seconds S] [--screenshot FILE.png]\n";
}

bool parseHostOptions(int argc, char** argv, HostOptions& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        long n = 0;
        bool ok = true;
        if (a == "--url")
            ok = value(o.url);
        else if (a == "--session")
            ok = value(o.session);
        else if (a == "--resources")
            ok = value(o.resources);
        else if (a == "--documents")
            ok = value(o.documents);
        else if (a == "--defaults")
            ok = value(o.defaults);
        else if (a == "--screenshot")
            ok = value(o.screenshot);
        else if (a == "--navigation")
            o.navigation = true;
        else if (a == "--headless")
            o.headless = true;
        else if (a == "--no-loop")
            o.loop = false;
        else if (a == "--size")
            ok = value(v) && std::sscanf(v.c_str(), "%dx%d", &o.width, &o.height) == 2 && o.width > 0 && o.height > 0 &&
                 o.width <= 8192 && o.height <= 8192;
        else if (a == "--orientation") {
            ok = value(v) && parseInt(v, n) && n >= 0 && n <= 6;
            if (ok) o.orientation = n;
        } else if (a == "--frames") {
            ok = value(v) && parseInt(v, n) && n >= 0 && n <= 1000000;
            if (ok) o.frames = static_cast<int>(n);
        } else if (a == "--seconds") {
            char* end = nullptr;
            ok = value(v);
            if (ok) o.seconds = std::strtod(v.c_str(), &end);
            ok = ok && !v.empty() && !*end && o.seconds >= 0;
        } else {
            error = "unknown argument " + a;
            return false;
        }
        if (!ok) {
            error = "bad or missing value for " + a;
            return false;
        }
    }
    return true;
}

HostApp::HostApp(HostOptions options) : options_(std::move(options)) {}

HostApp::~HostApp() {
    stopPlayback();
    if (controller_) controller_->viewWillDisappear(true);
    // The views let go of their widgets first; destroying the window then
    // takes the widgets down.
    controller_.reset();
    hostWebView_.reset();
    hostView_.reset();
    if (window_) gtk_widget_destroy(window_);
    window_ = nullptr;
}

bool HostApp::start(std::string& error) {
    using namespace linux_platform;
    // Defaults: beside the executable, else in the source tree around a
    // build directory.
    auto besideExecutable = [](const std::string& relative) {
        const fs::path here = executableDirectory();
        std::error_code ec;
        for (const fs::path& base : {here, here.parent_path()})
            if (fs::exists(base / relative, ec)) return (base / relative).string();
        return (here / relative).string();
    };
    std::string sessionDir = options_.session.empty() ? besideExecutable("examples/sessions/demo") : options_.session;
    if (options_.resources.empty()) {
        std::error_code ec;
        if (!fs::exists(fs::path(executableDirectory()) / "resources", ec))
            options_.resources = besideExecutable("examples/resources");
    }
    recording_ = sim::SessionRecording::load(sessionDir, error);
    if (!recording_) return false;
    sessions_ = std::make_shared<sim::SimARSessionFactory>(recording_);

    // The framework's page-side scripts and shaders: when they are not where
    // the library looks (an install or the source tree it was built from),
    // the source tree beside a build directory.
    if (!readFrameworkResource("Zephral", "js")) {
        fs::path candidate = fs::path(executableDirectory()).parent_path() / "src" / "resources";
        std::error_code ec;
        if (fs::exists(candidate / "Zephral.js", ec)) setFrameworkResourcesDirectory(candidate.string());
    }

    LinuxPlatformOptions po;
    po.ar = sessions_;
    po.resourcesDirectory = options_.resources;
    po.documentsDirectory = options_.documents;
    po.initialOrientation = options_.orientation;
    auto platform = installLinuxPlatform(po);
    if (!options_.defaults.empty()) platform->defaults = std::make_shared<FileUserDefaults>(options_.defaults);
    if (options_.logTap) platform->log = std::make_shared<TeeLog>(platform->log, options_.logTap);
    if (options_.probe) platform->views = std::make_shared<ProbeViewFactory>(platform->views, options_.probe);

    Rect frame{0, 0, static_cast<double>(options_.width), static_cast<double>(options_.height)};
    auto hostView = std::make_shared<linux_platform::GtkBridgeView>(frame);
    hostView_ = hostView;
    hostWebView_ = makeWebKitPageView(frame, WebViewConfiguration{});
    controller_ = ViewControllerSDK::initWithView(hostView_, hostWebView_);
    controller_->idleTimerDisabledDidChange = [](bool v) {
        std::cout << "host: idle timer disabled = " << (v ? "true" : "false") << std::endl;
    };

    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), "TevraARWebGL host");
    gtk_window_set_default_size(GTK_WINDOW(window_), options_.width, options_.height);
    gtk_container_add(GTK_CONTAINER(window_), hostView->widget());
    gtk_widget_show_all(window_);

    controller_->viewWillAppear(true);
    if (options_.navigation) controller_->initNavigation();
    if (!options_.url.empty()) controller_->loadURL(options_.url);
    return true;
}

std::shared_ptr<sim::SimARSession> HostApp::session() const { return sessions_ ? sessions_->lastSession() : nullptr; }

GtkCameraView* HostApp::cameraView() const {
    return controller_ ? dynamic_cast<GtkCameraView*>(controller_->mtkView.get()) : nullptr;
}

WebKitPageView* HostApp::pageView() const {
    return controller_ ? dynamic_cast<WebKitPageView*>(controller_->wkWebView.get()) : nullptr;
}

bool HostApp::step() {
    auto s = session();
    if (!s) return false;
    s->setLoops(options_.loop);
    if (!s->step()) return false;
    ++framesDelivered_;
    if (onFrameDelivered) onFrameDelivered();
    return true;
}

gboolean HostApp::deliverFrame(gpointer data) {
    static_cast<HostApp*>(data)->step();
    return G_SOURCE_CONTINUE;
}

void HostApp::startPlayback() {
    if (frameSource_ || !recording_) return;
    double interval = std::clamp(recording_->frameInterval(), 0.001, 1.0);
    frameSource_ = g_timeout_add(std::max(1u, static_cast<guint>(interval * 1000 + 0.5)), deliverFrame, this);
}

void HostApp::stopPlayback() {
    if (frameSource_) g_source_remove(frameSource_);
    frameSource_ = 0;
}

bool HostApp::iterateUntil(const std::function<bool()>& done, double seconds) {
    // A ticking source so the loop wakes up to look at the deadline.
    guint tick = g_timeout_add(
        5, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    bool ok = done();
    while (!ok && g_get_monotonic_time() < end) {
        g_main_context_iteration(nullptr, TRUE);
        ok = done();
    }
    g_source_remove(tick);
    return ok;
}

std::optional<nlohmann::json> HostApp::evaluate(const std::string& script, double seconds) {
    if (!controller_ || !controller_->wkWebView) return std::nullopt;
    struct Result {
        bool done = false;
        std::optional<nlohmann::json> value;
    };
    auto r = std::make_shared<Result>();
    controller_->wkWebView->evaluateJavaScript(script, [r](const nlohmann::json& v, const std::optional<Error>& e) {
        if (!e) r->value = v;
        r->done = true;
    });
    iterateUntil([&] { return r->done; }, seconds);
    return r->value;
}

namespace {

cairo_surface_t* pageSnapshot(WebKitWebView* web) {
    struct State {
        cairo_surface_t* surface = nullptr;
        bool finished = false;
    };
    auto st = std::make_shared<State>();
    auto* holder = new std::shared_ptr<State>(st);
    webkit_web_view_get_snapshot(
        web, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* h = static_cast<std::shared_ptr<State>*>(data);
            GError* error = nullptr;
            (*h)->surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
            if (error) {
                std::cerr << "tevra-host: page snapshot failed: " << error->message << "\n";
                g_error_free(error);
            }
            (*h)->finished = true;
            delete h;
        },
        holder);
    HostApp::iterateUntil([&] { return st->finished; }, 10);
    cairo_surface_t* s = st->surface;
    st->surface = nullptr;  // a late answer is dropped with its holder
    return s;
}

}  // namespace

cairo_surface_t* HostApp::composite() {
    if (!controller_) return nullptr;
    const int w = options_.width, h = options_.height;
    cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(out);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    if (GtkCameraView* camera = cameraView()) {
        linux_platform::CameraSnapshot snap = camera->snapshot();
        if (!snap.empty()) {
            cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, snap.width, snap.height);
            cairo_surface_flush(img);
            unsigned char* dst = cairo_image_surface_get_data(img);
            const int stride = cairo_image_surface_get_stride(img);
            for (int y = 0; y < snap.height; ++y)
                for (int x = 0; x < snap.width; ++x) {
                    const uint8_t* s = &snap.rgba[(static_cast<size_t>(y) * snap.width + x) * 4];
                    uint32_t px = 0xff000000u | (uint32_t(s[0]) << 16) | (uint32_t(s[1]) << 8) | s[2];
                    std::memcpy(dst + static_cast<size_t>(y) * stride + x * 4, &px, 4);
                }
            cairo_surface_mark_dirty(img);
            cairo_save(cr);
            cairo_scale(cr, static_cast<double>(w) / snap.width, static_cast<double>(h) / snap.height);
            cairo_set_source_surface(cr, img, 0, 0);
            cairo_paint(cr);
            cairo_restore(cr);
            cairo_surface_destroy(img);
        }
    }
    if (WebKitPageView* page = pageView()) {
        if (cairo_surface_t* snap = pageSnapshot(page->webKitWebView())) {
            cairo_set_source_surface(cr, snap, 0, 0);
            cairo_paint(cr);
            cairo_surface_destroy(snap);
        }
    }
    cairo_destroy(cr);
    cairo_surface_flush(out);
    return out;
}

bool HostApp::writeScreenshot(const std::string& path) {
    cairo_surface_t* out = composite();
    if (!out) return false;
    const bool ok = cairo_surface_write_to_png(out, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(out);
    return ok;
}

namespace {

// Samples the main loop every 10 ms: how late each sample runs is how long
// the main thread was busy with something else (a stall).
class StallProbe {
public:
    void start() { source_ = g_timeout_add(kIntervalMs, &StallProbe::tick, this); }
    void stop() {
        if (source_) g_source_remove(source_);
        source_ = 0;
    }
    std::string summary() const {
        if (ticks_ == 0) return "no samples";
        const uint64_t rank = (ticks_ * 99 + 99) / 100;  // ceil(0.99 n)
        uint64_t seen = 0;
        size_t p99 = 0;
        for (; p99 < buckets_.size(); ++p99)
            if ((seen += buckets_[p99]) >= rank) break;
        char text[128];
        std::snprintf(text, sizeof text, "p99 %zu ms, max %.1f ms over %llu ticks", p99, maxMs_,
                      static_cast<unsigned long long>(ticks_));
        return text;
    }

private:
    static constexpr guint kIntervalMs = 10;
    static gboolean tick(gpointer data) {
        auto* self = static_cast<StallProbe*>(data);
        const gint64 now = g_get_monotonic_time();
        if (self->last_ != 0) {
            const double lateMs = std::max<double>(0, (now - self->last_) / 1000.0 - kIntervalMs);
            self->maxMs_ = std::max(self->maxMs_, lateMs);
            self->buckets_[std::min(self->buckets_.size() - 1, static_cast<size_t>(lateMs))]++;
            ++self->ticks_;
        }
        self->last_ = now;
        return G_SOURCE_CONTINUE;
    }
    guint source_ = 0;
    gint64 last_ = 0;
    uint64_t ticks_ = 0;
    double maxMs_ = 0;
    std::array<uint64_t, 10001> buckets_{};
};

}  // namespace

int HostApp::run() {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    struct Run {
        GMainLoop* loop;
        HostApp* app;
        guint timeSource = 0;
    } run{loop, this};
    // A window closed by the user ends the run; the widget is gone then.
    const gulong destroyHandler = g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer d) {
                                                       auto* r = static_cast<Run*>(d);
                                                       r->app->window_ = nullptr;
                                                       g_main_loop_quit(r->loop);
                                                   }),
                                                   &run);
    if (options_.headless) {
        double seconds = options_.seconds > 0 ? options_.seconds : (options_.frames > 0 ? 0 : 5);
        if (seconds > 0)
            run.timeSource = g_timeout_add(
                static_cast<guint>(seconds * 1000),
                [](gpointer d) -> gboolean {
                    auto* r = static_cast<Run*>(d);
                    r->timeSource = 0;
                    g_main_loop_quit(r->loop);
                    return G_SOURCE_REMOVE;
                },
                &run);
        if (options_.frames > 0)
            onFrameDelivered = [this, loop] {
                if (framesDelivered_ >= options_.frames) g_main_loop_quit(loop);
            };
    }
    StallProbe stalls;
    if (options_.headless) stalls.start();
    startPlayback();
    g_main_loop_run(loop);
    stopPlayback();
    stalls.stop();
    onFrameDelivered = nullptr;
    if (run.timeSource) g_source_remove(run.timeSource);
    if (window_) g_signal_handler_disconnect(window_, destroyHandler);
    g_main_loop_unref(loop);
    if (!window_) return 0;  // closed by the user

    int status = 0;
    if (options_.headless) {
        // Without new AR frames the page's last acknowledgement draws the
        // camera image of the frame the page drew last: both then match.
        iterateUntil([] { return false; }, 0.3);
        auto state = evaluate("window.demo ? demo.state() : null");
        auto received = evaluate("window.Zephral ? Zephral.framesReceived : -1");
        auto posted = evaluate("window.Zephral ? Zephral.messagesPosted : -1");
        const bool shot = writeScreenshot(options_.screenshot);
        auto number = [](const std::optional<nlohmann::json>& v) { return v && v->is_number() ? v->get<long>() : -1L; };
        std::cout << "report: frames delivered " << framesDelivered_ << ", frame calls received by the page "
                  << number(received) << ", messages the page posted " << number(posted) << "\n";
        std::cout << "report: main-thread stalls " << stalls.summary() << "\n";
        if (state && !state->is_null()) std::cout << "page: " << state->dump() << "\n";
        std::cout << "screenshot: " << (shot ? fs::absolute(options_.screenshot).string() : "(failed)") << std::endl;
        status = shot ? 0 : 1;
    }
    return status;
}

}  // namespace tevra::host
