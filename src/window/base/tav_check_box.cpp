#include "window/base/tav_check_box.h"

#include <algorithm>
#include <cstdlib>

#include <wx/dcbuffer.h>
#include <wx/dcclient.h>
#include <wx/renderer.h>

wxDEFINE_EVENT(TAV_EVT_CHECKBOX, wxCommandEvent);

bool TavCheckBox::Create(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos,
                         const wxSize& size, long style)
{
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!wxControl::Create(parent, id, pos, size, style | wxBORDER_NONE))
        return false;
    glyph_size_ = wxRendererNative::Get().GetCheckBoxSize(this);
    Bind(wxEVT_PAINT, &TavCheckBox::OnPaint, this);
    Bind(wxEVT_LEFT_DOWN, &TavCheckBox::OnLeftDown, this);
    Bind(wxEVT_LEFT_DCLICK, &TavCheckBox::OnLeftDown, this);
    Bind(wxEVT_LEFT_UP, &TavCheckBox::OnLeftUp, this);
    SetLabel(label);
    return true;
}

void TavCheckBox::SetLabel(const wxString& label)
{
    label_ = label;
    wxControl::SetLabel(label);
    wxCoord tw = 0, th = 0;
    {
        wxClientDC dc(this);
        dc.SetFont(GetFont());
        dc.GetTextExtent(label_, &tw, &th);
    }
    const wxSize size(gap_ + glyph_size_.x + tw, std::max<int>(th, glyph_size_.y));
    SetSize(size);
    SetMinSize(size);
    Refresh();
}

void TavCheckBox::SetValue(bool checked)
{
    checked_ = checked;
    state_ = (checked ? Checked : Unchecked) + (IsEnabled() ? 0 : 10);
    Refresh(true);
}

bool TavCheckBox::Enable(bool enable)
{
    const bool changed = wxControl::Enable(enable);
    state_ = (checked_ ? Checked : Unchecked) + (enable ? 0 : 10);
    Refresh();
    return changed;
}

void TavCheckBox::SetBackground(const wxBitmap& bitmap, bool no_background)
{
    background_ = bitmap;
    no_background_ = no_background;
    background_piece_.Reset();
    Refresh();
}

void TavCheckBox::OnPaint(wxPaintEvent& /*event*/)
{
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    dc.SetBackground(wxBrush(GetParent()->GetBackgroundColour()));
    dc.Clear();
    if (!no_background_)
        background_piece_.Draw(dc, background_, wxRect(GetPosition(), size));

    int flags = 0;
    if (state_ == Checked || state_ == DisabledChecked)
        flags |= wxCONTROL_CHECKED;
    if (state_ >= DisabledUnchecked)
        flags |= wxCONTROL_DISABLED;
    const int glyph_y = std::abs(size.y - glyph_size_.y) / 2;
    wxRendererNative::Get().DrawCheckBox(this, dc, wxRect(wxPoint(0, glyph_y), glyph_size_), flags);

    dc.SetFont(GetFont());
    wxCoord tw = 0, th = 0;
    dc.GetTextExtent(label_, &tw, &th);
    dc.SetTextForeground(state_ >= DisabledUnchecked ? wxColour(128, 128, 128) : GetForegroundColour());
    dc.DrawText(label_, glyph_size_.x + gap_, std::abs(size.y - th) / 2);
}

void TavCheckBox::OnLeftDown(wxMouseEvent& event)
{
    pressed_ = true;
    event.Skip();
}

void TavCheckBox::OnLeftUp(wxMouseEvent& event)
{
    event.Skip();
    if (!pressed_)
        return;
    pressed_ = false;
    SetValue(!checked_);
    wxCommandEvent changed(TAV_EVT_CHECKBOX, GetId());
    changed.SetEventObject(this);
    changed.SetInt(checked_ ? 1 : 0);
    GetEventHandler()->ProcessEvent(changed);
}
