// One copy of Kestrane at a time in a working folder.
//
// Two copies in one folder would each take the other's work files for what a
// crash left behind, and tidy them away while the other still works on them.
// A copy therefore holds kLockFile open, sharing nothing, for its whole run.
// An open file excludes copies started by other users signed in to the PC and
// copies on other PCs that share the folder, where a named mutex would not;
// and since only the open handle locks, a lock file that a power cut left
// behind stops no one.
#pragma once

#include "common/win32_support.h"

#include <optional>
#include <string>

namespace kestrane {

inline constexpr const char* kLockFile = "kestrane.lock";

// The lock, held until it is destroyed; the lock file then goes too.
class WorkingFolderLock {
public:
    // Takes the lock in the current folder, before anything there is read.
    // A file that another program holds for a moment (an antivirus scanner)
    // is tried again for a short while. Returns the lock, or the message for
    // the user when another copy of Kestrane holds it or the file cannot be
    // made.
    struct Taken;
    static Taken Take();

private:
    explicit WorkingFolderLock(win32::UniqueFile file) : file_(std::move(file)) {}

    win32::UniqueFile file_;
};

struct WorkingFolderLock::Taken {
    std::optional<WorkingFolderLock> lock;
    std::string problem;  // when there is no lock
};

}  // namespace kestrane
