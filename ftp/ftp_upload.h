// Sending upload files to the location's FTP server.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "common/local_files.h"
#include "common/random_source.h"
#include "ftp/ftp_client.h"
#include "settings/location_settings.h"
#include "store/run_log.h"

#include <string>
#include <vector>

namespace kestrane {

struct UploadToSend {
    std::string name;
    // Built by an earlier run, and announced as such in the log.
    bool fromEarlierRun = false;
};

// The server and account of settings that LoadLocationSettings accepted,
// which judged the server usable.
FtpAccount AccountOf(const LocationSettings& settings);

// Connects once and sends each upload file, in the order given, to the
// remote folder followed by the file's name, and confirms it once the server
// reports it at its full size.
//
// A file of the same name on the server is ours only if its bytes are ours:
// all of them (the upload is confirmed without sending it again) or the first
// of them (an interrupted upload, sent again whole). Any other file there is
// never replaced: ours is renamed to the next free minute, its header line
// with it, and sent under that name.
//
// A busy server, a refusal for now (a 4xx reply) or a connection that broke
// or timed out, at the connection or during a file, is tried again on a fresh
// connection, and the sending goes on with the same file: its check against
// the server's copy keeps a file that arrived whole from being sent twice.
// At most 3 retries, after about 5, 15 and 45 s, each wait made longer or
// shorter by up to half at random (from random) so that locations turned
// away together come back apart; none whose wait would end more than 2
// minutes after the sending began. The window answers while it waits, and
// each retry is said in its log and the run log, with the server's reply.
//
// A file the server refuses for good (a 5xx reply) does not keep the files
// after it from being sent; anything else that goes wrong stops the sending.
// Returns the names under which the files were delivered. Throws JobError
// naming the server, the first failure (or the window's close) and exactly
// the files not sent, which stay pending for the next run. The run log gets
// how each file went, and the server's reply to each failure.
std::vector<std::string> FtpSendFile(const LocationSettings& settings, FtpClient& client, JobWindow& window,
                                     Clock& clock, RandomSource& random, LocalFiles& files, RunLog& log,
                                     const std::vector<UploadToSend>& uploads);

}  // namespace kestrane
