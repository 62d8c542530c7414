#include "window/base/tav_bitmap_button.h"

#include <wx/dcbuffer.h>

#include "window/base/tav_focus.h"

bool TavBitmapButton::Create(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size, long style,
                             const wxValidator& validator)
{
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!wxControl::Create(parent, id, pos, size, style | wxBORDER_NONE, validator))
        return false;
    Bind(wxEVT_PAINT, &TavBitmapButton::OnPaint, this);
    BindTavButtonMouse(this, &state_);
    BindTavFocus(this, [this] { SendTavClick(this); });
    return true;
}

void TavBitmapButton::SetBackground(const wxBitmap& bitmap)
{
    background_ = bitmap;
    use_background_ = true;
    Refresh();
}

bool TavBitmapButton::SetBackgroundColour(const wxColour& colour)
{
    use_background_ = false;
    return wxControl::SetBackgroundColour(colour);
}

bool TavBitmapButton::Enable(bool enable)
{
    state_.Enable(enable);
    Refresh();
    wxWindow::Update();
    return wxControl::Enable(enable);
}

const wxBitmap* TavBitmapButton::GetFaceBitmap() const
{
    auto usable = [](const wxBitmap* b) { return b != nullptr && b->IsOk(); };
    switch (state_.Get()) {
    case TavStateCurrent:
        return usable(current_) ? current_ : normal_;
    case TavStatePressed:
    case TavStatePressed2:
        return usable(pressed_) ? pressed_ : normal_;
    case TavStateDisabled:
        return usable(disabled_) ? disabled_ : normal_;
    default:
        return normal_;
    }
}

void TavBitmapButton::OnPaint(wxPaintEvent& /*event*/)
{
    wxAutoBufferedPaintDC dc(this);
    const wxSize size = GetClientSize();
    if (use_background_ && background_.IsOk()) {
        dc.SetBackground(wxBrush(GetBackgroundColour()));
        dc.Clear();
        dc.DrawBitmap(background_, 0, 0, true);
    } else {
        dc.SetPen(wxPen(GetBackgroundColour()));
        dc.SetBrush(wxBrush(GetBackgroundColour()));
        dc.DrawRectangle(0, 0, size.x, size.y);
    }
    const wxBitmap* face = GetFaceBitmap();
    if (face != nullptr && face->IsOk())
        dc.DrawBitmap(*face, 0, 0, true);
    // Hover without a hover image: a thin red outline, so the state is visible.
    if (state_.Get() == TavStateCurrent && (current_ == nullptr || !current_->IsOk())) {
        dc.SetPen(wxPen(*wxRED, 1));
        dc.SetBrush(*wxTRANSPARENT_BRUSH);
        dc.DrawRectangle(0, 0, size.x, size.y);
    }
    DrawTavFocusRing(this, dc, wxRect(size).Deflate(1), GetForegroundColour());
}

