#include "store/folder_check_win32.h"

#include "common/win32_support.h"
#include "store/data_place.h"
#include "store/working_folder.h"

#include <windows.h>

namespace kestrane {
namespace {

using win32::ThrowLastErrorIf;

std::wstring CurrentFolder()
{
    std::wstring folder(MAX_PATH, L'\0');
    DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
    if (length >= folder.size()) {
        folder.resize(length);  // the length asked for counts the terminating zero
        length = ::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
    }
    ThrowLastErrorIf(length == 0 || length >= folder.size(), "GetCurrentDirectoryW");
    folder.resize(length);
    return folder;
}

std::wstring ProgramFolder()
{
    const std::wstring program = win32::ModuleFileName(nullptr);
    return program.substr(0, program.find_last_of(L'\\'));
}

// Where a folder is on its volume, as Windows identifies it whatever the
// spelling of its path (case, short names, links).
struct FolderIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
    bool operator==(const FolderIdentity&) const = default;
};

FolderIdentity IdentityOf(const std::wstring& folder)
{
    // A folder can be opened only with backup semantics; no access is asked for.
    const win32::UniqueFile handle(
        ::CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ThrowLastErrorIf(!handle, "Opening the folder " + win32::Narrow(folder));
    BY_HANDLE_FILE_INFORMATION information{};
    ThrowLastErrorIf(!::GetFileInformationByHandle(handle.Get(), &information), "GetFileInformationByHandle");
    return {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
}

// 0 when a file can be made in the current folder, or the reason it cannot.
DWORD WriteCheck()
{
    const std::wstring name = L"Kestrane-write-check-" + std::to_wstring(::GetCurrentProcessId());
    const win32::UniqueFile file(
        ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return file ? ERROR_SUCCESS : ::GetLastError();
}

std::string Refusal(const std::wstring& folder, const std::string& reason)
{
    return "Kestrane cannot work in the folder it was started in, " + win32::Narrow(folder) + ": " + reason
           + ".\r\n\r\nStart Kestrane from its shortcut \"Kestrane\" in the Start menu, which starts it in "
             "its "
             "data folder "
           + kDataFolder + "." + WhereTheDataIs(DataPlace::HandheldUntouched);
}

}  // namespace

std::string WorkingFolderPath()
{
    return win32::Narrow(CurrentFolder());
}

std::optional<std::string> WorkingFolderProblem()
{
    const std::wstring working = CurrentFolder();
    if (IdentityOf(working) == IdentityOf(ProgramFolder())) {
        return Refusal(working, "it is the folder of the program itself");
    }
    if (const DWORD code = WriteCheck(); code != ERROR_SUCCESS) {
        return Refusal(working, "Kestrane cannot write there: " + win32::SystemErrorText(code));
    }
    return std::nullopt;
}

}  // namespace kestrane
