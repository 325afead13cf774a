#include "store/upload_format.h"

#include <algorithm>
#include <bit>
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

using Word = std::size_t;

// The most bytes that one converted slice takes in the writer's block, a
// quarter of its usual size.
constexpr std::size_t kMostSliceBytes = 64 * 1024;

// Copies the bytes from `from` up to the first CR or "~" (or end) to out and
// returns how many it copied. Runs between them average some 15 bytes, too
// short for a memchr and a memcpy per run to pay, so a word of bytes is
// looked at and stored at once; a word that holds a mark is stored whole
// too, so out needs the room of a word beyond the run.
//
// A byte equal to c is a zero byte of word ^ (c in every byte), and
// (x - 0x01..01) & ~x & 0x80..80 marks zero bytes. A borrow can also mark a
// byte above a zero byte, never one below, so the lowest mark is always a
// true one.
std::size_t CopyUpToLineEndOrTilde(const char* from, const char* end, char* out)
{
    static_assert(std::endian::native == std::endian::little, "the lowest byte of a word comes first");
    constexpr Word kOnes = ~Word{0} / 0xFF;
    constexpr Word kHighBits = kOnes * 0x80;
    const auto marks = [](Word word, char c) {
        const Word x = word ^ (kOnes * static_cast<unsigned char>(c));
        return (x - kOnes) & ~x & kHighBits;
    };
    const auto size = static_cast<std::size_t>(end - from);
    std::size_t copied = 0;
    for (; size - copied >= sizeof(Word); copied += sizeof(Word)) {
        Word word;
        std::memcpy(&word, from + copied, sizeof word);
        std::memcpy(out + copied, &word, sizeof word);
        const Word found = marks(word, '\r') | marks(word, '~');
        if (found != 0) {
            return copied + static_cast<std::size_t>(std::countr_zero(found)) / 8;
        }
    }
    for (; copied < size && from[copied] != '\r' && from[copied] != '~'; ++copied) {
        out[copied] = from[copied];
    }
    return copied;
}

// Counts the CRs in blocks short enough for a one-byte tally: a loop that g++
// and clang turn into vector compares, twice as fast as one memchr per line,
// where std::count over the whole text is not vectorised by g++ 12 at -O2.
std::uint64_t CountLineEnds(std::string_view text)
{
    constexpr std::size_t kBlock = 128;
    std::uint64_t count = 0;
    while (text.size() >= kBlock) {
        std::uint8_t inBlock = 0;
        for (std::size_t i = 0; i < kBlock; ++i) {
            inBlock = static_cast<std::uint8_t>(inBlock + (text[i] == '\r'));
        }
        count += inBlock;
        text.remove_prefix(kBlock);
    }
    return count + static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\r'));
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

UploadLineConverter::UploadLineConverter(BufferedWriter& output, std::string_view locationCode) :
    output_(output),
    locationCode_(locationCode),
    growth_(std::max(kUploadLineEnd.size(), locationCode.size()))
{
    std::memcpy(&locationCodeWord_, locationCode.data(), std::min(locationCode.size(), sizeof(Word)));
}

void UploadLineConverter::Feed(std::string_view staging)
{
    // Slices whose converted bytes surely fit the room asked for.
    const std::size_t sliceBytes = std::max<std::size_t>(1, kMostSliceBytes / growth_);
    while (!staging.empty()) {
        const std::string_view slice = staging.substr(0, sliceBytes);
        staging.remove_prefix(slice.size());
        char* const start = output_.Room(slice.size() * growth_ + sizeof(Word));
        output_.Added(static_cast<std::size_t>(ConvertSlice(slice, start) - start));
    }
}

void UploadLineConverter::Finish()
{
    if (lineOpen_) {
        output_.Write(kUploadLineEnd);
        lineOpen_ = false;
    }
}

// A code that fits in a word, as they all do in practice, takes one store:
// the room of a word beyond the slice's bytes is there anyway.
char* UploadLineConverter::PutLocationCode(char* out) const
{
    if (locationCode_.size() <= sizeof(Word)) {
        std::memcpy(out, &locationCodeWord_, sizeof(Word));
        return out + locationCode_.size();
    }
    return std::copy(locationCode_.begin(), locationCode_.end(), out);
}

// Writes the slice converted to out; returns the end of what it wrote.
char* UploadLineConverter::ConvertSlice(std::string_view slice, char* out)
{
    const char* at = slice.data();
    const char* const end = at + slice.size();
    if (afterCarriageReturn_ && *at == '\n') {
        ++at;  // the end of the line before this slice
    }
    afterCarriageReturn_ = false;
    while (at < end) {
        const std::size_t run = CopyUpToLineEndOrTilde(at, end, out);
        at += run;
        out += run;
        lineOpen_ = lineOpen_ || run > 0;
        if (at == end) {
            break;
        }
        if (*at++ == '~') {
            out = PutLocationCode(out);
            lineOpen_ = true;
            continue;
        }
        out = std::copy(kUploadLineEnd.begin(), kUploadLineEnd.end(), out);
        lineOpen_ = false;
        if (at == end) {
            afterCarriageReturn_ = true;
            break;
        }
        if (*at == '\n') {
            ++at;
        }
    }
    return out;
}

void LineCounter::Feed(std::string_view staging)
{
    if (staging.empty()) {
        return;
    }
    const auto lastEnd = staging.rfind('\r');
    if (lastEnd == std::string_view::npos) {
        if (afterCarriageReturn_ && staging.front() == '\n') {
            staging.remove_prefix(1);
        }
        lineOpen_ = lineOpen_ || !staging.empty();
        afterCarriageReturn_ = false;
        return;
    }
    lineEnds_ += CountLineEnds(staging.substr(0, lastEnd + 1));
    const std::string_view rest = staging.substr(lastEnd + 1);
    lineOpen_ = !(rest.empty() || rest == "\n");
    afterCarriageReturn_ = rest.empty();
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
