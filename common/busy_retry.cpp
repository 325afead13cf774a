#include "common/busy_retry.h"

#include "common/job_window.h"

namespace kestrane {

Attempt RetryWhileBusy(const std::function<Attempt()>& attempt, const std::function<void(bool first)>& wait,
                       Clock& clock)
{
    const SteadyClock::time_point started = clock.SteadyNow();
    Attempt end = attempt();
    for (bool first = true; end == Attempt::Busy && clock.SteadyNow() - started < kBusyRetryLimit;
         first = false) {
        try {
            wait(first);
        } catch (const WindowClosed&) {
            // The user gave up on the run: the file's own failure is reported.
            break;
        }
        end = attempt();
    }
    return end;
}

}  // namespace kestrane
