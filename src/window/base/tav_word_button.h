// A text button whose face is stretched to its label from three image slices
// (left, tiled centre, right) per state: normal, current (mouse over), pressed.
#ifndef KESTRAN_WINDOW_BASE_TAV_WORD_BUTTON_H
#define KESTRAN_WINDOW_BASE_TAV_WORD_BUTTON_H

#include <wx/bitmap.h>
#include <wx/control.h>

#include "window/base/skin_piece.h"
#include "window/base/tav_button_state.h"

class TavWordButton : public wxControl {
public:
    enum BackgroundMode : int {
        BackgroundPiece = 0,  // the piece of the background bitmap at the button's position
        BackgroundTiled = 1,  // the background bitmap tiled horizontally, cut at the button's y
        BackgroundColour = 2  // a plain fill with the background colour
    };
    enum Slice : int { SliceLeft = 0, SliceCentre = 1, SliceRight = 2, SliceComposed = 3 };

    TavWordButton() = default;
    TavWordButton(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition)
    {
        Create(parent, id, pos);
    }
    bool Create(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition);

    // Slices the state images; left_width and centre_width come from the
    // theme's three-slice crop (its x and width). Invalid current or pressed
    // images fall back to the normal one when drawn.
    void SetBitmaps(const wxBitmap& normal, int left_width, int centre_width, const wxBitmap& current,
                    const wxBitmap& pressed);
    // Stores the label and font and composes every state image to fit the
    // label; the button takes the composed normal image's size.
    void SetLabel(const wxString& text, const wxFont& font);
    void SetLabel(const wxString& text) override { SetLabel(text, GetFont()); }
    wxString GetLabel() const override { return label_; }

    void SetBackground(const wxBitmap& bitmap, int mode);
    bool SetBackgroundColour(const wxColour& colour) override;

    void SetTextPosition(int x, int y)
    {
        text_x_ = x;
        text_y_ = y;
    }
    void SetTextY(int y) { text_y_ = y; }
    wxPoint GetTextPosition() const { return wxPoint(text_x_, text_y_); }

    bool Enable(bool enable = true) override;
    int GetState() const { return state_.Get(); }

    // The image drawn for the current state (tests compare it).
    const wxBitmap& GetFaceBitmap() const;
    const wxBitmap& GetNormalBitmap() const { return normal_bitmap_[SliceComposed]; }
    const wxBitmap& GetDisabledBitmap() const { return disabled_bitmap_; }

protected:
    wxSize DoGetBestSize() const override { return GetSize(); }

private:
    void Slice(const wxBitmap& source, int left_width, int centre_width, wxBitmap* slices);
    wxBitmap Compose(const wxBitmap* slices, int text_width) const;

    void OnPaint(wxPaintEvent& event);

    wxBitmap normal_bitmap_[4];
    wxBitmap pressed_bitmap_[4];
    wxBitmap current_bitmap_[4];
    wxBitmap disabled_bitmap_;
    TavButtonStateMachine state_;
    wxBitmap background_;
    SkinPiece background_piece_;
    int background_mode_ = BackgroundColour;
    wxString label_;
    int text_x_ = 0;
    int text_y_ = 0;
};

#endif
