#include "store/folder_lock_win32.h"

#include "common/busy_retry.h"
#include "common/system_clock_win32.h"
#include "store/folder_check_win32.h"

#include <windows.h>

#include <thread>

namespace kestrane {

WorkingFolderLock::Taken WorkingFolderLock::Take()
{
    win32::UniqueFile file;
    DWORD failure = ERROR_SUCCESS;
    SystemClock clock;
    RetryWhileBusy(
        [&] {
            // Read access is all a lock needs, so a file another user made
            // will do. Deleted on close, also when the process is killed.
            file.Reset(::CreateFileA(kLockFile, GENERIC_READ | DELETE, 0, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
            failure = file ? ERROR_SUCCESS : ::GetLastError();
            // Access is denied to a lock file whose deletion is under way,
            // as the copy that held it ends.
            if (failure == ERROR_SHARING_VIOLATION || failure == ERROR_ACCESS_DENIED) {
                return Attempt::Busy;
            }
            return file ? Attempt::Done : Attempt::Failed;
        },
        [](bool) { std::this_thread::sleep_for(kBusyPause); }, clock);

    if (file) {
        return {WorkingFolderLock(std::move(file)), {}};
    }
    if (failure == ERROR_SHARING_VIOLATION) {
        return {std::nullopt,
                "Kestrane is already running in the folder " + WorkingFolderPath()
                    + ": it was started twice, or another user of this PC started it.\r\n\r\n"
                      "The copy that is running goes on with the handheld. This one has touched "
                      "nothing, and closes now."};
    }
    return {std::nullopt, "Kestrane cannot work in the folder " + WorkingFolderPath()
                              + ": it cannot use its lock file " + kLockFile
                              + " there: " + win32::SystemErrorText(failure)
                              + ".\r\n\r\nNothing was touched. Tell support."};
}

}  // namespace kestrane
