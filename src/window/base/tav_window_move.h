// Moving a frameless top-level window by dragging one of its children (the
// title bar): the window follows the pointer with a constant offset while the
// receiving child holds the mouse capture.
#ifndef KESTRAN_WINDOW_BASE_TAV_WINDOW_MOVE_H
#define KESTRAN_WINDOW_BASE_TAV_WINDOW_MOVE_H

#include <wx/event.h>
#include <wx/gdicmn.h>

class wxWindow;

class TavWindowMove {
public:
    virtual ~TavWindowMove() = default;

    // Captures the mouse on `receiver`; offset = pointer on screen − window position.
    static void BeginMove(wxWindow* top, wxWindow* receiver, const wxMouseEvent& event, wxPoint& offset);
    // A motion with the left button held while `receiver` has the capture moves
    // `top` to pointer − offset; anything else does nothing.
    static void Move(wxWindow* top, wxWindow* receiver, const wxMouseEvent& event, const wxPoint& offset);
    // Releases the capture when `receiver` holds it.
    static void EndMove(wxWindow* top, wxWindow* receiver, const wxMouseEvent& event, const wxPoint& offset);
};

#endif
