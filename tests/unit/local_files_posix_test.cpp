// The POSIX file layer on a real file system.
#include "common/local_files_posix.h"

#include "tests/shared/local_files_contract.h"

#include <filesystem>

namespace kestrane {
namespace {

struct PosixEnv {
    void Enter()
    {
        previous = std::filesystem::current_path();
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrane-files-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        std::filesystem::current_path(folder);
    }

    void Leave()
    {
        std::filesystem::current_path(previous);
        std::filesystem::remove_all(folder);
    }

    std::string Absolute(const std::string& name) { return (folder / name).string(); }

    PosixLocalFiles files;
    std::filesystem::path folder;
    std::filesystem::path previous;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Posix, LocalFilesContract, PosixEnv);

TEST(PosixLocalFilesTest, UnwritableFolderGivesTheSystemsReason)
{
    // Not even root may create files in /proc.
    PosixLocalFiles files;
    try {
        files.CreateForWriting("/proc/kestrane-cannot-be-here");
        FAIL() << "created a file in /proc";
    } catch (const FileError& error) {
        EXPECT_EQ(error.Path(), "/proc/kestrane-cannot-be-here");
        EXPECT_FALSE(error.Reason().empty());
    }
}

}  // namespace
}  // namespace kestrane
