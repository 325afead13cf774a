// Opening and closing the connection to the handheld. Each step that touches
// the handheld opens its own connection and closes it when it is done.
#pragma once

#include "device/remote_device.h"

#include <cstdint>

namespace kestrane {

// Starts the connection, waiting until a handheld is docked. A failed start
// is ended at once, so that nothing is left half open, and its code returned.
// A wait the user ends by closing the window throws WindowClosed.
std::int32_t FileSelBackupCEInit(RemoteDevice& device);

// Ends the connection.
void FileSelBackupCEUnInit(RemoteDevice& device);

// Opens the connection for one step and ends it when the step is over,
// whichever way it leaves.
class DeviceSession {
public:
    explicit DeviceSession(RemoteDevice& device);
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;
    ~DeviceSession();

    // The start's status: 0 when connected.
    std::int32_t Status() const { return status_; }

private:
    RemoteDevice& device_;
    std::int32_t status_;
};

// A device handle that is released when it goes out of scope: a file
// (closed with CeCloseHandle) or a search (closed with CeFindClose).
template <bool (RemoteDevice::*Release)(DeviceHandle)> class UniqueDeviceHandle {
public:
    UniqueDeviceHandle(RemoteDevice& device, DeviceHandle handle) : device_(device), handle_(handle) {}
    UniqueDeviceHandle(const UniqueDeviceHandle&) = delete;
    UniqueDeviceHandle& operator=(const UniqueDeviceHandle&) = delete;
    ~UniqueDeviceHandle() { Close(); }

    bool IsOpen() const { return handle_ != kInvalidDeviceHandle; }
    DeviceHandle Get() const { return handle_; }
    void Close()
    {
        if (handle_ != kInvalidDeviceHandle) {
            (device_.*Release)(handle_);
            handle_ = kInvalidDeviceHandle;
        }
    }

private:
    RemoteDevice& device_;
    DeviceHandle handle_;
};

using DeviceFile = UniqueDeviceHandle<&RemoteDevice::CeCloseHandle>;
using DeviceSearch = UniqueDeviceHandle<&RemoteDevice::CeFindClose>;

// "0x80070005"-style text for an HRESULT, as Windows shows them.
std::string HresultText(std::int32_t status);

}  // namespace kestrane
