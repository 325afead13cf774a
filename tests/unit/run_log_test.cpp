#include "app/run_report.h"
#include "common/job_error.h"
#include "fakes.h"
#include "store/run_log.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace kestrane {
namespace {

using testing::FakeClock;
using testing::FakeWindow;
using testing::MemoryFiles;

TEST(FileRunLogTest, EachRecordIsStampedAndItsFurtherLinesSitUnderTheFirst)
{
    MemoryFiles files;
    FakeClock clock;
    clock.now = {2026, 12, 7, 9, 5, 3};
    FileRunLog log(files, clock);

    log.Record("Kestrane started");
    log.Record("Message (error):\r\nKestrane could not send A.TXT.\r\n\r\nA.TXT is kept.");

    EXPECT_EQ(files.contents.at(kRunLogFile), "2026-12-07 09:05:03  Kestrane started\r\n"
                                              "2026-12-07 09:05:03  Message (error):\r\n"
                                              "                     Kestrane could not send A.TXT.\r\n"
                                              "                     A.TXT is kept.\r\n");
}

TEST(FileRunLogTest, PastItsLimitTheLogMovesAsideReplacingTheOldOne)
{
    MemoryFiles files;
    FakeClock clock;
    files.contents[kRunLogFile] = std::string(kRunLogLimitBytes - 30, 'x');
    files.contents[kOldRunLogFile] = "the run before last";
    FileRunLog log(files, clock);

    log.Record("fits");  // 21 + 4 + 2 bytes
    EXPECT_EQ(files.contents.at(kRunLogFile).size(), kRunLogLimitBytes - 3);
    log.Record("goes past");

    EXPECT_EQ(files.contents.at(kOldRunLogFile).size(), kRunLogLimitBytes - 3);
    EXPECT_EQ(files.contents.at(kRunLogFile), "2001-11-09 05:07:00  goes past\r\n");
}

TEST(FileRunLogTest, ALogThatCannotBeWrittenNeverStopsTheJob)
{
    MemoryFiles files;
    FakeClock clock;
    files.readOnly.insert(kRunLogFile);
    FileRunLog log(files, clock);

    EXPECT_NO_THROW(log.Record("lost"));
    EXPECT_FALSE(files.Exists(kRunLogFile));
}

TEST(RecordStartTest, NamesTheLocationAndItsServerButNeverThePassword)
{
    testing::FakeRunLog log;
    LocationSettings settings;
    settings.locationCode = "0042";
    settings.host = "ftp.example.com:2121";
    settings.user = "kestrane";
    settings.password = "secret";
    settings.remoteFolder = "in/";

    RecordStart(log, "1.2.3", "C:\\Kestrane", settings);

    EXPECT_EQ(log.records, (std::vector<std::string>{
                               "Kestrane 1.2.3 started in C:\\Kestrane",
                               "Location 0042, FTP server ftp.example.com:2121, remote folder \"in/\""}));
}

// How a job ends, and what the program then shows and returns.
struct EndCase {
    const char* name;
    std::function<JobOutcome()> job;
    int exitStatus;
    const char* errorBegins;  // "" when no error is shown
};

class RunAndReportTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(RunAndReportTest, AFailureEndsWithWhereTheRunLogIs)
{
    FakeClock clock;
    FakeWindow window(clock);

    EXPECT_EQ(RunAndReport(window, "C:\\Kestrane\\kestrane.log", GetParam().job), GetParam().exitStatus);

    if (*GetParam().errorBegins == '\0') {
        EXPECT_TRUE(window.messages.empty());
        return;
    }
    ASSERT_EQ(window.messages.size(), 1u);
    const std::string& text = window.messages[0].text;
    EXPECT_EQ(window.messages[0].kind, MessageKind::Error);
    EXPECT_TRUE(text.starts_with(GetParam().errorBegins)) << text;
    EXPECT_TRUE(text.ends_with("\r\n\r\nWhat happened is recorded for support in C:\\Kestrane\\kestrane.log")) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Ends, RunAndReportTest,
    ::testing::Values(
        EndCase{"Completed", [] { return JobOutcome::Completed; }, kExitCompleted, ""},
        EndCase{"NoData", [] { return JobOutcome::NoData; }, kExitNoData, ""},
        EndCase{"NotRun", [] { return JobOutcome::NotRun; }, kExitNotRun, ""},
        EndCase{"JobError", []() -> JobOutcome { throw JobError("Kestrane could not send A.TXT."); },
                kExitFailed, "Kestrane could not send A.TXT."},
        EndCase{"FileError", []() -> JobOutcome { throw FileError("Infile.txt", "Access is denied"); },
                kExitFailed, "Kestrane stopped because a file could not be used.\r\nInfile.txt: Access is denied"},
        EndCase{"Unexpected", []() -> JobOutcome { throw std::runtime_error("odd"); }, kExitFailed,
                "Kestrane stopped because of an unexpected error: odd"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kestrane
