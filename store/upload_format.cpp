#include "store/upload_format.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace kestrane {
namespace {

constexpr const char* kHeaderStart = "UH";
constexpr const char* kEndLine = "<<EOF:>>";

std::string TwoDigits(int value)
{
    // Built by inserting: g++ 12 warns (wrongly) that "0" + std::to_string() may overlap.
    std::string digits = std::to_string(value);
    if (digits.size() < 2) {
        digits.insert(digits.begin(), '0');
    }
    return digits;
}

}  // namespace

std::string UploadFileName(const LocalTime& time, std::string_view locationCode)
{
    return TwoDigits(time.year % 100) + TwoDigits(time.month) + TwoDigits(time.day) + TwoDigits(time.hour)
           + TwoDigits(time.minute) + std::string(locationCode) + kUploadExtension;
}

std::optional<std::string> NextMinuteUploadName(const std::string& name)
{
    constexpr std::size_t kStampDigits = 10;  // YYMMDDhhmm
    if (name.size() < kStampDigits || !std::all_of(name.begin(), name.begin() + kStampDigits, [](char c) {
            return c >= '0' && c <= '9';
        })) {
        return std::nullopt;
    }
    const auto field = [&name](std::size_t at) {
        return static_cast<unsigned>(std::stoi(name.substr(at, 2)));
    };
    using namespace std::chrono;
    const year_month_day date{year{2000 + static_cast<int>(field(0))}, month{field(2)}, day{field(4)}};
    if (!date.ok() || field(6) > 23 || field(8) > 59) {
        return std::nullopt;
    }
    // The calendar carries a minute over into the hour, day, month and year.
    const sys_time<minutes> later = sys_days{date} + hours{field(6)} + minutes{field(8) + 1};
    const sys_days laterDay = floor<days>(later);
    const year_month_day laterDate{laterDay};
    const hh_mm_ss laterTime{later - laterDay};
    const LocalTime next{static_cast<int>(laterDate.year()), static_cast<int>(unsigned{laterDate.month()}),
                         static_cast<int>(unsigned{laterDate.day()}),
                         static_cast<int>(laterTime.hours().count()),
                         static_cast<int>(laterTime.minutes().count())};
    return UploadFileName(next, "").substr(0, kStampDigits) + name.substr(kStampDigits);
}

std::string UploadHeaderLine(const std::string& name, std::uint64_t lines)
{
    std::string count = std::to_string(lines);
    if (count.size() < 4) {
        count.insert(0, 4 - count.size(), '0');
    }
    return kHeaderStart + name + count + std::string(kUploadLineEnd);
}

void UploadLineWriter::Text(std::string_view text)
{
    while (!text.empty()) {
        const void* tilde = std::memchr(text.data(), '~', text.size());
        if (tilde == nullptr) {
            output_.Write(text);
            return;
        }
        const auto before = static_cast<std::size_t>(static_cast<const char*>(tilde) - text.data());
        output_.Write(text.substr(0, before));
        output_.Write(locationCode_);
        text.remove_prefix(before + 1);
    }
}

void WriteUploadEndLine(BufferedWriter& output)
{
    output.Write(kEndLine);
    output.Write(kUploadLineEnd);
}

std::uint64_t RewriteHeaderNaming(InputFile& input, BufferedWriter& output, const std::string& from,
                                  const std::string& to)
{
    const std::string oldStart = kHeaderStart + from;
    // The header: "UH", the name, a count of at most ten digits, CR LF.
    const std::size_t longestHeader = oldStart.size() + 10 + kUploadLineEnd.size();
    std::string head;
    std::string buffer(longestHeader, '\0');
    while (head.find(kUploadLineEnd) == std::string::npos && head.size() < longestHeader) {
        const std::size_t got = input.Read(buffer.data(), buffer.size());
        if (got == 0) {
            break;
        }
        head.append(buffer.data(), got);
    }
    if (!head.starts_with(oldStart) || head.find(kUploadLineEnd) == std::string::npos) {
        throw std::runtime_error("the upload file " + from + " does not begin with its own header line");
    }
    output.Write(kHeaderStart + to);
    output.Write(std::string_view(head).substr(oldStart.size()));
    return head.size();
}

}  // namespace kestrane
