// What a worker and the window it reports to share: the window's event
// handler, for as long as the window wants to hear from the worker.
//
// The window owns the record through a std::shared_ptr and every worker it
// starts holds another one, so the record lives until both are done with it.
// The window detaches from it when it goes (in its destructor); from then on
// nothing is queued to it, so a worker that is still running may finish in
// its own time. The target pointer is only used under the record's mutex and
// only while attached.
//
//   record_ = std::make_shared<EventTargetRecord>(this, GetId());
//   ... hand record_ to the work ...          // the worker: record->Queue(event)
//   ~Window() { record_->Detach(); }
#ifndef KESTRAN_DOMAIN_EVENT_TARGET_RECORD_H
#define KESTRAN_DOMAIN_EVENT_TARGET_RECORD_H

#include <memory>
#include <mutex>

#include <wx/event.h>

class EventTargetRecord {
public:
    // `target` receives the queued events until Detach(); `id` is the id
    // those events carry (the target window's id).
    explicit EventTargetRecord(wxEvtHandler* target, int id = 0) : target_(target), id_(id) {}
    virtual ~EventTargetRecord() = default;
    EventTargetRecord(const EventTargetRecord&) = delete;
    EventTargetRecord& operator=(const EventTargetRecord&) = delete;

    // Forgets the target; after it returns nothing is ever queued to the
    // target again, so the target may be destroyed. Events queued before stay
    // in the target's own queue, which wxEvtHandler's destructor discards.
    // Idempotent; any thread.
    void Detach();
    bool IsAttached() const;
    // The id events to the target carry. Fixed for the record's life.
    int GetId() const { return id_; }

    // Queues `event` to the target with wxQueueEvent, under the mutex, so the
    // target cannot go away during the call. True when queued; false when
    // detached (the event is then freed). Any thread.
    bool Queue(std::unique_ptr<wxEvent> event);

private:
    mutable std::mutex mutex_;
    wxEvtHandler* target_;
    const int id_;
};

#endif
