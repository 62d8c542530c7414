// The self-deleting worker thread: begin on the caller, run and end on the worker.
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/task_thread.h"

namespace {

// Shared with the thread; outlives it (the test waits for `end`).
struct Trace {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> steps;
    std::thread::id begin_thread, run_thread, end_thread;
    bool ended = false;

    void Add(const std::string& step) {
        std::lock_guard<std::mutex> lock(mutex);
        steps.push_back(step);
    }
    void WaitForEnd() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [this] { return ended; });
    }
};

void BeginStep(void* data) {
    auto* t = static_cast<Trace*>(data);
    t->begin_thread = std::this_thread::get_id();
    t->Add("begin");
}

void RunStep(void* data) {
    auto* t = static_cast<Trace*>(data);
    t->run_thread = std::this_thread::get_id();
    t->Add("run");
}

void EndStep(void* data) {
    auto* t = static_cast<Trace*>(data);
    std::lock_guard<std::mutex> lock(t->mutex);
    t->end_thread = std::this_thread::get_id();
    t->steps.push_back("end");
    t->ended = true;
    t->cv.notify_all();
}

TEST(TaskThreadTest, BeginOnTheCallerRunAndEndOnTheWorker) {
    Trace trace;
    auto* thread = new TaskThread(&trace, &RunStep, &BeginStep, &EndStep);
    // begin ran inside the constructor, on this thread.
    ASSERT_EQ(trace.steps, std::vector<std::string>{"begin"});
    EXPECT_EQ(trace.begin_thread, std::this_thread::get_id());

    ASSERT_TRUE(thread->Start());  // the object deletes itself; not touched again
    trace.WaitForEnd();
    EXPECT_EQ(trace.steps, (std::vector<std::string>{"begin", "run", "end"}));
    EXPECT_NE(trace.run_thread, std::this_thread::get_id());
    EXPECT_EQ(trace.end_thread, trace.run_thread);
}

TEST(TaskThreadTest, NullRunStartsAndDeletesItself) {
    Trace trace;
    auto* thread = new TaskThread(&trace, nullptr, nullptr, &EndStep);
    ASSERT_TRUE(thread->Start());
    trace.WaitForEnd();  // `end` runs from the destructor: the thread deleted itself
    EXPECT_EQ(trace.steps, std::vector<std::string>{"end"});
}

TEST(TaskThreadTest, SettersReplaceTheCallbacksBeforeStart) {
    Trace trace;
    auto* thread = new TaskThread(&trace, nullptr);
    thread->SetRun(&RunStep);
    thread->SetEnd(&EndStep);
    ASSERT_TRUE(thread->Start());
    trace.WaitForEnd();
    EXPECT_EQ(trace.steps, (std::vector<std::string>{"run", "end"}));
}

TEST(TaskThreadTest, ManyThreadsEachRunOnce) {
    struct Counter {
        std::mutex mutex;
        std::condition_variable cv;
        int runs = 0, ends = 0;
    } counter;
    const int n = 16;
    for (int i = 0; i < n; ++i) {
        auto* thread = new TaskThread(
            &counter,
            [](void* d) {
                auto* c = static_cast<Counter*>(d);
                std::lock_guard<std::mutex> lock(c->mutex);
                ++c->runs;
            },
            nullptr,
            [](void* d) {
                auto* c = static_cast<Counter*>(d);
                std::lock_guard<std::mutex> lock(c->mutex);
                ++c->ends;
                c->cv.notify_all();
            });
        ASSERT_TRUE(thread->Start());
    }
    std::unique_lock<std::mutex> lock(counter.mutex);
    counter.cv.wait(lock, [&] { return counter.ends == n; });
    EXPECT_EQ(counter.runs, n);
}

}  // namespace
