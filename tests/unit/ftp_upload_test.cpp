#include "ftp/ftp_upload.h"

#include "common/job_error.h"
#include "fakes.h"
#include "store/working_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace kestrane {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;
using testing::FakeFtpClient;
using testing::FakeFtpServer;
using testing::FakeRandom;
using testing::FakeWindow;
using testing::FtpStage;
using testing::kEveryTime;
using testing::MemoryFiles;

int Count(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

int CountStartingWith(const std::vector<std::string>& lines, const std::string& start)
{
    return static_cast<int>(std::count_if(
        lines.begin(), lines.end(), [&start](const std::string& line) { return line.starts_with(start); }));
}

// The server's words when it is too busy for one more connection.
const FtpError kBusy(FtpFailureKind::Refused, "the server refused the connection",
                     "421 Too many connections. Try later.");

// A refusal of A.TXT's upload in the server's words.
FtpError Refusal(const char* reply)
{
    return FtpError(FtpFailureKind::Refused, "the server did not accept in/A.TXT", reply);
}

FtpError Failure(FtpFailureKind kind, const char* reason)
{
    return FtpError(kind, reason);
}

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
        FtpSendFile(settings_, client_, window_, clock_, random_, files_, runLog_, uploads);
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
    FakeRandom random_;
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
        FtpSendFile(settings_, client, window_, clock_, random_, files_, runLog_,
                    {{"01110905070042.TXT", false}});
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
    std::map<std::string, std::string> local = {};  // this PC's other files, untouched
};

class ServerFileOfTheSameNameTest : public FtpSendTest, public ::testing::WithParamInterface<SameNameCase> {};

constexpr const char* kOurs = "UH01110905070042.TXT0001\r\nrecord at 0042\r\n<<EOF:>>\r\n";
// Our upload file of the next minute, which waits to be sent.
const std::map<std::string, std::string> kOurNextMinutePending{
    {"01110905080042.TXT", "UH01110905080042.TXT0000\r\n<<EOF:>>\r\n"}, {"01110905080042.TXT.pending", ""}};

TEST_P(ServerFileOfTheSameNameTest, OnlyOurOwnBytesCountAndAForeignFileIsNeverReplaced)
{
    AddUpload("01110905070042.TXT", kOurs);
    for (const auto& [name, contents] : GetParam().local) {
        files_.contents[name] = contents;
    }
    server_.files = GetParam().server;

    const auto delivered = FtpSendFile(settings_, client_, window_, clock_, random_, files_, runLog_,
                                       {{"01110905070042.TXT", true}});

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
    EXPECT_EQ(files_.contents.size(), 1 + GetParam().local.size()) << "no copy, marker or old name is left";
    for (const auto& [local, contents] : GetParam().local) {
        EXPECT_EQ(files_.contents.at(local), contents) << local;
    }
    if (*GetParam().logLine != '\0') {
        EXPECT_EQ(window_.log.back(), GetParam().logLine);
    }
    ASSERT_FALSE(runLog_.records.empty());
    EXPECT_TRUE(runLog_.records.back().starts_with(GetParam().record)) << runLog_.records.back();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerFileOfTheSameNameTest,
    ::testing::Values(
        SameNameCase{
            "OursWhole",
            {{"in/01110905070042.TXT", kOurs}},
            "01110905070042.TXT",
            false,
            "01110905070042.TXT was already on the server",
            "Confirmed 01110905070042.TXT without sending it again: the server holds all its 52 bytes"},
        // An upload of ours that was cut short, or that left nothing.
        SameNameCase{"OursStart",
                     {{"in/01110905070042.TXT", std::string(kOurs).substr(0, 30)}},
                     "01110905070042.TXT",
                     true,
                     "",
                     "Sent again 01110905070042.TXT to in/01110905070042.TXT: 52 bytes in 0.0 s, confirmed"},
        SameNameCase{"OursEmpty",
                     {{"in/01110905070042.TXT", ""}},
                     "01110905070042.TXT",
                     true,
                     "",
                     "Sent again 01110905070042.TXT"},
        // Another PC's file of the same size: the size alone would call it ours.
        SameNameCase{
            "ForeignSameSize",
            {{"in/01110905070042.TXT", "UH01110905070042.TXT0001\r\nrecord at 9999\r\n<<EOF:>>\r\n"}},
            "01110905080042.TXT",
            true,
            "The server already holds another file named 01110905070042.TXT: sending this one as "
            "01110905080042.TXT ...",
            "Sent 01110905080042.TXT to in/01110905080042.TXT"},
        SameNameCase{"ForeignLonger",
                     {{"in/01110905070042.TXT", std::string(kOurs) + "more"}},
                     "01110905080042.TXT",
                     true,
                     "",
                     "Sent 01110905080042.TXT"},
        SameNameCase{"ForeignAtTheNextMinuteToo",
                     {{"in/01110905070042.TXT", "theirs"}, {"in/01110905080042.TXT", "theirs too"}},
                     "01110905090042.TXT",
                     true,
                     "",
                     "Sent 01110905090042.TXT"},
        // Our own file of the next minute waits to be sent after this one.
        SameNameCase{"ForeignAndOurNextMinutePending",
                     {{"in/01110905070042.TXT", "theirs"}},
                     "01110905090042.TXT",
                     true,
                     "",
                     "Sent 01110905090042.TXT",
                     kOurNextMinutePending}),
    [](const auto& test) { return std::string(test.param.name); });

struct FailureCase {
    const char* name;
    std::function<void(FakeFtpServer&, LocationSettings&)> inject;
    const char* inMessage;
    int tries = 1;  // how often the server is connected to
};

// The server deals out this failure at every try.
std::function<void(FakeFtpServer&, LocationSettings&)> EveryTime(FtpStage at, const FtpError& error)
{
    return [at, error](FakeFtpServer& server, LocationSettings&) {
        server.failures.push_back({at, error, kEveryTime});
    };
}

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
    // Tried again only after the failures that a fresh connection may get past.
    const int tries = GetParam().tries;
    EXPECT_EQ(Count(server_.journal, "connect"), tries);
    EXPECT_EQ(CountStartingWith(window_.log, "Could not send A.TXT: "), tries - 1);
    const std::string gaveUp = "Kestrane gave up after " + std::to_string(tries) + " tries.";
    EXPECT_EQ(message.find(gaveUp) != std::string::npos, tries > 1) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FtpFailureTest,
    ::testing::Values(
        FailureCase{"Refused", [](FakeFtpServer& s, LocationSettings&) { s.refuseConnection = true; },
                    "the connection was refused"},
        FailureCase{"NameNotFound",
                    EveryTime(FtpStage::Connect,
                              Failure(FtpFailureKind::Unreachable, "the server name could not be found")),
                    "the server name could not be found"},
        FailureCase{"LoginRejected", [](FakeFtpServer&, LocationSettings& l) { l.password = "wrong"; },
                    "The server replied: 530 Login incorrect."},
        // Not one of the replies by which FTP refuses for now, whatever its first digit.
        FailureCase{"LoginRejectedWithA4xx",
                    [](FakeFtpServer& s, LocationSettings& l) {
                        l.password = "wrong";
                        s.loginRefusal = "430 Invalid user name or password.";
                    },
                    "The server replied: 430 Invalid user name or password."},
        FailureCase{
            "CertificateNotTrusted",
            EveryTime(FtpStage::Connect, Failure(FtpFailureKind::Security, "the certificate is not trusted")),
            "the certificate is not trusted"},
        FailureCase{"BusyEveryTime", EveryTime(FtpStage::Connect, kBusy),
                    "The server replied: 421 Too many connections. Try later.", 4},
        // Each try takes the whole connect time limit: there is time for one retry only.
        FailureCase{"NoAnswer", [](FakeFtpServer& s, LocationSettings&) { s.neverAnswer = true; },
                    "no answer within 60 seconds", 2},
        FailureCase{"UploadRejected", [](FakeFtpServer& s, LocationSettings&) { s.storReply = "552 Quota."; },
                    "The server replied: 552 Quota."},
        FailureCase{"ShortFile", [](FakeFtpServer& s, LocationSettings&) { s.storeOnly = 3; },
                    "holds 3 of the file's 8 bytes"},
        FailureCase{"ListingRefused", [](FakeFtpServer& s, LocationSettings&) { s.failListing = true; },
                    "550 Permission denied."},
        FailureCase{"LocalFileUnreadable",
                    EveryTime(FtpStage::PutStart,
                              Failure(FtpFailureKind::LocalFile, "the file A.TXT could not be opened")),
                    "the file A.TXT could not be opened"},
        FailureCase{
            "BrokenOffEveryTime",
            EveryTime(FtpStage::PutMidway, Failure(FtpFailureKind::ConnectionLost, "the transfer broke off")),
            "the transfer broke off", 4}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(FtpSendTest, ConnectTimeLimitIsSixtySecondsForEachTry)
{
    AddUpload("A.TXT", "x");
    server_.neverAnswer = true;
    SendExpectingFailure({{"A.TXT", false}});
    // 60 s, the wait of 5 s before the retry, and 60 s again.
    ASSERT_EQ(server_.connectsAt.size(), 2u);
    EXPECT_EQ(server_.connectsAt[1] - server_.connectsAt[0], 65s);
    EXPECT_GE(clock_.steady - server_.connectsAt[1], 60s);
    EXPECT_LT(clock_.steady - server_.connectsAt[1], 61s);
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

// A failure that a fresh connection gets past, dealt out once.
struct RetryCase {
    const char* name;
    FtpStage at;
    FtpError error;
    int puts;            // the uploads the server saw
    const char* record;  // how the run log's last record begins
};

class RetryTest : public FtpSendTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(RetryTest, ATryOnAFreshConnectionDeliversTheFileWholeAndOnce)
{
    AddUpload("A.TXT", "contents");
    server_.failures.push_back({GetParam().at, GetParam().error});

    Send({{"A.TXT", true}});

    EXPECT_EQ(server_.files.at("in/A.TXT"), "contents");
    EXPECT_FALSE(files_.Exists("A.TXT.pending"));
    EXPECT_EQ(Count(server_.journal, "put in/A.TXT"), GetParam().puts);
    // The failed connection was let go before the wait.
    const auto failed = std::find(server_.journal.begin(), server_.journal.end(),
                                  std::string("failed: ") + GetParam().error.what());
    ASSERT_EQ(std::vector<std::string>(failed, failed + 3),
              (std::vector<std::string>{*failed, "disconnect", "connect"}));
    // The window and the run log say why, with the server's words, and the file is announced once.
    const std::string reason = std::string("Could not send A.TXT: ") + GetParam().error.what();
    const std::string reply = GetParam().error.ServerReply();
    EXPECT_EQ(Count(window_.log, reason + " (" + reply + "). Trying again in 5.0 s ..."), 1);
    EXPECT_EQ(Count(window_.log, "Sending earlier file A.TXT ..."), 1);
    EXPECT_EQ(Count(runLog_.records, reason + "\r\nThe server replied: " + reply
                                         + "\r\nTrying again on a new connection in 5.0 s (retry 1 of 3)."),
              1);
    EXPECT_TRUE(runLog_.records.back().starts_with(GetParam().record)) << runLog_.records.back();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RetryTest,
    ::testing::Values(
        RetryCase{"BusyOnce", FtpStage::Connect, kBusy, 1, "Sent A.TXT to in/A.TXT"},
        RetryCase{"NoStorageForNow", FtpStage::PutStart, Refusal("452 Insufficient storage."), 2,
                  "Sent A.TXT"},
        RetryCase{"NoDataConnectionForNow", FtpStage::PutStart, Refusal("425 Can't open data connection."), 2,
                  "Sent A.TXT"},
        RetryCase{"FileBusy", FtpStage::PutStart, Refusal("450 File unavailable."), 2, "Sent A.TXT"},
        RetryCase{"LocalErrorOnTheServer", FtpStage::PutMidway, Refusal("451 Local error in processing."), 2,
                  "Sent again A.TXT"},
        // The whole file had arrived: it is confirmed, never sent twice.
        RetryCase{"AbortedAfterTheLastByte", FtpStage::PutEnd, Refusal("426 Transfer aborted."), 1,
                  "Confirmed A.TXT without sending it again: the server holds all its 8 bytes"},
        // Half of the file had arrived: it is sent again whole.
        RetryCase{"BrokenOffHalfway", FtpStage::PutMidway,
                  FtpError(FtpFailureKind::ConnectionLost, "the transfer broke off", "426 Connection reset."),
                  2, "Sent again A.TXT to in/A.TXT"}),
    [](const auto& test) { return std::string(test.param.name); });

// When a server that refuses every try is tried again: the random fraction
// drawn, how long the server keeps each try waiting, and the waits.
struct RetryScheduleCase {
    const char* name;
    double fraction;
    SteadyClock::duration eachTry;
    std::vector<SteadyClock::duration> waits;
};

class RetryScheduleTest : public FtpSendTest, public ::testing::WithParamInterface<RetryScheduleCase> {};

TEST_P(RetryScheduleTest, WaitsAboutFiveFifteenAndFortyFiveSecondsWithinTwoMinutes)
{
    AddUpload("A.TXT", "contents");
    server_.failures.push_back({FtpStage::Connect, kBusy, kEveryTime, GetParam().eachTry});
    random_.fraction = GetParam().fraction;

    SendExpectingFailure({{"A.TXT", false}});

    const std::vector<SteadyClock::time_point>& connects = server_.connectsAt;
    ASSERT_EQ(connects.size(), GetParam().waits.size() + 1);
    for (std::size_t retry = 0; retry < GetParam().waits.size(); ++retry) {
        // Each try also took one pump of the window, and each wait ends at
        // the first pump past its end.
        const SteadyClock::duration waited =
            connects[retry + 1] - connects[retry] - GetParam().eachTry - 100ms;
        EXPECT_GE(waited, GetParam().waits[retry]) << "retry " << retry + 1;
        EXPECT_LT(waited, GetParam().waits[retry] + 100ms) << "retry " << retry + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RetryScheduleTest,
    ::testing::Values(RetryScheduleCase{"Shortest", 0.0, 0s, {2500ms, 7500ms, 22500ms}},
                      RetryScheduleCase{"Middle", 0.5, 0s, {5s, 15s, 45s}},
                      RetryScheduleCase{"Longest", 1.0, 0s, {7500ms, 22500ms, 67500ms}},
                      // The second wait, of 15 s, begins at 95.2 s and ends by 120 s; the third would not.
                      RetryScheduleCase{"ThirdWouldEndTooLate", 0.5, 45s, {5s, 15s}},
                      // Begun at 105.2 s, the second wait would end past 120 s, though it begins before.
                      RetryScheduleCase{"SecondWouldEndTooLate", 0.5, 50s, {5s}},
                      RetryScheduleCase{"FirstWouldEndTooLate", 0.5, 116s, {}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(FtpSendTest, ClosingTheWindowDuringARetryWaitStopsAndKeepsTheFile)
{
    AddUpload("A.TXT", "contents");
    server_.failures.push_back({FtpStage::Connect, kBusy, kEveryTime});
    // The failed try takes one pump; the wait of 5 s takes 50.
    window_.closeAtPump = 20;

    const std::string message = SendExpectingFailure({{"A.TXT", false}});

    EXPECT_NE(message.find("window was closed"), std::string::npos) << message;
    EXPECT_NE(message.find("A.TXT is kept"), std::string::npos) << message;
    EXPECT_TRUE(files_.Exists("A.TXT.pending"));
    EXPECT_EQ(Count(server_.journal, "connect"), 1);
    EXPECT_EQ(window_.pumps, 20);
    EXPECT_EQ(runLog_.records.back(),
              "The window was closed while Kestrane was sending A.TXT: sending stopped there");
}

struct QueueCase {
    const char* name;
    std::map<std::string, std::string> refusals;  // remote path -> STOR reply
    std::vector<std::string> delivered;           // on the server afterwards
    const char* keptMessage;                      // how the error names what was not sent
    int connects = 1;                             // how often the server is connected to
    bool wrongPassword = false;
};

class QueueTest : public FtpSendTest, public ::testing::WithParamInterface<QueueCase> {};

TEST_P(QueueTest, OneRefusedFileNeverHoldsBackTheOthersAndTheMessageNamesExactlyTheUnsent)
{
    AddUpload("OLD.TXT", "1");
    AddUpload("MID.TXT", "2");
    AddUpload("NEW.TXT", "3");
    server_.storReplyFor = GetParam().refusals;
    if (GetParam().wrongPassword) {
        settings_.password = "wrong";
    }

    const std::string message = SendExpectingFailure({{"OLD.TXT", true}, {"MID.TXT", true}, {"NEW.TXT", false}});

    std::vector<std::string> onServer;
    for (const auto& [path, contents] : server_.files) {
        onServer.push_back(path);
    }
    EXPECT_EQ(onServer, GetParam().delivered);
    EXPECT_NE(message.find(GetParam().keptMessage), std::string::npos) << message;
    EXPECT_EQ(Count(server_.journal, "connect"), GetParam().connects);
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
                  "The upload files MID.TXT, NEW.TXT are kept",
                  4},
        // A refused login is not a refused file: the password is never sent again for the next.
        QueueCase{"LoginRefused", {}, {}, "The upload files OLD.TXT, MID.TXT, NEW.TXT are kept", 1, true}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kestrane
