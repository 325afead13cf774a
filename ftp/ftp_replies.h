// What the FTP client makes of the server's replies and of a failed call: the
// reply code, whether a reply refuses, what a reply to SIZE says, the password
// kept out of every text, and a failure told in plain words. Decisions rest on
// reply codes alone, never on the words, which differ from server to server
// and language to language. Portable, so that the replies real servers give
// are tested natively; the WinINet layer feeds it the codes and reply texts
// its calls leave behind.
#pragma once

#include "ftp/ftp_client.h"
#include "settings/location_settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

// The failure codes told apart here, as WinINet (wininet.h), the system and
// Windows Sockets (winerror.h) number them. The WinINet layer checks that
// they agree with those headers.
namespace failure_code {
inline constexpr std::uint32_t kInvalidHandle = 6;                   // ERROR_INVALID_HANDLE
inline constexpr std::uint32_t kSocketConnectionAborted = 10053;     // WSAECONNABORTED
inline constexpr std::uint32_t kSocketConnectionReset = 10054;       // WSAECONNRESET
inline constexpr std::uint32_t kSocketConnectionRefused = 10061;     // WSAECONNREFUSED
inline constexpr std::uint32_t kInternetTimeout = 12002;             // ERROR_INTERNET_TIMEOUT
inline constexpr std::uint32_t kInternetExtendedError = 12003;       // ERROR_INTERNET_EXTENDED_ERROR
inline constexpr std::uint32_t kInternetNameNotResolved = 12007;     // ERROR_INTERNET_NAME_NOT_RESOLVED
inline constexpr std::uint32_t kInternetLoginFailure = 12015;        // ERROR_INTERNET_LOGIN_FAILURE
inline constexpr std::uint32_t kInternetOperationCancelled = 12017;  // ERROR_INTERNET_OPERATION_CANCELLED
inline constexpr std::uint32_t kInternetCannotConnect = 12029;       // ERROR_INTERNET_CANNOT_CONNECT
inline constexpr std::uint32_t kInternetConnectionAborted = 12030;   // ERROR_INTERNET_CONNECTION_ABORTED
inline constexpr std::uint32_t kInternetConnectionReset = 12031;     // ERROR_INTERNET_CONNECTION_RESET
inline constexpr std::uint32_t kFtpTransferInProgress = 12110;       // ERROR_FTP_TRANSFER_IN_PROGRESS
inline constexpr std::uint32_t kFtpDropped = 12111;                  // ERROR_FTP_DROPPED
}  // namespace failure_code

// The system's own description of a failure code, for the codes the rules
// here do not word themselves.
using SystemErrorTextFunction = std::string (*)(std::uint32_t code);

// A call that failed: its failure code and, when the server's last reply
// refused something, what that reply said.
struct CallFailure {
    std::uint32_t code = 0;
    int replyCode = 0;  // the refusing reply's code; 0 without one
    std::string reply;  // the refusing reply as reported: trimmed, without the password
};

// A whole reply, as Kestrane's own client reads it off the control connection.
struct FtpReply {
    int code = 0;
    std::string text;   // its lines joined by CRLF, the password masked: what any report shows
    std::string exact;  // as the server sent it: what a size, a port or a folder is read from
};

// The text without leading and trailing blanks and line breaks.
std::string Trimmed(const std::string& text);

// The three-digit code that starts a server reply, or 0.
int ReplyCode(const std::string& reply);

// A 4xx or 5xx reply code: the server refused.
bool IsRefusal(int replyCode);

// A preliminary reply (1xx): more is to come, such as a transfer's end.
bool IsPreliminary(int replyCode);

// A completion reply (2xx): the command was carried out.
bool IsCompletion(int replyCode);

// A refusal that says the server has no such command (500 unknown, 502 not
// implemented): what it was for must be had another way.
bool IsUnknownCommand(int replyCode);

// A refusal that means there is nothing under the path asked about (550):
// no such file or folder, or nothing there that can be transferred. It is
// also how some servers refuse a listing of an empty folder.
bool NothingThere(int replyCode);

// The number that text spells in decimal digits, if it is no more than max;
// nothing for an empty text, or one with anything but digits.
std::optional<std::uint64_t> ReadDecimal(std::string_view text, std::uint64_t max = UINT64_MAX);

// What a reply to SIZE (RFC 3659) says about a remote path.
enum class SizeAnswer {
    Size,         // 213 and a size: a file of that many bytes
    NoSuchFile,   // 550: no file there
    Unsupported,  // 500 or 502: the server has no SIZE; a listing must tell
    Unclear,      // anything else: a listing must tell
};
struct SizeReply {
    SizeAnswer answer = SizeAnswer::Unclear;
    std::uint64_t size = 0;  // for SizeAnswer::Size
};
// The size is the last line's: "213", blanks, digits, and nothing else.
// Some servers refuse SIZE in ASCII mode with a 550, so it must be asked in
// binary mode.
SizeReply ReadSizeReply(const std::string& reply);

// The port of the data connection that a reply to EPSV (229, RFC 2428:
// "(|||port|)") or to PASV (227: "h1,h2,h3,h4,p1,p2") offers; nothing when
// it cannot be read. The address of a 227 is not read: the data connection
// goes to the control connection's address, as servers behind NAT give
// private ones, and an address chosen by the server could point the client
// at a third party.
std::optional<std::uint16_t> ReadPassivePort(const std::string& reply);

// The folder named by a reply to PWD (257 "folder", a quote inside it
// doubled); nothing when it names none.
std::optional<std::string> ReadFolderReply(const std::string& reply);

// The text with every occurrence of the password replaced by a mask.
std::string WithoutPassword(std::string text, const std::string& password);

// The failure of a call that failed with code while the server's last reply
// was lastReply. Only a refusal (4xx or 5xx) counts: WinINet keeps the last
// reply of a thread, so after a broken connection it may hold a stale
// preliminary or success reply, which would only mislead. The rules read the
// server's own words; only the text kept for the report has the password
// masked, so a password that also appears in a reply changes no decision.
CallFailure FailureOf(std::uint32_t code, const std::string& lastReply, const std::string& password);

// A failure code in plain words with its number, "the connection was
// refused (error 12029)", for the failures a location meets; the system's
// text (systemText) for the others.
std::string DescribeFailure(std::uint32_t code, SystemErrorTextFunction systemText);

// The connection broke off or the server closed it.
bool IsConnectionLost(std::uint32_t code);

// The kind of a call's failure: the server's when it refused in a reply (or
// refused the login without one); otherwise what its failure code says.
FtpFailureKind KindOf(const CallFailure& failure);

// Why connecting and logging in to the server at address failed.
FtpError ConnectFailure(const CallFailure& failure, const HostAndPort& address,
                        SystemErrorTextFunction systemText);

// A remote path as the folder to change into, to list it, and the name to
// look for there. The folder is "" for the current one; a folder's trailing
// slashes are dropped, except the root's.
struct RemoteLocation {
    std::string folder;
    std::string name;
};
RemoteLocation SplitRemotePath(const std::string& remotePath);

// A remote folder as reports name it: "the folder in", or "the login
// folder" for "", the one the login leads to.
std::string RemoteFolderName(const std::string& folder);

}  // namespace kestrane
