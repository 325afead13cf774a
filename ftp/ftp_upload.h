// Sending upload files to the location's FTP server.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "common/local_files.h"
#include "ftp/ftp_client.h"
#include "ftp/ftp_time_limits.h"
#include "settings/location_settings.h"

#include <string>
#include <vector>

namespace kestrane {

struct UploadToSend {
    std::string name;
    // Built by an earlier run: the server may already hold it from a run that
    // ended before it could record the upload as confirmed.
    bool fromEarlierRun = false;
};

// Connects once and sends each upload file, in the order given, to the
// remote folder followed by the file's name. Each file is confirmed once
// the server reports it at its full size. A new file never replaces a file
// of the same name on the server. Throws JobError naming the server and the
// reason; the files not confirmed stay marked for the next run.
void FtpSendFile(const LocationSettings& settings, FtpClient& client, JobWindow& window, Clock& clock,
                 LocalFiles& files, const std::vector<UploadToSend>& uploads);

}  // namespace kestrane
