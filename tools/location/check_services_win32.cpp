#include "tools/location/check_services.h"

#include "common/local_files_win32.h"
#include "common/program_end_win32.h"
#include "common/system_clock_win32.h"
#include "ftp/ftp_client_choice_win32.h"
#include "settings/registry_win32.h"

#include <windows.h>

namespace kestrane {
namespace {

// A console's stand-in for a window's pump: it has no messages to handle,
// so it waits a moment before the caller looks again at what it waits for.
class ConsolePump final : public MessagePump {
public:
    void PumpMessages() override { ::Sleep(kWaitMs); }
    // The check moves no file, so there is no transfer's progress to show.
    void ReportProgress(const Progress&) override {}

private:
    static constexpr DWORD kWaitMs = 20;
};

}  // namespace

std::optional<CheckServices> KestraneServices()
{
    CheckServices services{ReadSettingsCode, std::make_unique<ConsolePump>(),
                           std::make_unique<Win32LocalFiles>(), std::make_unique<SystemClock>(), nullptr};
    services.makeClient = [pump = services.pump.get(), files = services.files.get(),
                           clock = services.clock.get()](const LocationSettings& settings,
                                                         const CertificateObserver& observer) {
        return MakeFtpClientFor(settings, *pump, *files, *clock, observer);
    };
    return services;
}

void EndProgram(int exitStatus)
{
    win32::EndProgram(exitStatus);
}

}  // namespace kestrane
