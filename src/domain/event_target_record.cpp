#include "domain/event_target_record.h"

void EventTargetRecord::Detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = nullptr;
}

bool EventTargetRecord::IsAttached() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_ != nullptr;
}

bool EventTargetRecord::Queue(std::unique_ptr<wxEvent> event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!target_ || !event)
        return false;
    wxQueueEvent(target_, event.release());  // the target's queue owns it now
    return true;
}
