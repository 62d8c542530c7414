// Subjects and observers, and the application events that workers queue.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/event.h>

#include "domain/app_events.h"
#include "domain/kel_observer.h"
#include "domain/kel_subject.h"

namespace {

// Records what it sees; answers PreferencesSave by vetoing when told to.
class Recorder : public KelObserver {
public:
    Recorder(std::string name, std::vector<std::string>* log) : name_(std::move(name)), log_(log) {}

    void Update(KelSubject* subject, void* payload) override {
        switch (subject->GetCode()) {
        case ShowStart:
            log_->push_back(name_ + ":start");
            break;
        case PreferencesSave:
            if (veto_)
                *static_cast<int*>(payload) = 1;
            log_->push_back(name_ + ":save");
            break;
        case RangeCurrentPage:
            seen_page_ = *static_cast<int*>(payload);
            break;
        default:
            break;  // codes this observer does not know change nothing
        }
    }

    bool veto_ = false;
    int seen_page_ = 0;

private:
    std::string name_;
    std::vector<std::string>* log_;
};

TEST(Notifications, ObserversRunInAttachOrder) {
    std::vector<std::string> log;
    Recorder a("a", &log), b("b", &log), c("c", &log);
    KelSubject subject;
    subject.Attach(&b);
    subject.Attach(&a);
    subject.Attach(&c);
    subject.Send(ShowStart);
    EXPECT_EQ(log, (std::vector<std::string>{"b:start", "a:start", "c:start"}));
    EXPECT_EQ(subject.GetCode(), ShowStart);  // the code stays afterwards
}

TEST(Notifications, PayloadCarriesTheObserversAnswer) {
    std::vector<std::string> log;
    Recorder keeps("keeps", &log), vetoes("vetoes", &log);
    vetoes.veto_ = true;
    KelSubject dialog;
    dialog.Attach(&keeps);
    int veto = 0;
    dialog.Send(PreferencesSave, &veto);
    EXPECT_EQ(veto, 0);
    dialog.Attach(&vetoes);
    dialog.Send(PreferencesSave, &veto);
    EXPECT_EQ(veto, 1);  // visible to the sender when Notify returns

    int page = 7;
    dialog.Send(RangeCurrentPage, &page);
    EXPECT_EQ(keeps.seen_page_, 7);
}

TEST(Notifications, UnknownCodesChangeNothing) {
    std::vector<std::string> log;
    Recorder r("r", &log);
    KelSubject subject;
    subject.Attach(&r);
    for (int code : {0, 20, 21, 30, -1, int(ShowStop), int(AddFiles)})
        subject.Send(static_cast<NotifyCode>(code));
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(r.seen_page_, 0);
}

TEST(Notifications, AttachTwiceDeliversTwiceAndDetachRemovesAll) {
    std::vector<std::string> log;
    Recorder r("r", &log), other("o", &log);
    KelSubject subject;
    subject.Attach(&r);
    subject.Attach(&other);
    subject.Attach(&r);
    subject.Send(ShowStart);
    EXPECT_EQ(log, (std::vector<std::string>{"r:start", "o:start", "r:start"}));
    log.clear();
    subject.Detach(&r);
    subject.Send(ShowStart);
    EXPECT_EQ(log, (std::vector<std::string>{"o:start"}));
    subject.Detach(&r);  // absent: nothing happens
}

TEST(Notifications, SetCodeThenNotifyIsTheSameAsSend) {
    std::vector<std::string> log;
    Recorder r("r", &log);
    KelSubject subject;
    subject.Attach(&r);
    subject.SetCode(ShowStart);
    subject.Notify(nullptr);
    EXPECT_EQ(log, (std::vector<std::string>{"r:start"}));
}

TEST(Notifications, CodesKeepTheirFixedValues) {
    EXPECT_EQ(OpenSourceFolder, 1);
    EXPECT_EQ(StartAll, 6);
    EXPECT_EQ(FileLoaded, 11);
    EXPECT_EQ(PageCellEdited, 19);
    EXPECT_EQ(ForceCustomFolder, 22);
    EXPECT_EQ(PreferencesReset, 29);
}

// A handler that collects the application events delivered to it.
class Sink : public wxEvtHandler {
public:
    Sink() {
        Bind(EVT_CONVERT_STATUS, [this](TavGridCellRenderCommandEvent& e) {
            statuses_.push_back({e.GetRow(), e.GetColumn(), e.GetKind(), e.GetPercent()});
            threads_.push_back(std::this_thread::get_id());
        });
        Bind(EVT_ROWS_LOADED, [this](wxCommandEvent& e) {
            loaded_ints_.push_back(e.GetInt());
            rows_ = TakeLoadedRows(e);
            second_take_empty_ = second_take_empty_ && TakeLoadedRows(e) == nullptr;
        });
        Bind(EVT_UPDATE_CHECKED, [this](wxCommandEvent& e) { version_ = e.GetString(); });
    }
    struct Status {
        int row, column, kind, percent;
        bool operator==(const Status& o) const {
            return row == o.row && column == o.column && kind == o.kind && percent == o.percent;
        }
    };
    std::vector<Status> statuses_;
    std::vector<std::thread::id> threads_;
    std::vector<int> loaded_ints_;
    std::unique_ptr<FileRowInfoArray> rows_;
    bool second_take_empty_ = true;
    wxString version_;
};

void DeliverQueuedEvents() {
    ASSERT_NE(wxAppConsole::GetInstance(), nullptr);
    wxAppConsole::GetInstance()->ProcessPendingEvents();
}

TEST(ApplicationEvents, StatusEventsFromAWorkerArriveInOrderOnTheCallingThread) {
    Sink sink;
    std::thread worker([&sink] {
        PostConvertStatus(&sink, 0, 2, 5, StatusConverting, 0);
        for (int p = 10; p <= 100; p += 45)
            PostConvertStatus(&sink, 0, 2, 5, StatusPercent, p);
        PostConvertStatus(&sink, 0, 3, 5, StatusFailed, 0);
        auto* done = new wxCommandEvent(EVT_UPDATE_CHECKED, 0);
        done->SetString(wxString("2.1.25"));
        wxQueueEvent(&sink, done);
    });
    worker.join();
    EXPECT_TRUE(sink.statuses_.empty());  // queued, not processed
    DeliverQueuedEvents();
    const std::vector<Sink::Status> expected = {
        {2, 5, StatusConverting, 0}, {2, 5, StatusPercent, 10}, {2, 5, StatusPercent, 55},
        {2, 5, StatusPercent, 100}, {3, 5, StatusFailed, 0}};
    EXPECT_EQ(sink.statuses_, expected);
    for (std::thread::id id : sink.threads_)
        EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_EQ(sink.version_, "2.1.25");
}

TEST(ApplicationEvents, StatusEventCloneKeepsEveryField) {
    TavGridCellRenderCommandEvent event(EVT_CONVERT_STATUS, 3);
    event.SetRow(4);
    event.SetColumn(5);
    event.SetKind(StatusStopped);
    event.SetPercent(42);
    std::unique_ptr<wxEvent> copy(event.Clone());
    auto* status = dynamic_cast<TavGridCellRenderCommandEvent*>(copy.get());
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->GetId(), 3);
    EXPECT_EQ(status->GetEventType(), EVT_CONVERT_STATUS);
    EXPECT_EQ(status->GetRow(), 4);
    EXPECT_EQ(status->GetColumn(), 5);
    EXPECT_EQ(status->GetKind(), StatusStopped);
    EXPECT_EQ(status->GetPercent(), 42);
}

TEST(ApplicationEvents, RowsLoadedHandsOverTheRecordsOnce) {
    Sink sink;
    auto rows = std::make_unique<FileRowInfoArray>();
    rows->emplace_back("/a.pdf");
    rows->emplace_back("/b.pdf");
    std::thread worker([&sink, &rows] { PostRowsLoaded(&sink, 0, std::move(rows)); });
    worker.join();
    PostRowsLoaded(&sink, 0, nullptr);  // a folder without PDF files
    DeliverQueuedEvents();
    EXPECT_EQ(sink.loaded_ints_, (std::vector<int>{1, 0}));
    EXPECT_EQ(sink.rows_, nullptr);  // the last event carried none
    EXPECT_TRUE(sink.second_take_empty_);  // taken once: a second take gives nothing
}

TEST(ApplicationEvents, RowsNobodyTakesAreFreedWithTheirEvent) {
    // A handler that looks at the rows without taking them, then the event
    // goes: the records must go with it (checked by the sanitizer builds).
    wxEvtHandler viewer;
    size_t seen = 0;
    viewer.Bind(EVT_ROWS_LOADED, [&seen](wxCommandEvent& e) {
        seen = static_cast<FileRowInfoArray*>(e.GetClientData())->size();
    });
    auto rows = std::make_unique<FileRowInfoArray>();
    rows->emplace_back("/a.pdf");
    PostRowsLoaded(&viewer, 0, std::move(rows));
    DeliverQueuedEvents();
    EXPECT_EQ(seen, 1u);
}

TEST(ApplicationEvents, RowsArriveIntact) {
    Sink sink;
    auto rows = std::make_unique<FileRowInfoArray>();
    rows->emplace_back("/a.pdf");
    rows->back().cells_.Add("a.pdf");
    rows->back().size_ = 12;
    PostRowsLoaded(&sink, 0, std::move(rows));
    DeliverQueuedEvents();
    ASSERT_NE(sink.rows_, nullptr);
    ASSERT_EQ(sink.rows_->size(), 1u);
    EXPECT_EQ((*sink.rows_)[0].source_path_, "/a.pdf");
    EXPECT_EQ((*sink.rows_)[0].size_, 12u);
    EXPECT_TRUE((*sink.rows_)[0].add_);
    EXPECT_EQ((*sink.rows_)[0].status_, RowOpened);
}

}  // namespace
