#include "common/system_clock_win32.h"

#include <windows.h>

namespace kestrane {

LocalTime SystemClock::Now()
{
    SYSTEMTIME time{};
    ::GetLocalTime(&time);
    return {time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond};
}

}  // namespace kestrane
