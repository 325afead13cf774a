// The FTP client over WinINet, which is part of Windows.
#pragma once

#include "common/local_files.h"
#include "ftp/ftp_client.h"

#include <functional>
#include <memory>

namespace kestrane {

// Creates the client. Connecting, transfers and listings run on a worker
// thread; while one is under way the calling (window) thread runs
// pumpMessages, which returns false when the user has closed the window and
// the operation should be abandoned. Passive mode, binary transfers. Local
// files are opened through files, so they share its habits (sharing, waiting
// while another program holds a file).
std::unique_ptr<FtpClient> MakeWinInetFtpClient(std::function<bool()> pumpMessages, LocalFiles& files);

}  // namespace kestrane
