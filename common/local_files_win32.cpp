#include "common/local_files_win32.h"

#include "common/busy_retry.h"
#include "common/win32_support.h"

#include <limits>
#include <thread>

namespace kestrane {
namespace {

using win32::ThrowLastErrorIf;
using win32::UniqueFile;

// What has been written is flushed to the disk whenever it reaches this
// size, so that no flush, Commit's included, keeps the window's thread
// waiting on the disk for long, however big the file.
constexpr std::uint64_t kFlushEveryBytes = 8 * 1024 * 1024;

bool IsNotFound(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// The failures another program's brief hold on a file gives: a sharing or a
// lock violation, or "access denied", which a file being deleted gives too.
bool IsBusy(DWORD code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED;
}

// Builds the FileError for a call on path that failed with a code: the file
// layer's errors name the file and tell a missing file from other failures.
auto FileErrorOn(const std::string& path)
{
    return [&path](DWORD code) { return FileError(path, win32::SystemErrorText(code), IsNotFound(code)); };
}

class Win32InputFile final : public InputFile {
public:
    Win32InputFile(std::string path, UniqueFile file) : path_(std::move(path)), file_(std::move(file)) {}

    std::size_t Read(char* buffer, std::size_t size) override
    {
        const DWORD request = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD got = 0;
        ThrowLastErrorIf(!::ReadFile(file_.Get(), buffer, request, &got, nullptr), FileErrorOn(path_));
        return got;
    }

private:
    std::string path_;
    UniqueFile file_;
};

class Win32OutputFile final : public OutputFile {
public:
    Win32OutputFile(std::string path, UniqueFile file) : path_(std::move(path)), file_(std::move(file)) {}

    void Write(std::string_view bytes) override
    {
        while (!bytes.empty()) {
            const DWORD request = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
            DWORD put = 0;
            ThrowLastErrorIf(!::WriteFile(file_.Get(), bytes.data(), request, &put, nullptr),
                             FileErrorOn(path_));
            bytes.remove_prefix(put);
            unflushed_ += put;
            if (unflushed_ >= kFlushEveryBytes) {
                ThrowLastErrorIf(!::FlushFileBuffers(file_.Get()), FileErrorOn(path_));
                unflushed_ = 0;
            }
        }
    }

    void Commit() override
    {
        ThrowLastErrorIf(!::FlushFileBuffers(file_.Get()), FileErrorOn(path_));
        ThrowLastErrorIf(!::CloseHandle(file_.Release()), FileErrorOn(path_));
    }

private:
    std::string path_;
    UniqueFile file_;
    std::uint64_t unflushed_ = 0;
};

}  // namespace

Win32LocalFiles::Win32LocalFiles() :
    waitWhileBusy_([](const std::string&, bool) { std::this_thread::sleep_for(kBusyPause); })
{
}

Win32LocalFiles::Win32LocalFiles(JobWindow& window) :
    waitWhileBusy_([&window](const std::string& name, bool first) {
        if (first) {
            window.LogLine("Waiting for " + name + ", which is in use or locked ...");
        }
        window.PumpMessages();
    })
{
}

Win32LocalFiles::Win32LocalFiles(NeverWait) {}

void Win32LocalFiles::WhileBusy(const std::string& name, const std::function<bool()>& attempt,
                                const std::string& reported)
{
    DWORD code = ERROR_SUCCESS;
    const auto once = [&] {
        if (attempt()) {
            code = ERROR_SUCCESS;
            return Attempt::Done;
        }
        code = ::GetLastError();
        return IsBusy(code) ? Attempt::Busy : Attempt::Failed;
    };
    if (waitWhileBusy_) {
        RetryWhileBusy(
            once, [&](bool first) { waitWhileBusy_(name, first); }, clock_);
    } else {
        once();
    }
    if (code != ERROR_SUCCESS) {
        throw FileErrorOn(reported)(code);
    }
}

bool Win32LocalFiles::Exists(const std::string& name)
{
    if (::GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    ThrowLastErrorIf(!IsNotFound(::GetLastError()), FileErrorOn(name));
    return false;
}

std::uint64_t Win32LocalFiles::Size(const std::string& name)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ThrowLastErrorIf(!::GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data), FileErrorOn(name));
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::unique_ptr<InputFile> Win32LocalFiles::OpenForReading(const std::string& name)
{
    UniqueFile file;
    WhileBusy(name, [&] {
        file.Reset(::CreateFileA(name.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        return static_cast<bool>(file);
    });
    return std::make_unique<Win32InputFile>(name, std::move(file));
}

std::unique_ptr<OutputFile> Win32LocalFiles::CreateForWriting(const std::string& name)
{
    UniqueFile file;
    WhileBusy(name, [&] {
        file.Reset(::CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        return static_cast<bool>(file);
    });
    return std::make_unique<Win32OutputFile>(name, std::move(file));
}

void Win32LocalFiles::Append(const std::string& name, std::string_view bytes)
{
    UniqueFile file;
    WhileBusy(name, [&] {
        file.Reset(::CreateFileA(name.c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        return static_cast<bool>(file);
    });
    Win32OutputFile(name, std::move(file)).Write(bytes);
}

void Win32LocalFiles::Rename(const std::string& from, const std::string& to, bool replaceExisting)
{
    DWORD flags = MOVEFILE_WRITE_THROUGH;
    if (replaceExisting) {
        flags |= MOVEFILE_REPLACE_EXISTING;
    }
    WhileBusy(
        from, [&] { return ::MoveFileExA(from.c_str(), to.c_str(), flags) != FALSE; }, to);
}

void Win32LocalFiles::Remove(const std::string& name)
{
    WhileBusy(name, [&] { return ::DeleteFileA(name.c_str()) || IsNotFound(::GetLastError()); });
}

std::vector<std::string> Win32LocalFiles::ListWithSuffix(const std::string& suffix)
{
    std::vector<std::string> names;
    const std::string pattern = "*" + suffix;
    WIN32_FIND_DATAA found{};
    const win32::UniqueFindFile search(::FindFirstFileA(pattern.c_str(), &found));
    if (!search && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        return names;
    }
    ThrowLastErrorIf(!search, FileErrorOn(pattern));
    do {
        // The pattern also matches short (8.3) names, so check the long name.
        std::string_view name(found.cFileName);
        if (name.size() > suffix.size() && name.ends_with(suffix)
            && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.emplace_back(name);
        }
    } while (::FindNextFileA(search.Get(), &found));
    ThrowLastErrorIf(::GetLastError() != ERROR_NO_MORE_FILES, FileErrorOn(pattern));
    return names;
}

}  // namespace kestrane
