// A static image over the piece of the parent's skin under it (transparent
// pixels of the image show the skin).
#ifndef KESTRAN_WINDOW_BASE_GTK_TAV_STATIC_BITMAP_H
#define KESTRAN_WINDOW_BASE_GTK_TAV_STATIC_BITMAP_H

#include "window/base/gtk/tav_static_bases.h"
#include "window/base/skin_piece.h"

class TavStaticBitmap : public TavStaticBitmapBase {
public:
    TavStaticBitmap() { SetBackgroundStyle(wxBG_STYLE_ERASE); }
    TavStaticBitmap(wxWindow* parent, wxWindowID id, const wxBitmapBundle& bitmap,
                    const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize, long style = 0,
                    const wxString& name = wxStaticBitmapNameStr)
    {
        SetBackgroundStyle(wxBG_STYLE_ERASE);
        Create(parent, id, bitmap, pos, size, style, name);
    }
    bool Create(wxWindow* parent, wxWindowID id, const wxBitmapBundle& bitmap, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize, long style = 0, const wxString& name = wxStaticBitmapNameStr);

    const SkinPiece& GetPiece() const { return piece_; }

private:
    void OnEraseBackground(wxEraseEvent& event);

    SkinPiece piece_;
};

#endif
