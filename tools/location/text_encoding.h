// Text as kestrane-location meets it: UTF-8 in files made on other PCs (a CSV
// file, a registry file that regedit exported), and single-byte text in a
// Windows code page in the settings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

// Appends c to text as UTF-8.
void AppendUtf8(std::string& text, char32_t c);

// The characters of UTF-8 text; nothing when it is not UTF-8: a byte that
// starts no character, a character cut short or written with more bytes than
// it needs, a surrogate, or a value beyond U+10FFFF.
std::optional<std::u32string> DecodeUtf8(std::string_view text);

// The text in Windows-1252, the ANSI code page of Western European Windows;
// nothing when a character has no place in it (C1 control characters
// included).
std::optional<std::string> ToWindows1252(std::u32string_view text);

// Whether a and b are the same once ASCII capitals are taken as small letters.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace kestrane
