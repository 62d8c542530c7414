#include "domain/app_events.h"

wxDEFINE_EVENT(EVT_ROWS_LOADED, wxCommandEvent);
wxDEFINE_EVENT(EVT_CONVERT_STATUS, TavGridCellRenderCommandEvent);
wxDEFINE_EVENT(EVT_CONVERT_DONE, wxCommandEvent);
wxDEFINE_EVENT(EVT_UPDATE_CHECKED, wxCommandEvent);
wxDEFINE_EVENT(EVT_LANGUAGE_CHANGED, wxCommandEvent);

namespace {

// EVT_ROWS_LOADED owns its rows: an event that no handler takes (the window
// closed while a load ran, a handler that skips it) frees them with itself.
// Clones share the one holder, so the rows are taken at most once.
class RowsLoadedEvent : public wxCommandEvent {
public:
    RowsLoadedEvent(int id, std::unique_ptr<FileRowInfoArray> rows)
        : wxCommandEvent(EVT_ROWS_LOADED, id),
          rows_(std::make_shared<std::unique_ptr<FileRowInfoArray>>(std::move(rows))) {
        SetClientData(rows_->get());  // readable by handlers; owned here
    }
    wxEvent* Clone() const override { return new RowsLoadedEvent(*this); }

    std::unique_ptr<FileRowInfoArray> Take() {
        SetClientData(nullptr);
        return std::move(*rows_);
    }

private:
    std::shared_ptr<std::unique_ptr<FileRowInfoArray>> rows_;
};

std::unique_ptr<wxEvent> MakeRowsLoaded(int id, std::unique_ptr<FileRowInfoArray> rows) {
    if (rows && rows->empty())
        rows.reset();
    const bool any = rows != nullptr;
    auto event = std::make_unique<RowsLoadedEvent>(id, std::move(rows));
    event->SetInt(any ? 1 : 0);
    return event;
}

std::unique_ptr<wxEvent> MakeConvertStatus(int id, int row, int column, int kind, int percent, const wxString& reason) {
    auto event = std::make_unique<TavGridCellRenderCommandEvent>(EVT_CONVERT_STATUS, id);
    event->SetRow(row);
    event->SetColumn(column);
    event->SetKind(kind);
    event->SetPercent(percent);
    event->SetString(reason);
    return event;
}

}  // namespace

void PostRowsLoaded(wxEvtHandler* target, int id, std::unique_ptr<FileRowInfoArray> rows) {
    wxQueueEvent(target, MakeRowsLoaded(id, std::move(rows)).release());
}

void PostRowsLoaded(EventTargetRecord& target, std::unique_ptr<FileRowInfoArray> rows) {
    target.Queue(MakeRowsLoaded(target.GetId(), std::move(rows)));
}

std::unique_ptr<FileRowInfoArray> TakeLoadedRows(wxCommandEvent& event) {
    if (auto* loaded = dynamic_cast<RowsLoadedEvent*>(&event))
        return loaded->Take();
    return nullptr;
}

void PostConvertStatus(wxEvtHandler* target, int id, int row, int column, int kind, int percent,
                       const wxString& reason) {
    wxQueueEvent(target, MakeConvertStatus(id, row, column, kind, percent, reason).release());
}

void PostConvertStatus(EventTargetRecord& target, int row, int column, int kind, int percent, const wxString& reason) {
    target.Queue(MakeConvertStatus(target.GetId(), row, column, kind, percent, reason));
}

void SetJobImageCounts(wxCommandEvent& event, const JobImageCounts& counts) {
    // The written count where it always was; the others in the string.
    event.SetExtraLong(counts.written);
    event.SetString(wxString::Format("%ld %ld", counts.skipped, counts.already_there));
}

JobImageCounts GetJobImageCounts(const wxCommandEvent& event) {
    JobImageCounts counts;
    counts.written = event.GetExtraLong();
    const wxString text = event.GetString();
    if (!text.BeforeFirst(' ').ToLong(&counts.skipped) || !text.AfterFirst(' ').ToLong(&counts.already_there))
        counts.skipped = counts.already_there = 0;
    return counts;
}
