#include "window/base/gtk/tav_static_bitmap.h"

#include <wx/dc.h>

bool TavStaticBitmap::Create(wxWindow* parent, wxWindowID id, const wxBitmapBundle& bitmap, const wxPoint& pos,
                             const wxSize& size, long style, const wxString& name)
{
    if (!TavStaticBitmapBase::Create(parent, id, bitmap, pos, size, style, name))
        return false;
    Bind(wxEVT_ERASE_BACKGROUND, &TavStaticBitmap::OnEraseBackground, this);
    return true;
}

void TavStaticBitmap::OnEraseBackground(wxEraseEvent& event)
{
    if (bg_ == nullptr || event.GetDC() == nullptr) {
        event.Skip();
        return;
    }
    piece_.Draw(*event.GetDC(), *bg_, wxRect(GetPosition(), GetSize()));
}
