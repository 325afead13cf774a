#include "common/worker_task.h"

#include <gtest/gtest.h>

#include <latch>
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

// Steady time that moves only when the test moves it.
class ManualClock {
public:
    SteadyNow Reader()
    {
        return [this] { return now_.load(); };
    }
    void Advance(SteadyClock::duration by) { now_ = now_.load() + by; }

private:
    std::atomic<SteadyClock::time_point> now_{SteadyClock::time_point{}};
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
    ManualClock clock;
    Task<int> task(clock.Reader());
    EXPECT_EQ(task.Transfer(), std::nullopt) << "nothing is known before the work says";

    clock.Advance(kStallLimit);
    task.MadeProgress(Progress{4096, 10000});
    task.MadeProgress(Progress{8192, 10000});

    EXPECT_EQ(task.TimeWithoutProgress(), SteadyClock::duration::zero());
    const std::optional<Progress> transfer = task.Transfer();
    ASSERT_TRUE(transfer.has_value());
    EXPECT_EQ(transfer->done, 8192u);
    EXPECT_EQ(transfer->total, 10000u);
}

// What a waiting scene holds: a worker held at the gate until the wait is
// over, on a clock the pump moves.
struct Scene {
    Gate& gate;
    ManualClock& clock;
    Task<int>& task;
};

struct WaitCase {
    const char* name;
    // The pump's call number `call` (from 1): true while the window stays open.
    std::function<bool(int call, Scene& scene)> pump;
    WaitEnd end;
    int pumps;
};

const WaitCase kWaits[] = {
    {"the task finishes",
     [](int, Scene& scene) {
         scene.gate.count_down();
         scene.task.WaitFor(kForever);
         return true;
     },
     WaitEnd::Finished, 1},
    {"the window is closed", [](int, Scene&) { return false; }, WaitEnd::WindowClosed, 1},
    {"no progress for the limit",
     [](int, Scene& scene) {
         scene.clock.Advance(kStallLimit);
         return true;
     },
     WaitEnd::Stalled, 1},
    {"progress restarts the stall limit",
     [](int call, Scene& scene) {
         scene.clock.Advance(call < 3 ? kStallLimit - 1ms : 1ms);
         if (call == 1) {
             scene.task.MadeProgress();
         }
         return true;
     },
     WaitEnd::Stalled, 3},
    {"a closed window wins over a stall",
     [](int, Scene& scene) {
         scene.clock.Advance(kStallLimit);
         return false;
     },
     WaitEnd::WindowClosed, 1},
};

TEST(WorkerTaskTest, WaitingEndsWhenTheTaskFinishesTheWindowClosesOrTheTaskStalls)
{
    for (const WaitCase& wait : kWaits) {
        SCOPED_TRACE(wait.name);
        auto gate = std::make_shared<Gate>(1);
        ManualClock clock;
        auto task = std::make_shared<Task<int>>(clock.Reader());
        WorkerThread worker;
        worker.Start(task, [gate](TaskState&) {
            gate->wait();
            return 7;
        });

        Scene scene{*gate, clock, *task};
        int pumps = 0;
        const WaitEnd end = WaitWhilePumping(
            *task, [&] { return wait.pump(++pumps, scene); }, kStallLimit);
        EXPECT_EQ(end, wait.end);
        EXPECT_EQ(pumps, wait.pumps);

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
