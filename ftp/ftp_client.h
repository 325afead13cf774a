// An FTP client as the upload step drives it: connect (which logs in), put a
// file, read a remote file's size, get a file, and disconnect; and, for the
// settings check of kestrane-location, list a folder. The Windows build
// implements it over WinINet; tests use an in-memory server.
//
// Every operation blocks until it is over, while the window it was given
// keeps answering. Each one is given up, and the connection ended, when the
// window is closed (WindowClosed is then thrown) or when the server keeps it
// waiting past the client's time limits (FtpError).
#pragma once

#include "settings/location_settings.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace kestrane {

// What kind of failure an FtpError is, which decides whether trying again
// on a fresh connection can help. Every client sets it from what it knows
// (error codes, reply codes), never from the words of a message.
enum class FtpFailureKind {
    // The server refused: its reply's code decides, 4xx for now and 5xx for
    // good. A refusal without a reply is taken as one for good.
    Refused,
    // The connection broke off, or the server stopped answering within the
    // time limits.
    ConnectionLost,
    // No server could be reached: its name did not resolve, or nothing
    // accepted the connection.
    Unreachable,
    // The connection could not be secured (TLS), or the server's certificate
    // was not trusted. WinINet's FTP has no TLS, so only a client that
    // secures the connection itself reports it.
    Security,
    // A local file could not be opened, read, written, renamed or compared.
    LocalFile,
    // Anything else, such as a server that reports an upload done but holds
    // less of it.
    Other,
};

// A failed FTP operation: its kind, what failed, and the server's reply if
// it sent one.
class FtpError : public std::runtime_error {
public:
    FtpError(FtpFailureKind kind, const std::string& reason, std::string serverReply = {}) :
        std::runtime_error(reason),
        kind_(kind),
        serverReply_(std::move(serverReply))
    {
    }
    FtpFailureKind Kind() const { return kind_; }
    const std::string& ServerReply() const { return serverReply_; }

private:
    FtpFailureKind kind_;
    std::string serverReply_;
};

// Where a client connects, and as whom.
struct FtpAccount {
    HostAndPort server;
    std::string user;
    std::string password;
};

class FtpClient {
public:
    virtual ~FtpClient() = default;

    // Connects and logs in, ending any earlier connection first.
    virtual void Connect(const FtpAccount& account) = 0;
    // Uploads a local file (binary, passive mode) under remotePath.
    virtual void PutFile(const std::string& localName, const std::string& remotePath) = 0;
    // The size of a remote file, or nothing when there is no such file. The
    // answer never rests on the wording of the server's replies, which
    // differs from server to server and language to language; a query the
    // server refuses for another reason throws FtpError.
    virtual std::optional<std::uint64_t> RemoteFileSize(const std::string& remotePath) = 0;
    // Downloads a remote file (binary, passive mode) into a local file,
    // creating or emptying it.
    virtual void GetFile(const std::string& remotePath, const std::string& localName) = 0;
    // Lists a remote folder ("" is the one the login leads to), changing
    // nothing there; throws FtpError when the server has no such folder or
    // does not list it. A folder name is taken as it is: blanks, "[" and "*"
    // are no pattern.
    virtual void ListFolder(const std::string& folder) = 0;
    // Ends the connection, or abandons an attempt still under way. Never throws.
    virtual void Disconnect() = 0;
};

}  // namespace kestrane
