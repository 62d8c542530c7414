// A check box drawn over its parent's skin: the platform's glyph, then the
// label. Sends TAV_EVT_CHECKBOX with the new value as the event's integer.
#ifndef KESTRAN_WINDOW_BASE_TAV_CHECK_BOX_H
#define KESTRAN_WINDOW_BASE_TAV_CHECK_BOX_H

#include <wx/bitmap.h>
#include <wx/control.h>

#include "window/base/skin_piece.h"

wxDECLARE_EVENT(TAV_EVT_CHECKBOX, wxCommandEvent);

class TavCheckBox : public wxControl {
public:
    enum State : int { Unchecked = 0, Checked = 1, DisabledUnchecked = 10, DisabledChecked = 11 };

    TavCheckBox() = default;
    TavCheckBox(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize, long style = wxBORDER_NONE)
    {
        Create(parent, id, label, pos, size, style);
    }
    bool Create(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize, long style = wxBORDER_NONE);

    // Resizes to gap + glyph width + text width by max(text height, glyph height).
    void SetLabel(const wxString& label) override;
    void SetValue(bool checked);
    bool GetValue() const { return checked_; }
    bool Enable(bool enable = true) override;
    int GetState() const { return state_; }
    // The parent's skin image; with `no_background` the control paints no background.
    void SetBackground(const wxBitmap& bitmap, bool no_background = false);

protected:
    wxSize DoGetBestSize() const override { return GetSize(); }

private:
    void OnPaint(wxPaintEvent& event);
    void OnLeftDown(wxMouseEvent& event);
    void OnLeftUp(wxMouseEvent& event);

    wxString label_;
    wxSize glyph_size_;
    int gap_ = 6;
    bool checked_ = false;
    bool pressed_ = false;
    wxBitmap background_;
    SkinPiece background_piece_;
    bool no_background_ = false;
    int state_ = Unchecked;
};

#endif
