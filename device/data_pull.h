// Pulling the handheld's data file into the staging file.
//
// The data never exists in fewer than one safe place. It is first read whole
// into the pull file, flushed to the disk and renamed as the pulled copy;
// only then is it deleted on the handheld, and the copy is added to the end
// of the staging file (store/working_folder.h has the files and states).
#pragma once

#include "common/job_window.h"
#include "common/local_files.h"
#include "device/remote_device.h"

namespace kestrane {

inline constexpr const char16_t* kDeviceDataFile = u"\\Storage Card\\savedata.dat";

// Reads are this size, as the handheld's file system expects.
inline constexpr std::uint32_t kDeviceReadSize = 4096;

// Moves the handheld's data file, if it has one, to the end of the staging
// file: its bytes unchanged, followed by one CR LF. An empty data file is
// just deleted. A pulled copy left by an interrupted run is settled first,
// once the handheld can say whether it still holds that data. The window
// keeps answering while the data is copied, and is told how much of the
// handheld's file has come; closing it stops the copy.
// Throws JobError when the handheld cannot be reached or read, the data
// cannot be saved or the window was closed; the data then stays on the
// handheld. Throws WindowClosed when the window was closed while the job
// waited for the handheld: nothing was taken from it. Returns the number of
// bytes taken from the handheld: 0 when it had no data.
std::uint64_t GetCEFile(RemoteDevice& device, LocalFiles& files, JobWindow& window);

}  // namespace kestrane
