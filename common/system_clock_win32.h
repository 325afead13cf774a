// The Clock over the computer's own calendar and steady clock.
#pragma once

#include "common/clock.h"

namespace kestrane {

class SystemClock final : public Clock {
public:
    LocalTime Now() override;
    SteadyClock::time_point SteadyNow() override { return SteadyClock::now(); }
};

}  // namespace kestrane
