// The FTP client over WinINet, which is part of Windows.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "common/local_files.h"
#include "ftp/ftp_client.h"

#include <memory>

namespace kestrane {

// Creates the client. Connecting, transfers and listings run on a worker
// thread while the calling thread pumps the window's messages, and shows how
// far a transfer has got (bytes sent of the file's size, or bytes received
// of an unknown size). Both time limits of ftp/ftp_time_limits.h are kept
// here, on clock. Passive mode, binary transfers. Local files are opened
// through files, so they share its habits (sharing, waiting while another
// program holds a file).
std::unique_ptr<FtpClient> MakeWinInetFtpClient(MessagePump& pump, LocalFiles& files, Clock& clock);

}  // namespace kestrane
