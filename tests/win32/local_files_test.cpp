// The Win32 file layer on a real (Wine) file system.
#include "common/local_files_win32.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

namespace kestrane {
namespace {

// Runs each test in a fresh folder under the temporary folder.
class Win32LocalFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        ASSERT_NE(::GetTempPathA(MAX_PATH, temp), 0u);
        folder_ = std::string(temp) + "kestrane-files-" + std::to_string(::GetCurrentProcessId());
        ASSERT_TRUE(::CreateDirectoryA(folder_.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
        char previous[MAX_PATH];
        ASSERT_NE(::GetCurrentDirectoryA(MAX_PATH, previous), 0u);
        previous_ = previous;
        ASSERT_TRUE(::SetCurrentDirectoryA(folder_.c_str()));
    }

    void TearDown() override
    {
        for (const std::string& name : files_.ListWithSuffix("")) {
            ::DeleteFileA(name.c_str());
        }
        ::SetCurrentDirectoryA(previous_.c_str());
        ::RemoveDirectoryA(folder_.c_str());
    }

    Win32LocalFiles files_;
    std::string folder_;
    std::string previous_;
};

TEST_F(Win32LocalFilesTest, WritesAndReadsBytesUnchanged)
{
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<char>(i));
    }
    bytes += "\r\n\n\r";
    WriteWholeFile(files_, "data.bin", bytes);
    EXPECT_TRUE(files_.Exists("data.bin"));
    EXPECT_EQ(files_.Size("data.bin"), bytes.size());
    EXPECT_EQ(ReadWholeFile(files_, "data.bin"), bytes);
}

TEST_F(Win32LocalFilesTest, RenameWithoutReplaceRefusesAnExistingTarget)
{
    WriteWholeFile(files_, "a.txt", "new");
    WriteWholeFile(files_, "b.txt", "old");
    EXPECT_THROW(files_.Rename("a.txt", "b.txt", false), FileError);
    EXPECT_EQ(ReadWholeFile(files_, "b.txt"), "old");
    files_.Rename("a.txt", "b.txt", true);
    EXPECT_EQ(ReadWholeFile(files_, "b.txt"), "new");
    EXPECT_FALSE(files_.Exists("a.txt"));
}

TEST_F(Win32LocalFilesTest, MissingFilesAreReportedAsNotFound)
{
    try {
        files_.OpenForReading("absent.txt");
        FAIL() << "opened a missing file";
    } catch (const FileError& error) {
        EXPECT_TRUE(error.NotFound());
        EXPECT_EQ(error.Path(), "absent.txt");
    }
    EXPECT_FALSE(files_.Exists("absent.txt"));
    EXPECT_NO_THROW(files_.Remove("absent.txt"));
}

TEST_F(Win32LocalFilesTest, ListsOnlyNamesWithTheExactSuffix)
{
    for (const char* name : {"01110905070042.TXT", "01110905070042.TXT.pending", "01110905080042.TXT.pending",
                             "x.pendingx", "Infile.txt"}) {
        WriteWholeFile(files_, name, "");
    }
    std::vector<std::string> pending = files_.ListWithSuffix(".TXT.pending");
    std::sort(pending.begin(), pending.end());
    EXPECT_EQ(pending, (std::vector<std::string>{"01110905070042.TXT.pending", "01110905080042.TXT.pending"}));
}

TEST_F(Win32LocalFilesTest, AbsolutePathsWork)
{
    const std::string path = folder_ + "\\absolute.txt";
    WriteWholeFile(files_, path, "x");
    EXPECT_EQ(ReadWholeFile(files_, "absolute.txt"), "x");
}

}  // namespace
}  // namespace kestrane
