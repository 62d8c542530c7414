#include "window/base/skin_piece.h"

const wxBitmap& SkinPiece::Get(const wxBitmap& skin, const wxRect& rect)
{
    if (rect == rect_ && (piece_.IsOk() || cuts_ > 0))
        return piece_;
    rect_ = rect;
    ++cuts_;
    piece_ = wxNullBitmap;
    offset_ = wxPoint();
    if (!skin.IsOk())
        return piece_;
    // Clip to the skin: a control partly beyond the image's edge shows the part
    // that exists instead of failing.
    const wxRect clipped = rect.Intersect(wxRect(0, 0, skin.GetWidth(), skin.GetHeight()));
    if (clipped.width <= 0 || clipped.height <= 0)
        return piece_;
    offset_ = clipped.GetPosition() - rect.GetPosition();
    piece_ = skin.GetSubBitmap(clipped);
    return piece_;
}

void SkinPiece::Draw(wxDC& dc, const wxBitmap& skin, const wxRect& rect)
{
    const wxBitmap& piece = Get(skin, rect);
    if (piece.IsOk())
        dc.DrawBitmap(piece, offset_.x, offset_.y, false);
}
