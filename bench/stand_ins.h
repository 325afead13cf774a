// The job's services that the benchmarks need but do not measure.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "settings/location_settings.h"

#include <string>

namespace kestrane::bench {

// A four-character location code, as locations have.
inline const LocationSettings kBenchSettings{"0042", "127.0.0.1", "user", "secret", ""};

// Always the same minute: every build names its upload file alike, so each
// must be removed before the next.
class FixedClock final : public Clock {
public:
    LocalTime Now() override { return {2001, 11, 9, 5, 7}; }
    SteadyClock::time_point SteadyNow() override { return {}; }
};

class QuietWindow final : public JobWindow {
public:
    void LogLine(const std::string&) override {}
    void ShowMessage(const std::string&, MessageKind) override {}
    void PumpMessages() override {}
    void ReportProgress(const Progress&) override {}
    void MovingData(bool) noexcept override {}
};

}  // namespace kestrane::bench
