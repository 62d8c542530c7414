#include "window/base/tav_button_state.h"

#include <wx/control.h>

namespace {

void Redraw(wxControl* button, bool erase)
{
    button->Refresh(erase);
    button->Update();
}

}  // namespace

void BindTavButtonMouse(wxControl* button, TavButtonStateMachine* state)
{
    button->Bind(wxEVT_ENTER_WINDOW, [button, state](wxMouseEvent& event) {
        state->Enter(button->IsEnabled());
        Redraw(button, true);
        event.Skip();
    });
    button->Bind(wxEVT_LEAVE_WINDOW, [button, state](wxMouseEvent& event) {
        state->Leave(button->IsEnabled());
        Redraw(button, true);
        event.Skip();
    });
    button->Bind(wxEVT_LEFT_DOWN, [button, state](wxMouseEvent& event) {
        state->Press(button->IsEnabled());
        Redraw(button, true);
        event.Skip();
    });
    button->Bind(wxEVT_LEFT_DCLICK, [button, state](wxMouseEvent& event) {
        state->Press(button->IsEnabled());
        Redraw(button, false);
        event.Skip();
    });
    button->Bind(wxEVT_LEFT_UP, [button, state](wxMouseEvent& event) {
        event.Skip();
        if (!state->Release())
            return;
        Redraw(button, true);
        SendTavClick(button);
    });
}

void SendTavClick(wxControl* button)
{
    wxCommandEvent click(wxEVT_BUTTON, button->GetId());
    click.SetEventObject(button);
    button->GetEventHandler()->ProcessEvent(click);
}
