// Form1, the program's one window: a log box that reports the job's steps,
// a progress bar below it (and on the taskbar button) that shows how far a
// step has got, and the start timer that runs the transfer job once, five
// seconds after the window is created.
#pragma once

#include "app/progress_view.h"
#include "app/run_report.h"
#include "app/taskbar_progress_win32.h"
#include "common/clock.h"
#include "common/job_window.h"
#include "common/win32_support.h"
#include "store/run_log.h"

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

namespace kestrane {

inline constexpr const wchar_t* kProgramTitle = L"Kestrane";

// Shows a message box titled with the program's title and waits for OK. The
// box comes to the front; where Windows does not allow that, the owner's
// taskbar button flashes until the user turns to it.
void ShowProgramMessage(HWND owner, const std::string& text, MessageKind kind);

class Form1 final : public JobWindow {
public:
    // What the window does about the end of the Windows session goes to runLog.
    explicit Form1(RunLog& runLog) : runLog_(runLog) {}
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // Creates and shows the window, runs its message loop until the window
    // is gone, and returns the program's exit status: the one transferJob
    // returns, which the start timer runs once, or kExitNotRun when the
    // window was closed before.
    int Run(HINSTANCE instance, int showCommand, std::function<int()> transferJob);

    void LogLine(const std::string& line) override;
    void ShowMessage(const std::string& text, MessageKind kind) override;
    void PumpMessages() override;
    void ReportProgress(const Progress& progress) override;
    void Wake() noexcept override;
    void MovingData(bool moving) noexcept override;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    void CreateControls();
    void ApplyDpi(UINT dpi);
    void HandlePendingMessages();
    // Throws WindowClosed once the user has asked to close the window.
    void StopIfClosed() const;
    void OnStartTimer();
    [[noreturn]] void OnSessionEnded(LPARAM reason);
    void SetLogText(const std::wstring& text);
    void ShowProgress(const ProgressView& view);

    RunLog& runLog_;
    std::function<int()> transferJob_;
    HWND window_ = nullptr;
    HWND txtLog_ = nullptr;
    HWND barProgress_ = nullptr;
    std::optional<ProgressView> progressShown_;  // on the bar and the taskbar button
    SteadyClock::time_point progressShownAt_;    // since when
    std::optional<TaskbarProgress> taskbar_;
    win32::UniqueFont font_;
    std::wstring logText_;
    bool jobRunning_ = false;
    bool closeRequested_ = false;
    bool movingData_ = false;          // the job said so: the session must wait
    bool shutdownBlocked_ = false;     // Windows has the reason for the wait
    bool blockReasonRefused_ = false;  // and recorded that it would not take one
    SteadyClock::time_point lastHandled_;  // when ReportProgress last handled messages
    int exitStatus_ = kExitNotRun;
};

}  // namespace kestrane
