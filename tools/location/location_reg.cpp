#include "tools/location/location_reg.h"

#include "settings/location_settings.h"
#include "tools/location/text_encoding.h"

#include <cstdint>
#include <optional>

namespace kestrane {
namespace {

constexpr std::string_view kRegedit4Header = "REGEDIT4";
constexpr std::string_view kVersion5Header = "Windows Registry Editor Version 5.00";
constexpr std::string_view kWhitespace = " \t";

std::string SettingsKeyName()
{
    return std::string("HKEY_LOCAL_MACHINE\\") + kSettingsKeyPath;
}

// UTF-16LE as UTF-8, so that the lines can be read like those of a REGEDIT4
// file. A surrogate without its partner becomes U+FFFD; an odd last byte is
// dropped.
std::string Utf16LeToUtf8(std::string_view bytes)
{
    auto unitAt = [&bytes](std::size_t i) {
        return static_cast<char32_t>(static_cast<std::uint8_t>(bytes[i])
                                     | static_cast<std::uint8_t>(bytes[i + 1]) << 8);
    };
    std::string text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char32_t c = unitAt(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            const char32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(text, c >= 0xD800 && c < 0xE000 ? char32_t{0xFFFD} : c);
    }
    return text;
}

// The file as lines of bytes: a UTF-16LE file (byte order mark FF FE) is
// turned into UTF-8, a UTF-8 byte order mark is dropped, and any other file
// is taken as it is (a REGEDIT4 file is in the ANSI code page).
std::string FileText(std::string_view bytes)
{
    if (bytes.starts_with("\xFF\xFE")) {
        return Utf16LeToUtf8(bytes.substr(2));
    }
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    }
    return std::string(bytes);
}

std::string_view TrimLeft(std::string_view text)
{
    const auto start = text.find_first_not_of(kWhitespace);
    return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

std::string_view TrimRight(std::string_view text)
{
    const auto end = text.find_last_not_of(kWhitespace);
    return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

// Reads the quoted string that starts at text[0], in which \\ and \" stand
// for \ and ", and leaves in text what follows its closing quote. Returns
// nothing when the closing quote is missing.
std::optional<std::string> TakeQuoted(std::string_view& text)
{
    std::string value;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            text.remove_prefix(i + 1);
            return value;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            ++i;
            value.push_back(text[i]);
        } else {
            value.push_back(c);
        }
    }
    return std::nullopt;
}

// Whether a "[-key]" line for keyName removes the settings key: it names the
// settings key itself or a key above it.
bool RemovesSettingsKey(std::string_view keyName, std::string_view settingsKey)
{
    return settingsKey.size() >= keyName.size()
           && EqualsIgnoringCase(settingsKey.substr(0, keyName.size()), keyName)
           && (settingsKey.size() == keyName.size() || settingsKey[keyName.size()] == '\\');
}

std::string LineError(std::size_t lineNumber, const std::string& problem)
{
    return "line " + std::to_string(lineNumber) + ": " + problem;
}

// What the lines read so far leave in the registry, as regedit takes them.
struct ImportState {
    std::optional<std::string> code;
    bool removed = false;        // a line removed the settings code
    bool inSettingsKey = false;  // value lines now go to the settings key
};

// A "[key]" line opens the key that the value lines after it go to; a
// "[-key]" line removes a key, and the settings code with the settings key.
void ReadKeyLine(std::string_view line, std::string_view settingsKey, ImportState& state)
{
    const auto close = line.rfind(']');
    std::string_view keyName =
        close == std::string_view::npos ? std::string_view() : line.substr(1, close - 1);
    if (keyName.starts_with('-')) {
        keyName.remove_prefix(1);
        if (!keyName.empty() && RemovesSettingsKey(keyName, settingsKey)) {
            state.code.reset();
            state.removed = true;
        }
        state.inSettingsKey = false;
    } else {
        state.inSettingsKey = EqualsIgnoringCase(keyName, settingsKey);
    }
}

// A value line of the settings key: "REGCODE"="..." sets the settings code
// and "REGCODE"=- removes it; other values are skipped.
void ReadValueLine(std::string_view line, std::size_t lineNumber, ImportState& state)
{
    std::string_view rest = line;
    const std::optional<std::string> name = TakeQuoted(rest);
    if (!name || !EqualsIgnoringCase(*name, kSettingsValueName)) {
        return;
    }
    rest = TrimLeft(rest);
    if (!rest.starts_with('=')) {
        throw RegFileError(LineError(lineNumber, "the REGCODE line has no \"=\" after the name"));
    }
    rest = TrimLeft(rest.substr(1));
    if (rest.starts_with('-')) {
        state.code.reset();
        state.removed = true;
        rest.remove_prefix(1);
    } else if (rest.starts_with('"')) {
        state.code = TakeQuoted(rest);
        if (!state.code) {
            throw RegFileError(LineError(lineNumber, "the REGCODE value has no closing quote"));
        }
    } else {
        throw RegFileError(LineError(lineNumber, "REGCODE is not stored as text; it must look like "
                                                 "\"REGCODE\"=\"...\""));
    }
    rest = TrimLeft(rest);
    if (!rest.empty() && !rest.starts_with(';')) {
        throw RegFileError(LineError(lineNumber, "there is more text after the REGCODE value"));
    }
}

}  // namespace

std::string FormatLocationReg(std::string_view settingsCode)
{
    std::string text = std::string(kRegedit4Header) + "\r\n\r\n[" + SettingsKeyName() + "]\r\n\""
                       + kSettingsValueName + "\"=\"";
    for (char c : settingsCode) {
        if (c == '\\' || c == '"') {
            text.push_back('\\');
        }
        text.push_back(c);
    }
    text += "\"\r\n\r\n";
    return text;
}

std::string ReadSettingsCodeFromReg(std::string_view fileBytes)
{
    const std::string text = FileText(fileBytes);
    const std::string settingsKey = SettingsKeyName();

    ImportState state;
    std::size_t lineNumber = 0;
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        auto lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = text.size();
        }
        std::string_view line(text.data() + lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        ++lineNumber;
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        line = TrimRight(TrimLeft(line));

        if (lineNumber == 1) {
            if (line != kRegedit4Header && line != kVersion5Header) {
                throw RegFileError("it is not a registry file: its first line is not \"REGEDIT4\" or \""
                                   + std::string(kVersion5Header) + "\"");
            }
        } else if (line.starts_with('[')) {
            ReadKeyLine(line, settingsKey, state);
        } else if (state.inSettingsKey && line.starts_with('"')) {
            ReadValueLine(line, lineNumber, state);
        }
        // Any other line is a comment, a blank line, a value of another key,
        // the default value or a hex continuation.
    }

    if (lineNumber == 0) {
        throw RegFileError("the file is empty");
    }
    if (!state.code) {
        throw RegFileError(std::string(state.removed
                                           ? "it removes the location settings instead of setting them"
                                           : "it does not set the location settings")
                           + " (the value \"REGCODE\" under [" + settingsKey + "])");
    }
    return *state.code;
}

}  // namespace kestrane
