#include "net/tcp_connection_win32.h"

#include "net/transport_error.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace kestrane::win32 {

struct TcpConnection::Aborter::Link {
    WinsockUse winsock;
    UniqueSocketEvent abortEvent;
    std::atomic<bool> aborted{false};
    // Guards the socket's replacement and closing against Abort's shutdown
    // from another thread: a socket is never shut down once closed, when its
    // number may already belong to another.
    std::mutex mutex;
    UniqueSocket socket;
    UniqueSocketEvent networkEvent;
};

namespace {

using Link = TcpConnection::Aborter::Link;

[[noreturn]] void ThrowAbandoned()
{
    throw TransportError(TransportFailure::Abandoned, "the connection was abandoned");
}

[[noreturn]] void ThrowWinsockCall(const char* call, int code)
{
    throw TransportError(TransportFailure::Other,
                         std::string(call) + " failed: " + SystemErrorText(static_cast<DWORD>(code)));
}

std::string SecondsText(SteadyClock::duration duration)
{
    return std::to_string(std::chrono::ceil<std::chrono::seconds>(duration).count()) + " s";
}

DWORD MillisecondsUntil(SteadyClock::time_point deadline)
{
    const auto now = SteadyClock::now();
    if (now >= deadline) {
        return 0;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    // INFINITE is 0xFFFFFFFF: a wait is always bounded.
    return static_cast<DWORD>(std::min<long long>(left, 0xFFFFFFFELL));
}

// Waits until the network reports something for the link's socket (and
// returns what, the event reset), until the deadline (nothing), or until
// Abort is called (throws).
std::optional<WSANETWORKEVENTS> WaitForNetwork(Link& link, SteadyClock::time_point deadline)
{
    const WSAEVENT events[] = {link.abortEvent.Get(), link.networkEvent.Get()};
    const DWORD result = ::WSAWaitForMultipleEvents(2, events, FALSE, MillisecondsUntil(deadline), FALSE);
    if (result == WSA_WAIT_FAILED) {
        ThrowWinsockCall("WSAWaitForMultipleEvents", ::WSAGetLastError());
    }
    if (result == WSA_WAIT_EVENT_0 || link.aborted) {
        ThrowAbandoned();
    }
    if (result == WSA_WAIT_TIMEOUT) {
        return std::nullopt;
    }
    WSANETWORKEVENTS happened{};
    if (::WSAEnumNetworkEvents(link.socket.Get(), link.networkEvent.Get(), &happened) == SOCKET_ERROR) {
        ThrowWinsockCall("WSAEnumNetworkEvents", ::WSAGetLastError());
    }
    return happened;
}

bool IsUnreachable(int code)
{
    return code == WSAENETUNREACH || code == WSAEHOSTUNREACH || code == WSAEADDRNOTAVAIL
           || code == WSAENETDOWN;
}

bool IsBrokenConnection(int code)
{
    return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAENETRESET || code == WSAETIMEDOUT
           || code == WSAESHUTDOWN || code == WSAENOTCONN || code == WSAENETDOWN;
}

int LastSize(std::size_t size)
{
    return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

}  // namespace

WinsockUse::WinsockUse()
{
    WSADATA data{};
    // WSAStartup returns its error rather than setting the last error.
    const int result = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
        ThrowWinsockCall("WSAStartup", result);
    }
}

WinsockUse::~WinsockUse()
{
    // A failure here leaves nothing to undo.
    static_cast<void>(::WSACleanup());
}

void TcpConnection::Aborter::Abort() const noexcept
{
    Link& link = *link_;
    link.aborted = true;
    // The event alone ends any wait; the shutdown also tells the server.
    static_cast<void>(::WSASetEvent(link.abortEvent.Get()));
    const std::lock_guard lock(link.mutex);
    if (link.socket) {
        // Fails with WSAENOTCONN while a connection is still being made:
        // there is nothing to shut down then, and the event has done its work.
        static_cast<void>(::shutdown(link.socket.Get(), SD_BOTH));
    }
}

TcpConnection::TcpConnection(std::shared_ptr<Aborter::Link> link, std::string where) :
    link_(std::move(link)),
    where_(std::move(where))
{
}

TcpConnection::~TcpConnection()
{
    Close();
}

TcpConnection::Aborter TcpConnection::MakeAborter() const
{
    return Aborter(link_);
}

TcpConnection::Aborter TcpConnection::NewAborter()
{
    auto link = std::make_shared<Link>();
    link->abortEvent.Reset(::WSACreateEvent());
    if (!link->abortEvent) {
        ThrowWinsockCall("WSACreateEvent", ::WSAGetLastError());
    }
    return Aborter(std::move(link));
}

TcpConnection TcpConnection::Connect(const std::string& host, std::uint16_t port, Duration timeLimit)
{
    return Connect(host, port, timeLimit, NewAborter());
}

TcpConnection TcpConnection::Connect(const std::string& host, std::uint16_t port, Duration timeLimit,
                                     const Aborter& aborter)
{
    const auto deadline = SteadyClock::now() + timeLimit;
    std::shared_ptr<Link> link = aborter.link_;
    if (link->socket) {
        throw std::logic_error("an aborter serves one connection only");
    }
    std::string where = host + " port " + std::to_string(port);

    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    UniqueAddressInfo addresses;
    // GetAddrInfoW returns its error rather than setting the last error.
    const int resolved =
        ::GetAddrInfoW(Widen(host).c_str(), std::to_wstring(port).c_str(), &hints, addresses.Put());
    if (resolved != 0) {
        const bool unknown = resolved == WSAHOST_NOT_FOUND || resolved == WSANO_DATA
                             || resolved == WSATRY_AGAIN || resolved == WSANO_RECOVERY;
        throw TransportError(unknown ? TransportFailure::NameNotResolved : TransportFailure::Other,
                             "the name " + host + " does not resolve to an address: "
                                 + SystemErrorText(static_cast<DWORD>(resolved)));
    }

    int lastError = 0;
    for (const ADDRINFOW* address = addresses.Get(); address != nullptr; address = address->ai_next) {
        if (link->aborted) {
            ThrowAbandoned();
        }
        if (SteadyClock::now() >= deadline) {
            lastError = WSAETIMEDOUT;
            break;
        }
        UniqueSocket socket(::socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (!socket) {
            // An address family this PC does not have, such as IPv6: the next address may do.
            lastError = ::WSAGetLastError();
            continue;
        }
        UniqueSocketEvent networkEvent(::WSACreateEvent());
        if (!networkEvent) {
            ThrowWinsockCall("WSACreateEvent", ::WSAGetLastError());
        }
        // The socket becomes non-blocking: every wait is WaitForNetwork's.
        if (::WSAEventSelect(socket.Get(), networkEvent.Get(), FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE)
            == SOCKET_ERROR) {
            ThrowWinsockCall("WSAEventSelect", ::WSAGetLastError());
        }
        {
            const std::lock_guard lock(link->mutex);
            link->socket = std::move(socket);
            link->networkEvent = std::move(networkEvent);
        }
        int result = 0;
        if (::connect(link->socket.Get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
            result = ::WSAGetLastError();
            while (result == WSAEWOULDBLOCK) {
                const auto happened = WaitForNetwork(*link, deadline);
                if (!happened) {
                    result = WSAETIMEDOUT;
                } else if ((happened->lNetworkEvents & FD_CONNECT) != 0) {
                    result = happened->iErrorCode[FD_CONNECT_BIT];
                }
            }
        }
        if (result == 0) {
            return TcpConnection(std::move(link), std::move(where));
        }
        lastError = result;
        const std::lock_guard lock(link->mutex);
        link->socket.Reset();
    }
    if (lastError == WSAETIMEDOUT) {
        throw TransportError(TransportFailure::LostOrTimedOut,
                             where + " did not accept a connection within " + SecondsText(timeLimit));
    }
    if (lastError == WSAECONNREFUSED) {
        throw TransportError(TransportFailure::Refused, where + " refused the connection: "
                                                            + SystemErrorText(static_cast<DWORD>(lastError)));
    }
    if (IsUnreachable(lastError)) {
        throw TransportError(TransportFailure::Refused,
                             where + " cannot be reached: " + SystemErrorText(static_cast<DWORD>(lastError)));
    }
    throw TransportError(TransportFailure::Other, "could not connect to " + where + ": "
                                                      + SystemErrorText(static_cast<DWORD>(lastError)));
}

std::string TcpConnection::PeerAddress() const
{
    sockaddr_storage peer{};
    int length = sizeof peer;
    if (::getpeername(link_->socket.Get(), reinterpret_cast<sockaddr*>(&peer), &length) == SOCKET_ERROR) {
        ThrowWinsockCall("getpeername", ::WSAGetLastError());
    }
    char address[NI_MAXHOST] = {};
    // getnameinfo returns its error rather than setting the last error.
    const int named = ::getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, address, sizeof address,
                                    nullptr, 0, NI_NUMERICHOST);
    if (named != 0) {
        ThrowWinsockCall("getnameinfo", named);
    }
    return address;
}

SOCKET TcpConnection::Socket()
{
    if (link_->aborted) {
        ThrowAbandoned();
    }
    if (!link_->socket) {
        throw TransportError(TransportFailure::Other, "the connection to " + where_ + " is already closed");
    }
    return link_->socket.Get();
}

void TcpConnection::ThrowSocketError(const char* doing, int code)
{
    if (link_->aborted) {
        ThrowAbandoned();
    }
    const std::string reason = "the connection to " + where_ + " broke while " + doing + ": "
                               + SystemErrorText(static_cast<DWORD>(code));
    throw TransportError(
        IsBrokenConnection(code) ? TransportFailure::LostOrTimedOut : TransportFailure::Other, reason);
}

void TcpConnection::Send(std::string_view data, Duration stallLimit)
{
    auto deadline = SteadyClock::now() + stallLimit;
    while (!data.empty()) {
        const int sent = ::send(Socket(), data.data(), LastSize(data.size()), 0);
        if (sent != SOCKET_ERROR) {
            data.remove_prefix(static_cast<std::size_t>(sent));
            deadline = SteadyClock::now() + stallLimit;
            continue;
        }
        const int code = ::WSAGetLastError();
        if (code != WSAEWOULDBLOCK) {
            ThrowSocketError("sending", code);
        }
        if (!WaitForNetwork(*link_, deadline)) {
            throw TransportError(TransportFailure::LostOrTimedOut,
                                 where_ + " took nothing that was sent to it for " + SecondsText(stallLimit));
        }
    }
}

std::size_t TcpConnection::Receive(char* buffer, std::size_t size, Duration timeLimit)
{
    const auto deadline = SteadyClock::now() + timeLimit;
    while (true) {
        const int received = ::recv(Socket(), buffer, LastSize(size), 0);
        if (received > 0) {
            return static_cast<std::size_t>(received);
        }
        if (received == 0) {
            // Abort's shutdown also ends the stream: that end is no server's.
            if (link_->aborted) {
                ThrowAbandoned();
            }
            return 0;
        }
        const int code = ::WSAGetLastError();
        if (code != WSAEWOULDBLOCK) {
            ThrowSocketError("receiving", code);
        }
        if (!WaitForNetwork(*link_, deadline)) {
            throw TransportError(TransportFailure::LostOrTimedOut,
                                 where_ + " sent nothing for " + SecondsText(timeLimit));
        }
    }
}

void TcpConnection::EndSending()
{
    if (::shutdown(Socket(), SD_SEND) == SOCKET_ERROR) {
        ThrowSocketError("ending the sending", ::WSAGetLastError());
    }
}

void TcpConnection::Close() noexcept
{
    if (link_) {
        const std::lock_guard lock(link_->mutex);
        link_->socket.Reset();
    }
}

}  // namespace kestrane::win32
