// Kestrane's own FTP client over the Schannel transport, against an FTP over
// TLS server of the test driver, tests/e2e/test_schannel_ftp.py, which starts
// pyftpdlib with TLS required on both channels and hands it over in the
// environment:
//   KESTRANE_TEST_FTPS           host:port of the server
//   KESTRANE_TEST_FTPS_TLS       "explicit" (AUTH TLS) or "implicit" (TLS from the first byte)
//   KESTRANE_TEST_FTPS_USER      its account
//   KESTRANE_TEST_FTPS_PASSWORD
//   KESTRANE_TEST_FTPS_PINS      the settings' pins
// Without KESTRANE_TEST_FTPS the server tests are skipped. A refused
// connect prints "FtpError: <reason>" for the driver's report.
#include "common/local_files_win32.h"
#include "common/system_clock_win32.h"
#include "ftp/stream_ftp_client.h"
#include "net/schannel_transport_win32.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

namespace kestrane::win32 {
namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::optional<NetFailure> FailureOfConnect(Transport& transport, const std::string& host, std::uint16_t port)
{
    try {
        transport.Connect(host, port);
    } catch (const NetError& error) {
        return error.Failure();
    }
    return std::nullopt;
}

TEST(SchannelTransportTest, ConnectAfterAbortFailsAsAborted)
{
    const std::shared_ptr<Transport> transport = MakeSchannelTransport({});
    transport->Abort();
    EXPECT_EQ(FailureOfConnect(*transport, "127.0.0.1", 1), NetFailure::Aborted);
}

TEST(SchannelTransportTest, RefusedConnectIsUnreachable)
{
    // Port 1 of the loopback address: nothing listens there.
    const std::shared_ptr<Transport> transport = MakeSchannelTransport({});
    EXPECT_EQ(FailureOfConnect(*transport, "127.0.0.1", 1), NetFailure::Unreachable);
}

// The window's message pump as the client sees it; never closed.
class Pump final : public MessagePump {
public:
    void PumpMessages() override { ::Sleep(10); }
    void ReportProgress(const Progress&) override {}
};

std::string TempFile(const char* name)
{
    char folder[MAX_PATH + 1];
    const DWORD length = ::GetTempPathA(sizeof folder, folder);
    if (length == 0 || length > MAX_PATH) {
        throw std::runtime_error("no temporary folder: " + std::to_string(::GetLastError()));
    }
    return std::string(folder, length) + name;
}

std::string ReadAll(const std::string& name)
{
    std::ifstream file(name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

class SchannelFtpServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        const std::string address = Env("KESTRANE_TEST_FTPS");
        if (address.empty()) {
            GTEST_SKIP() << "no FTP over TLS server given (KESTRANE_TEST_FTPS)";
        }
        const std::optional<HostAndPort> server = SplitHostAndPort(address);
        ASSERT_TRUE(server) << address;
        account_ = {*server, Env("KESTRANE_TEST_FTPS_USER"), Env("KESTRANE_TEST_FTPS_PASSWORD")};
        const std::optional<std::vector<Sha256Fingerprint>> pins =
            ParseCertificatePins(Env("KESTRANE_TEST_FTPS_PINS"));
        ASSERT_TRUE(pins) << Env("KESTRANE_TEST_FTPS_PINS");
        pins_ = *pins;
        const FtpTls tls = Env("KESTRANE_TEST_FTPS_TLS") == "implicit" ? FtpTls::Implicit : FtpTls::Explicit;
        client_ =
            MakeStreamFtpClient([this] { return MakeSchannelTransport(pins_); }, tls, pump_, files_, clock_);
    }

    FtpAccount account_;
    std::vector<Sha256Fingerprint> pins_;
    Pump pump_;
    Win32LocalFiles files_;
    SystemClock clock_;
    std::unique_ptr<FtpClient> client_;
};

TEST_F(SchannelFtpServerTest, TransfersAFileBothWays)
{
    // Every byte value, in an odd size that ends in a short TLS record.
    std::string content(200'003, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>((i * 31 + i / 251) % 256);
    }
    const std::string sent = TempFile("kestrane-schannel-sent.bin");
    const std::string received = TempFile("kestrane-schannel-received.bin");
    std::ofstream(sent, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));

    client_->Connect(account_);
    client_->PutFile(sent, "upload.bin");
    EXPECT_EQ(client_->RemoteFileSize("upload.bin"), content.size());
    EXPECT_EQ(client_->RemoteFileSize("missing.bin"), std::nullopt);
    client_->GetFile("upload.bin", received);
    client_->Disconnect();
    EXPECT_TRUE(ReadAll(received) == content) << "the file came back changed";
    EXPECT_TRUE(::DeleteFileA(sent.c_str())) << ::GetLastError();
    EXPECT_TRUE(::DeleteFileA(received.c_str())) << ::GetLastError();
}

TEST_F(SchannelFtpServerTest, RefusesAServerWhoseCertificateIsNotPinned)
{
    try {
        client_->Connect(account_);
        FAIL() << "connected to a server whose certificate is not pinned";
    } catch (const FtpError& error) {
        std::cout << "FtpError: " << error.what() << std::endl;
        EXPECT_EQ(error.Kind(), FtpFailureKind::Security);
    }
    client_->Disconnect();
}

TEST_F(SchannelFtpServerTest, AbortEndsAnOpenConnection)
{
    const std::shared_ptr<Transport> transport = MakeSchannelTransport(pins_);
    const std::unique_ptr<ByteStream> stream = transport->Connect(account_.server.host, account_.server.port);
    transport->Abort();
    char buffer[16];
    try {
        stream->Receive(buffer, sizeof buffer);
        FAIL() << "received after the transport was aborted";
    } catch (const NetError& error) {
        EXPECT_EQ(error.Failure(), NetFailure::Aborted) << error.what();
    }
    stream->Close();
}

}  // namespace
}  // namespace kestrane::win32
