// The desktop host: embeds the library the way a mobile host would. It makes
// a host view (a GtkOverlay in a window) and a host web view, creates
// ViewControllerSDK, forwards the appearance calls, and plays a recorded AR
// session in real time on the GLib main loop.
//
// In: options (page URL, session directory, window size, orientation,
// navigation chrome, headless limits, scripted clicks and orientation
// changes). Out: a window with the camera image and the page over it, where
// clicks the page leaves alone are taps, resizes lay the views out again and
// Ctrl+arrows turn the device; in headless runs a screenshot PNG (the window
// as GTK draws it) and a report.
// Fails: start() returns false with an error text (no display, a session
// that does not load); nothing throws.
// Example: a 390 x 844 portrait window playing the 320 x 240 demo session
// shows the camera image aspect-filled (turned a quarter turn) under the
// demo page; the page's grid lies on the floor of that image.
//
// Threads: main thread only (the default GLib main context).
#pragma once

#include <cairo.h>
#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "LiveCamera.h"
#include "TevraARWebGL/TevraARWebGL.h"
#include "platform/sim/SessionRecorder.h"
#include "platform/sim/SimARSession.h"

namespace tevra::linux_platform {
class GtkBridgeView;
class GtkCameraView;
class WebKitPageView;
}  // namespace tevra::linux_platform

namespace tevra::host {

// A click at a window point at a time of the run (--click-at T:X,Y).
struct TimedClick {
    double seconds = 0;
    int x = 0, y = 0;
};
// A device orientation change at a time of the run (--orientation-at T:CODE).
struct TimedOrientation {
    double seconds = 0;
    long orientation = 1;
};

struct HostOptions {
    std::string url;      // the page (see pageAddress); empty: the remembered one, if any
    std::string session;  // recorded session directory; empty: examples/sessions/demo beside
                          // the executable or in the source tree around it
    std::string camera;   // a live camera (--camera v4l2:/dev/video0 | file:PATH | test) instead of the session
    std::string board = "default";  // the printed board the live session tracks (platform/live/Board.h)
    std::string calibration;        // the live camera's calibration file; empty: a 60 degree field of view
    std::string record;             // record what the session plays into this directory
    std::string truth;              // a recorded session with the true poses of a generated camera
                                    // (tevra-synth board): the report gives the live poses' error
    std::string resources;          // the application's pages; empty: "resources" beside the executable,
                                    // else examples/resources as for the session
    std::string documents;          // downloaded models; empty: the per-user data directory
    std::string defaults;           // the settings file (remembered URL); empty: the per-user one
    std::string screenshot = "tevra-host.png";
    int width = 390, height = 844;
    long orientation = 1;
    bool sizeGiven = false, orientationGiven = false;  // a live camera defaults to a landscape window
    bool navigation = false;
    bool headless = false;
    bool loop = true;         // replay the session again after its last frame
    bool help = false;        // --help: print the usage and stop
    bool pageConsole = true;  // print the page's console messages and uncaught errors ("page: ")
    bool fresh = false;       // start with no remembered page, caches or documents (main.cpp)
    int frames = 0;           // headless: stop after this many delivered frames
    double seconds = 0;       // headless: stop after this long
    // Scripted input, timed from when the page finished loading (or failed),
    // in any order.
    std::vector<TimedClick> clicks;
    std::vector<TimedOrientation> orientations;
    // When set, the page view gets one more message channel, "hostProbe",
    // whose messages go here, and a document-start script that posts the
    // frame call's first number on it each time window.handleARFrame is
    // entered, before the page's own handler runs (benchmarks measure the
    // page with it).
    std::shared_ptr<ScriptMessageHandler> probe;
    // When set, every log line also goes here (after the platform's own log).
    std::shared_ptr<Log> logTap;
};

inline constexpr const char* kProbeChannel = "hostProbe";
// The page console's channel (HostOptions::pageConsole).
inline constexpr const char* kConsoleChannel = "hostConsole";

// Parses the command line; false with `error` set on a bad argument.
bool parseHostOptions(int argc, char** argv, HostOptions& options, std::string& error);
const char* hostUsage();

// The address the host loads for a page text (--url or the remembered page).
// In: the text, the resources directory and the directory relative paths
// start from. Rules, first match wins:
//  - "file:///PATH[?QUERY]": PATH (percent-decoded) must exist; a directory
//    means its index.html; the address is the file's URL with the query.
//  - "file://NAME[?QUERY]": a page among the resources, resolved as the
//    controller does (NAME.html, NAME, NAME/index.html), with the query.
//  - a local path, relative or absolute, with an optional "?QUERY" or
//    "#FRAGMENT": when it exists (or looks like a path: starts with "/", "./",
//    "../" or ends in ".html"/".htm"), its percent-encoded file URL.
//  - anything else (http and https URLs, host names) as the controller
//    resolves it: "www.example.com" gives "http://www.example.com".
// Queries and fragments are kept as written. Fails: none and `error` set (a
// missing file, no such resource, a text that is no URL).
// Example: "site/index.html?debug=1" from /home/a gives
// "file:///home/a/site/index.html?debug=1".
std::optional<std::string> pageAddress(const std::string& text, const std::string& resources,
                                       const std::string& workingDirectory, std::string& error);

class HostApp {
public:
    explicit HostApp(HostOptions options);
    ~HostApp();
    HostApp(const HostApp&) = delete;
    HostApp& operator=(const HostApp&) = delete;

    // Loads the session, installs the Linux platform, builds the window and
    // the controller, forwards viewWillAppear and loads the URL. GTK must be
    // initialised. False with `error` set when something is missing.
    bool start(std::string& error);

    // Real-time playback of the session on a GLib timeout at the recording's
    // frame interval.
    void startPlayback();
    void stopPlayback();
    bool isPlaying() const { return frameSource_ != 0; }
    // Delivers the next frame now; false when none was delivered.
    bool step();
    int framesDelivered() const { return framesDelivered_; }
    // Called after each delivered frame (main thread).
    std::function<void()> onFrameDelivered;

    // Iterates the default main context until `done` holds or `seconds`
    // pass; returns done().
    static bool iterateUntil(const std::function<bool()>& done, double seconds);
    // Evaluates a script in the page view and waits up to `seconds` for its
    // value; none on error or time-out.
    std::optional<nlohmann::json> evaluate(const std::string& script, double seconds = 5);

    // What the window shows: the host view's widgets (the camera view's
    // painted image, the page over it) drawn as GTK draws them, ARGB32 at
    // the host view's size; null on failure. Caller destroys it.
    cairo_surface_t* composite();

    // A person's click at a point of the window (points from its top left):
    // a mouse press and release on the page view, which the page gets like
    // any click; where the page leaves it alone (or no page view lies
    // there), it is the host view's tap. False when the point is outside
    // the window.
    bool click(int x, int y);
    // Turns the device to an orientation code (0 to 6); the controller hears
    // of it and tells the page. Between portrait (1, 2) and landscape (3, 4)
    // the window turns too: its width and height swap. False for a code out
    // of range.
    bool setOrientation(long orientation);
    bool writeScreenshot(const std::string& path);

    // The whole program: plays until the window closes or, headless, until
    // the frame or time limit; then writes the screenshot and the report.
    // Returns the exit status.
    int run();

    const HostOptions& options() const { return options_; }
    ViewControllerSDK& controller() { return *controller_; }
    // The simulated session, when the host plays a recorded one.
    std::shared_ptr<sim::SimARSession> session() const;
    const sim::SessionRecording& recording() const { return *recording_; }
    // The live session, when the host runs a camera (--camera).
    std::shared_ptr<ARSession> liveSession() const;
    // The recorder (--record), while it lives.
    std::shared_ptr<sim::RecordingARSession> recorder() const;
    linux_platform::GtkCameraView* cameraView() const;
    linux_platform::WebKitPageView* pageView() const;
    GtkWidget* window() const { return window_; }

    // True while the last page load finished without failing (an ended web
    // process fails it until the page view's reload finishes).
    bool pageShown() const { return pageShown_; }

    // The page's headless report is cut above this size.
    static constexpr size_t kMaxReportBytes = 64 * 1024;
    // Headless runs wait this long at most for the page before playing.
    static constexpr double kMaxLoadWaitSeconds = 30;

private:
    static gboolean deliverFrame(gpointer data);
    static gboolean onKeyPress(GtkWidget*, GdkEventKey* event, gpointer self);
    void watchPageLoads();
    // Timers for the options' clicks and orientation changes.
    void scheduleInput();
    void scheduleInputIfPending();  // after a load that run() waited for
    void cancelInput();

    HostOptions options_;
    std::shared_ptr<const sim::SessionRecording> recording_;
    std::shared_ptr<sim::SimARSessionFactory> sessions_;
    std::unique_ptr<LiveCamera> liveCamera_;  // --camera: the loaded module
    std::shared_ptr<ARSessionFactory> liveSessions_;
    std::shared_ptr<sim::RecordingSessionFactory> recorders_;
    bool startLiveSession(std::string& error);
    // --truth: each live frame's pose against the true one of the same time.
    struct PoseErrors {
        std::shared_ptr<const sim::SessionRecording> truth;
        std::vector<double> metres, degrees;
        int normal = 0, limited = 0, changes = 0;
        long lastState = -1;
    } poseErrors_;
    void comparePose();
    void finishRecording();
    std::shared_ptr<View> hostView_;
    linux_platform::GtkBridgeView* bridgeView_ = nullptr;  // hostView_
    std::vector<guint> inputSources_;
    bool inputPending_ = false;  // run() waits for the page before scheduling the input
    std::shared_ptr<WebView> hostWebView_;
    std::shared_ptr<ViewControllerSDK> controller_;
    GtkWidget* window_ = nullptr;
    guint frameSource_ = 0;
    int framesDelivered_ = 0;
    std::vector<double> stepMilliseconds_;  // simulated frames: the main thread's time per step
    class LoadWatcher;
    std::shared_ptr<LoadWatcher> loadWatcher_;
    int loadsFinished_ = 0;
    bool pageShown_ = false;      // see pageShown()
    bool pageRequested_ = false;  // a page was loaded at start
};

}  // namespace tevra::host
