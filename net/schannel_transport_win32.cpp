#include "net/schannel_transport_win32.h"

#include "net/tcp_connection_win32.h"
#include "net/tls_connection_win32.h"
#include "net/transport_error.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace kestrane::win32 {
namespace {

using namespace std::chrono_literals;

// How long Close gives TLS's close_notify to go out and the server's to come
// back. Short: IIS never sends one, and nothing the server says then is of use.
constexpr auto kCloseWait = 250ms;

NetFailure FailureOf(TransportFailure kind)
{
    switch (kind) {
    case TransportFailure::NameNotResolved:
    case TransportFailure::Refused:
        return NetFailure::Unreachable;
    case TransportFailure::Security:
        return NetFailure::Security;
    case TransportFailure::Abandoned:
        return NetFailure::Aborted;
    case TransportFailure::LostOrTimedOut:
    case TransportFailure::Other:
        break;
    }
    return NetFailure::Broken;
}

// Runs step, turning the connection layers' TransportError into NetError.
template <typename Step> decltype(auto) Mapped(Step&& step)
{
    try {
        return step();
    } catch (const TransportError& error) {
        throw NetError(FailureOf(error.Kind()), error.what());
    }
}

// What a transport and its streams share: the credentials, made on the first
// TLS start, and the aborters of the connections still open.
class Session {
public:
    Session(std::vector<Sha256Fingerprint> pins, CertificateObserver observer) :
        pins_(std::move(pins)),
        observer_(std::move(observer))
    {
    }

    // What a connection to serverName asks of the server's certificate.
    CertificatePolicy Policy(const std::string& serverName) const { return {serverName, pins_, observer_}; }

    TlsCredentials& Credentials()
    {
        const std::lock_guard lock(mutex_);
        if (!credentials_) {
            credentials_.emplace();
        }
        return *credentials_;
    }

    // Registers a new connection's aborter; throws NetError(Aborted) once
    // the session is aborted.
    std::uint64_t Register(const TcpConnection::Aborter& aborter)
    {
        const std::lock_guard lock(mutex_);
        if (aborted_) {
            throw NetError(NetFailure::Aborted, "the connection was abandoned");
        }
        aborters_.emplace(nextId_, aborter);
        return nextId_++;
    }

    void Forget(std::uint64_t id) noexcept
    {
        const std::lock_guard lock(mutex_);
        aborters_.erase(id);
    }

    void Abort() noexcept
    {
        const std::lock_guard lock(mutex_);
        aborted_ = true;
        for (const auto& [id, aborter] : aborters_) {
            aborter.Abort();
        }
    }

private:
    const std::vector<Sha256Fingerprint> pins_;
    const CertificateObserver observer_;
    std::mutex mutex_;
    std::optional<TlsCredentials> credentials_;
    std::map<std::uint64_t, TcpConnection::Aborter> aborters_;
    std::uint64_t nextId_ = 0;
    bool aborted_ = false;
};

class SchannelStream final : public ByteStream {
public:
    SchannelStream(std::shared_ptr<Session> session, std::uint64_t id, TcpConnection tcp) :
        session_(std::move(session)),
        id_(id)
    {
        tcp_.emplace(std::move(tcp));
    }
    SchannelStream(const SchannelStream&) = delete;
    SchannelStream& operator=(const SchannelStream&) = delete;
    ~SchannelStream() override { session_->Forget(id_); }

    void Send(std::string_view bytes) override
    {
        Mapped([&] {
            if (tls_) {
                tls_->Send(bytes, kTransportIdleLimit);
            } else {
                Tcp().Send(bytes, kTransportIdleLimit);
            }
        });
    }

    std::size_t Receive(char* buffer, std::size_t size) override
    {
        return Mapped([&] {
            return tls_ ? tls_->Receive(buffer, size, kTransportIdleLimit)
                        : Tcp().Receive(buffer, size, kTransportIdleLimit);
        });
    }

    void StartTls(const std::string& serverName) override
    {
        if (tls_) {
            throw NetError(NetFailure::Security, "TLS was already started on this connection");
        }
        TlsCredentials& credentials = Mapped([&]() -> TlsCredentials& { return session_->Credentials(); });
        TcpConnection tcp = std::move(Tcp());
        // Start closes the connection itself when it fails.
        tcp_.reset();
        Mapped([&] {
            tls_.emplace(TlsConnection::Start(credentials, std::move(tcp), session_->Policy(serverName),
                                              kTransportIdleLimit));
        });
    }

    std::string PeerAddress() const override
    {
        return Mapped([&] {
            if (tls_) {
                return tls_->PeerAddress();
            }
            if (tcp_) {
                return tcp_->PeerAddress();
            }
            throw NetError(NetFailure::Broken, "the connection is closed");
        });
    }

    void Close() noexcept override
    {
        if (tls_) {
            static_cast<void>(tls_->Close(kCloseWait));
        } else if (tcp_) {
            tcp_->Close();
        }
    }

private:
    TcpConnection& Tcp()
    {
        if (!tcp_) {
            // TLS failed to start on it, which closed it.
            throw NetError(NetFailure::Broken, "the connection is closed");
        }
        return *tcp_;
    }

    std::shared_ptr<Session> session_;
    std::uint64_t id_;
    std::optional<TcpConnection> tcp_;
    std::optional<TlsConnection> tls_;
};

class SchannelTransport final : public Transport {
public:
    SchannelTransport(std::vector<Sha256Fingerprint> pins, CertificateObserver observer) :
        session_(std::make_shared<Session>(std::move(pins), std::move(observer)))
    {
    }

    std::unique_ptr<ByteStream> Connect(const std::string& host, std::uint16_t port) override
    {
        const TcpConnection::Aborter aborter = TcpConnection::NewAborter();
        const std::uint64_t id = session_->Register(aborter);
        try {
            TcpConnection tcp =
                Mapped([&] { return TcpConnection::Connect(host, port, kTransportIdleLimit, aborter); });
            return std::make_unique<SchannelStream>(session_, id, std::move(tcp));
        } catch (...) {
            session_->Forget(id);
            throw;
        }
    }

    void Abort() noexcept override { session_->Abort(); }

private:
    std::shared_ptr<Session> session_;
};

}  // namespace

std::shared_ptr<Transport> MakeSchannelTransport(std::vector<Sha256Fingerprint> pins,
                                                 CertificateObserver observer)
{
    return std::make_shared<SchannelTransport>(std::move(pins), std::move(observer));
}

}  // namespace kestrane::win32
