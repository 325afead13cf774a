// Handheld data for the benchmarks, made up but shaped like a day's scans:
// records of 40 to 80 bytes, fields separated by ";", two or three "~"
// where the location code goes, each record ended by CR LF. The same bytes
// come out on every run, so figures from different runs compare.
#pragma once

#include "common/local_files.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace kestrane::bench {

// An endless stream of records, handed out in pieces of any size.
class RecordStream {
public:
    // The next whole record, CR LF included.
    const std::string& NextRecord();
    // Fills buffer with the next size bytes of the stream, records cut anywhere.
    void Fill(char* buffer, std::size_t size);

private:
    std::uint32_t Random(std::uint32_t below);

    std::string record_;
    std::size_t offset_ = 0;
    std::uint64_t number_ = 0;
    std::uint32_t seed_ = 0x4b455354;
};

// Writes whole records to name until it holds at least size bytes, and
// commits it, so that its writing is over before anything is timed.
// Returns the file's size.
std::uint64_t WriteRecordFile(LocalFiles& files, const std::string& name, std::uint64_t size);

// A fresh, empty folder named prefix-XXXXXX under $TMPDIR (or /tmp), where a
// benchmark works. Throws std::runtime_error when it cannot be made.
std::filesystem::path MakeScratchFolder(const std::string& prefix);

}  // namespace kestrane::bench
