#include "device/done_marker.h"

#include "common/job_error.h"
#include "fakes.h"
#include "store/working_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace kestrane {
namespace {

using testing::FakeDevice;
using testing::MemoryFiles;
using testing::PatternBytes;

class DoneFileSizeTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DoneFileSizeTest, MarkerIsAByteForByteCopy)
{
    FakeDevice device;
    MemoryFiles files;
    files.contents[kLocalDoneFile] = PatternBytes(GetParam());

    PutCEDoneFile(device, files);

    ASSERT_EQ(device.files.count(kDeviceDoneMarker), 1u);
    EXPECT_EQ(device.files.at(kDeviceDoneMarker), PatternBytes(GetParam()));
    EXPECT_EQ(device.Calls("CeWriteFile"), GetParam() == 0 ? 0 : 1);
    EXPECT_EQ(device.OpenHandles(), 0u);
    EXPECT_EQ(device.journal.back(), "CeRapiUninit");
}

INSTANTIATE_TEST_SUITE_P(Sizes, DoneFileSizeTest, ::testing::Values(0, 5, 4097, 10000));

TEST(DoneMarkerTest, LineEndsAreCopiedAsTheyAre)
{
    FakeDevice device;
    MemoryFiles files;
    files.contents[kLocalDoneFile] = "done\r";
    PutCEDoneFile(device, files);
    EXPECT_EQ(device.files.at(kDeviceDoneMarker), "done\r");
}

TEST(DoneMarkerTest, ExistingMarkerIsLeftAloneAndTheDoneFileNotRead)
{
    FakeDevice device;
    MemoryFiles files;
    device.files[kDeviceDoneMarker] = "from before";
    files.contents[kLocalDoneFile] = "new";

    PutCEDoneFile(device, files);

    EXPECT_EQ(device.files.at(kDeviceDoneMarker), "from before");
    EXPECT_TRUE(files.reads.empty());
    EXPECT_EQ(device.journal,
              (std::vector<std::string>{"CeRapiInit", "CeFindFirstFile", "CeFindClose", "CeRapiUninit"}));
}

TEST(DoneMarkerTest, MissingOrUnreadableDoneFileLeavesNoMarker)
{
    for (bool missing : {true, false}) {
        FakeDevice device;
        MemoryFiles files;
        if (!missing) {
            files.contents[kLocalDoneFile] = "x";
            files.unreadable.insert(kLocalDoneFile);
        }
        try {
            PutCEDoneFile(device, files);
            FAIL() << "a done file that cannot be read must be reported";
        } catch (const JobError& error) {
            EXPECT_NE(std::string(error.what()).find("C:\\Kestrane\\done.txt"), std::string::npos)
                << error.what();
        }
        EXPECT_EQ(device.files.count(kDeviceDoneMarker), 0u);
        EXPECT_EQ(device.Calls("CeCreateFile(write)"), 0);
        EXPECT_EQ(device.journal.back(), "CeRapiUninit");
    }
}

TEST(DoneMarkerTest, MarkerThatCannotBeCreatedOrWrittenIsReportedAndNotLeftBehind)
{
    const std::function<void(FakeDevice&)> faults[] = {
        [](FakeDevice& device) { device.failCreateForWrite = true; },
        [](FakeDevice& device) { device.failWrite = true; },
        // The write reports success but takes fewer bytes than it was given.
        [](FakeDevice& device) { device.writeAtMost = 3; },
        // The user closes the window while the step waits for the handheld.
        [](FakeDevice& device) { device.closeWhileWaiting = true; },
    };
    for (const auto& fault : faults) {
        FakeDevice device;
        MemoryFiles files;
        files.contents[kLocalDoneFile] = "done";
        fault(device);

        EXPECT_THROW(PutCEDoneFile(device, files), JobError);
        EXPECT_EQ(device.files.count(kDeviceDoneMarker), 0u);
        EXPECT_EQ(device.OpenHandles(), 0u);
        EXPECT_EQ(device.journal.back(), "CeRapiUninit");
    }
}

TEST(DoneMarkerTest, FailedStartIsReported)
{
    FakeDevice device;
    MemoryFiles files;
    files.contents[kLocalDoneFile] = "done";
    device.initStatus = -1;
    EXPECT_THROW(PutCEDoneFile(device, files), JobError);
    EXPECT_EQ(device.journal, (std::vector<std::string>{"CeRapiInit", "CeRapiUninit", "CeRapiUninit"}));
}

TEST(ReadLocalBytesTest, FlagTellsWhetherThereIsContent)
{
    MemoryFiles files;
    files.contents["empty"] = "";
    files.contents["full"] = "ab";
    std::string bytes = "stale";
    EXPECT_FALSE(ReadLocalBytes(files, "empty", bytes));
    EXPECT_EQ(bytes, "");
    EXPECT_TRUE(ReadLocalBytes(files, "full", bytes));
    EXPECT_EQ(bytes, "ab");
}

}  // namespace
}  // namespace kestrane
