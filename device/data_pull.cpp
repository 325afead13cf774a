#include "device/data_pull.h"

#include "common/job_error.h"
#include "device/device_connection.h"
#include "store/data_place.h"
#include "store/working_folder.h"

#include <algorithm>
#include <array>

namespace kestrane {
namespace {

std::string CannotConnectMessage(std::int32_t status)
{
    return "Kestrane could not connect to the handheld (error " + HresultText(status) + ")."
           + WhereTheDataIs(DataPlace::HandheldUntouched) + " Dock it again and restart Kestrane.";
}

std::string ReadFailureMessage(const DeviceCallError& error)
{
    // The first line is the message staff and support already know, with
    // the handheld's code as it always showed it, signed.
    const std::string code =
        error.OnTheLink() ? error.Text() : std::to_string(static_cast<std::int32_t>(error.Code()));
    return "Error !!! Reading WinCE file. " + code + error.InPlainWords()
           + WhereTheDataIs(DataPlace::Handheld);
}

std::string OpenFailureMessage(const DeviceCallError& error)
{
    return "Kestrane could not open the data file on the handheld (error " + error.Text() + ")."
           + error.InPlainWords() + WhereTheDataIs(DataPlace::Handheld);
}

std::string SaveFailureMessage(const FileError& error)
{
    return "Kestrane could not save the handheld's data on this PC.\r\n" + std::string(error.what())
           + WhereTheDataIs(DataPlace::Handheld);
}

// The size of an open device file, for the progress shown while it is
// copied: 0, unknown, when the handheld cannot say.
std::uint64_t ExpectedSize(RemoteDevice& device, DeviceHandle file)
{
    std::uint32_t high = 0;
    const std::uint32_t low = device.CeGetFileSize(file, high);
    return low == kInvalidFileSize ? 0 : (std::uint64_t{high} << 32) | low;
}

// Copies the open device file into the pull file, adding CR LF after the
// data. Returns the number of device bytes copied. On any failure, and when
// the window is closed, the pull file is removed and a JobError thrown.
std::uint64_t PullIntoFile(RemoteDevice& device, DeviceHandle source, LocalFiles& files, JobWindow& window)
{
    const std::uint64_t expected = ExpectedSize(device, source);
    std::array<char, kDeviceReadSize> buffer{};
    std::uint64_t total = 0;
    try {
        auto output = files.CreateForWriting(kPullFile);
        BufferedWriter writer(*output);
        for (;;) {
            std::uint32_t got = 0;
            if (!device.CeReadFile(source, buffer.data(), kDeviceReadSize, got)) {
                const DeviceCallError error = DeviceCallError::Last(device);
                output.reset();
                files.Remove(kPullFile);
                throw JobError(ReadFailureMessage(error));
            }
            if (got == 0) {
                break;
            }
            // Unchanged, with no line end between reads: a record that
            // straddles two reads must stay whole.
            writer.Write(std::string_view(buffer.data(), got));
            total += got;
            try {
                window.ReportProgress({total, expected});
            } catch (const WindowClosed&) {
                output.reset();
                files.Remove(kPullFile);
                throw JobError(StoppedByTheWindowsClose("copying the handheld's data", DataPlace::Handheld));
            }
        }
        if (total > 0) {
            writer.Write("\r\n");
        }
        writer.Commit();
    } catch (const FileError& error) {
        files.Remove(kPullFile);
        throw JobError(SaveFailureMessage(error));
    }
    return total;
}

// True when the handheld's data file begins with the dataBytes bytes of the
// pulled copy, that is, when the delete of an earlier pull never happened.
bool DeviceStillHoldsPulledData(RemoteDevice& device, InputFile& pulled, std::uint64_t dataBytes,
                                JobWindow& window)
{
    DeviceFile data(device, device.CeCreateFile(kDeviceDataFile, kGenericRead, kFileShareRead, kOpenExisting,
                                                kFileAttributeNormal));
    if (!data.IsOpen()) {
        const DeviceCallError error = DeviceCallError::Last(device);
        if (error.Is(kErrorFileNotFound) || error.Is(kErrorPathNotFound)) {
            return false;
        }
        throw JobError("Kestrane could not check the handheld's data file (error " + error.Text() + ")."
                       + error.InPlainWords() + WhereTheDataIs(DataPlace::Handheld));
    }

    std::array<char, kDeviceReadSize> deviceBytes{};
    std::array<char, kDeviceReadSize> localBytes{};
    std::uint64_t toCompare = dataBytes;
    while (toCompare > 0) {
        std::uint32_t got = 0;
        if (!device.CeReadFile(data.Get(), deviceBytes.data(), kDeviceReadSize, got)) {
            throw JobError(ReadFailureMessage(DeviceCallError::Last(device)));
        }
        if (got == 0) {
            return false;
        }
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(got, toCompare));
        std::size_t have = 0;
        while (have < wanted) {
            const std::size_t read = pulled.Read(localBytes.data() + have, wanted - have);
            if (read == 0) {
                return false;
            }
            have += read;
        }
        if (!std::equal(deviceBytes.begin(), deviceBytes.begin() + static_cast<std::ptrdiff_t>(wanted),
                        localBytes.begin())) {
            return false;
        }
        toCompare -= wanted;
        try {
            window.ReportProgress({dataBytes - toCompare, dataBytes});
        } catch (const WindowClosed&) {
            throw JobError(StoppedByTheWindowsClose("comparing its earlier copy with the handheld's data",
                                                    DataPlace::PulledCopy));
        }
    }
    return true;
}

// Runs a step that adds the pulled copy to the staging file, explaining a
// failure: the copy then stays for the next run.
template <typename Step> void KeepingThePulledCopy(Step&& step)
{
    try {
        step();
    } catch (const FileError& error) {
        throw JobError("Kestrane could not add the handheld's data to the staging file "
                       + std::string(kStagingFile) + ".\r\n" + error.what()
                       + WhereTheDataIs(DataPlace::PulledCopy));
    }
}

}  // namespace

std::uint64_t GetCEFile(RemoteDevice& device, LocalFiles& files, JobWindow& window)
{
    std::uint64_t taken = 0;
    // From the moment the handheld answers until its data is staged; not
    // while the job waits for it to be docked.
    DataInMotion moving(window);
    {
        DeviceSession session(device);
        if (session.Status() != 0) {
            throw JobError(CannotConnectMessage(session.Status()));
        }
        moving.Begin();

        const PulledCopyCheck stillOnHandheld = [&device, &window](InputFile& pulled,
                                                                   std::uint64_t dataBytes) {
            return DeviceStillHoldsPulledData(device, pulled, dataBytes, window);
        };
        KeepingThePulledCopy([&] { SettleInterruptedRun(files, window, &stillOnHandheld); });

        DeviceFile data(device, device.CeCreateFile(kDeviceDataFile, kGenericRead, kFileShareRead,
                                                    kOpenExisting, kFileAttributeNormal));
        if (!data.IsOpen()) {
            const DeviceCallError error = DeviceCallError::Last(device);
            if (error.Is(kErrorFileNotFound) || error.Is(kErrorPathNotFound)) {
                return 0;  // No data file on the handheld: nothing to pull.
            }
            throw JobError(OpenFailureMessage(error));
        }
        taken = PullIntoFile(device, data.Get(), files, window);
        data.Close();

        try {
            if (taken > 0) {
                files.Rename(kPullFile, kPulledFile, true);
                // Data leaves the handheld: it is owed a done marker once the data is on the server.
                RecordDoneMarkerOwed(files);
            } else {
                files.Remove(kPullFile);
            }
        } catch (const FileError& error) {
            files.Remove(kPullFile);
            throw JobError(SaveFailureMessage(error));
        }

        if (!device.CeDeleteFile(kDeviceDataFile)) {
            // The copy stays in the pulled file; the next run compares it with
            // the handheld's file and keeps exactly one of the two.
            const DeviceCallError error = DeviceCallError::Last(device);
            throw JobError("Kestrane could not delete the data file on the handheld (error " + error.Text()
                           + ")." + error.InPlainWords() + WhereTheDataIs(DataPlace::HandheldAndPulledCopy));
        }
    }
    if (files.Exists(kPulledFile)) {
        KeepingThePulledCopy([&] { MergePulledIntoStaging(files, window); });
    }
    return taken;
}

}  // namespace kestrane
