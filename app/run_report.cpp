#include "app/run_report.h"

#include "common/job_error.h"
#include "common/local_files.h"

namespace kestrane {
namespace {

int ExitStatusOf(JobOutcome outcome)
{
    switch (outcome) {
    case JobOutcome::Completed:
        return kExitCompleted;
    case JobOutcome::NoData:
        return kExitNoData;
    case JobOutcome::NotRun:
        return kExitNotRun;
    }
    return kExitFailed;
}

const char* KindName(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Information:
        return "information";
    case MessageKind::Warning:
        return "warning";
    case MessageKind::Error:
        return "error";
    }
    return "message";
}

}  // namespace

void RecordingWindow::LogLine(const std::string& line)
{
    log_.Record("Window: " + line);
    window_.LogLine(line);
}

void RecordingWindow::ShowMessage(const std::string& text, MessageKind kind)
{
    log_.Record("Message (" + std::string(KindName(kind)) + "):\r\n" + text);
    window_.ShowMessage(text, kind);
}

void RecordStart(RunLog& log, const std::string& version, const std::string& folder,
                 const LocationSettings& settings)
{
    log.Record("Kestrane " + version + " started in " + folder);
    log.Record("Location " + settings.locationCode + ", FTP server " + settings.host + ", remote folder \""
               + settings.remoteFolder + "\"");
}

int RunAndReport(JobWindow& window, const std::string& runLogPath, const std::function<JobOutcome()>& job)
{
    std::string failure;
    try {
        return ExitStatusOf(job());
    } catch (const JobError& error) {
        failure = error.what();
    } catch (const FileError& error) {
        failure = std::string("Kestrane stopped because a file could not be used.\r\n") + error.what()
                  + "\r\n\r\nNothing was lost: the data is on the handheld, in the working folder or on the server.";
    } catch (const std::exception& error) {
        failure = std::string("Kestrane stopped because of an unexpected error: ") + error.what();
    }
    window.ShowMessage(failure + "\r\n\r\nWhat happened is recorded for support in " + runLogPath, MessageKind::Error);
    return kExitFailed;
}

void RecordEnd(RunLog& log, int exitStatus)
{
    const char* meaning = "the job failed";
    switch (exitStatus) {
    case kExitCompleted:
        meaning = "the job was completed";
        break;
    case kExitNoData:
        meaning = "the handheld had no data";
        break;
    case kExitNotRun:
        meaning = "the window was closed before the job touched anything";
        break;
    default:
        break;
    }
    log.Record("Ended with exit status " + std::to_string(exitStatus) + ": " + meaning);
}

}  // namespace kestrane
