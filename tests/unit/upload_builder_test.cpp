#include "upload/upload_builder.h"

#include "common/job_error.h"
#include "store/working_folder.h"
#include "fakes.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

using testing::FakeClock;
using testing::FakeWindow;
using testing::MemoryFiles;

// The job's view of the builder, with the staging file given.
class BuildTest : public ::testing::Test {
protected:
    std::string Build(const std::string& staging, const std::string& code = "0042")
    {
        files_.contents[kStagingFile] = staging;
        settings_.locationCode = code;
        const std::optional<std::string> name = BuildUploadFile(settings_, files_, clock_, window_);
        EXPECT_TRUE(name.has_value());
        name_ = name.value_or("");
        return files_.contents.at(name_);
    }

    MemoryFiles files_;
    FakeClock clock_;
    FakeWindow window_{clock_};
    LocationSettings settings_;
    std::string name_;
};

TEST_F(BuildTest, WritesHeaderLinesAndEnd)
{
    const std::string upload = Build("A~1\r\nB\r\n~~~\r\n");
    EXPECT_EQ(name_, "01110905070042.TXT");
    EXPECT_EQ(upload, "UH01110905070042.TXT0003\r\nA00421\r\nB\r\n004200420042\r\n<<EOF:>>\r\n");
    EXPECT_FALSE(files_.Exists(kStagingFile));
    EXPECT_TRUE(files_.Exists(name_ + kPendingSuffix));
    EXPECT_EQ(files_.contents.at(name_ + kPendingSuffix), "");
    EXPECT_EQ(files_.contents.size(), 2u) << "no temporary file left";
}

TEST_F(BuildTest, EmptyStagingFileGivesTwoLines)
{
    EXPECT_EQ(Build(""), "UH01110905070042.TXT0000\r\n<<EOF:>>\r\n");
}

TEST_F(BuildTest, LineEndsAreNormalisedButLoneLfStaysAndALastLineIsEnded)
{
    EXPECT_EQ(Build("a\rb\nc\r\nd", "9"), "UH01110905079.TXT0003\r\na\r\nb\nc\r\nd\r\n<<EOF:>>\r\n");
}

TEST_F(BuildTest, LocationCodeIsNeverRescanned)
{
    EXPECT_EQ(Build("x~y\r", "~"), "UH0111090507~.TXT0001\r\nx~y\r\n<<EOF:>>\r\n");
}

TEST_F(BuildTest, EmptyLocationCodeRemovesTildes)
{
    // A last line of a lone "~" is still a line, though nothing is left of it.
    EXPECT_EQ(Build("~a~\r\n~", ""), "UH0111090507.TXT0002\r\na\r\n\r\n<<EOF:>>\r\n");
}

TEST_F(BuildTest, LocationCodeLongerThanASliceIsWrittenWhole)
{
    // So long that every staging byte is converted on its own.
    const std::string code(70'000, 'c');
    const std::string upload = Build("a~\r\n~b\r\n\n~", code);
    EXPECT_EQ(upload, "UH0111090507" + code + ".TXT0003\r\na" + code + "\r\n" + code + "b\r\n\n" + code
                          + "\r\n<<EOF:>>\r\n");
}

TEST_F(BuildTest, CountHasAtLeastFourDigits)
{
    struct Case {
        std::size_t lines;
        const char* count;
    };
    for (const Case& c : {Case{9999, "9999"}, Case{10000, "10000"}}) {
        std::string staging;
        for (std::size_t i = 0; i < c.lines; ++i) {
            staging += "r\r\n";
        }
        files_.contents.clear();
        clock_.now.minute = static_cast<int>(c.lines % 60);
        const std::string upload = Build(staging);
        EXPECT_EQ(upload.substr(0, 2 + name_.size() + std::string(c.count).size() + 2),
                  "UH" + name_ + c.count + "\r\n");
        EXPECT_EQ(upload.size(), 2 + name_.size() + std::string(c.count).size() + 2 + c.lines * 3 + 10);
    }
}

TEST_F(BuildTest, BigStagingFileStreamsThrough)
{
    // Several read chunks, with a CR LF across each chunk boundary.
    std::string staging;
    while (staging.size() < 3 * 256 * 1024 + 7) {
        staging += "0123456789~abcdefghijklmnopqrstuvwxyz\r\n";
    }
    const std::size_t lines = staging.size() / 39;
    const std::string upload = Build(staging);
    const std::string header = "UH01110905070042.TXT" + std::to_string(lines) + "\r\n";
    EXPECT_EQ(upload.substr(0, header.size()), header);
    EXPECT_EQ(upload.size(), header.size() + lines * (39 + 3) + 10);
    EXPECT_EQ(upload.substr(header.size(), 42), "0123456789"
                                                "0042"
                                                "abcdefghijklmnopqrstuvwxyz\r\n");
}

TEST_F(BuildTest, ReportsProgressThroughBothReadingsOfTheStagingFile)
{
    const std::string staging(600'000, 'r');
    Build(staging);

    // The staging file is read twice: once to count its lines, once to copy them.
    std::vector<std::uint64_t> done;
    for (const Progress& report : window_.progress) {
        EXPECT_EQ(report.total, 2 * staging.size());
        done.push_back(report.done);
    }
    EXPECT_EQ(done, (std::vector<std::uint64_t>{262'144, 524'288, 600'000, 862'144, 1'124'288, 1'200'000}));
}

TEST_F(BuildTest, TakenNameWaitsForTheNextMinute)
{
    files_.contents["01110905070042.TXT"] = "earlier run";
    files_.contents["01110905080042.TXT.pending"] = "";  // the next minute is taken too
    clock_.Advance(std::chrono::seconds(30));            // half a minute in

    const std::string upload = Build("r\r\n");

    EXPECT_EQ(name_, "01110905090042.TXT");
    EXPECT_EQ(files_.contents.at("01110905070042.TXT"), "earlier run");
    EXPECT_EQ(window_.log, (std::vector<std::string>{
                               "Waiting for the next minute: 01110905070042.TXT already exists ...",
                               "Waiting for the next minute: 01110905080042.TXT already exists ..."}));
    // It waited by handing time to the window, until the minutes had turned.
    EXPECT_GE(window_.pumps, 900);
    EXPECT_EQ(upload.rfind("UH01110905090042.TXT0001", 0), 0u);
}

TEST_F(BuildTest, ClosingTheWindowWhileWaitingKeepsTheStagingFile)
{
    files_.contents["01110905070042.TXT"] = "earlier run";
    files_.contents[kStagingFile] = "r\r\n";
    settings_.locationCode = "0042";
    window_.closeAtPump = 3;
    EXPECT_THROW(BuildUploadFile(settings_, files_, clock_, window_), JobError);
    EXPECT_EQ(files_.contents.at(kStagingFile), "r\r\n");
}

TEST_F(BuildTest, NoStagingFileBuildsNothing)
{
    EXPECT_EQ(BuildUploadFile(settings_, files_, clock_, window_), std::nullopt);
    EXPECT_TRUE(files_.contents.empty());
}

struct BuildFailureCase {
    const char* name;
    std::function<void(MemoryFiles&, FakeWindow&)> inject;
    const char* reason;
};

class BuildFailureTest : public ::testing::TestWithParam<BuildFailureCase> {};

TEST_P(BuildFailureTest, KeepsTheStagingFileAndLeavesNoUploadFile)
{
    MemoryFiles files;
    FakeClock clock;
    FakeWindow window(clock);
    LocationSettings settings;
    settings.locationCode = "0042";
    files.contents[kStagingFile] = "a\r\nb\r\n";
    GetParam().inject(files, window);

    try {
        BuildUploadFile(settings, files, clock, window);
        FAIL() << "the failure must be reported";
    } catch (const JobError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find(GetParam().reason), std::string::npos) << message;
        EXPECT_NE(message.find("kept in Infile.txt"), std::string::npos) << message;
    }
    EXPECT_EQ(files.contents.at(kStagingFile), "a\r\nb\r\n");
    EXPECT_EQ(files.contents.size(), 1u) << "neither a temporary nor an upload file is left";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, BuildFailureTest,
    ::testing::Values(
        BuildFailureCase{"DiskFull",
                         [](MemoryFiles& f, FakeWindow&) { f.diskFullAt["01110905070042.TXT.tmp"] = 10; },
                         "not enough space"},
        BuildFailureCase{"CannotCreate",
                         [](MemoryFiles& f, FakeWindow&) { f.readOnly.insert("01110905070042.TXT.tmp"); },
                         "Access is denied"},
        BuildFailureCase{"CannotRead", [](MemoryFiles& f, FakeWindow&) { f.unreadable.insert(kStagingFile); },
                         "Access is denied"},
        // The user closes the window while the file is written (counting the lines is the first pass).
        BuildFailureCase{"WindowClosed", [](MemoryFiles&, FakeWindow& w) { w.closeAtProgress = 2; },
                         "window was closed"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kestrane
