#include "device/rapi_device_win32.h"

#include "common/job_error.h"
#include "common/win32_support.h"
#include "device/rapi_api_win32.h"

#include <string>

namespace kestrane {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "device paths are passed to rapi.dll as UTF-16");

constexpr const char* kLibraryName = "rapi.dll";

using win32::UniqueModule;

// The Remote API functions the program calls, looked up in rapi.dll.
struct RapiFunctions {
    decltype(&::CeRapiInit) ceRapiInit;
    decltype(&::CeRapiUninit) ceRapiUninit;
    decltype(&::CeFindFirstFile) ceFindFirstFile;
    decltype(&::CeFindClose) ceFindClose;
    decltype(&::CeCreateFile) ceCreateFile;
    decltype(&::CeReadFile) ceReadFile;
    decltype(&::CeWriteFile) ceWriteFile;
    decltype(&::CeGetLastError) ceGetLastError;
    decltype(&::CeCloseHandle) ceCloseHandle;
    decltype(&::CeDeleteFile) ceDeleteFile;
};

// Where the loaded library came from, for support; empty if Windows cannot say.
std::string ModulePath(HMODULE module)
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return win32::Narrow(std::wstring(path, length));
}

JobError LibraryMissing(DWORD code)
{
    return JobError(std::string("Kestrane could not load the handheld connection library ") + kLibraryName
                    + " (error " + std::to_string(code) + ": " + win32::SystemErrorText(code) + ").\r\n\r\n"
                    + kLibraryName
                    + " is installed with Windows Mobile Device Center (ActiveSync on older Windows). "
                      "Install it on this PC, or ask support to, and restart Kestrane.\r\n\r\n"
                      "Nothing was taken from the handheld.");
}

[[noreturn]] void ThrowFunctionMissing(HMODULE module, const char* function)
{
    const std::string path = ModulePath(module);
    throw JobError(std::string("The handheld connection library ") + (path.empty() ? kLibraryName : path)
                   + " lacks the function " + function + ", so Kestrane cannot use it.\r\n\r\n"
                   + "Reinstall Windows Mobile Device Center (ActiveSync on older Windows), "
                     "or ask support to, and restart Kestrane.\r\n\r\nNothing was taken from the handheld.");
}

template <typename Function> void LookUp(HMODULE module, const char* name, Function& function)
{
    const FARPROC address = ::GetProcAddress(module, name);
    if (address == nullptr) {
        ThrowFunctionMissing(module, name);
    }
    // Through the generic function pointer type, which converts to any other.
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
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
    LoadedRapiDevice(UniqueModule module, const RapiFunctions& functions) :
        module_(std::move(module)),
        functions_(functions)
    {
    }

    std::int32_t CeRapiInit() override { return functions_.ceRapiInit(); }
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

    std::uint32_t CeGetLastError() override { return functions_.ceGetLastError(); }
    bool CeCloseHandle(DeviceHandle file) override
    {
        return functions_.ceCloseHandle(ToHandle(file)) != FALSE;
    }

    bool CeDeleteFile(const std::u16string& path) override
    {
        return functions_.ceDeleteFile(ToWide(path).c_str()) != FALSE;
    }

private:
    UniqueModule module_;
    RapiFunctions functions_;
};

}  // namespace

std::unique_ptr<RapiDevice> RapiDevice::Load()
{
    // Never the working folder: it holds the data files.
    UniqueModule module(::LoadLibraryExW(L"rapi.dll", nullptr,
                                         LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
    win32::ThrowLastErrorIf(!module, LibraryMissing);
    RapiFunctions functions{};
    LookUp(module.Get(), "CeRapiInit", functions.ceRapiInit);
    LookUp(module.Get(), "CeRapiUninit", functions.ceRapiUninit);
    LookUp(module.Get(), "CeFindFirstFile", functions.ceFindFirstFile);
    LookUp(module.Get(), "CeFindClose", functions.ceFindClose);
    LookUp(module.Get(), "CeCreateFile", functions.ceCreateFile);
    LookUp(module.Get(), "CeReadFile", functions.ceReadFile);
    LookUp(module.Get(), "CeWriteFile", functions.ceWriteFile);
    LookUp(module.Get(), "CeGetLastError", functions.ceGetLastError);
    LookUp(module.Get(), "CeCloseHandle", functions.ceCloseHandle);
    LookUp(module.Get(), "CeDeleteFile", functions.ceDeleteFile);
    return std::make_unique<LoadedRapiDevice>(std::move(module), functions);
}

}  // namespace kestrane
