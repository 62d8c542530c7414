#include "window/base/gtk/tav_static_text.h"

#include <wx/dc.h>

void TavStaticText::Init()
{
    SetBackgroundStyle(wxBG_STYLE_ERASE);
    SetForegroundColour(*wxWHITE);
}

bool TavStaticText::Create(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos,
                           const wxSize& size, long style, const wxString& name)
{
    if (!TavStaticTextBase::Create(parent, id, label, pos, size, style, name))
        return false;
    SetForegroundColour(*wxWHITE);
    Bind(wxEVT_ERASE_BACKGROUND, &TavStaticText::OnEraseBackground, this);
    return true;
}

void TavStaticText::OnEraseBackground(wxEraseEvent& event)
{
    if (bg_ == nullptr || event.GetDC() == nullptr) {
        event.Skip();
        return;
    }
    piece_.Draw(*event.GetDC(), *bg_, wxRect(GetPosition(), GetSize()));
}
