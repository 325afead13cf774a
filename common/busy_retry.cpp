#include "common/busy_retry.h"

namespace kestrane {

Attempt RetryWhileBusy(const std::function<Attempt()>& attempt, const std::function<bool(bool first)>& wait,
                       const std::function<std::chrono::steady_clock::time_point()>& now)
{
    const auto started = now();
    Attempt end = attempt();
    for (bool first = true; end == Attempt::Busy && now() - started < kBusyRetryLimit; first = false) {
        if (!wait(first)) {
            break;
        }
        end = attempt();
    }
    return end;
}

}  // namespace kestrane
