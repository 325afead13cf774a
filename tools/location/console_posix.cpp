#include "tools/location/console.h"

#include "tools/location/text_encoding.h"

#include <csignal>
#include <cstddef>
#include <iterator>
#include <termios.h>
#include <unistd.h>

namespace kestrane {
namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The terminal's mode before the echo was turned off, for the signal handler.
termios g_modeWithEcho;

extern "C" void RestoreEchoAndEnd(int signalNumber)
{
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_modeWithEcho);
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

class EchoOff final : public ConsoleChange {
public:
    EchoOff()
    {
        struct sigaction action {};
        action.sa_handler = RestoreEchoAndEnd;
        ::sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            ::sigaction(kEndingSignals[i], &action, &previous_[i]);
        }
    }
    ~EchoOff() override
    {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_modeWithEcho);
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            ::sigaction(kEndingSignals[i], &previous_[i], nullptr);
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    struct sigaction previous_[std::size(kEndingSignals)]{};
};

}  // namespace

std::unique_ptr<ConsoleChange> UseSettingsCodePage()
{
    return nullptr;
}

std::optional<std::string> ToSettingsCodePage(std::u32string_view text)
{
    return ToWindows1252(text);
}

bool StandardInputIsInteractive()
{
    return ::isatty(STDIN_FILENO) == 1;
}

std::unique_ptr<ConsoleChange> HideTypedInput()
{
    termios mode{};
    if (::tcgetattr(STDIN_FILENO, &mode) != 0) {
        return nullptr;
    }
    g_modeWithEcho = mode;
    auto change = std::make_unique<EchoOff>();
    mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) {
        return nullptr;
    }
    return change;
}

}  // namespace kestrane
