// Form1, the program's one window: a log box that reports the job's
// progress, and the start timer that runs the transfer job once, five
// seconds after the window is created.
#pragma once

#include "app/transfer_job.h"
#include "common/job_window.h"
#include "common/win32_support.h"

#include <windows.h>

#include <functional>
#include <string>

namespace kestrane {

inline constexpr const wchar_t* kProgramTitle = L"Kestrane";

// Exit statuses of the program.
inline constexpr int kExitCompleted = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitNoData = 2;
inline constexpr int kExitNotRun = 3;  // the window was closed before the job touched anything

// Shows a message box titled with the program's title and waits for OK. The
// box comes to the front; where Windows does not allow that, the owner's
// taskbar button flashes until the user turns to it.
void ShowProgramMessage(HWND owner, const std::string& text, MessageKind kind);

class Form1 final : public JobWindow {
public:
    Form1() = default;
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // Creates and shows the window, runs its message loop until the window
    // is gone, and returns the program's exit status. The start timer runs
    // transferJob once; the window reports how it ended.
    int Run(HINSTANCE instance, int showCommand, std::function<JobOutcome()> transferJob);

    void LogLine(const std::string& line) override;
    void ShowMessage(const std::string& text, MessageKind kind) override;
    bool PumpMessages() override;
    bool ReportProgress(const Progress& progress) override;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    void CreateControls();
    void ApplyDpi(UINT dpi);
    void HandlePendingMessages();
    void OnStartTimer();
    int RunTransferJob();
    void SetLogText(const std::wstring& text);

    std::function<JobOutcome()> transferJob_;
    HWND window_ = nullptr;
    HWND txtLog_ = nullptr;
    win32::UniqueFont font_;
    std::wstring logText_;
    bool jobRunning_ = false;
    bool closeRequested_ = false;
    DWORD lastHandled_ = 0;  // when ReportProgress last handled messages (GetTickCount)
    int exitStatus_ = kExitNotRun;
};

}  // namespace kestrane
