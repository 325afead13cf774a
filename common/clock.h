// Time, as the job reads it: the local calendar time that names upload
// files, and a steady count of milliseconds for time limits.
#pragma once

#include <cstdint>

namespace kestrane {

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
    virtual std::int64_t SteadyMilliseconds() = 0;
};

}  // namespace kestrane
