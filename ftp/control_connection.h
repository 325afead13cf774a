// The control connection of an FTP session: command lines out, whole
// replies in. A reply may span lines ("123-" up to "123 ", RFC 959), arrive
// split across reads, or share a read with the next one. Once the connection
// has failed (broken, closed, or a reply that cannot be read), every later
// use throws. Failures are FtpErrors made by ftp/ftp_failures.h.
#pragma once

#include "ftp/ftp_replies.h"
#include "net/byte_stream.h"

#include <memory>
#include <string>

namespace kestrane {

class ControlConnection {
public:
    // password: masked in every reply's text.
    ControlConnection(std::unique_ptr<ByteStream> stream, std::string password);

    // Sends a command line. One with a line break is refused unsent: it
    // would smuggle in a command of its own.
    void Send(const std::string& command);
    // Waits for the next whole reply.
    FtpReply Read();
    // Not failed, nor closed.
    bool Open() const { return !failed_; }
    // Whether the server has sent bytes not read yet.
    bool HoldsUnreadBytes() const { return !received_.empty(); }

    // Starts TLS for serverName; the failure of the handshake or of the
    // server's certificate is a SecurityFailure.
    void StartTls(const std::string& serverName);
    std::string PeerAddress() const { return stream_->PeerAddress(); }
    void Close() noexcept;

private:
    std::string NextLine(std::size_t& replyBytes);
    void RequireOpen() const;
    [[noreturn]] void Fail(const FtpError& error);

    std::unique_ptr<ByteStream> stream_;
    std::string password_;
    std::string received_;  // received, not yet read as a reply
    bool failed_ = false;
};

}  // namespace kestrane
