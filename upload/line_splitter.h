// Splits staging data, fed in chunks of any size, into lines.
//
// A CR ends a line, and an LF right after it belongs to that line end; any
// other LF is an ordinary character. A last line without a line end still
// counts as a line; nothing after the last line end does.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace kestrane {

// Handler needs Text(std::string_view) for a piece of a line's content
// (a line may arrive in several pieces) and LineEnd() after each line.
template <typename Handler> class LineSplitter {
public:
    explicit LineSplitter(Handler& handler) : handler_(handler) {}

    void Feed(std::string_view chunk)
    {
        while (!chunk.empty()) {
            if (afterCarriageReturn_) {
                afterCarriageReturn_ = false;
                if (chunk.front() == '\n') {
                    chunk.remove_prefix(1);
                    continue;
                }
            }
            const void* cr = std::memchr(chunk.data(), '\r', chunk.size());
            const std::size_t length =
                cr == nullptr ? chunk.size()
                              : static_cast<std::size_t>(static_cast<const char*>(cr) - chunk.data());
            if (length > 0) {
                handler_.Text(chunk.substr(0, length));
                lineOpen_ = true;
            }
            if (cr == nullptr) {
                return;
            }
            EndLine();
            afterCarriageReturn_ = true;
            chunk.remove_prefix(length + 1);
        }
    }

    // Ends a last line that had no line end.
    void Finish()
    {
        if (lineOpen_) {
            EndLine();
        }
    }

private:
    void EndLine()
    {
        handler_.LineEnd();
        lineOpen_ = false;
    }

    Handler& handler_;
    bool lineOpen_ = false;
    bool afterCarriageReturn_ = false;
};

// Counts the lines of data fed in chunks, by the same rules, without
// splitting it: every CR ends exactly one line, and anything after the last
// CR but the LF that belongs to it is one more. Counting CRs is far cheaper
// than splitting, and the upload build reads the whole file once just to
// count before it writes.
class LineCounter {
public:
    void Feed(std::string_view chunk)
    {
        if (chunk.empty()) {
            return;
        }
        const auto lastEnd = chunk.rfind('\r');
        if (lastEnd == std::string_view::npos) {
            if (afterCarriageReturn_ && chunk.front() == '\n') {
                chunk.remove_prefix(1);
            }
            lineOpen_ = lineOpen_ || !chunk.empty();
            afterCarriageReturn_ = false;
            return;
        }
        for (const char* at = chunk.data(); at <= chunk.data() + lastEnd; ++at) {
            at = static_cast<const char*>(std::memchr(at, '\r', lastEnd + 1 - (at - chunk.data())));
            ++lineEnds_;
        }
        const std::string_view rest = chunk.substr(lastEnd + 1);
        lineOpen_ = !(rest.empty() || rest == "\n");
        afterCarriageReturn_ = rest.empty();
    }

    std::uint64_t Lines() const { return lineEnds_ + (lineOpen_ ? 1 : 0); }

private:
    std::uint64_t lineEnds_ = 0;
    bool lineOpen_ = false;
    bool afterCarriageReturn_ = false;
};

}  // namespace kestrane
