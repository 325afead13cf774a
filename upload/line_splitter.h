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
template <typename Handler>
class LineSplitter {
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
                cr == nullptr ? chunk.size() : static_cast<std::size_t>(static_cast<const char*>(cr) - chunk.data());
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

    std::uint64_t Lines() const { return lines_; }

private:
    void EndLine()
    {
        handler_.LineEnd();
        ++lines_;
        lineOpen_ = false;
    }

    Handler& handler_;
    std::uint64_t lines_ = 0;
    bool lineOpen_ = false;
    bool afterCarriageReturn_ = false;
};

}  // namespace kestrane
