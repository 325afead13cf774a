#include "store/run_log.h"

#include <chrono>
#include <cstdio>
#include <string_view>

namespace kestrane {
namespace {

std::string TimeStamp(const LocalTime& time)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month, time.day, time.hour,
                  time.minute, time.second);
    return text;
}

// One entry: the first line after the time stamp, every further line under
// it, blank lines left out, each ended by CR LF.
std::string Entry(const LocalTime& time, std::string_view text)
{
    const std::string stamp = TimeStamp(time) + "  ";
    std::string entry;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty()) {
            continue;
        }
        entry += entry.empty() ? stamp : std::string(stamp.size(), ' ');
        entry.append(line);
        entry += "\r\n";
    }
    return entry;
}

}  // namespace

void FileRunLog::Record(const std::string& text) noexcept
{
    // The log is for support: whatever fails here, the job goes on. A log
    // that cannot be moved aside (another program has the old one open)
    // grows on, rather than lose the record.
    try {
        const std::string entry = Entry(clock_.Now(), text);
        // No log yet (its size cannot be read) is nothing to move aside.
        try {
            if (files_.Size(kRunLogFile) + entry.size() > kRunLogLimitBytes) {
                files_.Rename(kRunLogFile, kOldRunLogFile, true);
            }
        } catch (const FileError&) {
        }
        files_.Append(kRunLogFile, entry);
    } catch (...) {
    }
}

std::string InSeconds(SteadyClock::duration duration)
{
    using Tenths = std::chrono::duration<std::int64_t, std::deci>;
    // To the nearest tenth, a half rounded up.
    const std::int64_t tenths = std::chrono::floor<Tenths>(duration + std::chrono::milliseconds(50)).count();
    return "in " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

std::string TookSince(Clock& clock, SteadyClock::time_point start)
{
    return InSeconds(clock.SteadyNow() - start);
}

}  // namespace kestrane
