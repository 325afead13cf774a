#include "ftp/ftp_replies.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace kestrane {
namespace {

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

bool IsPreliminary(int replyCode)
{
    return replyCode >= 100 && replyCode < 200;
}

bool IsCompletion(int replyCode)
{
    return replyCode >= 200 && replyCode < 300;
}

std::optional<std::uint64_t> ReadDecimal(std::string_view text, std::uint64_t max)
{
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t number = 0;
    for (const char character : text) {
        const unsigned digit = static_cast<unsigned char>(character) - '0';
        if (digit > 9 || digit > max || number > (max - digit) / 10) {
            return std::nullopt;
        }
        number = number * 10 + digit;
    }
    return number;
}

bool IsUnknownCommand(int replyCode)
{
    return replyCode == 500 || replyCode == 502;
}

bool NothingThere(int replyCode)
{
    return replyCode == 550;
}

SizeReply ReadSizeReply(const std::string& reply)
{
    const std::string trimmed = Trimmed(reply);
    const int code = ReplyCode(trimmed);
    if (NothingThere(code)) {
        return {SizeAnswer::NoSuchFile};
    }
    if (IsUnknownCommand(code)) {
        return {SizeAnswer::Unsupported};
    }
    // A server may send more than one line; the last one carries the size.
    const auto lineStart = trimmed.find_last_of("\r\n");
    const std::string line = lineStart == std::string::npos ? trimmed : trimmed.substr(lineStart + 1);
    const auto digits = line.find_first_not_of(' ', 3);
    if (ReplyCode(line) != 213 || line.size() < 4 || line[3] != ' ' || digits == std::string::npos) {
        return {SizeAnswer::Unclear};
    }
    const std::optional<std::uint64_t> size = ReadDecimal(std::string_view(line).substr(digits));
    if (!size) {
        return {SizeAnswer::Unclear};
    }
    return {SizeAnswer::Size, *size};
}

std::optional<std::uint16_t> ReadPassivePort(const std::string& reply)
{
    const std::string text = Trimmed(reply);
    const int code = ReplyCode(text);
    std::optional<std::uint64_t> port;
    if (code == 229) {
        // "(", three delimiters, the port, the delimiter again and ")".
        const auto open = text.find('(', 3);
        if (open == std::string::npos || text.size() < open + 6) {
            return std::nullopt;
        }
        const char delimiter = text[open + 1];
        const auto portEnd = text.find(delimiter, open + 4);
        if (text[open + 2] != delimiter || text[open + 3] != delimiter || portEnd == std::string::npos
            || text.compare(portEnd + 1, 1, ")") != 0) {
            return std::nullopt;
        }
        port = ReadDecimal(std::string_view(text).substr(open + 4, portEnd - open - 4), UINT16_MAX);
    } else if (code == 227) {
        // Six numbers from 0 to 255, wherever the server puts them: the
        // address, then the port's high and low byte.
        auto at = text.find_first_of("0123456789", 3);
        constexpr std::size_t kNumbers = 6;
        std::uint64_t numbers[kNumbers] = {};
        for (std::size_t index = 0; index < kNumbers; ++index) {
            const auto end = std::min(text.find_first_not_of("0123456789", at), text.size());
            const std::optional<std::uint64_t> number =
                at < end ? ReadDecimal(std::string_view(text).substr(at, end - at), 255) : std::nullopt;
            const bool commaFollows = text.compare(end, 1, ",") == 0;
            if (!number || (index + 1 < kNumbers && !commaFollows)) {
                return std::nullopt;
            }
            numbers[index] = *number;
            at = end + 1;
        }
        port = numbers[4] * 256 + numbers[5];
    }
    if (!port || *port == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*port);
}

std::optional<std::string> ReadFolderReply(const std::string& reply)
{
    const std::string text = Trimmed(reply);
    auto at = text.find('"', 3);
    if (ReplyCode(text) != 257 || at == std::string::npos) {
        return std::nullopt;
    }
    std::string folder;
    for (++at; at < text.size(); ++at) {
        if (text[at] != '"') {
            folder.push_back(text[at]);
        } else if (text.compare(at + 1, 1, "\"") == 0) {
            folder.push_back('"');
            ++at;
        } else {
            return folder.empty() ? std::nullopt : std::optional<std::string>(folder);
        }
    }
    return std::nullopt;  // no closing quote
}

std::string WithoutPassword(std::string text, const std::string& password)
{
    if (password.empty()) {
        return text;
    }
    for (auto at = text.find(password); at != std::string::npos; at = text.find(password, at)) {
        text.replace(at, password.size(), kPasswordMask);
        at += kPasswordMask.size();
    }
    return text;
}

CallFailure FailureOf(std::uint32_t code, const std::string& lastReply, const std::string& password)
{
    CallFailure failure{code, 0, {}};
    const std::string reply = Trimmed(lastReply);
    const int replyCode = ReplyCode(reply);
    if (IsRefusal(replyCode)) {
        failure.replyCode = replyCode;
        failure.reply = WithoutPassword(reply, password);
    }
    return failure;
}

namespace {

// Plain words for the failures a location meets; nothing for the others.
const char* PlainWords(std::uint32_t code)
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
        return nullptr;
    }
}

}  // namespace

std::string DescribeFailure(std::uint32_t code, SystemErrorTextFunction systemText)
{
    const char* words = PlainWords(code);
    return words == nullptr ? systemText(code) : words + (" (error " + std::to_string(code) + ")");
}

bool IsConnectionLost(std::uint32_t code)
{
    using namespace failure_code;
    return code == kInternetConnectionAborted || code == kInternetConnectionReset || code == kFtpDropped
           || code == kFtpTransferInProgress;
}

FtpFailureKind KindOf(const CallFailure& failure)
{
    using namespace failure_code;
    if (failure.replyCode != 0) {
        return FtpFailureKind::Refused;
    }
    switch (failure.code) {
    case kInternetLoginFailure:
    case kInternetExtendedError:
        return FtpFailureKind::Refused;
    case kInternetTimeout:
    case kSocketConnectionAborted:
    case kSocketConnectionReset:
    // The connection's handles were closed under the call.
    case kInvalidHandle:
    case kInternetOperationCancelled:
        return FtpFailureKind::ConnectionLost;
    case kInternetNameNotResolved:
    case kInternetCannotConnect:
    case kSocketConnectionRefused:
        return FtpFailureKind::Unreachable;
    default:
        return IsConnectionLost(failure.code) ? FtpFailureKind::ConnectionLost : FtpFailureKind::Other;
    }
}

FtpError ConnectFailure(const CallFailure& failure, const HostAndPort& address,
                        SystemErrorTextFunction systemText)
{
    const FtpFailureKind kind = KindOf(failure);
    if (failure.replyCode == 421) {
        return FtpError(kind, "the server refused the connection", failure.reply);
    }
    // Connecting exchanges only the banner, USER and PASS: any other refusal refuses the login.
    if (failure.code == failure_code::kInternetLoginFailure || IsRefusal(failure.replyCode)) {
        return FtpError(kind, "the server refused the login", failure.reply);
    }
    switch (failure.code) {
    case failure_code::kInternetTimeout:
        return FtpError(kind, "no FTP server answered at " + AddressText(address));
    case failure_code::kInternetNameNotResolved:
        return FtpError(kind, "the server name " + address.host + " could not be found");
    default:
        return FtpError(kind, DescribeFailure(failure.code, systemText), failure.reply);
    }
}

RemoteLocation SplitRemotePath(const std::string& remotePath)
{
    const auto slash = remotePath.rfind('/');
    if (slash == std::string::npos) {
        return {{}, remotePath};
    }
    const auto folderEnd = remotePath.find_last_not_of('/', slash);
    std::string folder = folderEnd == std::string::npos ? "/" : remotePath.substr(0, folderEnd + 1);
    return {std::move(folder), remotePath.substr(slash + 1)};
}

std::string RemoteFolderName(const std::string& folder)
{
    return folder.empty() ? "the login folder" : "the folder " + folder;
}

}  // namespace kestrane
