// Pulling the handheld's data file into the staging file.
//
// The data never exists in fewer than one safe place. It is first read whole
// into "Infile.pull", flushed to the disk and renamed "Infile.pulled"; only
// then is it deleted on the handheld, and "Infile.pulled" is added to the end
// of the staging file "Infile.txt". A run that was cut short leaves one of
// these files behind, and the next run settles it before it pulls again.
#pragma once

#include "common/local_files.h"
#include "device/remote_device.h"

namespace kestrane {

inline constexpr const char* kStagingFile = "Infile.txt";
inline constexpr const char* kPullFile = "Infile.pull";
inline constexpr const char* kPulledFile = "Infile.pulled";
inline constexpr const char* kMergeFile = "Infile.merge";

inline constexpr const char16_t* kDeviceDataFile = u"\\Storage Card\\savedata.dat";

// Reads are this size, as the handheld's file system expects.
inline constexpr std::uint32_t kDeviceReadSize = 4096;

// Moves the handheld's data file, if it has one, to the end of the staging
// file: its bytes unchanged, followed by one CR LF. An empty data file is
// just deleted. Throws JobError when the handheld cannot be reached or read,
// or the data cannot be saved; the data then stays on the handheld.
void GetCEFile(RemoteDevice& device, LocalFiles& files);

// Settles what an interrupted earlier run left in the working folder without
// needing the handheld: a finished merge is completed and an unfinished one
// or an unfinished pull is dropped (its data is still in the place it came
// from). "Infile.pulled" is left for GetCEFile, which asks the handheld.
void RecoverInterruptedPull(LocalFiles& files);

}  // namespace kestrane
