/// @file
/// Assistive technology (a screen reader): the notices the chrome posts when
/// what is on screen changes, so that a reader follows the change.
///
/// In:  a layout change, with the view the reader should move to and the text
///      it announces for that view, or no view and no text.
/// Out: the platform's accessibility event (on Linux the window's ATK object:
///      its description and an "announcement"; see GtkAccessibility.h).
/// Fails: never fatal; with nothing to post on (no window yet) the notice is
///      dropped with one log line and postLayoutChanged answers false.
/// Example: the page-load bar appearing posts (the bar, "Page loading"); the
///      bar gone after the load posts (null, "").
/// Threads: main thread only.
#pragma once

#include <string>

namespace tevra {

class View;

/// Posts the chrome's notices to assistive technology.
class Accessibility {
public:
    virtual ~Accessibility() = default;
    /// Tells assistive technology that the screen's layout changed.
    /// `focusElement` is the view to move to, or null for none; `focusLabel`
    /// is what is announced for it ("" with no view). Returns true when the
    /// notice was posted, false when it was dropped. Main thread.
    virtual bool postLayoutChanged(const View* focusElement, const std::string& focusLabel) = 0;
};

}  // namespace tevra
