// How a run of the program is reported: its exit status, the error message
// a failure shows, and the run log's records of the run from its start to
// its end, beside the lines the window shows.
#pragma once

#include "app/transfer_job.h"
#include "common/job_window.h"
#include "settings/location_settings.h"
#include "store/run_log.h"

#include <functional>
#include <string>

namespace kestrane {

// Exit statuses of the program.
inline constexpr int kExitCompleted = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitNoData = 2;
inline constexpr int kExitNotRun = 3;  // the window was closed before the job touched anything

// The window as the job sees it: every line it shows and every message is
// also recorded in the run log.
class RecordingWindow final : public JobWindow {
public:
    RecordingWindow(JobWindow& window, RunLog& log) : window_(window), log_(log) {}

    void LogLine(const std::string& line) override;
    void ShowMessage(const std::string& text, MessageKind kind) override;
    void PumpMessages() override { window_.PumpMessages(); }
    void ReportProgress(const Progress& progress) override { window_.ReportProgress(progress); }
    void Wake() noexcept override { window_.Wake(); }
    void MovingData(bool moving) noexcept override { window_.MovingData(moving); }

private:
    JobWindow& window_;
    RunLog& log_;
};

// The run log's first records: the program's version, the folder it works
// in, and the location's settings, never the password.
void RecordStart(RunLog& log, const std::string& version, const std::string& folder,
                 const LocationSettings& settings);

// Runs the job and returns the program's exit status. A failure is shown in
// window as an error message, which ends with the full path of the run log
// so that staff can tell support where to look.
int RunAndReport(JobWindow& window, const std::string& runLogPath, const std::function<JobOutcome()>& job);

// The run log's last record: the exit status, and what it means.
void RecordEnd(RunLog& log, int exitStatus);

}  // namespace kestrane
