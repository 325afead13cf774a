#include "device/data_pull.h"

#include "common/job_error.h"
#include "device/device_connection.h"
#include "fakes.h"
#include "store/working_folder.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace kestrane {
namespace {

using testing::FakeClock;
using testing::FakeDevice;
using testing::FakeWindow;
using testing::MemoryFiles;
using testing::PatternBytes;

// Runs the pull with a window that stays open.
void GetCEFile(FakeDevice& device, MemoryFiles& files)
{
    FakeClock clock;
    FakeWindow window(clock);
    kestrane::GetCEFile(device, files, window);
}

class PullSizeTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PullSizeTest, MovesEveryByteOnceAndEndsWithOneLineEnd)
{
    const std::size_t size = GetParam();
    FakeDevice device;
    MemoryFiles files;
    device.files[kDeviceDataFile] = PatternBytes(size);

    GetCEFile(device, files);

    EXPECT_EQ(device.files.count(kDeviceDataFile), 0u) << "the data file is deleted on the handheld";
    if (size == 0) {
        EXPECT_FALSE(files.Exists(kStagingFile)) << "an empty data file creates no staging file";
    } else {
        EXPECT_EQ(files.contents.at(kStagingFile), PatternBytes(size) + "\r\n");
    }
    // Reads of 4096 bytes until one returns nothing.
    EXPECT_EQ(device.Calls("CeReadFile"),
              static_cast<int>((size + kDeviceReadSize - 1) / kDeviceReadSize + 1));
    // Nothing but the staging file is left in the working folder, and the
    // record that data left the handheld, which is owed a done marker.
    EXPECT_EQ(files.contents.size(), size == 0 ? 0u : 2u);
    EXPECT_EQ(files.Exists(kDoneMarkerOwedFile), size != 0);
    EXPECT_EQ(device.OpenHandles(), 0u);
    EXPECT_FALSE(device.connected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PullSizeTest, ::testing::Values(0, 1, 4096, 4097, 10000));

TEST(PullTest, NewDataGoesAfterAnEarlierStagingFile)
{
    FakeDevice device;
    MemoryFiles files;
    const std::string earlier = PatternBytes(50);
    files.contents[kStagingFile] = earlier;
    device.files[kDeviceDataFile] = "new records\r\n";

    GetCEFile(device, files);

    EXPECT_EQ(files.contents.at(kStagingFile), earlier + "new records\r\n\r\n");
    EXPECT_EQ(files.contents.size(), 2u);
}

struct OpenFailureCase {
    const char* name;
    std::uint32_t code;  // why the handheld's data file cannot be opened
    bool noData;         // whether that means there is no data
    const char* inMessage;
};

class PullOpenFailureTest : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(PullOpenFailureTest, OnlyAMissingFileMeansNoData)
{
    FakeDevice device;
    MemoryFiles files;
    files.contents[kStagingFile] = "kept";
    device.files[kDeviceDataFile] = "records\r\n";
    device.openForReadFailCode = GetParam().code;

    if (GetParam().noData) {
        GetCEFile(device, files);
    } else {
        try {
            GetCEFile(device, files);
            FAIL() << "a data file that cannot be opened is not a missing one";
        } catch (const JobError& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find("(error " + std::to_string(GetParam().code) + ")"), std::string::npos) << message;
            EXPECT_NE(message.find(GetParam().inMessage), std::string::npos) << message;
            EXPECT_NE(message.find("still on the handheld"), std::string::npos) << message;
        }
    }
    EXPECT_EQ(files.contents, (std::map<std::string, std::string>{{kStagingFile, "kept"}}));
    EXPECT_EQ(device.Calls("CeReadFile"), 0);
    EXPECT_EQ(device.Calls("CeDeleteFile"), 0);
    EXPECT_EQ(device.journal.back(), "CeRapiUninit");
}

INSTANTIATE_TEST_SUITE_P(
    Codes, PullOpenFailureTest,
    ::testing::Values(OpenFailureCase{"FileNotFound", 2, true, ""}, OpenFailureCase{"PathNotFound", 3, true, ""},
                      OpenFailureCase{"InUseOnTheHandheld", 32, false, "A program on the handheld is using"},
                      OpenFailureCase{"Undocked", 1167, false, "taken out of its dock"},
                      OpenFailureCase{"AccessDenied", 5, false, "could not open the data file"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(PullTest, ClosesThenDeletesThenEnds)
{
    FakeDevice device;
    MemoryFiles files;
    device.files[kDeviceDataFile] = "abc";

    GetCEFile(device, files);

    const std::vector<std::string> expected = {"CeRapiInit",   "CeCreateFile(read)", "CeGetFileSize",
                                               "CeReadFile",   "CeReadFile",         "CeCloseHandle",
                                               "CeDeleteFile", "CeRapiUninit"};
    EXPECT_EQ(device.journal, expected);
}

TEST(PullTest, ReadFailureLeavesEverythingAsItWas)
{
    FakeDevice device;
    MemoryFiles files;
    const std::string earlier = PatternBytes(50);
    files.contents[kStagingFile] = earlier;
    device.files[kDeviceDataFile] = PatternBytes(10000);
    device.readFailAt = 3;  // after two full reads
    device.readFailCode = 31;

    try {
        GetCEFile(device, files);
        FAIL() << "a read failure must stop the job";
    } catch (const JobError& error) {
        const std::string message = error.what();
        EXPECT_EQ(message.rfind("Error !!! Reading WinCE file. 31", 0), 0u) << message;
        EXPECT_NE(message.find("still on the handheld"), std::string::npos) << message;
    }
    EXPECT_EQ(files.contents.at(kStagingFile), earlier) << "exactly the old bytes";
    EXPECT_EQ(files.contents.size(), 1u) << "no partial pull left behind";
    EXPECT_EQ(device.files.at(kDeviceDataFile), PatternBytes(10000));
    EXPECT_EQ(device.Calls("CeDeleteFile"), 0);
    EXPECT_EQ(device.OpenHandles(), 0u);
    EXPECT_EQ(device.journal.back(), "CeRapiUninit");
}

TEST(PullTest, HandheldTakenOutIsSaidInPlainWords)
{
    const struct {
        const char* how;
        std::function<void(FakeDevice&)> takeOut;
        const char* firstLine;
    } cases[] = {
        // The handheld itself reports that it is no longer connected.
        {"said by the handheld",
         [](FakeDevice& device) {
             device.readFailAt = 2;
             device.readFailCode = kErrorDeviceNotConnected;
         },
         "Error !!! Reading WinCE file. 1167\r\n\r\nThe handheld"},
        // The link itself fails: its HRESULT, not the handheld's stale last error.
        {"seen on the link", [](FakeDevice& device) { device.undockAt = "CeReadFile"; },
         "Error !!! Reading WinCE file. 0x8007048F\r\n\r\nThe connection to the handheld failed.\r\n\r\nThe "
         "handheld"},
    };
    for (const auto& c : cases) {
        FakeDevice device;
        MemoryFiles files;
        device.files[kDeviceDataFile] = PatternBytes(10000);
        c.takeOut(device);
        try {
            GetCEFile(device, files);
            FAIL() << c.how;
        } catch (const JobError& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind(c.firstLine, 0), 0u) << message;
            EXPECT_NE(message.find("taken out of its dock"), std::string::npos) << message;
            EXPECT_NE(message.find("still on the handheld"), std::string::npos) << message;
        }
        EXPECT_EQ(device.files.at(kDeviceDataFile), PatternBytes(10000)) << c.how;
    }
}

// After a failed call, the link's HRESULT when the Remote API itself failed,
// and only otherwise the handheld's own error.
TEST(DeviceCallErrorTest, TheLinkFailureComesBeforeTheHandheldsLastError)
{
    FakeDevice device;
    ASSERT_EQ(device.CeRapiInit(), 0);
    ASSERT_EQ(device.CeCreateFile(kDeviceDataFile, kGenericRead, kFileShareRead, kOpenExisting,
                                  kFileAttributeNormal),
              kInvalidDeviceHandle);
    const DeviceCallError onTheHandheld = DeviceCallError::Last(device);
    EXPECT_FALSE(onTheHandheld.OnTheLink());
    EXPECT_TRUE(onTheHandheld.Is(kErrorFileNotFound));
    EXPECT_EQ(onTheHandheld.Text(), "2");
    EXPECT_EQ(onTheHandheld.InPlainWords(), "");

    device.undockAt = "CeDeleteFile";
    ASSERT_FALSE(device.CeDeleteFile(kDeviceDataFile));
    ASSERT_EQ(device.CeGetLastError(), kErrorFileNotFound) << "the handheld's last error is stale";
    const DeviceCallError onTheLink = DeviceCallError::Last(device);
    EXPECT_TRUE(onTheLink.OnTheLink());
    EXPECT_FALSE(onTheLink.Is(kErrorFileNotFound)) << "a broken link is never a missing file";
    EXPECT_EQ(onTheLink.Text(), "0x8007048F");
}

TEST(PullTest, ReadFailureCodeIsShownSigned)
{
    FakeDevice device;
    MemoryFiles files;
    device.files[kDeviceDataFile] = "abc";
    device.readFailAt = 1;
    device.readFailCode = 0x80004005;
    try {
        GetCEFile(device, files);
        FAIL();
    } catch (const JobError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Error !!! Reading WinCE file. -2147467259", 0), 0u);
    }
}

struct SaveFailureCase {
    const char* name;
    bool diskFull;
};

class PullSaveFailureTest : public ::testing::TestWithParam<SaveFailureCase> {};

TEST_P(PullSaveFailureTest, StopsBeforeAnythingIsDeletedOnTheHandheld)
{
    FakeDevice device;
    MemoryFiles files;
    device.files[kDeviceDataFile] = PatternBytes(10000);
    if (GetParam().diskFull) {
        files.diskFullAt[kPullFile] = 5000;
    } else {
        files.readOnly.insert(kPullFile);
    }

    try {
        GetCEFile(device, files);
        FAIL() << "a staging file that cannot be written must stop the job";
    } catch (const JobError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find(GetParam().diskFull ? "not enough space" : "Access is denied"),
                  std::string::npos)
            << message;
        EXPECT_NE(message.find("still on the handheld"), std::string::npos) << message;
    }
    EXPECT_EQ(device.files.at(kDeviceDataFile), PatternBytes(10000));
    EXPECT_EQ(device.Calls("CeDeleteFile"), 0);
    EXPECT_FALSE(files.Exists(kPullFile));
    EXPECT_FALSE(files.Exists(kStagingFile));
    EXPECT_FALSE(device.connected);
}

INSTANTIATE_TEST_SUITE_P(Failures, PullSaveFailureTest,
                         ::testing::Values(SaveFailureCase{"DiskFull", true},
                                           SaveFailureCase{"NoPermission", false}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(PullTest, FailedStartIsEndedAndReported)
{
    FakeDevice device;
    MemoryFiles files;
    device.files[kDeviceDataFile] = "abc";
    device.initStatus = static_cast<std::int32_t>(0x8007048F);

    try {
        GetCEFile(device, files);
        FAIL();
    } catch (const JobError& error) {
        EXPECT_NE(std::string(error.what()).find("0x8007048F"), std::string::npos) << error.what();
    }
    // The start ends its own failure at once; the step's end is harmless.
    EXPECT_EQ(device.journal, (std::vector<std::string>{"CeRapiInit", "CeRapiUninit", "CeRapiUninit"}));
    EXPECT_EQ(device.files.at(kDeviceDataFile), "abc");
}

TEST(PullTest, FailedDeleteKeepsBothCopiesForTheNextRunToSettle)
{
    FakeDevice device;
    MemoryFiles files;
    device.files[kDeviceDataFile] = "records\r\n";
    device.failDelete = true;

    EXPECT_THROW(GetCEFile(device, files), JobError);
    EXPECT_FALSE(files.Exists(kStagingFile));
    EXPECT_EQ(files.contents.at(kPulledFile), "records\r\n\r\n");

    // Next run: the handheld still holds the same data, so the old copy goes
    // and the data is pulled once.
    device.failDelete = false;
    GetCEFile(device, files);
    EXPECT_EQ(files.contents.at(kStagingFile), "records\r\n\r\n");
    EXPECT_FALSE(files.Exists(kPulledFile));
}

struct SettleCase {
    const char* name;
    std::optional<std::string> deviceFile;  // what the handheld holds at the next run
    std::string expectedStaging;
};

class SettleEarlierPullTest : public ::testing::TestWithParam<SettleCase> {};

TEST_P(SettleEarlierPullTest, KeepsEachRecordOnce)
{
    // A run pulled "old\r\n" completely and was cut off around the delete.
    FakeDevice device;
    MemoryFiles files;
    files.contents[kStagingFile] = "staged\r\n";
    files.contents[kPulledFile] = "old\r\n\r\n";
    if (GetParam().deviceFile) {
        device.files[kDeviceDataFile] = *GetParam().deviceFile;
    }

    GetCEFile(device, files);

    EXPECT_EQ(files.contents.at(kStagingFile), GetParam().expectedStaging);
    EXPECT_FALSE(files.Exists(kPulledFile));
    EXPECT_EQ(device.files.count(kDeviceDataFile), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettleEarlierPullTest,
    ::testing::Values(
        // The delete happened: the pulled copy is the only one.
        SettleCase{"DeletedNothingNew", std::nullopt, "staged\r\nold\r\n\r\n"},
        // The delete never happened: the handheld's copy is pulled again, once.
        SettleCase{"NotDeleted", std::string("old\r\n"), "staged\r\nold\r\n\r\n"},
        // Not deleted, and the handheld added records since.
        SettleCase{"NotDeletedAndGrown", std::string("old\r\nnew\r\n"), "staged\r\nold\r\nnew\r\n\r\n"},
        // Deleted, and the handheld has gathered new records since.
        SettleCase{"DeletedAndNewData", std::string("new\r\n"), "staged\r\nold\r\n\r\nnew\r\n\r\n"}),
    [](const auto& test) { return std::string(test.param.name); });

// After each read, the bytes copied of the size the handheld gave, or of an
// unknown size (0) when it could not give one.
TEST(PullTest, ReportsTheBytesCopiedAfterEachRead)
{
    for (const bool sizeUnknown : {false, true}) {
        SCOPED_TRACE(sizeUnknown ? "size unknown" : "size told");
        FakeDevice device;
        MemoryFiles files;
        FakeClock clock;
        FakeWindow window(clock);
        device.files[kDeviceDataFile] = PatternBytes(10000);
        device.sizeUnknown = sizeUnknown;

        kestrane::GetCEFile(device, files, window);

        std::vector<std::uint64_t> done;
        for (const Progress& report : window.progress) {
            EXPECT_EQ(report.total, sizeUnknown ? 0u : 10000u);
            done.push_back(report.done);
        }
        EXPECT_EQ(done, (std::vector<std::uint64_t>{4096, 8192, 10000}));
        EXPECT_EQ(files.contents.at(kStagingFile), PatternBytes(10000) + "\r\n");
    }

    // Adding the copy to earlier staged data counts the bytes of both.
    FakeDevice device;
    MemoryFiles files;
    FakeClock clock;
    FakeWindow window(clock);
    device.files[kDeviceDataFile] = "new\r\n";
    files.contents[kStagingFile] = "old\r\n";
    kestrane::GetCEFile(device, files, window);
    ASSERT_FALSE(window.progress.empty());
    EXPECT_EQ(window.progress.back().done, 12u);
    EXPECT_EQ(window.progress.back().total, 12u);
}

TEST(PullTest, ClosingTheWindowWhileWaitingForTheHandheldTouchesNothing)
{
    FakeDevice device;
    MemoryFiles files;
    files.contents[kStagingFile] = "staged\r\n";
    device.files[kDeviceDataFile] = "records\r\n";
    device.closeWhileWaiting = true;

    EXPECT_THROW(GetCEFile(device, files), WindowClosed);

    EXPECT_EQ(device.journal, (std::vector<std::string>{"CeRapiInit", "CeRapiUninit"}));
    EXPECT_EQ(files.contents, (std::map<std::string, std::string>{{kStagingFile, "staged\r\n"}}));
    EXPECT_EQ(device.files.at(kDeviceDataFile), "records\r\n");
}

// Closing the window in one of the pull's long loops stops it at once, and
// the data stays where the message says.
struct CloseCase {
    const char* name;
    std::map<std::string, std::string> before;  // the working folder
    std::size_t closeAtProgress;
    const char* activity;
    const char* where;
};

class PullCloseTest : public ::testing::TestWithParam<CloseCase> {};

TEST_P(PullCloseTest, StopsWhereNothingIsLost)
{
    const std::string data = PatternBytes(200'000);
    FakeDevice device;
    MemoryFiles files;
    FakeClock clock;
    FakeWindow window(clock);
    device.files[kDeviceDataFile] = data;
    files.contents = GetParam().before;
    window.closeAtProgress = GetParam().closeAtProgress;

    try {
        kestrane::GetCEFile(device, files, window);
        FAIL() << "closing the window must stop the pull";
    } catch (const JobError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find(std::string("window was closed while it was ") + GetParam().activity),
                  std::string::npos)
            << message;
        EXPECT_NE(message.find(GetParam().where), std::string::npos) << message;
    }
    EXPECT_EQ(window.progress.size(), GetParam().closeAtProgress) << "it stopped at once";
    EXPECT_EQ(files.contents, GetParam().before);
    EXPECT_EQ(device.files.at(kDeviceDataFile), data);
    EXPECT_EQ(device.Calls("CeDeleteFile"), 0);
    EXPECT_EQ(device.OpenHandles(), 0u);
    EXPECT_FALSE(device.connected);
}

INSTANTIATE_TEST_SUITE_P(
    Loops, PullCloseTest,
    ::testing::Values(
        CloseCase{"Copying",
                  {{kStagingFile, "staged\r\n"}},
                  3,
                  "copying the handheld's data",
                  "still on the handheld"},
        // An earlier run pulled a copy and stopped: it is compared with the handheld's file.
        CloseCase{"Comparing",
                  {{kPulledFile, PatternBytes(200'000) + "\r\n"}},
                  3,
                  "comparing",
                  "kept in Infile.pulled"},
        // An earlier run deleted its copy on the handheld: the copy is added to the staging file.
        CloseCase{"Merging",
                  {{kStagingFile, PatternBytes(100'000)}, {kPulledFile, "earlier\r\n\r\n"}},
                  1,
                  "adding the handheld's data to the staging file Infile.txt",
                  "kept in Infile.pulled"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kestrane
