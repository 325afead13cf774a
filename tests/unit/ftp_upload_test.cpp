#include "ftp/ftp_upload.h"

#include "common/job_error.h"
#include "fakes.h"
#include "store/working_folder.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

using testing::FakeClock;
using testing::FakeFtpClient;
using testing::FakeFtpServer;
using testing::FakeWindow;
using testing::MemoryFiles;

class FtpSendTest : public ::testing::Test {
protected:
    FtpSendTest()
    {
        settings_.host = "ftp.example.com";
        settings_.user = "user";
        settings_.password = "secret";
        settings_.remoteFolder = "in/";
    }

    void AddUpload(const std::string& name, const std::string& contents)
    {
        files_.contents[name] = contents;
        files_.contents[name + kPendingSuffix] = "";
    }

    void Send(const std::vector<UploadToSend>& uploads)
    {
        FtpSendFile(settings_, client_, window_, clock_, files_, uploads);
    }

    std::string SendExpectingFailure(const std::vector<UploadToSend>& uploads)
    {
        try {
            Send(uploads);
        } catch (const JobError& error) {
            return error.what();
        }
        ADD_FAILURE() << "the upload should have failed";
        return {};
    }

    LocationSettings settings_;
    MemoryFiles files_;
    FakeFtpServer server_;
    FakeFtpClient client_{server_, files_};
    FakeClock clock_;
    FakeWindow window_{clock_};
};

TEST_F(FtpSendTest, CallsInOrderAndConfirmsTheUpload)
{
    AddUpload("A.TXT", "contents");
    Send({{"A.TXT", false}});

    EXPECT_EQ(server_.journal,
              (std::vector<std::string>{"host", "user", "password", "connect", "connected", "size in/A.TXT",
                                        "put in/A.TXT", "size in/A.TXT", "disconnect"}));
    EXPECT_EQ(client_.host, "ftp.example.com");
    EXPECT_EQ(server_.files.at("in/A.TXT"), "contents");
    EXPECT_FALSE(files_.Exists("A.TXT.pending"));
    EXPECT_TRUE(files_.Exists("A.TXT")) << "the upload file stays as the archive";
    // The window was kept alive while the connection was under way.
    EXPECT_GE(window_.pumps, 1);
}

TEST_F(FtpSendTest, RemotePathIsTheFolderFollowedByTheName)
{
    for (const char* folder : {"", "in/", "in"}) {
        FakeFtpServer server;
        FakeFtpClient client(server, files_);
        settings_.remoteFolder = folder;
        AddUpload("01110905070042.TXT", "x");
        FtpSendFile(settings_, client, window_, clock_, files_, {{"01110905070042.TXT", false}});
        EXPECT_EQ(server.files.count(std::string(folder) + "01110905070042.TXT"), 1u) << folder;
    }
}

TEST_F(FtpSendTest, EarlierFilesGoFirstWithALogLineEach)
{
    AddUpload("OLD1.TXT", "1");
    AddUpload("OLD2.TXT", "2");
    AddUpload("NEW.TXT", "3");
    Send({{"OLD1.TXT", true}, {"OLD2.TXT", true}, {"NEW.TXT", false}});

    EXPECT_EQ(window_.log, (std::vector<std::string>{"Sending earlier file OLD1.TXT ...",
                                                     "Sending earlier file OLD2.TXT ..."}));
    EXPECT_EQ(server_.files.size(), 3u);
    EXPECT_EQ(files_.ListWithSuffix(kPendingSuffix).size(), 0u);
    EXPECT_EQ(std::count(server_.journal.begin(), server_.journal.end(), "connect"), 1);
}

TEST_F(FtpSendTest, EarlierFileAlreadyOnTheServerIsNotSentAgain)
{
    AddUpload("OLD.TXT", "whole");
    server_.files["in/OLD.TXT"] = "whole";
    Send({{"OLD.TXT", true}});
    EXPECT_EQ(std::count(server_.journal.begin(), server_.journal.end(), "put in/OLD.TXT"), 0);
    EXPECT_FALSE(files_.Exists("OLD.TXT.pending"));
    EXPECT_EQ(window_.log.back(), "OLD.TXT was already on the server");
}

TEST_F(FtpSendTest, EarlierFileLeftShortOnTheServerIsSentWhole)
{
    AddUpload("OLD.TXT", "whole");
    server_.files["in/OLD.TXT"] = "wh";
    Send({{"OLD.TXT", true}});
    EXPECT_EQ(server_.files.at("in/OLD.TXT"), "whole");
    EXPECT_FALSE(files_.Exists("OLD.TXT.pending"));
}

TEST_F(FtpSendTest, NewFileNeverReplacesOneOnTheServer)
{
    AddUpload("NEW.TXT", "mine");
    server_.files["in/NEW.TXT"] = "someone else's";
    const std::string message = SendExpectingFailure({{"NEW.TXT", false}});
    EXPECT_NE(message.find("never replaces"), std::string::npos) << message;
    EXPECT_EQ(server_.files.at("in/NEW.TXT"), "someone else's");
    EXPECT_TRUE(files_.Exists("NEW.TXT.pending"));
}

struct FailureCase {
    const char* name;
    std::function<void(FakeFtpServer&, LocationSettings&)> inject;
    const char* inMessage;
};

class FtpFailureTest : public FtpSendTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FtpFailureTest, StopsKeepsTheFileAndNamesServerAndReason)
{
    AddUpload("A.TXT", "contents");
    GetParam().inject(server_, settings_);

    const std::string message = SendExpectingFailure({{"A.TXT", false}});

    EXPECT_NE(message.find("ftp.example.com"), std::string::npos) << message;
    EXPECT_NE(message.find(GetParam().inMessage), std::string::npos) << message;
    EXPECT_NE(message.find("A.TXT is kept"), std::string::npos) << message;
    EXPECT_EQ(message.find("secret"), std::string::npos) << "never the password: " << message;
    EXPECT_TRUE(files_.Exists("A.TXT.pending"));
    EXPECT_TRUE(files_.Exists("A.TXT"));
    EXPECT_EQ(server_.journal.back(), "disconnect");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FtpFailureTest,
    ::testing::Values(
        FailureCase{"Refused", [](FakeFtpServer& s, LocationSettings&) { s.refuseConnection = true; },
                    "the connection was refused"},
        FailureCase{"LoginRejected", [](FakeFtpServer&, LocationSettings& l) { l.password = "wrong"; },
                    "The server replied: 530 Login incorrect."},
        FailureCase{"NoAnswer", [](FakeFtpServer& s, LocationSettings&) { s.neverAnswer = true; },
                    "no answer within 60 seconds"},
        FailureCase{"UploadRejected", [](FakeFtpServer& s, LocationSettings&) { s.storReply = "552 Quota."; },
                    "The server replied: 552 Quota."},
        FailureCase{"ShortFile", [](FakeFtpServer& s, LocationSettings&) { s.storeOnly = 3; },
                    "holds 3 of the file's 8 bytes"},
        FailureCase{"ListingRefused", [](FakeFtpServer& s, LocationSettings&) { s.failListing = true; },
                    "550 Permission denied."}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(FtpSendTest, ConnectTimeLimitIsSixtySeconds)
{
    AddUpload("A.TXT", "x");
    server_.neverAnswer = true;
    SendExpectingFailure({{"A.TXT", false}});
    EXPECT_GE(clock_.steady, 60'000);
    EXPECT_LT(clock_.steady, 61'000);
}

TEST_F(FtpSendTest, ClosingTheWindowWhileConnectingStopsAndKeepsTheFile)
{
    AddUpload("A.TXT", "x");
    server_.neverAnswer = true;
    window_.closeAtPump = 5;
    const std::string message = SendExpectingFailure({{"A.TXT", false}});
    EXPECT_NE(message.find("window was closed"), std::string::npos) << message;
    EXPECT_TRUE(files_.Exists("A.TXT.pending"));
}

TEST_F(FtpSendTest, FailureNamesEveryFileStillUnsent)
{
    AddUpload("OLD.TXT", "1");
    AddUpload("NEW.TXT", "2");
    server_.storReply = "550 Permission denied.";
    const std::string message = SendExpectingFailure({{"OLD.TXT", true}, {"NEW.TXT", false}});
    EXPECT_NE(message.find("OLD.TXT, NEW.TXT are kept"), std::string::npos) << message;
}

}  // namespace
}  // namespace kestrane
