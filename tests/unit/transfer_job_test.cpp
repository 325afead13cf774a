#include "app/transfer_job.h"

#include "device/data_pull.h"
#include "device/done_marker.h"
#include "fakes.h"
#include "program_runs.h"
#include "store/working_folder.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

namespace kestrane {
namespace {

using testing::FakeFtpServer;
using testing::RunEnd;
using testing::RunProgram;
using testing::RunResult;
using testing::World;

TEST(TransferJobTest, CompleteRunLogsTheStepsAndTellsTheUser)
{
    World world;
    world.device.files[kDeviceDataFile] = "r1~\r\nr2\r\n";

    const RunResult run = RunProgram(world);

    ASSERT_EQ(run.end, RunEnd::Completed);
    EXPECT_EQ(run.log,
              (std::vector<std::string>{"Getting File from CE Device ...", "Processing File ...",
                                        "FTP file ...", "Write done file to CE Device ... ", "Done"}));
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.messages[0].text, "Now safe to remove Handheld from Dock");
    EXPECT_EQ(world.server.files.at("in/01110905070042.TXT"),
              "UH01110905070042.TXT0003\r\nr10042\r\nr2\r\n\r\n<<EOF:>>\r\n");
    EXPECT_EQ(world.device.files.at(kDeviceDoneMarker), "done");
    EXPECT_EQ(world.device.files.count(kDeviceDataFile), 0u);
    // The upload file stays as the archive, and nothing else is left.
    EXPECT_EQ(world.files.contents.size(), 2u);
    EXPECT_TRUE(world.files.Exists("01110905070042.TXT"));
    // Each step, with its bytes and how long it took, for support.
    EXPECT_EQ(run.records,
              (std::vector<std::string>{
                  "Took 9 bytes from the handheld in 0.0 s, the wait for it included",
                  "Built 01110905070042.TXT: 50 bytes in 0.0 s",
                  "Connected and logged in to ftp.example.com in 0.1 s",
                  "Sent 01110905070042.TXT to in/01110905070042.TXT: 50 bytes in 0.0 s, confirmed by the server",
                  "Wrote the done marker to the handheld in 0.0 s"}));
    // Windows may end the session while the job waits for the handheld, not
    // while it moves data.
    EXPECT_EQ(run.movingFrom,
              (std::vector<std::string>{"Getting File from CE Device ...", "Processing File ...",
                                        "Write done file to CE Device ... "}));
}

TEST(TransferJobTest, NoDataOnTheHandheldSendsWhatIsPendingAndSaysSo)
{
    World world;
    world.files.contents["01110905000042.TXT"] = "earlier";
    world.files.contents["01110905000042.TXT.pending"] = "";

    const RunResult run = RunProgram(world);

    EXPECT_EQ(run.end, RunEnd::NoData);
    EXPECT_EQ(run.log,
              (std::vector<std::string>{"Getting File from CE Device ...", "Processing File ...",
                                        "FTP file ...", "Sending earlier file 01110905000042.TXT ..."}));
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_NE(run.messages[0].text.find("No data was found on the handheld"), std::string::npos);
    EXPECT_NE(run.messages[0].text.find("01110905000042.TXT"), std::string::npos);
    EXPECT_EQ(world.server.files.at("in/01110905000042.TXT"), "earlier");
    EXPECT_FALSE(world.files.Exists("01110905000042.TXT.pending"));
    EXPECT_EQ(world.device.files.count(kDeviceDoneMarker), 0u) << "no marker without new data";
}

TEST(TransferJobTest, NothingAtAllNeedsNoServer)
{
    World world;
    const RunResult run = RunProgram(world);
    EXPECT_EQ(run.end, RunEnd::NoData);
    EXPECT_TRUE(world.server.journal.empty());
    EXPECT_EQ(run.log.back(), "Processing File ...");
}

TEST(TransferJobTest, FailedUploadIsSentByTheNextRunOldestFirst)
{
    World world;
    world.device.files[kDeviceDataFile] = "first\r\n";
    world.server.storReply = "552 Quota exceeded.";

    const RunResult failed = RunProgram(world);
    EXPECT_EQ(failed.end, RunEnd::Failed);
    EXPECT_EQ(failed.log.back(), "FTP file ...") << "no marker step after a failed upload";
    EXPECT_EQ(world.device.files.count(kDeviceDoneMarker), 0u);
    EXPECT_NE(failed.messages.at(0).text.find("552 Quota exceeded."), std::string::npos);

    world.server.storReply.clear();
    world.server.journal.clear();
    world.device.files[kDeviceDataFile] = "second\r\n";
    const RunResult next = RunProgram(world);

    EXPECT_EQ(next.end, RunEnd::Completed);
    EXPECT_EQ(next.log,
              (std::vector<std::string>{"Getting File from CE Device ...", "Processing File ...",
                                        "FTP file ...", "Sending earlier file 01110905070042.TXT ...",
                                        "Write done file to CE Device ... ", "Done"}));
    std::vector<std::string> stored;
    for (const std::string& entry : world.server.journal) {
        if (entry.rfind("put ", 0) == 0) {
            stored.push_back(entry);
        }
    }
    EXPECT_EQ(stored, (std::vector<std::string>{"put in/01110905070042.TXT", "put in/01110905080042.TXT"}));
    EXPECT_TRUE(world.files.ListWithSuffix(kPendingSuffix).empty());
}

TEST(TransferJobTest, LeftoverThatCannotBeTidiedStopsBeforeTheHandheldIsTouched)
{
    World world;
    world.device.files[kDeviceDataFile] = "records\r\n";
    world.files.contents[kPullFile] = "part of an earlier pull";
    world.files.removeFails.insert(kPullFile);

    const RunResult run = RunProgram(world);

    EXPECT_EQ(run.end, RunEnd::Failed);
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_NE(run.messages[0].text.find("Infile.pull"), std::string::npos) << run.messages[0].text;
    EXPECT_NE(run.messages[0].text.find("still on the handheld"), std::string::npos) << run.messages[0].text;
    EXPECT_TRUE(world.device.journal.empty());
    EXPECT_EQ(world.device.files.at(kDeviceDataFile), "records\r\n");
}

TEST(TransferJobTest, PendingFileThatIsGoneIsReportedOnceAndBlocksNothing)
{
    World world;
    world.files.contents["01110905000042.TXT.pending"] = "";  // its file was cleared away
    world.files.contents["01110905010042.TXT"] = "later";
    world.files.contents["01110905010042.TXT.pending"] = "";

    const RunResult first = RunProgram(world);

    EXPECT_EQ(first.end, RunEnd::NoData);
    ASSERT_EQ(first.messages.size(), 2u);
    EXPECT_EQ(first.messages[0].kind, MessageKind::Warning);
    EXPECT_NE(first.messages[0].text.find("01110905000042.TXT was waiting to be sent"), std::string::npos)
        << first.messages[0].text;
    EXPECT_EQ(world.server.files.at("in/01110905010042.TXT"), "later");
    EXPECT_TRUE(world.files.ListWithSuffix(kPendingSuffix).empty());

    const RunResult second = RunProgram(world);
    ASSERT_EQ(second.messages.size(), 1u) << "reported once";
    EXPECT_EQ(second.messages[0].text.find("waiting to be sent"), std::string::npos);
}

struct OwedMarkerCase {
    const char* name;
    // Breaks the first run after its upload is confirmed; the second run
    // finds things mended and no new data on the handheld.
    std::function<void(World&)> breakFirstRun;
    std::function<void(World&)> mend;
};

class OwedMarkerTest : public ::testing::TestWithParam<OwedMarkerCase> {};

TEST_P(OwedMarkerTest, HandheldGetsItsMarkerOnTheNextRunOnceItsDataIsOnTheServer)
{
    World world;
    world.device.files[kDeviceDataFile] = "records\r\n";
    GetParam().breakFirstRun(world);

    const RunResult first = RunProgram(world);
    ASSERT_EQ(first.end, RunEnd::Failed);
    EXPECT_EQ(world.server.files.size(), 1u) << "the data reached the server";
    EXPECT_EQ(world.device.files.count(kDeviceDoneMarker), 0u);

    GetParam().mend(world);
    const RunResult second = RunProgram(world);

    EXPECT_EQ(second.end, RunEnd::NoData);
    EXPECT_EQ(world.device.files.at(kDeviceDoneMarker), "done");
    EXPECT_EQ(second.log,
              (std::vector<std::string>{"Getting File from CE Device ...", "Processing File ...",
                                        "The handheld is owed a done marker by an earlier run",
                                        "Write done file to CE Device ... "}));
    ASSERT_EQ(second.messages.size(), 1u);
    EXPECT_NE(second.messages[0].text.find("done marker that an earlier run owed"), std::string::npos);
    EXPECT_EQ(world.server.files.size(), 1u) << "nothing sent twice";

    // Owed once: a third run has nothing to give.
    world.device.files.erase(kDeviceDoneMarker);
    RunProgram(world);
    EXPECT_EQ(world.device.files.count(kDeviceDoneMarker), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OwedMarkerTest,
    ::testing::Values(
        OwedMarkerCase{"DoneFileMissing", [](World& w) { w.files.contents.erase(kLocalDoneFile); },
                       [](World& w) { w.files.contents[kLocalDoneFile] = "done"; }},
        OwedMarkerCase{"UndockedBeforeTheMarker",
                       [](World& w) {
                           w.device.initStatus = -1;
                           w.device.initFailsFrom = 2;
                       },
                       [](World& w) { w.device.initStatus = 0; }},
        OwedMarkerCase{"MarkerWriteFailed", [](World& w) { w.device.failWrite = true; },
                       [](World& w) { w.device.failWrite = false; }}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(TransferJobTest, ClosingTheWindowWhileWaitingForTheHandheldRunsNothing)
{
    World world;
    world.device.files[kDeviceDataFile] = "records\r\n";
    world.files.contents["01110905000042.TXT"] = "earlier";
    world.files.contents["01110905000042.TXT.pending"] = "";
    const auto filesBefore = world.files.contents;
    world.device.closeWhileWaiting = true;

    const RunResult run = RunProgram(world);

    EXPECT_EQ(run.end, RunEnd::NotRun);
    EXPECT_EQ(run.log, (std::vector<std::string>{"Getting File from CE Device ..."}));
    EXPECT_TRUE(run.messages.empty()) << run.messages.at(0).text;
    EXPECT_EQ(world.files.contents, filesBefore);
    EXPECT_EQ(world.device.files.at(kDeviceDataFile), "records\r\n");
    EXPECT_TRUE(world.server.journal.empty()) << "not even the earlier upload is sent";
    EXPECT_TRUE(run.movingFrom.empty()) << "the wait for the handheld held up the end of the session";
}

// ---------------------------------------------------------------- crashes

// The records on the server, counted, after checking that every file there
// is a whole upload file.
std::map<std::string, int> RecordsOnServer(const FakeFtpServer& server)
{
    std::map<std::string, int> records;
    for (const auto& [path, contents] : server.files) {
        std::vector<std::string> lines;
        std::istringstream stream(contents);
        std::string line;
        while (std::getline(stream, line)) {
            EXPECT_FALSE(line.empty() || line.back() != '\r') << path;
            lines.push_back(line.substr(0, line.size() - 1));
        }
        EXPECT_GE(lines.size(), 2u) << path;
        EXPECT_EQ(lines.back(), "<<EOF:>>") << path;
        const std::string header = "UH" + path.substr(3);
        EXPECT_EQ(lines.front().rfind(header, 0), 0u) << path;
        EXPECT_EQ(std::stoul(lines.front().substr(header.size())), lines.size() - 2) << path;
        for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
            if (!lines[i].empty()) {  // the empty line after each pull
                ++records[lines[i]];
            }
        }
    }
    return records;
}

std::string Records(int from, int to)
{
    std::string text;
    for (int i = from; i < to; ++i) {
        text += "record " + std::to_string(i) + " at ~\r\n";
    }
    return text;
}

struct CrashCase {
    const char* name;
    // What the handheld gathers between the crash and the next start.
    bool newDataBeforeRestart;
    // The server holds another PC's file under the name of the new upload.
    bool foreignFileOfTheSameName = false;
    // The run after the crash cannot send (the server is full), and the one
    // after it finds nothing new on the handheld: only a debt recorded
    // before the crash still gives the handheld its marker.
    bool nextRunCannotSend = false;
};

class CrashTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashTest, EveryRecordReachesTheServerExactlyOnceWhereverTheProgramDies)
{
    // Records big enough for several handheld reads, an upload left unsent by
    // an earlier failed run, and a staging file left by an earlier crash.
    const std::string firstBatch = Records(0, 600);
    const std::string lateBatch = Records(600, 620);
    ASSERT_GT(firstBatch.size(), 2 * kDeviceReadSize);  // several reads
    long crashAt = 0;
    long stepsOfAWholeRun = 0;
    for (;; ++crashAt) {
        World world;
        world.files.contents["01110904000042.TXT"] = "UH01110904000042.TXT0001\r\nrecord old\r\n<<EOF:>>\r\n";
        world.files.contents["01110904000042.TXT.pending"] = "";
        world.files.contents[kStagingFile] = "record staged\r\n";
        world.device.files[kDeviceDataFile] = firstBatch;
        if (GetParam().foreignFileOfTheSameName) {
            world.server.files["in/01110905070042.TXT"] = "UH01110905070042.TXT0001\r\nrecord theirs\r\n<<EOF:>>\r\n";
        }

        world.plan.CrashAt(crashAt);
        const RunResult first = RunProgram(world);
        if (first.end != RunEnd::Crashed) {
            ASSERT_EQ(first.end, RunEnd::Completed);
            stepsOfAWholeRun = world.plan.StepsTaken();
            break;  // every step has had its crash
        }
        if (GetParam().newDataBeforeRestart) {
            world.device.files[kDeviceDataFile] += lateBatch;
        }
        if (GetParam().nextRunCannotSend) {
            world.server.storReply = "552 Quota exceeded.";
            RunProgram(world);
            world.server.storReply.clear();
        }
        const RunResult second = RunProgram(world);
        SCOPED_TRACE("crashed at step " + std::to_string(crashAt) + "; second run log ends with "
                     + second.log.back());

        ASSERT_NE(second.end, RunEnd::Failed) << second.messages.at(0).text;
        std::map<std::string, int> expected;
        for (int i = 0; i < (GetParam().newDataBeforeRestart ? 620 : 600); ++i) {
            expected["record " + std::to_string(i) + " at 0042"] = 1;
        }
        expected["record old"] = 1;
        expected["record staged"] = 1;
        if (GetParam().foreignFileOfTheSameName) {
            expected["record theirs"] = 1;
        }
        EXPECT_EQ(RecordsOnServer(world.server), expected);

        EXPECT_TRUE(world.files.ListWithSuffix(kPendingSuffix).empty());
        for (const char* leftover : {kStagingFile, kPullFile, kPulledFile, kMergeFile}) {
            EXPECT_FALSE(world.files.Exists(leftover)) << leftover;
        }
        for (const char* suffix : {kUnfinishedSuffix, kRenamingSuffix, kServerCopySuffix}) {
            EXPECT_TRUE(world.files.ListWithSuffix(suffix).empty()) << suffix;
        }
        EXPECT_EQ(world.device.files.count(kDeviceDataFile), 0u);
        EXPECT_EQ(world.device.files.count(kDeviceDoneMarker), 1u) << "the handheld is told, late or not";
        EXPECT_FALSE(world.files.Exists(kDoneMarkerOwedFile));
        if (HasFailure()) {
            break;  // one crash point's story is enough to read
        }
    }
    // The program died once at each step of a whole run, and never twice.
    EXPECT_EQ(crashAt, stepsOfAWholeRun);
}

INSTANTIATE_TEST_SUITE_P(Cases, CrashTest,
                         ::testing::Values(CrashCase{"SameHandheldData", false},
                                           CrashCase{"NewDataMeanwhile", true},
                                           CrashCase{"ForeignFileOfTheSameName", false, true},
                                           CrashCase{"NextRunCannotSend", false, false, true}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kestrane
