#include "window/select_window.h"

#include <algorithm>

#include <wx/app.h>
#include <wx/combobox.h>
#include <wx/dc.h>
#include <wx/dcclient.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/settings.h>
#include <wx/utils.h>
#include <wx/stopwatch.h>

#include "common/app_util.h"
#include "common/file_util.h"
#include "common/folder_listing.h"
#include "common/string_util.h"
#include "domain/convert_options.h"
#include "domain/domain_config.h"
#include "domain/domain_convert.h"
#include "domain/event_target_record.h"
#include "domain/notify_code.h"
#include "window/base/face_table.h"
#include "window/base/image_util.h"
#include "window/base/mox_grid_cell_renderer.h"
#include "window/base/ruv_grid.h"
#include "window/base/user_prompt.h"
#include "window/dnd_file.h"
#include "window/job_summary_dialog.h"

wxIMPLEMENT_DYNAMIC_CLASS(SelectWindow, MoxPieceWindow);

namespace {

// The amber of the progress bars and of the Start button.
const wxColour kBarColour(252, 156, 0);
const wxColour kLabelColour(232, 232, 232);
// A stretch of row appending never holds the event loop longer than this.
constexpr long kAppendSliceMs = 25;
// An add that refuses more files than this names the first ones and counts the rest.
constexpr size_t kRefusalsNamed = 20;
// Characters a merged output name cannot hold.
const char kRefusedNameChars[] = "\\/|:*?\"<>";

// The lower-cased text after the last "." of a path's name, "" without one.
wxString LowerExtension(const wxString& path)
{
    const wxString name = FileUtil::GetFullName(path);
    const int dot = name.Find('.', true);
    return dot == wxNOT_FOUND ? wxString() : name.Mid(static_cast<size_t>(dot) + 1).Lower();
}

// Where the file and folder dialogs open: the folder files came from last,
// else the user's Documents (or home) folder rather than the toolkit's guess.
wxString InputStartFolder()
{
    const wxString last = ConvertOptions[LAST_CONVERT_DIR];
    if (!last.empty() && wxFileName::DirExists(last))
        return last;
    const wxString documents = AppUtil::GetDocumentsDir();
    return wxFileName::DirExists(documents) ? documents : wxGetHomeDir();
}

void RememberInputFolder(const wxString& dir_or_list)
{
    if (g_domain_config != nullptr)
        g_domain_config->SetLastConvertDir(dir_or_list);
    else
        ConvertOptions[LAST_CONVERT_DIR] = DomainConfig::FolderOf(dir_or_list);
}

}  // namespace

// ---------------------------------------------------------------------------
// The output-type column

TavGridCellChoiceEditor::TavGridCellChoiceEditor(const wxArrayString& choices) : choices_(choices)
{
    m_choices = choices;
}

void TavGridCellChoiceEditor::BeginEdit(int row, int col, wxGrid* grid)
{
    wxGridCellEnumEditor::BeginEdit(row, col, grid);
    // One click opens the list, as a drop-down in a form does.
    if (Combo() != nullptr && Combo()->IsShown())
        Combo()->Popup();
}

wxGridCellEditor* TavGridCellChoiceEditor::Clone() const
{
    return new TavGridCellChoiceEditor(*this);
}

TavGridCellChoiceRenderer::TavGridCellChoiceRenderer(const wxArrayString& choices) : choices_(choices) {}

void TavGridCellChoiceRenderer::Draw(wxGrid& grid, wxGridCellAttr& attr, wxDC& dc, const wxRect& rect, int row,
                                     int col, bool is_selected)
{
    wxGridCellRenderer::Draw(grid, attr, dc, rect, row, col, is_selected);  // the cell's background
    long index = -1;
    const wxString value = grid.GetTable()->GetValue(row, col);
    if (!value.ToLong(&index) || index < 0 || static_cast<size_t>(index) >= choices_.size())
        return;
    // A closed drop-down: a white box with a thin border, the text and a chevron.
    const wxRect box = rect.Deflate(5, 4);
    if (box.width < 16 || box.height < 8)
        return;
    dc.SetPen(wxPen(wxColour(196, 204, 213)));
    dc.SetBrush(*wxWHITE_BRUSH);
    dc.DrawRoundedRectangle(box, 3);
    dc.SetFont(attr.GetFont());
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    dc.SetTextForeground(wxColour(31, 41, 51));
    const wxString text = choices_[static_cast<size_t>(index)];
    const wxSize extent = dc.GetTextExtent(text);
    dc.SetClippingRegion(wxRect(box).Deflate(1));
    dc.DrawText(text, box.x + 6, box.y + (box.height - extent.y) / 2);
    dc.DestroyClippingRegion();
    const int cx = box.GetRight() - 9, cy = box.y + box.height / 2;
    dc.SetPen(wxPen(wxColour(58, 70, 84), 1));
    dc.DrawLine(cx - 3, cy - 1, cx, cy + 2);
    dc.DrawLine(cx, cy + 2, cx + 4, cy - 2);
}

wxGridCellRenderer* TavGridCellChoiceRenderer::Clone() const
{
    return new TavGridCellChoiceRenderer(choices_);
}

// ---------------------------------------------------------------------------
// Creation

SelectWindow::SelectWindow() : timer_(this, TimerId) {}

SelectWindow::SelectWindow(std::unique_ptr<wxBitmap> background, wxWindow* parent, wxWindowID id,
                           const wxPoint& pos, const wxSize& size, long style)
    : timer_(this, TimerId)
{
    Create(std::move(background), parent, id, pos, size, style);
}

SelectWindow::~SelectWindow()
{
    timer_.Stop();
    if (record_)
        record_->Detach();
    if (conversion_ != nullptr && conversion_->GetOwner() == record_)
        conversion_->SetOwner(nullptr);
}

bool SelectWindow::Create(std::unique_ptr<wxBitmap> background, wxWindow* parent, wxWindowID id,
                          const wxPoint& pos, const wxSize& size, long style)
{
    if (!MoxPieceWindow::Create(parent, std::move(background), id, pos, size, style))
        return false;
    rows_to_convert_ = -1;
    record_ = std::make_shared<EventTargetRecord>(this, GetId());
    grid_ = new RuvGrid(this, GridId, wxPoint(0, 0), wxSize(size.x, std::max(0, size.y - 2)), wxWANTS_CHARS);
    SetUpGrid();

    Bind(EVT_ROWS_LOADED, &SelectWindow::OnRowsLoaded, this);
    Bind(EVT_CONVERT_STATUS, &SelectWindow::OnConvertStatus, this);
    Bind(EVT_CONVERT_DONE, &SelectWindow::OnConvertDone, this);
    Bind(wxEVT_TIMER, &SelectWindow::OnTimer, this, TimerId);
    Bind(wxEVT_MENU, &SelectWindow::OnMenu, this, MenuAddFile, MenuConvertSelected);
    grid_->Bind(wxEVT_GRID_CELL_CHANGING, &SelectWindow::OnCellChanging, this);
    grid_->Bind(wxEVT_GRID_COL_SIZE, &SelectWindow::OnColumnSize, this);
    grid_->GetGridWindow()->Bind(wxEVT_MOTION, &SelectWindow::OnGridMotion, this);
    grid_->Bind(wxEVT_GRID_LABEL_LEFT_CLICK, &SelectWindow::OnLabelClick, this);
    EnableListHandlers(true);
    EnableCellClicks(true);
    EnableDropping(true);
    const wxColour outline = ImageUtil::FaceColourOr("/face/selectwidow/drop-colour", wxColour(242, 153, 0));
    for (wxWindow*& edge : drop_edges_) {
        edge = new wxWindow(this, wxID_ANY, wxDefaultPosition, wxSize(1, 1), wxBORDER_NONE);
        edge->SetBackgroundColour(outline);
        edge->Hide();
    }
    return true;
}

void SelectWindow::SetUpGrid()
{
    grid_->CreateGrid(0, 0, wxGrid::wxGridSelectRows);
    grid_->SetColLabelSize(20);
    grid_->SetRowLabelSize(20);
    grid_->SetLabelFont(grid_->GetDefaultCellFont());
    grid_->SetDefaultRowSize(30, true);
    grid_->SetLabelBackgroundColour(kLabelColour);
    grid_->EnableEditing(true);
    grid_->SetCellHighlightPenWidth(0);
    grid_->SetCellHighlightROPenWidth(0);
    grid_->SetGridLineColour(kLabelColour);
    grid_->DisableDragGridSize();
    grid_->DisableDragRowSize();
    grid_->DisableHidingColumns();  // the hidden columns stay hidden
    grid_->UseNativeColHeader(true);
    grid_->SetDefaultCellAlignment(wxALIGN_LEFT, wxALIGN_CENTRE);
    // A name too long for its cell ends in "…" rather than being cut mid-letter.
    grid_->SetDefaultCellFitMode(wxGridFitMode::Ellipsize());
    grid_->SetSelectionBackground(ImageUtil::FaceColourOr("/face/selectwidow/selection-colour", wxColour(254, 233, 199)));
    grid_->SetSelectionForeground(ImageUtil::FaceColourOr("/face/selectwidow/selection-textcolour", wxColour(31, 41, 51)));
    grid_->Hide();
}

void SelectWindow::SetConversion(DomainConvert* conversion)
{
    if (conversion_ != nullptr && conversion_ != conversion && conversion_->GetOwner() == record_)
        conversion_->SetOwner(nullptr);
    conversion_ = conversion;
    if (conversion_ != nullptr)
        conversion_->SetOwner(record_);
}

void SelectWindow::AddColumn(const wxString& label, int width, ColumnKind kind, bool hidden)
{
    column_kinds_.push_back(kind);
    column_widths_.push_back(hidden ? 0 : width);
    grid_->AppendCols(1);
    const int column = grid_->GetNumberCols() - 1;
    grid_->SetColLabelValue(column, label);
    grid_->SetColLabelAlignment(wxALIGN_LEFT, wxALIGN_CENTRE);
    grid_->SetColSize(column, hidden ? 0 : width);
    // What every cell of the column shares lives in the column's attribute,
    // so a thousand rows cost a thousand rows, not nine thousand attributes.
    auto* attr = new wxGridCellAttr;
    switch (kind) {
    case ReadOnly:
    case Status:
        attr->SetReadOnly(true);
        break;
    case Choice:
        attr->SetEditor(new TavGridCellChoiceEditor(output_types_));
        attr->SetRenderer(new TavGridCellChoiceRenderer(output_types_));
        break;
    case Editable:
    default:
        break;
    }
    grid_->SetColAttr(column, attr);
}

void SelectWindow::SetColumnLabel(int column, const wxString& label)
{
    if (column >= 0 && column < grid_->GetNumberCols())
        grid_->SetColLabelValue(column, label);
}

void SelectWindow::FitColumns()
{
    const int columns = std::min(grid_->GetNumberCols(), static_cast<int>(column_widths_.size()));
    if (columns == 0)
        return;
    wxClientDC dc(grid_);
    const auto text_width = [&](const wxFont& font, const wxString& text) {
        dc.SetFont(font);
        return dc.GetTextExtent(text).x;
    };
    // What a status cell can say; each must fit without being cut.
    const wxString statuses[] = {_("Not Converted"), _("Converting..."), _("Failed"), _("Stop"), "100%"};
    // Row numbers up to 99999 fit their header.
    grid_->SetRowLabelSize(std::max(20, text_width(grid_->GetLabelFont(), "99999") + 8));
    std::vector<int> widths(static_cast<size_t>(columns), 0);
    int used = grid_->GetRowLabelSize();
    for (int column = 0; column < columns; ++column) {
        const int given = column_widths_[static_cast<size_t>(column)];
        if (given == 0)
            continue;  // hidden stays hidden
        int width = std::max(given, text_width(grid_->GetLabelFont(), grid_->GetColLabelValue(column)) + 18);
        if (column_kinds_[static_cast<size_t>(column)] == Status)
            for (const wxString& status : statuses)
                width = std::max(width, text_width(grid_->GetDefaultCellFont(), status) + 10);
        widths[static_cast<size_t>(column)] = width;
        used += width;
    }
    // The file names take what is left, leaving room for a vertical scroll bar.
    const int room = grid_->GetClientSize().x - wxSystemSettings::GetMetric(wxSYS_VSCROLL_X, grid_) - used;
    if (room > 0 && widths[COL_FILE_NAME] > 0)
        widths[COL_FILE_NAME] += room;
    grid_->BeginBatch();
    for (int column = 0; column < columns; ++column)
        grid_->SetColSize(column, widths[static_cast<size_t>(column)]);
    grid_->EndBatch();
}

void SelectWindow::Relabel()
{
    for (int row = 0; row < GetRowCount(); ++row)
        if (MoxGridCellRenderer* status = StatusRenderer(row); status != nullptr && !status->GetTextId().empty())
            status->SetText(wxGetTranslation(status->GetTextId()));
    FitColumns();
    grid_->ForceRefresh();
}

void SelectWindow::SetOutputTypes(const wxArrayString& texts)
{
    output_types_.clear();
    for (size_t i = 0; i + 1 < texts.size(); ++i)
        output_types_.Add(texts[i]);
    if (!texts.empty())
        AddOutputType(texts.back());
}

void SelectWindow::AddOutputType(const wxString& text)
{
    output_types_.Add(text);
    // The drop-downs made before show the new choice too.
    for (size_t column = 0; column < column_kinds_.size(); ++column) {
        if (column_kinds_[column] != Choice)
            continue;
        auto* attr = new wxGridCellAttr;
        attr->SetEditor(new TavGridCellChoiceEditor(output_types_));
        attr->SetRenderer(new TavGridCellChoiceRenderer(output_types_));
        grid_->SetColAttr(static_cast<int>(column), attr);
    }
}

// ---------------------------------------------------------------------------
// Cells

int SelectWindow::GetRowCount() const
{
    return grid_ != nullptr && grid_->GetTable() != nullptr ? grid_->GetNumberRows() : 0;
}

wxArrayInt SelectWindow::GetSelectedRows() const
{
    wxArrayInt all = grid_->GetSelectedRowsAll();
    std::vector<int> rows(all.begin(), all.end());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    wxArrayInt sorted;
    for (int row : rows)
        if (row >= 0 && row < GetRowCount())
            sorted.Add(row);
    return sorted;
}

wxString SelectWindow::GetCellText(int row, int column) const
{
    if (grid_->GetTable() == nullptr || row < 0 || row >= grid_->GetNumberRows() || column < 0 ||
        column >= grid_->GetNumberCols())
        return wxString();
    return grid_->GetCellValue(row, column);
}

void SelectWindow::SetCellText(int row, int column, const wxString& text)
{
    if (row < 0 || row >= GetRowCount() || column < 0 || column >= grid_->GetNumberCols())
        return;
    grid_->SetCellValue(row, column, text);
}

MoxGridCellRenderer* SelectWindow::StatusRenderer(int row) const
{
    const int column = StringUtil::ToInt(ConvertOptions[STATUS_COLUMN]);
    if (row < 0 || row >= GetRowCount() || column < 0 || column >= grid_->GetNumberCols())
        return nullptr;
    wxGridCellRenderer* renderer = grid_->GetCellRenderer(row, column);
    auto* status = dynamic_cast<MoxGridCellRenderer*>(renderer);
    if (renderer != nullptr)
        renderer->DecRef();  // the cell's attribute keeps its own reference
    return status;
}

wxString SelectWindow::GetStatusText(int row) const
{
    const MoxGridCellRenderer* renderer = StatusRenderer(row);
    return renderer != nullptr ? renderer->GetText() : wxString();
}

wxString SelectWindow::GetStatusReason(int row) const
{
    const MoxGridCellRenderer* renderer = StatusRenderer(row);
    return renderer != nullptr ? renderer->GetReason() : wxString();
}

wxString SelectWindow::GetCellToolTip(int row, int column) const
{
    if (row < 0 || row >= GetRowCount())
        return wxString();
    if (column == COL_FILE_NAME)
        return grid_->GetCellValue(row, COL_SOURCE_PATH);
    if (column == StringUtil::ToInt(ConvertOptions[STATUS_COLUMN])) {
        const wxString reason = GetStatusReason(row);
        return reason.empty() ? wxString() : GetStatusText(row) + ": " + reason;
    }
    return wxString();
}

void SelectWindow::OnGridMotion(wxMouseEvent& event)
{
    event.Skip();
    int x = 0, y = 0;
    grid_->CalcUnscrolledPosition(event.GetX(), event.GetY(), &x, &y);
    const wxGridCellCoords cell = grid_->XYToCell(x, y);
    const wxString tip = GetCellToolTip(cell.GetRow(), cell.GetCol());
    if (tip == tooltip_)
        return;
    tooltip_ = tip;
    if (tip.empty())
        grid_->GetGridWindow()->UnsetToolTip();
    else
        grid_->GetGridWindow()->SetToolTip(tip);
}

int SelectWindow::GetStatusPercent(int row) const
{
    const MoxGridCellRenderer* renderer = StatusRenderer(row);
    return renderer != nullptr ? renderer->GetPercent() : 0;
}

wxColour SelectWindow::GetStatusColour(int row) const
{
    const MoxGridCellRenderer* renderer = StatusRenderer(row);
    return renderer != nullptr ? renderer->GetColour() : wxColour();
}

void SelectWindow::OnConvertStatus(TavGridCellRenderCommandEvent& event)
{
    const int row = event.GetRow(), column = event.GetColumn();
    if (row < 0 || row >= GetRowCount() || column < 0 || column >= grid_->GetNumberCols())
        return;
    wxGridCellRenderer* renderer = grid_->GetCellRenderer(row, column);
    auto* status = dynamic_cast<MoxGridCellRenderer*>(renderer);
    if (status != nullptr) {
        switch (event.GetKind()) {
        case StatusConverting:
            status->SetColour(*wxWHITE);
            status->SetText(_("Converting..."));
            status->SetTextId("Converting...");
            break;
        case StatusPercent:
            // The list follows the job from row to row.
            if (row != followed_row_) {
                followed_row_ = row;
                grid_->MakeCellVisible(row, COL_FILE_NAME);
            }
            status->SetColour(kBarColour);
            status->SetPercent(event.GetPercent());
            status->SetText(wxString::Format("%d%%", status->GetPercent()));
            status->SetTextId(wxString());
            break;
        case StatusStopped:
            status->SetColour(kBarColour);
            status->SetText(_("Stop"));
            status->SetTextId("Stop");
            if (!event.GetString().empty())
                status->SetReason(event.GetString());
            break;
        case StatusFailed:
            // No bar: part of one behind the word would read as progress.
            status->SetPercent(0);
            status->SetText(_("Failed"));
            status->SetTextId("Failed");
            status->SetReason(event.GetString());
            break;
        default:
            break;
        }
    }
    if (renderer != nullptr)
        renderer->DecRef();
    grid_->RefreshCell(row, column);
}

// ---------------------------------------------------------------------------
// Notifications

void SelectWindow::Update(KelSubject* subject, void* /*payload*/)
{
    if (subject == nullptr)
        return;
    switch (subject->GetCode()) {
    case StartAll: {
        wxArrayInt rows;
        for (int row = 0; row < GetRowCount(); ++row)
            rows.Add(row);
        StartJob(rows);
        break;
    }
    case StopJob:
        if (conversion_ != nullptr && converting_)
            conversion_->Stop();
        break;
    case AddFiles:
        AddFilesFlow();
        break;
    case AddFolder:
        AddFolderFlow();
        break;
    case DeleteSelected:
        DeleteFlow();
        break;
    case ClearAll:
        ClearAllFlow();
        break;
    case SelectAll:
        SelectAllRows();
        break;
    case SelectInvert:
        InvertSelection();
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Handlers that a load or a job turns off

void SelectWindow::EnableListHandlers(bool enable)
{
    if (enable == list_handlers_on_)
        return;
    list_handlers_on_ = enable;
    wxWindow* cells = grid_->GetGridWindow();
    if (enable) {
        cells->Bind(wxEVT_KEY_DOWN, &SelectWindow::OnGridKeyDown, this);
        cells->Bind(wxEVT_RIGHT_UP, &SelectWindow::OnGridRightUp, this);
    } else {
        cells->Unbind(wxEVT_KEY_DOWN, &SelectWindow::OnGridKeyDown, this);
        cells->Unbind(wxEVT_RIGHT_UP, &SelectWindow::OnGridRightUp, this);
    }
}

void SelectWindow::EnableCellClicks(bool enable)
{
    if (enable == cell_clicks_on_)
        return;
    cell_clicks_on_ = enable;
    // The grid keeps Ctrl+click for itself; plain clicks reach this panel.
    if (enable)
        Bind(wxEVT_GRID_CELL_LEFT_CLICK, &SelectWindow::OnCellLeftClick, this, GridId);
    else
        Unbind(wxEVT_GRID_CELL_LEFT_CLICK, &SelectWindow::OnCellLeftClick, this, GridId);
}

void SelectWindow::EnableDropping(bool enable)
{
    if (enable == dropping_on_)
        return;
    dropping_on_ = enable;
    // The grid hands its target to its cell area; the panel takes drops
    // where the grid is hidden (the empty list's guide).
    SetDropTarget(enable ? new DnDFile(this) : nullptr);
    grid_->SetDropTarget(enable ? new DnDFile(this) : nullptr);
}

void SelectWindow::DragCrossed(bool entered)
{
    drag_crossings_ = std::max(0, drag_crossings_ + (entered ? 1 : -1));
    const wxSize size = GetClientSize();
    constexpr int kWidth = 3;
    const wxRect edges[4] = {{0, 0, size.x, kWidth},
                             {0, size.y - kWidth, size.x, kWidth},
                             {0, 0, kWidth, size.y},
                             {size.x - kWidth, 0, kWidth, size.y}};
    for (int i = 0; i < 4; ++i) {
        if (drop_edges_[i] == nullptr)
            continue;
        drop_edges_[i]->SetSize(edges[i]);
        drop_edges_[i]->Show(IsDropHighlighted());
        drop_edges_[i]->Raise();
    }
}

void SelectWindow::DragEnded()
{
    drag_crossings_ = 1;
    DragCrossed(false);
}

// ---------------------------------------------------------------------------
// Adding files

wxString SelectWindow::FilterDescription() const
{
    return conversion_ != nullptr ? conversion_->GetFileFilter().BeforeFirst('|') : wxString();
}

void SelectWindow::AddFilesFlow()
{
    if (conversion_ == nullptr)
        return;
    const wxArrayString chosen = UserPrompt::ChooseFiles(_("Select One or More Files"), InputStartFolder(),
                                                         conversion_->GetFileFilter(), wxTheApp->GetTopWindow());
    wxString add_list;
    for (const wxString& path : chosen) {
        if (conversion_->IsSupportedExtension(LowerExtension(path)))
            add_list += path + "|";
        else
            RefuseAdd(path, _("not a PDF"));
    }
    // Refused files wait for the files that load, to be named in one box.
    if (add_list.empty() || !StartLoading(add_list))
        ShowAddRefusals();
}

void SelectWindow::AddFolderFlow()
{
    if (conversion_ == nullptr)
        return;
    const wxString folder = UserPrompt::ChooseFolder(_("Select a folder"), InputStartFolder(), this);
    if (folder.empty())
        return;
    RememberInputFolder(folder);
    BeginLoad();
    if (!conversion_->StartLoadFolder(folder))
        EndLoad();
}

bool SelectWindow::StartLoading(const wxString& add_list)
{
    if (conversion_ == nullptr || add_list.empty())
        return false;
    RememberInputFolder(add_list);
    BeginLoad();
    if (conversion_->StartLoadFiles(add_list))
        return true;
    EndLoad();
    return false;
}

bool SelectWindow::AddDropped(const wxArrayString& names)
{
    if (conversion_ == nullptr || converting_)
        return false;
    wxString add_list;
    int count = 0;
    for (const wxString& name : names) {
        if (wxFileName::DirExists(name)) {
            count += static_cast<int>(conversion_->ListFolder(name, add_list));
            continue;
        }
        ++count;  // a file counts as handled even when refused: it is named with its reason
        if (conversion_->IsSupportedExtension(LowerExtension(name)))
            add_list += name + "|";
        else
            RefuseAdd(name, _("not a PDF"));
    }
    if (count == 0) {
        UserPrompt::Message(_("No ") + FilterDescription() + _(" Files Added !"));
        return false;
    }
    if (add_list.empty() || !StartLoading(add_list)) {
        ShowAddRefusals();  // only refused files: nothing to load
        return false;
    }
    return true;
}

void SelectWindow::BeginLoad()
{
    if (loads_running_++ > 0)
        return;
    Send(ListBusy);
    EnableListHandlers(false);
}

void SelectWindow::EndLoad()
{
    if (loads_running_ == 0 || --loads_running_ > 0)
        return;
    listed_paths_.clear();
    Send(ListIdle);
    EnableListHandlers(true);
    ShowAddRefusals();
}

void SelectWindow::RefuseAdd(const wxString& path, const wxString& reason)
{
    add_refusals_.Add(FileUtil::GetFullName(path) + ": " + reason);
}

void SelectWindow::ShowAddRefusals()
{
    if (add_refusals_.empty() && add_duplicates_ == 0)
        return;
    wxString text;
    if (!add_refusals_.empty()) {
        text = _("These files were not added:") + "\n";
        for (size_t i = 0; i < add_refusals_.size() && i < kRefusalsNamed; ++i)
            text += add_refusals_[i] + "\n";
        if (add_refusals_.size() > kRefusalsNamed)
            text += wxString::Format(_("... and %d more"), static_cast<int>(add_refusals_.size() - kRefusalsNamed)) + "\n";
    }
    if (add_duplicates_ > 0)
        text += (text.empty() ? "" : "\n") + wxString::Format(_("Already in the list, not added again: %d"), add_duplicates_);
    add_refusals_.clear();
    add_duplicates_ = 0;
    UserPrompt::Message(text.Strip(wxString::trailing));
}

void SelectWindow::MarkIfListed(FileRowInfo& record)
{
    if (listed_paths_.empty())
        for (int row = 0; row < GetRowCount(); ++row)
            listed_paths_.insert(grid_->GetCellValue(row, COL_SOURCE_PATH));
    if (!listed_paths_.insert(record.source_path_).second && record.status_ == RowOpened) {
        record.status_ = RowAlreadyListed;
        record.reason_ = _("already in the list");
    }
}

void SelectWindow::OnRowsLoaded(wxCommandEvent& event)
{
    PendingLoad load;
    load.rows = TakeLoadedRows(event);
    if (event.GetInt() == 0 || (load.rows && load.rows->empty()))
        load.rows.reset();
    pending_.push_back(std::move(load));
    AppendPendingRows();
}

void SelectWindow::AppendPendingRows()
{
    // Reentered from a message box's loop (a file that cannot be opened):
    // the outer call goes on when the box closes.
    if (appending_)
        return;
    appending_ = true;
    wxStopWatch watch;
    bool changed = false;
    while (!pending_.empty() && watch.Time() < kAppendSliceMs) {
        PendingLoad& load = pending_.front();
        if (!load.rows) {
            pending_.pop_front();
            EndLoad();
            ShowNothingAdded();
            continue;
        }
        grid_->BeginBatch();
        while (load.next < load.rows->size() && watch.Time() < kAppendSliceMs) {
            FileRowInfo& record = (*load.rows)[load.next];
            MarkIfListed(record);
            if (record.status_ != RowOpened) {
                // The observer may show a message: let the grid paint first.
                grid_->EndBatch();
                Send(FileLoaded, &record);
                grid_->BeginBatch();
            }
            ++load.next;
            if (record.add_) {
                AppendRow(record);
                changed = true;
            } else if (record.status_ == RowAlreadyListed) {
                ++add_duplicates_;
            } else if (!record.reason_.empty()) {
                RefuseAdd(record.source_path_, record.reason_);
            }
        }
        grid_->EndBatch();
        if (load.next >= load.rows->size()) {
            pending_.pop_front();
            EndLoad();
        }
    }
    if (changed) {
        if (!grid_->IsShown()) {
            grid_->Show();
            Refresh(false);
        }
        grid_->ForceRefresh();
    }
    appending_ = false;
    // The rest comes after the events that waited meanwhile (paints, input).
    if (!pending_.empty())
        CallAfter(&SelectWindow::AppendPendingRows);
}

void SelectWindow::ShowNothingAdded()
{
    UserPrompt::Message(wxString::Format(_("No %s Added !"), FilterDescription()), this);
}

void SelectWindow::AppendRow(const FileRowInfo& record)
{
    grid_->AppendRows(1, false);
    const int row = grid_->GetNumberRows() - 1;
    const size_t columns = std::min(record.cells_.size(), column_kinds_.size());
    for (size_t i = 0; i < columns; ++i) {
        const int column = static_cast<int>(i);
        if (column_kinds_[i] == Status) {
            auto* renderer = new MoxGridCellRenderer;
            renderer->SetText(record.cells_[i]);
            // A new row's status is always the one the rows are built with.
            if (record.cells_[i] == _("Not Converted"))
                renderer->SetTextId("Not Converted");
            renderer->SetColour(*wxWHITE);
            grid_->SetCellRenderer(row, column, renderer);
            grid_->SetCellValue(row, column, " ");
        } else {
            grid_->SetCellValue(row, column, record.cells_[i]);
        }
    }
}

// ---------------------------------------------------------------------------
// Selection, deleting, clearing

void SelectWindow::SelectAllRows()
{
    if (GetRowCount() > 0)
        grid_->SelectAll();
}

void SelectWindow::InvertSelection()
{
    const wxArrayInt selected = GetSelectedRows();
    if (selected.empty()) {
        SelectAllRows();
        return;
    }
    std::vector<bool> was(static_cast<size_t>(GetRowCount()), false);
    for (int row : selected)
        was[static_cast<size_t>(row)] = true;
    grid_->BeginBatch();
    grid_->ClearSelection();
    for (int row = 0; row < GetRowCount(); ++row)
        if (!was[static_cast<size_t>(row)])
            grid_->SelectRow(row, true);
    grid_->EndBatch();
    grid_->ForceRefresh();
}

void SelectWindow::DeleteFlow()
{
    if (GetRowCount() == 0)
        return;
    if (GetSelectedRows().empty()) {
        UserPrompt::Message(_("Delete failed! No selected file!"), this);
        return;
    }
    if (!UserPrompt::Confirm(_("Are you sure you want to remove the selected items from the list?"), this))
        return;
    if (grid_->IsCellEditControlEnabled())
        grid_->DisableCellEditControl();
    // The selection is read again: it may have changed while the question was open.
    const wxArrayInt rows = GetSelectedRows();
    grid_->BeginBatch();
    for (size_t i = rows.size(); i-- > 0;) {
        FileCellInfo info;
        info.row_ = rows[i];
        Send(RowsRemoved, &info);
        grid_->DeleteRows(rows[i], 1);
    }
    grid_->EndBatch();
    grid_->ForceRefresh();
}

void SelectWindow::ClearAllFlow()
{
    if (GetRowCount() == 0)
        return;
    if (!UserPrompt::Confirm(_("Are you sure you want to clear all the items from the list?"), this))
        return;
    if (grid_->IsCellEditControlEnabled())
        grid_->DisableCellEditControl();
    grid_->DeleteRows(0, grid_->GetNumberRows());
    grid_->Hide();
    Refresh();  // the guide shows again
    FileCellInfo info;
    info.row_ = -1;
    Send(RowsRemoved, &info);
}

// ---------------------------------------------------------------------------
// Jobs

bool SelectWindow::StartJob(const wxArrayInt& rows)
{
    if (rows.empty() || conversion_ == nullptr || converting_ || IsLoading())
        return false;
    if (StringUtil::ToInt(ConvertOptions[SAVE_IN_SOURCE_DIR]) == 0) {
        if (!OutputFolderReady(ConvertOptions[LAST_OUTPUT_DIR]))
            return false;
    }
    rows_to_convert_ = static_cast<int>(rows.size());
    if (StringUtil::ToInt(ConvertOptions[MERGE_AVAILABLE]) != 0 &&
        StringUtil::ToInt(ConvertOptions[MERGE_INTO_ONE]) != 0) {
        Send(ForceCustomFolder);
        if (!AskMergedName())
            return false;
    }
    if (grid_->IsCellEditControlEnabled()) {
        grid_->SaveEditControlValue();
        grid_->DisableCellEditControl();
    }

    // The job works on a copy of the rows: nothing changed in the grid later reaches it.
    RowTable table;
    for (int row : rows) {
        if (row < 0 || row >= GetRowCount())
            continue;
        wxArrayString cells;
        for (int column = 0; column < grid_->GetNumberCols(); ++column) {
            if (static_cast<size_t>(column) < column_kinds_.size() && column_kinds_[column] == Choice)
                cells.Add(wxString::Format("%d", StringUtil::ToInt(grid_->GetCellValue(row, column))));
            else
                cells.Add(grid_->GetCellValue(row, column));
        }
        table.emplace(row, cells);
    }

    // Every row of this job waits with an empty status, so no result of an
    // earlier job reads as one of this job; the other rows keep theirs.
    CloseJobSummary();
    job_rows_.clear();
    for (const auto& entry : table) {
        job_rows_.Add(entry.first);
        if (MoxGridCellRenderer* status = StatusRenderer(entry.first); status != nullptr) {
            status->SetText(wxString());
            status->SetTextId(wxString());
            status->SetReason(wxString());
            status->SetPercent(0);
            status->SetColour(*wxWHITE);
        }
    }
    followed_row_ = -1;
    job_folder_ = StringUtil::ToInt(ConvertOptions[SAVE_IN_SOURCE_DIR]) != 0 && !table.empty()
                      ? table.begin()->second[COL_SOURCE_DIR]
                      : ConvertOptions[LAST_OUTPUT_DIR];
    grid_->ForceRefresh();

    converting_ = true;
    Send(ShowStop);
    Send(LockOptions);
    EnableListHandlers(false);
    EnableCellClicks(false);
    EnableDropping(false);
    grid_->EnableEditing(false);
    conversion_->SetPollTimer(&timer_);
    if (conversion_->IsPolling())
        timer_.Start(100);
    if (conversion_->StartJob(std::move(table)))
        return true;
    // No worker: nothing runs, so nothing will end it either.
    wxCommandEvent done(EVT_CONVERT_DONE, GetId());
    OnConvertDone(done);
    return false;
}

bool SelectWindow::OutputFolderReady(const wxString& folder)
{
    if (folder.empty()) {
        UserPrompt::Message(_("Select an output folder."));
        return false;
    }
    if (!FileUtil::IsPathExists(folder)) {
        if (!UserPrompt::Confirm(wxString::Format(_("The folder \"%s\" does not exist. Create it?"), folder)))
            return false;
        wxLogNull quiet;  // a refusal is told below, in the user's language
        if (!wxFileName::Mkdir(folder, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL)) {
            UserPrompt::Message(_("The folder is unwritable, please choose another one!"));
            return false;
        }
    }
    // The same test the extraction makes before it writes anything.
    if (!kestran::IsWritableFolder(folder.utf8_string())) {
        UserPrompt::Message(_("The folder is unwritable, please choose another one!"));
        return false;
    }
    return true;
}

bool SelectWindow::AskMergedName()
{
    const wxArrayInt selected = GetSelectedRows();
    wxString initial = GetCellText(selected.empty() ? 0 : selected[0], COL_FILE_NAME);
    if (initial.Find('.', true) != wxNOT_FOUND)
        initial = initial.BeforeLast('.');
    wxString name;
    const auto check = [](const wxString& text) {
        wxString trimmed = text;
        trimmed.Trim(true);
        if (!trimmed.empty())
            return true;
        UserPrompt::Message(_("Invalid file name!"));
        return false;
    };
    if (!UserPrompt::AskText(_("Please enter an output file name in the text box:\n"), initial, kRefusedNameChars,
                             check, &name))
        return false;
    name.Trim(false);
    ConvertOptions[MERGED_FILE_NAME] = name;
    return true;
}

void SelectWindow::OnTimer(wxTimerEvent& /*event*/)
{
    if (conversion_ == nullptr || conversion_->GetCurrentRow() < 0)
        return;
    TavGridCellRenderCommandEvent status(EVT_CONVERT_STATUS, GetId());
    status.SetKind(StatusPercent);
    status.SetPercent(conversion_->GetProgressPercent());
    status.SetRow(conversion_->GetCurrentRow());
    status.SetColumn(StringUtil::ToInt(ConvertOptions[STATUS_COLUMN]));
    OnConvertStatus(status);
}

void SelectWindow::OnConvertDone(wxCommandEvent& event)
{
    timer_.Stop();
    converting_ = false;
    Send(ShowStart);
    Send(UnlockOptions);
    EnableListHandlers(true);
    EnableCellClicks(true);
    EnableDropping(true);
    grid_->EnableEditing(true);
    ShowJobSummary(GetJobImageCounts(event));
}

void SelectWindow::ShowJobSummary(const JobImageCounts& counts)
{
    JobSummaryDialog::Outcome outcome;
    outcome.images = counts.written;
    outcome.skipped = counts.skipped;
    outcome.already_there = counts.already_there;
    outcome.folder = job_folder_;
    for (int row : job_rows_) {
        const MoxGridCellRenderer* status = StatusRenderer(row);
        if (status == nullptr)
            continue;
        ++outcome.files;
        const wxString& id = status->GetTextId();
        if (id == "Failed" || id == "Stop") {
            wxString line = grid_->GetCellValue(row, COL_FILE_NAME) + ": " + status->GetText();
            if (!status->GetReason().empty())
                line += ": " + status->GetReason();
            outcome.problems.Add(line);
        } else if (status->GetText().empty()) {
            ++outcome.not_started;
        } else if (status->GetPercent() == 100) {
            ++outcome.done;
        }
    }
    // A job that went through on every file says nothing more than its rows do.
    if (outcome.problems.empty() && outcome.not_started == 0)
        return;
    auto* summary = new JobSummaryDialog(wxGetTopLevelParent(this), outcome);
    summary_ = summary;
    summary->Show();
}

void SelectWindow::CloseJobSummary()
{
    if (JobSummaryDialog* summary = summary_.get(); summary != nullptr) {
        summary_.Release();
        summary->Destroy();
    }
}

// ---------------------------------------------------------------------------
// Sorting

void SelectWindow::OnLabelClick(wxGridEvent& event)
{
    if (event.GetRow() >= 0 || !SortBy(event.GetCol()))
        event.Skip();
}

bool SelectWindow::SortBy(int column)
{
    if (column != COL_FILE_NAME && column != COL_SIZE && column != COL_TOTAL_PAGES)
        return false;
    if (converting_ || IsLoading() || grid_->IsCellEditControlEnabled())
        return true;  // the rows stay where the work expects them
    sort_ascending_ = column == sort_column_ ? !sort_ascending_ : true;
    sort_column_ = column;
    grid_->SetSortingColumn(column, sort_ascending_);
    const int rows = GetRowCount();
    const int columns = grid_->GetNumberCols();
    const int status_column = StringUtil::ToInt(ConvertOptions[STATUS_COLUMN]);
    struct Row {
        wxArrayString cells;
        wxGridCellRenderer* status = nullptr;  // one reference, handed back to the grid below
        wxULongLong key = 0;                   // size in bytes or page count
    };
    std::vector<Row> table(static_cast<size_t>(rows));
    for (int row = 0; row < rows; ++row) {
        Row& r = table[static_cast<size_t>(row)];
        for (int c = 0; c < columns; ++c)
            r.cells.Add(grid_->GetCellValue(row, c));
        if (status_column >= 0 && status_column < columns)
            r.status = grid_->GetCellRenderer(row, status_column);
        if (column == COL_SIZE) {
            const wxULongLong size = wxFileName::GetSize(r.cells[COL_SOURCE_PATH]);
            r.key = size == wxInvalidSize ? 0 : size;
        } else if (column == COL_TOTAL_PAGES) {
            r.key = static_cast<unsigned long>(std::max(0, StringUtil::ToInt(r.cells[COL_TOTAL_PAGES])));
        }
    }
    std::stable_sort(table.begin(), table.end(), [&](const Row& a, const Row& b) {
        const int order = column == COL_FILE_NAME ? a.cells[COL_FILE_NAME].CmpNoCase(b.cells[COL_FILE_NAME])
                                                  : (a.key < b.key ? -1 : a.key > b.key ? 1 : 0);
        return sort_ascending_ ? order < 0 : order > 0;
    });
    grid_->BeginBatch();
    grid_->ClearSelection();
    for (int row = 0; row < rows; ++row) {
        Row& r = table[static_cast<size_t>(row)];
        for (int c = 0; c < columns; ++c)
            grid_->SetCellValue(row, c, r.cells[static_cast<size_t>(c)]);
        if (r.status != nullptr)
            grid_->SetCellRenderer(row, status_column, r.status);
    }
    grid_->EndBatch();
    grid_->ForceRefresh();
    return true;
}

// ---------------------------------------------------------------------------
// Mouse and keys

void SelectWindow::OnGridKeyDown(wxKeyEvent& event)
{
    const int key = event.GetKeyCode();
    if (event.ControlDown() && (key == 'A' || key == 'a')) {
        SelectAllRows();
        return;
    }
    if (key == WXK_DELETE || key == WXK_BACK || key == WXK_NUMPAD_DELETE) {
        DeleteFlow();
        return;
    }
    const int rows = grid_->GetNumberRows();
    const int current = grid_->GetGridCursorRow();
    const int page = std::max(1, grid_->GetGridWindow()->GetClientSize().y / std::max(1, grid_->GetDefaultRowSize()) - 1);
    int target = -1;
    switch (key) {
    case WXK_UP:
    case WXK_NUMPAD_UP:
        target = current - 1;
        break;
    case WXK_DOWN:
    case WXK_NUMPAD_DOWN:
        target = current + 1;
        break;
    case WXK_PAGEUP:
    case WXK_NUMPAD_PAGEUP:
        target = current - page;
        break;
    case WXK_PAGEDOWN:
    case WXK_NUMPAD_PAGEDOWN:
        target = current + page;
        break;
    case WXK_HOME:
    case WXK_NUMPAD_HOME:
        target = 0;
        break;
    case WXK_END:
    case WXK_NUMPAD_END:
        target = rows - 1;
        break;
    default:
        // Every other key is swallowed: the list is not a spreadsheet.
        return;
    }
    if (rows == 0)
        return;
    // The first move, with nothing selected, lands on the row under the cursor.
    if (current < 0 || grid_->GetSelectedRowsAll().empty())
        target = key == WXK_END || key == WXK_NUMPAD_END ? rows - 1 : std::max(current, 0);
    MoveToRow(std::clamp(target, 0, rows - 1), event.ShiftDown());
}

void SelectWindow::MoveToRow(int row, bool extend)
{
    // As a click on the row would: selected, in view, shown in the preview.
    const int column = std::max(0, grid_->GetGridCursorCol());
    grid_->SetGridCursor(row, column);
    grid_->MakeCellVisible(row, column);
    if (!extend)
        grid_->ClearSelection();
    grid_->SelectRow(row, extend);
    SendRowFocused(row, column);
}

void SelectWindow::SendRowFocused(int row, int column)
{
    FileCellInfo info;
    info.row_ = row;
    info.column_ = column;
    for (int c = 0; c < grid_->GetNumberCols(); ++c)
        info.cells_.Add(grid_->GetCellValue(row, c));
    Send(RowFocused, &info);
}

void SelectWindow::OnGridRightUp(wxMouseEvent& event)
{
    // The menu acts on the row under the pointer: it joins the selection, or
    // becomes it when it was not selected, as in a file manager.
    int x = 0, y = 0;
    grid_->CalcUnscrolledPosition(event.GetX(), event.GetY(), &x, &y);
    const int row = grid_->YToRow(y);
    if (row >= 0 && !grid_->IsInSelection(row, COL_FILE_NAME)) {
        grid_->ClearSelection();
        grid_->SelectRow(row);
    }
    wxMenu menu;
    menu.Append(MenuAddFile, _("Add File"));
    menu.Append(MenuAddFolder, _("Add Folder"));
    menu.Append(MenuDelete, _("Delete"));
    menu.Append(MenuClearAll, _("Clear All"));
    menu.AppendSeparator();
    menu.Append(MenuConvertSelected, _("Convert Selected"));
    PopupMenu(&menu, ScreenToClient(grid_->GetGridWindow()->ClientToScreen(event.GetPosition())));
}

void SelectWindow::OnMenu(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case MenuAddFile:
        AddFilesFlow();
        break;
    case MenuAddFolder:
        AddFolderFlow();
        break;
    case MenuDelete:
        DeleteFlow();
        break;
    case MenuClearAll:
        ClearAllFlow();
        break;
    case MenuConvertSelected:
        StartJob(GetSelectedRows());
        break;
    default:
        event.Skip();
        break;
    }
}

void SelectWindow::OnCellLeftClick(wxGridEvent& event)
{
    SendRowFocused(event.GetRow(), event.GetCol());
    event.Skip();  // the grid selects the row as usual
}

void SelectWindow::OnCellChanging(wxGridEvent& event)
{
    FileCellInfo info;
    info.accept_ = true;
    info.row_ = event.GetRow();
    info.column_ = event.GetCol();
    info.value_ = event.GetString();
    for (int column = 0; column < grid_->GetNumberCols(); ++column)
        info.cells_.Add(grid_->GetCellValue(info.row_, column));
    Send(PageCellEdited, &info);
    // The grid's own change is refused; the accepted (possibly rewritten) value is stored instead.
    event.Veto();
    if (info.accept_)
        grid_->SetCellValue(info.row_, info.column_, info.value_);
}

void SelectWindow::OnColumnSize(wxGridSizeEvent& event)
{
    // An open drop-down follows its cell.
    if (grid_->IsCellEditControlShown()) {
        grid_->HideCellEditControl();
        grid_->ShowCellEditControl();
    }
    grid_->ForceRefresh();
    event.Skip();
}
