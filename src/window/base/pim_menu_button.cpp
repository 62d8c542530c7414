#include "window/base/pim_menu_button.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/settings.h>

#include "common/image_util.h"

bool PimMenuButton::Create(wxWindow* menu_bar, const wxString& label, const wxBitmap& skin, wxWindow* parent,
                           wxWindowID id, const wxColour& normal_colour, const wxColour& current_colour,
                           const wxPoint& pos, long style, const wxValidator& validator)
{
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!wxControl::Create(parent, id, pos, wxDefaultSize, style | wxBORDER_NONE, validator))
        return false;
    menu_bar_ = menu_bar;
    font_ = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    font_.SetPointSize(10);
    SetFont(font_);
    SetLabel(label);

    wxCoord tw = 0, th = 0;
    {
        wxMemoryDC measure;
        measure.SetFont(font_);
        measure.GetTextExtent(label, &tw, &th);
    }
    const wxPoint at = GetPosition();
    const int width = tw + 16, height = th;
    // Both looks start from the skin under the title, so the strip stays seamless.
    auto make = [&](const wxColour& colour) {
        wxBitmap face = skin.IsOk() ? ImageUtil::CropBitmap(skin, at.x, at.y, width, height) : wxBitmap(width, height);
        wxMemoryDC dc(face);
        dc.SetFont(font_);
        dc.SetTextForeground(colour);
        dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
        dc.DrawText(label, 8, 0);
        dc.SelectObject(wxNullBitmap);
        return face;
    };
    normal_ = make(normal_colour);
    current_ = make(current_colour);
    SetSize(normal_.GetSize());
    SetMinSize(normal_.GetSize());

    Bind(wxEVT_PAINT, &PimMenuButton::OnPaint, this);
    Bind(wxEVT_ENTER_WINDOW, &PimMenuButton::OnEnter, this);
    Bind(wxEVT_LEAVE_WINDOW, &PimMenuButton::OnLeave, this);
    Bind(wxEVT_LEFT_DOWN, &PimMenuButton::OnLeftDown, this);
    return true;
}

void PimMenuButton::SetHover(bool hover)
{
    hover_ = hover;
    Refresh();
}

void PimMenuButton::OnPaint(wxPaintEvent& /*event*/)
{
    wxAutoBufferedPaintDC dc(this);
    if (normal_.IsOk())
        dc.DrawBitmap(normal_, 0, 0, true);
    if (hover_ && current_.IsOk())
        dc.DrawBitmap(current_, 0, 0, true);
}

void PimMenuButton::OnEnter(wxMouseEvent& event)
{
    if (hover_allowed_)
        SetHover(true);
    event.Skip();
}

void PimMenuButton::OnLeave(wxMouseEvent& event)
{
    if (hover_allowed_)
        SetHover(false);
    event.Skip();
}

void PimMenuButton::OnLeftDown(wxMouseEvent& event)
{
    wxCommandEvent click(wxEVT_BUTTON, GetId());
    click.SetEventObject(this);
    GetEventHandler()->ProcessEvent(click);
    event.Skip();
}
