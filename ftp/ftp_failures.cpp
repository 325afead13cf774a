#include "ftp/ftp_failures.h"

namespace kestrane {

FtpError ReplyFailure(const std::string& reason, const FtpReply& reply)
{
    return FtpError(FtpFailureKind::Refused, reason, reply.text);
}

FtpError ConnectionLost(const std::string& reason)
{
    return FtpError(FtpFailureKind::ConnectionLost, reason);
}

FtpError ConnectionEnded()
{
    return ConnectionLost("the connection to the server has ended");
}

FtpError ServerUnreachable(const std::string& reason)
{
    return FtpError(FtpFailureKind::Unreachable, reason);
}

FtpError SecurityFailure(const std::string& reason)
{
    return FtpError(FtpFailureKind::Security, reason);
}

FtpError SecurityFailure(const std::string& reason, const FtpReply& reply)
{
    return FtpError(FtpFailureKind::Security, reason, reply.text);
}

FtpError LocalFileFailure(const FileError& error, const char* failedTo)
{
    return FtpError(FtpFailureKind::LocalFile,
                    "the file " + error.Path() + " could not be " + failedTo + ": " + error.Reason());
}

FtpError OtherFailure(const std::string& reason)
{
    return FtpError(FtpFailureKind::Other, reason);
}

FtpError NetFailureOf(const NetError& error, const std::string& context)
{
    const std::string reason = context.empty() ? error.what() : context + ": " + error.what();
    switch (error.Failure()) {
    case NetFailure::Unreachable:
        return ServerUnreachable(reason);
    case NetFailure::Security:
        return SecurityFailure(reason);
    case NetFailure::Broken:
    case NetFailure::Aborted:
        break;
    }
    return ConnectionLost(reason);
}

}  // namespace kestrane
