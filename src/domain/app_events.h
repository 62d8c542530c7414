// Application event types. Workers never touch windows: they queue these
// events to a window with wxQueueEvent (safe for events that carry strings,
// unlike AddPendingEvent) and the handler runs on the UI thread.
//
//   EVT_ROWS_LOADED      wxCommandEvent: int 1 and the rows (PostRowsLoaded /
//                        TakeLoadedRows), int 0 when a folder held no PDF
//   EVT_CONVERT_STATUS   TavGridCellRenderCommandEvent: row, column, kind, percent,
//                        string = why a row failed or stopped
//   EVT_CONVERT_DONE     wxCommandEvent, once at the end of a job: int = rows
//                        that succeeded, the image counts (SetJobImageCounts)
//   EVT_UPDATE_CHECKED   wxCommandEvent: string = advertised version, empty on failure
//   EVT_LANGUAGE_CHANGED wxCommandEvent: int = language entry chosen
#ifndef KESTRAN_DOMAIN_APP_EVENTS_H
#define KESTRAN_DOMAIN_APP_EVENTS_H

#include <memory>

#include <wx/event.h>

#include "domain/event_target_record.h"
#include "domain/file_row_info.h"

// Status kinds of EVT_CONVERT_STATUS as the status cell draws them.
enum ConvertStatusKind : int {
    StatusConverting = 0,  // "Converting..."
    StatusPercent = 1,     // "%d%" with a bar
    StatusStopped = 2,     // "Stop"
    StatusFailed = 3       // "Failed"
};

class TavGridCellRenderCommandEvent : public wxCommandEvent {
public:
    explicit TavGridCellRenderCommandEvent(wxEventType type = wxEVT_NULL, int id = 0)
        : wxCommandEvent(type, id) {}

    int GetRow() const { return row_; }
    void SetRow(int row) { row_ = row; }
    int GetColumn() const { return column_; }
    void SetColumn(int column) { column_ = column; }
    int GetKind() const { return kind_; }
    void SetKind(int kind) { kind_ = kind; }
    // The percent travels in the command event's integer.
    int GetPercent() const { return GetInt(); }
    void SetPercent(int percent) { SetInt(percent); }

    wxEvent* Clone() const override { return new TavGridCellRenderCommandEvent(*this); }

private:
    int row_ = -1;
    int column_ = -1;
    int kind_ = StatusConverting;
};

typedef void (wxEvtHandler::*TavGridCellRenderCommandEventFunction)(TavGridCellRenderCommandEvent&);
#define TavGridCellRenderCommandEventHandler(func) \
    wxEVENT_HANDLER_CAST(TavGridCellRenderCommandEventFunction, func)

wxDECLARE_EVENT(EVT_ROWS_LOADED, wxCommandEvent);
wxDECLARE_EVENT(EVT_CONVERT_STATUS, TavGridCellRenderCommandEvent);
wxDECLARE_EVENT(EVT_CONVERT_DONE, wxCommandEvent);
wxDECLARE_EVENT(EVT_UPDATE_CHECKED, wxCommandEvent);
wxDECLARE_EVENT(EVT_LANGUAGE_CHANGED, wxCommandEvent);

// Static event table entry for EVT_CONVERT_STATUS.
#define EVT_TAV_CONVERT_STATUS(id, func) \
    wx__DECLARE_EVT1(EVT_CONVERT_STATUS, id, TavGridCellRenderCommandEventHandler(func))

// Hands `rows` to `target` as EVT_ROWS_LOADED (int 1, the rows as client
// data), or int 0 without data when `rows` is null or empty. Callable from
// any thread; the record form queues nothing once its target detached.
void PostRowsLoaded(wxEvtHandler* target, int id, std::unique_ptr<FileRowInfoArray> rows);
void PostRowsLoaded(EventTargetRecord& target, std::unique_ptr<FileRowInfoArray> rows);
// What a job did with the images of all its files, carried by EVT_CONVERT_DONE.
struct JobImageCounts {
    long written = 0;        // image files written
    long skipped = 0;        // images left out
    long already_there = 0;  // found written by an earlier job, not written again
};
void SetJobImageCounts(wxCommandEvent& event, const JobImageCounts& counts);
JobImageCounts GetJobImageCounts(const wxCommandEvent& event);

// Takes ownership of the rows of an EVT_ROWS_LOADED event (null when it carries
// none) and clears the event's client data, so the rows are taken once.
std::unique_ptr<FileRowInfoArray> TakeLoadedRows(wxCommandEvent& event);

// Queues one EVT_CONVERT_STATUS to `target`; `reason` says why a row failed
// or stopped. Callable from any thread; the record form queues nothing once
// its target detached.
void PostConvertStatus(wxEvtHandler* target, int id, int row, int column, int kind, int percent,
                       const wxString& reason = wxString());
void PostConvertStatus(EventTargetRecord& target, int row, int column, int kind, int percent,
                       const wxString& reason = wxString());

#endif
