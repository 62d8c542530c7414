#include "window/base/gtk/tav_hyperlink_ctrl.h"

#include <wx/dc.h>

bool TavHyperLinkCtrl::Create(wxWindow* parent, wxWindowID id, const wxString& label, const wxString& url,
                              const wxPoint& pos, const wxSize& size, long style, const wxString& name)
{
    if (!TavHyperLinkCtrlBase::Create(parent, id, label, url, pos, size, style, name))
        return false;
    Bind(wxEVT_ERASE_BACKGROUND, &TavHyperLinkCtrl::OnEraseBackground, this);
    return true;
}

void TavHyperLinkCtrl::OnEraseBackground(wxEraseEvent& event)
{
    if (bg_ == nullptr || event.GetDC() == nullptr) {
        event.Skip();
        return;
    }
    piece_.Draw(*event.GetDC(), *bg_, wxRect(GetPosition(), GetSize()));
}
