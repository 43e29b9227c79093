// The accessibility service on GTK 3: notices go to a window's ATK object,
// which the AT-SPI bridge GTK loads passes on to a screen reader (Orca).
//
// Where: the accessible object of the widget given (e.g. the host's window),
// or, without one (or once it is gone), of the active toplevel window at
// each notice, else the first visible toplevel.
// What, for a notice with text (a view to move to, e.g. the page-load bar
// shown): the object's accessible description becomes the text, then the
// object emits "announcement" with it (ATK 2.46 and later; looked up at run
// time, Debian 12 ships 2.46) and "visible-data-changed" (its layout
// changed). For a notice without text (the bar gone): the description goes
// back to what it was before the first notice, unless something else set it
// since, then "visible-data-changed".
//
// In:  notices from Accessibility::postLayoutChanged; text that is not UTF-8
//      is made valid (invalid bytes become U+FFFD) before it reaches ATK.
// Out: ATK property changes and signals on the target's accessible object.
// Fails: with no window at all the notice is dropped: false, and one log
//      line the first time ("Accessibility: no window to post notices on").
// Example: postLayoutChanged(bar, "Page loading") on a host window gives
//      atk_object_get_description(window accessible) == "Page loading" and
//      one "announcement" with "Page loading"; postLayoutChanged(nullptr, "")
//      gives the window's description back ("" or the host's own).
// Threads: main thread only (GTK's), like every GTK call.
#pragma once

#include <gtk/gtk.h>

#include <optional>
#include <string>

#include "platform/Accessibility.h"

namespace tevra::linux_platform {

class GtkAccessibility : public Accessibility {
public:
    // `widget`: whose accessible object carries the notices; null: the
    // active toplevel at each notice. Held weakly.
    explicit GtkAccessibility(GtkWidget* widget = nullptr);
    ~GtkAccessibility() override;
    GtkAccessibility(const GtkAccessibility&) = delete;
    GtkAccessibility& operator=(const GtkAccessibility&) = delete;

    bool postLayoutChanged(const View* focusElement, const std::string& focusLabel) override;

    // The accessible object a notice would go to now, or null (not owned).
    AtkObject* target() const;

private:
    mutable GWeakRef widget_;
    // The target's description before our first notice, and the text we set
    // last, to give the description back only while it is still ours.
    GWeakRef described_;
    std::optional<std::string> originalDescription_;
    std::string posted_;
    bool loggedNoWindow_ = false;
};

}  // namespace tevra::linux_platform
