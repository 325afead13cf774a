// Connections to a server, as Kestrane's own FTP client uses them: a
// connected byte stream that can switch to TLS, and the transport that opens
// the connections of one FTP session and holds what they share. Transports
// are platform code: Winsock and Schannel on Windows; POSIX sockets, without
// TLS, for the native tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrane {

// What went wrong with a connection, as far as the transport can tell.
enum class NetFailure {
    Unreachable,  // the host name is unknown, or nothing accepted a connection at the port
    Broken,       // an open connection broke off, or went quiet past kTransportIdleLimit
    Security,     // TLS could not be started, or the server's certificate is not trusted
    Aborted,      // Transport::Abort ended it
};

// A failed connect, send, receive or TLS start, in plain words that name no secret.
class NetError : public std::runtime_error {
public:
    NetError(NetFailure failure, const std::string& reason) : std::runtime_error(reason), failure_(failure) {}
    NetFailure Failure() const { return failure_; }

private:
    NetFailure failure_;
};

// How long a connect, send or receive may wait without any progress before
// it fails by itself. A backstop below the FTP client's own time limits: a
// worker that the client has left behind still ends.
inline constexpr std::chrono::seconds kTransportIdleLimit{45};

// One connected, two-way byte stream, encrypted once StartTls has returned.
// One thread uses it at a time; only Transport::Abort comes from another.
// Destroyed without Close, it is dropped without TLS's close_notify.
class ByteStream {
public:
    virtual ~ByteStream() = default;

    // Sends every byte of bytes.
    virtual void Send(std::string_view bytes) = 0;
    // Waits for bytes and receives from 1 to size of them; 0 once the server
    // has ended the stream.
    virtual std::size_t Receive(char* buffer, std::size_t size) = 0;
    // Starts TLS as the client, with serverName as the name the server is
    // asked for (SNI) and checked against. A later connection of the same
    // transport that starts TLS for the same name resumes this one's TLS
    // session: many FTP servers accept a data connection only so.
    virtual void StartTls(const std::string& serverName) = 0;
    // The server's numeric address, "192.0.2.7" or "2001:db8::7".
    virtual std::string PeerAddress() const = 0;
    // Ends the stream: TLS's close_notify first where TLS is on (some
    // servers count an upload as whole only then), then the connection.
    // Waits for nothing from the server.
    virtual void Close() noexcept = 0;
};

// Opens the connections of one FTP session, and holds what they share, such
// as TLS credentials and the session that data connections resume. Every
// failure throws NetError.
class Transport {
public:
    virtual ~Transport() = default;

    // Connects to host (a name or a numeric address) at port.
    virtual std::unique_ptr<ByteStream> Connect(const std::string& host, std::uint16_t port) = 0;
    // From any thread: every connect, send, receive and TLS start of this
    // transport, under way or to come, fails at once with
    // NetFailure::Aborted (a host name's lookup may finish first). Returns
    // at once.
    virtual void Abort() noexcept = 0;
};

// Makes a new transport for each FTP session.
using TransportFactory = std::function<std::shared_ptr<Transport>()>;

}  // namespace kestrane
