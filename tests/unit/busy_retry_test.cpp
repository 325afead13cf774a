#include "common/busy_retry.h"

#include "common/job_window.h"
#include "fakes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrane {
namespace {

using namespace std::chrono_literals;

struct RetryCase {
    const char* name;
    std::vector<Attempt> attempts;  // how each attempt ends; the last one repeats
    int giveUpAtWait;               // the wait at which the window is closed (0: none)
    int expectedAttempts;
    std::vector<bool> expectedWaits;  // the waits' first flags, in order
    Attempt expectedEnd;
};

class RetryWhileBusyTest : public ::testing::TestWithParam<RetryCase> {};

// Each wait lasts 100 ms on a clock of the test's own.
TEST_P(RetryWhileBusyTest, TriesABusyFileAgainForTwoSecondsAtMost)
{
    const RetryCase& c = GetParam();
    testing::FakeClock clock;
    int attempts = 0;
    std::vector<bool> waits;

    const Attempt end = RetryWhileBusy(
        [&] {
            const std::size_t at = std::min<std::size_t>(attempts++, c.attempts.size() - 1);
            return c.attempts[at];
        },
        [&](bool first) {
            waits.push_back(first);
            clock.Advance(100ms);
            if (static_cast<int>(waits.size()) == c.giveUpAtWait) {
                throw WindowClosed();
            }
        },
        clock);

    EXPECT_EQ(end, c.expectedEnd);
    EXPECT_EQ(attempts, c.expectedAttempts);
    EXPECT_EQ(waits, c.expectedWaits);
}

const std::vector<bool> kTwentyWaits = [] {
    std::vector<bool> waits(20, false);
    waits.front() = true;
    return waits;
}();

INSTANTIATE_TEST_SUITE_P(
    Cases, RetryWhileBusyTest,
    ::testing::Values(
        RetryCase{"FailedForGoodAtOnce", {Attempt::Failed}, 0, 1, {}, Attempt::Failed},
        RetryCase{"FreedAfterTwoAttempts",
                  {Attempt::Busy, Attempt::Busy, Attempt::Done},
                  0,
                  3,
                  {true, false},
                  Attempt::Done},
        RetryCase{"BusyThenFailedForGood", {Attempt::Busy, Attempt::Failed}, 0, 2, {true}, Attempt::Failed},
        // Attempts at 0, 100, ... 2000 ms: the one at 2 s is the last.
        RetryCase{"BusyForGood", {Attempt::Busy}, 0, 21, kTwentyWaits, Attempt::Busy},
        // The user closed the window during the second wait.
        RetryCase{"GivenUp", {Attempt::Busy}, 2, 2, {true, false}, Attempt::Busy}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kestrane
