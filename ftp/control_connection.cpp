#include "ftp/control_connection.h"

#include "ftp/ftp_failures.h"

#include <array>

namespace kestrane {
namespace {

// No server needs more for a reply; a longer one is a server gone wrong,
// which must not fill the memory.
constexpr std::size_t kLongestReply = 64 * 1024;
constexpr std::size_t kReceiveBytes = 4 * 1024;
// How much of a line that is no reply an error shows.
constexpr std::size_t kShownLine = 200;

// "123" then the end of the line or a blank: the last line of a reply with that code.
bool EndsReply(const std::string& line, const std::string& code)
{
    return line.compare(0, 3, code) == 0 && (line.size() == 3 || line[3] == ' ');
}

}  // namespace

ControlConnection::ControlConnection(std::unique_ptr<ByteStream> stream, std::string password) :
    stream_(std::move(stream)),
    password_(std::move(password))
{
}

void ControlConnection::Send(const std::string& command)
{
    RequireOpen();
    // Named by nothing of the command: it may be PASS.
    if (command.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        throw OtherFailure("a name or password with a line break in it cannot be sent to an FTP server");
    }
    try {
        stream_->Send(command + "\r\n");
    } catch (const NetError& error) {
        Fail(NetFailureOf(error));
    }
}

FtpReply ControlConnection::Read()
{
    RequireOpen();
    std::size_t replyBytes = 0;
    const std::string first = NextLine(replyBytes);
    const int code = ReplyCode(first);
    if (code == 0 || (first.size() > 3 && first[3] != ' ' && first[3] != '-')) {
        // Masked before it is cut, so that no part of the password is left.
        Fail(OtherFailure("the server's reply could not be read: "
                          + WithoutPassword(first, password_).substr(0, kShownLine)));
    }
    std::string exact = first;
    if (first.size() > 3 && first[3] == '-') {
        const std::string codeText = first.substr(0, 3);
        for (;;) {
            const std::string line = NextLine(replyBytes);
            exact += "\r\n" + line;
            if (EndsReply(line, codeText)) {
                break;
            }
        }
    }
    return {code, WithoutPassword(exact, password_), exact};
}

void ControlConnection::StartTls(const std::string& serverName)
{
    RequireOpen();
    try {
        stream_->StartTls(serverName);
    } catch (const NetError& error) {
        // Whatever the transport saw, a connection that was to be protected is not.
        Fail(SecurityFailure(std::string("TLS could not be started with the server: ") + error.what()));
    }
}

void ControlConnection::Close() noexcept
{
    failed_ = true;
    stream_->Close();
}

std::string ControlConnection::NextLine(std::size_t& replyBytes)
{
    for (;;) {
        if (const auto end = received_.find('\n'); end != std::string::npos) {
            std::string line = received_.substr(0, end);
            received_.erase(0, end + 1);
            replyBytes += end + 1;
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        if (replyBytes + received_.size() > kLongestReply) {
            Fail(OtherFailure("the server's reply is too long to be read"));
        }
        std::array<char, kReceiveBytes> buffer;
        std::size_t got = 0;
        try {
            got = stream_->Receive(buffer.data(), buffer.size());
        } catch (const NetError& error) {
            Fail(NetFailureOf(error));
        }
        if (got == 0) {
            Fail(ConnectionLost("the server closed the connection"));
        }
        received_.append(buffer.data(), got);
    }
}

void ControlConnection::RequireOpen() const
{
    if (failed_) {
        throw ConnectionEnded();
    }
}

void ControlConnection::Fail(const FtpError& error)
{
    failed_ = true;
    throw error;
}

}  // namespace kestrane
