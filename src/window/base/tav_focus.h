// Keyboard use of the owner-drawn controls: they take the focus with Tab like
// native ones, redraw when they gain or lose it, draw a ring while they have
// it, and act on Space and Enter as a click would.
#ifndef KESTRAN_WINDOW_BASE_TAV_FOCUS_H
#define KESTRAN_WINDOW_BASE_TAV_FOCUS_H

#include <functional>

class wxControl;
class wxDC;
class wxColour;
class wxRect;

// Binds focus and key handling to `control`: a redraw on every focus change,
// and `activate` on Space, Enter or the keypad's Enter while it is enabled.
// Other keys go on as usual (Tab still moves the focus).
void BindTavFocus(wxControl* control, std::function<void()> activate);

// The ring drawn around `rect` (a dotted line in `colour`) when `control`
// has the keyboard focus; nothing otherwise.
void DrawTavFocusRing(const wxControl* control, wxDC& dc, const wxRect& rect, const wxColour& colour);

#endif
