// The run log: what each run did, for support, who are phoned the next
// morning and cannot see the window. Every run appends to kestrane.log in the
// working folder. The log never holds the password.
#pragma once

#include "common/clock.h"
#include "common/local_files.h"

#include <cstdint>
#include <string>

namespace kestrane {

inline constexpr const char* kRunLogFile = "kestrane.log";
// Where the log goes once it has grown past kRunLogLimitBytes, replacing the
// one before: the two files together hold the latest runs.
inline constexpr const char* kOldRunLogFile = "kestrane.log.1";
inline constexpr std::uint64_t kRunLogLimitBytes = 1024 * 1024;

class RunLog {
public:
    virtual ~RunLog() = default;
    // Adds text to the log, stamped with the time; text may hold several
    // lines, separated by CR LF. A log that cannot be written never stops
    // the job: the text is then lost, and nothing is thrown.
    virtual void Record(const std::string& text) noexcept = 0;
};

// The run log in kRunLogFile. Each record is written at once, with no
// buffering in the program, so that a crash keeps every record before it.
class FileRunLog final : public RunLog {
public:
    FileRunLog(LocalFiles& files, Clock& clock) : files_(files), clock_(clock) {}

    void Record(const std::string& text) noexcept override;

private:
    LocalFiles& files_;
    Clock& clock_;
};

// "in 1.2 s": a duration, to the nearest tenth of a second.
std::string InSeconds(SteadyClock::duration duration);

// "in 1.2 s": how long a step took, from a start on the steady clock.
std::string TookSince(Clock& clock, SteadyClock::time_point start);

}  // namespace kestrane
