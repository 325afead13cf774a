#include "upload/upload_builder.h"

#include "common/job_error.h"
#include "common/read_while_answering.h"
#include "store/data_place.h"
#include "store/upload_format.h"
#include "store/working_folder.h"

#include <limits>

namespace kestrane {
namespace {

bool SameMinute(const LocalTime& a, const LocalTime& b)
{
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour
           && a.minute == b.minute;
}

JobError StoppedWhileBuilding()
{
    return JobError(StoppedByTheWindowsClose("building the upload file", DataPlace::StagingFile));
}

// Feeds the whole staging file to sink, reporting progress.
template <typename Sink>
void ReadStagingFile(LocalFiles& files, JobWindow& window, Progress& progress, Sink&& sink)
{
    ReadWhileAnswering(*files.OpenForReading(kStagingFile), window, progress, sink);
}

std::string KeptInStagingMessage(const std::string& what, const FileError& error)
{
    return "Kestrane could not " + what + ".\r\n" + error.what() + WhereTheDataIs(DataPlace::StagingFile);
}

// The upload file's name for the present minute or, while that name is
// taken, for the next one, which it waits for, saying so in the log.
std::string FreeUploadName(const std::string& locationCode, LocalFiles& files, Clock& clock,
                           JobWindow& window)
{
    LocalTime now = clock.Now();
    std::string name = UploadFileName(now, locationCode);
    while (UploadNameTaken(files, name)) {
        window.LogLine("Waiting for the next minute: " + name + " already exists ...");
        const LocalTime taken = now;
        while (SameMinute(now, taken)) {
            try {
                window.PumpMessages();
            } catch (const WindowClosed&) {
                throw StoppedWhileBuilding();
            }
            now = clock.Now();
        }
        name = UploadFileName(now, locationCode);
    }
    return name;
}

// Writes the staging file as the upload file NAME.tmp and commits it. The
// staging file is read twice: once to count its lines, which the header
// gives, and once to write them. Throws JobError, leaving no NAME.tmp.
void WriteUnfinishedUpload(const std::string& locationCode, LocalFiles& files, JobWindow& window,
                           const std::string& name)
{
    const std::string unfinished = name + kUnfinishedSuffix;
    try {
        Progress progress{0, 2 * files.Size(kStagingFile)};
        LineCounter counter;
        ReadStagingFile(files, window, progress, [&counter](std::string_view chunk) { counter.Feed(chunk); });
        const std::uint64_t lines = counter.Lines();
        if (lines > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
            throw JobError("Kestrane could not build the upload file " + name + ": the staging file "
                           + kStagingFile + " holds " + std::to_string(lines)
                           + " lines, more than an upload file can count."
                           + WhereTheDataIs(DataPlace::StagingFileTooLong));
        }

        auto output = files.CreateForWriting(unfinished);
        BufferedWriter writer(*output);
        writer.Write(UploadHeaderLine(name, lines));
        UploadLineConverter converter(writer, locationCode);
        ReadStagingFile(files, window, progress,
                        [&converter](std::string_view chunk) { converter.Feed(chunk); });
        converter.Finish();
        WriteUploadEndLine(writer);
        writer.Commit();
    } catch (const FileError& error) {
        files.Remove(unfinished);
        throw JobError(KeptInStagingMessage("build the upload file " + name, error));
    } catch (const JobError&) {
        files.Remove(unfinished);
        throw;
    } catch (const WindowClosed&) {
        files.Remove(unfinished);
        throw StoppedWhileBuilding();
    }
}

}  // namespace

std::optional<std::string> BuildUploadFile(const LocationSettings& settings, LocalFiles& files, Clock& clock,
                                           JobWindow& window)
{
    if (!files.Exists(kStagingFile)) {
        return std::nullopt;
    }

    const std::string name = FreeUploadName(settings.locationCode, files, clock, window);
    WriteUnfinishedUpload(settings.locationCode, files, window, name);

    // Removing the staging file is the moment the data moves into the upload
    // file: from here on a crash leaves NAME.tmp, which the next run publishes.
    try {
        files.Remove(kStagingFile);
    } catch (const FileError& error) {
        files.Remove(name + kUnfinishedSuffix);
        throw JobError(KeptInStagingMessage("remove the staging file after building " + name, error));
    }
    try {
        PublishUpload(files, name);
    } catch (const FileError& error) {
        throw JobError("Kestrane could not finish the upload file " + name + ".\r\n" + error.what()
                       + WhereTheDataIs(DataPlace::UnfinishedUpload, {name}));
    }
    return name;
}

}  // namespace kestrane
