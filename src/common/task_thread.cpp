#include "common/task_thread.h"

TaskThread::TaskThread(void* userData, Callback run, Callback begin, Callback end)
    : wxThread(wxTHREAD_DETACHED), userData_(userData), run_(run), begin_(begin), end_(end) {
    if (begin_)
        begin_(userData_);
}

TaskThread::~TaskThread() {
    // Runs on the worker, after Entry() returned.
    if (end_)
        end_(userData_);
}

bool TaskThread::Start() {
    if (Create(0) != wxTHREAD_NO_ERROR || Run() != wxTHREAD_NO_ERROR) {
        // The system thread never started: nobody else will delete us, and
        // `end` belongs after a `run` that did not happen.
        end_ = nullptr;
        delete this;
        return false;
    }
    return true;
}

wxThread::ExitCode TaskThread::Entry() {
    if (run_)
        run_(userData_);
    return 0;
}
