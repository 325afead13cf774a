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

}  // namespace kestrane
