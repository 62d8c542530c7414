// The part of a parent's skin image that lies under a child control. Skinned
// controls draw it as their background so that they blend into the panel.
// The piece is cut again only when the control's rectangle changes.
#ifndef KESTRAN_WINDOW_BASE_SKIN_PIECE_H
#define KESTRAN_WINDOW_BASE_SKIN_PIECE_H

#include <wx/bitmap.h>
#include <wx/dc.h>
#include <wx/gdicmn.h>

class SkinPiece {
public:
    // Draws the piece of `skin` under `rect` (in the skin's coordinates) at
    // (0, 0) of `dc`. A rectangle reaching beyond the skin is clipped to it;
    // the uncovered rest is left as it is. Nothing is drawn without a skin.
    void Draw(wxDC& dc, const wxBitmap& skin, const wxRect& rect);

    // The piece for `rect`, recut only when `rect` differs from the last one.
    const wxBitmap& Get(const wxBitmap& skin, const wxRect& rect);

    const wxRect& GetRect() const { return rect_; }
    // How many pieces were cut so far (tests check that a repaint reuses it).
    int GetCutCount() const { return cuts_; }
    void Reset() { rect_ = wxRect(); piece_ = wxNullBitmap; }

private:
    wxRect rect_;         // the rectangle the piece was asked for
    wxPoint offset_;      // where the clipped piece starts inside that rectangle
    wxBitmap piece_;
    int cuts_ = 0;
};

#endif
