// A label that draws its text over the piece of the parent's skin under it.
// Its text is white until the owner sets another colour.
#ifndef KESTRAN_WINDOW_BASE_GTK_TAV_STATIC_TEXT_H
#define KESTRAN_WINDOW_BASE_GTK_TAV_STATIC_TEXT_H

#include "window/base/gtk/tav_static_bases.h"
#include "window/base/skin_piece.h"

class TavStaticText : public TavStaticTextBase {
public:
    TavStaticText() { Init(); }
    TavStaticText(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos = wxDefaultPosition,
                  const wxSize& size = wxDefaultSize, long style = 0, const wxString& name = wxStaticTextNameStr)
    {
        Init();
        Create(parent, id, label, pos, size, style, name);
    }
    bool Create(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize, long style = 0, const wxString& name = wxStaticTextNameStr);

    const SkinPiece& GetPiece() const { return piece_; }

private:
    void Init();
    void OnEraseBackground(wxEraseEvent& event);

    SkinPiece piece_;
};

#endif
