// tevra-host: a desktop host application that embeds the library the way a
// mobile host would. It makes a host view (a GtkOverlay in a window) and a
// host web view, creates ViewControllerSDK, forwards the appearance calls
// and orientation changes, and plays a recorded AR session in real time.
//
//   tevra-host [--url TEXT] [--session DIR] [--size WxH] [--orientation N]
//              [--navigation] [--headless] [--frames N] [--seconds S]
//              [--screenshot FILE.png] [--resources DIR]
//
// Headless runs (under Xvfb) stop after the given frames or seconds, write
// the screenshot (camera image with the page composited over it) and print
// a short report: frames drawn, frame calls the page received, messages,
// and how long the main thread stalled (99th percentile and maximum).
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cairo.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "TevraARWebGL/TevraARWebGL.h"
#include "bridge/FrameworkResources.h"
#include "platform/linux/GtkCameraView.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/WebKitPageView.h"
#include "platform/sim/SimARSession.h"

namespace fs = std::filesystem;
using namespace tevra;
using namespace tevra::linux_platform;

namespace {

// The host view: a GtkOverlay. Views with a widget are stacked in the order
// they are added; plain views (the zero-height chrome) have nothing to show.
class GtkHostView : public View {
public:
    explicit GtkHostView(Rect frame) : View(frame), overlay_(gtk_overlay_new()) {
        g_object_ref_sink(overlay_);
        gtk_widget_set_size_request(overlay_, static_cast<int>(frame.width), static_cast<int>(frame.height));
        GtkWidget* base = gtk_drawing_area_new();
        gtk_container_add(GTK_CONTAINER(overlay_), base);
    }
    ~GtkHostView() override { g_object_unref(overlay_); }
    GtkWidget* widget() const { return overlay_; }

    void addSubview(const std::shared_ptr<View>& v) override {
        View::addSubview(v);
        GtkWidget* w = nullptr;
        if (auto page = std::dynamic_pointer_cast<WebKitPageView>(v)) w = page->widget();
        if (auto camera = std::dynamic_pointer_cast<GtkCameraView>(v)) w = camera->widget();
        if (!w) return;
        gtk_widget_set_halign(w, GTK_ALIGN_START);
        gtk_widget_set_valign(w, GTK_ALIGN_START);
        gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), w);
        gtk_widget_show(w);
    }

private:
    GtkWidget* overlay_;
};

struct Options {
    std::string url;
    std::string session;
    std::string resources;
    std::string screenshot = "tevra-host.png";
    int width = 390, height = 844;
    long orientation = 1;
    bool navigation = false;
    bool headless = false;
    int frames = 0;
    double seconds = 0;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--url" && next(o.url)) continue;
        if (a == "--session" && next(o.session)) continue;
        if (a == "--resources" && next(o.resources)) continue;
        if (a == "--screenshot" && next(o.screenshot)) continue;
        if (a == "--navigation") { o.navigation = true; continue; }
        if (a == "--headless") { o.headless = true; continue; }
        if (a == "--size" && next(v) && std::sscanf(v.c_str(), "%dx%d", &o.width, &o.height) == 2) continue;
        if (a == "--orientation" && next(v)) { o.orientation = std::atol(v.c_str()); continue; }
        if (a == "--frames" && next(v)) { o.frames = std::atoi(v.c_str()); continue; }
        if (a == "--seconds" && next(v)) { o.seconds = std::atof(v.c_str()); continue; }
        std::cerr << "tevra-host: bad argument " << a << "\n";
        return false;
    }
    return o.width > 0 && o.height > 0;
}

struct App {
    Options options;
    std::shared_ptr<sim::SimARSessionFactory> sessions;
    std::shared_ptr<GtkHostView> hostView;
    std::shared_ptr<WebKitPageView> hostWebView;
    std::shared_ptr<ViewControllerSDK> controller;
    GtkWidget* window = nullptr;
    GMainLoop* loop = nullptr;
    int framesDelivered = 0;
    guint frameSource = 0;
    bool done = false;
};

gboolean deliverFrame(gpointer data) {
    auto* app = static_cast<App*>(data);
    auto session = app->sessions->lastSession();
    if (!session) return G_SOURCE_CONTINUE;
    session->setLoops(true);
    if (session->step()) ++app->framesDelivered;
    if (app->options.headless && app->options.frames > 0 && app->framesDelivered >= app->options.frames && !app->done) {
        app->done = true;
        g_main_loop_quit(app->loop);
    }
    return G_SOURCE_CONTINUE;
}

gboolean stopAfterTime(gpointer data) {
    auto* app = static_cast<App*>(data);
    app->done = true;
    g_main_loop_quit(app->loop);
    return G_SOURCE_REMOVE;
}

// Runs the main loop until `done` or the deadline; returns false on timeout.
bool iterateUntil(const std::function<bool()>& done, double seconds) {
    gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    while (!done()) {
        if (g_get_monotonic_time() > end) return false;
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(1000);
    }
    return true;
}

cairo_surface_t* pageSnapshot(WebKitWebView* web) {
    struct State {
        cairo_surface_t* surface = nullptr;
        bool finished = false;
    } st;
    webkit_web_view_get_snapshot(
        web, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* s = static_cast<State*>(data);
            GError* error = nullptr;
            s->surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
            if (error) {
                std::cerr << "tevra-host: page snapshot failed: " << error->message << "\n";
                g_error_free(error);
            }
            s->finished = true;
        },
        &st);
    iterateUntil([&] { return st.finished; }, 10);
    return st.surface;
}

bool writeScreenshot(App& app, const std::string& path) {
    auto camera = std::dynamic_pointer_cast<GtkCameraView>(app.controller->mtkView);
    int w = app.options.width, h = app.options.height;
    cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(out);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    if (camera) {
        CameraSnapshot snap = camera->snapshot();
        if (!snap.empty()) {
            cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, snap.width, snap.height);
            cairo_surface_flush(img);
            unsigned char* dst = cairo_image_surface_get_data(img);
            int stride = cairo_image_surface_get_stride(img);
            for (int y = 0; y < snap.height; ++y)
                for (int x = 0; x < snap.width; ++x) {
                    const uint8_t* s = &snap.rgba[(static_cast<size_t>(y) * snap.width + x) * 4];
                    uint32_t px = 0xff000000u | (uint32_t(s[0]) << 16) | (uint32_t(s[1]) << 8) | s[2];
                    std::memcpy(dst + y * stride + x * 4, &px, 4);
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
    if (auto page = std::dynamic_pointer_cast<WebKitPageView>(app.controller->wkWebView)) {
        if (cairo_surface_t* snap = pageSnapshot(page->webKitWebView())) {
            cairo_set_source_surface(cr, snap, 0, 0);
            cairo_paint(cr);
            cairo_surface_destroy(snap);
        }
    }
    cairo_destroy(cr);
    bool ok = cairo_surface_write_to_png(out, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(out);
    return ok;
}

// Main-thread stall probe of headless runs: a 10 ms timer notes how late
// each tick comes; the report gives the 99th percentile and the maximum. A
// fixed histogram (1 ms buckets) keeps its memory constant over long runs.
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

long evaluateNumber(WebView& page, const std::string& script) {
    long value = -1;
    bool finished = false;
    page.evaluateJavaScript(script, [&](const nlohmann::json& result, const std::optional<Error>&) {
        if (result.is_number()) value = result.get<long>();
        finished = true;
    });
    iterateUntil([&] { return finished; }, 5);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    App app;
    if (!parse(argc, argv, app.options)) {
        std::cerr << "usage: tevra-host [--url TEXT] [--session DIR] [--size WxH] [--orientation N] [--navigation]\n"
                     "                  [--headless] [--frames N] [--seconds S] [--screenshot FILE.png] [--resources DIR]\n";
        return 2;
    }
    if (!gtk_init_check(&argc, &argv)) {
        std::cerr << "tevra-host: no display (run under Xvfb for --headless)\n";
        return 2;
    }
    fs::path here = executableDirectory();
    std::string sessionDir = app.options.session.empty() ? (here / "examples/sessions/demo").string() : app.options.session;
    std::string error;
    auto recording = sim::SessionRecording::load(sessionDir, error);
    if (!recording) {
        std::cerr << "tevra-host: " << error << "\n";
        return 2;
    }
    app.sessions = std::make_shared<sim::SimARSessionFactory>(recording);
    LinuxPlatformOptions po;
    po.ar = app.sessions;
    po.resourcesDirectory = app.options.resources;
    po.initialOrientation = app.options.orientation;
    installLinuxPlatform(po);

    Rect frame{0, 0, static_cast<double>(app.options.width), static_cast<double>(app.options.height)};
    app.hostView = std::make_shared<GtkHostView>(frame);
    app.hostWebView = makeWebKitPageView(frame, WebViewConfiguration{});
    app.controller = ViewControllerSDK::initWithView(app.hostView, app.hostWebView);
    app.controller->idleTimerDisabledDidChange = [](bool v) {
        std::cout << "host: idle timer disabled = " << (v ? "true" : "false") << std::endl;
    };

    app.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(app.window), "TevraARWebGL host");
    gtk_window_set_default_size(GTK_WINDOW(app.window), app.options.width, app.options.height);
    gtk_container_add(GTK_CONTAINER(app.window), app.hostView->widget());
    app.loop = g_main_loop_new(nullptr, FALSE);
    g_signal_connect(app.window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer loop) {
                         g_main_loop_quit(static_cast<GMainLoop*>(loop));
                     }),
                     app.loop);
    gtk_widget_show_all(app.window);

    app.controller->viewWillAppear(true);
    if (app.options.navigation) app.controller->initNavigation();
    if (!app.options.url.empty()) app.controller->loadURL(app.options.url);

    // The recording's own frame interval (its timestamps), 30 per second by default.
    double interval = 1.0 / 30;
    if (recording->frames().size() > 1)
        interval = std::clamp(recording->frames()[1].timestamp - recording->frames()[0].timestamp, 0.005, 1.0);
    app.frameSource = g_timeout_add(static_cast<guint>(interval * 1000), deliverFrame, &app);
    if (app.options.headless && app.options.seconds > 0)
        g_timeout_add(static_cast<guint>(app.options.seconds * 1000), stopAfterTime, &app);
    if (app.options.headless && app.options.frames <= 0 && app.options.seconds <= 0)
        g_timeout_add(5000, stopAfterTime, &app);
    StallProbe stalls;
    if (app.options.headless) stalls.start();
    g_main_loop_run(app.loop);
    stalls.stop();
    g_source_remove(app.frameSource);

    int status = 0;
    if (app.options.headless) {
        long received = app.controller->wkWebView
                            ? evaluateNumber(*app.controller->wkWebView, "window.Zephral ? Zephral.framesReceived : -1")
                            : -1;
        long posted = app.controller->wkWebView
                          ? evaluateNumber(*app.controller->wkWebView, "window.Zephral ? Zephral.messagesPosted : -1")
                          : -1;
        bool shot = writeScreenshot(app, app.options.screenshot);
        std::cout << "report: frames delivered " << app.framesDelivered << ", frame calls received by the page "
                  << received << ", messages the page posted " << posted << "\n";
        std::cout << "report: main-thread stalls " << stalls.summary() << "\n";
        std::cout << "screenshot: " << (shot ? fs::absolute(app.options.screenshot).string() : "(failed)") << "\n";
        status = shot ? 0 : 1;
    }
    app.controller->viewWillDisappear(true);
    app.controller.reset();
    g_main_loop_unref(app.loop);
    return status;
}
