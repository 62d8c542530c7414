// The mouse state machine shared by the skinned push buttons. A click needs a
// press and a release on the button: leaving the button between the two
// cancels it, and a disabled button keeps its disabled look.
#ifndef KESTRAN_WINDOW_BASE_TAV_BUTTON_STATE_H
#define KESTRAN_WINDOW_BASE_TAV_BUTTON_STATE_H

class wxControl;

enum TavButtonState : int {
    TavStateNormal = 0,
    TavStateCurrent = 1,   // mouse over
    TavStatePressed = 2,
    TavStateReleased = 3,  // after a click: normal face until the mouse leaves and enters again
    TavStateLeft = 4,      // the mouse went out
    TavStatePressed2 = 5,  // pressed as well
    TavStateDisabled = 6
};

class TavButtonStateMachine {
public:
    int Get() const { return state_; }
    void Set(int state) { state_ = state; }

    void Enable(bool enable) { state_ = enable ? TavStateNormal : TavStateDisabled; }
    void Enter(bool enabled)
    {
        if (enabled)
            state_ = TavStateCurrent;
    }
    void Leave(bool enabled)
    {
        if (enabled)
            state_ = TavStateLeft;
    }
    void Press(bool enabled)
    {
        if (enabled)
            state_ = TavStatePressed;
    }
    // True when this release completes a click.
    bool Release()
    {
        if (state_ != TavStatePressed)
            return false;
        state_ = TavStateReleased;
        return true;
    }

private:
    int state_ = TavStateNormal;
};

// Drives `state` from the button's mouse events, redraws the button on every
// change and, when a release completes a click, processes a button-clicked
// command event with the button's id at once. `state` must live as long as
// the button (it is the button's member).
void BindTavButtonMouse(wxControl* button, TavButtonStateMachine* state);
// Processes the button-clicked command event of `button` at once, as a
// completed click does (the keyboard presses buttons through it too).
void SendTavClick(wxControl* button);

#endif
