#include "store/working_folder.h"

#include "common/job_error.h"
#include "common/read_while_answering.h"
#include "store/data_place.h"
#include "store/upload_format.h"

#include <algorithm>
#include <cstring>

namespace kestrane {
namespace {

// The pulled copy is the handheld's data followed by one CR LF.
constexpr std::uint64_t kPulledLineEndBytes = 2;

std::string WithoutSuffix(const std::string& name, const char* suffix)
{
    return name.substr(0, name.size() - std::strlen(suffix));
}

void SettleUnfinishedUploads(LocalFiles& files)
{
    const std::string suffix = std::string(kUploadExtension) + kUnfinishedSuffix;
    for (const std::string& unfinished : files.ListWithSuffix(suffix)) {
        // The build removes the staging file only once NAME.tmp is complete.
        if (files.Exists(kStagingFile)) {
            files.Remove(unfinished);
        } else {
            PublishUpload(files, WithoutSuffix(unfinished, kUnfinishedSuffix));
        }
    }
}

void SettleRenamesAndServerCopies(LocalFiles& files)
{
    const std::string suffix = std::string(kUploadExtension) + kRenamingSuffix;
    for (const std::string& renaming : files.ListWithSuffix(suffix)) {
        // The rename is decided the moment the pending marker moves to its new name.
        const std::string name = WithoutSuffix(renaming, kRenamingSuffix);
        if (files.Exists(name + kPendingSuffix)) {
            files.Rename(renaming, name, true);
        } else {
            files.Remove(renaming);
        }
    }
    for (const std::string& copy : files.ListWithSuffix(std::string(kUploadExtension) + kServerCopySuffix)) {
        files.Remove(copy);
    }
}

void SettleUnfinishedMerge(LocalFiles& files)
{
    if (files.Exists(kMergeFile)) {
        // The merge removes the pulled copy only once Infile.merge is complete.
        if (files.Exists(kPulledFile)) {
            files.Remove(kMergeFile);
        } else {
            files.Rename(kMergeFile, kStagingFile, true);
        }
    }
    files.Remove(kPullFile);
}

void SettlePulledCopy(LocalFiles& files, JobWindow& window, const PulledCopyCheck& stillOnHandheld)
{
    if (!files.Exists(kPulledFile)) {
        return;
    }
    const std::uint64_t size = files.Size(kPulledFile);
    bool duplicate = false;
    {
        auto copy = files.OpenForReading(kPulledFile);
        duplicate = stillOnHandheld(*copy, size >= kPulledLineEndBytes ? size - kPulledLineEndBytes : 0);
    }
    if (duplicate) {
        files.Remove(kPulledFile);
    } else {
        MergePulledIntoStaging(files, window);
    }
}

}  // namespace

void SettleInterruptedRun(LocalFiles& files, JobWindow& window, const PulledCopyCheck* stillOnHandheld)
{
    SettleUnfinishedUploads(files);
    SettleRenamesAndServerCopies(files);
    SettleUnfinishedMerge(files);
    if (stillOnHandheld != nullptr) {
        SettlePulledCopy(files, window, *stillOnHandheld);
    }
}

std::vector<std::string> FilesOfAnInterruptedRun(LocalFiles& files)
{
    std::vector<std::string> found;
    for (const char* name : {kPullFile, kPulledFile, kMergeFile}) {
        if (files.Exists(name)) {
            found.emplace_back(name);
        }
    }
    for (const char* suffix : {kUnfinishedSuffix, kRenamingSuffix, kServerCopySuffix}) {
        for (std::string& name : files.ListWithSuffix(std::string(kUploadExtension) + suffix)) {
            found.push_back(std::move(name));
        }
    }
    return found;
}

void MergePulledIntoStaging(LocalFiles& files, JobWindow& window)
{
    if (!files.Exists(kStagingFile)) {
        files.Rename(kPulledFile, kStagingFile, false);
        return;
    }
    try {
        auto merged = files.CreateForWriting(kMergeFile);
        BufferedWriter writer(*merged);
        Progress progress{0, files.Size(kStagingFile) + files.Size(kPulledFile)};
        for (const char* part : {kStagingFile, kPulledFile}) {
            ReadWhileAnswering(*files.OpenForReading(part), window, progress,
                               [&writer](std::string_view chunk) { writer.Write(chunk); });
        }
        writer.Commit();
    } catch (const WindowClosed&) {
        files.Remove(kMergeFile);
        throw JobError(StoppedByTheWindowsClose("adding the handheld's data to the staging file "
                                                    + std::string(kStagingFile),
                                                DataPlace::PulledCopy));
    }
    files.Remove(kPulledFile);
    files.Rename(kMergeFile, kStagingFile, true);
}

void PublishUpload(LocalFiles& files, const std::string& name)
{
    WriteWholeFile(files, name + kPendingSuffix, "");
    files.Rename(name + kUnfinishedSuffix, name, false);
}

bool UploadNameTaken(LocalFiles& files, const std::string& name)
{
    return files.Exists(name) || files.Exists(name + kPendingSuffix) || files.Exists(name + kUnfinishedSuffix)
           || files.Exists(name + kRenamingSuffix);
}

std::vector<std::string> PendingUploads(LocalFiles& files)
{
    const std::string suffix = std::string(kUploadExtension) + kPendingSuffix;
    std::vector<std::string> names;
    for (const std::string& marker : files.ListWithSuffix(suffix)) {
        names.push_back(WithoutSuffix(marker, kPendingSuffix));
    }
    // Names begin with the time they were built, YYMMDDhhmm.
    std::sort(names.begin(), names.end());
    return names;
}

void MarkUploadConfirmed(LocalFiles& files, const std::string& uploadName)
{
    files.Remove(uploadName + kPendingSuffix);
}

void RenamePendingUpload(LocalFiles& files, JobWindow& window, const std::string& from, const std::string& to)
{
    const std::string renaming = to + kRenamingSuffix;
    try {
        const std::uint64_t total = files.Size(from);
        auto input = files.OpenForReading(from);
        auto output = files.CreateForWriting(renaming);
        BufferedWriter writer(*output);
        Progress progress{RewriteHeaderNaming(*input, writer, from, to), total};
        ReadWhileAnswering(*input, window, progress,
                           [&writer](std::string_view chunk) { writer.Write(chunk); });
        writer.Commit();
    } catch (...) {
        files.Remove(renaming);
        throw;
    }
    // Moving the marker decides the rename; SettleInterruptedRun completes it.
    files.Rename(from + kPendingSuffix, to + kPendingSuffix, false);
    files.Remove(from);
    files.Rename(renaming, to, false);
}

std::vector<std::string> OrphanedPendingUploads(LocalFiles& files)
{
    std::vector<std::string> orphans;
    for (const std::string& name : PendingUploads(files)) {
        if (!files.Exists(name)) {
            orphans.push_back(name);
        }
    }
    return orphans;
}

void RetireOrphanedUpload(LocalFiles& files, const std::string& uploadName)
{
    files.Remove(uploadName + kPendingSuffix);
}

void RecordDoneMarkerOwed(LocalFiles& files)
{
    WriteWholeFile(files, kDoneMarkerOwedFile, "");
}

bool DoneMarkerOwed(LocalFiles& files)
{
    return files.Exists(kDoneMarkerOwedFile);
}

void ClearDoneMarkerOwed(LocalFiles& files)
{
    files.Remove(kDoneMarkerOwedFile);
}

}  // namespace kestrane
