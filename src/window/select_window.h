// The file list: the grid of added PDF files and the flows that fill it and
// run jobs over it. Adding goes through the conversion object on a worker
// (rows come back as EVT_ROWS_LOADED); a job reports every row's progress as
// EVT_CONVERT_STATUS and ends with EVT_CONVERT_DONE. The panel talks to the
// other pieces only through notification codes.
#ifndef KESTRAN_WINDOW_SELECT_WINDOW_H
#define KESTRAN_WINDOW_SELECT_WINDOW_H

#include <deque>
#include <memory>
#include <unordered_set>
#include <vector>

#include <wx/grid.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include "window/job_summary_dialog.h"

#include "domain/app_events.h"
#include "domain/file_row_info.h"
#include "window/base/mox_piece_window.h"

class DomainConvert;
class EventTargetRecord;
class RuvGrid;

// The output-type drop-down of the "Output Type" column. The cell holds the
// index of the choice ("0"), the drop-down shows its text.
class TavGridCellChoiceEditor : public wxGridCellEnumEditor {
public:
    explicit TavGridCellChoiceEditor(const wxArrayString& choices);
    void BeginEdit(int row, int col, wxGrid* grid) override;
    wxGridCellEditor* Clone() const override;

private:
    wxArrayString choices_;
};

// Draws a "Output Type" cell as a closed drop-down showing the chosen text,
// so every row shows its choice without a native control per row.
class TavGridCellChoiceRenderer : public wxGridCellEnumRenderer {
public:
    explicit TavGridCellChoiceRenderer(const wxArrayString& choices);
    void Draw(wxGrid& grid, wxGridCellAttr& attr, wxDC& dc, const wxRect& rect, int row, int col,
              bool is_selected) override;
    wxGridCellRenderer* Clone() const override;

private:
    wxArrayString choices_;
};

class SelectWindow : public MoxPieceWindow {
public:
    enum : int {
        GridId = 8000,
        MenuAddFile = 8001,
        MenuAddFolder = 8002,
        MenuDelete = 8003,
        MenuClearAll = 8004,
        MenuConvertSelected = 8005,
        TimerId = 8007
    };

    SelectWindow();
    SelectWindow(std::unique_ptr<wxBitmap> background, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                 const wxSize& size, long style = wxTAB_TRAVERSAL | wxBORDER_NONE);
    ~SelectWindow() override;
    bool Create(std::unique_ptr<wxBitmap> background, wxWindow* parent, wxWindowID id, const wxPoint& pos,
                const wxSize& size, long style = wxTAB_TRAVERSAL | wxBORDER_NONE);

    // The selected rows, ascending, each once.
    virtual wxArrayInt GetSelectedRows() const;
    // "" outside the grid.
    virtual wxString GetCellText(int row, int column) const;
    virtual void SetCellText(int row, int column, const wxString& text);
    // Rows of the job started last; -1 before the first.
    virtual int GetRowsToConvert() const { return rows_to_convert_; }
    // Redraws one status cell as the event says.
    virtual void OnConvertStatus(TavGridCellRenderCommandEvent& event);

    void Update(KelSubject* subject, void* payload) override;
    using MoxPieceWindow::Update;

    // The conversion object does the work; it queues its events to this panel.
    void SetConversion(DomainConvert* conversion);
    DomainConvert* GetConversion() const { return conversion_; }
    void AddColumn(const wxString& label, int width, ColumnKind kind, bool hidden);
    void SetColumnLabel(int column, const wxString& label);
    void AddOutputType(const wxString& text);
    // Replaces the choices (in another language); the rows keep their index.
    void SetOutputTypes(const wxArrayString& texts);
    // Widens the columns whose labels or texts would be cut in the current
    // language and gives the room left to the file names; the widths given
    // to AddColumn are the least each visible column gets.
    void FitColumns();
    // The status texts again in the current language, then FitColumns.
    void Relabel();

    // The flows, also reachable through notification codes and the context menu.
    void AddFilesFlow();
    void AddFolderFlow();
    void DeleteFlow();
    void ClearAllFlow();
    void SelectAllRows();
    void InvertSelection();
    // Starts loading "|"-terminated paths on a worker; false when empty or
    // the worker cannot start.
    bool StartLoading(const wxString& add_list);
    // Starts a job over the given rows; false when nothing was started.
    bool StartJob(const wxArrayInt& rows);
    // Orders the rows by file name, size or page count, ascending, or
    // descending when the same column was the last one sorted. True when the
    // column is one the list sorts by (nothing moves during a load or a job).
    bool SortBy(int column);
    // What a drop of these names does; true when a load was started.
    bool AddDropped(const wxArrayString& names);
    // Files dragged into (true) or out of (false) the list or its guide; the
    // list is outlined while they are over it. The panel and the grid each
    // have a target, and GTK may tell the new one's entry before the old
    // one's exit, so crossings are counted.
    void DragCrossed(bool entered);
    // The drag ended in a drop: no outline, whatever was counted.
    void DragEnded();
    bool IsDropHighlighted() const { return drag_crossings_ > 0; }

    RuvGrid* GetGrid() const { return grid_; }
    int GetRowCount() const;
    // True while added files are being loaded or their rows appended.
    bool IsLoading() const { return loads_running_ > 0; }
    bool IsConverting() const { return converting_; }
    // The status cell's text as drawn (translated).
    wxString GetStatusText(int row) const;
    // Why the row failed or stopped (translated), "" otherwise.
    wxString GetStatusReason(int row) const;
    // The tooltip of a cell: the full path on a name, the reason on a failed
    // or stopped status; "" for the others.
    wxString GetCellToolTip(int row, int column) const;
    // The summary of the last job that did not go through on every file,
    // while it is open; null otherwise.
    JobSummaryDialog* GetJobSummary() const { return summary_.get(); }
    int GetStatusPercent(int row) const;
    wxColour GetStatusColour(int row) const;
    // True while dropping files on the list starts a load.
    bool IsDropEnabled() const { return dropping_on_; }

private:
    // One load's rows waiting to be appended, in order.
    struct PendingLoad {
        std::unique_ptr<FileRowInfoArray> rows;  // null: the folder held no matching file
        size_t next = 0;
    };

    void SetUpGrid();
    void EnableListHandlers(bool enable);
    void EnableCellClicks(bool enable);
    void EnableDropping(bool enable);
    void BeginLoad();
    void EndLoad();
    void AppendRow(const FileRowInfo& record);
    void AppendPendingRows();
    void ShowNothingAdded();
    // Notes a file one add refuses; the refusals of an add are shown
    // together when it ends (ShowAddRefusals).
    void RefuseAdd(const wxString& path, const wxString& reason);
    void ShowAddRefusals();
    // Marks a record whose file is in the list already (or earlier in the same add).
    void MarkIfListed(FileRowInfo& record);
    void ShowJobSummary(const JobImageCounts& counts);
    void CloseJobSummary();
    void OnGridMotion(wxMouseEvent& event);
    void OnLabelClick(wxGridEvent& event);
    bool AskMergedName();
    // True when `folder` (the chosen output folder) can take the images: a
    // missing one is created when the user agrees; otherwise says why not.
    bool OutputFolderReady(const wxString& folder);
    wxString FilterDescription() const;
    class MoxGridCellRenderer* StatusRenderer(int row) const;

    void OnRowsLoaded(wxCommandEvent& event);
    void OnConvertDone(wxCommandEvent& event);
    void OnTimer(wxTimerEvent& event);
    void OnGridKeyDown(wxKeyEvent& event);
    void OnGridRightUp(wxMouseEvent& event);
    void OnCellLeftClick(wxGridEvent& event);
    // The arrow and page keys: the row under the cursor becomes the selected
    // one (added to the selection with Shift) and is shown in the preview.
    void MoveToRow(int row, bool extend);
    void SendRowFocused(int row, int column);
    void OnCellChanging(wxGridEvent& event);
    void OnColumnSize(wxGridSizeEvent& event);
    void OnMenu(wxCommandEvent& event);

    DomainConvert* conversion_ = nullptr;  // not owned
    // The add in progress: files refused with their reasons, files already listed.
    wxArrayString add_refusals_;
    int add_duplicates_ = 0;
    std::unordered_set<wxString> listed_paths_;  // filled while rows of an add are appended
    // The rows of the running or last job, and where their images go.
    wxArrayInt job_rows_;
    wxString job_folder_;
    wxWeakRef<JobSummaryDialog> summary_;  // owned by its parent frame; null once it is gone
    wxString tooltip_;  // the grid's tooltip now
    int followed_row_ = -1;  // the row the list last scrolled to for the job
    int sort_column_ = -1;
    bool sort_ascending_ = true;
    // This panel as the target of the conversion's workers; detached when
    // the panel goes, so a worker still running never reaches a freed panel.
    std::shared_ptr<EventTargetRecord> record_;
    wxTimer timer_;
    RuvGrid* grid_ = nullptr;
    int rows_to_convert_ = -1;
    wxArrayString output_types_;
    std::vector<int> column_kinds_;
    std::vector<int> column_widths_;  // as given; 0 for a hidden column

    std::deque<PendingLoad> pending_;
    int loads_running_ = 0;
    bool appending_ = false;
    bool list_handlers_on_ = false;
    bool cell_clicks_on_ = false;
    bool converting_ = false;
    bool dropping_on_ = false;
    int drag_crossings_ = 0;
    wxWindow* drop_edges_[4] = {};  // the outline's four strips, over the grid

    wxDECLARE_DYNAMIC_CLASS(SelectWindow);
};

#endif
