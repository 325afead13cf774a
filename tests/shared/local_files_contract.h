// What every LocalFiles implementation must do, as a typed GoogleTest suite.
// Each platform's test program instantiates it with an environment type
// that owns the implementation and a scratch working folder:
//
//   struct Env {
//       void Enter();   // make a fresh folder and make it the working folder
//       void Leave();   // go back and remove it
//       std::string Absolute(const std::string& name);
//       SomeLocalFiles files;
//   };
#pragma once

#include "common/local_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kestrane {

template <typename Env> class LocalFilesContract : public ::testing::Test {
protected:
    void SetUp() override { env_.Enter(); }
    void TearDown() override { env_.Leave(); }

    Env env_;
};

TYPED_TEST_SUITE_P(LocalFilesContract);

TYPED_TEST_P(LocalFilesContract, WritesAndReadsBytesUnchanged)
{
    LocalFiles& files = this->env_.files;
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<char>(i));
    }
    bytes += "\r\n\n\r";
    WriteWholeFile(files, "data.bin", bytes);
    EXPECT_TRUE(files.Exists("data.bin"));
    EXPECT_EQ(files.Size("data.bin"), bytes.size());
    EXPECT_EQ(ReadWholeFile(files, "data.bin"), bytes);

    WriteWholeFile(files, "data.bin", "shorter");
    EXPECT_EQ(ReadWholeFile(files, "data.bin"), "shorter") << "creating empties an existing file";
}

TYPED_TEST_P(LocalFilesContract, RenameWithoutReplaceRefusesAnExistingTarget)
{
    LocalFiles& files = this->env_.files;
    WriteWholeFile(files, "a.txt", "new");
    WriteWholeFile(files, "b.txt", "old");
    EXPECT_THROW(files.Rename("a.txt", "b.txt", false), FileError);
    EXPECT_EQ(ReadWholeFile(files, "b.txt"), "old");
    EXPECT_EQ(ReadWholeFile(files, "a.txt"), "new");
    files.Rename("a.txt", "b.txt", true);
    EXPECT_EQ(ReadWholeFile(files, "b.txt"), "new");
    EXPECT_FALSE(files.Exists("a.txt"));
    files.Rename("b.txt", "c.txt", false);
    EXPECT_EQ(ReadWholeFile(files, "c.txt"), "new");
}

TYPED_TEST_P(LocalFilesContract, MissingFilesAreReportedAsNotFound)
{
    LocalFiles& files = this->env_.files;
    try {
        files.OpenForReading("absent.txt");
        FAIL() << "opened a missing file";
    } catch (const FileError& error) {
        EXPECT_TRUE(error.NotFound());
        EXPECT_EQ(error.Path(), "absent.txt");
        EXPECT_FALSE(error.Reason().empty());
    }
    EXPECT_FALSE(files.Exists("absent.txt"));
    EXPECT_THROW(files.Size("absent.txt"), FileError);
    EXPECT_NO_THROW(files.Remove("absent.txt"));
}

TYPED_TEST_P(LocalFilesContract, ListsOnlyNamesWithTheExactSuffix)
{
    LocalFiles& files = this->env_.files;
    for (const char* name : {"01110905070042.TXT", "01110905070042.TXT.pending", "01110905080042.TXT.pending",
                             "x.pendingx", "Infile.txt", ".pending"}) {
        WriteWholeFile(files, name, "");
    }
    std::vector<std::string> pending = files.ListWithSuffix(".TXT.pending");
    std::sort(pending.begin(), pending.end());
    EXPECT_EQ(pending,
              (std::vector<std::string>{"01110905070042.TXT.pending", "01110905080042.TXT.pending"}));
}

TYPED_TEST_P(LocalFilesContract, AbsolutePathsWork)
{
    LocalFiles& files = this->env_.files;
    WriteWholeFile(files, this->env_.Absolute("absolute.txt"), "x");
    EXPECT_EQ(ReadWholeFile(files, "absolute.txt"), "x");
}

TYPED_TEST_P(LocalFilesContract, BufferedWritesArriveInOrder)
{
    LocalFiles& files = this->env_.files;
    std::string expected;
    {
        auto output = files.CreateForWriting("buffered.txt");
        BufferedWriter writer(*output, 8);
        for (int i = 0; i < 100; ++i) {
            const std::string piece = std::string(static_cast<std::size_t>(i % 13), 'a' + i % 26) + "\r\n";
            writer.Write(piece);
            writer.Write("|");
            expected += piece + "|";
            // Pieces written in place, some larger than the block, with room asked for to spare.
            char* room = writer.Room(piece.size() + 5);
            std::copy(piece.begin(), piece.end(), room);
            writer.Added(piece.size());
            expected += piece;
        }
        writer.Commit();
    }
    EXPECT_EQ(ReadWholeFile(files, "buffered.txt"), expected);
}

REGISTER_TYPED_TEST_SUITE_P(LocalFilesContract, WritesAndReadsBytesUnchanged,
                            RenameWithoutReplaceRefusesAnExistingTarget, MissingFilesAreReportedAsNotFound,
                            ListsOnlyNamesWithTheExactSuffix, AbsolutePathsWork, BufferedWritesArriveInOrder);

}  // namespace kestrane
