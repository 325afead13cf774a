// Kestrane's entry point: read this PC's location settings, then show the
// main window, which runs the transfer job once.

#include "app/main_window_win32.h"
#include "settings/registry_win32.h"

#include <windows.h>

#include <exception>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    using namespace kestrane;
    try {
        // Settings come first: without usable ones the window never shows
        // and nothing touches the handheld.
        SettingsLoad load = LoadLocationSettings(ReadSettingsCode());
        if (!load.settings) {
            ShowProgramMessage(nullptr, load.problem, MessageKind::Warning);
            return kExitFailed;
        }
        Form1 form1(std::move(*load.settings));
        return form1.Run(instance, showCommand);
    } catch (const std::exception& error) {
        ::MessageBoxW(nullptr, win32::Widen(std::string("Kestrane could not start: ") + error.what()).c_str(),
                      kProgramTitle, MB_OK | MB_ICONERROR);
        return kExitFailed;
    }
}
