#include "window/main_frame_kestran.h"

#include <algorithm>
#include <initializer_list>

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/display.h>
#include <wx/intl.h>
#include <wx/notebook.h>
#include <wx/settings.h>
#include <wx/sizer.h>

#include "common/app_util.h"
#include "common/string_util.h"
#include "domain/convert_options.h"
#include "domain/domain_config.h"
#include "domain/domain_convert_kestran.h"
#include "domain/file_row_info.h"
#include "domain/job_state.h"
#include "domain/language.h"
#include "domain/page_range.h"
#include "window/about_dialog.h"
#include "window/base/face_table.h"
#include "window/base/image_util.h"
#include "window/base/mox_menu_bar.h"
#include "window/base/mox_piece_window.h"
#include "window/base/mox_tool_bar.h"
#include "window/base/ruv_grid.h"
#include "window/base/tav_button_state.h"
#include "window/base/tav_check_box.h"
#include "window/base/tav_word_button.h"
#include "window/base/title_window.h"
#include "window/base/user_prompt.h"
#include "window/kel_progress_dialog.h"
#include "window/mox_page_range_window.h"
#include "window/output_window.h"
#include "window/preference_dialog.h"
#include "window/preview_window.h"
#include "window/select_window.h"
#include "window/setting_output.h"
#include "window/setting_proxy.h"

wxIMPLEMENT_DYNAMIC_CLASS(MainFrameKESTRAN, MainFrame);

namespace {

// Where the frame was when it closed, "x,y" in screen pixels.
const char kPositionSetting[] = "window-position";

// Gaps of the empty list's guide, in pixels.
constexpr int kGuideIndent = 10;      // steps start this far right of the title
constexpr int kGuideTitleGap = 20;    // first step this far under the title
constexpr int kGuideLineGap = 20;     // between the steps
constexpr int kGuidePictureGap = 4;   // between a text and a picture
constexpr int kGuideStartHeight = 24; // the Start picture's height

}  // namespace

MainFrameKESTRAN::MainFrameKESTRAN() = default;

MainFrameKESTRAN::~MainFrameKESTRAN()
{
    // The file list outlives this object's members: it must not keep a
    // pointer to the conversion object that goes with them.
    if (select_ != nullptr)
        select_->SetConversion(nullptr);
}

bool MainFrameKESTRAN::Build(wxWindowID id, const wxString& title)
{
    language_ = LoadLanguage();
    SetLanguage(language_);
    if (!CreateFrame(id, ImageUtil::LoadNewBitmap("image/screen1.png"), title))
        return false;

    // Every piece is a child of the root piece and shows the part of the
    // screen image under it, so together they show the whole image.
    screen_ = ImageUtil::LoadBitmap("image/screen1.png");
    const wxSize size = screen_.GetSize();
    root_ = new MoxPieceWindow(this, std::make_unique<wxBitmap>(screen_), RootPieceId, wxPoint(0, 0), size,
                               wxTAB_TRAVERSAL | wxBORDER_NONE);
    BuildPieces();

    conversion_ = std::make_shared<DomainConvertKESTRAN>();
    select_->SetConversion(conversion_.get());
    BuildFileList();
    output_->SetMergeAvailable(true);

    Register(FramePiece, this);
    Wire();

    // The frame already has the screen image's size; Fit would go through
    // SetClientSize, which shrinks a borderless GTK frame to 1 x 1 before it is shown.
    Centre(wxBOTH);
    RestorePosition();
    PrepareGuideImages();
    select_->Bind(wxEVT_PAINT, &MainFrameKESTRAN::PaintGuide, this);
    Bind(wxEVT_CHAR_HOOK, &MainFrameKESTRAN::OnCharHook, this);
    return true;
}

void MainFrameKESTRAN::OnCharHook(wxKeyEvent& event)
{
    // The window has no native menu bar to take these keys first.
    if (menu_bar_ != nullptr && menu_bar_->HandleKey(event))
        return;
    const int key = event.GetKeyCode();
    if ((key == WXK_RETURN || key == WXK_NUMPAD_ENTER) && event.GetModifiers() == wxMOD_CONTROL) {
        // Start, as its button does, while the button is there to press.
        TavWordButton* start = output_ != nullptr ? output_->GetStartButton() : nullptr;
        if (start != nullptr && start->IsShown() && start->IsEnabled())
            CallAfter([start] { SendTavClick(start); });
        return;
    }
    event.Skip();
}

std::unique_ptr<wxBitmap> MainFrameKESTRAN::CutScreen(const wxRect& rect) const
{
    return ImageUtil::CropNewBitmap(screen_, rect.x, rect.y, rect.width, rect.height);
}

void MainFrameKESTRAN::BuildPieces()
{
    const int width = screen_.GetWidth();
    const int height = screen_.GetHeight();
    const auto face_rect = [](const wxString& key) {
        const FaceRect face = GetFace(key);
        return wxRect(face.x, face.y, face.width, face.height);
    };

    const FaceRect title_face = GetFace("/face/titlebar");
    const wxRect title_rect(0, title_face.y, width, title_face.height);
    title_bar_ = new TitleWindow(CutScreen(title_rect), root_, TitleBarId, title_rect.GetPosition(),
                                 title_rect.GetSize(), wxBORDER_NONE);
    Register(TitlePiece, title_bar_);

    const FaceRect menu_face = GetFace("/face/menubar");
    const wxRect menu_rect(menu_face.x, menu_face.y, width - menu_face.x, menu_face.height);
    menu_bar_ = new MoxMenuBar;
    menu_bar_->SetLanguage(language_);
    menu_bar_->Create(CutScreen(menu_rect), root_, MenuBarId, menu_rect.GetPosition(), menu_rect.GetSize());
    menu_bar_->SetDialogs(
        [](wxWindow* parent) {
            AboutDialog about(parent);
            about.ShowModal();
        },
        [](wxWindow* parent) { return new KelProgressDialog(parent, wxID_ANY, _("Check for Update")); });
    menu_bar_->Relabel();
    Register(MenuBarPiece, menu_bar_);

    const wxRect tool_rect = face_rect("/face/toolbar");
    toolbar_ = new MoxToolBar(CutScreen(tool_rect), root_, ToolBarId, tool_rect.GetPosition(), tool_rect.GetSize(),
                              wxTAB_TRAVERSAL | wxBORDER_NONE);
    Register(ToolBarPiece, toolbar_);

    const FaceRect output_face = GetFace("/face/outputwindow");
    const wxRect output_rect(0, output_face.y, width, height - output_face.y);
    output_ = new OutputWindow;
    output_->Create(CutScreen(output_rect), root_, OutputWindowId, output_rect.GetPosition(), output_rect.GetSize());
    // One output type and no merged output: the merge choice has nothing to offer.
    output_->GetMergeBox()->Hide();
    Register(OutputPiece, output_);

    const wxRect preview_rect = face_rect("/face/preview-window");
    preview_ = new PreviewWindow;
    preview_->Create(CutScreen(preview_rect), root_, wxID_ANY, preview_rect.GetPosition(), preview_rect.GetSize(),
                     wxBORDER_NONE);
    preview_->SetColumns(COL_SOURCE_PATH, COL_TOTAL_PAGES);
    Register(PreviewPiece, preview_);

    const wxRect range_rect = face_rect("/face/pagerange-window");
    page_range_ = new MoxPageRangeWindow;
    page_range_->Create(CutScreen(range_rect), root_, wxID_ANY, range_rect.GetPosition(), range_rect.GetSize());
    page_range_->EnablePanel(false);
    Register(PageRangePiece, page_range_);

    const wxRect select_rect = face_rect("/face/selectwidow");
    select_ = new SelectWindow(CutScreen(select_rect), root_, SelectWindowId, select_rect.GetPosition(),
                               select_rect.GetSize(), wxTAB_TRAVERSAL | wxBORDER_NONE);
    Register(SelectPiece, select_);
}

void MainFrameKESTRAN::BuildFileList()
{
    for (int column = 0; column < COL_COUNT; ++column) {
        const FileColumnSpec& spec = kFileColumns[column];
        select_->AddColumn(wxString(), spec.width, spec.kind, spec.width == 0);
    }
    ConvertOptions[STATUS_COLUMN] = wxString::Format("%d", static_cast<int>(COL_STATUS));
    SettingOutput::LoadStoredChoices();
    SetColumnLabels(_("Output Type"));
}

void MainFrameKESTRAN::Wire()
{
    struct Row {
        PieceSlot subject;
        std::initializer_list<PieceSlot> observers;
    };
    // Observers in the order they hear a subject.
    const Row wiring[] = {
        {SelectPiece, {OutputPiece, ToolBarPiece, MenuBarPiece, TitlePiece, FramePiece, PreviewPiece, PageRangePiece}},
        {PreviewPiece, {SelectPiece, PageRangePiece}},
        {PageRangePiece, {FramePiece}},
        {ToolBarPiece, {SelectPiece, FramePiece}},
        {MenuBarPiece, {SelectPiece, FramePiece}},
        {OutputPiece, {SelectPiece, FramePiece}},
    };
    for (const Row& row : wiring) {
        KelSubject* subject = pieces_[row.subject].subject;
        if (subject == nullptr)
            continue;
        for (PieceSlot slot : row.observers)
            if (KelObserver* observer = pieces_[slot].observer; observer != nullptr)
                subject->Attach(observer);
    }
}

void MainFrameKESTRAN::ApplyOutputType(int row, int type)
{
    // A choice made on one of several selected rows is meant for all of them;
    // new rows get it too.
    const wxArrayInt selected = select_->GetSelectedRows();
    if (selected.Index(row) != wxNOT_FOUND)
        for (int other : selected)
            if (other != row)
                select_->SetCellText(other, COL_OUTPUT_TYPE, wxString::Format("%d", type));
    SettingOutput::RememberOutputType(type);
}

void MainFrameKESTRAN::SetColumnLabels(const wxString& output_type_label)
{
    // What each choice of the column makes of the images; its index is what
    // a row's cell holds and what the job passes to the engine.
    wxArrayString types;
    types.Add(_("Original"));
    types.Add("PNG");
    types.Add("JPEG");
    select_->SetOutputTypes(types);
    const wxString labels[COL_COUNT] = {_("File Name"),   _("Size"),          _("Total Pages"),
                                        output_type_label, _("Selected Page"), _("Status"),
                                        _("Source Path"),  _("Source Dir"),    _("Output Name")};
    for (int column = 0; column < COL_COUNT; ++column)
        select_->SetColumnLabel(column, labels[column]);
    select_->FitColumns();
}

void MainFrameKESTRAN::PrepareGuideImages()
{
    // The Start button in small: its face scaled to the guide's line, with its
    // label drawn again at a size that fits, so the picture reads as the button.
    const wxBitmap start = output_ != nullptr ? output_->GetStartBitmap() : wxNullBitmap;
    guide_start_ = wxNullBitmap;
    if (start.IsOk() && start.GetHeight() > 0) {
        const int width = std::max(start.GetWidth() * kGuideStartHeight / start.GetHeight(), 1);
        wxBitmap picture(start.ConvertToImage().Scale(width, kGuideStartHeight, wxIMAGE_QUALITY_HIGH));
        {
            wxMemoryDC dc(picture);
            wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
            font.SetWeight(wxFONTWEIGHT_BOLD);
            font.SetPointSize(8);
            dc.SetFont(font);
            dc.SetTextForeground(ImageUtil::FaceColour("/face/base-button/big-button-crop/textcolour"));
            dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
            const wxString label = wxString(_("Start ")).Strip(wxString::both);
            const wxSize extent = dc.GetTextExtent(label);
            dc.DrawText(label, (width - extent.x) / 2, (kGuideStartHeight - extent.y) / 2);
        }
        guide_start_ = picture;
    }
    const wxBitmap add_file = ImageUtil::LoadBitmap("image/toolbar/add-file-normal.png");
    const int icon_width = GetFace("/face/toolbar/add-file-image").x - 4;
    guide_add_file_ = add_file.IsOk() && icon_width > 0
                          ? ImageUtil::CropBitmap(add_file, 4, 0, icon_width, add_file.GetHeight())
                          : wxNullBitmap;
}

void MainFrameKESTRAN::PaintGuide(wxPaintEvent& /*event*/)
{
    wxAutoBufferedPaintDC dc(select_);
    select_->DrawBackground(dc);
    if (select_->GetGrid() != nullptr && select_->GetGrid()->IsShown())
        return;

    const FaceRect at = GetFace("/face/selectwidow/guide");
    dc.SetTextForeground(ImageUtil::FaceColour("/face/selectwidow/guide/text-colour"));
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);

    dc.SetFont(ImageUtil::FaceFont("/face/selectwidow/guide/title-font", wxFONTWEIGHT_BOLD));
    const wxString title = _("Getting Started");
    dc.DrawText(title, at.x, at.y);
    const int title_height = dc.GetTextExtent(title).y;

    dc.SetFont(ImageUtil::FaceFont("/face/selectwidow/guide/content-font", wxFONTWEIGHT_NORMAL));
    const int x = at.x + kGuideIndent;
    int y = at.y + title_height + kGuideTitleGap;
    const int line_height = dc.GetTextExtent(_("1. Click")).y;

    // A step: text, a picture at the top of the line, text after it.
    const auto step = [&](const wxString& before, const wxBitmap& picture, const wxString& after, wxRect* where) {
        dc.DrawText(before, x, y);
        int next = x + dc.GetTextExtent(before).x;
        if (picture.IsOk()) {
            next += kGuidePictureGap;
            dc.DrawBitmap(picture, next, y, false);
            if (where != nullptr)
                *where = wxRect(wxPoint(next, y), picture.GetSize());
            next += picture.GetWidth() + kGuidePictureGap;
        }
        dc.DrawText(after, next, y);
        y += line_height + kGuideLineGap;
    };
    step(_("1. Click"), guide_add_file_, _("to load file(s)."), &guide_add_file_rect_);
    dc.DrawText(_("2. Set output format, output folder and page range."), x, y);
    y += line_height + kGuideLineGap;
    step(_("3. Click"), guide_start_, _("to start conversion."), &guide_start_rect_);
}

void MainFrameKESTRAN::OnLanguageChanged(wxCommandEvent& event)
{
    MainFrame::OnLanguageChanged(event);
    language_ = event.GetInt();
    SaveLanguage(language_);
    SetLanguage(language_);
    if (menu_bar_ != nullptr) {
        menu_bar_->SetLanguage(language_);
        menu_bar_->Relabel();
    }
    if (toolbar_ != nullptr) {
        toolbar_->Relabel();
        toolbar_->Refresh();
    }
    if (output_ != nullptr)
        output_->Relabel();
    if (page_range_ != nullptr)
        page_range_->Relabel();
    if (preview_ != nullptr)
        preview_->Relabel();
    PrepareGuideImages();
    if (select_ != nullptr) {
        SetColumnLabels(_("Output Type"));
        select_->Relabel();
        select_->Refresh(false);
    }
}

wxString MainFrameKESTRAN::RangeRefusal()
{
    return _("Invalid format or out of range!\nfor example: 1,3,4,5-10");
}

void MainFrameKESTRAN::Update(KelSubject* subject, void* payload)
{
    MainFrame::Update(subject, payload);
    if (subject == nullptr || select_ == nullptr)
        return;
    switch (subject->GetCode()) {
    case OpenSourceFolder: {
        const wxArrayInt rows = select_->GetSelectedRows();
        if (rows.empty())
            UserPrompt::Message(_("No item selected!"));
        else
            UserPrompt::OpenFolder(select_->GetCellText(rows[0], COL_SOURCE_DIR));
        break;
    }
    case FileLoaded:
        OnFileLoaded(static_cast<FileRowInfo*>(payload));
        break;
    case OpenPreferences:
        ShowPreferences();
        break;
    case RangeAllPages:
    case RangeCurrentPage:
    case RangeCustom:
        ApplyRange(subject->GetCode(), payload);
        break;
    case PageCellEdited: {
        auto* info = static_cast<FileCellInfo*>(payload);
        if (info != nullptr && info->column_ == COL_OUTPUT_TYPE) {
            ApplyOutputType(info->row_, StringUtil::ToInt(info->value_));
            break;
        }
        if (info == nullptr || info->column_ != COL_SELECTED_PAGE)
            break;
        const int pages = info->cells_.size() > COL_TOTAL_PAGES ? StringUtil::ToInt(info->cells_[COL_TOTAL_PAGES]) : 0;
        const wxString range = ValidatePageRange(info->value_, pages);
        if (!range.empty()) {
            info->value_ = range;
        } else {
            UserPrompt::Message(RangeRefusal());
            info->accept_ = false;
        }
        break;
    }
    default:
        break;
    }
}

void MainFrameKESTRAN::ShowPreferences()
{
    PreferenceDialog dialog(this, wxID_ANY, _("Preference"));
    auto* page = new SettingProxy(dialog.GetBook(), wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                  wxTAB_TRAVERSAL | wxNO_BORDER);
    // The proxy page hears Save first: its veto keeps the output page from storing.
    dialog.Attach(page);
    auto* output = new SettingOutput(dialog.GetBook());
    dialog.Attach(output);
    dialog.GetBook()->AddPage(page, _("Proxy Setting"));
    dialog.GetBook()->AddPage(output, _("Output"));
    dialog.GetSizer()->SetSizeHints(&dialog);  // as large as the larger page needs
    dialog.CentreOnParent();
    page->FocusFirstField();
    dialog.ShowModal();
}

void MainFrameKESTRAN::ApplyRange(int code, void* payload)
{
    const wxArrayInt rows = select_->GetSelectedRows();
    if (rows.empty()) {
        UserPrompt::Message(_("No selected file!"), this);
        return;
    }
    wxString refused;  // the rows a typed range does not fit, named in one message
    for (int row : rows) {
        const wxString pages = select_->GetCellText(row, COL_TOTAL_PAGES);
        const int count = StringUtil::ToInt(pages);
        switch (code) {
        case RangeAllPages:
            select_->SetCellText(row, COL_SELECTED_PAGE, "1-" + pages);
            break;
        case RangeCurrentPage: {
            const int page = payload != nullptr ? *static_cast<const int*>(payload) : 1;
            if (count >= page)
                select_->SetCellText(row, COL_SELECTED_PAGE, wxString::Format("%d", page));
            break;
        }
        case RangeCustom: {
            const wxString typed = payload != nullptr ? *static_cast<const wxString*>(payload) : wxString();
            const wxString range = ValidatePageRange(typed, count);
            if (!range.empty())
                select_->SetCellText(row, COL_SELECTED_PAGE, range);
            else
                refused += "\n" + select_->GetCellText(row, COL_FILE_NAME);
            break;
        }
        default:
            break;
        }
    }
    if (!refused.empty())
        UserPrompt::Message(RangeRefusal() + refused);
}

void MainFrameKESTRAN::OnFileLoaded(FileRowInfo* record)
{
    if (record == nullptr)
        return;
    switch (record->status_) {
    case RowOpened:
        break;
    default:
        // Every other status means the file cannot be used; the file list
        // names it with its reason when the add ends.
        record->add_ = false;
        break;
    }
}

void MainFrameKESTRAN::RestorePosition()
{
    if (g_domain_config == nullptr)
        return;
    long x = 0;
    long y = 0;
    const wxString stored = g_domain_config->GetValue(kPositionSetting);
    if (!stored.BeforeFirst(',').ToLong(&x) || !stored.AfterFirst(',').ToLong(&y))
        return;
    // Only where the title bar is reachable on a display that is there now:
    // a monitor unplugged since must not leave the window out of sight.
    const wxRect frame(wxPoint(int(x), int(y)), GetSize());
    const wxPoint title_points[] = {frame.GetTopLeft() + wxPoint(40, 10), frame.GetTopRight() + wxPoint(-40, 10)};
    for (const wxPoint& point : title_points) {
        if (wxDisplay::GetFromPoint(point) != wxNOT_FOUND) {
            Move(frame.GetTopLeft());
            return;
        }
    }
}

void MainFrameKESTRAN::OnClose(wxCloseEvent& event)
{
    if (g_domain_config != nullptr && !IsIconized()) {
        const wxPoint at = GetPosition();
        g_domain_config->SetValue(kPositionSetting, wxString::Format("%d,%d", at.x, at.y));
    }
    if (conversion_ != nullptr && g_job_state.load() != JobIdle) {
        conversion_->Stop();
        DomainConvertPDF::DiscardPartialOutputs();
    }
    MainFrame::OnClose(event);
}

bool MainFrameKESTRAN::OpenPaths(const wxArrayString& paths)
{
    if (paths.empty())
        return true;
    if (select_ == nullptr || !select_->IsDropEnabled())
        return false;
    select_->AddDropped(paths);
    return true;
}
