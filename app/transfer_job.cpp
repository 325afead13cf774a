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

std::string NoDataMessage(const std::vector<UploadToSend>& sent)
{
    std::string message = "No data was found on the handheld, so there was nothing new to send.";
    if (!sent.empty()) {
        message += "\r\n\r\nUpload files from earlier runs that had not reached the server were sent now:";
        for (const UploadToSend& upload : sent) {
            message += "\r\n" + upload.name;
        }
    }
    return message;
}

}  // namespace

JobOutcome RunTransfer(const LocationSettings& settings, const JobServices& services)
{
    JobWindow& window = services.window;

    // Settle what an interrupted earlier run left behind, before anything new.
    try {
        SettleInterruptedRun(services.files, window);
    } catch (const FileError& error) {
        throw JobError("Kestrane could not tidy up what an interrupted earlier run left in its working folder.\r\n"
                       + error.Path() + ": " + error.Reason() + WhereTheDataIs(DataPlace::HandheldAndEarlierData));
    }

    window.LogLine("Getting File from CE Device ...");
    try {
        GetCEFile(services.device, services.files, window);
    } catch (const WindowClosed&) {
        // Closed while waiting for the handheld: nothing was taken from it.
        return JobOutcome::NotRun;
    }

    window.LogLine("Processing File ...");
    const std::optional<std::string> newUpload =
        BuildUploadFile(settings, services.files, services.clock, window);

    std::vector<UploadToSend> uploads;
    for (const std::string& name : PendingUploads(services.files)) {
        if (name != newUpload) {
            uploads.push_back({name, true});
        }
    }
    if (newUpload) {
        uploads.push_back({*newUpload, false});
    }
    if (!uploads.empty()) {
        window.LogLine("FTP file ...");
        FtpSendFile(settings, services.ftp, window, services.clock, services.files, uploads);
    }

    if (!newUpload) {
        window.ShowMessage(NoDataMessage(uploads), MessageKind::Warning);
        return JobOutcome::NoData;
    }

    window.LogLine("Write done file to CE Device ... ");
    PutCEDoneFile(services.device, services.files);

    window.LogLine("Done");
    window.ShowMessage(kSafeToRemoveMessage, MessageKind::Information);
    return JobOutcome::Completed;
}

}  // namespace kestrane
