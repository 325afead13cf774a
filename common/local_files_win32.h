// LocalFiles over the Win32 file API. Names go to the narrow ("A") calls, so
// they are taken in the system code page, as the rest of the job's text is.
//
// Opens, renames and removals that fail because another program holds the
// file for a moment are made again for a while (common/busy_retry.h), and
// files are opened for reading with read, write and delete sharing, so that
// a file someone else has open can still be read.
#pragma once

#include "common/job_window.h"
#include "common/local_files.h"
#include "common/system_clock_win32.h"

#include <functional>

namespace kestrane {

class Win32LocalFiles final : public LocalFiles {
public:
    // Pauses a tenth of a second between two attempts on a busy file.
    Win32LocalFiles();
    // Keeps the window answering between two attempts on a busy file, and
    // says in its log, once for each operation, which file it waits for.
    // Closing the window ends the wait: the operation then fails.
    explicit Win32LocalFiles(JobWindow& window);
    // Never waits for a busy file: for records that must hold nothing up.
    struct NeverWait {};
    explicit Win32LocalFiles(NeverWait);

    bool Exists(const std::string& name) override;
    std::uint64_t Size(const std::string& name) override;
    std::unique_ptr<InputFile> OpenForReading(const std::string& name) override;
    std::unique_ptr<OutputFile> CreateForWriting(const std::string& name) override;
    void Append(const std::string& name, std::string_view bytes) override;
    void Rename(const std::string& from, const std::string& to, bool replaceExisting) override;
    void Remove(const std::string& name) override;
    std::vector<std::string> ListWithSuffix(const std::string& suffix) override;

private:
    // Makes attempt (true: done) again while it fails because another
    // program holds the file name. Throws FileError on the reported path
    // (the same name unless given) when it does not succeed.
    void WhileBusy(const std::string& name, const std::function<bool()>& attempt,
                   const std::string& reported);
    void WhileBusy(const std::string& name, const std::function<bool()>& attempt)
    {
        WhileBusy(name, attempt, name);
    }

    // Called between two attempts on a busy file, named as the job names
    // it; first is true the first time for an operation. Empty: never wait.
    std::function<void(const std::string& name, bool first)> waitWhileBusy_;
    SystemClock clock_;
};

}  // namespace kestrane
