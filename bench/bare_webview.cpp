// A bare WebKitGTK window showing one page: the baseline tevra-host's own
// memory and start-up are measured against (tools/host_footprint.py
// --bare). Prints "load-finished" when the page has loaded and stays up
// until killed or SECONDS have passed.
//
//     bare_webview URI [SECONDS]
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstdlib>

namespace {

void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer) {
    if (event != WEBKIT_LOAD_FINISHED) return;
    std::printf("load-finished\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bare_webview URI [SECONDS]\n");
        return 2;
    }
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 390, 844);
    GtkWidget* view = webkit_web_view_new();
    g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), nullptr);
    gtk_container_add(GTK_CONTAINER(window), view);
    gtk_widget_show_all(window);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
    const unsigned seconds = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 30;
    g_timeout_add_seconds(
        seconds,
        [](gpointer) -> gboolean {
            gtk_main_quit();
            return G_SOURCE_REMOVE;
        },
        nullptr);
    gtk_main();
    return 0;
}
