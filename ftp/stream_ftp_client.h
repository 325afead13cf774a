// Kestrane's own FTP client, over the connections of a transport: plain
// FTP, or FTP over TLS, explicit or implicit, as the location asks; a
// location that asks for TLS never gets plain FTP instead.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "common/local_files.h"
#include "ftp/ftp_client.h"
#include "ftp/ftp_session.h"
#include "net/byte_stream.h"

#include <memory>

namespace kestrane {

// Creates the client. Each connection made by Connect is a new session on a
// new transport from transports; TLS is checked against the account's host
// name. Connecting, transfers, size queries and listings run on a worker
// thread while the calling thread pumps the window's messages and shows how
// far a transfer has got (bytes sent of the file's size, or bytes received
// of an unknown size). Both time limits of ftp/ftp_time_limits.h are kept
// here, on clock; an operation given up (the window closed, or a limit run
// out) aborts the transport, so that its worker ends as well. Local files
// are opened through files, so they share its habits.
std::unique_ptr<FtpClient> MakeStreamFtpClient(TransportFactory transports, FtpTls tls, MessagePump& pump,
                                               LocalFiles& files, Clock& clock);

}  // namespace kestrane
