// The closing sentences of an error message: where the handheld's data is
// now that a run has stopped early, named by the working folder's files
// (store/working_folder.h).
#pragma once

#include <string>
#include <vector>

namespace kestrane {

// Where the handheld's data is when a run stops early.
enum class DataPlace {
    HandheldUntouched,       // nothing was even read from it
    Handheld,                // nothing was sent
    HandheldAndEarlierData,  // and what earlier runs left stays in the working folder
    HandheldAndPulledCopy,   // the delete on the handheld failed
    PulledCopy,              // Infile.pulled
    StagingFile,             // Infile.txt
    StagingFileTooLong,      // Infile.txt, which no upload file can hold
    UnfinishedUpload,        // NAME.tmp, finished but not yet published
    UploadFiles,             // upload files that the server has not confirmed
};

// Names for a message: "A, B, C".
std::string NameList(const std::vector<std::string>& names);

// The closing paragraph of an error message that says where the data is now,
// starting with the blank line that sets it apart. `files` names the upload
// files for UnfinishedUpload and UploadFiles.
std::string WhereTheDataIs(DataPlace place, const std::vector<std::string>& files = {});

// The message of a run that the user stopped by closing its window while it
// was doing `activity` ("copying the handheld's data"), and where the data
// is now.
std::string StoppedByTheWindowsClose(const std::string& activity, DataPlace place,
                                     const std::vector<std::string>& files = {});

}  // namespace kestrane
