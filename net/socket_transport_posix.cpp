#include "net/socket_transport_posix.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {
namespace {

// Owns a file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    void Reset(int fd = -1) noexcept
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

std::string ErrorText(int code)
{
    return std::generic_category().message(code);
}

// Blocking calls wait in poll() instead, beside the abort signal.
void MakeNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        throw NetError(NetFailure::Unreachable, "no connection can be made: " + ErrorText(errno));
    }
}

// What aborts every wait of one transport: a pipe whose reading end, once
// written to, stays readable for good.
class AbortSignal {
public:
    AbortSignal()
    {
        int ends[2] = {-1, -1};
        if (::pipe(ends) != 0) {
            throw NetError(NetFailure::Unreachable, "no connection can be made: " + ErrorText(errno));
        }
        readEnd_ = UniqueFd(ends[0]);
        writeEnd_ = UniqueFd(ends[1]);
        MakeNonBlocking(readEnd_.Get());
        MakeNonBlocking(writeEnd_.Get());
    }

    void Raise() noexcept
    {
        if (!raised_.exchange(true)) {
            const char byte = 0;
            static_cast<void>(::write(writeEnd_.Get(), &byte, 1));
        }
    }
    void ThrowIfRaised() const
    {
        if (raised_) {
            throw NetError(NetFailure::Aborted, "the connection was given up");
        }
    }

    // Waits until fd is ready for events. After kTransportIdleLimit without,
    // throws a NetError of the kind `quiet`, saying quietText.
    void Await(int fd, short events, NetFailure quiet, const std::string& quietText) const
    {
        pollfd waits[2] = {{fd, events, 0}, {readEnd_.Get(), POLLIN, 0}};
        constexpr int kLimitMs = static_cast<int>(std::chrono::milliseconds(kTransportIdleLimit).count());
        int ready = 0;
        do {
            ready = ::poll(waits, 2, kLimitMs);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) {
            throw NetError(NetFailure::Broken, "the connection could not be waited for: " + ErrorText(errno));
        }
        ThrowIfRaised();
        if (ready == 0) {
            throw NetError(quiet, quietText);
        }
        // Ready, or failed: the call that follows says which.
    }

private:
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
    std::atomic<bool> raised_ = false;
};

// A connection that failed once it was open, in plain words.
NetError Lost(int code)
{
    switch (code) {
    case ECONNRESET:
        return NetError(NetFailure::Broken, "the connection was reset");
    case EPIPE:
        return NetError(NetFailure::Broken, "the server closed the connection");
    default:
        return NetError(NetFailure::Broken, "the connection broke off: " + ErrorText(code));
    }
}

class SocketStream final : public ByteStream {
public:
    SocketStream(UniqueFd socket, std::string peer, std::shared_ptr<const AbortSignal> abort) :
        socket_(std::move(socket)),
        peer_(std::move(peer)),
        abort_(std::move(abort))
    {
    }

    void Send(std::string_view bytes) override
    {
        while (!bytes.empty()) {
            abort_->ThrowIfRaised();
            const ssize_t sent = ::send(socket_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent >= 0) {
                bytes.remove_prefix(static_cast<std::size_t>(sent));
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                abort_->Await(socket_.Get(), POLLOUT, NetFailure::Broken,
                              "the server took no data for a long time");
            } else if (errno != EINTR) {
                throw Lost(errno);
            }
        }
    }

    std::size_t Receive(char* buffer, std::size_t size) override
    {
        for (;;) {
            abort_->ThrowIfRaised();
            const ssize_t got = ::recv(socket_.Get(), buffer, size, 0);
            if (got >= 0) {
                return static_cast<std::size_t>(got);
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                abort_->Await(socket_.Get(), POLLIN, NetFailure::Broken,
                              "the server sent nothing for a long time");
            } else if (errno != EINTR) {
                throw Lost(errno);
            }
        }
    }

    void StartTls(const std::string&) override
    {
        throw NetError(NetFailure::Security, "this build's connections have no TLS");
    }

    std::string PeerAddress() const override { return peer_; }

    void Close() noexcept override { socket_.Reset(); }

private:
    UniqueFd socket_;
    std::string peer_;
    std::shared_ptr<const AbortSignal> abort_;
};

class SocketTransport final : public Transport {
public:
    std::unique_ptr<ByteStream> Connect(const std::string& host, std::uint16_t port) override
    {
        abort_->ThrowIfRaised();
        const std::string where = host + ":" + std::to_string(port);
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
            throw NetError(NetFailure::Unreachable, "the server name " + host + " could not be found");
        }
        const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
        int failure = 0;
        for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
            UniqueFd socket(::socket(address->ai_family, address->ai_socktype, address->ai_protocol));
            if (socket.Get() < 0) {
                failure = errno;
                continue;
            }
            MakeNonBlocking(socket.Get());
            if (::connect(socket.Get(), address->ai_addr, address->ai_addrlen) != 0) {
                if (errno != EINPROGRESS) {
                    failure = errno;
                    continue;
                }
                abort_->Await(socket.Get(), POLLOUT, NetFailure::Unreachable, "nothing answered at " + where);
                socklen_t length = sizeof failure;
                if (::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &failure, &length) != 0) {
                    failure = errno;
                }
                if (failure != 0) {
                    continue;
                }
            }
            return std::make_unique<SocketStream>(std::move(socket), NumericAddress(*address), abort_);
        }
        throw NetError(NetFailure::Unreachable,
                       failure == ECONNREFUSED
                           ? "the connection to " + where + " was refused"
                           : "the connection to " + where + " failed: " + ErrorText(failure));
    }

    void Abort() noexcept override { abort_->Raise(); }

private:
    static std::string NumericAddress(const addrinfo& address)
    {
        char text[NI_MAXHOST] = {};
        if (::getnameinfo(address.ai_addr, address.ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST)
            != 0) {
            throw NetError(NetFailure::Unreachable, "the server's address could not be read");
        }
        return text;
    }

    std::shared_ptr<AbortSignal> abort_ = std::make_shared<AbortSignal>();
};

}  // namespace

std::shared_ptr<Transport> MakeSocketTransport()
{
    return std::make_shared<SocketTransport>();
}

}  // namespace kestrane
