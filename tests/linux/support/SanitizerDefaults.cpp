// Leak-check suppressions for the toolkit libraries' own caches, which GTK,
// fontconfig, D-Bus and WebKit allocate once and never free. Linked into
// every Linux test program.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libdbus-1.so\n"
           "leak:libjavascriptcoregtk-4.1.so\n"
           "leak:libwebkit2gtk-4.1.so\n"
           "leak:libgtk-3.so\n"
           "leak:libgdk-3.so\n"
           "leak:gtk_init_check\n";
}
