// Opening and closing the connection to the handheld. Each step that touches
// the handheld opens its own connection and closes it when it is done.
#pragma once

#include "device/remote_device.h"

#include <cstdint>
#include <string>
#include <utility>

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
    // Returns false when the handheld refused to release it: for a file
    // written to, its last bytes may then never have reached the handheld.
    bool Close()
    {
        if (handle_ == kInvalidDeviceHandle) {
            return true;
        }
        return (device_.*Release)(std::exchange(handle_, kInvalidDeviceHandle));
    }

private:
    RemoteDevice& device_;
    DeviceHandle handle_;
};

using DeviceFile = UniqueDeviceHandle<&RemoteDevice::CeCloseHandle>;
using DeviceSearch = UniqueDeviceHandle<&RemoteDevice::CeFindClose>;

// "0x80070005"-style text for an HRESULT, as Windows shows them.
std::string HresultText(std::int32_t status);

// Why a remote call failed, asked of the library right after the call: the
// link to the handheld when the Remote API itself failed (CeRapiGetError
// gives its HRESULT), otherwise the handheld's own error (CeGetLastError).
class DeviceCallError {
public:
    static DeviceCallError Last(RemoteDevice& device);

    bool OnTheLink() const { return linkStatus_ < 0; }
    // The handheld's error code; 0 for a failure of the link.
    std::uint32_t Code() const { return code_; }
    // Whether the handheld itself failed the call with this code.
    bool Is(std::uint32_t code) const { return !OnTheLink() && code_ == code; }
    // The link's HRESULT as "0x8007048F", or the handheld's code in decimal.
    std::string Text() const;
    // A paragraph in plain words for the failures staff can act on; empty
    // for the others.
    std::string InPlainWords() const;

private:
    DeviceCallError(std::int32_t linkStatus, std::uint32_t code) : linkStatus_(linkStatus), code_(code) {}

    std::int32_t linkStatus_;
    std::uint32_t code_;
};

}  // namespace kestrane
