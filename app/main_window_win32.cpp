#include "app/main_window_win32.h"

#include "app/dpi_win32.h"
#include "app/resource.h"
#include "common/program_end_win32.h"

#include <commctrl.h>

#include <stdexcept>

namespace kestrane {
namespace {

using win32::ThrowLastErrorIf;

constexpr const wchar_t* kWindowClass = L"KestraneForm1";
// Timer1, the start timer: it fires once and runs the job.
constexpr UINT_PTR kTimer1 = 1;
constexpr UINT kStartDelayMs = 5000;
constexpr const wchar_t* kFirstLogLine = L"Looking for Handheld...";
// What Windows shows, beside the program's name, when the user signs out or
// shuts down while the job moves data.
constexpr const wchar_t* kShutdownBlockReason = L"Kestrane is sending the handheld's data";
// How often a long step's progress reports let the window handle its
// messages: often enough to answer well within a second, seldom enough to
// cost the step nothing.
constexpr auto kAnswerInterval = std::chrono::milliseconds(50);

// Sizes in pixels at 96 dpi (the window was laid out in twips, 15 to a pixel).
constexpr int kClientWidth = 173;               // 2595 twips
constexpr RECT kLogBox = {2, 0, 2 + 169, 269};  // left 30, width 2535, height 4035 twips
// The progress bar, as wide as the log box and the height of a dialog's, below it.
constexpr RECT kProgressBar = {2, 273, 2 + 169, 273 + 14};
constexpr int kClientHeight = kProgressBar.bottom + 3;

// The controls' identifiers, named after the controls. Only txtLog and
// barProgress are used: the others lie under the log box, and nothing reads them.
enum ControlId : int {
    txtLog = 100,
    txtHost,
    txtUser,
    txtPassword,
    Command2,
    lblHost,
    lblUser,
    lblPassword,
    barProgress,
};

struct CoveredControl {
    ControlId id;
    const wchar_t* className;
    const wchar_t* text;
    DWORD style;
    RECT bounds;  // at 96 dpi, inside the log box
};

constexpr CoveredControl kCoveredControls[] = {
    {lblHost, L"STATIC", L"Host:", 0, {8, 8, 80, 24}},
    {txtHost, L"EDIT", L"", ES_AUTOHSCROLL | WS_BORDER, {8, 24, 160, 44}},
    {lblUser, L"STATIC", L"UserName:", 0, {8, 52, 80, 68}},
    {txtUser, L"EDIT", L"", ES_AUTOHSCROLL | WS_BORDER, {8, 68, 160, 88}},
    {lblPassword, L"STATIC", L"Password:", 0, {8, 96, 80, 112}},
    {txtPassword, L"EDIT", L"", ES_AUTOHSCROLL | ES_PASSWORD | WS_BORDER, {8, 112, 160, 132}},
    {Command2, L"BUTTON", L"Send File", BS_PUSHBUTTON, {8, 144, 100, 170}},
};

int Scale(int pixels, UINT dpi)
{
    return ::MulDiv(pixels, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
}

// The bar's colour for a mode: green, red for an error, yellow for a pause.
WPARAM BarStateOf(ProgressMode mode)
{
    switch (mode) {
    case ProgressMode::Failed:
        return PBST_ERROR;
    case ProgressMode::Warned:
        return PBST_PAUSED;
    case ProgressMode::Busy:
    case ProgressMode::Measured:
    case ProgressMode::Finished:
        break;
    }
    return PBST_NORMAL;
}

UINT IconFor(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Information:
        return MB_ICONINFORMATION;
    case MessageKind::Warning:
        return MB_ICONWARNING;
    case MessageKind::Error:
        break;
    }
    return MB_ICONERROR;
}

}  // namespace

void ShowProgramMessage(HWND owner, const std::string& text, MessageKind kind)
{
    // After a long wait the user may be working in another program. Windows
    // lets a program take the foreground only in some cases; in the others
    // the flashing taskbar button says that Kestrane has something to say.
    if (owner != nullptr && ::GetForegroundWindow() != owner) {
        FLASHWINFO flash{};
        flash.cbSize = sizeof flash;
        flash.hwnd = owner;
        flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
        // What FlashWindowEx returns is the window's state before the call, not an error.
        ::FlashWindowEx(&flash);
    }
    const int pressed = ::MessageBoxW(owner, win32::Widen(text).c_str(), kProgramTitle,
                                      MB_OK | MB_SETFOREGROUND | IconFor(kind));
    ThrowLastErrorIf(pressed == 0, "MessageBoxW");
}

int Form1::Run(HINSTANCE instance, int showCommand, std::function<int()> transferJob)
{
    transferJob_ = std::move(transferJob);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Form1::WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_KESTRANE));
    windowClass.hIconSm = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_KESTRANE),
                                                          IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                          ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    ThrowLastErrorIf(windowClass.hIcon == nullptr || windowClass.hIconSm == nullptr
                         || windowClass.hCursor == nullptr,
                     "Loading the window's icon");
    ThrowLastErrorIf(::RegisterClassExW(&windowClass) == 0, "RegisterClassExW");

    // The window is sized once it knows its monitor's dpi (WM_CREATE).
    constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    const HWND created =
        ::CreateWindowExW(0, kWindowClass, kProgramTitle, kStyle, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, nullptr, nullptr, instance, this);
    ThrowLastErrorIf(created == nullptr, "CreateWindowExW");
    ::ShowWindow(window_, showCommand);
    ThrowLastErrorIf(!::UpdateWindow(window_), "UpdateWindow");

    MSG message{};
    for (;;) {
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        ThrowLastErrorIf(got == -1, "GetMessageW");
        if (got == 0) {
            break;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return exitStatus_;
}

LRESULT CALLBACK Form1::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* form = static_cast<Form1*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        form->window_ = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<Form1*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (form == nullptr) {
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    // No exception may cross back into the system: report it and end.
    try {
        return form->HandleMessage(message, wParam, lParam);
    } catch (const std::exception& error) {
        form->exitStatus_ = kExitFailed;
        ::MessageBoxW(
            window,
            win32::Widen(std::string("Kestrane stopped because of an unexpected error: ") + error.what())
                .c_str(),
            kProgramTitle, MB_OK | MB_ICONERROR);
        ::DestroyWindow(window);
        return 0;
    }
}

LRESULT Form1::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (taskbar_ && taskbar_->IsButtonCreated(message)) {
        taskbar_->ButtonCreated();
        return 0;
    }
    switch (message) {
    case WM_CREATE:
        CreateControls();
        ApplyDpi(dpi::ForWindow(window_));
        taskbar_.emplace(window_);
        SetLogText(kFirstLogLine);
        ShowProgress({ProgressMode::Busy, 0});
        ThrowLastErrorIf(::SetTimer(window_, kTimer1, kStartDelayMs, nullptr) == 0, "SetTimer");
        return 0;

    case WM_TIMER:
        if (wParam == kTimer1) {
            OnStartTimer();
            return 0;
        }
        break;

    case WM_DPICHANGED: {
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        ApplyDpi(HIWORD(wParam));
        ThrowLastErrorIf(!::SetWindowPos(window_, nullptr, suggested->left, suggested->top,
                                         suggested->right - suggested->left,
                                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE),
                         "SetWindowPos");
        return 0;
    }

    case WM_CTLCOLORSTATIC:
        // The read-only log box keeps the look of a text box, not of a label.
        if (reinterpret_cast<HWND>(lParam) == txtLog_) {
            HDC context = reinterpret_cast<HDC>(wParam);
            ::SetTextColor(context, ::GetSysColor(COLOR_WINDOWTEXT));
            ::SetBkColor(context, ::GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
        }
        break;

    case WM_CLOSE:
        // While the job runs it decides when stopping loses nothing.
        if (jobRunning_) {
            closeRequested_ = true;
            return 0;
        }
        ThrowLastErrorIf(!::DestroyWindow(window_), "DestroyWindow");
        return 0;

    case WM_QUERYENDSESSION:
        // While data moves the session waits: Windows shows the reason, and
        // the user decides. At any other moment the run may be cut short.
        if (movingData_) {
            runLog_.Record("Windows asked to end the session while Kestrane was moving the handheld's data: "
                           "Kestrane asked it to wait");
            return FALSE;
        }
        return TRUE;

    case WM_ENDSESSION:
        if (wParam) {
            OnSessionEnded(lParam);
        }
        return 0;

    case WM_DESTROY:
        ::PostQuitMessage(exitStatus_);
        return 0;

    default:
        break;
    }
    return ::DefWindowProcW(window_, message, wParam, lParam);
}

void Form1::CreateControls()
{
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(window_, GWLP_HINSTANCE));
    for (const CoveredControl& control : kCoveredControls) {
        HWND created = ::CreateWindowExW(
            0, control.className, control.text, WS_CHILD | control.style, 0, 0, 0, 0, window_,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), instance, nullptr);
        ThrowLastErrorIf(created == nullptr, "Creating a control");
    }

    txtLog_ = ::CreateWindowExW(
        WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
        0, 0, 0, 0, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(txtLog)), instance, nullptr);
    ThrowLastErrorIf(txtLog_ == nullptr, "Creating the log box");
    // The log box lies over the covered controls.
    ThrowLastErrorIf(!::SetWindowPos(txtLog_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE), "SetWindowPos");

    INITCOMMONCONTROLSEX commonControls{sizeof commonControls, ICC_PROGRESS_CLASS};
    ThrowLastErrorIf(!::InitCommonControlsEx(&commonControls), "InitCommonControlsEx");
    barProgress_ =
        ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window_,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(barProgress)), instance, nullptr);
    ThrowLastErrorIf(barProgress_ == nullptr, "Creating the progress bar");
    ::SendMessageW(barProgress_, PBM_SETRANGE32, 0, kProgressRange);
}

void Form1::ApplyDpi(UINT dpi)
{
    const NONCLIENTMETRICSW metrics = dpi::NonClientMetrics(dpi);
    win32::UniqueFont font(::CreateFontIndirectW(&metrics.lfMessageFont));
    ThrowLastErrorIf(!font, "CreateFontIndirectW");

    RECT frame = {0, 0, Scale(kClientWidth, dpi), Scale(kClientHeight, dpi)};
    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(window_, GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(::GetWindowLongPtrW(window_, GWL_EXSTYLE));
    dpi::AdjustFrame(frame, style, exStyle, dpi);
    ThrowLastErrorIf(!::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left,
                                     frame.bottom - frame.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE),
                     "SetWindowPos");

    auto place = [&](HWND control, const RECT& bounds) {
        ThrowLastErrorIf(!::SetWindowPos(control, nullptr, Scale(bounds.left, dpi), Scale(bounds.top, dpi),
                                         Scale(bounds.right - bounds.left, dpi),
                                         Scale(bounds.bottom - bounds.top, dpi),
                                         SWP_NOZORDER | SWP_NOACTIVATE),
                         "SetWindowPos");
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.Get()), TRUE);
    };
    place(txtLog_, kLogBox);
    place(barProgress_, kProgressBar);
    for (const CoveredControl& control : kCoveredControls) {
        place(::GetDlgItem(window_, control.id), control.bounds);
    }
    // The controls now use the new font; the old one may go.
    font_ = std::move(font);
}

void Form1::SetLogText(const std::wstring& text)
{
    logText_ = text;
    ThrowLastErrorIf(!::SetWindowTextW(txtLog_, logText_.c_str()), "SetWindowTextW");
    // Keep the newest line in view, then paint now: the job does not return
    // to the message loop between its steps.
    const auto end = static_cast<WPARAM>(logText_.size());
    ::SendMessageW(txtLog_, EM_SETSEL, end, static_cast<LPARAM>(end));
    ::SendMessageW(txtLog_, EM_SCROLLCARET, 0, 0);
    ThrowLastErrorIf(!::RedrawWindow(txtLog_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE),
                     "RedrawWindow");
}

void Form1::ShowProgress(const ProgressView& view)
{
    if (progressShown_ == view) {
        return;
    }
    progressShown_ = view;
    progressShownAt_ = SteadyClock::now();
    const bool busy = view.mode == ProgressMode::Busy;
    const auto style = ::GetWindowLongPtrW(barProgress_, GWL_STYLE);
    const auto wanted = busy ? style | PBS_MARQUEE : style & ~static_cast<LONG_PTR>(PBS_MARQUEE);
    if (wanted != style) {
        // The style of a child window is never 0: 0 means the call failed.
        ThrowLastErrorIf(::SetWindowLongPtrW(barProgress_, GWL_STYLE, wanted) == 0, "SetWindowLongPtrW");
        // The bar repaints only what a new position changes: the marquee's
        // last place, or the position before it, would stay.
        ThrowLastErrorIf(!::InvalidateRect(barProgress_, nullptr, TRUE), "InvalidateRect");
    }
    // The marquee moves on a timer of the bar's own, whenever the window's
    // messages are handled.
    ::SendMessageW(barProgress_, PBM_SETMARQUEE, busy, 0);
    if (!busy) {
        ::SendMessageW(barProgress_, PBM_SETSTATE, BarStateOf(view.mode), 0);
        ::SendMessageW(barProgress_, PBM_SETPOS, static_cast<WPARAM>(view.position), 0);
    }
    taskbar_->Show(view);
}

void Form1::LogLine(const std::string& line)
{
    SetLogText(logText_ + L"\r\n" + win32::Widen(line));
    // Each line begins a step, which has not yet said how far it has got.
    ShowProgress({ProgressMode::Busy, 0});
}

void Form1::ShowMessage(const std::string& text, MessageKind kind)
{
    ShowProgress(MessageView(progressShown_.value_or(ProgressView{}), kind));
    ShowProgramMessage(window_, text, kind);
}

void Form1::PumpMessages()
{
    const DWORD woke = ::MsgWaitForMultipleObjectsEx(0, nullptr, 100, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    ThrowLastErrorIf(woke == WAIT_FAILED, "MsgWaitForMultipleObjectsEx");
    HandlePendingMessages();
    StopIfClosed();
}

void Form1::Wake() noexcept
{
    // A posted message ends MsgWaitForMultipleObjectsEx's wait, even one
    // that begins after the post (MWMO_INPUTAVAILABLE).
    if (!::PostMessageW(window_, WM_NULL, 0, 0)) {
        // The queue is full: the wait ends at its tenth of a second instead.
    }
}

void Form1::ReportProgress(const Progress& progress)
{
    const SteadyClock::time_point now = SteadyClock::now();
    if (const ProgressView view = MeasuredView(progress);
        WorthShowing(progressShown_, view, now - progressShownAt_)) {
        ShowProgress(view);
    }
    if (now - lastHandled_ >= kAnswerInterval) {
        lastHandled_ = now;
        HandlePendingMessages();
    }
    StopIfClosed();
}

void Form1::MovingData(bool moving) noexcept
{
    if (moving == movingData_) {
        return;
    }
    movingData_ = moving;
    // Only a record can fail here (for want of memory), and it is let go.
    try {
        if (!moving) {
            if (shutdownBlocked_) {
                // Were the reason to stay, Windows would only show it a while longer.
                shutdownBlocked_ = false;
                if (!::ShutdownBlockReasonDestroy(window_)) {
                    runLog_.Record("Windows kept the reason why Kestrane held up the end of the session");
                }
            }
            return;
        }
        if (::ShutdownBlockReasonCreate(window_, kShutdownBlockReason)) {
            shutdownBlocked_ = true;
            return;
        }
        // Without a reason, Windows still asks the window before it ends the
        // session; it only cannot tell the user why Kestrane wants it to wait.
        const DWORD code = ::GetLastError();
        if (!blockReasonRefused_) {
            blockReasonRefused_ = true;
            runLog_.Record("Windows did not take the reason why Kestrane holds up the end of the session, "
                           "and Kestrane goes on. ShutdownBlockReasonCreate: "
                           + win32::SystemErrorText(code));
        }
    } catch (...) {
    }
}

void Form1::OnSessionEnded(LPARAM reason)
{
    // Windows may end the process at any moment once this message has been
    // answered, so the program ends itself first, with the run log complete.
    // The files are in one of the working folder's states, which the next
    // run settles, as it does after a power cut.
    const char* how = (reason & ENDSESSION_LOGOFF) != 0 ? "the user signed out" : "Windows shut down";
    runLog_.Record(std::string("The Windows session ended while Kestrane ran (") + how
                   + "): Kestrane stopped there, and its next run takes over what this one left");
    RecordEnd(runLog_, kExitFailed);
    win32::EndProgram(kExitFailed);
}

void Form1::HandlePendingMessages()
{
    MSG message{};
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Not ours to take: hand it back to the main loop.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            closeRequested_ = true;
            break;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void Form1::StopIfClosed() const
{
    if (closeRequested_) {
        throw WindowClosed();
    }
}

void Form1::OnStartTimer()
{
    ThrowLastErrorIf(!::KillTimer(window_, kTimer1), "KillTimer");
    jobRunning_ = true;
    exitStatus_ = transferJob_();
    jobRunning_ = false;
    ThrowLastErrorIf(!::DestroyWindow(window_), "DestroyWindow");
}

}  // namespace kestrane
