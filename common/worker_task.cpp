#include "common/worker_task.h"

#include "common/scope_exit.h"

namespace kestrane {

bool TaskState::WaitFor(SteadyClock::duration limit)
{
    std::unique_lock lock(mutex_);
    return signal_.wait_for(lock, limit, [this] { return finished_; });
}

bool TaskState::Finished()
{
    std::lock_guard lock(mutex_);
    return finished_;
}

void TaskState::MadeProgress()
{
    ++progressCount_;
}

void TaskState::MadeProgress(const Progress& transfer)
{
    {
        std::lock_guard lock(mutex_);
        transfer_ = transfer;
    }
    MadeProgress();
}

std::optional<Progress> TaskState::Transfer()
{
    std::lock_guard lock(mutex_);
    return transfer_;
}

void TaskState::WakeWhenFinished(MessagePump* pump)
{
    std::lock_guard lock(mutex_);
    pumpToWake_ = pump;
}

void TaskState::Finish()
{
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
        if (pumpToWake_ != nullptr) {
            pumpToWake_->Wake();
        }
    }
    signal_.notify_all();
}

bool WaitWhilePumping(TaskState& task, MessagePump& pump, Clock& clock, SteadyClock::duration stallLimit)
{
    // The pump may wait for a message for a while; the task's end wakes it.
    task.WakeWhenFinished(&pump);
    const ScopeExit noMoreWaking([&task] { task.WakeWhenFinished(nullptr); });
    std::uint64_t progressSeen = task.ProgressCount();
    SteadyClock::time_point movedAt = clock.SteadyNow();
    while (!task.WaitFor(kWaitSlice)) {
        if (const std::optional<Progress> transfer = task.Transfer()) {
            pump.ReportProgress(*transfer);
        } else {
            pump.PumpMessages();
        }
        const SteadyClock::time_point now = clock.SteadyNow();
        if (const std::uint64_t progress = task.ProgressCount(); progress != progressSeen) {
            progressSeen = progress;
            movedAt = now;
        } else if (now - movedAt >= stallLimit) {
            return false;
        }
    }
    return true;
}

void WorkerThread::Join()
{
    if (thread_.joinable()) {
        thread_.join();
    }
}

void WorkerThread::Release(SteadyClock::duration limit) noexcept
{
    if (!thread_.joinable()) {
        return;
    }
    try {
        if (task_->WaitFor(limit)) {
            thread_.join();
            return;
        }
    } catch (...) {
        // A wait or a join that fails leaves the worker to finish on its own too.
    }
    if (thread_.joinable()) {
        thread_.detach();
    }
}

}  // namespace kestrane
