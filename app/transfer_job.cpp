#include "app/transfer_job.h"

#include "common/job_error.h"
#include "device/data_pull.h"
#include "device/done_marker.h"
#include "ftp/ftp_upload.h"
#include "store/data_place.h"
#include "store/working_folder.h"
#include "upload/upload_builder.h"

#include <algorithm>

namespace kestrane {
namespace {

std::string NoDataMessage(const std::vector<std::string>& sent, bool markerWritten)
{
    std::string message = "No data was found on the handheld, so there was nothing new to send.";
    if (!sent.empty()) {
        message += "\r\n\r\nUpload files from earlier runs that had not reached the server were sent now:";
        for (const std::string& name : sent) {
            message += "\r\n" + name;
        }
    }
    if (markerWritten) {
        message += "\r\n\r\nThe handheld was given the done marker that an earlier run owed it.";
    }
    return message;
}

std::string OrphansNotice(const std::vector<std::string>& orphans)
{
    const std::string names = NameList(orphans);
    const bool one = orphans.size() == 1;
    return "The upload file" + std::string(one ? " " : "s ") + names + (one ? " was" : " were")
           + " waiting to be sent, but " + (one ? "is" : "are")
           + " no longer in the working folder, so Kestrane cannot send " + (one ? "it" : "them")
           + " and no longer waits for " + (one ? "it" : "them") + ". Tell support.";
}

// "12345 bytes", or "size unknown" when the size cannot be read: a size
// only for the run log never stops the job.
std::string SizeForTheLog(LocalFiles& files, const std::string& name)
{
    try {
        return std::to_string(files.Size(name)) + " bytes";
    } catch (const FileError&) {
        return "size unknown";
    }
}

// Records what the working folder holds from earlier runs, once settled.
void RecordEarlierWork(LocalFiles& files, RunLog& log, const std::vector<std::string>& orphans)
{
    if (files.Exists(kStagingFile)) {
        log.Record("Data staged by an earlier run: " + std::string(kStagingFile) + ", "
                   + SizeForTheLog(files, kStagingFile));
    }
    if (const std::vector<std::string> pending = PendingUploads(files); !pending.empty()) {
        log.Record("Not yet confirmed by the server: " + NameList(pending));
    }
    if (!orphans.empty()) {
        log.Record("Waiting to be sent, but gone from the working folder: " + NameList(orphans)
                   + "; reported, and no longer waited for");
    }
    if (DoneMarkerOwed(files)) {
        log.Record("A done marker is owed to the handheld since an earlier run");
    }
}

// Settles what an interrupted earlier run left behind, and finds the pending
// upload files that are gone.
std::vector<std::string> PrepareWorkingFolder(LocalFiles& files, JobWindow& window, RunLog& log)
{
    try {
        const std::vector<std::string> interrupted = FilesOfAnInterruptedRun(files);
        if (!interrupted.empty()) {
            log.Record("An interrupted earlier run left " + NameList(interrupted) + ": settling them");
        }
        SettleInterruptedRun(files, window);
        std::vector<std::string> orphans = OrphanedPendingUploads(files);
        RecordEarlierWork(files, log, orphans);
        return orphans;
    } catch (const FileError& error) {
        throw JobError(
            "Kestrane could not tidy up what an interrupted earlier run left in its working folder.\r\n"
            + std::string(error.what()) + WhereTheDataIs(DataPlace::HandheldAndEarlierData));
    }
}

struct Delivery {
    std::optional<std::string> newUpload;
    std::vector<std::string> sent;
    bool markerWritten = false;
};

// Pulls, builds, sends and leaves the marker; nothing when the window was
// closed while the job waited for the handheld, before anything was taken.
std::optional<Delivery> PullBuildSendAndMark(const LocationSettings& settings, const JobServices& services,
                                             const std::vector<std::string>& orphans)
{
    JobWindow& window = services.window;
    LocalFiles& files = services.files;
    Clock& clock = services.clock;
    RunLog& log = services.log;
    Delivery delivery;

    window.LogLine("Getting File from CE Device ...");
    SteadyClock::time_point started = clock.SteadyNow();
    std::uint64_t taken = 0;
    try {
        taken = GetCEFile(services.device, files, window);
    } catch (const WindowClosed&) {
        return std::nullopt;
    }
    log.Record(taken > 0 ? "Took " + std::to_string(taken) + " bytes from the handheld " + TookSince(clock, started)
                               + ", the wait for it included"
                         : "The handheld has no data file (checked " + TookSince(clock, started) + ")");

    // Building and sending move data from the first byte to the last.
    DataInMotion moving(window);
    window.LogLine("Processing File ...");
    moving.Begin();
    started = clock.SteadyNow();
    delivery.newUpload = BuildUploadFile(settings, files, clock, window);
    if (delivery.newUpload) {
        log.Record("Built " + *delivery.newUpload + ": " + SizeForTheLog(files, *delivery.newUpload) + " "
                   + TookSince(clock, started));
    }

    std::vector<UploadToSend> uploads;
    for (const std::string& name : PendingUploads(files)) {
        if (name != delivery.newUpload && std::find(orphans.begin(), orphans.end(), name) == orphans.end()) {
            uploads.push_back({name, true});
        }
    }
    if (delivery.newUpload) {
        uploads.push_back({*delivery.newUpload, false});
    }
    if (!uploads.empty()) {
        window.LogLine("FTP file ...");
        delivery.sent =
            FtpSendFile(settings, services.ftp, window, clock, services.random, files, log, uploads);
    }
    moving.End();

    // Everything taken from the handheld is on the server now, so it is told
    // so, in this run or, when an earlier run could not, in this one.
    const bool owed = DoneMarkerOwed(files);
    if (delivery.newUpload || owed) {
        if (!delivery.newUpload) {
            window.LogLine("The handheld is owed a done marker by an earlier run");
        }
        window.LogLine("Write done file to CE Device ... ");
        started = clock.SteadyNow();
        moving.Begin();
        PutCEDoneFile(services.device, files);
        log.Record("Wrote the done marker to the handheld " + TookSince(clock, started));
        delivery.markerWritten = true;
        if (owed) {
            ClearDoneMarkerOwed(files);
        }
    }
    return delivery;
}

}  // namespace

JobOutcome RunTransfer(const LocationSettings& settings, const JobServices& services)
{
    JobWindow& window = services.window;
    const std::vector<std::string> orphans = PrepareWorkingFolder(services.files, window, services.log);

    // Pending files that are gone are reported once, at the end of the run,
    // whichever way it ends, and never looked for again.
    const auto retireOrphans = [&] {
        try {
            for (const std::string& name : orphans) {
                RetireOrphanedUpload(services.files, name);
            }
        } catch (const FileError&) {
            // Reported again by the next run, which tries again.
        }
    };
    std::optional<Delivery> delivered;
    try {
        delivered = PullBuildSendAndMark(settings, services, orphans);
    } catch (const JobError& error) {
        if (orphans.empty()) {
            throw;
        }
        retireOrphans();
        throw JobError(error.what() + std::string("\r\n\r\n") + OrphansNotice(orphans));
    }
    if (!delivered) {
        // Nothing was taken from the handheld, and the next run reports the gone files.
        return JobOutcome::NotRun;
    }
    const Delivery& delivery = *delivered;
    if (!orphans.empty()) {
        retireOrphans();
        window.ShowMessage(OrphansNotice(orphans), MessageKind::Warning);
    }

    if (!delivery.newUpload) {
        window.ShowMessage(NoDataMessage(delivery.sent, delivery.markerWritten), MessageKind::Warning);
        return JobOutcome::NoData;
    }
    window.LogLine("Done");
    window.ShowMessage(kSafeToRemoveMessage, MessageKind::Information);
    return JobOutcome::Completed;
}

}  // namespace kestrane
