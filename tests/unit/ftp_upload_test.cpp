#include "ftp/ftp_upload.h"

#include "common/job_error.h"
#include "fakes.h"
#include "store/working_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

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
        FtpSendFile(settings_, client_, window_, clock_, files_, runLog_, uploads);
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
    FakeClock clock_;
    FakeWindow window_{clock_};
    FakeFtpClient client_{server_, files_, window_, clock_};
    testing::FakeRunLog runLog_;
};

TEST_F(FtpSendTest, CallsInOrderAndConfirmsTheUpload)
{
    AddUpload("A.TXT", "contents");
    Send({{"A.TXT", false}});

    EXPECT_EQ(server_.journal, (std::vector<std::string>{"connect", "connected", "size in/A.TXT",
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
        FakeFtpClient client(server, files_, window_, clock_);
        settings_.remoteFolder = folder;
        AddUpload("01110905070042.TXT", "x");
        FtpSendFile(settings_, client, window_, clock_, files_, runLog_, {{"01110905070042.TXT", false}});
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

// A server file of an upload file's name, and what becomes of the upload.
struct SameNameCase {
    const char* name;
    std::map<std::string, std::string> server;  // remote path -> contents, before
    const char* deliveredAs;                    // the name ours ends up under
    bool sent;                                  // whether ours was sent (not found whole)
    const char* logLine;                        // the last log line, or ""
    const char* record;                         // how the run log's last record begins
};

class ServerFileOfTheSameNameTest : public FtpSendTest, public ::testing::WithParamInterface<SameNameCase> {};

constexpr const char* kOurs = "UH01110905070042.TXT0001\r\nrecord at 0042\r\n<<EOF:>>\r\n";

TEST_P(ServerFileOfTheSameNameTest, OnlyOurOwnBytesCountAndAForeignFileIsNeverReplaced)
{
    AddUpload("01110905070042.TXT", kOurs);
    server_.files = GetParam().server;

    const auto delivered =
        FtpSendFile(settings_, client_, window_, clock_, files_, runLog_, {{"01110905070042.TXT", true}});

    const std::string name = GetParam().deliveredAs;
    EXPECT_EQ(delivered, std::vector<std::string>{name});
    // Ours is on the server once, whole, its header naming it.
    std::string expected = kOurs;
    expected.replace(2, name.size(), name);
    EXPECT_EQ(server_.files.at("in/" + name), expected);
    EXPECT_EQ(files_.contents.at(name), expected) << "the archive is what the server holds";
    // Every other file on the server is as it was.
    for (const auto& [path, contents] : GetParam().server) {
        if (path != "in/" + name) {
            EXPECT_EQ(server_.files.at(path), contents) << path;
        }
    }
    EXPECT_EQ(std::count(server_.journal.begin(), server_.journal.end(), "put in/" + name), GetParam().sent ? 1 : 0);
    EXPECT_TRUE(files_.ListWithSuffix(kPendingSuffix).empty());
    EXPECT_EQ(files_.contents.size(), 1u) << "no copy, marker or old name is left";
    if (*GetParam().logLine != '\0') {
        EXPECT_EQ(window_.log.back(), GetParam().logLine);
    }
    ASSERT_FALSE(runLog_.records.empty());
    EXPECT_TRUE(runLog_.records.back().starts_with(GetParam().record)) << runLog_.records.back();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerFileOfTheSameNameTest,
    ::testing::Values(
        SameNameCase{"OursWhole", {{"in/01110905070042.TXT", kOurs}}, "01110905070042.TXT", false,
                     "01110905070042.TXT was already on the server",
                     "Confirmed 01110905070042.TXT without sending it again: the server holds all its 52 bytes"},
        // An upload of ours that was cut short, or that left nothing.
        SameNameCase{"OursStart", {{"in/01110905070042.TXT", std::string(kOurs).substr(0, 30)}},
                     "01110905070042.TXT", true, "",
                     "Sent again 01110905070042.TXT to in/01110905070042.TXT: 52 bytes in 0.0 s, confirmed"},
        SameNameCase{"OursEmpty", {{"in/01110905070042.TXT", ""}}, "01110905070042.TXT", true, "",
                     "Sent again 01110905070042.TXT"},
        // Another PC's file of the same size: the size alone would call it ours.
        SameNameCase{"ForeignSameSize",
                     {{"in/01110905070042.TXT", "UH01110905070042.TXT0001\r\nrecord at 9999\r\n<<EOF:>>\r\n"}},
                     "01110905080042.TXT", true,
                     "The server already holds another file named 01110905070042.TXT: sending this one as "
                     "01110905080042.TXT ...",
                     "Sent 01110905080042.TXT to in/01110905080042.TXT"},
        SameNameCase{"ForeignLonger", {{"in/01110905070042.TXT", std::string(kOurs) + "more"}},
                     "01110905080042.TXT", true, "", "Sent 01110905080042.TXT"},
        SameNameCase{"ForeignAtTheNextMinuteToo",
                     {{"in/01110905070042.TXT", "theirs"}, {"in/01110905080042.TXT", "theirs too"}},
                     "01110905090042.TXT", true, "", "Sent 01110905090042.TXT"}),
    [](const auto& test) { return std::string(test.param.name); });

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
    // Support finds the reason, and the server's words, in the run log.
    ASSERT_FALSE(runLog_.records.empty());
    const std::string& record = runLog_.records.back();
    EXPECT_TRUE(record.starts_with("Could not send A.TXT: ")) << record;
    EXPECT_NE(record.find(GetParam().inMessage), std::string::npos) << record;
    EXPECT_EQ(record.find("secret"), std::string::npos) << "never the password: " << record;
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
    EXPECT_GE(clock_.steady.time_since_epoch(), std::chrono::seconds(60));
    EXPECT_LT(clock_.steady.time_since_epoch(), std::chrono::seconds(61));
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

struct QueueCase {
    const char* name;
    std::map<std::string, std::string> refusals;  // remote path -> STOR reply
    std::vector<std::string> delivered;           // on the server afterwards
    const char* keptMessage;                      // how the error names what was not sent
};

class QueueTest : public FtpSendTest, public ::testing::WithParamInterface<QueueCase> {};

TEST_P(QueueTest, OneRefusedFileNeverHoldsBackTheOthersAndTheMessageNamesExactlyTheUnsent)
{
    AddUpload("OLD.TXT", "1");
    AddUpload("MID.TXT", "2");
    AddUpload("NEW.TXT", "3");
    server_.storReplyFor = GetParam().refusals;

    const std::string message = SendExpectingFailure({{"OLD.TXT", true}, {"MID.TXT", true}, {"NEW.TXT", false}});

    std::vector<std::string> onServer;
    for (const auto& [path, contents] : server_.files) {
        onServer.push_back(path);
    }
    EXPECT_EQ(onServer, GetParam().delivered);
    EXPECT_NE(message.find(GetParam().keptMessage), std::string::npos) << message;
    for (const char* name : {"OLD.TXT", "MID.TXT", "NEW.TXT"}) {
        EXPECT_EQ(files_.Exists(std::string(name) + kPendingSuffix),
                  server_.files.count(std::string("in/") + name) == 0)
            << name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QueueTest,
    ::testing::Values(
        // Refused for good: the files after it are still sent.
        QueueCase{"OldestRefusedForGood",
                  {{"in/OLD.TXT", "553 File name not allowed."}},
                  {"in/MID.TXT", "in/NEW.TXT"},
                  "The upload file OLD.TXT is kept"},
        QueueCase{"TwoRefusedForGood",
                  {{"in/OLD.TXT", "550 Permission denied."}, {"in/NEW.TXT", "550 Permission denied."}},
                  {"in/MID.TXT"},
                  "The upload files OLD.TXT, NEW.TXT are kept"},
        // Refused for now (a 4xx): what the server cannot take now it will not
        // take for the next file either, so the sending stops there.
        QueueCase{"MiddleRefusedForNow",
                  {{"in/MID.TXT", "452 Insufficient storage space."}},
                  {"in/OLD.TXT"},
                  "The upload files MID.TXT, NEW.TXT are kept"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kestrane
