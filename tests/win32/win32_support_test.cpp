// The Win32 kit: handle owners, the thrown last error, error texts, functions
// looked up at run time and modules' file names.
#include "common/win32_support.h"

#include "common/scope_exit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <source_location>
#include <stdexcept>
#include <string>

namespace kestrane {
namespace {

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) != FALSE;
}

bool Duplicate(HANDLE source, HANDLE* copy)
{
    return ::DuplicateHandle(::GetCurrentProcess(), source, ::GetCurrentProcess(), copy, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)
           != FALSE;
}

TEST(Win32KitTest, AnOwnerClosesWhatItHoldsWhenRefilledResetOrMovedOnto)
{
    const win32::UniqueKernelObject event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event) << ::GetLastError();

    win32::UniqueKernelObject copy;
    ASSERT_TRUE(Duplicate(event.Get(), copy.Put())) << ::GetLastError();
    const HANDLE first = copy.Get();
    ASSERT_TRUE(IsOpen(first));

    // Refilled through Put(): the handle held is closed before the call runs.
    HANDLE* place = copy.Put();
    EXPECT_FALSE(IsOpen(first));
    EXPECT_EQ(*place, nullptr);
    ASSERT_TRUE(Duplicate(event.Get(), place)) << ::GetLastError();
    const HANDLE second = copy.Get();
    EXPECT_TRUE(IsOpen(second));

    win32::UniqueKernelObject moved(std::move(copy));
    EXPECT_FALSE(copy);
    EXPECT_EQ(moved.Get(), second);
    win32::UniqueKernelObject third;
    ASSERT_TRUE(Duplicate(event.Get(), third.Put())) << ::GetLastError();
    const HANDLE thirdHandle = third.Get();
    moved = std::move(third);
    EXPECT_FALSE(IsOpen(second));
    EXPECT_EQ(moved.Get(), thirdHandle);
    moved.Reset();
    EXPECT_FALSE(IsOpen(thirdHandle));

    // Handles whose "none" is INVALID_HANDLE_VALUE.
    const win32::UniqueFile missing(::CreateFileW(L"no-such-folder\\no-such-file", GENERIC_READ, 0, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.Get(), INVALID_HANDLE_VALUE);
}

// What a failing call's own error builder makes of the code.
struct CodeError {
    DWORD code;
};

TEST(Win32KitTest, ThrowsTheFailedCallsErrorAndOnlyWhenItFailed)
{
    ::SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_NO_THROW(win32::ThrowLastErrorIf(false, "Nothing"));
    EXPECT_NO_THROW(win32::ThrowLastErrorIf(false, [](DWORD code) { return CodeError{code}; }));

    // The message names the call, the file and line of this call site, and the error.
    const std::uint_least32_t callLine = std::source_location::current().line() + 2;
    try {
        win32::ThrowLastErrorIf(!::DeleteFileW(L"no-such-file.kestrane"), "DeleteFileW");
        ADD_FAILURE() << "nothing was thrown";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), "DeleteFileW failed at win32_support_test.cpp:" + std::to_string(callLine)
                                    + ": " + win32::SystemErrorText(ERROR_FILE_NOT_FOUND));
    }

    try {
        win32::ThrowLastErrorIf(::GetFileAttributesW(L"no-such-file.kestrane") == INVALID_FILE_ATTRIBUTES,
                                [](DWORD code) { return CodeError{code}; });
        ADD_FAILURE() << "nothing was thrown";
    } catch (const CodeError& error) {
        EXPECT_EQ(error.code, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

struct ErrorTextCase {
    DWORD code;
    const char* number;
};

// A code of the system's table, and codes of WinINet's, which only
// wininet.dll's own table describes (Wine's describes these, not all).
const ErrorTextCase kErrorTexts[] = {
    {ERROR_FILE_NOT_FOUND, " (error 2)"},
    {ERROR_INTERNET_TIMEOUT, " (error 12002)"},
    {ERROR_INTERNET_CANNOT_CONNECT, " (error 12029)"},
};

TEST(Win32KitTest, AnErrorTextIsTheDescriptionWithoutItsFullStopAndThenTheNumber)
{
    for (const ErrorTextCase& error : kErrorTexts) {
        const std::string text = win32::SystemErrorText(error.code);
        const std::string number = error.number;
        ASSERT_GT(text.size(), number.size() + 1) << text;
        EXPECT_EQ(text.substr(text.size() - number.size()), number) << text;
        const char last = text[text.size() - number.size() - 1];
        EXPECT_TRUE(last != '.' && last != ' ' && last != '\n' && last != '\r') << text;
    }
    EXPECT_EQ(win32::SystemErrorText(0x2000FFFF), "error 536936447");
}

TEST(Win32KitTest, AFunctionLookedUpAtRunTimeIsTheModulesOwnOrNone)
{
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    ASSERT_NE(kernel32, nullptr) << ::GetLastError();
    using GetProcessId = decltype(&::GetCurrentProcessId);

    const GetProcessId found = win32::FindFunction<GetProcessId>(kernel32, "GetCurrentProcessId");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found(), ::GetCurrentProcessId());
    EXPECT_EQ(win32::FindFunction<GetProcessId>(kernel32, "KestraneHasNoSuchFunction"), nullptr);
}

// A module's file name is whole however long: here a library of the tests'
// own, loaded from a folder whose path is longer than MAX_PATH.
TEST(Win32KitTest, AModulesFileNameIsItsWholePath)
{
    namespace fs = std::filesystem;
    const std::wstring program = win32::ModuleFileName(nullptr);
    const fs::path programFolder = fs::path(program).parent_path();
    EXPECT_EQ(program, (programFolder / "kestrane_win32_tests.exe").wstring());

    // Paths past MAX_PATH take the "\\?\" form.
    const std::wstring longForm = L"\\\\?\\";
    const std::wstring scratch = L"kestrane-long-" + std::to_wstring(::GetCurrentProcessId());
    const fs::path root = longForm + (fs::temp_directory_path() / scratch).wstring();
    const ScopeExit removeRoot([&root] {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    });
    const fs::path folder =
        root / std::wstring(100, L'a') / std::wstring(100, L'b') / std::wstring(100, L'c');
    fs::create_directories(folder);
    const fs::path library = folder / "library.dll";
    fs::copy_file(programFolder / "rapi_incomplete.dll", library);
    ASSERT_GT(library.wstring().size(), static_cast<std::size_t>(MAX_PATH));

    const win32::UniqueModule loaded(::LoadLibraryExW(library.c_str(), nullptr, 0));
    ASSERT_TRUE(loaded) << ::GetLastError();
    // Windows names it in the form it was loaded by; Wine without the "\\?\".
    const std::wstring name = win32::ModuleFileName(loaded.Get());
    const std::wstring path = library.wstring();
    EXPECT_TRUE(name == path || name == path.substr(longForm.size())) << name;
}

}  // namespace
}  // namespace kestrane
