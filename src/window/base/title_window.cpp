#include "window/base/title_window.h"

#include <wx/app.h>
#include <wx/dc.h>
#include <wx/settings.h>
#include <wx/toplevel.h>

#include "common/app_util.h"
#include "window/base/image_util.h"
#include "window/base/tav_bitmap_button.h"
#include "window/base/tav_window_move.h"

namespace {
constexpr int kLogoSize = 16;
constexpr int kCaptionGap = 10;
}  // namespace

bool TitleWindow::Create(std::unique_ptr<wxBitmap> skin, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                         const wxSize& size, long style)
{
    if (!MoxPieceWindow::Create(parent, std::move(skin), id, pos, size, style))
        return false;

    logo_ = ImageUtil::LoadBitmap("application/application.png");
    if (logo_.IsOk() && (logo_.GetWidth() != kLogoSize || logo_.GetHeight() != kLogoSize))
        logo_ = wxBitmap(logo_.ConvertToImage().Scale(kLogoSize, kLogoSize, wxIMAGE_QUALITY_NORMAL));

    logo_rect_ = GetFace("/face/titlebar/logo");
    caption_colour_ = ImageUtil::FaceColour("/face/titlebar/textcolour");
    const FaceRect close_offset = GetFace("/face/titlebar/closebutton");

    const int right_edge = GetSize().x + close_offset.x;
    close_button_ = MakeButton(CloseId, "image/base/close", right_edge, close_images_);
    const int close_left = close_button_ != nullptr ? close_button_->GetPosition().x : right_edge;
    minimize_button_ = MakeButton(MinimizeId, "image/titlebar/minimize", close_left, minimize_images_);

    Bind(wxEVT_LEFT_DOWN, &TitleWindow::OnLeftDown, this);
    Bind(wxEVT_LEFT_UP, &TitleWindow::OnLeftUp, this);
    Bind(wxEVT_MOTION, &TitleWindow::OnMotion, this);
    Bind(wxEVT_MOUSE_CAPTURE_LOST, &TitleWindow::OnCaptureLost, this);
    Bind(wxEVT_BUTTON, &TitleWindow::OnButton, this);
    return true;
}

TavBitmapButton* TitleWindow::MakeButton(wxWindowID id, const wxString& stem, int right_edge,
                                         std::unique_ptr<wxBitmap>* images)
{
    images[0] = ImageUtil::LoadNewBitmap(stem + "-normal.png");
    images[1] = ImageUtil::LoadNewBitmap(stem + "-current.png");
    images[2] = ImageUtil::LoadNewBitmap(stem + "-pressed.png");
    if (!images[0])
        return nullptr;  // the theme lacks the button; the title bar still works as a drag handle
    const wxSize size = images[0]->GetSize();
    const wxPoint at(right_edge - size.x, logo_rect_.y);
    auto* button = new TavBitmapButton(this, id, at, size, wxBORDER_NONE);
    button->SetNormalBitmap(images[0].get());
    button->SetCurrentBitmap(images[1].get());
    button->SetPressedBitmap(images[2].get());
    if (const wxBitmap* skin = GetBackgroundBitmap(); skin != nullptr && skin->IsOk())
        button->SetBackground(ImageUtil::CropBitmap(*skin, at.x, at.y, size.x, size.y));
    button->SetToolTip(id == CloseId ? _("Close") : _("Minimize"));
    return button;
}

void TitleWindow::Update(KelSubject* /*subject*/, void* /*payload*/) {}

wxString TitleWindow::GetCaption() const
{
    const wxWindow* top = wxGetTopLevelParent(const_cast<TitleWindow*>(this));
    if (top != nullptr && !top->GetLabel().empty())
        return top->GetLabel();
    return AppUtil::GetProductName();
}

wxFont TitleWindow::GetCaptionFont() const
{
    wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    font.SetPointSize(9);
    font.SetWeight(wxFONTWEIGHT_BOLD);
    return font;
}

wxPoint TitleWindow::GetCaptionPosition() const
{
    const int logo_w = logo_.IsOk() ? logo_.GetWidth() : kLogoSize;
    const int logo_h = logo_.IsOk() ? logo_.GetHeight() : kLogoSize;
    wxCoord tw = 0, th = 0;
    const wxFont font = GetCaptionFont();
    GetTextExtent(GetCaption(), &tw, &th, nullptr, nullptr, &font);
    // The caption's bottom lines up with the logo's bottom.
    return wxPoint(logo_rect_.x + logo_w + kCaptionGap, logo_rect_.y + logo_h - th);
}

void TitleWindow::DrawBackground(wxDC& dc)
{
    MoxPieceWindow::DrawBackground(dc);
    if (logo_.IsOk())
        dc.DrawBitmap(logo_, logo_rect_.x, logo_rect_.y, true);
    dc.SetFont(GetCaptionFont());
    dc.SetTextForeground(caption_colour_);
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    dc.DrawText(GetCaption(), GetCaptionPosition());
}

wxSize TitleWindow::DoGetBestSize() const
{
    const wxBitmap* skin = GetBackgroundBitmap();
    return skin != nullptr && skin->IsOk() ? skin->GetSize() : GetSize();
}

void TitleWindow::OnLeftDown(wxMouseEvent& event)
{
    TavWindowMove::BeginMove(wxGetTopLevelParent(this), this, event, drag_offset_);
}

void TitleWindow::OnLeftUp(wxMouseEvent& event)
{
    TavWindowMove::EndMove(wxGetTopLevelParent(this), this, event, drag_offset_);
}

void TitleWindow::OnMotion(wxMouseEvent& event)
{
    TavWindowMove::Move(wxGetTopLevelParent(this), this, event, drag_offset_);
}

void TitleWindow::OnCaptureLost(wxMouseCaptureLostEvent& /*event*/)
{
    // Nothing to undo: without the capture, Move does nothing.
}

void TitleWindow::OnButton(wxCommandEvent& event)
{
    wxWindow* top = wxTheApp != nullptr ? wxTheApp->GetTopWindow() : nullptr;
    if (top == nullptr)
        top = wxGetTopLevelParent(this);
    if (top == nullptr)
        return;
    if (event.GetId() == CloseId) {
        // Queued, not called: the main window decides (and may veto) on its own turn.
        auto* close = new wxCloseEvent(wxEVT_CLOSE_WINDOW, 0);
        close->SetCanVeto(true);
        close->SetEventObject(top);
        wxQueueEvent(top->GetEventHandler(), close);
    } else if (event.GetId() == MinimizeId) {
        if (auto* frame = dynamic_cast<wxTopLevelWindow*>(top))
            frame->Iconize(true);
    } else {
        event.Skip();
    }
}
