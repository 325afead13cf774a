// The Win32 file layer on a real (Wine's) file system.
#include "common/local_files_win32.h"

#include "tests/shared/local_files_contract.h"

#include "common/win32_support.h"

#include <windows.h>

#include <functional>
#include <utility>
#include <vector>

namespace kestrane {
namespace {

struct Win32Env {
    void Enter()
    {
        char temp[MAX_PATH];
        ASSERT_NE(::GetTempPathA(MAX_PATH, temp), 0u);
        folder = std::string(temp) + "kestrane-files-" + std::to_string(::GetCurrentProcessId());
        ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
        char current[MAX_PATH];
        ASSERT_NE(::GetCurrentDirectoryA(MAX_PATH, current), 0u);
        previous = current;
        ASSERT_TRUE(::SetCurrentDirectoryA(folder.c_str()));
    }

    void Leave()
    {
        for (const std::string& name : files.ListWithSuffix("")) {
            ::DeleteFileA(name.c_str());
        }
        ::SetCurrentDirectoryA(previous.c_str());
        ::RemoveDirectoryA(folder.c_str());
    }

    std::string Absolute(const std::string& name) { return folder + "\\" + name; }

    Win32LocalFiles files;
    std::string folder;
    std::string previous;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, LocalFilesContract, Win32Env);

// A file held by another opener, as an antivirus scanner holds a new file
// for a moment. Windows checks share modes the same way whether the other
// handle is this program's or another's.
class HeldFile {
public:
    HeldFile(const std::string& name, DWORD access, DWORD share) :
        handle_(::CreateFileA(name.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr))
    {
        EXPECT_TRUE(handle_) << name << ": " << ::GetLastError();
    }
    void Release() { handle_.Reset(); }

private:
    win32::UniqueFile handle_;
};

struct BusyOperation {
    const char* name;
    std::function<void(LocalFiles&)> run;  // on held.txt
    std::function<void(LocalFiles&)> check;
};

// A scratch working folder holding held.txt.
class HeldFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        env_.Enter();
        WriteWholeFile(env_.files, "held.txt", "held");
    }
    void TearDown() override { env_.Leave(); }

    Win32Env env_;
};

// The window as the file layer sees it while a file is busy: it keeps the
// log's lines, and does what the test asks at each pump.
class WaitingWindow final : public JobWindow {
public:
    void LogLine(const std::string& line) override { lines.push_back(line); }
    void ShowMessage(const std::string&, MessageKind) override {}
    void PumpMessages() override
    {
        ++pumps;
        onPump();
    }
    void ReportProgress(const Progress&) override {}
    void MovingData(bool) noexcept override {}

    std::vector<std::string> lines;
    int pumps = 0;
    std::function<void()> onPump = [] {};
};

class BusyFileTest : public HeldFileTest, public ::testing::WithParamInterface<BusyOperation> {};

TEST_P(BusyFileTest, IsTriedAgainUntilTheOtherProgramLetsGo)
{
    HeldFile held("held.txt", GENERIC_READ, 0);
    WaitingWindow window;
    window.onPump = [&held] { held.Release(); };
    Win32LocalFiles files(window);

    GetParam().run(files);

    EXPECT_EQ(window.lines,
              (std::vector<std::string>{"Waiting for held.txt, which is in use or locked ..."}));
    EXPECT_EQ(window.pumps, 1);
    GetParam().check(files);
}

// Closing the window ends the wait, as a file layer that never waits does
// not even begin one: the file's own failure is reported.
TEST_P(BusyFileTest, IsReportedWhenTheWaitGivesUp)
{
    HeldFile held("held.txt", GENERIC_READ, 0);
    WaitingWindow window;
    window.onPump = [&window] {
        if (window.pumps == 3) {
            throw WindowClosed();
        }
    };
    Win32LocalFiles waiting(window);
    Win32LocalFiles neverWaiting(Win32LocalFiles::NeverWait{});

    for (LocalFiles* files : {static_cast<LocalFiles*>(&waiting), static_cast<LocalFiles*>(&neverWaiting)}) {
        try {
            GetParam().run(*files);
            ADD_FAILURE() << "a file still held must be reported";
        } catch (const FileError& error) {
            EXPECT_EQ(error.Reason(), win32::SystemErrorText(ERROR_SHARING_VIOLATION));
        }
    }
    EXPECT_EQ(window.pumps, 3);
    held.Release();
    EXPECT_EQ(ReadWholeFile(env_.files, "held.txt"), "held");
}

INSTANTIATE_TEST_SUITE_P(
    Operations, BusyFileTest,
    ::testing::Values(
        BusyOperation{"OpenForReading",
                      [](LocalFiles& files) { EXPECT_EQ(ReadWholeFile(files, "held.txt"), "held"); },
                      [](LocalFiles&) {}},
        BusyOperation{"CreateForWriting", [](LocalFiles& files) { WriteWholeFile(files, "held.txt", "new"); },
                      [](LocalFiles& files) { EXPECT_EQ(ReadWholeFile(files, "held.txt"), "new"); }},
        BusyOperation{"Rename", [](LocalFiles& files) { files.Rename("held.txt", "moved.txt", false); },
                      [](LocalFiles& files) { EXPECT_EQ(ReadWholeFile(files, "moved.txt"), "held"); }},
        BusyOperation{"Remove", [](LocalFiles& files) { files.Remove("held.txt"); },
                      [](LocalFiles& files) { EXPECT_FALSE(files.Exists("held.txt")); }}),
    [](const auto& test) { return std::string(test.param.name); });

// An upload file someone has open in an editor can still be read and sent.
TEST_F(HeldFileTest, AFileOpenForWritingElsewhereIsReadAtOnce)
{
    HeldFile held("held.txt", GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    WaitingWindow window;
    Win32LocalFiles files(window);
    EXPECT_EQ(ReadWholeFile(files, "held.txt"), "held");
    EXPECT_EQ(window.pumps, 0) << "the file was waited for";
}

}  // namespace
}  // namespace kestrane
