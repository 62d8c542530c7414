#include "window/about_dialog.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/hyperlink.h>
#include <wx/intl.h>
#include <wx/settings.h>

#include "common/app_util.h"
#include "common/string_util.h"
#include "domain/domain_option.h"
#include "window/base/face_table.h"
#include "window/base/gtk/tav_hyperlink_ctrl.h"
#include "window/base/image_util.h"
#include "window/base/tav_word_button.h"
#include "window/base/user_prompt.h"

namespace {

constexpr int kWidth = 380;
constexpr int kHeight = 232;
constexpr int kHeaderHeight = 64;
// The window's palette: the dark header, the white card, the slate text.
const wxColour kHeader(31, 38, 48);
const wxColour kHeaderText(241, 243, 246);
const wxColour kBody(255, 255, 255);
const wxColour kText(31, 41, 51);
const wxColour kMuted(90, 102, 116);
const wxColour kBorder(211, 217, 224);
const wxColour kAccent(252, 156, 0);

wxFont GuiFont(int points, bool bold)
{
    wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    font.SetPointSize(points);
    font.SetWeight(bold ? wxFONTWEIGHT_BOLD : wxFONTWEIGHT_NORMAL);
    return font;
}

}  // namespace

AboutDialog::AboutDialog(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, _("About"), wxDefaultPosition, wxSize(kWidth, kHeight), wxBORDER_NONE)
{
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    // Its size comes from the constructor only: on GTK a borderless window
    // given a client size before it is shown comes up 1 x 1.
    PaintSkin();

    link_ = new TavHyperLinkCtrl(this, LinkId, _("Visit the product page"), DomainOption::GetUrl("url:product"),
                                 wxPoint(24, 158));
    link_->SetBackground(&skin_);
    link_->SetNormalColour(wxColour(176, 104, 0));
    link_->SetHoverColour(wxColour(228, 138, 0));
    link_->SetVisitedColour(wxColour(176, 104, 0));
    link_->Bind(wxEVT_HYPERLINK, &AboutDialog::OnLink, this);

    close_ = new TavWordButton(this, CloseId);
    const FaceRect crop = GetFace("/face/base-button/small-button-crop");
    const wxBitmap normal = ImageUtil::LoadBitmap("image/base/small-normal.png");
    if (normal.IsOk())
        close_->SetBitmaps(normal, crop.x, crop.width, ImageUtil::LoadBitmap("image/base/small-current.png"),
                           ImageUtil::LoadBitmap("image/base/small-pressed.png"));
    close_->SetBackground(skin_, TavWordButton::BackgroundPiece);
    close_->SetForegroundColour(ImageUtil::FaceColour("/face/base-button/small-button-crop/textcolour"));
    close_->SetTextY(crop.y);
    close_->SetLabel(_("Close"), GuiFont(9, true));
    close_->Move(kWidth - 20 - close_->GetSize().x, kHeight - 20 - close_->GetSize().y);
    close_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { EndModal(wxID_CLOSE); });

    // Escape closes the box whichever of its parts has the keyboard.
    Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& event) {
        if (event.GetKeyCode() == WXK_ESCAPE)
            EndModal(wxID_CANCEL);
        else
            event.Skip();
    });
    // The box takes the keyboard as it opens: Enter or Space closes it.
    Bind(wxEVT_INIT_DIALOG, [this](wxInitDialogEvent& event) {
        close_->SetFocus();
        event.Skip();
    });
    Bind(wxEVT_PAINT, &AboutDialog::OnPaint, this);
    CentreOnScreen();
}

wxString AboutDialog::GetVersionText() const
{
    return wxString::Format(_("Version %s"), AppUtil::GetVersion());
}

wxString AboutDialog::GetYearText() const
{
    return wxString::Format(_("Built in %s"), wxString::FromUTF8(StringUtil::GetBuildYear()));
}

void AboutDialog::PaintSkin()
{
    skin_ = wxBitmap(kWidth, kHeight, 24);
    wxMemoryDC dc(skin_);
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(kBody));
    dc.DrawRectangle(0, 0, kWidth, kHeight);
    dc.SetBrush(wxBrush(kHeader));
    dc.DrawRectangle(0, 0, kWidth, kHeaderHeight);
    dc.SetBrush(wxBrush(kAccent));
    dc.DrawRectangle(0, kHeaderHeight, kWidth, 3);

    // The logo and the name in the header, as in the title bar.
    const wxBitmap logo = ImageUtil::LoadBitmap("application/application.png");
    int text_x = 24;
    if (logo.IsOk()) {
        const wxBitmap scaled(logo.ConvertToImage().Scale(32, 32, wxIMAGE_QUALITY_HIGH));
        dc.DrawBitmap(scaled, 24, (kHeaderHeight - 32) / 2, true);
        text_x = 24 + 32 + 14;
    }
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    dc.SetFont(GuiFont(15, true));
    dc.SetTextForeground(kHeaderText);
    const wxString name = AppUtil::GetProductName();
    dc.DrawText(name, text_x, (kHeaderHeight - dc.GetTextExtent(name).y) / 2);

    dc.SetFont(GuiFont(11, true));
    dc.SetTextForeground(kText);
    dc.DrawText(GetVersionText(), 24, kHeaderHeight + 26);
    dc.SetFont(GuiFont(10, false));
    dc.SetTextForeground(kMuted);
    dc.DrawText(GetYearText(), 24, kHeaderHeight + 54);
    dc.DrawText(wxString::FromUTF8("\xc2\xa9 ") + wxString::FromUTF8(StringUtil::GetBuildYear()) + " " +
                    AppUtil::GetVendorName(),
                24, kHeaderHeight + 74);

    // A hairline around the borderless box, so it stands off the window.
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.SetPen(wxPen(kBorder));
    dc.DrawRectangle(0, 0, kWidth, kHeight);
}

void AboutDialog::OnPaint(wxPaintEvent& /*event*/)
{
    wxAutoBufferedPaintDC dc(this);
    dc.DrawBitmap(skin_, 0, 0, false);
}

void AboutDialog::OnLink(wxHyperlinkEvent& event)
{
    UserPrompt::OpenAddress(event.GetURL());
}
