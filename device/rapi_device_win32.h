// The handheld over the Windows CE Remote API, rapi.dll, loaded at run time.
#pragma once

#include "device/remote_device.h"

#include <functional>
#include <memory>

namespace kestrane {

class RapiDevice : public RemoteDevice {
public:
    // Loads rapi.dll from the program's own folder or from System32, never
    // from the working folder, and looks up every function the program
    // calls. Throws JobError naming the library or function that is missing.
    // A library that has all of them stays loaded until the program ends.
    // CeRapiInit starts the connection with CeRapiInitEx and, while it waits
    // for the handheld, runs pumpMessages whenever the thread has messages;
    // pumpMessages returns false when the user has closed the window.
    static std::unique_ptr<RapiDevice> Load(std::function<bool()> pumpMessages);
};

}  // namespace kestrane
