// The upload file's format, which the host imports: the build writes it, and
// the sending rewrites its header when the file must take another name.
//
// An upload file is named from the date, time and location code, e.g.
// 01110905070042.TXT. It holds a "UH" header line that names the file and
// counts its data lines, every staging line with each "~" replaced by the
// location code, and a "<<EOF:>>" line, each ended by CR LF.
#pragma once

#include "common/clock.h"
#include "common/local_files.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

inline constexpr const char* kUploadExtension = ".TXT";
inline constexpr std::string_view kUploadLineEnd = "\r\n";

// YYMMDDhhmm, the location code and ".TXT".
std::string UploadFileName(const LocalTime& time, std::string_view locationCode);

// The name of an upload file built a minute after `name`, or nothing when
// `name` does not begin with YYMMDDhhmm.
std::optional<std::string> NextMinuteUploadName(const std::string& name);

// An upload file's first line names it: "UH", the name, and the number of
// data lines with at least four digits.
std::string UploadHeaderLine(const std::string& name, std::uint64_t lines);

// Staging data is made of lines: a CR ends a line, and an LF right after it
// belongs to that line end; any other LF is an ordinary character. A last
// line without a line end still counts as a line; nothing after the last
// line end does. UploadLineConverter and LineCounter take the data in chunks
// of any size and follow these rules alike, so that the header's count is
// the number of lines written.

// Writes staging data as upload lines: every "~" replaced by the location
// code in one left-to-right pass (the code itself is never rescanned), and
// each line ended by CR LF. The lines are written straight into the
// writer's block, a slice of the data at a time.
class UploadLineConverter {
public:
    UploadLineConverter(BufferedWriter& output, std::string_view locationCode);
    void Feed(std::string_view staging);
    // Ends a last line that had no line end.
    void Finish();

private:
    char* ConvertSlice(std::string_view slice, char* out);
    char* PutLocationCode(char* out) const;

    BufferedWriter& output_;
    std::string_view locationCode_;
    // The most bytes that one staging byte becomes: the code or CR LF.
    std::size_t growth_;
    // The code's first bytes, as many as a word holds.
    std::size_t locationCodeWord_ = 0;
    bool lineOpen_ = false;
    bool afterCarriageReturn_ = false;
};

// Counts the lines of staging data without converting it: every CR ends
// exactly one line, and anything after the last CR but the LF that belongs
// to it is one more. The upload build reads the whole staging file once
// just to count before it writes, so this pass is kept cheap.
class LineCounter {
public:
    void Feed(std::string_view staging);
    std::uint64_t Lines() const { return lineEnds_ + (lineOpen_ ? 1 : 0); }

private:
    std::uint64_t lineEnds_ = 0;
    bool lineOpen_ = false;
    bool afterCarriageReturn_ = false;
};

// Writes the "<<EOF:>>" line that ends every upload file.
void WriteUploadEndLine(BufferedWriter& output);

// Reads the header line of the upload file `from` off the start of input and
// writes it to output naming `to` instead, followed by whatever more it read.
// Returns how many bytes it read. Throws std::runtime_error when input does
// not begin with the header line of `from`.
std::uint64_t RewriteHeaderNaming(InputFile& input, BufferedWriter& output, const std::string& from,
                                  const std::string& to);

}  // namespace kestrane
