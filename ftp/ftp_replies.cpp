#include "ftp/ftp_replies.h"

#include <cctype>

namespace kestrane {
namespace {

constexpr char kPasswordMask[] = "********";

std::string Lowercase(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string AddressText(const HostAndPort& address)
{
    return address.host + ":" + std::to_string(address.port);
}

}  // namespace

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

int ReplyCode(const std::string& reply)
{
    if (reply.size() < 3 || !std::isdigit(static_cast<unsigned char>(reply[0]))
        || !std::isdigit(static_cast<unsigned char>(reply[1]))
        || !std::isdigit(static_cast<unsigned char>(reply[2]))) {
        return 0;
    }
    return std::stoi(reply.substr(0, 3));
}

bool IsRefusal(int replyCode)
{
    return replyCode >= 400 && replyCode < 600;
}

bool SaysNoSuchFile(const std::string& reply)
{
    const int code = ReplyCode(reply);
    if (code != 450 && code != 550) {
        return false;
    }
    const std::string text = Lowercase(reply);
    return text.find("no such file") != std::string::npos || text.find("not found") != std::string::npos
           || text.find("does not exist") != std::string::npos;
}

std::string WithoutPassword(std::string text, const std::string& password)
{
    if (password.empty()) {
        return text;
    }
    for (auto at = text.find(password); at != std::string::npos; at = text.find(password, at)) {
        text.replace(at, password.size(), kPasswordMask);
        at += sizeof kPasswordMask - 1;
    }
    return text;
}

CallFailure FailureOf(std::uint32_t code, const std::string& lastReply, const std::string& password)
{
    CallFailure failure{code, 0, false, {}};
    const std::string reply = Trimmed(lastReply);
    const int replyCode = ReplyCode(reply);
    if (IsRefusal(replyCode)) {
        failure.replyCode = replyCode;
        failure.noSuchFile = SaysNoSuchFile(reply);
        failure.reply = WithoutPassword(reply, password);
    }
    return failure;
}

std::string DescribeFailure(std::uint32_t code, SystemErrorTextFunction systemText)
{
    using namespace failure_code;
    switch (code) {
    case kInternetTimeout:
        return "the server did not answer in time";
    case kInternetNameNotResolved:
        return "the server name could not be found";
    case kInternetCannotConnect:
    case kSocketConnectionRefused:
        return "the connection was refused";
    case kInternetConnectionAborted:
    case kSocketConnectionAborted:
        return "the connection was broken off";
    case kInternetConnectionReset:
    case kSocketConnectionReset:
        return "the connection was reset";
    case kFtpDropped:
    // Wine reports a control connection that the server closed with this
    // code; our operations never overlap, so it cannot mean what its name says.
    case kFtpTransferInProgress:
        return "the server closed the connection";
    case kInternetLoginFailure:
        return "the server refused the login";
    case kInternetExtendedError:
        return "the server refused the request";
    case kInvalidHandle:
    case kInternetOperationCancelled:
        return "the connection was closed";
    default:
        return systemText(code);
    }
}

bool IsConnectionLost(std::uint32_t code)
{
    using namespace failure_code;
    return code == kInternetConnectionAborted || code == kInternetConnectionReset || code == kFtpDropped
           || code == kFtpTransferInProgress;
}

FtpError ConnectFailure(const CallFailure& failure, const HostAndPort& address,
                        SystemErrorTextFunction systemText)
{
    if (failure.replyCode == 421) {
        return FtpError("the server refused the connection", failure.reply);
    }
    // Connecting exchanges only the banner, USER and PASS: any other refusal refuses the login.
    if (failure.code == failure_code::kInternetLoginFailure || IsRefusal(failure.replyCode)) {
        return FtpError("the server refused the login", failure.reply);
    }
    switch (failure.code) {
    case failure_code::kInternetTimeout:
        return FtpError("no FTP server answered at " + AddressText(address));
    case failure_code::kInternetNameNotResolved:
        return FtpError("the server name " + address.host + " could not be found");
    default:
        return FtpError(DescribeFailure(failure.code, systemText), failure.reply);
    }
}

bool NamesPath(const std::string& listedName, const std::string& remotePath)
{
    const auto slash = remotePath.find_last_of("/\\");
    return listedName == remotePath
           || (slash != std::string::npos && listedName == remotePath.substr(slash + 1));
}

}  // namespace kestrane
