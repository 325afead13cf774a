#include "common/worker_task.h"

namespace kestrane {

TaskState::TaskState() : TaskState([] { return SteadyClock::now(); }) {}

TaskState::TaskState(SteadyNow now) : now_(std::move(now)), lastProgress_(now_()) {}

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
    lastProgress_ = now_();
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

SteadyClock::duration TaskState::TimeWithoutProgress() const
{
    return now_() - lastProgress_.load();
}

WaitEnd WaitWhilePumping(TaskState& task, const std::function<bool()>& pump, SteadyClock::duration stallLimit)
{
    while (!task.WaitFor(kWaitSlice)) {
        if (!pump()) {
            return WaitEnd::WindowClosed;
        }
        if (task.TimeWithoutProgress() >= stallLimit) {
            return WaitEnd::Stalled;
        }
    }
    return WaitEnd::Finished;
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
