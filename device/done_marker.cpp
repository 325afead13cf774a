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

// " (error CODE)." and what that error means, in plain words where it can.
std::string Because(const DeviceCallError& error)
{
    return " (error " + error.Text() + ")." + error.InPlainWords();
}

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

    // An unfinished marker, left by a run cut short, is no marker: remove it.
    // Where the handheld will not, the marker written below replaces it.
    device.CeDeleteFile(kDeviceUnfinishedDoneMarker);

    if (DeviceSearch existing(device, device.CeFindFirstFile(kDeviceDoneMarker)); existing.IsOpen()) {
        return;
    }

    std::string contents;
    const bool hasContents = ReadLocalBytes(files, kLocalDoneFile, contents);
    if (contents.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw JobError(std::string(kDataWasSent) + ": the done file " + kLocalDoneFile + " is too large.");
    }

    // The marker is written under another name and renamed only once it is
    // whole: a part of one would claim a finished sync it cannot vouch for.
    DeviceFile marker(device, device.CeCreateFile(kDeviceUnfinishedDoneMarker, kGenericWrite, kFileShareRead,
                                                  kCreateAlways, kFileAttributeNormal));
    if (!marker.IsOpen()) {
        throw JobError(std::string(kDataWasSent) + ": the done marker could not be created on it"
                       + Because(DeviceCallError::Last(device)));
    }
    // Reports a failure once the unfinished marker is removed, where the
    // handheld still lets it; the next run writes the marker afresh.
    const auto giveUp = [&device, &marker](const std::string& reason) {
        marker.Close();
        device.CeDeleteFile(kDeviceUnfinishedDoneMarker);
        throw JobError(std::string(kDataWasSent) + ": the done marker could not be " + reason);
    };
    if (hasContents) {
        const auto size = static_cast<std::uint32_t>(contents.size());
        std::uint32_t written = 0;
        if (!device.CeWriteFile(marker.Get(), contents.data(), size, written)) {
            giveUp("written to it" + Because(DeviceCallError::Last(device)));
        }
        if (written != size) {
            giveUp("written to it: it took " + std::to_string(written) + " of " + std::to_string(size)
                   + " bytes.");
        }
    }
    // Closing the file is what commits its last bytes on the handheld.
    if (!marker.Close()) {
        giveUp("written to it" + Because(DeviceCallError::Last(device)));
    }
    if (!device.CeMoveFile(kDeviceUnfinishedDoneMarker, kDeviceDoneMarker)) {
        const DeviceCallError error = DeviceCallError::Last(device);
        // The handheld made a marker of its own meanwhile, which is kept as
        // any marker already there is.
        if (error.Is(kErrorAlreadyExists)) {
            device.CeDeleteFile(kDeviceUnfinishedDoneMarker);
            return;
        }
        giveUp("put in place on it" + Because(error));
    }
}

}  // namespace kestrane
