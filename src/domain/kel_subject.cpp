#include "domain/kel_subject.h"

#include "domain/kel_observer.h"

void KelSubject::Notify(void* payload) {
    for (KelObserver* observer : observers_)
        observer->Update(this, payload);
}

void KelSubject::Attach(KelObserver* observer) {
    observers_.push_back(observer);
}

void KelSubject::Detach(KelObserver* observer) {
    observers_.remove(observer);
}
