// Kestrane's own FTP client over ordinary sockets, against a real FTP server
// on this machine: tests/e2e/ftp_server.py (pyftpdlib), started for each
// test on a free loopback port, serving a temporary folder; as a working
// server, and as one that answers in the words of FileZilla Server (no
// SIZE, so listings tell) or of IIS. Skipped only when the server cannot be
// started here.
#include "common/local_files_posix.h"
#include "ftp/stream_ftp_client.h"
#include "net/socket_transport_posix.h"
#include "tests/shared/local_ftp_server.h"
#include "tests/unit/fakes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {
namespace {

namespace fs = std::filesystem;

constexpr char kUser[] = "kestrane-loc";
// Distinctive, so that a leak into any message is found.
constexpr char kPassword[] = "Pw#9zQ!k2v";
constexpr char kNoServer[] = "the FTP server (/usr/bin/python3 with pyftpdlib) could not be started";

// The window's pump, for a window that nobody closes.
class IdlePump final : public MessagePump {
public:
    void PumpMessages() override {}
    void ReportProgress(const Progress&) override {}
};

class RealSteadyClock final : public Clock {
public:
    LocalTime Now() override { return {}; }
    SteadyClock::time_point SteadyNow() override { return SteadyClock::now(); }
};

class StreamFtpClientServerTest : public ::testing::Test {
protected:
    // Starts the server as fault says; false when it cannot be started here.
    bool StartServer(const char* fault)
    {
        char folder[] = "/tmp/kestrane-ftp-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            ADD_FAILURE() << "no temporary folder";
            return false;
        }
        root_ = folder;
        fs::create_directories(root_ / "in" / "drop box [1]");
        server_.emplace(std::vector<std::string>{"--root", root_.string(), "--user", kUser, "--password",
                                                 kPassword, "--fault", fault});
        client_ = MakeStreamFtpClient(MakeSocketTransport, FtpTls::None, pump_, files_, clock_);
        return server_->Port() != 0;
    }

    void TearDown() override
    {
        client_.reset();
        server_.reset();
        if (!root_.empty()) {
            fs::remove_all(root_);
        }
    }

    FtpAccount Account(const std::string& password = kPassword) const
    {
        return {{"127.0.0.1", server_->Port()}, kUser, password};
    }

    // A local file of the temporary folder, with content.
    std::string LocalFile(const std::string& name, const std::string& content)
    {
        const std::string path = (root_ / name).string();
        WriteWholeFile(files_, path, content);
        return path;
    }

    std::string Content(const fs::path& path) { return ReadWholeFile(files_, path.string()); }

    fs::path root_;
    std::optional<testing::LocalFtpServer> server_;
    IdlePump pump_;
    PosixLocalFiles files_;
    RealSteadyClock clock_;
    std::unique_ptr<FtpClient> client_;
};

// Each test against each kind of server.
class ServerKindTest : public StreamFtpClientServerTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override
    {
        if (!StartServer(GetParam())) {
            GTEST_SKIP() << kNoServer;
        }
    }
};

TEST_P(ServerKindTest, UploadsEveryByteValueChecksItsSizeAndFetchesItBack)
{
    const std::string content = testing::PatternBytes(200'003);
    const std::string local = LocalFile("binary.dat", content);
    client_->Connect(Account());

    EXPECT_EQ(client_->RemoteFileSize("in/binary.dat"), std::nullopt);
    client_->PutFile(local, "in/binary.dat");
    EXPECT_EQ(client_->RemoteFileSize("in/binary.dat"), content.size());
    const std::string copy = (root_ / "copy.dat").string();
    client_->GetFile("in/binary.dat", copy);
    client_->Disconnect();

    EXPECT_TRUE(Content(root_ / "in" / "binary.dat") == content) << "the server holds other bytes";
    EXPECT_TRUE(Content(copy) == content) << "the copy differs from what was sent";
}

// Found by its exact name, next to one that starts with it, in a folder
// whose name holds blanks and brackets, which a listing must not take for
// a pattern.
TEST_P(ServerKindTest, FindsFilesAndListsFoldersWhoseNamesHoldBlanksAndBrackets)
{
    const std::string local = LocalFile("26.TXT", testing::PatternBytes(1'234));
    const std::string folder = "in/drop box [1]";
    const std::string remote = folder + "/26 [0042].TXT";
    client_->Connect(Account());

    client_->PutFile(local, remote + ".pending");
    EXPECT_EQ(client_->RemoteFileSize(remote), std::nullopt);
    client_->PutFile(local, remote);
    EXPECT_EQ(client_->RemoteFileSize(remote), 1'234u);
    EXPECT_EQ(client_->RemoteFileSize("in/no such folder/26 [0042].TXT"), std::nullopt);
    client_->ListFolder(folder);
    client_->ListFolder("");
    try {
        client_->ListFolder("in/no such folder");
        FAIL() << "a missing folder was listed";
    } catch (const FtpError& error) {
        EXPECT_EQ(error.ServerReply().substr(0, 4), "550 ") << error.ServerReply();
    }
    // Every operation ended where the login left the connection.
    client_->PutFile(local, "at home.TXT");
    EXPECT_EQ(Content(root_ / "at home.TXT").size(), 1'234u) << "not stored in the login folder";
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerKindTest, ::testing::Values("none", "filezilla", "iis"));

TEST_F(StreamFtpClientServerTest, ARefusedLoginSaysSoWithoutThePassword)
{
    if (!StartServer("none")) {
        GTEST_SKIP() << kNoServer;
    }
    try {
        client_->Connect(Account(std::string(kPassword) + "-wrong"));
        FAIL() << "a wrong password logged in";
    } catch (const FtpError& error) {
        EXPECT_STREQ(error.what(), "the server refused the login");
        EXPECT_EQ(error.ServerReply().substr(0, 4), "530 ") << error.ServerReply();
        EXPECT_EQ(error.ServerReply().find(kPassword), std::string::npos);
    }
}

TEST(StreamFtpClientSocketTest, NothingListeningIsARefusedConnection)
{
    // A port that was free a moment ago, with nothing listening.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(probe);
    const std::uint16_t port = ntohs(address.sin_port);

    IdlePump pump;
    PosixLocalFiles files;
    RealSteadyClock clock;
    auto client = MakeStreamFtpClient(MakeSocketTransport, FtpTls::None, pump, files, clock);
    try {
        client->Connect({{"127.0.0.1", port}, kUser, kPassword});
        FAIL() << "connected to nothing";
    } catch (const FtpError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "the connection to 127.0.0.1:" + std::to_string(port) + " was refused");
    }
}

}  // namespace
}  // namespace kestrane
