// Shared by the conversion tests: an event handler standing in for the file
// list, and a pump that delivers what the workers queued to it.
#ifndef KESTRAN_TESTS_CORE_CONVERSION_SUPPORT_H
#define KESTRAN_TESTS_CORE_CONVERSION_SUPPORT_H

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/event.h>
#include <wx/utils.h>

#include "domain/app_events.h"

namespace conversion_test {

// Everything the conversion object queues, in delivery order.
class Collector : public wxEvtHandler {
public:
    struct Status {
        int row, column, kind, percent;
    };

    Collector() {
        Bind(EVT_CONVERT_STATUS, [this](TavGridCellRenderCommandEvent& e) {
            statuses_.push_back({e.GetRow(), e.GetColumn(), e.GetKind(), e.GetPercent()});
            Note(e);
        });
        Bind(EVT_ROWS_LOADED, [this](wxCommandEvent& e) {
            loaded_ints_.push_back(e.GetInt());
            std::unique_ptr<FileRowInfoArray> rows = TakeLoadedRows(e);
            loaded_rows_.push_back(rows ? *rows : FileRowInfoArray());
            Note(e);
        });
        Bind(EVT_CONVERT_DONE, [this](wxCommandEvent& e) {
            done_ints_.push_back(e.GetInt());
            Note(e);
        });
    }

    // Statuses of one row, in order.
    std::vector<Status> StatusesOf(int row) const {
        std::vector<Status> out;
        for (const Status& s : statuses_)
            if (s.row == row)
                out.push_back(s);
        return out;
    }

    std::vector<Status> statuses_;
    std::vector<int> loaded_ints_;
    std::vector<FileRowInfoArray> loaded_rows_;
    std::vector<int> done_ints_;
    std::vector<int> ids_;
    bool off_thread_ = false;  // an event handled on another thread than the test's

private:
    void Note(const wxEvent& e) {
        ids_.push_back(e.GetId());
        if (std::this_thread::get_id() != main_thread_)
            off_thread_ = true;
    }
    std::thread::id main_thread_ = std::this_thread::get_id();
};

// Delivers queued events until `done` holds. The limit only keeps a broken
// worker from hanging the run; it is not a speed requirement.
inline bool PumpUntil(const std::function<bool()>& done) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (std::chrono::steady_clock::now() < give_up) {
        wxAppConsole::GetInstance()->ProcessPendingEvents();
        if (done())
            return true;
        wxMilliSleep(2);
    }
    return false;
}

}  // namespace conversion_test

#endif
