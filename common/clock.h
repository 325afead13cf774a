// Time, as the job reads it: the local calendar time that names upload
// files, and the steady time that measures durations and time limits.
#pragma once

#include <chrono>

namespace kestrane {

// The one steady clock: every duration and time limit is measured on it, in
// std::chrono units.
using SteadyClock = std::chrono::steady_clock;

struct LocalTime {
    int year = 0;    // four digits, e.g. 2001
    int month = 0;   // 1 to 12
    int day = 0;     // 1 to 31
    int hour = 0;    // 0 to 23
    int minute = 0;  // 0 to 59
    int second = 0;  // 0 to 59
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime Now() = 0;
    // SteadyClock's time, which only moves forward; tests move their own.
    virtual SteadyClock::time_point SteadyNow() = 0;
};

}  // namespace kestrane
