// Receiver of KelSubject notifications.
#ifndef KESTRAN_DOMAIN_KEL_OBSERVER_H
#define KESTRAN_DOMAIN_KEL_OBSERVER_H

class KelSubject;

class KelObserver {
public:
    virtual ~KelObserver() = default;
    // Called synchronously by subject->Notify(). Read subject->GetCode(),
    // act on the codes this observer knows and ignore every other one. The
    // payload (possibly null) belongs to the sender and lives only for the call;
    // writing into it answers the sender.
    virtual void Update(KelSubject* subject, void* payload) = 0;
};

#endif
