#include "window/preview_window.h"

#include <algorithm>
#include <climits>

#include <wx/dc.h>
#include <wx/image.h>
#include <wx/intl.h>
#include <wx/textctrl.h>
#include <wx/valtext.h>

#include "common/string_util.h"
#include "domain/file_row_info.h"
#include "domain/notify_code.h"
#include "window/base/face_table.h"
#include "window/base/gtk/tav_static_text.h"
#include "window/base/image_util.h"
#include "window/base/tav_bitmap_button.h"
#include "window/base/user_prompt.h"
#include "window/preview_run_record.h"

wxIMPLEMENT_DYNAMIC_CLASS(PreviewWindow, MoxPieceWindow);

namespace {

constexpr int kPageBoxWidth = 40;  // the least; wide enough for five digits in any font
constexpr int kPageBoxHeight = 20;
constexpr int kCountLabelGap = 1;  // between the page box and the page count
// The desk behind the page and the edge of the sheet.
const wxColour kDeskColour(243, 245, 248);
const wxColour kSheetEdge(211, 217, 224);

enum ButtonSlot : size_t { FirstSlot, PreviousSlot, NextSlot, LastSlot };

// A whole number, digits with an optional sign; false for anything else.
bool WholeNumber(const wxString& text, long* value)
{
    wxString digits = text;
    if (digits.StartsWith("+") || digits.StartsWith("-"))
        digits = digits.Mid(1);
    if (digits.empty() || !digits.IsNumber())
        return false;
    return text.ToLong(value);
}

}  // namespace

PreviewWindow::PreviewWindow() = default;

PreviewWindow::~PreviewWindow()
{
    if (record_) {
        record_->Detach();
        record_->Close();
    }
}

bool PreviewWindow::Create(std::unique_ptr<wxBitmap> background, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                           const wxSize& size, long style)
{
    if (!MoxPieceWindow::Create(parent, std::move(background), id, pos, size, style))
        return false;
    const FaceRect image = GetFace("/face/preview-window/preview");
    image_rect_ = wxRect(image.x, image.y, image.width, image.height);
    const FaceRect row = GetFace("/face/preview-window/control-region");
    row_x_ = row.x;
    row_y_ = row.y;
    gap_ = row.width;

    first_ = MakeButton(FirstPageId, "image/preview/firstpage", row_x_, row_y_);
    previous_ = MakeButton(PreviousPageId, "image/preview/prev", 0, row_y_);
    next_ = MakeButton(NextPageId, "image/preview/nextpage", 0, row_y_);
    last_ = MakeButton(LastPageId, "image/preview/lastpage", 0, row_y_);

    page_box_ = new wxTextCtrl(this, PageBoxId, "1", wxDefaultPosition, wxSize(kPageBoxWidth, kPageBoxHeight),
                               wxTE_PROCESS_ENTER | wxTE_CENTRE, wxTextValidator(wxFILTER_DIGITS));
    page_box_->SetToolTip(_("Press Enter to confirm "));
    count_label_ = new TavStaticText(this, wxID_ANY, "/----");
    if (const wxBitmap* skin = GetBackgroundBitmap(); skin != nullptr)
        count_label_->SetBackground(skin);
    count_label_->SetForegroundColour(ImageUtil::FaceColourOr("/face/preview-window/textcolour", wxColour(31, 41, 51)));
    LayOutControls();

    record_ = std::make_shared<PreviewRunRecord>(this);
    Bind(EVT_PREVIEW_RENDERED, &PreviewWindow::OnRendered, this);
    Bind(wxEVT_BUTTON, &PreviewWindow::OnButton, this);
    page_box_->Bind(wxEVT_TEXT_ENTER, &PreviewWindow::OnPageBoxEnter, this);
    EnableControls(false);
    return true;
}

TavBitmapButton* PreviewWindow::MakeButton(int id, const wxString& stem, int x, int y)
{
    const size_t slot = id == FirstPageId ? FirstSlot : id == PreviousPageId ? PreviousSlot
                                                      : id == NextPageId     ? NextSlot
                                                                             : LastSlot;
    std::array<wxBitmap, 3>& images = images_[slot];
    images[0] = ImageUtil::LoadBitmap(stem + "-normal.png");
    images[1] = ImageUtil::LoadBitmap(stem + "-pressed.png");
    images[2] = ImageUtil::LoadBitmap(stem + "-current.png");
    const wxSize size = images[0].IsOk() ? images[0].GetSize() : wxSize(kPageBoxWidth, kPageBoxHeight);
    auto* button = new TavBitmapButton(this, id, wxPoint(x, y), size);
    button->SetNormalBitmap(&images[0]);
    button->SetPressedBitmap(&images[1]);
    button->SetCurrentBitmap(&images[2]);
    return button;
}

void PreviewWindow::LayOutControls()
{
    // First, previous, the page box and its count, next; last at the right edge.
    first_->Move(row_x_, row_y_);
    previous_->Move(first_->GetRect().GetRight() + 1 + gap_, row_y_);
    const int box_x = previous_->GetRect().GetRight() + 1 + gap_;
    const int box_width =
        std::max(kPageBoxWidth, page_box_->GetSizeFromTextSize(page_box_->GetTextExtent("99999")).x);
    page_box_->SetSize(box_x, row_y_, box_width, kPageBoxHeight);
    count_label_->Move(box_x + box_width + kCountLabelGap,
                       row_y_ + (kPageBoxHeight - count_label_->GetSize().y) / 2);
    next_->Move(count_label_->GetRect().GetRight() + 1 + gap_, row_y_);
    const int skin_width = GetBackgroundBitmap() != nullptr ? GetBackgroundBitmap()->GetWidth() : GetClientSize().x;
    last_->Move(skin_width - gap_ - last_->GetSize().x, row_y_);
    // Each control shows the part of the skin under it.
    if (const wxBitmap* skin = GetBackgroundBitmap(); skin != nullptr) {
        for (TavBitmapButton* button : {first_, previous_, next_, last_}) {
            const wxRect r = button->GetRect().Intersect(wxRect(skin->GetSize()));
            if (!r.IsEmpty())
                button->SetBackground(skin->GetSubBitmap(r));
        }
    }
}

void PreviewWindow::Relabel()
{
    page_box_->SetToolTip(_("Press Enter to confirm "));
}

void PreviewWindow::SetColumns(int source_path_column, int page_count_column)
{
    source_column_ = source_path_column;
    pages_column_ = page_count_column;
}

TavBitmapButton* PreviewWindow::GetButton(int id) const
{
    switch (id) {
    case FirstPageId:
        return first_;
    case LastPageId:
        return last_;
    case PreviousPageId:
        return previous_;
    case NextPageId:
        return next_;
    default:
        return nullptr;
    }
}

void PreviewWindow::EnableControls(bool enable)
{
    for (TavBitmapButton* button : {first_, previous_, next_, last_})
        button->Enable(enable);
    page_box_->Enable(enable);
    count_label_->Enable(enable);
}

wxRect PreviewWindow::GetPageRect() const
{
    if (!page_bitmap_ || !page_bitmap_->IsOk())
        return wxRect();
    const wxSize size = page_bitmap_->GetSize();
    return wxRect(image_rect_.x + (image_rect_.width - size.x) / 2, image_rect_.y + (image_rect_.height - size.y) / 2,
                  size.x, size.y);
}

void PreviewWindow::DrawBackground(wxDC& dc)
{
    MoxPieceWindow::DrawBackground(dc);
    const wxRect page = GetPageRect();
    if (page.IsEmpty())
        return;
    // The page replaces the theme's placeholder sheet: clear the whole page
    // rectangle to the desk, then the page, centred, with a thin edge.
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(kDeskColour));
    dc.DrawRectangle(wxRect(image_rect_).Inflate(3));
    dc.SetPen(wxPen(kSheetEdge));
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawRectangle(wxRect(page).Inflate(1));
    dc.DrawBitmap(*page_bitmap_, page.x, page.y, false);
}

void PreviewWindow::ShowPage(int page)
{
    if (row_cells_.empty())
        return;
    Send(PreviewPageChanged, &page);
    const wxString path = static_cast<size_t>(source_column_) < row_cells_.size() ? row_cells_[source_column_] : wxString();
    if (path.empty() || !record_)
        return;
    ++renders_;
    requested_ = record_->Request(path, page, image_rect_.GetSize());
}

void PreviewWindow::OnRendered(wxThreadEvent& /*event*/)
{
    std::optional<PreviewPicture> picture = record_->TakePicture();
    if (!picture)
        return;  // superseded: a newer request is on its way
    answered_ = picture->generation;
    if (!picture->image.IsOk())
        return;  // not drawn: the previous picture stays
    page_bitmap_ = std::make_unique<wxBitmap>(picture->image);
    SetPageBox(picture->page);
    Refresh(false);
}

void PreviewWindow::SetRenderBudget(std::chrono::milliseconds budget)
{
    if (record_)
        record_->SetTimeBudget(budget);
}

int PreviewWindow::TypedPage() const
{
    // An empty or non-numeric box reads as 0.
    return StringUtil::ToInt(page_box_->GetValue());
}

void PreviewWindow::SetPageBox(int page)
{
    page_box_->ChangeValue(wxString::Format("%d", page));
}

void PreviewWindow::GoFirst()
{
    ShowPage(1);
}

void PreviewWindow::GoLast()
{
    ShowPage(page_count_);
}

void PreviewWindow::GoNext()
{
    const int p = TypedPage();
    if (p < 0 || p == INT_MAX)
        return;
    next_page_ = p + 1;
    if (next_page_ > page_count_)
        return;
    SetPageBox(next_page_);
    ShowPage(next_page_);
}

void PreviewWindow::GoPrevious()
{
    const int p = TypedPage();
    if (p == 1 || p == INT_MIN)
        return;
    previous_page_ = p - 1;
    if (previous_page_ < 0 || previous_page_ > page_count_)
        return;
    SetPageBox(previous_page_);
    ShowPage(previous_page_);
}

void PreviewWindow::GoToTypedPage()
{
    long n = 0;
    if (!WholeNumber(page_box_->GetValue(), &n))
        return;  // not a number: nothing to go to
    if (n >= 1 && n <= page_count_) {
        ShowPage(static_cast<int>(n));
        return;
    }
    UserPrompt::Message(_("Invalid format or out of range!"), this);
    // The refused page is never asked for; the first page is shown instead.
    SetPageBox(1);
    ShowPage(1);
}

void PreviewWindow::OnButton(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case FirstPageId:
        GoFirst();
        break;
    case LastPageId:
        GoLast();
        break;
    case NextPageId:
        GoNext();
        break;
    case PreviousPageId:
        GoPrevious();
        break;
    default:
        event.Skip();
        break;
    }
}

void PreviewWindow::OnPageBoxEnter(wxCommandEvent& /*event*/)
{
    GoToTypedPage();
}

void PreviewWindow::Clear()
{
    // The file is released and any page still being drawn is dropped.
    record_->Close();
    answered_ = requested_;
    current_row_ = -1;
    row_cells_.clear();
    page_bitmap_.reset();
    SetPageBox(1);
    count_label_->SetLabel("----");
    EnableControls(false);
    Refresh(false);
}

void PreviewWindow::Update(KelSubject* subject, void* payload)
{
    if (subject == nullptr)
        return;
    switch (subject->GetCode()) {
    case LockOptions:
        EnableControls(false);
        break;
    case UnlockOptions:
        // Only a shown row has pages to walk.
        EnableControls(current_row_ >= 0);
        break;
    case RowFocused: {
        const auto* info = static_cast<const FileCellInfo*>(payload);
        if (info == nullptr || info->row_ == current_row_)
            break;
        EnableControls(true);
        current_row_ = info->row_;
        row_cells_ = info->cells_;
        page_count_ = static_cast<size_t>(pages_column_) < row_cells_.size()
                          ? StringUtil::ToInt(row_cells_[pages_column_])
                          : 0;
        count_label_->SetLabel(wxString::Format("/%d", page_count_));
        count_label_->Refresh();
        ShowPage(1);
        break;
    }
    case RowsRemoved: {
        const auto* info = static_cast<const FileCellInfo*>(payload);
        if (info == nullptr || current_row_ < 0)
            break;
        if (info->row_ == -1 || info->row_ == current_row_)
            Clear();
        else if (info->row_ < current_row_)
            --current_row_;  // the shown file moved up one row
        break;
    }
    default:
        break;
    }
}
