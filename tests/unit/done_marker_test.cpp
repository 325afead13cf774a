#include "device/done_marker.h"

#include "common/job_error.h"
#include "fakes.h"
#include "store/working_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

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
    EXPECT_EQ(device.files.size(), 1u) << "the unfinished marker took the marker's name";
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
    device.files[kDeviceUnfinishedDoneMarker] = "fr";
    files.contents[kLocalDoneFile] = "new";

    PutCEDoneFile(device, files);

    EXPECT_EQ(device.files, (std::map<std::u16string, std::string>{{kDeviceDoneMarker, "from before"}}));
    EXPECT_TRUE(files.reads.empty());
    EXPECT_EQ(device.journal, (std::vector<std::string>{"CeRapiInit", "CeDeleteFile", "CeFindFirstFile",
                                                        "CeFindClose", "CeRapiUninit"}));
}

TEST(DoneMarkerTest, MarkerIsWrittenUnderAnotherNameThenRenamed)
{
    FakeDevice device;
    MemoryFiles files;
    // Left by a run cut short while it wrote: longer than the new marker.
    device.files[kDeviceUnfinishedDoneMarker] = "unfinished and stale";
    files.contents[kLocalDoneFile] = "done";

    PutCEDoneFile(device, files);

    EXPECT_EQ(device.files, (std::map<std::u16string, std::string>{{kDeviceDoneMarker, "done"}}));
    EXPECT_EQ(device.journal, (std::vector<std::string>{"CeRapiInit", "CeDeleteFile", "CeFindFirstFile",
                                                        "CeCreateFile(write)", "CeWriteFile", "CeCloseHandle",
                                                        "CeMoveFile", "CeRapiUninit"}));
}

// The handheld's own software made a marker while this one was written.
TEST(DoneMarkerTest, MarkerThatAppearsMeanwhileIsKept)
{
    FakeDevice device;
    MemoryFiles files;
    files.contents[kLocalDoneFile] = "done";
    device.moveFailCode = kErrorAlreadyExists;

    EXPECT_NO_THROW(PutCEDoneFile(device, files));

    EXPECT_EQ(device.files.count(kDeviceUnfinishedDoneMarker), 0u);
    EXPECT_EQ(device.journal.back(), "CeRapiUninit");
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

struct MarkerFault {
    const char* name;
    std::function<void(FakeDevice&)> inject;
    const char* inMessage;
    // Whether the unfinished marker stays, as when the handheld is gone.
    bool unfinishedLeft;
};

class MarkerFaultTest : public ::testing::TestWithParam<MarkerFault> {};

TEST_P(MarkerFaultTest, IsReportedAndTheNextRunWritesAWholeMarker)
{
    FakeDevice device;
    MemoryFiles files;
    files.contents[kLocalDoneFile] = "done";
    GetParam().inject(device);

    try {
        PutCEDoneFile(device, files);
        FAIL() << "a marker that was not put in place must be reported";
    } catch (const JobError& error) {
        const std::string message = error.what();
        EXPECT_EQ(message.rfind("Your data was sent to the server, but the handheld was not told so: ", 0),
                  0u)
            << message;
        EXPECT_NE(message.find(GetParam().inMessage), std::string::npos) << message;
    }
    EXPECT_EQ(device.files.count(kDeviceDoneMarker), 0u) << "no marker, not even part of one";
    EXPECT_EQ(device.files.count(kDeviceUnfinishedDoneMarker), GetParam().unfinishedLeft ? 1u : 0u);
    EXPECT_EQ(device.OpenHandles(), 0u);
    EXPECT_EQ(device.journal.back(), "CeRapiUninit");

    FakeDevice dockedAgain;
    dockedAgain.files = device.files;
    PutCEDoneFile(dockedAgain, files);
    EXPECT_EQ(dockedAgain.files, (std::map<std::u16string, std::string>{{kDeviceDoneMarker, "done"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MarkerFaultTest,
    ::testing::Values(
        MarkerFault{"CreateFails", [](FakeDevice& device) { device.failCreateForWrite = true; },
                    "could not be created on it (error 5).", false},
        MarkerFault{"WriteFails", [](FakeDevice& device) { device.failWrite = true; },
                    "could not be written to it (error 112).", false},
        // The write reports success but takes fewer bytes than it was given.
        MarkerFault{"ShortWrite", [](FakeDevice& device) { device.writeAtMost = 3; },
                    "could not be written to it: it took 3 of 4 bytes.", false},
        MarkerFault{"RenameFails", [](FakeDevice& device) { device.moveFailCode = 5; },
                    "could not be put in place on it (error 5).", false},
        // Taken out of the dock: the link fails, and with it every later call.
        MarkerFault{"UndockedDuringTheWrite", [](FakeDevice& device) { device.undockAt = "CeWriteFile"; },
                    "could not be written to it (error 0x8007048F).\r\n\r\nThe connection to the handheld "
                    "failed.\r\n\r\nThe handheld was taken out of its dock.",
                    true},
        MarkerFault{"UndockedAtTheClose", [](FakeDevice& device) { device.undockAt = "CeCloseHandle"; },
                    "could not be written to it (error 0x8007048F).", true},
        MarkerFault{"UndockedAtTheRename", [](FakeDevice& device) { device.undockAt = "CeMoveFile"; },
                    "could not be put in place on it (error 0x8007048F).", true},
        // The user closes the window while the step waits for the handheld.
        MarkerFault{"WindowClosed", [](FakeDevice& device) { device.closeWhileWaiting = true; },
                    "the window was closed", false}),
    [](const auto& test) { return std::string(test.param.name); });

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
