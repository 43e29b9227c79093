// tevra-embed: the smallest GTK application that hosts the bridge.
//
//   tevra-embed --session DIR --resources DIR [--url TEXT] [--frames N]
//
// It installs the Linux platform with a recorded AR session (the simulated
// session stands in for a camera), puts the bridge's widget into a window,
// loads the page and plays the session on the main loop. With --frames it
// stops after that many frames and reports how many frame calls the demo
// page received (exit status 0 when it received any), so it also runs
// headless under Xvfb.
#include <TevraARWebGL/embed/GtkBridge.h>
#include <TevraARWebGL/platform/linux/LinuxPlatform.h>
#include <TevraARWebGL/platform/sim/SimARSession.h>

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

using namespace tevra;

namespace {

struct Run {
    std::shared_ptr<sim::SimARSessionFactory> sessions;
    std::unique_ptr<linux_platform::GtkBridge> bridge;
    int framesLeft = -1;  // -1: play until the window closes
    long pageFrames = -1;
    bool pageAnswered = false;
};

// One recorded frame per tick; with a frame budget, stops the loop when it is spent.
gboolean deliverFrame(gpointer data) {
    auto* run = static_cast<Run*>(data);
    if (auto session = run->sessions->lastSession()) session->step();
    if (run->framesLeft > 0 && --run->framesLeft == 0) {
        // Ask the page what it saw, then stop.
        run->bridge->controller()->wkWebView->evaluateJavaScript(
            "window.demo && window.demo.state ? window.demo.state().frames : -1",
            [run](const nlohmann::json& value, const std::optional<Error>&) {
                if (value.is_number()) run->pageFrames = value.get<long>();
                run->pageAnswered = true;
                gtk_main_quit();
            });
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    std::string sessionDir, resources, url = "file://demo";
    Run run;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--session")
            sessionDir = v;
        else if (a == "--resources")
            resources = v;
        else if (a == "--url")
            url = v;
        else if (a == "--frames")
            run.framesLeft = std::atoi(v.c_str());
    }
    if (sessionDir.empty() || resources.empty()) {
        std::fprintf(stderr, "usage: tevra-embed --session DIR --resources DIR [--url TEXT] [--frames N]\n");
        return 2;
    }
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "tevra-embed: no display\n");
        return 2;
    }
    std::string error;
    auto recording = sim::SessionRecording::load(sessionDir, error);
    if (!recording) {
        std::fprintf(stderr, "tevra-embed: %s\n", error.c_str());
        return 1;
    }

    // 1. The platform: the Linux services, with the recorded session as the AR session.
    run.sessions = std::make_shared<sim::SimARSessionFactory>(recording);
    linux_platform::LinuxPlatformOptions options;
    options.ar = run.sessions;
    options.resourcesDirectory = resources;
    linux_platform::installLinuxPlatform(options);

    // 2. The bridge in a window; showing it makes the controller appear.
    run.bridge = linux_platform::GtkBridge::create(390, 844, error);
    if (!run.bridge) {
        std::fprintf(stderr, "tevra-embed: %s\n", error.c_str());
        return 1;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "TevraARWebGL embedded");
    gtk_container_add(GTK_CONTAINER(window), run.bridge->widget());
    // Closing the window ends the loop; the bridge goes before the window.
    g_signal_connect(window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer) -> gboolean {
                         gtk_main_quit();
                         return TRUE;
                     }),
                     nullptr);
    gtk_widget_show_all(window);

    // 3. The page, and the session played at its own frame rate.
    run.bridge->controller()->loadURL(url);
    const double interval = std::max(0.005, recording->frameInterval());
    g_timeout_add(static_cast<guint>(interval * 1000), deliverFrame, &run);
    gtk_main();

    const bool budgeted = run.framesLeft == 0;
    run.bridge.reset();
    gtk_widget_destroy(window);
    if (!budgeted) return 0;
    std::printf("tevra-embed: the page received %ld frame calls\n", run.pageFrames);
    return run.pageFrames > 0 ? 0 : 1;
}
