#include "HostApp.h"

#include <dlfcn.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <iostream>

#include "base/FrameworkResources.h"
#include "base/TextUtils.h"
#include "base/URL.h"
#include "page/PageAddress.h"
#include "platform/linux/FileUserDefaults.h"
#include "embed/GtkBridge.h"
#include "platform/linux/GtkCameraView.h"
#include "platform/linux/LinuxDevice.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/WebKitPageView.h"

namespace fs = std::filesystem;

namespace tevra::host {

using linux_platform::GtkCameraView;
using linux_platform::WebKitPageView;

namespace {

// The page console on the terminal: a document-start script wraps the
// console functions and listens for uncaught errors and rejections, posting
// each on the host's own channel. Runs before the page's scripts.
constexpr const char* kConsoleScript = R"JS((function () {
  var channel = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.hostConsole;
  if (!channel) return;
  function text(v) {
    try {
      if (typeof v === 'string') return v;
      if (v instanceof Error) return String(v);
      var json = JSON.stringify(v);
      return json === undefined ? String(v) : json;
    } catch (e) { return String(v); }
  }
  function post(level, message, source, line) {
    try {
      channel.postMessage({level: level, text: String(message).slice(0, 4096),
                           source: String(source || '').slice(0, 1024), line: line | 0});
    } catch (e) {}
  }
  // The caller's place, from a stack line "name@URL:LINE:COLUMN".
  function caller() {
    var lines = String(new Error().stack || '').split('\n');
    var m = /@?([^@]*):(\d+):\d+$/.exec(lines[2] || '');
    return m ? [m[1], +m[2]] : ['', 0];
  }
  ['log', 'info', 'warn', 'error', 'debug'].forEach(function (level) {
    var inner = console[level];
    console[level] = function () {
      var at = caller(), parts = [];
      for (var i = 0; i < arguments.length && i < 32; i++) parts.push(text(arguments[i]));
      post(level, parts.join(' '), at[0], at[1]);
      if (inner) return inner.apply(console, arguments);
    };
  });
  window.addEventListener('error', function (e) {
    post('exception', e.message || text(e.error), e.filename, e.lineno);
  });
  window.addEventListener('unhandledrejection', function (e) {
    var r = e.reason;  // an Error carries where it was made
    post('rejection', text(r), r && r.sourceURL, r && r.line);
  });
})();)JS";

// A console message as one bounded terminal line:
// "page: LEVEL FILE:LINE: TEXT" (FILE: the last part of the URL's path).
class PageConsole : public ScriptMessageHandler {
public:
    void userContentControllerDidReceiveScriptMessage(const ScriptMessage& message) override {
        const nlohmann::json& b = message.body;
        if (!b.is_object()) return;
        auto field = [&](const char* name) {
            auto it = b.find(name);
            return it != b.end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        std::string level = field("level"), source = field("source");
        const size_t cut = source.find_first_of("?#");
        if (cut != std::string::npos) source.resize(cut);
        if (const size_t slash = source.rfind('/'); slash != std::string::npos) source = source.substr(slash + 1);
        long line = 0;
        if (auto it = b.find("line"); it != b.end() && it->is_number_integer()) line = it->get<long>();
        std::string out = "page: " + clippedForLog(level.empty() ? "log" : level, 16);
        if (!source.empty()) out += " " + clippedForLog(source, 120) + ":" + std::to_string(line);
        out += ": " + clippedForLog(field("text"), 1000);
        logStdout(out);
    }
};

// The platform's view factory with the host's channels and scripts on every
// page view.
class HostViewFactory : public ViewFactory {
public:
    HostViewFactory(std::shared_ptr<ViewFactory> inner, std::shared_ptr<ScriptMessageHandler> probe,
                    std::shared_ptr<ScriptMessageHandler> console)
        : inner_(std::move(inner)), probe_(std::move(probe)), console_(std::move(console)) {}
    std::shared_ptr<GPUDevice> systemDefaultDevice() override { return inner_->systemDefaultDevice(); }
    std::shared_ptr<CameraView> makeCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device) override {
        return inner_->makeCameraView(frame, std::move(device));
    }
    std::shared_ptr<WebView> makeWebView(const Rect& frame, const WebViewConfiguration& configuration) override {
        UserContentController& content = *configuration.userContentController;
        if (console_) {
            content.addScriptMessageHandler(console_, kConsoleChannel);
            // At document start: after the framework's scripts, before the
            // page's own.
            content.addUserScript({kConsoleScript});
        }
        if (probe_) {
            content.addScriptMessageHandler(probe_, kProbeChannel);
            // Runs after the framework's scripts, so it wraps their handleARFrame.
            content.addUserScript(
                {"(function () {"
                 "  var probe = window.webkit.messageHandlers.hostProbe, inner = window.handleARFrame;"
                 "  window.handleARFrame = function (data) {"
                 "    probe.postMessage(data && data.length ? data[0] : null);"
                 "    if (inner) return inner(data);"
                 "  };"
                 "})();"});
        }
        return inner_->makeWebView(frame, configuration);
    }
    std::shared_ptr<TextField> makeTextField() override { return inner_->makeTextField(); }
    std::shared_ptr<Button> makeButton() override { return inner_->makeButton(); }

private:
    std::shared_ptr<ViewFactory> inner_;
    std::shared_ptr<ScriptMessageHandler> probe_, console_;
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
    return "usage: tevra-host [OPTION]...\n"
           "Plays a recorded AR session, or a live camera tracking a printed board, under a web page,\n"
           "in a window or headless.\n"
           "\n"
           "  --url PAGE         local file or folder, file:/// or http(s) URL, or file://NAME in --resources\n"
           "  --session DIR      the recorded session (default: examples/sessions/demo)\n"
           "  --camera SOURCE    a live camera instead: v4l2:/dev/video0, file:VIDEO, file:DIR/%06d.png or test\n"
           "  --board SPEC       the printed board that defines the world (default: charuco:5x7:0.04:0.03:\n"
           "                     DICT_5X5_100, on A4; print it with tevra-calibrate --print-board board.pdf)\n"
           "  --calibration FILE the camera's calibration from tevra-calibrate (default: a 60 degree\n"
           "                     horizontal field of view, with a warning)\n"
           "  --record DIR       write what the session plays (frames, poses, tracking, planes, anchors)\n"
           "                     as a recorded session that --session DIR replays\n"
           "  --truth DIR        with --camera on a generated sequence (tevra-synth board): the report\n"
           "                     gives the live poses' error against the true ones in DIR\n"
           "  --resources DIR    the application's pages (default: examples/resources)\n"
           "  --documents DIR    downloaded models (default: ~/.local/share/TevraARWebGL)\n"
           "  --defaults FILE    settings with the remembered page (~/.config/TevraARWebGL/defaults.json)\n"
           "  --fresh            start clean: no remembered page, caches or models of earlier runs\n"
           "  --size WxH         the window size in points (default: 390x844; 960x540 with --camera)\n"
           "  --orientation N    the device orientation at start, 0 to 6 (default: 1, portrait; 3 with --camera)\n"
           "  --orientation-at T:N  turn the device to orientation N T seconds after the page loaded (repeatable)\n"
           "  --click-at T:X,Y   click the window at point X,Y T seconds after the page loaded (repeatable)\n"
           "  --navigation       show the URL field and the back and refresh buttons\n"
           "  --no-loop          play the session (or a --camera file) once, not over and over\n"
           "  --no-page-console  do not print the page's console messages and uncaught errors\n"
           "  --headless         no window: stop at the limit, write the screenshot, print a report\n"
           "  --frames N         headless: stop after N frames\n"
           "  --seconds S        headless: stop after S seconds (default: 5 when no --frames)\n"
           "  --screenshot FILE  headless: the screenshot PNG (default: tevra-host.png)\n"
           "  --help             this text\n"
           "\n"
           "Without --url the remembered page (the last one loaded) is shown. Query strings are kept.\n"
           "Orientations: 1 portrait, 2 upside down, 3 landscape left, 4 landscape right, 5 face up,\n"
           "6 face down, 0 unknown. Between portrait and landscape the window turns (width and height swap).\n"
           "\n"
           "In the window (and for --click-at): a click reaches the page; where the page does not take\n"
           "it (no link, button or field under it, not cancelled), it is a tap: an anchor 20 cm ahead\n"
           "of the camera, which the page sees in its next anchor event. Ctrl+Up, Ctrl+Down,\n"
           "Ctrl+Left and Ctrl+Right turn the device to 1, 2, 3 and 4. Resizing the window lays the\n"
           "camera image and the page out again.\n"
           "\n"
           "Exit status: 0 done; 1 (headless) the page never finished loading, its web process\n"
           "died or the screenshot failed; 2 a bad command line or set-up.\n"
           "\n"
           "Example:\n"
           "  xvfb-run -a tevra-host --headless --seconds 3 --url \"mypage/index.html?debug=1\"\n"
           "  xvfb-run -a tevra-host --headless --seconds 4 --url mypage --click-at 1.5:195,400 --orientation-at "
           "2.5:3\n";
}

bool parseHostOptions(int argc, char** argv, HostOptions& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        // "--name=value" as well as "--name value".
        std::optional<std::string> inlineValue;
        if (const size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = a.substr(eq + 1);
            a.resize(eq);
        }
        bool missing = false;
        auto value = [&](std::string& out) {
            if (inlineValue) {
                out = *inlineValue;
                inlineValue.reset();
                return true;
            }
            if (i + 1 >= argc) {
                missing = true;
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v, expected;
        long n = 0;
        bool ok = true;
        if (a == "--url")
            ok = value(o.url) && !o.url.empty();
        else if (a == "--session")
            ok = value(o.session);
        else if (a == "--camera")
            ok = value(o.camera) && !o.camera.empty();
        else if (a == "--board")
            ok = value(o.board) && !o.board.empty();
        else if (a == "--calibration")
            ok = value(o.calibration) && !o.calibration.empty();
        else if (a == "--record")
            ok = value(o.record) && !o.record.empty();
        else if (a == "--truth")
            ok = value(o.truth) && !o.truth.empty();
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
        else if (a == "--no-page-console")
            o.pageConsole = false;
        else if (a == "--fresh")
            o.fresh = true;
        else if (a == "--help" || a == "-h")
            o.help = true;
        else if (a == "--size") {
            expected = "WxH, each 1 to 8192, e.g. 390x844";
            char tail = 0;
            ok = value(v) && std::sscanf(v.c_str(), "%dx%d%c", &o.width, &o.height, &tail) == 2 && o.width > 0 &&
                 o.height > 0 && o.width <= 8192 && o.height <= 8192;
            o.sizeGiven = true;
        } else if (a == "--orientation") {
            expected = "0 to 6";
            ok = value(v) && parseInt(v, n) && n >= 0 && n <= 6;
            if (ok) o.orientation = n;
            o.orientationGiven = true;
        } else if (a == "--click-at") {
            expected = "T:X,Y, seconds 0 to 86400 and a window point, e.g. 1.5:195,400";
            TimedClick c;
            char tail = 0;
            ok = value(v) && std::sscanf(v.c_str(), "%lf:%d,%d%c", &c.seconds, &c.x, &c.y, &tail) == 3 &&
                 c.seconds >= 0 && c.seconds <= 86400 && c.x >= 0 && c.y >= 0 && c.x <= 16384 && c.y <= 16384;
            if (ok) o.clicks.push_back(c);
        } else if (a == "--orientation-at") {
            expected = "T:N, seconds 0 to 86400 and an orientation 0 to 6, e.g. 2.5:3";
            TimedOrientation t;
            const size_t colon = value(v) ? v.find(':') : std::string::npos;
            char* end = nullptr;
            ok = colon != std::string::npos && colon > 0;
            const std::string time = ok ? v.substr(0, colon) : std::string();
            if (ok) t.seconds = std::strtod(time.c_str(), &end);
            ok = ok && !*end && t.seconds >= 0 && t.seconds <= 86400 && parseInt(v.substr(colon + 1), n) && n >= 0 &&
                 n <= 6;
            if (ok) {
                t.orientation = n;
                o.orientations.push_back(t);
            }
        } else if (a == "--frames") {
            expected = "a whole number, 0 to 1000000";
            ok = value(v) && parseInt(v, n) && n >= 0 && n <= 1000000;
            if (ok) o.frames = static_cast<int>(n);
        } else if (a == "--seconds") {
            expected = "a number of seconds, 0 to 86400";
            char* end = nullptr;
            ok = value(v);
            if (ok) o.seconds = std::strtod(v.c_str(), &end);
            ok = ok && !v.empty() && !*end && o.seconds >= 0 && o.seconds <= 86400;
        } else {
            error = "unknown option " + clippedForLog(a, 80) + " (see --help)";
            return false;
        }
        if (inlineValue) {
            error = a + " takes no value";
            return false;
        }
        if (!ok) {
            if (missing)
                error = a + " needs a value";
            else
                error = "bad value for " + a + ": \"" + clippedForLog(v, 80) + "\"" +
                        (expected.empty() ? "" : " (expected " + expected + ")");
            return false;
        }
    }
    return true;
}

namespace {

// "%20" back to " "; false on a "%" without two hex digits.
bool percentDecoded(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return false;
        out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return true;
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && lowercase(text.substr(0, prefix.size())) == prefix;
}

// The file URL of an existing local page (a directory: its index.html).
std::optional<std::string> localPageAddress(fs::path path, const std::string& suffix, const std::string& shown,
                                            std::string& error) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) path /= "index.html";
    if (!fs::is_regular_file(path, ec)) {
        error = "no such page file: " + clippedForLog(shown, 200);
        return std::nullopt;
    }
    return fileURLForPath(path.lexically_normal().string()) + suffix;
}

}  // namespace

std::optional<std::string> pageAddress(const std::string& text, const std::string& resources,
                                       const std::string& workingDirectory, std::string& error) {
    if (text.empty()) {
        error = "no page given";
        return std::nullopt;
    }
    // The query and fragment stay as written.
    const size_t cut = text.find_first_of("?#");
    const std::string base = text.substr(0, cut);
    const std::string suffix = cut == std::string::npos ? "" : text.substr(cut);
    std::optional<std::string> address;
    if (startsWithNoCase(text, "file:///")) {
        std::string path;
        if (!percentDecoded(base.substr(7), path)) {
            error = "not a valid file URL: " + clippedForLog(text, 200);
            return std::nullopt;
        }
        address = localPageAddress(path, suffix, text, error);
    } else if (startsWithNoCase(text, "file://")) {
        address = resolvePageAddress(base, resources);
        if (!address) {
            error = "no page " + clippedForLog(base, 200) + " among the resources in " +
                    (resources.empty() ? "(none)" : resources);
            return std::nullopt;
        }
        *address += suffix;
    } else {
        std::error_code ec;
        const fs::path local = fs::path(workingDirectory) / base;  // an absolute base replaces the directory
        const std::string low = lowercase(base);
        auto endsWith = [&](const std::string& e) {
            return low.size() >= e.size() && low.compare(low.size() - e.size(), e.size(), e) == 0;
        };
        const bool looksLocal = !base.empty() && (base[0] == '/' || base.rfind("./", 0) == 0 ||
                                                  base.rfind("../", 0) == 0 || endsWith(".html") || endsWith(".htm"));
        if (!base.empty() && base.find("://") == std::string::npos && (fs::exists(local, ec) || looksLocal)) {
            address = localPageAddress(local, suffix, base, error);
        } else {
            address = resolvePageAddress(text, resources);
            if (!address) {
                error = "not a page address: " + clippedForLog(text, 200);
                return std::nullopt;
            }
        }
    }
    if (address && !parseURL(*address)) {
        error = "not a valid URL (write blanks and quotes in a query as %20 and %22): " + clippedForLog(*address, 200);
        return std::nullopt;
    }
    return address;
}

HostApp::HostApp(HostOptions options) : options_(std::move(options)) {}

HostApp::~HostApp() {
    cancelInput();
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
    // A webcam's image is upright in the sensor's own (landscape) orientation.
    if (!options_.camera.empty()) {
        if (!options_.orientationGiven) options_.orientation = 3;
        if (!options_.sizeGiven) {
            options_.width = 960;
            options_.height = 540;
        }
    }
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
    if (options_.camera.empty()) {
        recording_ = sim::SessionRecording::load(sessionDir, error);
        if (!recording_) return false;
        sessions_ = std::make_shared<sim::SimARSessionFactory>(recording_);
    }

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
    if (!options_.camera.empty() && !startLiveSession(error)) return false;
    if (!options_.record.empty()) {
        recorders_ = std::make_shared<sim::RecordingSessionFactory>(platform->ar, options_.record);
        platform->ar = recorders_;
    }
    if (!options_.defaults.empty()) platform->defaults = std::make_shared<FileUserDefaults>(options_.defaults);
    if (options_.logTap) platform->log = std::make_shared<TeeLog>(platform->log, options_.logTap);
    if (options_.probe || options_.pageConsole)
        platform->views = std::make_shared<HostViewFactory>(
            platform->views, options_.probe, options_.pageConsole ? std::make_shared<PageConsole>() : nullptr);

    Rect frame{0, 0, static_cast<double>(options_.width), static_cast<double>(options_.height)};
    auto hostView = std::make_shared<linux_platform::GtkBridgeView>(frame);
    hostView_ = hostView;
    hostWebView_ = makeWebKitPageView(frame, WebViewConfiguration{});
    controller_ = ViewControllerSDK::initWithView(hostView_, hostWebView_);
    if (liveCamera_) {
        // Live frames come when the camera delivers them; the host counts them.
        liveCamera_->setOnFrameDelivered([this] {
            ++framesDelivered_;
            comparePose();
            if (onFrameDelivered) onFrameDelivered();
        });
    }
    controller_->idleTimerDisabledDidChange = [](bool v) {
        std::cout << "host: idle timer disabled = " << (v ? "true" : "false") << std::endl;
    };

    bridgeView_ = hostView.get();
    // A resized window lays the views out again; the page hears its new size
    // with the next frame.
    std::weak_ptr<ViewControllerSDK> weakController = controller_;
    hostView->setResizeHandler([weakController] {
        if (auto c = weakController.lock()) {
            c->updateInterface();
            c->updateWindowSize = true;
        }
    });

    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), "TevraARWebGL host");
    gtk_window_set_default_size(GTK_WINDOW(window_), options_.width, options_.height);
    gtk_container_add(GTK_CONTAINER(window_), hostView->widget());
    // The window starts at the given size and may be made smaller.
    gtk_widget_set_size_request(hostView->widget(), 1, 1);
    g_signal_connect(window_, "key-press-event", G_CALLBACK(&HostApp::onKeyPress), this);
    gtk_widget_show_all(window_);

    controller_->viewWillAppear(true);
    if (options_.navigation) controller_->initNavigation();
    watchPageLoads();

    // The page: the one given, else the remembered one. The host loads it
    // itself, once, and marks the controller's first-tracking load as done:
    // that load would show the same page a second time.
    std::string page = options_.url;
    if (page.empty()) {
        if (std::optional<std::string> remembered = controller_->getURLFromUserDefaults();
            remembered && !remembered->empty()) {
            page = *remembered;
            std::cout << "host: no --url; loading the remembered page " << clippedForLog(page, 512) << " (from "
                      << (options_.defaults.empty() ? linux_platform::FileUserDefaults::defaultPath()
                                                    : options_.defaults)
                      << ")" << std::endl;
        } else {
            std::cout << "host: no --url and no remembered page; showing no page" << std::endl;
        }
    }
    if (!page.empty()) {
        std::error_code ec;
        const fs::path here = fs::current_path(ec);
        std::optional<std::string> address = pageAddress(page, platform->resourcesDirectory, here.string(), error);
        if (!address) return false;
        if (!controller_->wkWebView) {
            error = "no page view (see the lines above)";
            return false;
        }
        controller_->initialPageLoadedWhenTrackingBegins = true;
        pageRequested_ = true;
        controller_->wkWebView->loadRequest(*address);
        if (controller_->urlTextField) controller_->urlTextField->setText(*address);
    }
    return true;
}

// Between the page view and the controller: the host learns of every load,
// and the controller gets each call as before.
class HostApp::LoadWatcher : public WebNavigationDelegate {
public:
    LoadWatcher(HostApp& app, std::weak_ptr<WebNavigationDelegate> inner) : app_(app), inner_(std::move(inner)) {}
    void webViewDidStartProvisionalNavigation(WebView& view) override {
        if (auto d = inner_.lock()) d->webViewDidStartProvisionalNavigation(view);
    }
    void webViewDidFinishNavigation(WebView& view) override {
        ++app_.loadsFinished_;
        app_.pageShown_ = true;
        app_.scheduleInputIfPending();
        if (auto d = inner_.lock()) d->webViewDidFinishNavigation(view);
    }
    void webViewDidFailNavigation(WebView& view, const Error& error) override {
        failed(view, error);
        if (auto d = inner_.lock()) d->webViewDidFailNavigation(view, error);
    }
    void webViewDidFailProvisionalNavigation(WebView& view, const Error& error) override {
        failed(view, error);
        if (auto d = inner_.lock()) d->webViewDidFailProvisionalNavigation(view, error);
    }

private:
    // One line with the engine's reason; a load replaced by another is no
    // failure of the page.
    void failed(WebView& view, const Error& error) {
        if (error.code == kNavigationCancelledCode) return;
        ++app_.loadsFinished_;
        app_.pageShown_ = false;
        app_.scheduleInputIfPending();
        std::cerr << "tevra-host: the page did not load: " << clippedForLog(view.URL().value_or("(no address)"), 512)
                  << ": " << clippedForLog(error.localizedDescription, 512) << " (" << clippedForLog(error.domain, 64)
                  << " " << error.code << ")" << std::endl;
    }
    HostApp& app_;
    std::weak_ptr<WebNavigationDelegate> inner_;
};

void HostApp::watchPageLoads() {
    if (!controller_->wkWebView) return;
    loadWatcher_ = std::make_shared<LoadWatcher>(*this, controller_->wkWebView->navigationDelegate());
    controller_->wkWebView->setNavigationDelegate(loadWatcher_);
    // The inspector (right click, "Inspect Element") in a window.
    if (WebKitPageView* page = pageView(); page && !options_.headless)
        webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(page->webKitWebView()), TRUE);
}

std::shared_ptr<sim::SimARSession> HostApp::session() const { return sessions_ ? sessions_->lastSession() : nullptr; }

std::shared_ptr<ARSession> HostApp::liveSession() const { return liveCamera_ ? liveCamera_->lastSession() : nullptr; }

std::shared_ptr<sim::RecordingARSession> HostApp::recorder() const {
    return recorders_ ? recorders_->lastRecorder() : nullptr;
}

std::unique_ptr<LiveCamera> loadLiveCamera(std::string& error) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    const fs::path module = ec ? fs::path(kLiveCameraModule) : exe.parent_path() / kLiveCameraModule;
    // Never closed: the sessions it makes live as long as the platform.
    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto loaderError = [] {
        const char* e = dlerror();
        return clippedForLog(e ? e : "unknown error", 300);
    };
    if (!handle) {
        error = "the live camera module could not be loaded: " + loaderError();
        return nullptr;
    }
    auto create = reinterpret_cast<LiveCamera* (*)()>(dlsym(handle, kLiveCameraFactory));
    if (!create) {
        error = "the live camera module could not be loaded: " + loaderError();
        return nullptr;
    }
    std::unique_ptr<LiveCamera> camera(create());
    if (!camera) error = "the live camera module made no camera";
    return camera;
}

bool HostApp::startLiveSession(std::string& error) {
    liveCamera_ = loadLiveCamera(error);
    if (!liveCamera_) return false;
    LiveCameraOptions lo;
    lo.camera = options_.camera;
    lo.board = options_.board;
    lo.calibration = options_.calibration;
    lo.loop = options_.loop;
    std::string description;
    liveSessions_ = liveCamera_->start(lo, installedPlatform()->dispatch, description, error);
    if (!liveSessions_) return false;
    installedPlatform()->ar = liveSessions_;
    if (!options_.truth.empty()) {
        poseErrors_.truth = sim::SessionRecording::load(options_.truth, error);
        if (!poseErrors_.truth) return false;
    }
    std::cout << "host: " << description << std::endl;
    return true;
}

void HostApp::comparePose() {
    auto live = liveSession();
    std::shared_ptr<ARFrame> frame = live ? live->currentFrame() : nullptr;
    std::shared_ptr<ARCamera> camera = frame ? frame->camera() : nullptr;
    if (!camera) return;
    PoseErrors& e = poseErrors_;
    const long state = camera->trackingState();
    if (e.lastState != -1 && state != e.lastState) ++e.changes;
    e.lastState = state;
    (state == ARTrackingStateNormal ? e.normal : e.limited) += 1;
    if (!e.truth || state != ARTrackingStateNormal) return;
    // The true frame of the same time (the sequence's frame times are i / fps).
    const auto& frames = e.truth->frames();
    auto it = std::lower_bound(frames.begin(), frames.end(), frame->timestamp(),
                               [](const sim::RecordedFrame& f, double t) { return f.timestamp < t; });
    const double half = e.truth->frameInterval() / 2;
    const sim::RecordedFrame* best = nullptr;
    for (auto c : {it, it == frames.begin() ? it : it - 1})
        if (c != frames.end() && std::abs(c->timestamp - frame->timestamp()) <= half &&
            (!best || std::abs(c->timestamp - frame->timestamp()) < std::abs(best->timestamp - frame->timestamp())))
            best = &*c;
    if (!best) return;
    const float4x4 seen = camera->transform(), truth = best->transform;
    const double dx = seen.m(3, 0) - truth.m(3, 0), dy = seen.m(3, 1) - truth.m(3, 1),
                 dz = seen.m(3, 2) - truth.m(3, 2);
    e.metres.push_back(std::sqrt(dx * dx + dy * dy + dz * dz));
    // The angle of the rotation between them: trace(Rs^T Rt) = 1 + 2 cos(angle).
    double trace = 0;
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) trace += static_cast<double>(seen.m(c, r)) * truth.m(c, r);
    e.degrees.push_back(std::acos(std::clamp((trace - 1) / 2, -1.0, 1.0)) * 180 / M_PI);
}

void HostApp::finishRecording() {
    auto r = recorder();
    if (!r) return;
    std::string error;
    if (r->finish(error))
        std::cout << "record: " << r->framesRecorded() << " frames in " << r->directory() << std::endl;
    else
        std::cerr << "tevra-host: --record: " << error << std::endl;
}

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
    const gint64 start = g_get_monotonic_time();
    if (!s->step()) return false;
    // The main thread's work per frame: the session's and the controller's.
    if (stepMilliseconds_.size() < 100000) stepMilliseconds_.push_back((g_get_monotonic_time() - start) / 1000.0);
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

cairo_surface_t* HostApp::composite() {
    if (!controller_ || !bridgeView_) return nullptr;
    GtkWidget* host = bridgeView_->widget();
    if (!gtk_widget_get_realized(host)) return nullptr;
    // Let GTK finish a pending layout and paint, so the picture is the
    // window's current state.
    for (int i = 0; i < 100 && gtk_events_pending(); ++i) gtk_main_iteration_do(FALSE);
    const int w = std::max(1, gtk_widget_get_allocated_width(host));
    const int h = std::max(1, gtk_widget_get_allocated_height(host));
    cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(out);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    gtk_widget_draw(host, cr);
    cairo_destroy(cr);
    cairo_surface_flush(out);
    return out;
}

bool HostApp::click(int x, int y) {
    if (!window_ || !bridgeView_) return false;
    GtkWidget* host = bridgeView_->widget();
    int hx = 0, hy = 0;
    if (!gtk_widget_translate_coordinates(window_, host, x, y, &hx, &hy) || hx < 0 || hy < 0 ||
        hx >= gtk_widget_get_allocated_width(host) || hy >= gtk_widget_get_allocated_height(host))
        return false;
    WebKitPageView* page = pageView();
    GtkWidget* web = page ? page->widget() : nullptr;
    int px = 0, py = 0;
    GtkAllocation a{};
    if (web) gtk_widget_get_allocation(web, &a);
    const bool onPage = web && gtk_widget_get_mapped(web) && gtk_widget_get_window(web) &&
                        gtk_widget_translate_coordinates(window_, web, x, y, &px, &py) && px >= 0 && py >= 0 &&
                        px < a.width && py < a.height;
    if (!onPage) {
        // Nothing takes clicks there but the host view.
        bridgeView_->fireTap();
        return true;
    }
    // The press and release a mouse gives, in the page widget's window.
    GdkWindow* target = gtk_widget_get_window(web);
    if (!gtk_widget_get_has_window(web)) {
        px += a.x;
        py += a.y;
    }
    GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(gtk_widget_get_display(web)));
    int rootX = 0, rootY = 0;
    gdk_window_get_origin(target, &rootX, &rootY);
    const guint32 time = static_cast<guint32>(g_get_monotonic_time() / 1000);
    for (GdkEventType type : {GDK_MOTION_NOTIFY, GDK_BUTTON_PRESS, GDK_BUTTON_RELEASE}) {
        GdkEvent* e = gdk_event_new(type);
        if (type == GDK_MOTION_NOTIFY) {
            e->motion.window = GDK_WINDOW(g_object_ref(target));
            e->motion.send_event = TRUE;
            e->motion.time = time;
            e->motion.x = px;
            e->motion.y = py;
            e->motion.x_root = rootX + px;
            e->motion.y_root = rootY + py;
        } else {
            e->button.window = GDK_WINDOW(g_object_ref(target));
            e->button.send_event = TRUE;
            e->button.time = time;
            e->button.x = px;
            e->button.y = py;
            e->button.x_root = rootX + px;
            e->button.y_root = rootY + py;
            e->button.button = 1;
            e->button.state = type == GDK_BUTTON_RELEASE ? GDK_BUTTON1_MASK : 0;
        }
        gdk_event_set_device(e, pointer);
        gdk_event_set_source_device(e, pointer);
        gtk_main_do_event(e);
        gdk_event_free(e);
    }
    return true;
}

bool HostApp::setOrientation(long orientation) {
    if (orientation < 0 || orientation > 6) return false;
    auto device = std::dynamic_pointer_cast<linux_platform::LinuxDevice>(platform().device);
    if (!device) return false;
    auto landscape = [](long o) { return o == 3 || o == 4; };
    const long before = controller_ ? controller_->interfaceOrientation : device->orientation();
    device->setOrientation(orientation);
    // A phone's screen turns with it.
    if (window_ && orientation >= 1 && orientation <= 4 && landscape(before) != landscape(orientation)) {
        int w = 0, h = 0;
        gtk_window_get_size(GTK_WINDOW(window_), &w, &h);
        if (w != h) gtk_window_resize(GTK_WINDOW(window_), h, w);
    }
    return true;
}

gboolean HostApp::onKeyPress(GtkWidget*, GdkEventKey* event, gpointer data) {
    if ((event->state & gtk_accelerator_get_default_mod_mask()) != GDK_CONTROL_MASK) return FALSE;
    long orientation = 0;
    switch (event->keyval) {
        case GDK_KEY_Up:
            orientation = 1;
            break;
        case GDK_KEY_Down:
            orientation = 2;
            break;
        case GDK_KEY_Left:
            orientation = 3;
            break;
        case GDK_KEY_Right:
            orientation = 4;
            break;
        default:
            return FALSE;
    }
    static_cast<HostApp*>(data)->setOrientation(orientation);
    return TRUE;
}

void HostApp::scheduleInput() {
    struct Timed {
        HostApp* app;
        std::optional<TimedClick> click;
        std::optional<TimedOrientation> orientation;
    };
    auto add = [this](double seconds, Timed* timed) {
        const guint ms = static_cast<guint>(std::clamp(seconds, 0.0, 86400.0) * 1000 + 0.5);
        inputSources_.push_back(g_timeout_add_full(
            G_PRIORITY_DEFAULT, ms,
            [](gpointer d) -> gboolean {
                auto* t = static_cast<Timed*>(d);
                if (t->click) {
                    std::cout << "host: click at " << t->click->x << "," << t->click->y << std::endl;
                    if (!t->app->click(t->click->x, t->click->y))
                        std::cerr << "tevra-host: --click-at " << t->click->x << "," << t->click->y
                                  << " lies outside the window" << std::endl;
                }
                if (t->orientation) {
                    std::cout << "host: orientation " << t->orientation->orientation << std::endl;
                    t->app->setOrientation(t->orientation->orientation);
                }
                return G_SOURCE_REMOVE;
            },
            timed, [](gpointer d) { delete static_cast<Timed*>(d); }));
    };
    for (const TimedClick& c : options_.clicks) add(c.seconds, new Timed{this, c, std::nullopt});
    for (const TimedOrientation& o : options_.orientations) add(o.seconds, new Timed{this, std::nullopt, o});
}

void HostApp::scheduleInputIfPending() {
    if (!inputPending_) return;
    inputPending_ = false;
    scheduleInput();
}

void HostApp::cancelInput() {
    inputPending_ = false;
    // A source that already ran is gone; removing it again only warns, so
    // look it up first.
    for (guint id : inputSources_)
        if (GSource* source = g_main_context_find_source_by_id(nullptr, id); source && !g_source_is_destroyed(source))
            g_source_remove(id);
    inputSources_.clear();
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
    // Headless, the frame and time limits count from when the page is there
    // (or failed), so a slow load does not eat the run.
    if (options_.headless && pageRequested_) iterateUntil([this] { return loadsFinished_ > 0; }, kMaxLoadWaitSeconds);
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
    // Scripted input counts from when the page is there (or failed).
    if (loadsFinished_ > 0 || !pageRequested_)
        scheduleInput();
    else
        inputPending_ = true;
    g_main_loop_run(loop);
    cancelInput();
    stopPlayback();
    stalls.stop();
    onFrameDelivered = nullptr;
    if (run.timeSource) g_source_remove(run.timeSource);
    if (window_) g_signal_handler_disconnect(window_, destroyHandler);
    g_main_loop_unref(loop);
    // The camera stops and the recording is written before the report.
    if (auto live = liveSession()) live->pause();
    finishRecording();
    if (!window_) return 0;  // closed by the user

    int status = 0;
    if (options_.headless) {
        // Without new AR frames the page's last acknowledgement draws the
        // camera image of the frame the page drew last: both then match.
        iterateUntil([] { return false; }, 0.3);
        // The page's own report: listeners of "tevra:report" fill in the
        // event's detail object.
        auto state = evaluate(
            "(function () {"
            "  var e = new CustomEvent('tevra:report', {detail: {}});"
            "  window.dispatchEvent(e);"
            "  return e.detail && typeof e.detail === 'object' && Object.keys(e.detail).length ? e.detail : null;"
            "})()");
        auto received = evaluate("window.Zephral ? Zephral.framesReceived : -1");
        auto posted = evaluate("window.Zephral ? Zephral.messagesPosted : -1");
        const bool shot = writeScreenshot(options_.screenshot);
        auto number = [](const std::optional<nlohmann::json>& v) { return v && v->is_number() ? v->get<long>() : -1L; };
        std::cout << "report: frames delivered " << framesDelivered_ << ", frame calls received by the page "
                  << number(received) << ", messages the page posted " << number(posted) << "\n";
        std::cout << "report: main-thread stalls " << stalls.summary() << "\n";
        // The p-th quantile of a list of figures (0 for none).
        auto at = [](std::vector<double> v, double p) {
            if (v.empty()) return 0.0;
            std::sort(v.begin(), v.end());
            return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
        };
        if (!stepMilliseconds_.empty()) {
            std::printf("report: main thread per session frame p50 %.3f ms\n", at(stepMilliseconds_, 0.5));
            std::fflush(stdout);
        }
        if (auto live = liveSession()) {
            const live::LiveSessionStats st = liveCamera_->stats();
            std::printf(
                "report: live camera: images %llu, tracked %llu, frames %llu (board seen in %llu); "
                "image to frame delivery p50 %.2f ms, p95 %.2f ms; tracking p50 %.2f ms; main thread per "
                "frame p50 %.3f ms\n",
                static_cast<unsigned long long>(st.imagesReceived), static_cast<unsigned long long>(st.imagesTracked),
                static_cast<unsigned long long>(st.framesDelivered),
                static_cast<unsigned long long>(st.framesWithBoard), st.latencyP50Ms, st.latencyP95Ms, st.trackingP50Ms,
                st.deliveryP50Ms);
            const PoseErrors& e = poseErrors_;
            std::printf("report: live tracking: normal in %d frames, limited in %d, %d changes of state\n", e.normal,
                        e.limited, e.changes);
            if (e.truth) {
                std::printf(
                    "report: pose error against the truth: %zu frames; position median %.2f cm, p95 %.2f cm; "
                    "rotation median %.2f deg, p95 %.2f deg\n",
                    e.metres.size(), at(e.metres, 0.5) * 100, at(e.metres, 0.95) * 100, at(e.degrees, 0.5),
                    at(e.degrees, 0.95));
            }
            std::fflush(stdout);
        }
        if (state && !state->is_null()) {
            std::string text = state->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            if (text.size() > kMaxReportBytes)
                text = nlohmann::json{{"error", "the page's report is too large"}, {"bytes", text.size()}}.dump();
            std::cout << "page: " << text << "\n";
        }
        std::cout << "screenshot: " << (shot ? fs::absolute(options_.screenshot).string() : "(failed)") << std::endl;
        status = shot ? 0 : 1;
        if (pageRequested_ && !pageShown_) {
            std::cerr << "tevra-host: the page is not shown (it never finished loading, or its web process ended)"
                      << std::endl;
            status = 1;
        }
    }
    return status;
}

}  // namespace tevra::host
