#include "tools/location/check_services.h"

#include "common/local_files_win32.h"
#include "common/program_end_win32.h"
#include "common/system_clock_win32.h"
#include "ftp/wininet_ftp_client_win32.h"
#include "settings/registry_win32.h"

#include <windows.h>

namespace kestrane {
namespace {

// How long the console waits before it looks again at an operation under
// way, as the window's pump waits for its next message.
constexpr DWORD kWaitMs = 20;

bool WaitAMoment()
{
    ::Sleep(kWaitMs);
    return true;
}

}  // namespace

std::optional<CheckServices> KestraneServices()
{
    CheckServices services{ReadSettingsCode, std::make_unique<Win32LocalFiles>(), nullptr,
                           std::make_unique<SystemClock>(), WaitAMoment};
    // The check moves no file, so there is no transfer's progress to show.
    services.client =
        MakeWinInetFtpClient([](const std::optional<Progress>&) { return WaitAMoment(); }, *services.files);
    return services;
}

void EndProgram(int exitStatus)
{
    win32::EndProgram(exitStatus);
}

}  // namespace kestrane
