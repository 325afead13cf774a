#include "ftp/stream_ftp_client.h"

#include "tests/unit/fakes.h"
#include "tests/unit/scripted_transport.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace kestrane {
namespace {

using namespace std::chrono_literals;
using namespace kestrane::testing;

// The window as the client's waits see it. Steady time stands still until
// the server hangs on a command, and then moves 10 seconds at each pump, so
// that a time limit runs out only once the server has stopped answering,
// however slowly the worker runs. When closeWhenHung, the user closes the
// window instead.
class HangWatchingPump final : public MessagePump {
public:
    HangWatchingPump(const ScriptedTransport& transport, FakeClock& clock) :
        transport_(transport),
        clock_(clock)
    {
    }

    bool closeWhenHung = false;

    void PumpMessages() override
    {
        if (!transport_.Seen().hanging) {
            return;
        }
        if (closeWhenHung) {
            throw WindowClosed();
        }
        clock_.Advance(10s);
    }
    void ReportProgress(const Progress&) override { PumpMessages(); }

private:
    const ScriptedTransport& transport_;
    FakeClock& clock_;
};

class StreamFtpClientTest : public ::testing::Test {
protected:
    // The client, whose connections are made by transports, in turn.
    std::unique_ptr<FtpClient> MakeClient(std::deque<std::shared_ptr<ScriptedTransport>> transports,
                                          FtpTls tls = FtpTls::None)
    {
        pump_ = std::make_unique<HangWatchingPump>(*transports.front(), clock_);
        auto next = [transports]() mutable -> std::shared_ptr<Transport> {
            auto transport = transports.front();
            transports.pop_front();
            return transport;
        };
        return MakeStreamFtpClient(next, tls, *pump_, files_, clock_);
    }

    std::unique_ptr<FtpClient> MakeClient(const std::shared_ptr<ScriptedTransport>& transport)
    {
        return MakeClient(std::deque{transport});
    }

    static void ExpectWholeScript(const ScriptedTransport& transport)
    {
        EXPECT_EQ(transport.Seen().mismatch, "");
        EXPECT_EQ(transport.Seen().unplayed, std::vector<std::string>{});
    }

    FakeClock clock_;
    MemoryFiles files_;
    std::unique_ptr<HangWatchingPump> pump_;
};

TEST_F(StreamFtpClientTest, SendsChecksFetchesAndListsThenSaysGoodbye)
{
    const std::string content = PatternBytes(70'001);
    files_.contents["26.TXT"] = content;
    auto transport = std::make_shared<ScriptedTransport>(Join({
        kPlainLogin,
        kBinaryType,
        {{"SIZE in/26.TXT", "550 No such file.\r\n"}},
        kExtendedPassive,
        {DataCommand("STOR in/26.TXT")},
        {{"SIZE in/26.TXT", "213 70001\r\n"}},
        kExtendedPassive,
        {DataCommand("RETR in/26.TXT", content)},
        kExtendedPassive,
        {DataCommand("MLSD", "type=file;size=70001; 26.TXT\r\n")},
        kGoodbye,
    }));
    auto client = MakeClient(transport);

    client->Connect(kScriptAccount);
    EXPECT_EQ(client->RemoteFileSize("in/26.TXT"), std::nullopt);
    client->PutFile("26.TXT", "in/26.TXT");
    EXPECT_EQ(client->RemoteFileSize("in/26.TXT"), content.size());
    client->GetFile("in/26.TXT", "26.TXT.server");
    client->ListFolder("");
    client->Disconnect();

    // The goodbye is said on a worker of its own: the test waits for it.
    transport->AwaitControlClosed();
    ExpectWholeScript(*transport);
    EXPECT_EQ(transport->Seen().uploads.at(0), content);
    EXPECT_EQ(files_.contents["26.TXT.server"], content);
}

TEST_F(StreamFtpClientTest, ClosingTheWindowWhileTheServerHangsGivesUpAndAbortsTheTransport)
{
    auto transport = std::make_shared<ScriptedTransport>(
        Join({kPlainLogin, kBinaryType, {{"SIZE in/26.TXT", "", "", "", true}}}));
    auto client = MakeClient(transport);
    client->Connect(kScriptAccount);
    pump_->closeWhenHung = true;

    EXPECT_THROW(client->RemoteFileSize("in/26.TXT"), WindowClosed);
    EXPECT_TRUE(transport->Seen().aborted);
    EXPECT_THROW(client->RemoteFileSize("in/26.TXT"), FtpError) << "the connection was given up";
    client->Disconnect();
    ExpectWholeScript(*transport);
}

TEST_F(StreamFtpClientTest, AServerThatStopsAnsweringFailsTheOperationOnceTheStallLimitHasPassed)
{
    auto transport = std::make_shared<ScriptedTransport>(
        Join({kPlainLogin, kBinaryType, kExtendedPassive, {{"STOR in/26.TXT", "", "", "", true}}}));
    files_.contents["26.TXT"] = "data";
    auto client = MakeClient(transport);
    client->Connect(kScriptAccount);
    const SteadyClock::time_point started = clock_.SteadyNow();

    try {
        client->PutFile("26.TXT", "in/26.TXT");
        FAIL() << "a hung upload went on";
    } catch (const FtpError& error) {
        EXPECT_STREQ(error.what(), "the transfer of in/26.TXT stalled: no data moved for 60 seconds");
    }
    EXPECT_GE(clock_.SteadyNow() - started, 60s);
    EXPECT_TRUE(transport->Seen().aborted);
}

TEST_F(StreamFtpClientTest, AServerThatNeverGreetsFailsTheConnectOnceTheConnectLimitHasPassed)
{
    auto transport = std::make_shared<ScriptedTransport>(std::vector<Exchange>{{"", "", "", "", true}});
    auto client = MakeClient(transport);

    try {
        client->Connect(kScriptAccount);
        FAIL() << "connected to a server that never greeted";
    } catch (const FtpError& error) {
        EXPECT_STREQ(error.what(), "no answer within 60 seconds while connecting and logging in");
    }
    EXPECT_TRUE(transport->Seen().aborted);
    EXPECT_EQ(transport->Seen().sent, std::vector<std::string>{});
}

TEST_F(StreamFtpClientTest, ARefusedLoginNeverShowsThePassword)
{
    std::vector<Exchange> script = kPlainLogin;
    script.back().reply = std::string("500 'PASS ") + kScriptPassword + "': command not understood.\r\n";
    auto transport = std::make_shared<ScriptedTransport>(script);
    auto client = MakeClient(transport);

    try {
        client->Connect(kScriptAccount);
        FAIL() << "a refused login connected";
    } catch (const FtpError& error) {
        const std::string shown = std::string(error.what()) + error.ServerReply();
        EXPECT_EQ(shown.find(kScriptPassword), std::string::npos) << shown;
        EXPECT_EQ(error.ServerReply(), "500 'PASS ********': command not understood.");
    }
    client->Disconnect();
    ExpectWholeScript(*transport);
}

TEST_F(StreamFtpClientTest, ALocalFileThatCannotBeOpenedFailsBeforeAnyTransfer)
{
    auto transport = std::make_shared<ScriptedTransport>(kPlainLogin);
    auto client = MakeClient(transport);
    client->Connect(kScriptAccount);

    try {
        client->PutFile("missing.TXT", "in/missing.TXT");
        FAIL() << "a missing file was sent";
    } catch (const FtpError& error) {
        EXPECT_NE(std::string(error.what()).find("missing.TXT could not be opened"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(transport->Seen().sent,
              (std::vector<std::string>{"USER kestrane", std::string("PASS ") + kScriptPassword}));
}

// A refusal of one file leaves the connection for the next, as the upload
// step sends the files after one the server refused for good.
TEST_F(StreamFtpClientTest, ARefusedUploadLeavesTheConnectionToTheNextFile)
{
    files_.contents["a.TXT"] = "a";
    files_.contents["b.TXT"] = "b";
    auto transport = std::make_shared<ScriptedTransport>(Join({
        kPlainLogin,
        kBinaryType,
        kExtendedPassive,
        {{"STOR in/a.TXT", "553 Could not create file.\r\n"}},
        kExtendedPassive,
        {DataCommand("STOR in/b.TXT")},
        kGoodbye,
    }));
    auto client = MakeClient(transport);
    client->Connect(kScriptAccount);

    EXPECT_THROW(client->PutFile("a.TXT", "in/a.TXT"), FtpError);
    client->PutFile("b.TXT", "in/b.TXT");
    client->Disconnect();
    transport->AwaitControlClosed();
    ExpectWholeScript(*transport);
}

// Each connection gets a new transport, so that what one session's
// connections share (TLS credentials, the session data connections resume)
// is never another's; connecting again ends the earlier session first.
TEST_F(StreamFtpClientTest, EachConnectionIsASessionOnATransportOfItsOwn)
{
    auto first = std::make_shared<ScriptedTransport>(Join({kTlsLogin, kGoodbye}));
    auto second = std::make_shared<ScriptedTransport>(kTlsLogin);
    auto client = MakeClient(std::deque{first, second}, FtpTls::Explicit);

    client->Connect(kScriptAccount);
    client->Connect(kScriptAccount);

    first->AwaitControlClosed();
    ExpectWholeScript(*first);
    ExpectWholeScript(*second);
}

TEST_F(StreamFtpClientTest, OperationsNeedAConnection)
{
    auto transport = std::make_shared<ScriptedTransport>(std::vector<Exchange>{});
    auto client = MakeClient(transport);
    EXPECT_THROW(client->ListFolder(""), FtpError);
    EXPECT_EQ(transport->Seen().sent, std::vector<std::string>{});
}

}  // namespace
}  // namespace kestrane
