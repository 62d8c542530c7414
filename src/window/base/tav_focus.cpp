#include "window/base/tav_focus.h"

#include <wx/control.h>
#include <wx/dc.h>
#include <wx/event.h>

void BindTavFocus(wxControl* control, std::function<void()> activate)
{
    const auto redraw = [control](wxFocusEvent& event) {
        control->Refresh(false);
        event.Skip();
    };
    control->Bind(wxEVT_SET_FOCUS, redraw);
    control->Bind(wxEVT_KILL_FOCUS, redraw);
    control->Bind(wxEVT_KEY_DOWN, [control, activate = std::move(activate)](wxKeyEvent& event) {
        const int key = event.GetKeyCode();
        const bool press = key == WXK_SPACE || key == WXK_RETURN || key == WXK_NUMPAD_ENTER;
        if (!press || event.HasAnyModifiers() || !control->IsEnabled()) {
            event.Skip();
            return;
        }
        activate();
    });
}

void DrawTavFocusRing(const wxControl* control, wxDC& dc, const wxRect& rect, const wxColour& colour)
{
    if (!control->HasFocus() || rect.IsEmpty())
        return;
    dc.SetPen(wxPen(colour, 1, wxPENSTYLE_DOT));
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawRectangle(rect);
}
