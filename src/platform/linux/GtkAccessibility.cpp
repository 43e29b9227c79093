#include "platform/linux/GtkAccessibility.h"

#include "platform/Log.h"
#include "platform/Platform.h"

namespace tevra::linux_platform {

namespace {

// A strong reference from a weak one, dropped at the end of the scope.
template <typename T>
struct Held {
    explicit Held(GWeakRef* ref) : object(static_cast<T*>(g_weak_ref_get(ref))) {}
    ~Held() {
        if (object) g_object_unref(object);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    T* object;
};

// The window a notice goes to without a widget of its own: the active
// toplevel, else the first visible one. GTK keeps the list; nothing is owned.
GtkWidget* currentToplevel() {
    GList* toplevels = gtk_window_list_toplevels();
    GtkWidget* active = nullptr;
    GtkWidget* visible = nullptr;
    for (GList* l = toplevels; l; l = l->next) {
        GtkWindow* window = GTK_WINDOW(l->data);
        // Popups and the engine's offscreen windows are no place for notices.
        if (gtk_window_get_window_type(window) != GTK_WINDOW_TOPLEVEL || GTK_IS_OFFSCREEN_WINDOW(window)) continue;
        if (!gtk_widget_get_visible(GTK_WIDGET(window))) continue;
        if (!visible) visible = GTK_WIDGET(window);
        if (gtk_window_is_active(window)) {
            active = GTK_WIDGET(window);
            break;
        }
    }
    g_list_free(toplevels);
    return active ? active : visible;
}

// ATK's own description field: null when none was set (the getter would
// answer a widget's tooltip instead).
const char* rawDescription(AtkObject* object) { return object->description; }

void setRawDescription(AtkObject* object, const std::optional<std::string>& text) {
    if (text) {
        atk_object_set_description(object, text->c_str());
        return;
    }
    // ATK's setter refuses null; this is what it does for any other value.
    g_free(object->description);
    object->description = nullptr;
    g_object_notify(G_OBJECT(object), "accessible-description");
}

}  // namespace

GtkAccessibility::GtkAccessibility(GtkWidget* widget) {
    g_weak_ref_init(&widget_, widget);
    g_weak_ref_init(&described_, nullptr);
}

GtkAccessibility::~GtkAccessibility() {
    g_weak_ref_clear(&widget_);
    g_weak_ref_clear(&described_);
}

AtkObject* GtkAccessibility::target() const {
    Held<GtkWidget> widget(&widget_);
    GtkWidget* w = widget.object ? widget.object : currentToplevel();
    // The accessible object belongs to the widget, which outlives this call.
    return w ? gtk_widget_get_accessible(w) : nullptr;
}

bool GtkAccessibility::postLayoutChanged(const View*, const std::string& focusLabel) {
    AtkObject* object = target();
    Held<AtkObject> described(&described_);
    // The description goes back on the object that had it once the notice
    // is over, or when notices move to another object.
    auto giveBack = [&](AtkObject* from) {
        const char* now = rawDescription(from);
        if (now && posted_ == now) setRawDescription(from, originalDescription_);
        g_weak_ref_set(&described_, nullptr);
        originalDescription_.reset();
    };
    if (described.object && (focusLabel.empty() || described.object != object)) giveBack(described.object);

    if (!object) {
        if (!loggedNoWindow_ && hasPlatform()) platform().log->system("Accessibility: no window to post notices on");
        loggedNoWindow_ = true;
        return false;
    }
    if (!focusLabel.empty()) {
        gchar* valid = g_utf8_make_valid(focusLabel.data(), static_cast<gssize>(focusLabel.size()));
        const std::string text(valid);
        g_free(valid);
        if (!described.object || described.object != object) {
            const char* before = rawDescription(object);
            originalDescription_ = before ? std::optional<std::string>(before) : std::nullopt;
            g_weak_ref_set(&described_, object);
        }
        posted_ = text;
        atk_object_set_description(object, text.c_str());
        if (g_signal_lookup("announcement", ATK_TYPE_OBJECT))
            g_signal_emit_by_name(object, "announcement", text.c_str());
    }
    g_signal_emit_by_name(object, "visible-data-changed");
    return true;
}

}  // namespace tevra::linux_platform
