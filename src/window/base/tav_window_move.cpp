#include "window/base/tav_window_move.h"

#include <wx/utils.h>
#include <wx/window.h>

// Screen coordinates come from the pointer itself (wxGetMousePosition): the
// event's own position is relative to a window that moves during the drag.

void TavWindowMove::BeginMove(wxWindow* top, wxWindow* receiver, const wxMouseEvent& /*event*/, wxPoint& offset)
{
    if (top == nullptr || receiver == nullptr)
        return;
    if (!receiver->HasCapture())
        receiver->CaptureMouse();
    offset = wxGetMousePosition() - top->GetPosition();
}

void TavWindowMove::Move(wxWindow* top, wxWindow* receiver, const wxMouseEvent& event, const wxPoint& offset)
{
    if (top == nullptr || receiver == nullptr)
        return;
    if (!event.Dragging() || !event.LeftIsDown() || !receiver->HasCapture())
        return;
    top->Move(wxGetMousePosition() - offset);
}

void TavWindowMove::EndMove(wxWindow* /*top*/, wxWindow* receiver, const wxMouseEvent& /*event*/,
                            const wxPoint& /*offset*/)
{
    if (receiver != nullptr && receiver->HasCapture())
        receiver->ReleaseMouse();
}
