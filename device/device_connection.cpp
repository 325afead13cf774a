#include "device/device_connection.h"

#include <cstdio>

namespace kestrane {

std::int32_t FileSelBackupCEInit(RemoteDevice& device)
{
    const std::int32_t status = device.CeRapiInit();
    if (status != 0) {
        device.CeRapiUninit();
    }
    return status;
}

void FileSelBackupCEUnInit(RemoteDevice& device)
{
    device.CeRapiUninit();
}

DeviceSession::DeviceSession(RemoteDevice& device) : device_(device), status_(FileSelBackupCEInit(device)) {}

DeviceSession::~DeviceSession()
{
    FileSelBackupCEUnInit(device_);
}

std::string HresultText(std::int32_t status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

DeviceCallError DeviceCallError::Last(RemoteDevice& device)
{
    const std::int32_t linkStatus = device.CeRapiGetError();
    if (linkStatus < 0) {
        return DeviceCallError(linkStatus, 0);
    }
    return DeviceCallError(0, device.CeGetLastError());
}

std::string DeviceCallError::Text() const
{
    return OnTheLink() ? HresultText(linkStatus_) : std::to_string(code_);
}

std::string DeviceCallError::InPlainWords() const
{
    std::string words;
    std::uint32_t code = code_;
    if (OnTheLink()) {
        words = "\r\n\r\nThe connection to the handheld failed.";
        // An HRESULT made from a Windows error code (0x8007xxxx) carries that
        // code, which may say why.
        const auto status = static_cast<std::uint32_t>(linkStatus_);
        code = (status >> 16) == 0x8007 ? (status & 0xFFFF) : 0;
    }
    switch (code) {
    case kErrorDeviceNotConnected:
        return words + "\r\n\r\nThe handheld was taken out of its dock.";
    case kErrorSharingViolation:
        return words
               + "\r\n\r\nA program on the handheld is using the file. Close it there and restart Kestrane.";
    default:
        return words;
    }
}

}  // namespace kestrane
