#include "domain/app_events.h"

wxDEFINE_EVENT(EVT_ROWS_LOADED, wxCommandEvent);
wxDEFINE_EVENT(EVT_CONVERT_STATUS, TavGridCellRenderCommandEvent);
wxDEFINE_EVENT(EVT_CONVERT_DONE, wxCommandEvent);
wxDEFINE_EVENT(EVT_UPDATE_CHECKED, wxCommandEvent);
wxDEFINE_EVENT(EVT_LANGUAGE_CHANGED, wxCommandEvent);

void PostRowsLoaded(wxEvtHandler* target, int id, std::unique_ptr<FileRowInfoArray> rows) {
    auto* event = new wxCommandEvent(EVT_ROWS_LOADED, id);
    if (rows && !rows->empty()) {
        event->SetInt(1);
        event->SetClientData(rows.release());  // TakeLoadedRows takes it back
    } else {
        event->SetInt(0);
    }
    wxQueueEvent(target, event);
}

std::unique_ptr<FileRowInfoArray> TakeLoadedRows(wxCommandEvent& event) {
    std::unique_ptr<FileRowInfoArray> rows(static_cast<FileRowInfoArray*>(event.GetClientData()));
    event.SetClientData(nullptr);
    return rows;
}

void PostConvertStatus(wxEvtHandler* target, int id, int row, int column, int kind, int percent) {
    auto* event = new TavGridCellRenderCommandEvent(EVT_CONVERT_STATUS, id);
    event->SetRow(row);
    event->SetColumn(column);
    event->SetKind(kind);
    event->SetPercent(percent);
    wxQueueEvent(target, event);
}
