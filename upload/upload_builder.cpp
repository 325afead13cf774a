#include "upload/upload_builder.h"

#include "common/job_error.h"
#include "store/data_place.h"
#include "store/upload_format.h"
#include "store/working_folder.h"
#include "upload/line_splitter.h"

#include <algorithm>
#include <limits>

namespace kestrane {
namespace {

constexpr std::size_t kChunkSize = 256 * 1024;

bool SameMinute(const LocalTime& a, const LocalTime& b)
{
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour
           && a.minute == b.minute;
}

JobError WindowClosedBeforeTheBuild()
{
    return JobError("The window was closed before the upload file was built."
                    + WhereTheDataIs(DataPlace::StagingFile));
}

// What the build has read of the staging file, which it reads twice: once to
// count its lines and once to write them.
struct BuildProgress {
    JobWindow& window;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
};

// Feeds the whole of a file to sink in large chunks, reporting progress
// after each. Throws JobError once the window has been closed.
template <typename Sink>
void ForEachChunk(LocalFiles& files, const std::string& name, BuildProgress& progress, Sink&& sink)
{
    auto input = files.OpenForReading(name);
    std::string buffer(kChunkSize, '\0');
    while (std::size_t got = input->Read(buffer.data(), buffer.size())) {
        sink(std::string_view(buffer.data(), got));
        progress.done += got;
        if (!progress.window.ReportProgress({progress.done, progress.total})) {
            throw WindowClosedBeforeTheBuild();
        }
    }
}

std::uint64_t CountLines(LocalFiles& files, const std::string& name, BuildProgress& progress)
{
    LineCounter counter;
    ForEachChunk(files, name, progress, [&](std::string_view chunk) { counter.Feed(chunk); });
    return counter.Lines();
}

std::string KeptInStagingMessage(const std::string& what, const FileError& error)
{
    return "Kestrane could not " + what + ".\r\n" + error.Path() + ": " + error.Reason()
           + WhereTheDataIs(DataPlace::StagingFile);
}

}  // namespace

std::optional<std::string> BuildUploadFile(const LocationSettings& settings, LocalFiles& files, Clock& clock,
                                           JobWindow& window)
{
    if (!files.Exists(kStagingFile)) {
        return std::nullopt;
    }

    LocalTime now = clock.Now();
    std::string name = UploadFileName(now, settings.locationCode);
    while (UploadNameTaken(files, name)) {
        window.LogLine("Waiting for the next minute: " + name + " already exists ...");
        const LocalTime taken = now;
        while (SameMinute(now, taken)) {
            if (!window.PumpMessages()) {
                throw WindowClosedBeforeTheBuild();
            }
            now = clock.Now();
        }
        name = UploadFileName(now, settings.locationCode);
    }

    const std::string unfinished = name + kUnfinishedSuffix;
    try {
        BuildProgress progress{window, 0, 2 * files.Size(kStagingFile)};
        const std::uint64_t lines = CountLines(files, kStagingFile, progress);
        if (lines > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
            throw JobError("Kestrane could not build the upload file " + name + ": the staging file "
                           + kStagingFile + " holds " + std::to_string(lines)
                           + " lines, more than an upload file can count."
                           + WhereTheDataIs(DataPlace::StagingFileTooLong));
        }

        auto output = files.CreateForWriting(unfinished);
        BufferedWriter writer(*output);
        writer.Write(UploadHeaderLine(name, lines));
        UploadLineWriter lineWriter(writer, settings.locationCode);
        LineSplitter splitter(lineWriter);
        ForEachChunk(files, kStagingFile, progress, [&](std::string_view chunk) { splitter.Feed(chunk); });
        splitter.Finish();
        WriteUploadEndLine(writer);
        writer.Commit();
    } catch (const FileError& error) {
        files.Remove(unfinished);
        throw JobError(KeptInStagingMessage("build the upload file " + name, error));
    } catch (const JobError&) {
        files.Remove(unfinished);
        throw;
    }

    // Removing the staging file is the moment the data moves into the upload
    // file: from here on a crash leaves NAME.tmp, which the next run publishes.
    try {
        files.Remove(kStagingFile);
    } catch (const FileError& error) {
        files.Remove(unfinished);
        throw JobError(KeptInStagingMessage("remove the staging file after building " + name, error));
    }
    try {
        PublishUpload(files, name);
    } catch (const FileError& error) {
        throw JobError("Kestrane could not finish the upload file " + name + ".\r\n" + error.Path() + ": "
                       + error.Reason() + WhereTheDataIs(DataPlace::UnfinishedUpload, {name}));
    }
    return name;
}

}  // namespace kestrane
