#include "app/transfer_job.h"

#include "common/job_error.h"
#include "device/data_pull.h"
#include "device/done_marker.h"
#include "ftp/ftp_upload.h"
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
    std::string names;
    for (const std::string& name : orphans) {
        names += (names.empty() ? "" : ", ") + name;
    }
    const bool one = orphans.size() == 1;
    return "The upload file" + std::string(one ? " " : "s ") + names + (one ? " was" : " were")
           + " waiting to be sent, but " + (one ? "is" : "are")
           + " no longer in the working folder, so Kestrane cannot send " + (one ? "it" : "them")
           + " and no longer waits for " + (one ? "it" : "them") + ". Tell support.";
}

// Settles what an interrupted earlier run left behind, and finds the pending
// upload files that are gone.
std::vector<std::string> PrepareWorkingFolder(LocalFiles& files, JobWindow& window)
{
    try {
        SettleInterruptedRun(files, window);
        return OrphanedPendingUploads(files);
    } catch (const FileError& error) {
        throw JobError("Kestrane could not tidy up what an interrupted earlier run left in its working folder.\r\n"
                       + error.Path() + ": " + error.Reason() + WhereTheDataIs(DataPlace::HandheldAndEarlierData));
    }
}

struct Delivery {
    std::optional<std::string> newUpload;
    std::vector<std::string> sent;
    bool markerWritten = false;
};

Delivery PullBuildSendAndMark(const LocationSettings& settings, const JobServices& services,
                              const std::vector<std::string>& orphans)
{
    JobWindow& window = services.window;
    LocalFiles& files = services.files;
    Delivery delivery;

    window.LogLine("Getting File from CE Device ...");
    GetCEFile(services.device, files, window);

    window.LogLine("Processing File ...");
    delivery.newUpload = BuildUploadFile(settings, files, services.clock, window);

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
        delivery.sent = FtpSendFile(settings, services.ftp, window, services.clock, files, uploads);
    }

    // Everything taken from the handheld is on the server now, so it is told
    // so, in this run or, when an earlier run could not, in this one.
    const bool owed = DoneMarkerOwed(files);
    if (delivery.newUpload || owed) {
        if (!delivery.newUpload) {
            window.LogLine("The handheld is owed a done marker by an earlier run");
        }
        window.LogLine("Write done file to CE Device ... ");
        PutCEDoneFile(services.device, files);
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
    const std::vector<std::string> orphans = PrepareWorkingFolder(services.files, window);

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
    Delivery delivery;
    try {
        delivery = PullBuildSendAndMark(settings, services, orphans);
    } catch (const WindowClosed&) {
        // Closed while the job waited for the handheld: nothing was taken
        // from it, and the next run reports the gone files.
        return JobOutcome::NotRun;
    } catch (const JobError& error) {
        if (orphans.empty()) {
            throw;
        }
        retireOrphans();
        throw JobError(error.what() + std::string("\r\n\r\n") + OrphansNotice(orphans));
    }
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
