// An image-only skinned button: one image per state, given whole. The images
// are not owned; the owner keeps them alive as long as the button.
#ifndef KESTRAN_WINDOW_BASE_TAV_BITMAP_BUTTON_H
#define KESTRAN_WINDOW_BASE_TAV_BITMAP_BUTTON_H

#include <wx/bitmap.h>
#include <wx/control.h>

#include "window/base/tav_button_state.h"

class TavBitmapButton : public wxControl {
public:
    TavBitmapButton() = default;
    TavBitmapButton(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
                    const wxSize& size = wxDefaultSize, long style = wxBORDER_NONE,
                    const wxValidator& validator = wxDefaultValidator)
    {
        Create(parent, id, pos, size, style, validator);
    }
    bool Create(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize, long style = wxBORDER_NONE,
                const wxValidator& validator = wxDefaultValidator);

    void SetNormalBitmap(const wxBitmap* bitmap) { normal_ = bitmap; Refresh(); }
    void SetPressedBitmap(const wxBitmap* bitmap) { pressed_ = bitmap; }
    void SetCurrentBitmap(const wxBitmap* bitmap) { current_ = bitmap; }
    void SetDisabledBitmap(const wxBitmap* bitmap) { disabled_ = bitmap; }

    // Draws `bitmap` at (0, 0) as background (the owner cuts it at the
    // button's rectangle); SetBackgroundColour turns that off again.
    void SetBackground(const wxBitmap& bitmap);
    bool SetBackgroundColour(const wxColour& colour) override;

    bool Enable(bool enable = true) override;
    int GetState() const { return state_.Get(); }
    // The image drawn for the current state; null when none is set.
    const wxBitmap* GetFaceBitmap() const;

protected:
    wxSize DoGetBestSize() const override { return GetSize(); }

private:
    void OnPaint(wxPaintEvent& event);

    wxBitmap background_;
    bool use_background_ = false;
    const wxBitmap* normal_ = nullptr;
    const wxBitmap* pressed_ = nullptr;
    const wxBitmap* current_ = nullptr;
    const wxBitmap* disabled_ = nullptr;
    TavButtonStateMachine state_;
};

#endif
