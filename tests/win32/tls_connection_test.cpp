// TLS through Schannel against a TLS server of the test driver,
// tests/e2e/test_tls_transport.py, which starts tests/e2e/tls_server.py in
// one mode per case and hands it over in the environment:
//   KESTRANE_TEST_TLS              host:port of the server
//   KESTRANE_TEST_TLS_NAME         the host name the settings would give
//   KESTRANE_TEST_TLS_PINS         the settings' pins ("" for none)
//   KESTRANE_TEST_TLS_FINGERPRINT  the server certificate's fingerprint, as Kestrane writes it
//   KESTRANE_TEST_TLS_TRUST        a DER certificate that Windows is to trust during the test
//   KESTRANE_TEST_TLS_EXPECT       for the certificate check: "accepted", or what the refusal says
// Without KESTRANE_TEST_TLS the tests are skipped. Each prints what it met
// ("CERTIFICATE: ...", "REFUSED: ...", "CLOSE_NOTIFY_ANSWERED: ...") for
// the driver's report.
#include "net/certificate_check_win32.h"
#include "net/tls_connection_win32.h"
#include "net/transport_error.h"
#include "tests/win32/receive_abort.h"
#include "settings/location_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

namespace kestrane::win32 {
namespace {

using namespace std::chrono_literals;

constexpr auto kLongWait = 60s;
// Odd-sized, so that the last record is a short one.
constexpr std::size_t kEchoBytes = 300'007;

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string Pattern(std::size_t size)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 13 + i / 509) % 256);
    }
    return data;
}

// The settings' policy for the server of the environment.
CertificatePolicy Policy()
{
    const std::optional<std::vector<Sha256Fingerprint>> pins =
        ParseCertificatePins(Env("KESTRANE_TEST_TLS_PINS"));
    EXPECT_TRUE(pins) << CheckCertificatePins(Env("KESTRANE_TEST_TLS_PINS")).value_or("");
    return CertificatePolicy{
        Env("KESTRANE_TEST_TLS_NAME"), pins.value_or(std::vector<Sha256Fingerprint>{}), {}};
}

// A certificate that Windows trusts as a root while the object lives.
class TrustedRoot {
public:
    explicit TrustedRoot(const std::string& derFile)
    {
        if (derFile.empty()) {
            return;
        }
        std::ifstream file(derFile, std::ios::binary);
        const std::string der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_FALSE(der.empty()) << derFile;
        store_ = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
        EXPECT_NE(store_, nullptr) << ::GetLastError();
        EXPECT_TRUE(::CertAddEncodedCertificateToStore(
            store_, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
            static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, added_.Put()))
            << ::GetLastError();
    }
    TrustedRoot(const TrustedRoot&) = delete;
    TrustedRoot& operator=(const TrustedRoot&) = delete;
    ~TrustedRoot()
    {
        if (added_) {
            // Deleting frees the context too.
            EXPECT_TRUE(::CertDeleteCertificateFromStore(added_.Release())) << ::GetLastError();
        }
        if (store_ != nullptr) {
            EXPECT_TRUE(::CertCloseStore(store_, 0));
        }
    }

private:
    HCERTSTORE store_ = nullptr;
    UniqueCertificate added_;
};

class TlsServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        server_ = Env("KESTRANE_TEST_TLS");
        if (server_.empty()) {
            GTEST_SKIP() << "no TLS server given (KESTRANE_TEST_TLS)";
        }
    }

    TlsConnection Connect()
    {
        const std::optional<HostAndPort> address = SplitHostAndPort(server_);
        EXPECT_TRUE(address) << server_;
        return TlsConnection::Start(credentials_,
                                    TcpConnection::Connect(address->host, address->port, kLongWait), Policy(),
                                    kLongWait);
    }

    std::string server_;
    TlsCredentials credentials_;
};

TEST_F(TlsServerTest, EchoesThroughManyRecordsBothWays)
{
    TlsConnection connection = Connect();
    for (const std::string& line :
         DescribeCertificate(connection.Certificate(), Env("KESTRANE_TEST_TLS_NAME"))) {
        std::cout << "CERTIFICATE: " << line << std::endl;
    }
    EXPECT_EQ(FingerprintText(connection.Certificate().fingerprint), Env("KESTRANE_TEST_TLS_FINGERPRINT"));
    EXPECT_EQ(connection.Certificate().verdict, CertificateVerdict::Pinned);
    EXPECT_NE(connection.Certificate().subject.find("CN=localhost"), std::string::npos)
        << connection.Certificate().subject;

    // The length first, as eight decimal digits, then the data: the server
    // sends it back in records of many sizes once it has all of it.
    const std::string data = Pattern(kEchoBytes);
    char length[9];
    std::snprintf(length, sizeof length, "%08u", static_cast<unsigned>(data.size()));
    connection.Send(std::string(length) + data, kLongWait);

    std::string echoed;
    // Smaller than most records, and larger than some: a record is handed
    // out in parts, and several are decrypted from one read.
    char buffer[5000];
    while (echoed.size() < data.size()) {
        const std::size_t count = connection.Receive(buffer, sizeof buffer, kLongWait);
        ASSERT_NE(count, 0u) << "the stream ended after " << echoed.size() << " bytes";
        echoed.append(buffer, count);
    }
    EXPECT_TRUE(echoed == data) << "the data came back changed";
    const bool answered = connection.Close(10s);
    std::cout << "CLOSE_NOTIFY_ANSWERED: " << (answered ? "yes" : "no") << std::endl;
}

TEST_F(TlsServerTest, ChecksTheCertificateAsTheSettingsSay)
{
    const TrustedRoot root(Env("KESTRANE_TEST_TLS_TRUST"));
    const std::string expected = Env("KESTRANE_TEST_TLS_EXPECT");
    ASSERT_FALSE(expected.empty());
    try {
        TlsConnection connection = Connect();
        std::cout << "ACCEPTED: "
                  << DescribeCertificate(connection.Certificate(), Env("KESTRANE_TEST_TLS_NAME")).back()
                  << std::endl;
        EXPECT_EQ(expected, "accepted");
        EXPECT_EQ(FingerprintText(connection.Certificate().fingerprint),
                  Env("KESTRANE_TEST_TLS_FINGERPRINT"));
        connection.Send("after the check", kLongWait);
        connection.Close(10s);
    } catch (const TransportError& error) {
        std::cout << "REFUSED: " << error.what() << std::endl;
        EXPECT_EQ(error.Kind(), TransportFailure::Security);
        EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
    }
}

TEST_F(TlsServerTest, CloseWaitsOnlyBrieflyForAServerThatNeverAnswers)
{
    TlsConnection connection = Connect();
    connection.Send("hello", kLongWait);
    // The server keeps the connection open, and never sends its close_notify:
    // Close gives up on it after its short wait.
    EXPECT_FALSE(connection.Close(2s));
    std::cout << "CLOSED" << std::endl;
}

TEST_F(TlsServerTest, AbortEndsAReceiveWaitingOnAnotherThread)
{
    TlsConnection connection = Connect();
    // The server waits for a length that never comes, and sends nothing.
    EXPECT_EQ(AbortAWaitingReceive(connection), TransportFailure::Abandoned);
}

}  // namespace
}  // namespace kestrane::win32
