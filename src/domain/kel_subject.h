// Sender of notifications. The window pieces never call one another: a piece
// stores a NotifyCode and notifies its observers, in attach order, on the UI
// thread. Workers never notify; they queue application events (app_events.h).
#ifndef KESTRAN_DOMAIN_KEL_SUBJECT_H
#define KESTRAN_DOMAIN_KEL_SUBJECT_H

#include <list>

#include "domain/notify_code.h"

class KelObserver;

class KelSubject {
public:
    KelSubject() = default;
    virtual ~KelSubject() = default;

    // Calls Update(this, payload) on every attached observer, first to last.
    virtual void Notify(void* payload);

    // Appends the observer (attaching twice delivers twice).
    void Attach(KelObserver* observer);
    // Removes every entry of the observer.
    void Detach(KelObserver* observer);

    int GetCode() const { return code_; }
    void SetCode(int code) { code_ = code; }

    // Sets the code, then notifies: the code is always written right before Notify.
    void Send(NotifyCode code, void* payload = nullptr) {
        code_ = code;
        Notify(payload);
    }

private:
    int code_ = 0;
    std::list<KelObserver*> observers_;  // not owned
};

#endif
