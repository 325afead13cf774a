// The handheld over the Windows CE Remote API, rapi.dll, loaded at run time.
#pragma once

#include "common/job_window.h"
#include "device/remote_device.h"

#include <memory>

namespace kestrane {

class RapiDevice : public RemoteDevice {
public:
    // Loads rapi.dll from the system folder alone, where the connectivity
    // software puts it, and looks up every function the program calls.
    // Throws JobError naming the library or function that is missing.
    // A library that has all of them stays loaded until the program ends.
    // CeRapiInit starts the connection with CeRapiInitEx and, while it waits
    // for the handheld, pumps the window's messages whenever they come.
    static std::unique_ptr<RapiDevice> Load(MessagePump& pump);
};

}  // namespace kestrane
