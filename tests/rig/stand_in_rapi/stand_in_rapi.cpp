// Kestrane's stand-in for rapi.dll, the Windows CE Remote API, used by the
// tests and the demo. A folder on the PC plays the handheld's storage: device
// path "\Storage Card\savedata.dat" is DIR\Storage Card\savedata.dat.
//
// It is set up only through the process environment (the Win32 one, so that
// a test can change it with SetEnvironmentVariableW), read by every
// CeRapiInitEx and by the first call of any other function:
//
//   KESTRANE_HANDHELD_DIR          the handheld's root folder. Unset:
//                                  CeRapiInitEx fails with E_FAIL, so the
//                                  stand-in never pretends to be a handheld on
//                                  a real PC. The start's event is set once the
//                                  folder exists, as the real library sets it
//                                  once a device is docked; CeRapiUninit gives
//                                  up a start that is still waiting.
//   KESTRANE_HANDHELD_INIT_RESULT  an HRESULT the start ends with at once.
//   KESTRANE_HANDHELD_READ_FAIL_AT, KESTRANE_HANDHELD_READ_FAIL_CODE
//                                  the k-th CeReadFile fails with that code
//                                  (ERROR_GEN_FAILURE when no code is given).
//   KESTRANE_HANDHELD_UNDOCK_AT    Function[:n]: the handheld is pulled out at
//                                  the n-th call of Function (default the
//                                  first). That call and every later one fail
//                                  as over a broken link: CeRapiGetError
//                                  reports 0x8007048F, the HRESULT of
//                                  ERROR_DEVICE_NOT_CONNECTED, which
//                                  CeGetLastError gives too.
//   KESTRANE_HANDHELD_CREATE_WRITE_FAIL, KESTRANE_HANDHELD_CREATE_READ_FAIL
//                                  CeCreateFile for writing, or for reading only,
//                                  fails with that code (32: a program on the
//                                  handheld holds the file).
//   KESTRANE_HANDHELD_HANG_AT      Function[:n]: the n-th call of Function
//                                  (default the first) journals "HANG Function"
//                                  and never returns.
//   KESTRANE_HANDHELD_JOURNAL      a file that gets one line per call, the
//                                  function's name first, then its arguments,
//                                  "->" and its result. CeRapiInitEx writes its
//                                  line when the start has ended, with the
//                                  start's result (E_ABORT when it was given up).
//
// Numbers are decimal or 0x hexadecimal. Calls are counted from the moment
// the library is loaded, which for a program is its whole run. A malformed
// variable makes CeRapiInitEx fail with E_INVALIDARG and journal a CONFIG
// line; once a journal line could not be written, CeRapiInitEx fails with
// that error.
// Anything a call cannot do for want of memory fails it with
// ERROR_NOT_ENOUGH_MEMORY: no exception leaves the library.
#include "common/win32_support.h"
#include "device/rapi_api_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cwchar>
#include <exception>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kestrane::stand_in_rapi {
namespace {

using win32::UniqueFile;
using win32::UniqueKernelObject;

// RAPI's own code for a start while one is under way or made.
constexpr HRESULT kAlreadyInitialized = static_cast<HRESULT>(0x80041001);
// How often a waiting start looks for the handheld's folder.
constexpr DWORD kDockPollMs = 50;

// The exported functions, in the order of kCallNames.
enum class Call : unsigned {
    InitEx,
    Uninit,
    FindFirst,
    FindClose,
    Create,
    Read,
    Write,
    GetSize,
    LastError,
    RapiError,
    Close,
    Delete,
    Move,
    Count,
};

constexpr const wchar_t* kCallNames[] = {
    L"CeRapiInitEx",  L"CeRapiUninit", L"CeFindFirstFile", L"CeFindClose",    L"CeCreateFile",
    L"CeReadFile",    L"CeWriteFile",  L"CeGetFileSize",   L"CeGetLastError", L"CeRapiGetError",
    L"CeCloseHandle", L"CeDeleteFile", L"CeMoveFile",
};
static_assert(std::size(kCallNames) == static_cast<std::size_t>(Call::Count));

const wchar_t* CallName(Call call)
{
    return kCallNames[static_cast<unsigned>(call)];
}

// One call of a function, by its number: 1 is the first.
struct NumberedCall {
    Call call;
    std::uint32_t number;

    bool Is(Call other, std::uint32_t otherNumber) const { return call == other && number == otherNumber; }
};

struct Settings {
    std::wstring root;  // Empty when the handheld folder is not set.
    std::optional<HRESULT> initResult;
    std::uint32_t readFailAt = 0;  // 0: never.
    DWORD readFailCode = ERROR_GEN_FAILURE;
    std::optional<NumberedCall> undockAt;
    std::optional<DWORD> createWriteFail;
    std::optional<DWORD> createReadFail;
    std::optional<NumberedCall> hangAt;
    std::wstring journal;  // Empty: no journal.
    std::wstring problem;  // The first malformed variable, as NAME=value.
};

// The variable's value; nothing when it is unset or empty.
std::optional<std::wstring> Variable(const wchar_t* name)
{
    std::wstring value(64, L'\0');
    for (;;) {
        const DWORD length = ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            return std::nullopt;
        }
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length);  // The length asked for counts the terminating zero.
    }
}

// Decimal (possibly negative) or 0x hexadecimal, fitting in 32 bits.
std::optional<std::uint32_t> ParseNumber(const std::wstring& text)
{
    std::string ascii;
    for (const wchar_t c : text) {
        if (c > 0x7F) {
            return std::nullopt;
        }
        ascii.push_back(static_cast<char>(c));
    }
    const char* first = ascii.data();
    const char* const last = first + ascii.size();
    int base = 10;
    if (ascii.size() > 2 && ascii[0] == '0' && (ascii[1] == 'x' || ascii[1] == 'X')) {
        first += 2;
        base = 16;
        if (*first == '-') {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value, base);
    if (error != std::errc{} || end != last || value < INT32_MIN || value > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<Call> ParseCall(const std::wstring& name)
{
    for (unsigned i = 0; i < static_cast<unsigned>(Call::Count); ++i) {
        if (name == kCallNames[i]) {
            return static_cast<Call>(i);
        }
    }
    return std::nullopt;
}

void Reject(Settings& settings, const wchar_t* name, const std::wstring& value)
{
    if (settings.problem.empty()) {
        settings.problem = std::wstring(name) + L"=" + value;
    }
}

// The variable's number; nothing when it is unset or malformed (which is
// recorded as the settings' problem). A count must not be 0.
std::optional<std::uint32_t> NumberVariable(Settings& settings, const wchar_t* name, bool count)
{
    const auto value = Variable(name);
    if (!value) {
        return std::nullopt;
    }
    const auto number = ParseNumber(*value);
    if (!number || (count && *number == 0)) {
        Reject(settings, name, *value);
        return std::nullopt;
    }
    return number;
}

// The variable's call, "Function[:n]"; nothing when it is unset or
// malformed (which is recorded as the settings' problem).
std::optional<NumberedCall> CallVariable(Settings& settings, const wchar_t* name)
{
    const auto value = Variable(name);
    if (!value) {
        return std::nullopt;
    }
    const std::size_t colon = value->find(L':');
    const auto call = ParseCall(value->substr(0, colon));
    const auto number =
        colon == std::wstring::npos ? std::optional<std::uint32_t>(1) : ParseNumber(value->substr(colon + 1));
    if (!call || !number || *number == 0) {
        Reject(settings, name, *value);
        return std::nullopt;
    }
    return NumberedCall{*call, *number};
}

Settings ReadSettings()
{
    Settings settings;
    if (auto root = Variable(L"KESTRANE_HANDHELD_DIR")) {
        while (!root->empty() && (root->back() == L'\\' || root->back() == L'/')) {
            root->pop_back();
        }
        settings.root = *root;
    }
    if (const auto result = NumberVariable(settings, L"KESTRANE_HANDHELD_INIT_RESULT", false)) {
        settings.initResult = static_cast<HRESULT>(*result);
    }
    settings.readFailAt = NumberVariable(settings, L"KESTRANE_HANDHELD_READ_FAIL_AT", true).value_or(0);
    settings.readFailCode =
        NumberVariable(settings, L"KESTRANE_HANDHELD_READ_FAIL_CODE", false).value_or(ERROR_GEN_FAILURE);
    settings.undockAt = CallVariable(settings, L"KESTRANE_HANDHELD_UNDOCK_AT");
    settings.createWriteFail = NumberVariable(settings, L"KESTRANE_HANDHELD_CREATE_WRITE_FAIL", false);
    settings.createReadFail = NumberVariable(settings, L"KESTRANE_HANDHELD_CREATE_READ_FAIL", false);
    settings.hangAt = CallVariable(settings, L"KESTRANE_HANDHELD_HANG_AT");
    settings.journal = Variable(L"KESTRANE_HANDHELD_JOURNAL").value_or(std::wstring());
    return settings;
}

// Appends lines to the journal file, each one written and closed at once so
// that a process killed mid-call leaves every earlier line behind.
class Journal {
public:
    void Append(const std::wstring& path, const std::wstring& line)
    {
        if (path.empty()) {
            return;
        }
        const std::wstring text = line + L"\r\n";
        const int length = static_cast<int>(text.size());
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
        std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
        if (size <= 0
            || ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), size, nullptr, nullptr)
                   != size) {
            Failed();
            return;
        }
        UniqueFile file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            Failed();
            return;
        }
        DWORD written = 0;
        if (!::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)
            || written != bytes.size()) {
            Failed();
            return;
        }
        if (!::CloseHandle(file.Release())) {
            Failed();
        }
    }

    // The error of the first line that could not be written; 0 if none.
    DWORD Failure() const { return failure_; }

private:
    void Failed()
    {
        if (failure_ == 0) {
            const DWORD code = ::GetLastError();
            failure_ = code != 0 ? code : ERROR_WRITE_FAULT;
        }
    }

    DWORD failure_ = 0;
};

struct OpenObject {
    enum class Kind { File, Search } kind;
    UniqueFile file;  // Only for files: searches are answered at once.
};

struct State {
    std::mutex mutex;
    bool configured = false;
    Settings settings;
    Journal journal;
    std::uint32_t calls[static_cast<unsigned>(Call::Count)] = {};
    UniqueKernelObject started;  // the start's event, handed out by CeRapiInitEx
    UniqueKernelObject giveUp;   // set by CeRapiUninit to end a waiting start
    UniqueKernelObject waiter;   // the thread of the last start that waited, until it is ended
    bool starting = false;       // from CeRapiInitEx until the start has ended
    bool connected = false;
    bool undocked = false;
    std::atomic<DWORD> lastError = 0;
    std::atomic<HRESULT> linkError = S_OK;  // what CeRapiGetError reports
    std::map<std::uintptr_t, OpenObject> objects;
    std::uintptr_t nextHandle = 0x1c;
};

State& TheState()
{
    static State state;
    return state;
}

void Record(State& state, const std::wstring& line)
{
    state.journal.Append(state.settings.journal, line);
}

std::wstring Hex(std::uint64_t value, bool padded)
{
    wchar_t text[24];
    std::swprintf(text, std::size(text), padded ? L"0x%08llX" : L"0x%llx",
                  static_cast<unsigned long long>(value));
    return text;
}

std::wstring HandleText(HANDLE handle)
{
    return Hex(reinterpret_cast<std::uintptr_t>(handle), false);
}

std::wstring HresultText(HRESULT result)
{
    return result == S_OK ? std::wstring(L"0") : Hex(static_cast<std::uint32_t>(result), true);
}

std::wstring PathText(LPCWSTR path)
{
    return path != nullptr ? std::wstring(path) : std::wstring(L"(null)");
}

std::wstring AccessText(DWORD access)
{
    switch (access) {
    case GENERIC_READ:
        return L"GENERIC_READ";
    case GENERIC_WRITE:
        return L"GENERIC_WRITE";
    case GENERIC_READ | GENERIC_WRITE:
        return L"GENERIC_READ|GENERIC_WRITE";
    default:
        return Hex(access, false);
    }
}

std::wstring DispositionText(DWORD disposition)
{
    switch (disposition) {
    case CREATE_NEW:
        return L"CREATE_NEW";
    case CREATE_ALWAYS:
        return L"CREATE_ALWAYS";
    case OPEN_EXISTING:
        return L"OPEN_EXISTING";
    case OPEN_ALWAYS:
        return L"OPEN_ALWAYS";
    case TRUNCATE_EXISTING:
        return L"TRUNCATE_EXISTING";
    default:
        return std::to_wstring(disposition);
    }
}

std::wstring FailText(const State& state)
{
    return L"fail " + std::to_wstring(state.lastError.load());
}

// "ok", "ok N" or "fail CODE".
std::wstring ResultText(const State& state, BOOL ok, std::optional<DWORD> count = std::nullopt)
{
    if (!ok) {
        return FailText(state);
    }
    return count ? L"ok " + std::to_wstring(*count) : std::wstring(L"ok");
}

// The handle, or "fail CODE".
std::wstring ResultText(const State& state, HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? FailText(state) : HandleText(handle);
}

// Records the call's error; returns FALSE for the call to hand back.
BOOL Fail(State& state, DWORD code)
{
    state.lastError = code;
    return FALSE;
}

HANDLE FailHandle(State& state, DWORD code)
{
    Fail(state, code);
    return INVALID_HANDLE_VALUE;
}

// True when a handheld is connected; otherwise the call fails as one made
// without a connection does, or, once the handheld was pulled out, as one
// over a broken link.
bool Connected(State& state)
{
    if (state.undocked) {
        state.linkError = HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (!state.connected) {
        Fail(state, ERROR_DEVICE_NOT_CONNECTED);
    }
    return state.connected;
}

// The handheld is pulled out: the connection and everything open on it are gone.
void Undock(State& state)
{
    state.connected = false;
    state.undocked = true;
    state.objects.clear();
}

std::wstring MapPath(const State& state, LPCWSTR path)
{
    const std::wstring device(path);
    return state.settings.root + (device.starts_with(L'\\') ? L"" : L"\\") + device;
}

HANDLE AddObject(State& state, OpenObject object)
{
    const std::uintptr_t handle = state.nextHandle;
    state.nextHandle += 4;
    state.objects.emplace(handle, std::move(object));
    return reinterpret_cast<HANDLE>(handle);
}

// The open object behind a handle, if it is of the kind wanted; otherwise
// the call fails with ERROR_INVALID_HANDLE.
OpenObject* FindObject(State& state, HANDLE handle, OpenObject::Kind kind)
{
    const auto found = state.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == state.objects.end() || found->second.kind != kind) {
        Fail(state, ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &found->second;
}

// Starts one call: reads the settings if due, counts the call, and blocks
// for good if this is the call set to hang. Returns the held lock.
std::unique_lock<std::mutex> Enter(State& state, Call call)
{
    std::unique_lock lock(state.mutex);
    if (call == Call::InitEx || !state.configured) {
        state.settings = ReadSettings();
        state.configured = true;
    }
    const std::uint32_t number = ++state.calls[static_cast<unsigned>(call)];
    if (state.settings.hangAt && state.settings.hangAt->Is(call, number)) {
        Record(state, std::wstring(L"HANG ") + CallName(call));
        lock.unlock();
        for (;;) {
            ::Sleep(INFINITE);
        }
    }
    // Each remote call reports its own link failure; the two calls that
    // tell the last call's errors leave them be.
    if (call != Call::LastError && call != Call::RapiError) {
        state.linkError = S_OK;
    }
    if (state.settings.undockAt && state.settings.undockAt->Is(call, number)) {
        Undock(state);
    }
    return lock;
}

// Runs one exported call, turning an exception (only ever for want of
// memory or of a lock) into the call's failure.
template <typename Result, typename Body> Result Guarded(Result failure, Body body) noexcept
{
    try {
        return body(TheState());
    } catch (const std::exception&) {
        TheState().lastError = ERROR_NOT_ENOUGH_MEMORY;
        return failure;
    }
}

bool IsFolder(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A start waiting for the handheld's folder, run on a thread of its own.
struct WaitingStart {
    State* state;
    std::wstring root;
    RAPIINIT* init;
    HMODULE library;  // a reference that keeps this library loaded while the thread runs
};

// Ends a start: its result goes to the caller's structure and the journal,
// and its event is set. Returns false when the event could not be set.
// Called with the state locked.
bool Finish(State& state, RAPIINIT& init, HRESULT result)
{
    state.starting = false;
    state.connected = SUCCEEDED(result);
    init.hrRapiInit = result;
    Record(state, L"CeRapiInitEx -> " + HresultText(result));
    return ::SetEvent(state.started.Get()) != FALSE;
}

DWORD WINAPI AwaitDock(void* parameter)
{
    const std::unique_ptr<WaitingStart> start(static_cast<WaitingStart*>(parameter));
    const HMODULE library = start->library;
    State& state = *start->state;
    try {
        HRESULT result = S_OK;
        while (result == S_OK && !IsFolder(start->root)) {
            switch (::WaitForSingleObject(state.giveUp.Get(), kDockPollMs)) {
            case WAIT_TIMEOUT:
                break;
            case WAIT_OBJECT_0:
                result = E_ABORT;
                break;
            default:
                result = HRESULT_FROM_WIN32(::GetLastError());
            }
        }
        std::lock_guard lock(state.mutex);
        if (result == E_ABORT) {
            // Given up: the caller is not told, and its structure is left alone.
            state.starting = false;
            Record(state, L"CeRapiInitEx -> " + HresultText(result));
        } else {
            // An event that cannot be set leaves the caller waiting until it gives up.
            Finish(state, *start->init, result);
        }
    } catch (const std::exception&) {
        // Only for want of memory: the start waits until it is given up.
    }
    ::FreeLibraryAndExitThread(library, 0);
}

// Waits until the thread of the last start has ended, giving the start up
// first if it is still waiting. Returns whether it was.
bool EndStartThread(State& state, std::unique_lock<std::mutex>& lock)
{
    const bool waiting = state.starting;
    if (!state.waiter || (waiting && !::SetEvent(state.giveUp.Get()))) {
        return false;
    }
    lock.unlock();
    const DWORD ended = ::WaitForSingleObject(state.waiter.Get(), INFINITE);
    const DWORD error = ::GetLastError();
    lock.lock();
    if (ended == WAIT_FAILED) {
        Fail(state, error);  // the thread is left to end on its own
    }
    state.waiter.Reset();
    return waiting;
}

// Begins a start: fails at once when the stand-in is not set up, ends at
// once with the configured result, or waits for the handheld's folder on a
// thread of its own.
HRESULT Start(State& state, std::unique_lock<std::mutex>& lock, RAPIINIT* init)
{
    const Settings& settings = state.settings;
    if (init == nullptr || init->cbSize != sizeof(RAPIINIT)) {
        return E_INVALIDARG;
    }
    if (settings.root.empty()) {
        return E_FAIL;
    }
    if (!settings.problem.empty()) {
        Record(state, L"CONFIG " + settings.problem + L" is not valid");
        return E_INVALIDARG;
    }
    if (state.journal.Failure() != 0) {
        return HRESULT_FROM_WIN32(state.journal.Failure());
    }
    if (state.starting || state.connected) {
        return kAlreadyInitialized;
    }
    EndStartThread(state, lock);
    if (!state.started) {
        state.started.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        state.giveUp.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    if (!state.started || !state.giveUp || !::ResetEvent(state.started.Get())
        || !::ResetEvent(state.giveUp.Get())) {
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    init->heRapiInit = state.started.Get();
    state.starting = true;
    if (state.undocked) {
        Fail(state, ERROR_DEVICE_NOT_CONNECTED);
        return Finish(state, *init, HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED))
                   ? S_OK
                   : HRESULT_FROM_WIN32(::GetLastError());
    }
    if (settings.initResult) {
        return Finish(state, *init, *settings.initResult) ? S_OK : HRESULT_FROM_WIN32(::GetLastError());
    }
    auto start = std::make_unique<WaitingStart>(WaitingStart{&state, settings.root, init, nullptr});
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&AwaitDock),
                              &start->library)) {
        state.starting = false;
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    state.waiter.Reset(::CreateThread(nullptr, 0, AwaitDock, start.get(), 0, nullptr));
    if (!state.waiter) {
        const DWORD error = ::GetLastError();
        // A reference that cannot be given back only keeps the library loaded.
        ::FreeLibrary(start->library);
        state.starting = false;
        return HRESULT_FROM_WIN32(error);
    }
    start.release();  // the thread's now
    return S_OK;
}

HRESULT Stop(State& state, std::unique_lock<std::mutex>& lock)
{
    if (EndStartThread(state, lock)) {
        return S_OK;  // a start given up
    }
    if (state.undocked) {
        Fail(state, ERROR_DEVICE_NOT_CONNECTED);
        return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (!state.connected) {
        return E_FAIL;
    }
    state.connected = false;
    state.objects.clear();
    return S_OK;
}

HANDLE FindFirst(State& state, LPCWSTR fileName, CE_FIND_DATA* findData)
{
    if (!Connected(state)) {
        return INVALID_HANDLE_VALUE;
    }
    if (fileName == nullptr || findData == nullptr) {
        return FailHandle(state, ERROR_INVALID_PARAMETER);
    }
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(MapPath(state, fileName).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return FailHandle(state, ::GetLastError());
    }
    // Only the first match is ever asked for.
    if (!::FindClose(search)) {
        return FailHandle(state, ::GetLastError());
    }
    *findData = CE_FIND_DATA{};
    findData->dwFileAttributes = found.dwFileAttributes;
    findData->ftCreationTime = found.ftCreationTime;
    findData->ftLastAccessTime = found.ftLastAccessTime;
    findData->ftLastWriteTime = found.ftLastWriteTime;
    findData->nFileSizeHigh = found.nFileSizeHigh;
    findData->nFileSizeLow = found.nFileSizeLow;
    static_assert(sizeof findData->cFileName == sizeof found.cFileName);
    std::copy(std::begin(found.cFileName), std::end(found.cFileName), findData->cFileName);
    return AddObject(state, OpenObject{OpenObject::Kind::Search, {}});
}

BOOL CloseSearch(State& state, HANDLE search)
{
    if (!Connected(state) || FindObject(state, search, OpenObject::Kind::Search) == nullptr) {
        return FALSE;
    }
    state.objects.erase(reinterpret_cast<std::uintptr_t>(search));
    return TRUE;
}

HANDLE CreateDeviceFile(State& state, LPCWSTR fileName, DWORD access, DWORD shareMode,
                        LPSECURITY_ATTRIBUTES securityAttributes, DWORD disposition, DWORD flagsAndAttributes,
                        HANDLE templateFile)
{
    if (!Connected(state)) {
        return INVALID_HANDLE_VALUE;
    }
    // A handheld takes no security descriptors and no template files.
    if (fileName == nullptr || securityAttributes != nullptr || templateFile != nullptr) {
        return FailHandle(state, ERROR_INVALID_PARAMETER);
    }
    if ((access & GENERIC_WRITE) != 0 && state.settings.createWriteFail) {
        return FailHandle(state, *state.settings.createWriteFail);
    }
    if ((access & GENERIC_WRITE) == 0 && state.settings.createReadFail) {
        return FailHandle(state, *state.settings.createReadFail);
    }
    UniqueFile file(::CreateFileW(MapPath(state, fileName).c_str(), access, shareMode, nullptr, disposition,
                                  flagsAndAttributes, nullptr));
    if (!file) {
        return FailHandle(state, ::GetLastError());
    }
    return AddObject(state, OpenObject{OpenObject::Kind::File, std::move(file)});
}

BOOL ReadDeviceFile(State& state, HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                    LPOVERLAPPED overlapped)
{
    if (!Connected(state)) {
        return FALSE;
    }
    if (state.calls[static_cast<unsigned>(Call::Read)] == state.settings.readFailAt) {
        return Fail(state, state.settings.readFailCode);
    }
    if (bytesRead == nullptr || overlapped != nullptr) {
        return Fail(state, ERROR_INVALID_PARAMETER);
    }
    const OpenObject* object = FindObject(state, file, OpenObject::Kind::File);
    if (object == nullptr) {
        return FALSE;
    }
    if (!::ReadFile(object->file.Get(), buffer, bytesToRead, bytesRead, nullptr)) {
        return Fail(state, ::GetLastError());
    }
    return TRUE;
}

BOOL WriteDeviceFile(State& state, HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                     LPOVERLAPPED overlapped)
{
    if (!Connected(state)) {
        return FALSE;
    }
    if (bytesWritten == nullptr || overlapped != nullptr) {
        return Fail(state, ERROR_INVALID_PARAMETER);
    }
    const OpenObject* object = FindObject(state, file, OpenObject::Kind::File);
    if (object == nullptr) {
        return FALSE;
    }
    if (!::WriteFile(object->file.Get(), buffer, bytesToWrite, bytesWritten, nullptr)) {
        return Fail(state, ::GetLastError());
    }
    return TRUE;
}

// The file's size; nothing when the call fails.
std::optional<std::uint64_t> DeviceFileSize(State& state, HANDLE file)
{
    if (!Connected(state)) {
        return std::nullopt;
    }
    const OpenObject* object = FindObject(state, file, OpenObject::Kind::File);
    if (object == nullptr) {
        return std::nullopt;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(object->file.Get(), &size)) {
        Fail(state, ::GetLastError());
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

BOOL CloseFile(State& state, HANDLE handle)
{
    if (!Connected(state)) {
        return FALSE;
    }
    OpenObject* object = FindObject(state, handle, OpenObject::Kind::File);
    if (object == nullptr) {
        return FALSE;
    }
    const HANDLE file = object->file.Release();
    state.objects.erase(reinterpret_cast<std::uintptr_t>(handle));
    if (!::CloseHandle(file)) {
        return Fail(state, ::GetLastError());
    }
    return TRUE;
}

BOOL DeleteDeviceFile(State& state, LPCWSTR fileName)
{
    if (!Connected(state)) {
        return FALSE;
    }
    if (fileName == nullptr) {
        return Fail(state, ERROR_INVALID_PARAMETER);
    }
    if (!::DeleteFileW(MapPath(state, fileName).c_str())) {
        return Fail(state, ::GetLastError());
    }
    return TRUE;
}

// As on the handheld, a file of the new name is never replaced.
BOOL MoveDeviceFile(State& state, LPCWSTR existingFileName, LPCWSTR newFileName)
{
    if (!Connected(state)) {
        return FALSE;
    }
    if (existingFileName == nullptr || newFileName == nullptr) {
        return Fail(state, ERROR_INVALID_PARAMETER);
    }
    if (!::MoveFileW(MapPath(state, existingFileName).c_str(), MapPath(state, newFileName).c_str())) {
        return Fail(state, ::GetLastError());
    }
    return TRUE;
}

}  // namespace
}  // namespace kestrane::stand_in_rapi

// The exported functions, as the Remote API declares them. Each journals one
// line after it has done its work.

namespace stand_in = kestrane::stand_in_rapi;
using stand_in::Call;
using stand_in::State;

extern "C" HRESULT WINAPI CeRapiInitEx(RAPIINIT* init)
{
    return stand_in::Guarded(E_OUTOFMEMORY, [&](State& state) {
        auto lock = stand_in::Enter(state, Call::InitEx);
        const HRESULT result = stand_in::Start(state, lock, init);
        // A start that goes on journals its line when it ends.
        if (FAILED(result)) {
            stand_in::Record(state, L"CeRapiInitEx -> " + stand_in::HresultText(result));
        }
        return result;
    });
}

extern "C" HRESULT WINAPI CeRapiUninit()
{
    return stand_in::Guarded(E_OUTOFMEMORY, [](State& state) {
        auto lock = stand_in::Enter(state, Call::Uninit);
        const HRESULT result = stand_in::Stop(state, lock);
        stand_in::Record(state, L"CeRapiUninit -> " + stand_in::HresultText(result));
        return result;
    });
}

extern "C" HANDLE WINAPI CeFindFirstFile(LPCWSTR fileName, CE_FIND_DATA* findData)
{
    return stand_in::Guarded(INVALID_HANDLE_VALUE, [&](State& state) {
        const auto lock = stand_in::Enter(state, Call::FindFirst);
        const HANDLE search = stand_in::FindFirst(state, fileName, findData);
        stand_in::Record(state, L"CeFindFirstFile " + stand_in::PathText(fileName) + L" -> "
                                    + stand_in::ResultText(state, search));
        return search;
    });
}

extern "C" BOOL WINAPI CeFindClose(HANDLE search)
{
    return stand_in::Guarded(FALSE, [&](State& state) {
        const auto lock = stand_in::Enter(state, Call::FindClose);
        const BOOL ok = stand_in::CloseSearch(state, search);
        stand_in::Record(state, L"CeFindClose " + stand_in::HandleText(search) + L" -> "
                                    + stand_in::ResultText(state, ok));
        return ok;
    });
}

extern "C" HANDLE WINAPI CeCreateFile(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                      LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                                      DWORD flagsAndAttributes, HANDLE templateFile)
{
    return stand_in::Guarded(INVALID_HANDLE_VALUE, [&](State& state) {
        const auto lock = stand_in::Enter(state, Call::Create);
        const HANDLE file =
            stand_in::CreateDeviceFile(state, fileName, desiredAccess, shareMode, securityAttributes,
                                       creationDisposition, flagsAndAttributes, templateFile);
        stand_in::Record(state, L"CeCreateFile " + stand_in::PathText(fileName) + L" "
                                    + stand_in::AccessText(desiredAccess) + L" "
                                    + stand_in::DispositionText(creationDisposition) + L" -> "
                                    + stand_in::ResultText(state, file));
        return file;
    });
}

extern "C" BOOL WINAPI CeReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                                  LPOVERLAPPED overlapped)
{
    return stand_in::Guarded(FALSE, [&](State& state) {
        const auto lock = stand_in::Enter(state, Call::Read);
        if (bytesRead != nullptr) {
            *bytesRead = 0;
        }
        const BOOL ok = stand_in::ReadDeviceFile(state, file, buffer, bytesToRead, bytesRead, overlapped);
        stand_in::Record(state, L"CeReadFile " + std::to_wstring(bytesToRead) + L" -> "
                                    + stand_in::ResultText(state, ok, ok ? *bytesRead : 0));
        return ok;
    });
}

extern "C" BOOL WINAPI CeWriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                                   LPOVERLAPPED overlapped)
{
    return stand_in::Guarded(FALSE, [&](State& state) {
        const auto lock = stand_in::Enter(state, Call::Write);
        if (bytesWritten != nullptr) {
            *bytesWritten = 0;
        }
        const BOOL ok =
            stand_in::WriteDeviceFile(state, file, buffer, bytesToWrite, bytesWritten, overlapped);
        stand_in::Record(state, L"CeWriteFile " + std::to_wstring(bytesToWrite) + L" -> "
                                    + stand_in::ResultText(state, ok, ok ? *bytesWritten : 0));
        return ok;
    });
}

extern "C" DWORD WINAPI CeGetFileSize(HANDLE file, LPDWORD fileSizeHigh)
{
    return stand_in::Guarded(static_cast<DWORD>(INVALID_FILE_SIZE), [&](State& state) {
        const auto lock = stand_in::Enter(state, Call::GetSize);
        const std::optional<std::uint64_t> size = stand_in::DeviceFileSize(state, file);
        if (fileSizeHigh != nullptr) {
            *fileSizeHigh = size ? static_cast<DWORD>(*size >> 32) : 0;
        }
        stand_in::Record(state, L"CeGetFileSize " + stand_in::HandleText(file) + L" -> "
                                    + (size ? L"ok " + std::to_wstring(*size) : stand_in::FailText(state)));
        return size ? static_cast<DWORD>(*size) : static_cast<DWORD>(INVALID_FILE_SIZE);
    });
}

extern "C" DWORD WINAPI CeGetLastError()
{
    return stand_in::Guarded(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), [](State& state) {
        const auto lock = stand_in::Enter(state, Call::LastError);
        const DWORD code = state.lastError;
        stand_in::Record(state, L"CeGetLastError -> " + std::to_wstring(code));
        return code;
    });
}

extern "C" HRESULT WINAPI CeRapiGetError()
{
    return stand_in::Guarded(E_OUTOFMEMORY, [](State& state) {
        const auto lock = stand_in::Enter(state, Call::RapiError);
        const HRESULT result = state.linkError;
        stand_in::Record(state, L"CeRapiGetError -> " + stand_in::HresultText(result));
        return result;
    });
}

extern "C" BOOL WINAPI CeCloseHandle(HANDLE object)
{
    return stand_in::Guarded(FALSE, [&](State& state) {
        const auto lock = stand_in::Enter(state, Call::Close);
        const BOOL ok = stand_in::CloseFile(state, object);
        stand_in::Record(state, L"CeCloseHandle " + stand_in::HandleText(object) + L" -> "
                                    + stand_in::ResultText(state, ok));
        return ok;
    });
}

extern "C" BOOL WINAPI CeDeleteFile(LPCWSTR fileName)
{
    return stand_in::Guarded(FALSE, [&](State& state) {
        const auto lock = stand_in::Enter(state, Call::Delete);
        const BOOL ok = stand_in::DeleteDeviceFile(state, fileName);
        stand_in::Record(state, L"CeDeleteFile " + stand_in::PathText(fileName) + L" -> "
                                    + stand_in::ResultText(state, ok));
        return ok;
    });
}

extern "C" BOOL WINAPI CeMoveFile(LPCWSTR existingFileName, LPCWSTR newFileName)
{
    return stand_in::Guarded(FALSE, [&](State& state) {
        const auto lock = stand_in::Enter(state, Call::Move);
        const BOOL ok = stand_in::MoveDeviceFile(state, existingFileName, newFileName);
        stand_in::Record(state, L"CeMoveFile " + stand_in::PathText(existingFileName) + L" "
                                    + stand_in::PathText(newFileName) + L" -> "
                                    + stand_in::ResultText(state, ok));
        return ok;
    });
}
