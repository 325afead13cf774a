// operator.exe: runs a program and reports, line by line, what it shows.
//
//   operator.exe run [options] -- <exe> [args...]
//
// The end-to-end tests run it in the same Wine prefix as the program under
// test. It starts the program, then watches its top-level windows until it
// exits, and prints one JSON object per event on stdout, each carrying "t",
// the milliseconds since the program was started:
//
//   {"t":0,"event":"started","pid":N}
//   {"t":..,"event":"window","id":ID,"title":"..","class":"..","client_width":W,"client_height":H}
//   {"t":..,"event":"window_closed","id":ID}
//   {"t":..,"event":"log","text":".."}
//   {"t":..,"event":"progress","position":N,"low":N,"high":N,"marquee":false,"state":"normal"}
//   {"t":..,"event":"not_responding"}
//   {"t":..,"event":"responding"}
//   {"t":..,"event":"message_box","id":ID,"title":"..","text":"..","icon":"error"}
//   {"t":..,"event":"ok_pressed","id":ID}
//   {"t":..,"event":"message_box_closed","id":ID}
//   {"t":..,"event":"close_posted"}
//   {"t":..,"event":"answer","wait_ms":N[,"timed_out":true]}
//   {"t":..,"event":"holding","path":".."}
//   {"t":..,"event":"released"}
//   {"t":..,"event":"killed","reason":"file"|"after"|"timeout"}
//   {"t":..,"event":"exit","code":N}
//
// "window" is a top-level window other than a dialog becoming visible, and
// "window_closed" its going (hidden or destroyed); the first one is the main
// window, which is then told that its taskbar button exists (the registered
// message "TaskbarButtonCreated"), as the taskbar of Windows tells it. "log"
// is the full new text of the program's log: the multi-line edit box of its
// top-level window, read even while that window is hidden. The text is read
// with WM_GETTEXT, which the program's thread answers only between its own
// work: "not_responding" says that it did not answer in time, "responding"
// that it answers again. "progress" is a new state of the progress bar
// (class msctls_progress32) beside the log box: its position in its range
// (low and high, read once when the bar is found), whether it shows a
// marquee instead, and its state: "normal", "error", "paused" or "unknown".
// The bar is read before the log and reported after it, so that the log as
// last reported before a "progress" event already holds the line of the step
// the bar's state belongs to. "message_box" is a visible dialog (class
// #32770): its caption, its text (item 0xFFFF) and its icon, one of "error",
// "warning", "information", "question", "none" or "unknown". "answer" is one
// probe of the main window (--probe-ms): "t" is when the message was sent,
// wait_ms how long the window took to answer it. "holding" and "released"
// tell when the operator held a file (--hold) and let it go.
// "query_end_session" is the main window's answer (true: the session may
// end) to WM_QUERYENDSESSION, and "end_session_sent" says that WM_ENDSESSION
// followed (--end-session-when-logged). "exit" is
// always the last line; a program the operator terminated exits with 137.
// Options:
//
//   --cwd DIR               the program's current directory (default: ours)
//   --ok-delay-ms N         press OK on each message box N ms after it appeared
//                           (default: as soon as it has been read)
//   --no-ok                 leave message boxes alone
//   --close-after-ms N      post WM_CLOSE to the main window N ms after it appeared
//   --close-when-logged TEXT  post WM_CLOSE to the main window once its log holds TEXT
//   --end-session-when-logged TEXT  once the log holds TEXT, end the Windows
//                           session as a sign-out the user insists on does: ask
//                           the main window (WM_QUERYENDSESSION), then end it
//                           whatever the answer (WM_ENDSESSION)
//   --probe-ms N            send the main window a message (WM_NULL, with a time-out)
//                           every N ms while it exists, and report each answer
//   --hold PATH             open the existing file PATH, sharing nothing, before the
//                           program starts, and hold it ...
//   --hold-as-editor        ... or open it for reading and writing, sharing reads
//                           only, as an editor holds a file it has open
//   --release-when-logged TEXT  ... until the program's log holds TEXT
//   --kill-when-exists PATH terminate the program as soon as PATH exists
//   --kill-after-ms N       terminate the program N ms after its start
//   --timeout-ms N          terminate the program N ms after its start, reported as a timeout
//
// The program runs in a job object that kills it should the operator itself
// end early. Exit status: 0 when the program ran to its end (whatever its own
// exit code), 3 after a timeout, 2 for a usage error, 1 when the operator failed.
#include "common/win32_support.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using kestrane::win32::ThrowLastErrorIf;
using kestrane::win32::UniqueBitmap;
using kestrane::win32::UniqueFile;
using kestrane::win32::UniqueKernelObject;
using kestrane::win32::UniqueMemoryDC;
using kestrane::win32::UniqueScreenDC;

constexpr DWORD kPollMs = 25;
constexpr UINT kTextTimeoutMs = 100;
// A probe that has waited this long is reported as timed out.
constexpr UINT kProbeTimeoutMs = 10000;
constexpr UINT kKilledExitCode = 137;
// A message box is read once it has had time to paint its icon; after this
// long it is reported with whatever could be read.
constexpr std::int64_t kBoxSettleMs = 1000;
// Message box controls: the text is item 0xFFFF everywhere; the icon is
// item 20 on Windows and 1088 (stc1) under Wine.
constexpr int kBoxTextId = 0xFFFF;
constexpr int kBoxIconIds[] = {20, 1088};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    std::wstring workingDirectory;
    std::optional<std::int64_t> okDelayMs = 0;  // empty: never press OK
    std::optional<std::int64_t> closeAfterMs;
    std::wstring closeWhenLogged;
    std::wstring endSessionWhenLogged;
    std::optional<std::int64_t> probeMs;
    std::wstring hold;
    bool holdAsEditor = false;
    std::wstring releaseWhenLogged;
    std::wstring killWhenExists;
    std::optional<std::int64_t> killAfterMs;
    std::optional<std::int64_t> timeoutMs;
    std::vector<std::wstring> command;  // the program and its arguments
};

std::int64_t ParseMilliseconds(const std::wstring& option, const std::wstring& text)
{
    // At most a day: nine digits, so the sum below cannot overflow.
    constexpr std::int64_t kMaxMs = 86'400'000;
    std::int64_t value = 0;
    for (wchar_t digit : text) {
        if (digit < L'0' || digit > L'9' || value > kMaxMs) {
            value = kMaxMs + 1;
            break;
        }
        value = value * 10 + (digit - L'0');
    }
    if (text.empty() || value > kMaxMs) {
        throw UsageError(kestrane::win32::Narrow(option) + " needs a number of milliseconds up to a day");
    }
    return value;
}

Options ParseOptions(int argc, wchar_t** argv)
{
    if (argc < 2 || std::wstring(argv[1]) != L"run") {
        throw UsageError("the first argument must be \"run\"");
    }
    Options options;
    int i = 2;
    for (; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--") {
            ++i;
            break;
        }
        if (option == L"--no-ok") {
            options.okDelayMs.reset();
            continue;
        }
        if (option == L"--hold-as-editor") {
            options.holdAsEditor = true;
            continue;
        }
        if (i + 1 >= argc) {
            throw UsageError("unknown option or missing value: " + kestrane::win32::Narrow(option));
        }
        const wchar_t* value = argv[++i];
        if (option == L"--cwd") {
            options.workingDirectory = value;
        } else if (option == L"--ok-delay-ms") {
            options.okDelayMs = ParseMilliseconds(option, value);
        } else if (option == L"--close-after-ms") {
            options.closeAfterMs = ParseMilliseconds(option, value);
        } else if (option == L"--close-when-logged") {
            options.closeWhenLogged = value;
        } else if (option == L"--end-session-when-logged") {
            options.endSessionWhenLogged = value;
        } else if (option == L"--probe-ms") {
            options.probeMs = ParseMilliseconds(option, value);
        } else if (option == L"--hold") {
            options.hold = value;
        } else if (option == L"--release-when-logged") {
            options.releaseWhenLogged = value;
        } else if (option == L"--kill-when-exists") {
            options.killWhenExists = value;
        } else if (option == L"--kill-after-ms") {
            options.killAfterMs = ParseMilliseconds(option, value);
        } else if (option == L"--timeout-ms") {
            options.timeoutMs = ParseMilliseconds(option, value);
        } else {
            throw UsageError("unknown option: " + kestrane::win32::Narrow(option));
        }
    }
    if (options.hold.empty() != options.releaseWhenLogged.empty()) {
        throw UsageError("--hold and --release-when-logged go together");
    }
    if (options.probeMs == 0) {
        throw UsageError("--probe-ms needs a number of milliseconds above 0");
    }
    if (i >= argc) {
        throw UsageError("no program given after --");
    }
    options.command.assign(argv + i, argv + argc);
    return options;
}

// Quotes one argument so that the C runtime's command-line parser gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

std::wstring CommandLine(const std::vector<std::wstring>& command)
{
    std::wstring line;
    for (const std::wstring& argument : command) {
        if (!line.empty()) {
            line.push_back(L' ');
        }
        line += QuoteArgument(argument);
    }
    return line;
}

// JSON string literal, in plain ASCII: everything else as \u escapes.
std::string JsonString(const std::wstring& text)
{
    static const char kHex[] = "0123456789abcdef";
    std::string json = "\"";
    for (wchar_t c : text) {
        switch (c) {
        case L'"':
            json += "\\\"";
            break;
        case L'\\':
            json += "\\\\";
            break;
        case L'\r':
            json += "\\r";
            break;
        case L'\n':
            json += "\\n";
            break;
        case L'\t':
            json += "\\t";
            break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                json.push_back(static_cast<char>(c));
            } else {
                const unsigned code = static_cast<unsigned>(c);
                json += "\\u";
                for (int shift = 12; shift >= 0; shift -= 4) {
                    json.push_back(kHex[(code >> shift) & 0xF]);
                }
            }
        }
    }
    json.push_back('"');
    return json;
}

std::string JsonId(HWND window)
{
    return std::to_string(reinterpret_cast<std::uintptr_t>(window));
}

class EventWriter {
public:
    EventWriter() : out_(::GetStdHandle(STD_OUTPUT_HANDLE))
    {
        ThrowLastErrorIf(out_ == INVALID_HANDLE_VALUE || out_ == nullptr, "GetStdHandle");
    }

    void Start() { start_ = std::chrono::steady_clock::now(); }

    std::int64_t Now() const
    {
        const auto elapsed = std::chrono::steady_clock::now() - start_;
        return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    }

    // Writes {"t":..,"event":"kind"<fields>} as one line; fields start with ",".
    void Emit(const char* kind, const std::string& fields = {}) { EmitAt(Now(), kind, fields); }

    // The same for something that began at t. Safe from any thread.
    void EmitAt(std::int64_t t, const char* kind, const std::string& fields)
    {
        const std::string line =
            "{\"t\":" + std::to_string(t) + ",\"event\":\"" + kind + "\"" + fields + "}\n";
        const std::lock_guard lock(mutex_);
        DWORD written = 0;
        ThrowLastErrorIf(!::WriteFile(out_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)
                             || written != line.size(),
                         "WriteFile to stdout");
    }

private:
    HANDLE out_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
};

// Sends a window a message every interval, on a thread of its own, and
// reports how long each answer took, until the window is gone or Stop().
class Probe {
public:
    Probe(EventWriter& events, std::int64_t intervalMs) :
        events_(events),
        intervalMs_(static_cast<DWORD>(intervalMs)),
        stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        ThrowLastErrorIf(!stop_, "CreateEvent");
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    ~Probe() { Stop(); }

    void Start(HWND window)
    {
        thread_ = std::thread([this, window] { Run(window); });
    }

    void Stop()
    {
        if (!thread_.joinable()) {
            return;
        }
        // A thread that cannot be told to stop still ends once the window has
        // gone, which is when this is called.
        ::SetEvent(stop_.Get());
        thread_.join();
    }

private:
    void Run(HWND window)
    {
        do {
            const std::int64_t sent = events_.Now();
            DWORD_PTR result = 0;
            const bool answered =
                ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kProbeTimeoutMs, &result) != 0;
            if (!answered && !::IsWindow(window)) {
                return;  // gone: the program is ending
            }
            events_.EmitAt(sent, "answer",
                           ",\"wait_ms\":" + std::to_string(events_.Now() - sent)
                               + (answered ? "" : ",\"timed_out\":true"));
        } while (::WaitForSingleObject(stop_.Get(), intervalMs_) == WAIT_TIMEOUT);
    }

    EventWriter& events_;
    DWORD intervalMs_;
    UniqueKernelObject stop_;
    std::thread thread_;
};

std::wstring ClassName(HWND window)
{
    wchar_t name[256];
    const int length = ::GetClassNameW(window, name, 256);
    return length > 0 ? std::wstring(name, static_cast<std::size_t>(length)) : std::wstring();
}

// The caption, read from the window manager's copy: GetWindowText never sends
// WM_GETTEXT to another process's window, so it never waits on a busy thread
// (GetWindowTextLength would). Empty also when the window has gone.
std::wstring Caption(HWND window)
{
    wchar_t caption[1024];
    const int length = ::GetWindowTextW(window, caption, 1024);
    return std::wstring(caption, length > 0 ? static_cast<std::size_t>(length) : 0);
}

// Sends a control a message that asks for a number, across processes; false
// when the owning thread does not answer in time.
bool Ask(HWND control, UINT message, WPARAM wParam, DWORD_PTR& answer)
{
    return ::SendMessageTimeoutW(control, message, wParam, 0, SMTO_ABORTIFHUNG, kTextTimeoutMs, &answer) != 0;
}

// A progress bar's state (PBM_GETSTATE) by name.
const char* BarStateName(DWORD_PTR state)
{
    switch (state) {
    case PBST_NORMAL:
        return "normal";
    case PBST_ERROR:
        return "error";
    case PBST_PAUSED:
        return "paused";
    default:
        return "unknown";
    }
}

// A control's text through WM_GETTEXT, sent across processes; empty when the
// owning thread does not answer in time (it may be busy in a long call).
std::optional<std::wstring> ControlText(HWND control)
{
    DWORD_PTR length = 0;
    if (!Ask(control, WM_GETTEXTLENGTH, 0, length)) {
        return std::nullopt;
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(control, WM_GETTEXT, static_cast<WPARAM>(text.size()),
                               reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, kTextTimeoutMs,
                               &copied)) {
        return std::nullopt;
    }
    text.resize(std::min<std::size_t>(static_cast<std::size_t>(copied), static_cast<std::size_t>(length)));
    return text;
}

struct TopWindow {
    HWND handle;
    bool visible;
};

struct EnumState {
    DWORD processId;
    std::vector<TopWindow> windows;
    bool failed = false;
};

BOOL CALLBACK CollectTopWindow(HWND window, LPARAM param)
{
    auto* state = reinterpret_cast<EnumState*>(param);
    DWORD owner = 0;
    if (::GetWindowThreadProcessId(window, &owner) != 0 && owner == state->processId) {
        try {
            state->windows.push_back({window, ::IsWindowVisible(window) != FALSE});
        } catch (...) {
            state->failed = true;
            return FALSE;
        }
    }
    return TRUE;
}

std::vector<TopWindow> TopWindowsOf(DWORD processId)
{
    EnumState state{processId, {}};
    ThrowLastErrorIf(!::EnumWindows(CollectTopWindow, reinterpret_cast<LPARAM>(&state)) || state.failed,
                     "EnumWindows");
    return state.windows;
}

BOOL CALLBACK FindLogBox(HWND child, LPARAM param)
{
    const LONG_PTR style = ::GetWindowLongPtrW(child, GWL_STYLE);
    if ((style & ES_MULTILINE) != 0
        && ::CompareStringOrdinal(ClassName(child).c_str(), -1, L"Edit", -1, TRUE) == CSTR_EQUAL) {
        *reinterpret_cast<HWND*>(param) = child;
        return FALSE;
    }
    return TRUE;
}

// The window's multi-line edit box, the program's log, if it has one.
HWND LogBoxOf(HWND window)
{
    HWND logBox = nullptr;
    ::EnumChildWindows(window, FindLogBox, reinterpret_cast<LPARAM>(&logBox));
    return logBox;
}

// Which standard icon a message box shows: its icon control is captured from
// the screen and compared with each standard icon drawn on the same background.
std::wstring IconKind(HWND box)
{
    HWND icon = nullptr;
    for (int id : kBoxIconIds) {
        HWND control = ::GetDlgItem(box, id);
        if (control != nullptr && (::GetWindowLongPtrW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            icon = control;
            break;
        }
    }
    DWORD_PTR shownIcon = 0;
    if (icon == nullptr || !::IsWindowVisible(icon)
        || (::SendMessageTimeoutW(icon, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kTextTimeoutMs, &shownIcon)
            && shownIcon == 0)) {
        return L"none";
    }
    RECT rect;
    if (!::GetWindowRect(icon, &rect)) {
        return L"unknown";
    }
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0 || width > 256 || height > 256) {
        return L"unknown";
    }

    UniqueScreenDC screen(::GetDC(nullptr));
    ThrowLastErrorIf(!screen, "GetDC");
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    UniqueBitmap bitmap(::CreateDIBSection(screen.Get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    ThrowLastErrorIf(!bitmap || bits == nullptr, "CreateDIBSection");
    // Declared after the bitmap, so deleted before it: a bitmap still selected
    // into a device context cannot be deleted.
    UniqueMemoryDC memory(::CreateCompatibleDC(screen.Get()));
    ThrowLastErrorIf(!memory, "CreateCompatibleDC");
    const HGDIOBJ previous = ::SelectObject(memory.Get(), bitmap.Get());
    ThrowLastErrorIf(previous == nullptr || previous == HGDI_ERROR, "SelectObject");
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    auto* pixels = static_cast<std::uint32_t*>(bits);
    if (!::BitBlt(memory.Get(), 0, 0, width, height, screen.Get(), rect.left, rect.top, SRCCOPY)) {
        return L"unknown";  // the screen cannot be read here
    }
    ThrowLastErrorIf(!::GdiFlush(), "GdiFlush");
    const std::vector<std::uint32_t> shown(pixels, pixels + count);
    const std::uint32_t background = shown[0];
    if (std::all_of(shown.begin(), shown.end(), [&](std::uint32_t pixel) { return pixel == background; })) {
        return L"unknown";  // not painted yet
    }

    struct Candidate {
        const wchar_t* kind;
        LPCWSTR resource;
    };
    static const Candidate kCandidates[] = {{L"error", IDI_ERROR},
                                            {L"warning", IDI_WARNING},
                                            {L"information", IDI_INFORMATION},
                                            {L"question", IDI_QUESTION}};
    const wchar_t* best = L"unknown";
    std::size_t bestDifferent = count / 10;  // more than 10% different pixels is no match
    for (const Candidate& candidate : kCandidates) {
        const HICON standard = ::LoadIconW(nullptr, candidate.resource);
        ThrowLastErrorIf(standard == nullptr, "LoadIcon");
        std::fill(pixels, pixels + count, background);
        ThrowLastErrorIf(!::DrawIconEx(memory.Get(), 0, 0, standard, width, height, 0, nullptr, DI_NORMAL),
                         "DrawIconEx");
        ThrowLastErrorIf(!::GdiFlush(), "GdiFlush");
        std::size_t different = 0;
        for (std::size_t i = 0; i < count; ++i) {
            for (int shift = 0; shift < 24; shift += 8) {
                const int a = static_cast<int>((shown[i] >> shift) & 0xFF);
                const int b = static_cast<int>((pixels[i] >> shift) & 0xFF);
                if (std::abs(a - b) > 24) {
                    ++different;
                    break;
                }
            }
        }
        if (different < bestDifferent) {
            bestDifferent = different;
            best = candidate.kind;
        }
    }
    return best;
}

class Watcher {
public:
    Watcher(const Options& options, EventWriter& events, HANDLE process, DWORD processId, UniqueFile held) :
        options_(options),
        events_(events),
        process_(process),
        processId_(processId),
        held_(std::move(held))
    {
        if (options_.probeMs) {
            probe_.emplace(events_, *options_.probeMs);
        }
    }

    // Looks at the program's windows once and reports what changed.
    void Scan()
    {
        const std::vector<TopWindow> windows = TopWindowsOf(processId_);
        std::set<HWND> visible;
        for (const TopWindow& window : windows) {
            if (window.visible) {
                visible.insert(window.handle);
            }
        }
        ReportClosed(visible);
        // The log first: a message box that appears in the same poll came after it.
        std::vector<HWND> boxes;
        for (const TopWindow& window : windows) {
            const std::wstring className = ClassName(window.handle);
            if (className == L"#32770") {
                if (window.visible) {
                    boxes.push_back(window.handle);
                }
            } else if (!className.empty()) {  // empty: gone while we looked
                SeeWindow(window.handle, className, window.visible);
            }
        }
        // See "progress" above for this order. A bar read while the log
        // could not be is read again at the next scan, with the log.
        const std::optional<std::string> bar = ReadProgressBar();
        if (ReadLog()) {
            ReportProgressBar(bar);
        }
        for (HWND box : boxes) {
            SeeMessageBox(box);
        }
    }

    // Presses, closes and kills that are due.
    void Act()
    {
        const std::int64_t now = events_.Now();
        for (auto& [box, state] : boxes_) {
            if (state.reported && !state.pressed && options_.okDelayMs
                && now >= state.shownAt + *options_.okDelayMs) {
                state.pressed = true;
                if (Post(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0)) {
                    events_.Emit("ok_pressed", ",\"id\":" + JsonId(box));
                }
            }
        }
        if (held_ && log_.find(options_.releaseWhenLogged) != std::wstring::npos) {
            held_.Reset();
            events_.Emit("released");
        }
        const bool closeDue = (options_.closeAfterMs && now >= mainShownAt_ + *options_.closeAfterMs)
                              || (!options_.closeWhenLogged.empty()
                                  && log_.find(options_.closeWhenLogged) != std::wstring::npos);
        if (mainWindow_ != nullptr && !closePosted_ && closeDue) {
            closePosted_ = true;
            if (Post(mainWindow_, WM_CLOSE, 0, 0)) {
                events_.Emit("close_posted");
            }
        }
        if (mainWindow_ != nullptr && !sessionEnded_ && !options_.endSessionWhenLogged.empty()
            && log_.find(options_.endSessionWhenLogged) != std::wstring::npos) {
            sessionEnded_ = true;
            EndSession();
        }
        if (!options_.killWhenExists.empty()
            && ::GetFileAttributesW(options_.killWhenExists.c_str()) != INVALID_FILE_ATTRIBUTES) {
            Kill("file");
        } else if (options_.killAfterMs && now >= *options_.killAfterMs) {
            Kill("after");
        } else if (options_.timeoutMs && now >= *options_.timeoutMs) {
            timedOut_ = true;
            Kill("timeout");
        }
    }

    bool TimedOut() const { return timedOut_; }

    // Asks the main window whether the session may end, and ends it.
    void EndSession()
    {
        DWORD_PTR answer = 0;
        if (::SendMessageTimeoutW(mainWindow_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                  kProbeTimeoutMs, &answer)
            == 0) {
            throw std::runtime_error("the main window did not answer WM_QUERYENDSESSION");
        }
        events_.Emit("query_end_session", std::string(",\"answer\":") + (answer != FALSE ? "true" : "false"));
        // The program may end before it answers this one.
        DWORD_PTR ignored = 0;
        static_cast<void>(::SendMessageTimeoutW(mainWindow_, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF,
                                                SMTO_NORMAL, kProbeTimeoutMs, &ignored));
        events_.Emit("end_session_sent");
    }

    // Ends the probe, whose reports must all come before the exit's.
    void StopProbe()
    {
        if (probe_) {
            probe_->Stop();
        }
    }

private:
    struct BoxState {
        std::int64_t shownAt;
        bool reported = false;
        bool pressed = false;
    };

    void ReportClosed(const std::set<HWND>& visible)
    {
        for (auto it = boxes_.begin(); it != boxes_.end();) {
            if (visible.count(it->first) == 0) {
                if (!it->second.reported) {
                    ReportMessageBox(it->first, L"unknown");
                }
                events_.Emit("message_box_closed", ",\"id\":" + JsonId(it->first));
                it = boxes_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = shownWindows_.begin(); it != shownWindows_.end();) {
            if (visible.count(*it) == 0) {
                events_.Emit("window_closed", ",\"id\":" + JsonId(*it));
                it = shownWindows_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void SeeMessageBox(HWND box)
    {
        const std::int64_t now = events_.Now();
        auto [it, added] = boxes_.try_emplace(box, BoxState{now});
        if (it->second.reported) {
            return;
        }
        const std::wstring icon = IconKind(box);
        if (icon != L"unknown" || now - it->second.shownAt >= kBoxSettleMs) {
            ReportMessageBox(box, icon);
            it->second.reported = true;
        }
    }

    void ReportMessageBox(HWND box, const std::wstring& icon)
    {
        std::wstring text;
        if (HWND item = ::GetDlgItem(box, kBoxTextId)) {
            text = ControlText(item).value_or(L"");
        }
        events_.Emit("message_box", ",\"id\":" + JsonId(box) + ",\"title\":" + JsonString(Caption(box))
                                        + ",\"text\":" + JsonString(text) + ",\"icon\":" + JsonString(icon));
    }

    void SeeWindow(HWND window, const std::wstring& className, bool visible)
    {
        if (logBox_ == nullptr) {
            logBox_ = LogBoxOf(window);
            if (logBox_ != nullptr) {
                logOwner_ = window;
            }
        }
        if (!visible || shownWindows_.count(window) != 0) {
            return;
        }
        shownWindows_.insert(window);
        RECT client{};
        if (!::GetClientRect(window, &client)) {
            return;  // destroyed while we looked
        }
        events_.Emit("window", ",\"id\":" + JsonId(window) + ",\"title\":" + JsonString(Caption(window))
                                   + ",\"class\":" + JsonString(className)
                                   + ",\"client_width\":" + std::to_string(client.right - client.left)
                                   + ",\"client_height\":" + std::to_string(client.bottom - client.top));
        if (mainWindow_ == nullptr && (logOwner_ == nullptr || logOwner_ == window)) {
            mainWindow_ = window;
            mainShownAt_ = events_.Now();
            TellTaskbarButtonCreated(window);
            if (probe_) {
                probe_->Start(window);
            }
        }
    }

    // False when the log box's thread did not answer in time: the log as
    // reported may then be older than what the program shows.
    bool ReadLog()
    {
        if (logBox_ == nullptr) {
            return true;
        }
        if (!::IsWindow(logBox_)) {
            logBox_ = nullptr;
            return true;
        }
        const std::optional<std::wstring> text = ControlText(logBox_);
        if (!text) {
            if (responding_ && ::IsWindow(logBox_)) {
                responding_ = false;
                events_.Emit("not_responding");
            }
            return false;
        }
        if (!responding_) {
            responding_ = true;
            events_.Emit("responding");
        }
        if (*text != log_) {
            log_ = *text;
            events_.Emit("log", ",\"text\":" + JsonString(log_));
        }
        return true;
    }

    // The progress bar's state, as the fields of a "progress" event; nothing
    // before the bar is found, once it has gone, or while its thread does
    // not answer in time.
    std::optional<std::string> ReadProgressBar()
    {
        if (progressBar_ == nullptr && logOwner_ != nullptr) {
            progressBar_ = ::FindWindowExW(logOwner_, nullptr, PROGRESS_CLASSW, nullptr);
            if (progressBar_ != nullptr
                && !(Ask(progressBar_, PBM_GETRANGE, TRUE, barLow_)
                     && Ask(progressBar_, PBM_GETRANGE, FALSE, barHigh_))) {
                progressBar_ = nullptr;  // looked for again at the next scan
            }
        }
        DWORD_PTR position = 0;
        DWORD_PTR state = 0;
        if (progressBar_ == nullptr || !Ask(progressBar_, PBM_GETPOS, 0, position)
            || !Ask(progressBar_, PBM_GETSTATE, 0, state)) {
            return std::nullopt;
        }
        const bool marquee = (::GetWindowLongPtrW(progressBar_, GWL_STYLE) & PBS_MARQUEE) != 0;
        std::string fields = ",\"position\":" + std::to_string(static_cast<int>(position));
        fields += ",\"low\":" + std::to_string(static_cast<int>(barLow_));
        fields += ",\"high\":" + std::to_string(static_cast<int>(barHigh_));
        fields += std::string(",\"marquee\":") + (marquee ? "true" : "false");
        return fields + ",\"state\":\"" + BarStateName(state) + "\"";
    }

    void ReportProgressBar(const std::optional<std::string>& bar)
    {
        if (bar && *bar != progress_) {
            progress_ = *bar;
            events_.Emit("progress", progress_);
        }
    }

    // Tells the main window that its taskbar button exists, as the taskbar of
    // Windows does once the window shows, and as no taskbar does here.
    void TellTaskbarButtonCreated(HWND window)
    {
        const UINT buttonCreated = ::RegisterWindowMessageW(L"TaskbarButtonCreated");
        ThrowLastErrorIf(buttonCreated == 0, "RegisterWindowMessage");
        Post(window, buttonCreated, 0, 0);
    }

    // Posts a message to a window that may have gone meanwhile; false if it has.
    bool Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (::PostMessageW(window, message, wParam, lParam)) {
            return true;
        }
        ThrowLastErrorIf(::GetLastError() != ERROR_INVALID_WINDOW_HANDLE, "PostMessage");
        return false;
    }

    void Kill(const char* reason)
    {
        if (killed_) {
            return;
        }
        killed_ = true;
        ThrowLastErrorIf(!::TerminateProcess(process_, kKilledExitCode), "TerminateProcess");
        events_.Emit("killed", std::string(",\"reason\":\"") + reason + "\"");
    }

    const Options& options_;
    EventWriter& events_;
    HANDLE process_;
    DWORD processId_;
    std::map<HWND, BoxState> boxes_;
    std::set<HWND> shownWindows_;
    HWND mainWindow_ = nullptr;
    std::int64_t mainShownAt_ = 0;
    HWND logOwner_ = nullptr;
    HWND logBox_ = nullptr;
    std::wstring log_;
    HWND progressBar_ = nullptr;
    DWORD_PTR barLow_ = 0;
    DWORD_PTR barHigh_ = 0;
    std::string progress_;  // the fields of the last "progress" event
    bool responding_ = true;
    bool closePosted_ = false;
    bool sessionEnded_ = false;
    bool killed_ = false;
    bool timedOut_ = false;
    UniqueFile held_;
    std::optional<Probe> probe_;  // last: its thread ends before the rest goes
};

int Run(const Options& options)
{
    EventWriter events;

    // The job kills the program when the operator ends, however it ends.
    UniqueKernelObject job(::CreateJobObjectW(nullptr, nullptr));
    ThrowLastErrorIf(!job, "CreateJobObject");
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ThrowLastErrorIf(
        !::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)),
        "SetInformationJobObject");

    // Held before the program starts, so that it meets the file held.
    UniqueFile held;
    if (!options.hold.empty()) {
        const DWORD access = options.holdAsEditor ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
        const DWORD sharing = options.holdAsEditor ? FILE_SHARE_READ : 0;
        held.Reset(::CreateFileW(options.hold.c_str(), access, sharing, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        ThrowLastErrorIf(!held, "Holding " + kestrane::win32::Narrow(options.hold));
    }

    std::wstring commandLine = CommandLine(options.command);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    // Converted before the call: a conversion between a failure and the
    // reading of its error code could change that code.
    const std::string program = kestrane::win32::Narrow(options.command.front());
    ThrowLastErrorIf(
        !::CreateProcessW(options.command.front().c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_SUSPENDED, nullptr,
                          options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(),
                          &startup, &started),
        "CreateProcess of " + program);
    UniqueKernelObject process(started.hProcess);
    UniqueKernelObject thread(started.hThread);
    if (!::AssignProcessToJobObject(job.Get(), process.Get())) {
        const DWORD error = ::GetLastError();
        ::TerminateProcess(process.Get(), kKilledExitCode);
        throw std::runtime_error("AssignProcessToJobObject failed: "
                                 + kestrane::win32::SystemErrorText(error));
    }
    events.Start();
    ThrowLastErrorIf(::ResumeThread(thread.Get()) == static_cast<DWORD>(-1), "ResumeThread");
    events.Emit("started", ",\"pid\":" + std::to_string(started.dwProcessId));
    if (held) {
        events.Emit("holding", ",\"path\":" + JsonString(options.hold));
    }

    Watcher watcher(options, events, process.Get(), started.dwProcessId, std::move(held));
    for (;;) {
        const DWORD wait = ::WaitForSingleObject(process.Get(), kPollMs);
        ThrowLastErrorIf(wait == WAIT_FAILED, "WaitForSingleObject");
        watcher.Scan();
        if (wait == WAIT_OBJECT_0) {
            break;
        }
        watcher.Act();
    }
    watcher.StopProbe();
    DWORD exitCode = 0;
    ThrowLastErrorIf(!::GetExitCodeProcess(process.Get(), &exitCode), "GetExitCodeProcess");
    events.Emit("exit", ",\"code\":" + std::to_string(exitCode));
    return watcher.TimedOut() ? 3 : 0;
}

void PrintError(const std::string& text)
{
    const std::string line = "operator: " + text + "\n";
    DWORD written = 0;
    if (!::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
                     nullptr)) {
        ::OutputDebugStringA(line.c_str());  // no stderr: the debugger is the last resort
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    try {
        return Run(ParseOptions(argc, argv));
    } catch (const UsageError& error) {
        PrintError(std::string(error.what())
                   + "\nusage: operator.exe run [--cwd DIR] [--ok-delay-ms N | --no-ok] [--close-after-ms N]"
                     " [--close-when-logged TEXT] [--end-session-when-logged TEXT] [--probe-ms N] [--hold "
                     "PATH [--hold-as-editor] --release-when-logged TEXT]"
                     " [--kill-when-exists PATH] [--kill-after-ms N] [--timeout-ms N] -- <exe> [args...]");
        return 2;
    } catch (const std::exception& error) {
        PrintError(error.what());
        return 1;
    }
}
