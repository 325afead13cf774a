#include "bench/staging_data.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <unistd.h>

namespace kestrane::bench {
namespace {

constexpr char kDescriptionCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -/";

std::string Digits(std::uint64_t value, std::size_t width)
{
    std::string digits = std::to_string(value);
    if (digits.size() < width) {
        digits.insert(0, width - digits.size(), '0');
    }
    return digits;
}

}  // namespace

void RecordStream::Fill(char* buffer, std::size_t size)
{
    while (size > 0) {
        if (offset_ == record_.size()) {
            NextRecord();
        }
        const std::size_t piece = std::min(size, record_.size() - offset_);
        std::memcpy(buffer, record_.data() + offset_, piece);
        offset_ += piece;
        buffer += piece;
        size -= piece;
    }
}

// e.g. "000042;SKU-31337;QTY;12;~;CASE 7 BLUE-44;~;STORE;~" and CR LF: 40 to 80 bytes.
const std::string& RecordStream::NextRecord()
{
    ++number_;
    const bool secondCode = Random(4) == 0;
    record_ = Digits(number_ % 1'000'000, 6) + ";SKU-" + Digits(Random(100'000), 5) + ";QTY;"
              + std::to_string(1 + Random(250)) + ";~;";
    const std::size_t fixedTail = (secondCode ? 2 : 0) + std::strlen(";STORE;~\r\n");
    const std::size_t length = 40 + Random(41);
    while (record_.size() + fixedTail < length) {
        record_ += kDescriptionCharacters[Random(sizeof kDescriptionCharacters - 1)];
    }
    if (secondCode) {
        record_ += ";~";
    }
    record_ += ";STORE;~\r\n";
    offset_ = 0;
    return record_;
}

// xorshift32: fast, and the same sequence everywhere.
std::uint32_t RecordStream::Random(std::uint32_t below)
{
    seed_ ^= seed_ << 13;
    seed_ ^= seed_ >> 17;
    seed_ ^= seed_ << 5;
    return seed_ % below;
}

std::uint64_t WriteRecordFile(LocalFiles& files, const std::string& name, std::uint64_t size)
{
    RecordStream records;
    auto output = files.CreateForWriting(name);
    BufferedWriter writer(*output);
    std::uint64_t written = 0;
    while (written < size) {
        const std::string& record = records.NextRecord();
        writer.Write(record);
        written += record.size();
    }
    writer.Commit();
    return written;
}

std::filesystem::path MakeScratchFolder(const std::string& prefix)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a folder from " + pattern);
    }
    return pattern;
}

}  // namespace kestrane::bench
