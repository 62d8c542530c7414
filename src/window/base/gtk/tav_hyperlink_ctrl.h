// A hyperlink over the piece of the parent's skin under it.
#ifndef KESTRAN_WINDOW_BASE_GTK_TAV_HYPERLINK_CTRL_H
#define KESTRAN_WINDOW_BASE_GTK_TAV_HYPERLINK_CTRL_H

#include "window/base/gtk/tav_static_bases.h"
#include "window/base/skin_piece.h"

class TavHyperLinkCtrl : public TavHyperLinkCtrlBase {
public:
    TavHyperLinkCtrl() { SetBackgroundStyle(wxBG_STYLE_ERASE); }
    TavHyperLinkCtrl(wxWindow* parent, wxWindowID id, const wxString& label, const wxString& url,
                     const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize,
                     long style = wxHL_DEFAULT_STYLE, const wxString& name = wxHyperlinkCtrlNameStr)
    {
        SetBackgroundStyle(wxBG_STYLE_ERASE);
        Create(parent, id, label, url, pos, size, style, name);
    }
    bool Create(wxWindow* parent, wxWindowID id, const wxString& label, const wxString& url,
                const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize,
                long style = wxHL_DEFAULT_STYLE, const wxString& name = wxHyperlinkCtrlNameStr);

    const SkinPiece& GetPiece() const { return piece_; }

private:
    void OnEraseBackground(wxEraseEvent& event);

    SkinPiece piece_;
};

#endif
