// The console or terminal that kestrane-location talks to, and the code page
// of the settings it writes. Windows' console and a POSIX terminal differ
// here; the build picks console_win32.cpp or console_posix.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

// A change to the console, undone when it is destroyed.
class ConsoleChange {
public:
    virtual ~ConsoleChange() = default;
};

// Settings are text in the PC's ANSI code page. A Windows console reads and
// shows text in its own (OEM) code page, so letters beyond ASCII typed or
// shown there would not be the settings' own: this switches the console to
// the ANSI code page and returns the change. Where there is no console, and
// on a POSIX terminal, which passes bytes through unchanged, it returns null.
std::unique_ptr<ConsoleChange> UseSettingsCodePage();

// The text in the code page of the settings, as this program takes them from
// its command line: on Windows the PC's ANSI code page, elsewhere
// Windows-1252, the ANSI code page of Western European Windows. Nothing when
// a character has no place in it.
std::optional<std::string> ToSettingsCodePage(std::u32string_view text);

// Whether standard input is a terminal or console (someone types), not a
// pipe or a file.
bool StandardInputIsInteractive();

// Stops the terminal or console of standard input from showing what is
// typed, and returns the change; null when it cannot. A POSIX terminal gets
// its echo back also when a signal ends the program while the change lasts.
std::unique_ptr<ConsoleChange> HideTypedInput();

}  // namespace kestrane
