// The Clock over the computer's own calendar and tick count.
#pragma once

#include "common/clock.h"

namespace kestrane {

class SystemClock final : public Clock {
public:
    LocalTime Now() override;
    std::int64_t SteadyMilliseconds() override;
};

}  // namespace kestrane
