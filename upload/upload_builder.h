// Building the upload file from the staging file.
//
// The upload file (store/upload_format.h) is written as NAME.tmp and
// published under NAME, pending until the server has it
// (store/working_folder.h).
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "common/local_files.h"
#include "settings/location_settings.h"

#include <optional>
#include <string>

namespace kestrane {

// Builds the upload file from the staging file and removes the staging
// file. Returns the new upload file's name, or nothing when there is no
// staging file. When an upload file of that name already exists, it logs
// that it waits, waits for the next minute and names the file anew. The
// window keeps answering while the file is built. Throws JobError on any
// failure, and when the window is closed; the staging file is then kept.
std::optional<std::string> BuildUploadFile(const LocationSettings& settings, LocalFiles& files, Clock& clock,
                                           JobWindow& window);

}  // namespace kestrane
