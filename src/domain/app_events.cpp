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

}  // namespace

void PostRowsLoaded(wxEvtHandler* target, int id, std::unique_ptr<FileRowInfoArray> rows) {
    if (rows && rows->empty())
        rows.reset();
    const bool any = rows != nullptr;
    auto* event = new RowsLoadedEvent(id, std::move(rows));
    event->SetInt(any ? 1 : 0);
    wxQueueEvent(target, event);
}

std::unique_ptr<FileRowInfoArray> TakeLoadedRows(wxCommandEvent& event) {
    if (auto* loaded = dynamic_cast<RowsLoadedEvent*>(&event))
        return loaded->Take();
    return nullptr;
}

void PostConvertStatus(wxEvtHandler* target, int id, int row, int column, int kind, int percent) {
    auto* event = new TavGridCellRenderCommandEvent(EVT_CONVERT_STATUS, id);
    event->SetRow(row);
    event->SetColumn(column);
    event->SetKind(kind);
    event->SetPercent(percent);
    wxQueueEvent(target, event);
}
