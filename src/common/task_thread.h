// A detached worker thread that runs one function and deletes itself.
//
//   auto* t = new TaskThread(job, &RunJob);   // begin (if any) runs here, on the caller
//   t->Start();                               // never touch t afterwards
//
// `run` executes on the new thread; `end` runs on that thread too, from the
// destructor, after `run` returned. userData belongs to the starter, which
// keeps it alive until `run` has finished. There is no stop request: a run
// that must be stoppable watches its own flag (g_job_state).
#ifndef KESTRAN_COMMON_TASK_THREAD_H
#define KESTRAN_COMMON_TASK_THREAD_H

#include <wx/thread.h>

class TaskThread : public wxThread {
public:
    typedef void (*Callback)(void* userData);

    TaskThread(void* userData, Callback run, Callback begin = nullptr, Callback end = nullptr);
    ~TaskThread() override;

    // Creates and starts the system thread. When that fails, `run` never
    // executes, the object deletes itself at once (without calling `end`) and
    // false is returned. Either way the pointer must not be used afterwards.
    bool Start();

    void SetRun(Callback run) { run_ = run; }
    void SetBegin(Callback begin) { begin_ = begin; }
    void SetEnd(Callback end) { end_ = end; }

protected:
    ExitCode Entry() override;
    void OnDelete() override {}
    void OnKill() override {}
    void OnExit() override {}

private:
    void* userData_;
    Callback run_;
    Callback begin_;
    Callback end_;
};

#endif
