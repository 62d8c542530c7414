#include "window/base/tav_radio_button.h"

#include <algorithm>
#include <cstdlib>

#include <wx/dcbuffer.h>
#include <wx/dcclient.h>

#include "window/base/tav_focus.h"

wxDEFINE_EVENT(TAV_EVT_RADIOBUTTON, wxCommandEvent);

void TavRadioGroup::Add(TavRadioButton* button)
{
    button->group_ = this;
    button->index_ = count_++;
    buttons_.push_back(button);
}

void TavRadioGroup::InitSelection()
{
    for (size_t i = 0; i < buttons_.size(); ++i) {
        if (buttons_[i]->GetValue()) {
            selected_ = remembered_ = static_cast<int>(i);
            return;
        }
    }
}

TavRadioButton* TavRadioGroup::GetButton(int index) const
{
    return index >= 0 && index < count_ ? buttons_[static_cast<size_t>(index)] : nullptr;
}

void TavRadioGroup::Select(int index)
{
    TavRadioButton* target = GetButton(index);
    if (target == nullptr)
        return;
    if (TavRadioButton* old = GetButton(remembered_); old != nullptr && old != target)
        old->SetSelectedFlag(false);
    target->SetSelectedFlag(true);
    selected_ = remembered_ = index;
}

bool TavRadioButton::Create(wxWindow* parent, wxWindowID id, const wxBitmap& unselected, const wxBitmap& selected,
                            const wxBitmap& background, const wxPoint& pos, const wxSize& size, long style,
                            const wxValidator& validator)
{
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!wxControl::Create(parent, id, pos, size, style | wxBORDER_NONE, validator))
        return false;
    unselected_ = unselected;
    selected_image_ = selected;
    background_ = background;
    selected_ = false;
    group_ = nullptr;
    index_ = -1;
    gap_ = 6;
    Bind(wxEVT_PAINT, &TavRadioButton::OnPaint, this);
    Bind(wxEVT_LEFT_DOWN, &TavRadioButton::OnLeftDown, this);
    BindTavFocus(this, [this] { Choose(); });
    return true;
}

void TavRadioButton::SetLabel(const wxString& label, bool text_on_image)
{
    label_ = label;
    text_on_image_ = text_on_image;
    wxControl::SetLabel(label);
    wxCoord tw = 0, th = 0;
    {
        wxClientDC dc(this);
        dc.SetFont(GetFont());
        dc.GetTextExtent(label_, &tw, &th);
    }
    const wxSize image = unselected_.IsOk() ? unselected_.GetSize() : wxSize(0, 0);
    const wxSize size = text_on_image ? image : wxSize(image.x + gap_ + tw, std::max<int>(th, image.y));
    SetSize(size);
    SetMinSize(size);
    Refresh();
}

void TavRadioButton::SetSelectedFlag(bool selected)
{
    selected_ = selected;
    Refresh();
}

void TavRadioButton::SetValue(bool selected)
{
    SetSelectedFlag(selected);
    if (selected && group_ != nullptr)
        group_->Select(index_);
}

void TavRadioButton::OnPaint(wxPaintEvent& /*event*/)
{
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    dc.SetBackground(wxBrush(GetParent()->GetBackgroundColour()));
    dc.Clear();
    background_piece_.Draw(dc, background_, wxRect(GetPosition(), size));

    const wxBitmap& image = selected_ ? selected_image_ : unselected_;
    int image_w = 0;
    if (image.IsOk()) {
        image_w = image.GetWidth();
        dc.DrawBitmap(image, 0, (size.y - image.GetHeight()) / 2, true);
    }
    dc.SetFont(GetFont());
    dc.SetTextForeground(IsEnabled() ? GetForegroundColour() : wxColour(128, 128, 128));
    wxCoord tw = 0, th = 0;
    dc.GetTextExtent(label_, &tw, &th);
    wxRect text_rect;
    if (text_on_image_)
        text_rect = wxRect(std::abs(image_w - tw) / 2, text_y_, tw, th);
    else
        text_rect = wxRect(image_w + gap_, (size.y - th) / 2, tw, th);
    dc.DrawText(label_, text_rect.GetPosition());
    // Around the label, where native radio buttons show it.
    DrawTavFocusRing(this, dc, text_rect.Inflate(1).Intersect(wxRect(size)), GetForegroundColour());
}

void TavRadioButton::OnLeftDown(wxMouseEvent& event)
{
    event.Skip();
    Choose();
}

void TavRadioButton::Choose()
{
    if (selected_)
        return;  // clicking the selected button sends nothing
    wxCommandEvent chosen(TAV_EVT_RADIOBUTTON, GetId());
    chosen.SetEventObject(this);
    chosen.SetInt(index_);
    // The selection moves only when someone acted on the choice.
    if (!GetEventHandler()->ProcessEvent(chosen))
        return;
    if (group_ != nullptr)
        group_->Select(index_);
    else
        SetSelectedFlag(true);
}
