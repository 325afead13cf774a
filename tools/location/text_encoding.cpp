#include "tools/location/text_encoding.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

namespace kestrane {
namespace {

// Windows-1252's bytes 0x80 to 0x9F, where it differs from ISO 8859-1; 0 where
// the byte stands for no character.
constexpr std::array<char32_t, 32> kWindows1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

bool IsContinuation(std::uint8_t byte)
{
    return (byte & 0xC0) == 0x80;
}

// The number of bytes of the character that byte starts, and its bits in that
// byte; 0 bytes for one that starts none.
std::pair<std::size_t, char32_t> LeadByte(std::uint8_t byte)
{
    if (byte < 0x80) {
        return {1, byte};
    }
    if ((byte & 0xE0) == 0xC0) {
        return {2, byte & 0x1Fu};
    }
    if ((byte & 0xF0) == 0xE0) {
        return {3, byte & 0x0Fu};
    }
    if ((byte & 0xF8) == 0xF0) {
        return {4, byte & 0x07u};
    }
    return {0, 0};
}

}  // namespace

void AppendUtf8(std::string& text, char32_t c)
{
    if (c < 0x80) {
        text.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        text.push_back(static_cast<char>(0xC0 | (c >> 6)));
        text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        text.push_back(static_cast<char>(0xE0 | (c >> 12)));
        text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        text.push_back(static_cast<char>(0xF0 | (c >> 18)));
        text.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::optional<std::u32string> DecodeUtf8(std::string_view text)
{
    // The smallest character that needs each length: anything below was
    // written longer than it needs.
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    std::u32string characters;
    characters.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        auto [length, c] = LeadByte(static_cast<std::uint8_t>(text[i]));
        if (length == 0 || i + length > text.size()) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto byte = static_cast<std::uint8_t>(text[i + k]);
            if (!IsContinuation(byte)) {
                return std::nullopt;
            }
            c = c << 6 | (byte & 0x3Fu);
        }
        if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
            return std::nullopt;
        }
        characters.push_back(c);
        i += length;
    }
    return characters;
}

std::optional<std::string> ToWindows1252(std::u32string_view text)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (const char32_t c : text) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            bytes.push_back(static_cast<char>(c));
            continue;
        }
        const auto high = std::find(kWindows1252High.begin(), kWindows1252High.end(), c);
        if (high == kWindows1252High.end()) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(0x80 + std::distance(kWindows1252High.begin(), high)));
    }
    return bytes;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&lower](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace kestrane
