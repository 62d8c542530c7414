#include "window/mox_page_range_window.h"

#include <algorithm>

#include <wx/button.h>
#include <wx/dc.h>
#include <wx/intl.h>
#include <wx/textctrl.h>

#include "domain/notify_code.h"
#include "window/base/face_table.h"
#include "window/base/gtk/tav_static_text.h"
#include "window/base/image_util.h"
#include "window/base/tav_radio_button.h"

wxIMPLEMENT_DYNAMIC_CLASS(MoxPageRangeWindow, MoxPieceWindow);

namespace {

constexpr int kTitleX = 20;
constexpr int kIndent = 14;
constexpr int kLineGap = 4;
constexpr int kFieldHeight = 22;

}  // namespace

MoxPageRangeWindow::MoxPageRangeWindow() = default;
MoxPageRangeWindow::~MoxPageRangeWindow() = default;

bool MoxPageRangeWindow::Create(std::unique_ptr<wxBitmap> background, wxWindow* parent, wxWindowID id,
                                const wxPoint& pos, const wxSize& size)
{
    if (!MoxPieceWindow::Create(parent, std::move(background), id, pos, size, wxTAB_TRAVERSAL | wxBORDER_NONE))
        return false;
    current_page_ = 1;
    const wxColour text = ImageUtil::FaceColourOr("/face/pagerange-window/textcolour", wxColour(31, 41, 51));
    const wxBitmap skin = GetBackgroundBitmap() != nullptr ? *GetBackgroundBitmap() : wxNullBitmap;
    radio_group_ = std::make_unique<TavRadioGroup>();
    const wxBitmap unchecked = ImageUtil::CreateRadioBitmap(this, false);
    const wxBitmap checked = ImageUtil::CreateRadioBitmap(this, true);
    all_ = new TavRadioButton(this, AllId, unchecked, checked, skin);
    range_ = new TavRadioButton(this, RangeId, unchecked, checked, skin);
    current_ = new TavRadioButton(this, CurrentId, unchecked, checked, skin);
    for (TavRadioButton* choice : {all_, range_, current_}) {
        choice->SetForegroundColour(text);
        radio_group_->Add(choice);
    }
    all_->SetValue(true);
    radio_group_->InitSelection();

    range_field_ = new wxTextCtrl(this, RangeFieldId, wxString(), wxDefaultPosition, wxDefaultSize, wxTE_PROCESS_ENTER);
    range_field_->SetToolTip(_("Press Enter to confirm "));
    range_field_->SetBackgroundColour(*wxWHITE);
    range_field_->Enable(false);
    ok_ = new wxButton(this, wxID_OK, _("Ok"), wxDefaultPosition, wxDefaultSize, wxBU_EXACTFIT);
    ok_->Enable(false);

    title_ = new TavStaticText(this, wxID_ANY, wxString());
    description_ = new TavStaticText(this, wxID_ANY, wxString());
    for (TavStaticText* label : {title_, description_}) {
        if (const wxBitmap* bg = GetBackgroundBitmap(); bg != nullptr)
            label->SetBackground(bg);
        label->SetForegroundColour(text);
    }

    Bind(TAV_EVT_RADIOBUTTON, &MoxPageRangeWindow::OnRadio, this);
    range_field_->Bind(wxEVT_TEXT_ENTER, [this](wxCommandEvent&) { ConfirmRange(); });
    ok_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { ConfirmRange(); });
    Relabel();
    return true;
}

void MoxPageRangeWindow::Relabel()
{
    title_->SetFont(ImageUtil::FaceFont("/face/pagerange-window/title-font", wxFONTWEIGHT_BOLD));
    title_->SetLabel(_("Page Range"));
    const wxFont radio = ImageUtil::FaceFont("/face/pagerange-window/radio-font", wxFONTWEIGHT_NORMAL);
    all_->SetFont(radio);
    all_->SetLabel(_("All"), false);
    current_->SetFont(radio);
    current_->SetLabel(_("Current"), false);
    range_->SetFont(radio);
    range_->SetLabel(_("Range"), false);
    ok_->SetLabel(_("Ok"));
    description_->SetFont(ImageUtil::FaceFont("/face/pagerange-window/description-font", wxFONTWEIGHT_NORMAL));
    description_->SetLabel(_("Enter page numbers and/or page ranges\nseparated by commas, for example:\n1,3,4,5-10."));
    LayOut();
    Refresh(false);
}

void MoxPageRangeWindow::LayOut()
{
    const wxSize size = GetClientSize();
    title_->SetSize(title_->GetBestSize());
    title_->Move(kTitleX, 0);
    const int title_height = title_->GetSize().y;
    all_->Move(kIndent, title_height + kLineGap);
    current_->Move(all_->GetSize().x + 34, all_->GetPosition().y);
    const int range_y = all_->GetPosition().y + all_->GetSize().y + kLineGap;
    range_->Move(kIndent, range_y);
    const int line_centre = range_y + range_->GetSize().y / 2;

    const int ok_width = ok_->GetTextExtent(ok_->GetLabel()).x + 16;
    ok_->SetSize(size.x - 4 - ok_width, line_centre - kFieldHeight / 2, ok_width, kFieldHeight);
    const int field_x = range_->GetPosition().x + range_->GetSize().x + 20;
    range_field_->SetSize(field_x, line_centre - kFieldHeight / 2, std::max(ok_->GetPosition().x - 4 - field_x, 20),
                          kFieldHeight);
    const int description_y = std::max(range_y + range_->GetSize().y, line_centre + kFieldHeight / 2) + kLineGap;
    description_->SetSize(kIndent, description_y, size.x - 10, description_->GetBestSize().y);
}

void MoxPageRangeWindow::DrawBackground(wxDC& dc)
{
    MoxPieceWindow::DrawBackground(dc);
    if (title_ == nullptr)
        return;
    // An etched rule from the title to the right edge, at the title's middle.
    const wxRect title = title_->GetRect();
    const int y = title.y + title.height / 2;
    const int right = GetClientSize().x - 2;
    if (title.GetRight() + 3 >= right)
        return;
    dc.SetPen(wxPen(wxColour(196, 204, 213)));
    dc.DrawLine(title.GetRight() + 3, y, right, y);
    dc.SetPen(*wxWHITE_PEN);
    dc.DrawLine(title.GetRight() + 3, y + 1, right, y + 1);
}

void MoxPageRangeWindow::EnablePanel(bool enable)
{
    enabled_ = enable;
    for (TavRadioButton* choice : {all_, current_, range_})
        choice->Enable(enable);
    const bool typing = enable && range_->GetValue();
    range_field_->Enable(typing);
    ok_->Enable(typing);
}

void MoxPageRangeWindow::PickAll()
{
    all_->SetValue(true);
    range_field_->Enable(false);
    ok_->Enable(false);
    Send(RangeAllPages);
}

void MoxPageRangeWindow::PickCurrent()
{
    current_->SetValue(true);
    range_field_->Enable(false);
    ok_->Enable(false);
    Send(RangeCurrentPage, &current_page_);
}

void MoxPageRangeWindow::PickRange()
{
    range_->SetValue(true);
    range_field_->Enable(enabled_);
    ok_->Enable(enabled_);
    if (enabled_)
        range_field_->SetFocus();
}

void MoxPageRangeWindow::ConfirmRange()
{
    wxString text = range_field_->GetValue();
    Send(RangeCustom, &text);
}

void MoxPageRangeWindow::OnRadio(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case AllId:
        PickAll();
        break;
    case CurrentId:
        PickCurrent();
        break;
    case RangeId:
        PickRange();
        break;
    default:
        event.Skip();
        break;
    }
}

void MoxPageRangeWindow::Update(KelSubject* subject, void* payload)
{
    if (subject == nullptr)
        return;
    switch (subject->GetCode()) {
    case LockOptions:
    case RowsRemoved:
        EnablePanel(false);
        break;
    case UnlockOptions:
    case RowFocused:
        EnablePanel(true);
        break;
    case PreviewPageChanged:
        if (payload != nullptr)
            current_page_ = *static_cast<const int*>(payload);
        break;
    default:
        break;
    }
}
