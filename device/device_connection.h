// Opening and closing the connection to the handheld. Each step that touches
// the handheld opens its own connection and closes it when it is done.
#pragma once

#include "device/remote_device.h"

#include <cstdint>

namespace kestrane {

// Starts the connection, waiting until a handheld is docked. A failed start
// is ended at once, so that nothing is left half open, and its code returned.
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

// A device file handle that is closed when it goes out of scope.
class DeviceFile {
public:
    DeviceFile(RemoteDevice& device, DeviceHandle handle) : device_(device), handle_(handle) {}
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;
    ~DeviceFile() { Close(); }

    bool IsOpen() const { return handle_ != kInvalidDeviceHandle; }
    DeviceHandle Get() const { return handle_; }
    void Close();

private:
    RemoteDevice& device_;
    DeviceHandle handle_;
};

// "0x80070005"-style text for an HRESULT, as Windows shows them.
std::string HresultText(std::int32_t status);

}  // namespace kestrane
