#include "store/working_folder.h"

#include "fakes.h"

#include <gtest/gtest.h>

#include <map>

namespace kestrane {
namespace {

using testing::FakeClock;
using testing::FakeWindow;
using testing::MemoryFiles;

using Folder = std::map<std::string, std::string>;

struct SettleCase {
    const char* name;
    Folder before;
    Folder after;
};

class SettleInterruptedRunTest : public ::testing::TestWithParam<SettleCase> {};

TEST_P(SettleInterruptedRunTest, LeavesOnlyStagedDataAndPendingUploadsBeforeTheHandheldIsAsked)
{
    MemoryFiles files;
    FakeClock clock;
    FakeWindow window(clock);
    files.contents = GetParam().before;
    SettleInterruptedRun(files, window);
    EXPECT_EQ(files.contents, GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    States, SettleInterruptedRunTest,
    ::testing::Values(
        // An unfinished pull is dropped: the handheld still has the data.
        SettleCase{"Pulling", {{kPullFile, "part"}, {kStagingFile, "s"}}, {{kStagingFile, "s"}}},
        // The pulled copy waits for the handheld's verdict.
        SettleCase{"Pulled", {{kPulledFile, "p"}}, {{kPulledFile, "p"}}},
        // A merge cut off before the pulled copy went: redone later.
        SettleCase{"Merging",
                   {{kMergeFile, "s+p"}, {kPulledFile, "p"}, {kStagingFile, "s"}},
                   {{kPulledFile, "p"}, {kStagingFile, "s"}}},
        // A merge cut off after the pulled copy went: it is complete.
        SettleCase{"Merged", {{kMergeFile, "s+p"}, {kStagingFile, "s"}}, {{kStagingFile, "s+p"}}},
        // An upload file cut off before the staging file went is built again.
        SettleCase{"Building",
                   {{"01110905070042.TXT.tmp", "half"}, {kStagingFile, "data"}},
                   {{kStagingFile, "data"}}},
        // One finished before the staging file went is published.
        SettleCase{"Built",
                   {{"01110905070042.TXT.tmp", "complete"}},
                   {{"01110905070042.TXT", "complete"}, {"01110905070042.TXT.pending", ""}}},
        // A rename for the server is decided by moving the pending marker.
        SettleCase{"RenamingUndecided",
                   {{"01110905080042.TXT.rename", "UH01110905080042.TXT..."},
                    {"01110905070042.TXT", "UH01110905070042.TXT..."},
                    {"01110905070042.TXT.pending", ""}},
                   {{"01110905070042.TXT", "UH01110905070042.TXT..."}, {"01110905070042.TXT.pending", ""}}},
        SettleCase{"RenamingDecided",
                   {{"01110905080042.TXT.rename", "UH01110905080042.TXT..."},
                    {"01110905070042.TXT", "UH01110905070042.TXT..."},
                    {"01110905080042.TXT.pending", ""}},
                   {{"01110905070042.TXT", "UH01110905070042.TXT..."},
                    {"01110905080042.TXT", "UH01110905080042.TXT..."},
                    {"01110905080042.TXT.pending", ""}}},
        SettleCase{"ComparingWithTheServer",
                   {{"01110905070042.TXT.server", "theirs"}, {"01110905070042.TXT", "u"},
                    {"01110905070042.TXT.pending", ""}},
                   {{"01110905070042.TXT", "u"}, {"01110905070042.TXT.pending", ""}}},
        SettleCase{"Published",
                   {{"01110905070042.TXT", "u"}, {"01110905070042.TXT.pending", ""}, {kStagingFile, "s"}},
                   {{"01110905070042.TXT", "u"}, {"01110905070042.TXT.pending", ""}, {kStagingFile, "s"}}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(RenamePendingUploadTest, TheHeaderNamesTheFileAndOnlyTheNewNameIsPending)
{
    MemoryFiles files;
    files.contents["01110905070042.TXT"] = "UH01110905070042.TXT12345\r\nUH01110905070042.TXT\r\n<<EOF:>>\r\n";
    files.contents["01110905070042.TXT.pending"] = "";
    FakeClock clock;
    FakeWindow window(clock);

    RenamePendingUpload(files, window, "01110905070042.TXT", "01110905080042.TXT");

    EXPECT_EQ(files.contents,
              (Folder{{"01110905080042.TXT", "UH01110905080042.TXT12345\r\nUH01110905070042.TXT\r\n<<EOF:>>\r\n"},
                      {"01110905080042.TXT.pending", ""}}));

    // A file that does not begin with its own header is not touched.
    MemoryFiles odd;
    odd.contents["A.TXT"] = "UHB.TXT0001\r\n";
    odd.contents["A.TXT.pending"] = "";
    EXPECT_THROW(RenamePendingUpload(odd, window, "A.TXT", "C.TXT"), std::runtime_error);
    EXPECT_EQ(odd.contents, (Folder{{"A.TXT", "UHB.TXT0001\r\n"}, {"A.TXT.pending", ""}}));
}

TEST(PendingUploadsTest, OldestFirstAndConfirmedOnesGone)
{
    MemoryFiles files;
    for (const char* name : {"26120710300042.TXT", "26120709150042.TXT", "25010100000042.TXT"}) {
        files.contents[name] = "x";
        files.contents[std::string(name) + kPendingSuffix] = "";
    }
    files.contents["24010100000042.TXT"] = "sent long ago";
    MarkUploadConfirmed(files, "26120709150042.TXT");
    EXPECT_EQ(PendingUploads(files), (std::vector<std::string>{"25010100000042.TXT", "26120710300042.TXT"}));
}

}  // namespace
}  // namespace kestrane
