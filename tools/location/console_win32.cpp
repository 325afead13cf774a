#include "tools/location/console.h"

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
