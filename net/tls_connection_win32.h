// TLS over a TCP connection through Schannel, for FTP over TLS (explicit
// AUTH TLS and implicit TLS alike): TLS 1.2, the server's certificate checked
// by Kestrane itself (net/certificate_check_win32.h) right after every
// handshake, before a single byte of the application is sent.
//
// One TlsCredentials serves a whole FTP session: its control connection and
// every data connection. Schannel resumes a session only for the same
// credentials and the same target name, and many servers refuse a data
// connection that does not resume the control connection's session; so
// every connection of a session names the host of the settings.
#pragma once

#include "common/clock.h"
#include "net/certificate_check_win32.h"
#include "net/server_certificate.h"
#include "net/tcp_connection_win32.h"

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
#include <schannel.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane::win32 {

// An SSPI handle (credentials or security context), freed by the API's own
// function. Its value has no "none", so whether it holds one is kept beside it.
template <auto Free> class UniqueSecHandle {
public:
    UniqueSecHandle() = default;
    UniqueSecHandle(const UniqueSecHandle&) = delete;
    UniqueSecHandle& operator=(const UniqueSecHandle&) = delete;
    UniqueSecHandle(UniqueSecHandle&& other) noexcept :
        handle_(other.handle_),
        held_(std::exchange(other.held_, false))
    {
    }
    UniqueSecHandle& operator=(UniqueSecHandle&& other) noexcept
    {
        if (this != &other) {
            Reset();
            handle_ = other.handle_;
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }
    ~UniqueSecHandle() { Reset(); }

    explicit operator bool() const { return held_; }
    SecHandle* Get() { return held_ ? &handle_ : nullptr; }
    // Where a call that makes a handle puts it; Hold() once it has.
    SecHandle* Put()
    {
        Reset();
        return &handle_;
    }
    void Hold() { held_ = true; }
    void Reset()
    {
        if (held_) {
            // What freeing returns is not looked at: a handle that will not go can only be let go.
            static_cast<void>(Free(&handle_));
            held_ = false;
        }
    }

private:
    SecHandle handle_{};
    bool held_ = false;
};
using UniqueCredentials = UniqueSecHandle<::FreeCredentialsHandle>;
using UniqueSecurityContext = UniqueSecHandle<::DeleteSecurityContext>;
using UniqueContextBuffer = UniqueHandle<void*, ::FreeContextBuffer>;

// Schannel's client credentials of one FTP session: TLS 1.2, no client
// certificate, and no check of the server's certificate by Schannel (Kestrane
// makes its own). Throws TransportError(Security) when Schannel refuses.
class TlsCredentials {
public:
    TlsCredentials();
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;

    CredHandle* Get() { return credentials_.Get(); }

private:
    UniqueCredentials credentials_;
};

class TlsConnection {
public:
    using Duration = SteadyClock::duration;

    // Makes the TLS handshake over tcp within timeLimit, then checks the
    // server's certificate against policy. The credentials must outlive the
    // connection. On any failure (TransportError)
    // the connection is closed and nothing more is sent on it.
    static TlsConnection Start(TlsCredentials& credentials, TcpConnection tcp,
                               const CertificatePolicy& policy, Duration timeLimit);

    TlsConnection(TlsConnection&&) noexcept = default;
    TlsConnection& operator=(TlsConnection&&) = delete;
    ~TlsConnection() = default;

    // The server's certificate, as it passed the checks.
    const CertificateReport& Certificate() const { return certificate_; }

    // Sends all of data, in records of at most the largest size Schannel allows.
    void Send(std::string_view data, Duration stallLimit);
    // Receives what has come, at most size bytes, waiting up to timeLimit;
    // 0 at the end of the stream: the server's close_notify, or its end of
    // the TCP connection (see EndedByServerNotice).
    std::size_t Receive(char* buffer, std::size_t size, Duration timeLimit);
    // Whether the stream ended with the server's close_notify, rather than
    // with the TCP connection alone (which some servers do, IIS among them).
    bool EndedByServerNotice() const { return serverNoticed_; }

    // Ends TLS with a close_notify, waits at most serverWait for the
    // server's (IIS never sends one), and closes the connection. True when
    // the server's came. Never throws.
    bool Close(Duration serverWait) noexcept;

    std::string PeerAddress() const { return tcp_.PeerAddress(); }
    TcpConnection::Aborter MakeAborter() const { return tcp_.MakeAborter(); }
    void Abort() noexcept { tcp_.Abort(); }

private:
    TlsConnection(TlsCredentials& credentials, TcpConnection tcp, std::wstring target);

    // Runs the handshake from where it stands until the context is complete.
    void Handshake(SECURITY_STATUS status, SteadyClock::time_point deadline);
    SECURITY_STATUS HandshakeStep(bool withInput, SteadyClock::time_point deadline);
    void SendToken(const SecBuffer& token, SteadyClock::time_point deadline);
    // Appends what comes from the server to the bytes still to be decrypted;
    // false at the end of the TCP connection.
    bool ReceiveMore(SteadyClock::time_point deadline);
    // Decrypts the records received, up to the first that carries data;
    // false when a whole record has not yet come.
    bool DecryptReceived(SteadyClock::time_point deadline);
    UniqueCertificate ServerCertificate();
    void CheckCertificate(const CertificatePolicy& policy);
    void RecheckCertificate();

    TlsCredentials* credentials_;
    TcpConnection tcp_;
    std::wstring target_;
    UniqueSecurityContext context_;
    SecPkgContext_StreamSizes sizes_{};
    CertificateReport certificate_;
    // Received from the server and not yet decrypted.
    std::vector<char> encrypted_;
    // Decrypted and not yet handed out, from decryptedStart_ on.
    std::string decrypted_;
    std::size_t decryptedStart_ = 0;
    bool serverNoticed_ = false;
    bool ended_ = false;
};

}  // namespace kestrane::win32
