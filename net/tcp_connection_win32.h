// A TCP connection over Winsock, for the FTP client's control and data
// connections (plain, or under TLS): connected within a time limit, every
// wait bounded, and abandoned at once from another thread when the window
// closes. Failures throw TransportError, whose kind says what went wrong.
//
// The socket waits through an event (WSAEventSelect), together with an event
// of its own that Abort sets: a wait ends when the network answers, when the
// time limit passes, or when Abort is called, whichever comes first.
#pragma once

#include "common/clock.h"
#include "common/win32_support.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrane::win32 {

struct InvalidSocketValue {
    template <typename Handle> static Handle Value() { return INVALID_SOCKET; }
};
using UniqueSocket = UniqueHandle<SOCKET, ::closesocket, InvalidSocketValue>;
using UniqueSocketEvent = UniqueHandle<WSAEVENT, ::WSACloseEvent>;
using UniqueAddressInfo = UniqueHandle<ADDRINFOW*, ::FreeAddrInfoW>;

// Winsock, started for as long as the object lives (WSAStartup and
// WSACleanup are counted, so every user may hold one).
class WinsockUse {
public:
    WinsockUse();
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;
    ~WinsockUse();
};

class TcpConnection {
public:
    using Duration = SteadyClock::duration;

    // Connects to the first address of host (a name, an IPv4 or an IPv6
    // address) that accepts, trying them in the order the resolver gives,
    // all within timeLimit. The name's resolution itself is not bounded: the
    // resolver has its own time limits.
    static TcpConnection Connect(const std::string& host, std::uint16_t port, Duration timeLimit);

    TcpConnection(TcpConnection&&) noexcept = default;
    TcpConnection& operator=(TcpConnection&&) = delete;
    ~TcpConnection();

    // Sends all of data; gives up when the server takes none of it for stallLimit.
    void Send(std::string_view data, Duration stallLimit);
    // Receives what has come, at most size bytes, waiting up to timeLimit for
    // the first; 0 when the server has ended the connection.
    std::size_t Receive(char* buffer, std::size_t size, Duration timeLimit);
    // Tells the server that nothing more will be sent (a TCP half close).
    void EndSending();
    // Closes the socket; every later operation is refused. Never throws.
    void Close() noexcept;

    // Abandons the connection from any thread: any wait ends, and this and
    // every later operation throws TransportError(Abandoned). The handle
    // stays usable after the connection is closed or destroyed.
    class Aborter {
    public:
        void Abort() const noexcept;
        // What the connection and its aborters share: the socket, its events.
        struct Link;

    private:
        friend class TcpConnection;
        explicit Aborter(std::shared_ptr<Link> link) : link_(std::move(link)) {}
        std::shared_ptr<Link> link_;
    };
    Aborter MakeAborter() const;
    void Abort() noexcept { MakeAborter().Abort(); }

    // For a caller that must be able to abandon the connect itself: an
    // aborter made first, for one connection, which Connect then uses. An
    // abort before or during the connect makes it throw
    // TransportError(Abandoned); the name's resolution may finish first.
    static Aborter NewAborter();
    static TcpConnection Connect(const std::string& host, std::uint16_t port, Duration timeLimit,
                                 const Aborter& aborter);

    // The server's numeric address, such as "192.0.2.7" or "2001:db8::7".
    std::string PeerAddress() const;

private:
    explicit TcpConnection(std::shared_ptr<Aborter::Link> link, std::string where);

    SOCKET Socket();
    [[noreturn]] void ThrowSocketError(const char* doing, int code);

    std::shared_ptr<Aborter::Link> link_;
    // "host port n", for messages.
    std::string where_;
};

}  // namespace kestrane::win32
