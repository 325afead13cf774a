#include "store/data_place.h"

#include "store/working_folder.h"

namespace kestrane {

std::string NameList(const std::vector<std::string>& names)
{
    std::string list;
    for (const std::string& name : names) {
        list += (list.empty() ? "" : ", ") + name;
    }
    return list;
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

std::string StoppedByTheWindowsClose(const std::string& activity, DataPlace place,
                                     const std::vector<std::string>& files)
{
    return "Kestrane stopped because its window was closed while it was " + activity + "."
           + WhereTheDataIs(place, files);
}

}  // namespace kestrane
