#include "common/worker_task.h"

#include <gtest/gtest.h>

#include <latch>
#include <semaphore>
#include <stdexcept>
#include <string>

namespace kestrane {
namespace {

using namespace std::chrono_literals;

constexpr auto kStallLimit = 60s;
// Long enough never to run out: only a fault makes a wait last that long.
constexpr auto kForever = std::chrono::hours(1);

// Holds a worker until the test lets it go (count_down). Shared, so that a
// worker left to finish on its own never outlives it.
using Gate = std::latch;

// Steady time that moves only when the test moves it. Only the waiting
// thread reads it.
class ManualClock final : public Clock {
public:
    LocalTime Now() override { return {}; }
    SteadyClock::time_point SteadyNow() override { return now_; }
    void Advance(SteadyClock::duration by) { now_ += by; }

private:
    SteadyClock::time_point now_{};
};

// Set once the thread that marked itself has ended.
struct ThreadEndMark {
    std::shared_ptr<std::atomic<bool>> ended;
    ~ThreadEndMark()
    {
        if (ended) {
            *ended = true;
        }
    }
};
thread_local ThreadEndMark threadEndMark;

TEST(WorkerTaskTest, KeepsTheWorksResultOrRethrowsWhatItThrew)
{
    Task<int> succeeding;
    auto answer = [](TaskState&) { return 42; };
    succeeding.Run(answer);
    EXPECT_TRUE(succeeding.Finished());
    EXPECT_EQ(succeeding.Outcome(), 42);

    Task<int> failing;
    auto refuse = [](TaskState&) -> int { throw std::runtime_error("refused"); };
    failing.Run(refuse);
    EXPECT_TRUE(failing.Finished());
    try {
        failing.Outcome();
        ADD_FAILURE() << "the work's exception was lost";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "refused");
    }
}

TEST(WorkerTaskTest, ATransferTellsHowFarItHasGotAndThatCountsAsProgress)
{
    Task<int> task;
    EXPECT_EQ(task.Transfer(), std::nullopt) << "nothing is known before the work says";

    task.MadeProgress(Progress{4096, 10000});
    task.MadeProgress(Progress{8192, 10000});

    EXPECT_EQ(task.ProgressCount(), 2u);
    const std::optional<Progress> transfer = task.Transfer();
    ASSERT_TRUE(transfer.has_value());
    EXPECT_EQ(transfer->done, 8192u);
    EXPECT_EQ(transfer->total, 10000u);
}

// What a waiting scene holds: a worker held at the gate until the wait is
// over, on a clock the pump moves, and the pump's wake-up.
struct Scene {
    Gate& gate;
    ManualClock& clock;
    Task<int>& task;
    std::binary_semaphore& woken;
};

// How a wait ended, as the caller sees it.
enum class WaitEnd { Finished, WindowClosed, Stalled };

struct WaitCase {
    const char* name;
    // The pump's call number `call` (from 1); throws WindowClosed to close the window.
    std::function<void(int call, Scene& scene)> pump;
    WaitEnd end;
    int pumps;
    int progressShown;  // how many of the pumps were given a transfer's progress
};

// Runs the scene's pump for each call, telling whether it was given progress.
class ScenePump final : public MessagePump {
public:
    ScenePump(const WaitCase& wait, Scene& scene) : wait_(wait), scene_(scene) {}

    void PumpMessages() override { wait_.pump(++pumps, scene_); }
    void ReportProgress(const Progress&) override
    {
        ++progressShown;
        wait_.pump(++pumps, scene_);
    }
    void Wake() noexcept override { scene_.woken.release(); }

    int pumps = 0;
    int progressShown = 0;

private:
    const WaitCase& wait_;
    Scene& scene_;
};

const WaitCase kWaits[] = {
    {"the task finishes",
     [](int, Scene& scene) {
         scene.gate.count_down();
         scene.task.WaitFor(kForever);
     },
     WaitEnd::Finished, 1, 0},
    {"the task's end wakes a pump that waits for a message",
     [](int, Scene& scene) {
         scene.gate.count_down();
         EXPECT_TRUE(scene.woken.try_acquire_for(kStallLimit)) << "the pump was left to wait";
     },
     WaitEnd::Finished, 1, 0},
    {"the window is closed", [](int, Scene&) { throw WindowClosed(); }, WaitEnd::WindowClosed, 1, 0},
    {"no progress for the limit", [](int, Scene& scene) { scene.clock.Advance(kStallLimit); },
     WaitEnd::Stalled, 1, 0},
    {"progress restarts the stall limit, and a transfer's progress is shown",
     [](int call, Scene& scene) {
         scene.clock.Advance(call < 3 ? kStallLimit - 1ms : 1ms);
         if (call == 1) {
             scene.task.MadeProgress(Progress{10, 100});
         }
     },
     WaitEnd::Stalled, 3, 2},
    {"a closed window wins over a stall",
     [](int, Scene& scene) {
         scene.clock.Advance(kStallLimit);
         throw WindowClosed();
     },
     WaitEnd::WindowClosed, 1, 0},
};

TEST(WorkerTaskTest, WaitingEndsWhenTheTaskFinishesTheWindowClosesOrTheTaskStalls)
{
    for (const WaitCase& wait : kWaits) {
        SCOPED_TRACE(wait.name);
        auto gate = std::make_shared<Gate>(1);
        ManualClock clock;
        auto task = std::make_shared<Task<int>>();
        WorkerThread worker;
        worker.Start(task, [gate](TaskState&) {
            gate->wait();
            return 7;
        });

        std::binary_semaphore woken(0);
        Scene scene{*gate, clock, *task, woken};
        ScenePump pump(wait, scene);
        WaitEnd end = WaitEnd::WindowClosed;
        try {
            end = WaitWhilePumping(*task, pump, clock, kStallLimit) ? WaitEnd::Finished : WaitEnd::Stalled;
        } catch (const WindowClosed&) {
        }
        EXPECT_EQ(end, wait.end);
        EXPECT_EQ(pump.pumps, wait.pumps);
        EXPECT_EQ(pump.progressShown, wait.progressShown);

        if (!gate->try_wait()) {
            gate->count_down();
        }
        worker.Join();
        EXPECT_EQ(task->Outcome(), 7);
    }
}

TEST(WorkerTaskTest, ReleaseWaitsForAWorkerThatFinishesWithinTheLimitUntilItsThreadHasEnded)
{
    auto gate = std::make_shared<Gate>(1);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    auto task = std::make_shared<Task<int>>();
    WorkerThread worker;
    worker.Start(task, [gate, ended](TaskState&) {
        threadEndMark.ended = ended;
        gate->wait();
        return 1;
    });

    std::thread opener([gate] { gate->count_down(); });
    worker.Release(kForever);
    opener.join();
    EXPECT_TRUE(task->Finished());
    EXPECT_TRUE(*ended) << "the worker's thread was not waited for";
}

TEST(WorkerTaskTest, ReleaseLeavesAWorkerStillBusyAfterTheLimitToFinishOnItsOwn)
{
    auto gate = std::make_shared<Gate>(1);
    auto task = std::make_shared<Task<int>>();
    {
        WorkerThread worker;
        worker.Start(task, [gate](TaskState&) {
            gate->wait();
            return 2;
        });
        worker.Release(0s);
        EXPECT_FALSE(task->Finished());
    }
    gate->count_down();
    ASSERT_TRUE(task->WaitFor(kForever));
    EXPECT_EQ(task->Outcome(), 2);
}

}  // namespace
}  // namespace kestrane
