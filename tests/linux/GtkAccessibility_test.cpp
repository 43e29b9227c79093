// The GTK accessibility service on a real window (under Xvfb, with
// NO_AT_BRIDGE=1 as the other GTK tests): the window's accessible object
// carries the notice's text and announces it; a notice without text gives the
// description back.
#include "platform/linux/GtkAccessibility.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fake/FakePlatform.h"

using namespace tevra;
using tevra::linux_platform::GtkAccessibility;

namespace {

void onAnnouncement(AtkObject*, const char* text, gpointer heard) {
    static_cast<std::vector<std::string>*>(heard)->push_back(text ? text : "(null)");
}

}  // namespace

TEST(GtkAccessibility, TheWindowsAccessibleCarriesAndAnnouncesTheNotice) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display (run under xvfb-run)";
    auto fake = fake::FakePlatform::install();
    GtkAccessibility service;
    EXPECT_EQ(service.target(), nullptr);
    EXPECT_FALSE(service.postLayoutChanged(nullptr, "Page loading")) << "no window yet: dropped";
    EXPECT_FALSE(service.postLayoutChanged(nullptr, "Page loading"));
    EXPECT_EQ(fake->log->systemLines(), std::vector<std::string>{"Accessibility: no window to post notices on"});

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_show(window);
    AtkObject* accessible = gtk_widget_get_accessible(window);
    ASSERT_EQ(service.target(), accessible);
    atk_object_set_description(accessible, "Host window");
    std::vector<std::string> heard;
    ASSERT_NE(g_signal_lookup("announcement", ATK_TYPE_OBJECT), 0u) << "ATK 2.46 (Debian 12) has announcements";
    g_signal_connect(accessible, "announcement", G_CALLBACK(onAnnouncement), &heard);

    View bar;
    EXPECT_TRUE(service.postLayoutChanged(&bar, "Page loading"));
    EXPECT_STREQ(atk_object_get_description(accessible), "Page loading");
    EXPECT_EQ(heard, std::vector<std::string>{"Page loading"});
    // Text that is not UTF-8 reaches ATK made valid.
    EXPECT_TRUE(service.postLayoutChanged(&bar, std::string("Page \xff loading")));
    EXPECT_TRUE(g_utf8_validate(atk_object_get_description(accessible), -1, nullptr));
    EXPECT_TRUE(service.postLayoutChanged(nullptr, ""));
    EXPECT_STREQ(atk_object_get_description(accessible), "Host window") << "the host's own description is back";

    // A widget given explicitly is used even while another window is active.
    GtkWidget* other = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkAccessibility pinned(other);
    EXPECT_TRUE(pinned.postLayoutChanged(&bar, "Page loading"));
    EXPECT_STREQ(atk_object_get_description(gtk_widget_get_accessible(other)), "Page loading");
    EXPECT_STREQ(atk_object_get_description(accessible), "Host window");
    gtk_widget_destroy(other);
    EXPECT_EQ(pinned.target(), accessible) << "once the widget is gone, the active window";

    gtk_widget_destroy(window);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}
