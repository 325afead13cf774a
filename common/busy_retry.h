// Files that another program holds for a moment. On Windows, antivirus
// scanners, indexers and backup agents open new files briefly; an open, a
// rename or a delete then fails as if the file were locked or forbidden.
// Such an attempt is made again, for a bounded time, before it counts as
// failed.
#pragma once

#include "common/clock.h"

#include <chrono>
#include <functional>

namespace kestrane {

// How long an operation on a busy file is tried again, from its first attempt.
inline constexpr std::chrono::milliseconds kBusyRetryLimit{2000};
// How long a wait with no window to answer pauses between two attempts.
inline constexpr std::chrono::milliseconds kBusyPause{100};

// How one attempt of a file operation ended.
enum class Attempt {
    Done,
    Busy,    // another program holds the file: worth another attempt
    Failed,  // for good
};

// Makes attempts until one is done or fails for good, or until the
// operation has been busy for kBusyRetryLimit on clock. Between two attempts
// it calls wait(first), which pauses a little; first is true before the
// second attempt. A wait that throws WindowClosed ends the attempts at once.
// Returns how the last attempt ended.
Attempt RetryWhileBusy(const std::function<Attempt()>& attempt, const std::function<void(bool first)>& wait,
                       Clock& clock);

}  // namespace kestrane
