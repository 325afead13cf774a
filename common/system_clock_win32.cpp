#include "common/system_clock_win32.h"

#include <windows.h>

namespace kestrane {

LocalTime SystemClock::Now()
{
    SYSTEMTIME time{};
    ::GetLocalTime(&time);
    return {time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond};
}

std::int64_t SystemClock::SteadyMilliseconds()
{
    return static_cast<std::int64_t>(::GetTickCount64());
}

}  // namespace kestrane
