#include "tools/location/console.h"

#include "tools/location/text_encoding.h"

#include <climits>
#include <windows.h>

namespace kestrane {
namespace {

// Gives the console back the code pages it had; 0 marks one left unchanged.
class CodePagesBack final : public ConsoleChange {
public:
    CodePagesBack(UINT input, UINT output) : input_(input), output_(output) {}
    ~CodePagesBack() override
    {
        // Nothing more can be done at exit should the console refuse.
        if (input_ != 0) {
            static_cast<void>(::SetConsoleCP(input_));
        }
        if (output_ != 0) {
            static_cast<void>(::SetConsoleOutputCP(output_));
        }
    }
    CodePagesBack(const CodePagesBack&) = delete;
    CodePagesBack& operator=(const CodePagesBack&) = delete;

private:
    UINT input_;
    UINT output_;
};

class ConsoleModeBack final : public ConsoleChange {
public:
    ConsoleModeBack(HANDLE console, DWORD mode) : console_(console), mode_(mode) {}
    ~ConsoleModeBack() override { static_cast<void>(::SetConsoleMode(console_, mode_)); }
    ConsoleModeBack(const ConsoleModeBack&) = delete;
    ConsoleModeBack& operator=(const ConsoleModeBack&) = delete;

private:
    HANDLE console_;  // the process's standard input, which it does not own
    DWORD mode_;
};

// The console's code page as it was, once it is switched to codePage; 0 when
// there is no console, it already uses codePage, or it refuses.
template <typename Get, typename Set> UINT Switch(Get get, Set set, UINT codePage)
{
    const UINT old = get();
    return old != 0 && old != codePage && set(codePage) ? old : 0;
}

bool ConsoleInput(HANDLE& console, DWORD& mode)
{
    console = ::GetStdHandle(STD_INPUT_HANDLE);
    return console != INVALID_HANDLE_VALUE && console != nullptr && ::GetConsoleMode(console, &mode);
}

}  // namespace

std::unique_ptr<ConsoleChange> UseSettingsCodePage()
{
    const UINT ansi = ::GetACP();
    const UINT input = Switch(::GetConsoleCP, ::SetConsoleCP, ansi);
    const UINT output = Switch(::GetConsoleOutputCP, ::SetConsoleOutputCP, ansi);
    if (input == 0 && output == 0) {
        return nullptr;
    }
    return std::make_unique<CodePagesBack>(input, output);
}

std::optional<std::string> ToSettingsCodePage(std::u32string_view text)
{
    // A PC whose ANSI code page is UTF-8 stores every character, and Windows
    // would not say whether one was lost.
    if (::GetACP() == CP_UTF8) {
        std::string utf8;
        for (const char32_t c : text) {
            AppendUtf8(utf8, c);
        }
        return utf8;
    }
    std::wstring utf16;
    for (const char32_t c : text) {
        if (c < 0x10000) {
            utf16.push_back(static_cast<wchar_t>(c));
        } else {
            utf16.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
            utf16.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    }
    if (utf16.empty()) {
        return std::string();
    }
    if (utf16.size() > INT_MAX) {
        return std::nullopt;
    }
    // Without best fit, a character the code page lacks is lost rather than
    // stored as a look-alike (an "a" for an "ā"): a password must be the same.
    const int length = static_cast<int>(utf16.size());
    BOOL lost = FALSE;
    const int size =
        ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, utf16.data(), length, nullptr, 0, nullptr, &lost);
    if (size <= 0 || lost) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, utf16.data(), length, bytes.data(), size, nullptr,
                              nullptr)
        != size) {
        return std::nullopt;
    }
    return bytes;
}

bool StandardInputIsInteractive()
{
    HANDLE console = nullptr;
    DWORD mode = 0;
    return ConsoleInput(console, mode);
}

std::unique_ptr<ConsoleChange> HideTypedInput()
{
    HANDLE console = nullptr;
    DWORD mode = 0;
    if (!ConsoleInput(console, mode) || !::SetConsoleMode(console, mode & ~DWORD{ENABLE_ECHO_INPUT})) {
        return nullptr;
    }
    return std::make_unique<ConsoleModeBack>(console, mode);
}

}  // namespace kestrane
