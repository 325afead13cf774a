// Kestrane's entry point, where the program is put together: read this PC's
// location settings, build the services the transfer job runs on, then show
// the main window, which runs the job once.

#include "app/main_window_win32.h"
#include "app/run_report.h"
#include "app/transfer_job.h"
#include "common/local_files_win32.h"
#include "common/program_end_win32.h"
#include "common/random_source.h"
#include "common/system_clock_win32.h"
#include "device/rapi_device_win32.h"
#include "ftp/ftp_client_choice_win32.h"
#include "settings/registry_win32.h"
#include "store/folder_check_win32.h"
#include "store/folder_lock_win32.h"
#include "store/run_log.h"

#include "kestrane_version.h"

#include <windows.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace {

// Runs the program and returns its exit status.
int RunProgram(HINSTANCE instance, int showCommand)
{
    using namespace kestrane;
    try {
        // No library is ever looked for in the working folder, which holds
        // the data files: not even one that rapi.dll needs.
        win32::ThrowLastErrorIf(!::SetDllDirectoryW(L""), "SetDllDirectoryW");
        // Settings come first: without usable ones the window never shows
        // and nothing touches the handheld.
        SettingsLoad load = LoadLocationSettings(ReadSettingsCode());
        if (!load.settings) {
            ShowProgramMessage(nullptr, load.problem, MessageKind::Warning);
            return kExitFailed;
        }
        const LocationSettings settings = std::move(*load.settings);
        // Then the working folder, before anything is read or written there,
        // and the lock that keeps every other copy of Kestrane out of it.
        if (const std::optional<std::string> problem = WorkingFolderProblem()) {
            ShowProgramMessage(nullptr, *problem, MessageKind::Error);
            return kExitFailed;
        }
        const WorkingFolderLock::Taken folderLock = WorkingFolderLock::Take();
        if (!folderLock.lock) {
            ShowProgramMessage(nullptr, folderLock.problem, MessageKind::Error);
            return kExitFailed;
        }
        SystemClock clock;
        SeededRandomSource random;
        // The run log is written as it is, or not at all: it never waits
        // for a file another program holds, and never stops the job.
        Win32LocalFiles logFiles(Win32LocalFiles::NeverWait{});
        FileRunLog runLog(logFiles, clock);
        const std::string workingFolder = WorkingFolderPath();
        RecordStart(runLog, KESTRANE_VERSION_TEXT, workingFolder, settings);
        Form1 form1(runLog);
        // The job's window: what it shows goes to the run log as well.
        RecordingWindow window(form1, runLog);
        // A file another program holds for a moment is waited for, with the
        // window alive, and the log says so once for each operation.
        Win32LocalFiles files(window);
        // The client keeps the window alive while it waits for the server,
        // and tells it how far a transfer has got.
        const std::unique_ptr<FtpClient> ftpClient1 = MakeFtpClientFor(settings, window, files, clock);
        const int exitStatus = form1.Run(instance, showCommand, [&] {
            return RunAndReport(window, workingFolder + "\\" + kRunLogFile, [&] {
                // rapi.dll is loaded as the job starts, before anything else,
                // so that a missing library stops the job, in the window,
                // before anything is touched.
                const std::unique_ptr<RemoteDevice> device = RapiDevice::Load(form1);
                return RunTransfer(settings,
                                   JobServices{window, *device, *ftpClient1, files, clock, random, runLog});
            });
        });
        RecordEnd(runLog, exitStatus);
        return exitStatus;
    } catch (const std::exception& error) {
        ::MessageBoxW(nullptr, win32::Widen(std::string("Kestrane could not start: ") + error.what()).c_str(),
                      kProgramTitle, MB_OK | MB_ICONERROR);
        return kExitFailed;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // By now the run is on disk and the lock let go. A worker that the FTP
    // client left behind a server that never answered must not run on into
    // the end of the process.
    kestrane::win32::EndProgram(RunProgram(instance, showCommand));
}
