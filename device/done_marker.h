// Leaving the done marker on the handheld, which tells it that its data has
// reached the server.
#pragma once

#include "common/local_files.h"
#include "device/remote_device.h"

#include <string>

namespace kestrane {

inline constexpr const char16_t* kDeviceDoneMarker = u"\\Storage Card\\SyncDone.dat";
// The marker while it is written. It takes the marker's name only once it is
// whole, so that a marker is whole or absent whenever the step is cut short.
inline constexpr const char16_t* kDeviceUnfinishedDoneMarker = u"\\Storage Card\\SyncDone.dat.tmp";

// Copies the local done file to the handheld's done marker, unless the
// handheld already has one, which is then left untouched and the local file
// not even read. An unfinished marker left by an interrupted run is removed.
// Throws JobError when the marker cannot be written, or the window was
// closed while the step waited for the handheld; no marker, not even an
// empty one, is left behind in that case.
void PutCEDoneFile(RemoteDevice& device, LocalFiles& files);

// Reads the whole of a local file into bytes; returns whether it holds any.
// Throws JobError naming the file when it is missing or unreadable.
bool ReadLocalBytes(LocalFiles& files, const std::string& path, std::string& bytes);

}  // namespace kestrane
