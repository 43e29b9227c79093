// tevra-host: the desktop host application (see HostApp.h); `tevra-host
// --help` lists the options.
//
// Headless runs (under Xvfb) stop after the given frames or seconds (5 s when
// neither is given), write the screenshot (the window as GTK draws it: the
// camera image and the page over it) and print a short report: frames delivered, frame calls
// the page received, messages it posted, how long the main thread stalled
// (99th percentile and maximum), and the page's own report (the "tevra:report"
// event, README.md).
// A page URL may carry the demo page's query parameters, e.g.
//   --url "http://127.0.0.1:8808/demo/index.html?sign=...&digit=...&vps=..."
#include <gtk/gtk.h>
#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <string>

#include "HostApp.h"

namespace {

// --fresh: the per-user directories (settings with the remembered page,
// downloaded models, the web engine's caches and storage) point into a new
// temporary directory for this run, removed at the end. Set before GLib reads
// them.
class FreshState {
public:
    bool make(std::string& error) {
        std::string pattern = (std::filesystem::temp_directory_path() / "tevra-host-fresh-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            error = "--fresh: cannot make a temporary directory";
            return false;
        }
        dir_ = pattern;
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
            const std::filesystem::path sub = dir_ / name;
            std::error_code ec;
            std::filesystem::create_directories(sub, ec);
            setenv(name, sub.c_str(), 1);
        }
        std::cout << "host: --fresh: starting clean in " << dir_.string() << " (removed at the end)" << std::endl;
        return true;
    }
    ~FreshState() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }

private:
    std::filesystem::path dir_;
};

}  // namespace

int main(int argc, char** argv) {
    tevra::host::HostOptions options;
    std::string error;
    if (!tevra::host::parseHostOptions(argc, argv, options, error)) {
        std::cerr << "tevra-host: " << error << "\n";
        return 2;
    }
    if (options.help) {
        std::cout << tevra::host::hostUsage();
        return 0;
    }
    FreshState fresh;
    if (options.fresh && !fresh.make(error)) {
        std::cerr << "tevra-host: " << error << "\n";
        return 2;
    }
    if (!gtk_init_check(&argc, &argv)) {
        std::cerr << "tevra-host: no display (run under Xvfb for --headless)\n";
        return 2;
    }
    int status = 0;
    {
        tevra::host::HostApp app(options);
        if (!app.start(error)) {
            std::cerr << "tevra-host: " << error << "\n";
            return 2;
        }
        status = app.run();
    }
    return status;
}
