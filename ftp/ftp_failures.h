// The failures of Kestrane's own FTP client (the protocol core and the
// client over it), each made by the one function of its kind: a reply
// that decides by its code, a connection that broke or timed out, a server
// that cannot be reached, a security failure (TLS, certificate), a local
// file, or anything else. No other code of that client makes an FtpError.
// A reply reaches a report only as FtpReply::text, which has the password
// masked.
#pragma once

#include "common/local_files.h"
#include "ftp/ftp_client.h"
#include "ftp/ftp_replies.h"
#include "net/byte_stream.h"

#include <string>

namespace kestrane {

// The server replied, and the reply's code says how it failed: a refusal
// (4xx, 5xx), or a reply that does not fit the command.
FtpError ReplyFailure(const std::string& reason, const FtpReply& reply);

// The connection broke off, was closed, or the server kept it waiting past
// a time limit.
FtpError ConnectionLost(const std::string& reason);
// A command on a connection that has already broken off or been given up.
FtpError ConnectionEnded();

// The server could not be reached: unknown name, nothing accepting at the port.
FtpError ServerUnreachable(const std::string& reason);

// TLS could not be had, or the server refused what protects the session.
FtpError SecurityFailure(const std::string& reason);
FtpError SecurityFailure(const std::string& reason, const FtpReply& reply);

// A local file could not be opened, read or written (failedTo: "opened", ...).
FtpError LocalFileFailure(const FileError& error, const char* failedTo);

// Anything else: a reply that cannot be read, a thread that cannot start.
FtpError OtherFailure(const std::string& reason);

// A transport's failure, as the failure of its kind; context, when given,
// starts the reason ("the transfer of in/a.txt broke off").
FtpError NetFailureOf(const NetError& error, const std::string& context = {});

}  // namespace kestrane
