// One blocking operation at a time on a worker thread, while the thread that
// started it keeps its window alive: it waits for the operation in short
// slices, pumps its messages between them, and gives the operation up when
// the window is closed or when the operation stops making progress.
//
// Only the waiting thread reads the clock: the worker just says that it has
// moved forward, so a worker left behind never touches the caller's clock.
//
// A worker that does not finish when it is given up is left to finish on its
// own, so what it works on must be its own copies or state shared through
// shared pointers, never the caller's.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace kestrane {

// The part of a worker's task that the waiting thread watches.
class TaskState {
public:
    TaskState() = default;
    TaskState(const TaskState&) = delete;
    TaskState& operator=(const TaskState&) = delete;
    virtual ~TaskState() = default;

    // True once the task has finished, waiting up to limit for that.
    bool WaitFor(SteadyClock::duration limit);
    bool Finished();

    // Called by the work whenever it has moved forward; a transfer says how
    // far it has got.
    void MadeProgress();
    void MadeProgress(const Progress& transfer);
    // How many times the work has said so: a count that stays put has stalled.
    std::uint64_t ProgressCount() const { return progressCount_; }
    // How far the transfer has got, as the work last said; nothing before that.
    std::optional<Progress> Transfer();

    // The pump to wake when the task finishes (nullptr: none), set by the
    // thread that waits for it for as long as it waits, so that a worker
    // left behind never touches the pump.
    void WakeWhenFinished(MessagePump* pump);

protected:
    // Records that the task has finished, and wakes the waiting thread.
    void Finish();

    std::mutex mutex_;

private:
    std::condition_variable signal_;
    bool finished_ = false;              // guarded by mutex_
    MessagePump* pumpToWake_ = nullptr;  // guarded by mutex_
    std::atomic<std::uint64_t> progressCount_ = 0;
    std::optional<Progress> transfer_;  // guarded by mutex_
};

// One operation, shared by the worker that runs it and the thread that waits.
template <typename Result> class Task final : public TaskState {
public:
    using TaskState::TaskState;

    // Runs work(*this) and records its result or the exception it threw, so
    // that no exception leaves the worker thread.
    template <typename Work> void Run(Work& work) noexcept
    {
        std::exception_ptr failure;
        Result result{};
        try {
            result = work(*this);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard lock(mutex_);
            result_ = std::move(result);
            failure_ = failure;
        }
        Finish();
    }

    // The result, or the worker's exception rethrown. Only once Finished().
    Result Outcome()
    {
        std::lock_guard lock(mutex_);
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        return result_;
    }

private:
    Result result_{};
    std::exception_ptr failure_;
};

// How long the waiting thread waits for the task between two calls to pump.
inline constexpr auto kWaitSlice = std::chrono::milliseconds(10);

// Waits for the task, pumping the window's messages between slices of
// waiting (and showing how far a transfer has got), until it has finished
// (true) or has gone stallLimit on clock without progress (false). Lets the
// pump's WindowClosed through.
bool WaitWhilePumping(TaskState& task, MessagePump& pump, Clock& clock, SteadyClock::duration stallLimit);

class WorkerThread;

// Waits for task as WaitWhilePumping does, and once it has finished returns
// its result, or rethrows what it threw, after its thread has ended. A task
// given up, because the window was closed or because it went stallLimit
// without progress, is first handed to giveUp(), which ends it or leaves it
// to end on its own; then the pump's exception goes on, or stalled() is
// thrown.
template <typename Result, typename GiveUp, typename Stalled>
Result AwaitTask(WorkerThread& worker, Task<Result>& task, MessagePump& pump, Clock& clock,
                 SteadyClock::duration stallLimit, GiveUp giveUp, Stalled stalled);

// The thread that runs the current task.
class WorkerThread {
public:
    WorkerThread() = default;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    // A worker still running is left to finish on its own.
    ~WorkerThread() { Release(SteadyClock::duration::zero()); }

    // Runs work on a new thread as task, once the thread of the earlier task
    // has ended. Throws std::system_error when no thread can be started.
    template <typename Result, typename Work> void Start(const std::shared_ptr<Task<Result>>& task, Work work)
    {
        Join();
        thread_ = std::thread([task, work = std::move(work)]() mutable { task->Run(work); });
        task_ = task;
    }

    // Waits until the thread of the current task has ended.
    void Join();

    // Waits up to limit for the current task to finish and then for its
    // thread to end; a worker still busy after that is left to finish on its own.
    void Release(SteadyClock::duration limit) noexcept;

private:
    std::thread thread_;
    std::shared_ptr<TaskState> task_;
};

template <typename Result, typename GiveUp, typename Stalled>
Result AwaitTask(WorkerThread& worker, Task<Result>& task, MessagePump& pump, Clock& clock,
                 SteadyClock::duration stallLimit, GiveUp giveUp, Stalled stalled)
{
    bool finished = false;
    try {
        finished = WaitWhilePumping(task, pump, clock, stallLimit);
    } catch (...) {
        giveUp();
        throw;
    }
    if (!finished) {
        giveUp();
        throw stalled();
    }
    worker.Join();
    return task.Outcome();
}

}  // namespace kestrane
