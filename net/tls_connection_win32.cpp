#include "net/tls_connection_win32.h"

#include "net/certificate_check_win32.h"
#include "net/transport_error.h"

#include <algorithm>
#include <cstring>

namespace kestrane::win32 {
namespace {

constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY
                                  | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
// A TLS record's header: type, version and length, read before a record is decrypted.
constexpr std::size_t kRecordHeaderBytes = 5;
// What one receive asks of the socket: a whole record of the largest size.
constexpr std::size_t kReceiveChunkBytes = 16 * 1024 + 2048;
// A server that asks for a client certificate again and again would keep
// the handshake going for ever.
constexpr int kMostCredentialRequests = 2;

bool Failed(SECURITY_STATUS status)
{
    return status < 0;
}

std::string StatusText(SECURITY_STATUS status)
{
    return SystemErrorText(static_cast<DWORD>(status));
}

[[noreturn]] void ThrowSecurity(const std::string& reason)
{
    throw TransportError(TransportFailure::Security, reason);
}

SteadyClock::duration Left(SteadyClock::time_point deadline)
{
    return std::max(deadline - SteadyClock::now(), SteadyClock::duration::zero());
}

SecBuffer Buffer(ULONG type, void* data = nullptr, std::size_t size = 0)
{
    return SecBuffer{static_cast<ULONG>(size), type, data};
}

template <std::size_t N> SecBufferDesc Buffers(SecBuffer (&buffers)[N])
{
    return SecBufferDesc{SECBUFFER_VERSION, static_cast<ULONG>(N), buffers};
}

const SecBuffer* FindBuffer(const SecBufferDesc& buffers, ULONG type)
{
    for (ULONG i = 0; i < buffers.cBuffers; ++i) {
        if (buffers.pBuffers[i].BufferType == type) {
            return &buffers.pBuffers[i];
        }
    }
    return nullptr;
}

}  // namespace

TlsCredentials::TlsCredentials()
{
    SCHANNEL_CRED schannel{};
    schannel.dwVersion = SCHANNEL_CRED_VERSION;
    schannel.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    // Schannel neither checks the server's certificate (Kestrane does) nor
    // offers a client certificate of this PC's user.
    schannel.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry{};
    const SECURITY_STATUS status =
        ::AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                    nullptr, &schannel, nullptr, nullptr, credentials_.Put(), &expiry);
    if (status != SEC_E_OK) {
        ThrowSecurity("Windows cannot make TLS 1.2 connections: " + StatusText(status));
    }
    credentials_.Hold();
}

TlsConnection::TlsConnection(TlsCredentials& credentials, TcpConnection tcp, std::wstring target) :
    credentials_(&credentials),
    tcp_(std::move(tcp)),
    target_(std::move(target))
{
}

TlsConnection TlsConnection::Start(TlsCredentials& credentials, TcpConnection tcp,
                                   const CertificatePolicy& policy, Duration timeLimit)
{
    const auto deadline = SteadyClock::now() + timeLimit;
    TlsConnection connection(credentials, std::move(tcp), Widen(policy.host));
    connection.Handshake(connection.HandshakeStep(false, deadline), deadline);
    // Before any byte of the application: a connection that fails the
    // check is closed with nothing more sent, not even a close_notify.
    connection.CheckCertificate(policy);
    const SECURITY_STATUS status =
        ::QueryContextAttributesW(connection.context_.Get(), SECPKG_ATTR_STREAM_SIZES, &connection.sizes_);
    if (status != SEC_E_OK) {
        ThrowSecurity("Schannel gives no record sizes for the connection: " + StatusText(status));
    }
    return connection;
}

SECURITY_STATUS TlsConnection::HandshakeStep(bool withInput, SteadyClock::time_point deadline)
{
    SecBuffer input[] = {Buffer(SECBUFFER_TOKEN, encrypted_.data(), encrypted_.size()),
                         Buffer(SECBUFFER_EMPTY)};
    SecBufferDesc inputs = Buffers(input);
    SecBuffer output[] = {Buffer(SECBUFFER_TOKEN)};
    SecBufferDesc outputs = Buffers(output);
    ULONG attributes = 0;
    const bool first = !context_;
    const SECURITY_STATUS status =
        ::InitializeSecurityContextW(credentials_->Get(), context_.Get(), target_.data(), kContextRequest, 0,
                                     0, withInput ? &inputs : nullptr, 0,
                                     first ? context_.Put() : context_.Get(), &outputs, &attributes, nullptr);
    const UniqueContextBuffer token(output[0].pvBuffer);
    if (first && !Failed(status)) {
        context_.Hold();
    }
    if (Failed(status) && status != SEC_E_INCOMPLETE_MESSAGE) {
        ThrowSecurity("the TLS handshake with the server failed: " + StatusText(status));
    }
    if (output[0].cbBuffer != 0 && token) {
        SendToken(output[0], deadline);
    }
    if (withInput && status != SEC_E_INCOMPLETE_MESSAGE && status != SEC_I_INCOMPLETE_CREDENTIALS) {
        // What the step did not use begins the server's next message.
        const std::size_t extra = input[1].BufferType == SECBUFFER_EXTRA ? input[1].cbBuffer : 0;
        encrypted_.erase(encrypted_.begin(), encrypted_.end() - static_cast<std::ptrdiff_t>(extra));
    }
    return status;
}

void TlsConnection::Handshake(SECURITY_STATUS status, SteadyClock::time_point deadline)
{
    int credentialRequests = 0;
    while (status != SEC_E_OK) {
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asks for a client certificate: there is none to give,
            // and the next step goes on without one.
            if (++credentialRequests > kMostCredentialRequests) {
                ThrowSecurity("the server insists on a client certificate, which Kestrane does not have");
            }
        } else if (status == SEC_E_INCOMPLETE_MESSAGE || encrypted_.empty()) {
            if (!ReceiveMore(deadline)) {
                throw TransportError(TransportFailure::LostOrTimedOut,
                                     "the server ended the connection during the TLS handshake");
            }
        } else if (status != SEC_I_CONTINUE_NEEDED) {
            ThrowSecurity("the TLS handshake with the server failed: " + StatusText(status));
        }
        status = HandshakeStep(true, deadline);
    }
}

void TlsConnection::SendToken(const SecBuffer& token, SteadyClock::time_point deadline)
{
    tcp_.Send(std::string_view(static_cast<const char*>(token.pvBuffer), token.cbBuffer), Left(deadline));
}

bool TlsConnection::ReceiveMore(SteadyClock::time_point deadline)
{
    const std::size_t had = encrypted_.size();
    encrypted_.resize(had + kReceiveChunkBytes);
    std::size_t received = 0;
    try {
        received = tcp_.Receive(encrypted_.data() + had, kReceiveChunkBytes, Left(deadline));
    } catch (...) {
        encrypted_.resize(had);
        throw;
    }
    encrypted_.resize(had + received);
    return received != 0;
}

UniqueCertificate TlsConnection::ServerCertificate()
{
    UniqueCertificate certificate;
    const SECURITY_STATUS status = ::QueryContextAttributesW(context_.Get(), SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                                                             const_cast<PCERT_CONTEXT*>(certificate.Put()));
    if (status != SEC_E_OK || !certificate) {
        ThrowSecurity("the server presented no certificate: " + StatusText(status));
    }
    return certificate;
}

void TlsConnection::CheckCertificate(const CertificatePolicy& policy)
{
    certificate_ = CheckServerCertificate(ServerCertificate().Get(), policy);
}

void TlsConnection::RecheckCertificate()
{
    const Sha256Fingerprint fingerprint = CertificateFingerprint(ServerCertificate().Get());
    if (fingerprint != certificate_.fingerprint) {
        ThrowSecurity(ChangedCertificateReason(fingerprint));
    }
}

void TlsConnection::Send(std::string_view data, Duration stallLimit)
{
    std::vector<char> record;
    while (!data.empty()) {
        const std::size_t part = std::min<std::size_t>(data.size(), sizes_.cbMaximumMessage);
        record.resize(sizes_.cbHeader + part + sizes_.cbTrailer);
        std::memcpy(record.data() + sizes_.cbHeader, data.data(), part);
        SecBuffer buffers[] = {
            Buffer(SECBUFFER_STREAM_HEADER, record.data(), sizes_.cbHeader),
            Buffer(SECBUFFER_DATA, record.data() + sizes_.cbHeader, part),
            Buffer(SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + part, sizes_.cbTrailer),
            Buffer(SECBUFFER_EMPTY)};
        SecBufferDesc message = Buffers(buffers);
        const SECURITY_STATUS status = ::EncryptMessage(context_.Get(), 0, &message, 0);
        if (status != SEC_E_OK) {
            ThrowSecurity("Schannel could not encrypt what is to be sent: " + StatusText(status));
        }
        // The trailer may come out shorter than its room.
        const std::size_t length = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
        tcp_.Send(std::string_view(record.data(), length), stallLimit);
        data.remove_prefix(part);
    }
}

bool TlsConnection::DecryptReceived(SteadyClock::time_point deadline)
{
    while (!ended_ && decryptedStart_ == decrypted_.size()) {
        // Wine's Schannel reads a record's length from its header before it
        // looks how much there is: it is never handed less than a header.
        if (encrypted_.size() < kRecordHeaderBytes) {
            return false;
        }
        SecBuffer buffers[] = {Buffer(SECBUFFER_DATA, encrypted_.data(), encrypted_.size()),
                               Buffer(SECBUFFER_EMPTY), Buffer(SECBUFFER_EMPTY), Buffer(SECBUFFER_EMPTY)};
        SecBufferDesc message = Buffers(buffers);
        const SECURITY_STATUS status = ::DecryptMessage(context_.Get(), &message, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            return false;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
            ThrowSecurity("what came from the server failed TLS's checks: " + StatusText(status));
        }
        // The data lies inside encrypted_, which the extra bytes then replace.
        if (const SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
            data != nullptr && data->cbBuffer != 0) {
            decrypted_.erase(0, decryptedStart_);
            decryptedStart_ = 0;
            decrypted_.append(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
        }
        const SecBuffer* extra = FindBuffer(message, SECBUFFER_EXTRA);
        const std::size_t extraBytes = extra == nullptr ? 0 : extra->cbBuffer;
        encrypted_.erase(encrypted_.begin(), encrypted_.end() - static_cast<std::ptrdiff_t>(extraBytes));
        if (status == SEC_I_CONTEXT_EXPIRED) {
            // The server's close_notify: the end of the stream.
            serverNoticed_ = true;
            ended_ = true;
        } else if (status == SEC_I_RENEGOTIATE) {
            // The server starts a new handshake, whose first message, if
            // any, is in the extra bytes; it may not bring another certificate.
            Handshake(HandshakeStep(true, deadline), deadline);
            RecheckCertificate();
        }
    }
    return true;
}

std::size_t TlsConnection::Receive(char* buffer, std::size_t size, Duration timeLimit)
{
    const auto deadline = SteadyClock::now() + timeLimit;
    while (!DecryptReceived(deadline)) {
        if (!ReceiveMore(deadline)) {
            if (!encrypted_.empty()) {
                throw TransportError(TransportFailure::LostOrTimedOut,
                                     "the server ended the connection in the middle of a TLS record");
            }
            ended_ = true;
        }
    }
    const std::size_t given = std::min(size, decrypted_.size() - decryptedStart_);
    std::memcpy(buffer, decrypted_.data() + decryptedStart_, given);
    decryptedStart_ += given;
    return given;
}

bool TlsConnection::Close(Duration serverWait) noexcept
{
    try {
        const auto deadline = SteadyClock::now() + serverWait;
        DWORD shutdown = SCHANNEL_SHUTDOWN;
        SecBuffer control[] = {Buffer(SECBUFFER_TOKEN, &shutdown, sizeof shutdown)};
        SecBufferDesc controls = Buffers(control);
        if (context_ && ::ApplyControlToken(context_.Get(), &controls) == SEC_E_OK) {
            SecBuffer output[] = {Buffer(SECBUFFER_TOKEN)};
            SecBufferDesc outputs = Buffers(output);
            ULONG attributes = 0;
            const SECURITY_STATUS status = ::InitializeSecurityContextW(
                credentials_->Get(), context_.Get(), target_.data(), kContextRequest, 0, 0, nullptr, 0,
                context_.Get(), &outputs, &attributes, nullptr);
            const UniqueContextBuffer token(output[0].pvBuffer);
            if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && token && output[0].cbBuffer != 0) {
                SendToken(output[0], deadline);
            }
        }
        tcp_.EndSending();
        // The server's close_notify, or its end of the connection; what it
        // still sends before either is of no more use.
        std::vector<char> rest(kReceiveChunkBytes);
        while (!ended_ && SteadyClock::now() < deadline) {
            Receive(rest.data(), rest.size(), Left(deadline));
        }
    } catch (...) {
        // Past the wait, or broken: the connection is closed all the same.
    }
    tcp_.Close();
    return serverNoticed_;
}

}  // namespace kestrane::win32
