// tevra-host: the desktop host application (see HostApp.h).
//
//   tevra-host [--url TEXT] [--session DIR] [--resources DIR] [--documents DIR]
//              [--defaults FILE.json]
//              [--size WxH] [--orientation N] [--navigation] [--no-loop]
//              [--headless] [--frames N] [--seconds S] [--screenshot FILE.png]
//
// Headless runs (under Xvfb) stop after the given frames or seconds (5 s when
// neither is given), write the screenshot (camera image with the page
// composited over it) and print a short report: frames delivered, frame calls
// the page received, messages it posted, how long the main thread stalled
// (99th percentile and maximum), and the demo page's own state.
// A page URL may carry the demo page's query parameters, e.g.
//   --url "http://127.0.0.1:8808/demo/index.html?sign=...&digit=...&vps=..."
#include <gtk/gtk.h>

#include <iostream>
#include <string>

#include "HostApp.h"

int main(int argc, char** argv) {
    tevra::host::HostOptions options;
    std::string error;
    if (!tevra::host::parseHostOptions(argc, argv, options, error)) {
        std::cerr << "tevra-host: " << error << "\n" << tevra::host::hostUsage();
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
