// The Winsock connection layer against listeners of the test's own: what
// each failure to connect is taken for, the time limit of a receive, the end
// of the stream, and Abort from another thread.
#include "net/tcp_connection_win32.h"
#include "net/transport_error.h"
#include "tests/win32/receive_abort.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace kestrane::win32 {
namespace {

using namespace std::chrono_literals;

constexpr auto kLongWait = 60s;

// A listening socket on a loopback address and a port of the system's choice.
class Listener {
public:
    // Nothing when the address family is not there (IPv6 on some PCs).
    static std::unique_ptr<Listener> On(const char* address)
    {
        auto listener = std::make_unique<Listener>();
        ADDRINFOA hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
        ADDRINFOA* found = nullptr;
        if (::getaddrinfo(address, "0", &hints, &found) != 0) {
            return nullptr;
        }
        listener->socket_.Reset(::socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP));
        const bool listening =
            listener->socket_
            && ::bind(listener->socket_.Get(), found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0
            && ::listen(listener->socket_.Get(), 4) == 0;
        ::freeaddrinfo(found);
        if (!listening) {
            return nullptr;
        }
        sockaddr_storage bound{};
        int length = sizeof bound;
        EXPECT_EQ(::getsockname(listener->socket_.Get(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
        listener->port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                            : reinterpret_cast<sockaddr_in&>(bound).sin_port);
        return listener;
    }

    std::uint16_t Port() const { return port_; }
    UniqueSocket Accept()
    {
        UniqueSocket accepted(::accept(socket_.Get(), nullptr, nullptr));
        EXPECT_TRUE(accepted) << ::WSAGetLastError();
        return accepted;
    }
    void Close() { socket_.Reset(); }

private:
    WinsockUse winsock_;
    UniqueSocket socket_;
    std::uint16_t port_ = 0;
};

std::string Pattern(std::size_t size)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 7 + i / 251) % 256);
    }
    return data;
}

std::string ReceiveAll(TcpConnection& connection)
{
    std::string received;
    char buffer[4096];
    while (const std::size_t count = connection.Receive(buffer, sizeof buffer, kLongWait)) {
        received.append(buffer, count);
    }
    return received;
}

struct FailedConnect {
    const char* name;
    const char* host;
    bool closedPort;  // a port where nothing listens; else port 21
    TransportFailure kind;
    const char* reason;
};

class TcpConnectFailureTest : public testing::TestWithParam<FailedConnect> {};

TEST_P(TcpConnectFailureTest, SaysWhatKindOfFailureItWas)
{
    const FailedConnect& failed = GetParam();
    std::uint16_t port = 21;
    if (failed.closedPort) {
        auto listener = Listener::On("127.0.0.1");
        ASSERT_TRUE(listener);
        port = listener->Port();
        listener->Close();
    }
    try {
        TcpConnection::Connect(failed.host, port, kLongWait);
        FAIL() << "connected to " << failed.host;
    } catch (const TransportError& error) {
        EXPECT_EQ(error.Kind(), failed.kind) << error.what();
        EXPECT_NE(std::string(error.what()).find(failed.reason), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, TcpConnectFailureTest,
    testing::Values(FailedConnect{"Refused", "127.0.0.1", true, TransportFailure::Refused,
                                  "refused the connection"},
                    FailedConnect{"NameUnknown", "kestrane-no-such-host.invalid", false,
                                  TransportFailure::NameNotResolved,
                                  "the name kestrane-no-such-host.invalid does not resolve"}),
    [](const testing::TestParamInfo<FailedConnect>& failure) { return std::string(failure.param.name); });

class TcpEchoTest : public testing::TestWithParam<const char*> {};

// The listener takes the data, sends it back and ends the connection.
TEST_P(TcpEchoTest, SendsReceivesAndSeesTheEnd)
{
    auto listener = Listener::On(GetParam());
    if (!listener) {
        GTEST_SKIP() << "no loopback address " << GetParam() << " on this PC";
    }
    const std::string data = Pattern(300'001);
    std::thread server([&] {
        UniqueSocket accepted = listener->Accept();
        std::string got;
        char buffer[8192];
        while (got.size() < data.size()) {
            const int count = ::recv(accepted.Get(), buffer, sizeof buffer, 0);
            ASSERT_GT(count, 0);
            got.append(buffer, static_cast<std::size_t>(count));
        }
        ASSERT_EQ(::send(accepted.Get(), got.data(), static_cast<int>(got.size()), 0),
                  static_cast<int>(got.size()));
        ASSERT_EQ(::shutdown(accepted.Get(), SD_SEND), 0);
    });
    TcpConnection connection = TcpConnection::Connect(GetParam(), listener->Port(), kLongWait);
    connection.Send(data, kLongWait);
    EXPECT_EQ(connection.PeerAddress(), GetParam());
    const std::string received = ReceiveAll(connection);
    server.join();
    EXPECT_TRUE(received == data) << received.size() << " bytes came back of " << data.size();
}

INSTANTIATE_TEST_SUITE_P(Loopback, TcpEchoTest, testing::Values("127.0.0.1", "::1"),
                         [](const testing::TestParamInfo<const char*>& address) {
                             return std::string(address.index == 0 ? "IPv4" : "IPv6");
                         });

TEST(TcpConnectionTest, ReceiveGivesUpAfterItsTimeLimit)
{
    auto listener = Listener::On("127.0.0.1");
    ASSERT_TRUE(listener);
    // The connection is made in the listener's backlog, and nothing is ever sent on it.
    TcpConnection connection = TcpConnection::Connect("127.0.0.1", listener->Port(), kLongWait);
    char buffer[16];
    try {
        connection.Receive(buffer, sizeof buffer, 50ms);
        FAIL() << "received from a server that sends nothing";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.Kind(), TransportFailure::LostOrTimedOut) << error.what();
        EXPECT_NE(std::string(error.what()).find("sent nothing for 1 s"), std::string::npos) << error.what();
    }
}

TEST(TcpConnectionTest, AbortEndsAReceiveWaitingOnAnotherThread)
{
    auto listener = Listener::On("127.0.0.1");
    ASSERT_TRUE(listener);
    TcpConnection connection = TcpConnection::Connect("127.0.0.1", listener->Port(), kLongWait);
    EXPECT_EQ(AbortAWaitingReceive(connection), TransportFailure::Abandoned);
    EXPECT_THROW(connection.Send("more", kLongWait), TransportError);
}

TEST(TcpConnectionTest, AnAbortBeforeTheConnectAbandonsIt)
{
    auto listener = Listener::On("127.0.0.1");
    ASSERT_TRUE(listener);
    const TcpConnection::Aborter aborter = TcpConnection::NewAborter();
    aborter.Abort();
    try {
        TcpConnection::Connect("127.0.0.1", listener->Port(), kLongWait, aborter);
        FAIL() << "connected after the abort";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.Kind(), TransportFailure::Abandoned) << error.what();
    }
}

TEST(TcpConnectionTest, AnAborterOfAClosedConnectionLeavesTheNextOneAlone)
{
    auto listener = Listener::On("127.0.0.1");
    ASSERT_TRUE(listener);
    std::optional<TcpConnection::Aborter> aborter;
    {
        TcpConnection closed = TcpConnection::Connect("127.0.0.1", listener->Port(), kLongWait);
        aborter = closed.MakeAborter();
    }
    // The next socket is likely to get the closed one's number; the late
    // abort must not shut it down.
    TcpConnection next = TcpConnection::Connect("127.0.0.1", listener->Port(), kLongWait);
    aborter->Abort();
    static_cast<void>(listener->Accept());
    UniqueSocket accepted = listener->Accept();
    next.Send("still here", kLongWait);
    char buffer[16] = {};
    EXPECT_EQ(::recv(accepted.Get(), buffer, sizeof buffer, 0), 10);
    EXPECT_EQ(std::string(buffer), "still here");
}

}  // namespace
}  // namespace kestrane::win32
