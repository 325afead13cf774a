// What kestrane-location check borrows from Kestrane's Windows layers: the
// registry reader, the FTP client and the clock, so that the check meets the
// server exactly as Kestrane does. The build picks check_services_win32.cpp
// or check_services_posix.cpp; a build for another system has none of them.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "common/local_files.h"
#include "ftp/ftp_client.h"
#include "tools/location/location_check.h"

#include <memory>
#include <optional>
#include <string>

namespace kestrane {

struct CheckServices {
    // The settings code stored for this PC, read as Kestrane reads it.
    std::optional<std::string> (*readSettingsCode)();
    // The client waits with these, so they outlive it. A console has no
    // window to close: its pump waits a moment, and never gives up.
    std::unique_ptr<MessagePump> pump;
    std::unique_ptr<LocalFiles> files;
    std::unique_ptr<Clock> clock;
    // The check transfers nothing, but the client is Kestrane's whole
    // client, the one Kestrane chooses for the settings.
    FtpClientMaker makeClient;
};

// Kestrane's own services, or nothing on a system that lacks them.
std::optional<CheckServices> KestraneServices();

// Ends kestrane-location with exitStatus, its output written. On Windows it
// ends as kestrane.exe does, at once, so that a worker of the FTP client
// left behind a server that never answered cannot run into the end of the
// process.
[[noreturn]] void EndProgram(int exitStatus);

}  // namespace kestrane
