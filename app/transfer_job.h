// The transfer job: pull the handheld's data, build the upload file, send it
// and every earlier file the server has not confirmed, leave the done marker
// on the handheld, and tell the user the handheld may be undocked.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "common/local_files.h"
#include "common/random_source.h"
#include "device/remote_device.h"
#include "ftp/ftp_client.h"
#include "settings/location_settings.h"
#include "store/run_log.h"

namespace kestrane {

enum class JobOutcome {
    Completed,  // the new data reached the server and the handheld was told
    NoData,     // the handheld had no data; earlier files may have been sent
    NotRun,     // the window was closed while the job waited for the handheld
};

inline constexpr const char* kSafeToRemoveMessage = "Now safe to remove Handheld from Dock";

struct JobServices {
    JobWindow& window;
    RemoteDevice& device;
    FtpClient& ftp;
    LocalFiles& files;
    Clock& clock;
    // Spreads out the retries of locations that a busy server turned away together.
    RandomSource& random;
    RunLog& log;
};

// Runs the job once, step after step, each announced in the window's log and
// recorded in the run log with how long it took and the bytes it moved. Throws
// JobError when a step fails, or when the window is closed once the job has
// begun to move data; whatever was not yet confirmed by the server is then
// kept where the next run finds it.
JobOutcome RunTransfer(const LocationSettings& settings, const JobServices& services);

}  // namespace kestrane
