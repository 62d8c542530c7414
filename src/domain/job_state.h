// The state of the conversion job, shared between the UI thread and the worker.
#ifndef KESTRAN_DOMAIN_JOB_STATE_H
#define KESTRAN_DOMAIN_JOB_STATE_H

#include <atomic>

enum JobState : int {
    JobIdle = 0,
    JobRunning = 1,
    JobStopRequested = 2
};

// UI: JobRunning when a job starts, JobStopRequested on "Stop".
// Worker: checks it before each file; JobIdle when the job has ended.
extern std::atomic<int> g_job_state;

#endif
