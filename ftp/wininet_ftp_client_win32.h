// The FTP client over WinINet, which is part of Windows.
#pragma once

#include "common/job_window.h"
#include "common/local_files.h"
#include "ftp/ftp_client.h"

#include <functional>
#include <memory>
#include <optional>

namespace kestrane {

// What the calling (window) thread runs while an operation is under way,
// again and again: it is given how far a transfer has got (bytes sent of
// the file's size, or bytes received of an unknown size), nothing for the
// other operations, and returns false when the user has closed the window
// and the operation should be abandoned.
using FtpPump = std::function<bool(const std::optional<Progress>& transfer)>;

// Creates the client. Connecting, transfers and listings run on a worker
// thread while the calling thread runs pump. Passive mode, binary transfers.
// Local files are opened through files, so they share its habits (sharing,
// waiting while another program holds a file).
std::unique_ptr<FtpClient> MakeWinInetFtpClient(FtpPump pump, LocalFiles& files);

}  // namespace kestrane
