#include "device/rapi_device_win32.h"

#include "common/job_error.h"
#include "common/job_window.h"
#include "common/scope_exit.h"
#include "common/win32_support.h"
#include "device/rapi_api_win32.h"
#include "store/data_place.h"

#include <string>

namespace kestrane {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "device paths are passed to rapi.dll as UTF-16");

constexpr const char* kLibraryName = "rapi.dll";
constexpr const wchar_t* kLibraryFile = L"\\rapi.dll";
constexpr int kProgramBits = sizeof(void*) * 8;

using win32::UniqueModule;

// The Remote API functions the program calls, looked up in rapi.dll.
struct RapiFunctions {
    decltype(&::CeRapiInitEx) ceRapiInitEx;
    decltype(&::CeRapiUninit) ceRapiUninit;
    decltype(&::CeFindFirstFile) ceFindFirstFile;
    decltype(&::CeFindClose) ceFindClose;
    decltype(&::CeCreateFile) ceCreateFile;
    decltype(&::CeReadFile) ceReadFile;
    decltype(&::CeWriteFile) ceWriteFile;
    decltype(&::CeGetFileSize) ceGetFileSize;
    decltype(&::CeGetLastError) ceGetLastError;
    decltype(&::CeRapiGetError) ceRapiGetError;
    decltype(&::CeCloseHandle) ceCloseHandle;
    decltype(&::CeDeleteFile) ceDeleteFile;
    decltype(&::CeMoveFile) ceMoveFile;
};

// A system folder as GetSystemDirectoryW and its kin give it; empty if there is none.
std::wstring SystemFolder(UINT(WINAPI* get)(LPWSTR, UINT))
{
    wchar_t path[MAX_PATH];
    const UINT length = get(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return std::wstring(path, length);
}

bool ReadAt(HANDLE file, DWORD offset, void* buffer, DWORD size)
{
    OVERLAPPED at{};
    at.Offset = offset;
    DWORD got = 0;
    return ::ReadFile(file, buffer, size, &got, &at) && got == size;
}

// Whether a DLL is for 32-bit or 64-bit programs, from the machine in its
// PE header; 0 when there is no such file or it is not a DLL of either kind.
int LibraryBits(const std::wstring& path)
{
    const win32::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return 0;
    }
    IMAGE_DOS_HEADER dos{};
    if (!ReadAt(file.Get(), 0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) {
        return 0;
    }
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER header;
    } nt{};
    if (!ReadAt(file.Get(), static_cast<DWORD>(dos.e_lfanew), &nt, sizeof nt)
        || nt.signature != IMAGE_NT_SIGNATURE) {
        return 0;
    }
    switch (nt.header.Machine) {
    case IMAGE_FILE_MACHINE_I386:
        return 32;
    case IMAGE_FILE_MACHINE_AMD64:
    case IMAGE_FILE_MACHINE_ARM64:
        return 64;
    default:
        return 0;
    }
}

// The bitness of the rapi.dll in the system folder of the other kind of
// program, or 0. A 64-bit program finds the 32-bit DLLs in SysWOW64. A
// 32-bit program on 64-bit Windows sees SysWOW64 under the name System32,
// and sees the real System32 only with the file system redirector off.
int OtherSystemLibraryBits(std::wstring& path)
{
    if constexpr (kProgramBits == 64) {
        const std::wstring folder = SystemFolder(::GetSystemWow64DirectoryW);
        if (folder.empty()) {
            return 0;
        }
        path = folder + kLibraryFile;
        return LibraryBits(path);
    } else {
        const std::wstring folder = SystemFolder(::GetSystemDirectoryW);
        BOOL wow64 = FALSE;
        if (folder.empty() || !::IsWow64Process(::GetCurrentProcess(), &wow64) || !wow64) {
            return 0;
        }
        path = folder + kLibraryFile;
        PVOID redirection = nullptr;
        if (!::Wow64DisableWow64FsRedirection(&redirection)) {
            return 0;
        }
        const ScopeExit revert([redirection] { ::Wow64RevertWow64FsRedirection(redirection); });
        return LibraryBits(path);
    }
}

// Where the program loads rapi.dll from: the system folder, where the
// connectivity software puts it. A 32-bit program on 64-bit Windows is
// given System32 as its system folder, and the file system redirector takes
// it to SysWOW64, where the 32-bit library is. Empty where Windows cannot say.
std::wstring InTheSystemFolder()
{
    const std::wstring folder = SystemFolder(::GetSystemDirectoryW);
    return folder.empty() ? folder : folder + kLibraryFile;
}

// "PATH is for 64-bit programs ..." when the other kind's system folder
// holds a rapi.dll, where Windows never looks for this program's; "" when not.
std::string WrongBitnessLibrary()
{
    std::wstring path;
    const int bits = OtherSystemLibraryBits(path);
    if (bits == 0 || bits == kProgramBits) {
        return {};
    }
    return "\r\n\r\n" + win32::Narrow(path) + " is for " + std::to_string(bits)
           + "-bit programs, so Kestrane cannot use it.";
}

JobError LibraryMissing(DWORD code)
{
    std::string wrongBitness;
    if (code == ERROR_BAD_EXE_FORMAT) {
        wrongBitness = std::string("\r\n\r\nThe ") + kLibraryName + " in the system folder is not for "
                       + std::to_string(kProgramBits) + "-bit programs.";
    }
    wrongBitness += WrongBitnessLibrary();
    // Some of the system's texts name the file with an insert, "%1".
    std::string reason = win32::SystemErrorText(code);
    if (const auto insert = reason.find("%1"); insert != std::string::npos) {
        reason.replace(insert, 2, kLibraryName);
    }
    const std::string bits = std::to_string(kProgramBits) + "-bit";
    return JobError(std::string("Kestrane could not load the handheld connection library ") + kLibraryName
                    + ": " + reason + ".\r\n\r\nKestrane is a " + bits + " program and needs the " + bits
                    + " " + kLibraryName
                    + ", which comes with Windows Mobile Device Center on Windows Vista to 11. Install it on "
                      "this PC, or ask support to, and restart Kestrane."
                    + wrongBitness + WhereTheDataIs(DataPlace::HandheldUntouched));
}

[[noreturn]] void ThrowFunctionMissing(const std::wstring& path, const char* function)
{
    throw JobError("The handheld connection library " + win32::Narrow(path) + " lacks the function "
                   + function + ", so Kestrane cannot use it.\r\n\r\n"
                   + "Reinstall Windows Mobile Device Center, or ask support to, and restart Kestrane."
                   + WhereTheDataIs(DataPlace::HandheldUntouched));
}

HANDLE ToHandle(DeviceHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}
DeviceHandle FromHandle(HANDLE handle)
{
    return reinterpret_cast<DeviceHandle>(handle);
}

std::wstring ToWide(const std::u16string& path)
{
    return std::wstring(path.begin(), path.end());
}

class LoadedRapiDevice final : public RapiDevice {
public:
    LoadedRapiDevice(const RapiFunctions& functions, MessagePump& pump) : functions_(functions), pump_(pump)
    {
    }

    // Starts the connection without blocking, and waits for the library's
    // event while the window keeps answering. Closing the window gives the
    // start up, as CeRapiUninit does during a start.
    std::int32_t CeRapiInit() override
    {
        RAPIINIT init{};
        init.cbSize = sizeof init;
        const HRESULT started = functions_.ceRapiInitEx(&init);
        if (FAILED(started)) {
            return started;
        }
        try {
            AwaitStart(init.heRapiInit);
        } catch (...) {
            functions_.ceRapiUninit();
            throw;
        }
        return init.hrRapiInit;
    }
    std::int32_t CeRapiUninit() override { return functions_.ceRapiUninit(); }

    DeviceHandle CeFindFirstFile(const std::u16string& path) override
    {
        CE_FIND_DATA found{};
        return FromHandle(functions_.ceFindFirstFile(ToWide(path).c_str(), &found));
    }

    bool CeFindClose(DeviceHandle search) override
    {
        return functions_.ceFindClose(ToHandle(search)) != FALSE;
    }

    DeviceHandle CeCreateFile(const std::u16string& path, std::uint32_t access, std::uint32_t shareMode,
                              std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override
    {
        return FromHandle(functions_.ceCreateFile(ToWide(path).c_str(), access, shareMode, nullptr,
                                                  creationDisposition, flagsAndAttributes, nullptr));
    }

    bool CeReadFile(DeviceHandle file, void* buffer, std::uint32_t bytesToRead,
                    std::uint32_t& bytesRead) override
    {
        DWORD got = 0;
        const BOOL ok = functions_.ceReadFile(ToHandle(file), buffer, bytesToRead, &got, nullptr);
        bytesRead = got;
        return ok != FALSE;
    }

    bool CeWriteFile(DeviceHandle file, const void* buffer, std::uint32_t bytesToWrite,
                     std::uint32_t& bytesWritten) override
    {
        DWORD put = 0;
        const BOOL ok = functions_.ceWriteFile(ToHandle(file), buffer, bytesToWrite, &put, nullptr);
        bytesWritten = put;
        return ok != FALSE;
    }

    std::uint32_t CeGetFileSize(DeviceHandle file, std::uint32_t& sizeHigh) override
    {
        DWORD high = 0;
        const DWORD low = functions_.ceGetFileSize(ToHandle(file), &high);
        sizeHigh = high;
        return low;
    }

    std::uint32_t CeGetLastError() override { return functions_.ceGetLastError(); }
    std::int32_t CeRapiGetError() override { return functions_.ceRapiGetError(); }
    bool CeCloseHandle(DeviceHandle file) override
    {
        return functions_.ceCloseHandle(ToHandle(file)) != FALSE;
    }

    bool CeDeleteFile(const std::u16string& path) override
    {
        return functions_.ceDeleteFile(ToWide(path).c_str()) != FALSE;
    }

    bool CeMoveFile(const std::u16string& existingPath, const std::u16string& newPath) override
    {
        return functions_.ceMoveFile(ToWide(existingPath).c_str(), ToWide(newPath).c_str()) != FALSE;
    }

private:
    // Waits until the start's event is set, handling the window's messages
    // as they come. Throws WindowClosed when the user closes the window.
    void AwaitStart(HANDLE started)
    {
        for (;;) {
            const DWORD woke =
                ::MsgWaitForMultipleObjectsEx(1, &started, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
            win32::ThrowLastErrorIf(woke == WAIT_FAILED, "MsgWaitForMultipleObjectsEx");
            if (woke == WAIT_OBJECT_0) {
                return;
            }
            pump_.PumpMessages();
        }
    }

    RapiFunctions functions_;
    MessagePump& pump_;
};

}  // namespace

std::unique_ptr<RapiDevice> RapiDevice::Load(MessagePump& pump)
{
    // By its full path, from the system folder alone: never the working
    // folder, which holds the data files, nor the program's own folder. The
    // libraries it needs are looked for first in its own folder; wWinMain has
    // taken the working folder out of the search for them.
    // (LOAD_LIBRARY_SEARCH_SYSTEM32 would do the same, but Windows Vista and 7
    // know it only with an update.)
    const std::wstring path = InTheSystemFolder();
    if (path.empty()) {
        throw LibraryMissing(ERROR_MOD_NOT_FOUND);
    }
    UniqueModule module(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    win32::ThrowLastErrorIf(!module, LibraryMissing);
    RapiFunctions functions{};
    const auto lookUp = [&module, &path]<typename Function>(const char* name, Function& function) {
        function = win32::FindFunction<Function>(module.Get(), name);
        if (function == nullptr) {
            ThrowFunctionMissing(path, name);
        }
    };
    lookUp("CeRapiInitEx", functions.ceRapiInitEx);
    lookUp("CeRapiUninit", functions.ceRapiUninit);
    lookUp("CeFindFirstFile", functions.ceFindFirstFile);
    lookUp("CeFindClose", functions.ceFindClose);
    lookUp("CeCreateFile", functions.ceCreateFile);
    lookUp("CeReadFile", functions.ceReadFile);
    lookUp("CeWriteFile", functions.ceWriteFile);
    lookUp("CeGetFileSize", functions.ceGetFileSize);
    lookUp("CeGetLastError", functions.ceGetLastError);
    lookUp("CeRapiGetError", functions.ceRapiGetError);
    lookUp("CeCloseHandle", functions.ceCloseHandle);
    lookUp("CeDeleteFile", functions.ceDeleteFile);
    lookUp("CeMoveFile", functions.ceMoveFile);
    // The library stays loaded until the program ends, so this reference is
    // given up on purpose and never freed. A start that CeRapiUninit gives up
    // can leave the library's own threads running, and unloading it would
    // take away the code they run. The functions above stay valid as long.
    static_cast<void>(module.Release());
    return std::make_unique<LoadedRapiDevice>(functions, pump);
}

}  // namespace kestrane
