// The Win32 file layer on a real (Wine's) file system.
#include "common/local_files_win32.h"

#include "tests/shared/local_files_contract.h"

#include <windows.h>

namespace kestrane {
namespace {

struct Win32Env {
    void Enter()
    {
        char temp[MAX_PATH];
        ASSERT_NE(::GetTempPathA(MAX_PATH, temp), 0u);
        folder = std::string(temp) + "kestrane-files-" + std::to_string(::GetCurrentProcessId());
        ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
        char current[MAX_PATH];
        ASSERT_NE(::GetCurrentDirectoryA(MAX_PATH, current), 0u);
        previous = current;
        ASSERT_TRUE(::SetCurrentDirectoryA(folder.c_str()));
    }

    void Leave()
    {
        for (const std::string& name : files.ListWithSuffix("")) {
            ::DeleteFileA(name.c_str());
        }
        ::SetCurrentDirectoryA(previous.c_str());
        ::RemoveDirectoryA(folder.c_str());
    }

    std::string Absolute(const std::string& name) { return folder + "\\" + name; }

    Win32LocalFiles files;
    std::string folder;
    std::string previous;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, LocalFilesContract, Win32Env);

}  // namespace
}  // namespace kestrane
