#include "store/working_folder.h"

#include "common/job_error.h"

#include <algorithm>
#include <array>
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

// Adds the whole of a file to writer, telling the window after each piece
// how many bytes have been copied. Returns false, before the end, once the
// window has been closed.
bool AppendWhileAnswering(LocalFiles& files, const char* name, BufferedWriter& writer, JobWindow& window,
                          std::uint64_t& copied)
{
    auto input = files.OpenForReading(name);
    std::array<char, 64 * 1024> buffer{};
    while (std::size_t got = input->Read(buffer.data(), buffer.size())) {
        writer.Write(std::string_view(buffer.data(), got));
        copied += got;
        if (!window.ReportProgress({copied, 0})) {
            return false;
        }
    }
    return true;
}

std::string NameList(const std::vector<std::string>& names)
{
    std::string list;
    for (const std::string& name : names) {
        list += (list.empty() ? "" : ", ") + name;
    }
    return list;
}

}  // namespace

void SettleInterruptedRun(LocalFiles& files, JobWindow& window, const PulledCopyCheck* stillOnHandheld)
{
    SettleUnfinishedUploads(files);
    SettleUnfinishedMerge(files);
    if (stillOnHandheld != nullptr) {
        SettlePulledCopy(files, window, *stillOnHandheld);
    }
}

void MergePulledIntoStaging(LocalFiles& files, JobWindow& window)
{
    if (!files.Exists(kStagingFile)) {
        files.Rename(kPulledFile, kStagingFile, false);
        return;
    }
    bool complete = false;
    {
        auto merged = files.CreateForWriting(kMergeFile);
        BufferedWriter writer(*merged);
        std::uint64_t copied = 0;
        const std::array<const char*, 2> parts = {kStagingFile, kPulledFile};
        complete = std::all_of(parts.begin(), parts.end(), [&](const char* part) {
            return AppendWhileAnswering(files, part, writer, window, copied);
        });
        if (complete) {
            writer.Commit();
        }
    }
    if (!complete) {
        files.Remove(kMergeFile);
        throw JobError(
            "Kestrane stopped because its window was closed while it was adding the handheld's data "
            "to the staging file "
            + std::string(kStagingFile) + "." + WhereTheDataIs(DataPlace::PulledCopy));
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
    return files.Exists(name) || files.Exists(name + kPendingSuffix) || files.Exists(name + kUnfinishedSuffix);
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

std::string WhereTheDataIs(DataPlace place, const std::vector<std::string>& files)
{
    const std::string nextRun = " and will be sent the next time Kestrane runs.";
    std::string where;
    switch (place) {
    case DataPlace::HandheldUntouched:
        where = "Nothing was taken from the handheld.";
        break;
    case DataPlace::Handheld:
        where = "Nothing was sent. The data is still on the handheld.";
        break;
    case DataPlace::HandheldAndEarlierData:
        where = "Nothing was sent. The data is still on the handheld, and earlier data stays in the "
                "working folder.";
        break;
    case DataPlace::HandheldAndPulledCopy:
        where = "Nothing was sent. The data is kept on the handheld and in " + std::string(kPulledFile)
                + ", and will be sent once the next time Kestrane runs.";
        break;
    case DataPlace::PulledCopy:
        where = "Nothing was sent. The data is kept in " + std::string(kPulledFile) + nextRun;
        break;
    case DataPlace::StagingFile:
        where = "Nothing was sent. The data is kept in " + std::string(kStagingFile) + nextRun;
        break;
    case DataPlace::StagingFileTooLong:
        where = "Nothing was sent. The data is kept in " + std::string(kStagingFile) + ".";
        break;
    case DataPlace::UnfinishedUpload:
        where = "Nothing was sent. The data is kept in " + NameList(files) + kUnfinishedSuffix + nextRun;
        break;
    case DataPlace::UploadFiles:
        where = files.size() == 1 ? "The upload file " + files.front() + " is kept in the working folder"
                                  : "The upload files " + NameList(files) + " are kept in the working folder";
        where += nextRun;
        break;
    }
    return "\r\n\r\n" + where;
}

}  // namespace kestrane
