#include "device/done_marker.h"

#include "common/job_error.h"
#include "common/job_window.h"
#include "device/device_connection.h"
#include "store/working_folder.h"

#include <limits>
#include <optional>

namespace kestrane {
namespace {

constexpr const char* kDataWasSent = "Your data was sent to the server, but the handheld was not told so";

}  // namespace

bool ReadLocalBytes(LocalFiles& files, const std::string& path, std::string& bytes)
{
    try {
        bytes = ReadWholeFile(files, path);
    } catch (const FileError& error) {
        throw JobError(std::string(kDataWasSent) + ": the done file " + path + " could not be read ("
                       + error.Reason() + ").\r\n\r\nPut that file back and restart Kestrane.");
    }
    return !bytes.empty();
}

void PutCEDoneFile(RemoteDevice& device, LocalFiles& files)
{
    std::optional<DeviceSession> session;
    try {
        session.emplace(device);
    } catch (const WindowClosed&) {
        throw JobError(std::string(kDataWasSent) + ": the window was closed while Kestrane waited for it.");
    }
    if (session->Status() != 0) {
        throw JobError(std::string(kDataWasSent) + ": Kestrane could not connect to it (error "
                       + HresultText(session->Status()) + ").");
    }

    if (DeviceSearch existing(device, device.CeFindFirstFile(kDeviceDoneMarker)); existing.IsOpen()) {
        return;
    }

    std::string contents;
    const bool hasContents = ReadLocalBytes(files, kLocalDoneFile, contents);
    if (contents.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw JobError(std::string(kDataWasSent) + ": the done file " + kLocalDoneFile + " is too large.");
    }

    DeviceFile marker(device, device.CeCreateFile(kDeviceDoneMarker, kGenericWrite, kFileShareRead,
                                                  kCreateAlways, kFileAttributeNormal));
    if (!marker.IsOpen()) {
        throw JobError(std::string(kDataWasSent) + ": the done marker could not be created on it (error "
                       + std::to_string(device.CeGetLastError()) + ").");
    }
    if (hasContents) {
        const auto size = static_cast<std::uint32_t>(contents.size());
        std::uint32_t written = 0;
        const bool ok = device.CeWriteFile(marker.Get(), contents.data(), size, written);
        if (!ok || written != size) {
            const std::uint32_t code = ok ? 0 : device.CeGetLastError();
            marker.Close();
            // A half-written marker would claim a finished sync it cannot vouch for.
            device.CeDeleteFile(kDeviceDoneMarker);
            throw JobError(std::string(kDataWasSent) + ": the done marker could not be written to it (error "
                           + std::to_string(code) + ").");
        }
    }
}

}  // namespace kestrane
