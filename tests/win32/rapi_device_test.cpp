// The Remote API layer against the stand-in rapi.dll, which the rig puts in
// the system folder of its Wine prefix, with a temporary folder as the
// handheld. The cases of the RapiLibrary suites take the stand-in away or
// put another library in its place: they run in a prefix of their own
// (tests/e2e/test_windows_layers.py), so that no test beside them misses it.
#include "device/rapi_device_win32.h"

#include "common/job_error.h"
#include "common/job_window.h"
#include "common/win32_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kestrane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char16_t* kDataPath = u"\\Storage Card\\savedata.dat";
constexpr const char16_t* kMarkerPath = u"\\Storage Card\\SyncDone.dat";
constexpr std::uint32_t kReadSize = 4096;
constexpr std::int32_t kNotConnectedResult = static_cast<std::int32_t>(0x8007048F);
constexpr std::uint32_t kNotConnected = ERROR_DEVICE_NOT_CONNECTED;
constexpr std::uint32_t kInvalidHandle = ERROR_INVALID_HANDLE;
constexpr std::uint32_t kFileNotFound = ERROR_FILE_NOT_FOUND;

constexpr const wchar_t* kSettingNames[] = {
    L"KESTRANE_HANDHELD_DIR",          L"KESTRANE_HANDHELD_INIT_RESULT",
    L"KESTRANE_HANDHELD_READ_FAIL_AT", L"KESTRANE_HANDHELD_READ_FAIL_CODE",
    L"KESTRANE_HANDHELD_UNDOCK_AT",    L"KESTRANE_HANDHELD_CREATE_WRITE_FAIL",
    L"KESTRANE_HANDHELD_HANG_AT",      L"KESTRANE_HANDHELD_JOURNAL",
};

void SetVariable(const wchar_t* name, const std::wstring& value)
{
    ASSERT_TRUE(::SetEnvironmentVariableW(name, value.c_str())) << ::GetLastError();
}

void ClearVariable(const wchar_t* name)
{
    ASSERT_TRUE(::SetEnvironmentVariableW(name, nullptr) || ::GetLastError() == ERROR_ENVVAR_NOT_FOUND);
}

void ClearSettings()
{
    for (const wchar_t* name : kSettingNames) {
        ClearVariable(name);
    }
}

// A fresh folder under the temporary folder, removed at the end.
class ScratchFolder {
public:
    ScratchFolder()
    {
        static int count = 0;
        const std::string name =
            "kestrane-rapi-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++count);
        path_ = fs::temp_directory_path() / name;
        fs::create_directories(path_);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }

    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

std::string FileBytes(const fs::path& path)
{
    std::ifstream input(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>());
}

void PutFile(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream output(path, std::ios::binary | std::ios::trunc);
    output.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(output.good()) << path;
}

std::vector<std::string> FileLines(const fs::path& path)
{
    std::vector<std::string> lines;
    std::ifstream input(path, std::ios::binary);
    for (std::string line; std::getline(input, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::string FirstToken(const std::string& line)
{
    return line.substr(0, line.find(' '));
}

std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
    }
    return bytes;
}

std::string HandleText(DeviceHandle handle)
{
    std::ostringstream text;
    text << "0x" << std::hex << handle;
    return text.str();
}

// The window's message pump as the device sees it, for a thread without a
// window: it handles what the thread has been sent, then does what the test
// asks, which may throw WindowClosed as a closed window's pump does.
class ThreadPump final : public MessagePump {
public:
    void PumpMessages() override
    {
        MSG message{};
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::DispatchMessageW(&message);
        }
        then();
    }
    void ReportProgress(const Progress&) override { PumpMessages(); }

    std::function<void()> then = [] {};
};

// Creates the handheld's folder from another thread after a delay, as if
// the handheld were docked then, unless the dock is ended first.
class DockLater {
public:
    DockLater(fs::path folder, std::chrono::milliseconds delay) :
        thread_([this, folder, delay](std::stop_token stop) {
            const auto until = Clock::now() + delay;
            while (Clock::now() < until) {
                if (stop.stop_requested()) {
                    return;
                }
                std::this_thread::sleep_for(10ms);
            }
            started_ = Clock::now();
            std::error_code error;
            created_ = fs::create_directories(folder, error);
            finished_ = Clock::now();
        })
    {
    }

    // Waits for the dock; the times the folder began and finished being made.
    std::pair<Clock::time_point, Clock::time_point> Join()
    {
        thread_.join();
        EXPECT_TRUE(created_);
        return {started_, finished_};
    }

private:
    Clock::time_point started_;
    Clock::time_point finished_;
    bool created_ = false;
    std::jthread thread_;
};

constexpr const wchar_t* kLibraryName = L"rapi.dll";

// Each test loads the library afresh, so its calls are counted from the
// first, and works in its own handheld folder and journal.
class RapiDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearSettings();
        handheld_ = scratch_.Path() / "handheld";
        journal_ = scratch_.Path() / "journal.txt";
        SetVariable(L"KESTRANE_HANDHELD_DIR", handheld_.wstring());
        SetVariable(L"KESTRANE_HANDHELD_JOURNAL", journal_.wstring());
        device_ = RapiDevice::Load(pump_);
    }

    void TearDown() override
    {
        Unload();
        ClearSettings();
    }

    // Loads the library afresh, its pump doing `then` after each handling.
    void Reload(std::function<void()> then = [] {})
    {
        Unload();
        pump_.then = std::move(then);
        device_ = RapiDevice::Load(pump_);
    }

    // The device keeps the library loaded for the rest of the process. As a
    // program that ends would, the test then gives back the one reference
    // the device kept, so that the next load starts the stand-in afresh.
    void Unload()
    {
        device_.reset();
        const HMODULE library = ::GetModuleHandleW(kLibraryName);
        ASSERT_NE(library, nullptr) << "the device unloaded the library";
        ASSERT_TRUE(::FreeLibrary(library)) << ::GetLastError();
    }

    void Dock() { fs::create_directories(handheld_ / "Storage Card"); }

    void Connect()
    {
        Dock();
        ASSERT_EQ(device_->CeRapiInit(), 0);
    }

    fs::path OnHandheld(const char16_t* devicePath) const
    {
        std::wstring relative(devicePath + 1, devicePath + std::char_traits<char16_t>::length(devicePath));
        return handheld_ / relative;
    }

    DeviceHandle Open(const char16_t* path, std::uint32_t access, std::uint32_t disposition)
    {
        return device_->CeCreateFile(path, access, kFileShareRead, disposition, kFileAttributeNormal);
    }

    std::vector<std::string> Journal() const { return FileLines(journal_); }

    ScratchFolder scratch_;
    fs::path handheld_;
    fs::path journal_;
    ThreadPump pump_;
    std::unique_ptr<RapiDevice> device_;
};

TEST_F(RapiDeviceTest, ReadsAFileInDeviceSizedReads)
{
    const std::string data = Pattern(10000);
    PutFile(OnHandheld(kDataPath), data);
    Connect();

    const DeviceHandle file = Open(kDataPath, kGenericRead, kOpenExisting);
    ASSERT_NE(file, kInvalidDeviceHandle) << device_->CeGetLastError();
    std::string pulled;
    for (const std::uint32_t expected : {4096u, 4096u, 1808u, 0u}) {
        char buffer[kReadSize];
        std::uint32_t got = 12345;
        ASSERT_TRUE(device_->CeReadFile(file, buffer, kReadSize, got)) << device_->CeGetLastError();
        EXPECT_EQ(got, expected);
        pulled.append(buffer, got);
    }
    EXPECT_EQ(pulled, data);
    EXPECT_TRUE(device_->CeCloseHandle(file));
    EXPECT_EQ(device_->CeRapiUninit(), 0);
}

TEST_F(RapiDeviceTest, WritesFindsAndDeletesAFile)
{
    Connect();
    EXPECT_EQ(device_->CeFindFirstFile(kMarkerPath), kInvalidDeviceHandle);
    EXPECT_EQ(device_->CeGetLastError(), kFileNotFound);

    DeviceHandle marker = Open(kMarkerPath, kGenericWrite, kCreateAlways);
    ASSERT_NE(marker, kInvalidDeviceHandle) << device_->CeGetLastError();
    const std::string contents = "done\r\n";
    std::uint32_t written = 0;
    EXPECT_TRUE(device_->CeWriteFile(marker, contents.data(), 6, written));
    EXPECT_EQ(written, 6u);
    EXPECT_TRUE(device_->CeCloseHandle(marker));
    EXPECT_EQ(FileBytes(OnHandheld(kMarkerPath)), contents);

    const DeviceHandle search = device_->CeFindFirstFile(kMarkerPath);
    EXPECT_NE(search, kInvalidDeviceHandle);
    EXPECT_TRUE(device_->CeFindClose(search));

    // Creating it again empties it.
    marker = Open(kMarkerPath, kGenericWrite, kCreateAlways);
    ASSERT_NE(marker, kInvalidDeviceHandle) << device_->CeGetLastError();
    EXPECT_TRUE(device_->CeCloseHandle(marker));
    EXPECT_EQ(fs::file_size(OnHandheld(kMarkerPath)), 0u);

    EXPECT_TRUE(device_->CeDeleteFile(kMarkerPath));
    EXPECT_FALSE(fs::exists(OnHandheld(kMarkerPath)));
    EXPECT_EQ(device_->CeFindFirstFile(kMarkerPath), kInvalidDeviceHandle);
    EXPECT_EQ(device_->CeRapiUninit(), 0);
}

TEST_F(RapiDeviceTest, RenamesAFileButNeverOntoAnother)
{
    PutFile(OnHandheld(kDataPath), "data");
    Connect();
    EXPECT_TRUE(device_->CeMoveFile(kDataPath, kMarkerPath)) << device_->CeGetLastError();
    EXPECT_FALSE(fs::exists(OnHandheld(kDataPath)));
    EXPECT_EQ(FileBytes(OnHandheld(kMarkerPath)), "data");

    PutFile(OnHandheld(kDataPath), "other");
    EXPECT_FALSE(device_->CeMoveFile(kDataPath, kMarkerPath));
    EXPECT_EQ(device_->CeRapiGetError(), S_OK);
    EXPECT_EQ(device_->CeGetLastError(), static_cast<std::uint32_t>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(FileBytes(OnHandheld(kMarkerPath)), "data");
    EXPECT_EQ(FileBytes(OnHandheld(kDataPath)), "other");
    EXPECT_EQ(device_->CeRapiUninit(), 0);
}

// A start given up may leave rapi.dll's own threads running: the library
// stays loaded when the device is gone.
TEST_F(RapiDeviceTest, TheLibraryStaysLoadedAfterTheDeviceIsGone)
{
    Connect();
    EXPECT_EQ(device_->CeRapiUninit(), 0);
    device_.reset();
    EXPECT_NE(::GetModuleHandleW(kLibraryName), nullptr);
}

TEST_F(RapiDeviceTest, MissingFilesFailWithFileNotFound)
{
    const struct {
        const char* call;
        std::function<bool()> fails;
    } cases[] = {
        {"CeFindFirstFile", [this] { return device_->CeFindFirstFile(kDataPath) == kInvalidDeviceHandle; }},
        {"CeCreateFile",
         [this] { return Open(kDataPath, kGenericRead, kOpenExisting) == kInvalidDeviceHandle; }},
        {"CeDeleteFile", [this] { return !device_->CeDeleteFile(kDataPath); }},
    };
    Connect();
    for (const auto& c : cases) {
        EXPECT_TRUE(c.fails()) << c.call;
        EXPECT_EQ(device_->CeGetLastError(), kFileNotFound) << c.call;
    }
}

// Every call but CeGetLastError, on the given handle.
const struct {
    const char* call;
    std::function<bool(RemoteDevice&, DeviceHandle)> fails;
} kHandheldCalls[] = {
    {"CeFindFirstFile",
     [](RemoteDevice& d, DeviceHandle) { return d.CeFindFirstFile(kDataPath) == kInvalidDeviceHandle; }},
    {"CeFindClose", [](RemoteDevice& d, DeviceHandle h) { return !d.CeFindClose(h); }},
    {"CeCreateFile",
     [](RemoteDevice& d, DeviceHandle) {
         return d.CeCreateFile(kDataPath, kGenericRead, kFileShareRead, kOpenExisting, kFileAttributeNormal)
                == kInvalidDeviceHandle;
     }},
    {"CeReadFile",
     [](RemoteDevice& d, DeviceHandle h) {
         char buffer[16];
         std::uint32_t got = 0;
         return !d.CeReadFile(h, buffer, sizeof buffer, got);
     }},
    {"CeWriteFile",
     [](RemoteDevice& d, DeviceHandle h) {
         std::uint32_t put = 0;
         return !d.CeWriteFile(h, "x", 1, put);
     }},
    {"CeGetFileSize",
     [](RemoteDevice& d, DeviceHandle h) {
         std::uint32_t high = 0;
         return d.CeGetFileSize(h, high) == kInvalidFileSize;
     }},
    {"CeCloseHandle", [](RemoteDevice& d, DeviceHandle h) { return !d.CeCloseHandle(h); }},
    {"CeDeleteFile", [](RemoteDevice& d, DeviceHandle) { return !d.CeDeleteFile(kDataPath); }},
    {"CeMoveFile", [](RemoteDevice& d, DeviceHandle) { return !d.CeMoveFile(kDataPath, kMarkerPath); }},
};

TEST_F(RapiDeviceTest, CallsWithoutAConnectionFailWithDeviceNotConnected)
{
    PutFile(OnHandheld(kDataPath), "data");
    for (const auto& c : kHandheldCalls) {
        Reload();  // No error recorded yet.
        EXPECT_TRUE(c.fails(*device_, 0x1c)) << c.call << " before CeRapiInit";
        EXPECT_EQ(device_->CeGetLastError(), kNotConnected) << c.call;

        Reload();
        ASSERT_EQ(device_->CeRapiInit(), 0);
        const DeviceHandle file = Open(kDataPath, kGenericRead | kGenericWrite, kOpenExisting);
        ASSERT_NE(file, kInvalidDeviceHandle);
        ASSERT_EQ(device_->CeRapiUninit(), 0);
        EXPECT_TRUE(c.fails(*device_, file)) << c.call << " after CeRapiUninit";
        EXPECT_EQ(device_->CeGetLastError(), kNotConnected) << c.call;
    }
}

TEST_F(RapiDeviceTest, UnknownHandlesFailWithInvalidHandle)
{
    PutFile(OnHandheld(kDataPath), "data");
    Connect();
    const DeviceHandle file = Open(kDataPath, kGenericRead | kGenericWrite, kOpenExisting);
    ASSERT_NE(file, kInvalidDeviceHandle);
    const DeviceHandle search = device_->CeFindFirstFile(kDataPath);
    ASSERT_NE(search, kInvalidDeviceHandle);

    const struct {
        const char* call;
        DeviceHandle handle;
    } cases[] = {
        {"CeReadFile", 0x7770},    {"CeWriteFile", 0x7770},   {"CeGetFileSize", 0x7770},
        {"CeCloseHandle", 0x7770}, {"CeFindClose", 0x7770},   {"CeReadFile", search},
        {"CeWriteFile", search},   {"CeGetFileSize", search}, {"CeCloseHandle", search},
        {"CeFindClose", file},
    };
    for (const auto& c : cases) {
        const auto call = std::find_if(std::begin(kHandheldCalls), std::end(kHandheldCalls),
                                       [&c](const auto& known) { return std::string(known.call) == c.call; });
        ASSERT_NE(call, std::end(kHandheldCalls));
        EXPECT_TRUE(call->fails(*device_, c.handle)) << c.call << " " << HandleText(c.handle);
        EXPECT_EQ(device_->CeGetLastError(), kInvalidHandle) << c.call;
    }

    EXPECT_TRUE(device_->CeCloseHandle(file));
    EXPECT_FALSE(device_->CeCloseHandle(file));
    EXPECT_EQ(device_->CeGetLastError(), kInvalidHandle);
    EXPECT_TRUE(device_->CeFindClose(search));
    EXPECT_FALSE(device_->CeFindClose(search));
    EXPECT_EQ(device_->CeGetLastError(), kInvalidHandle);
}

TEST_F(RapiDeviceTest, StartFailsAtOnceWithTheConfiguredResult)
{
    const struct {
        const wchar_t* variable;
        const wchar_t* value;  // nullptr: the variable is removed.
        std::int32_t expected;
        std::vector<std::string> journal;
    } cases[] = {
        {L"KESTRANE_HANDHELD_DIR",
         nullptr,
         static_cast<std::int32_t>(0x80004005),
         {"CeRapiInitEx -> 0x80004005"}},
        {L"KESTRANE_HANDHELD_INIT_RESULT",
         L"0x80070005",
         static_cast<std::int32_t>(0x80070005),
         {"CeRapiInitEx -> 0x80070005"}},
        {L"KESTRANE_HANDHELD_INIT_RESULT",
         L"2147500037",
         static_cast<std::int32_t>(0x80004005),
         {"CeRapiInitEx -> 0x80004005"}},
        {L"KESTRANE_HANDHELD_INIT_RESULT",
         L"-2147024894",
         static_cast<std::int32_t>(0x80070002),
         {"CeRapiInitEx -> 0x80070002"}},
        {L"KESTRANE_HANDHELD_READ_FAIL_AT",
         L"two",
         static_cast<std::int32_t>(0x80070057),
         {"CONFIG KESTRANE_HANDHELD_READ_FAIL_AT=two is not valid", "CeRapiInitEx -> 0x80070057"}},
        {L"KESTRANE_HANDHELD_HANG_AT",
         L"CeReadFile:0",
         static_cast<std::int32_t>(0x80070057),
         {"CONFIG KESTRANE_HANDHELD_HANG_AT=CeReadFile:0 is not valid", "CeRapiInitEx -> 0x80070057"}},
        {L"KESTRANE_HANDHELD_HANG_AT",
         L"CeOpenFile",
         static_cast<std::int32_t>(0x80070057),
         {"CONFIG KESTRANE_HANDHELD_HANG_AT=CeOpenFile is not valid", "CeRapiInitEx -> 0x80070057"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.variable << "=" << (c.value ? c.value : L"(unset)"));
        Reload();
        fs::remove(journal_);
        SetVariable(L"KESTRANE_HANDHELD_DIR", handheld_.wstring());
        if (c.value) {
            SetVariable(c.variable, c.value);
        } else {
            ClearVariable(c.variable);
        }
        // Ends the wait of a start that ignored the setting.
        DockLater dock(handheld_, 3s);
        const auto before = Clock::now();
        EXPECT_EQ(device_->CeRapiInit(), c.expected);
        EXPECT_LT(Clock::now() - before, 1s);
        EXPECT_EQ(Journal(), c.journal);
        EXPECT_EQ(Open(kDataPath, kGenericRead, kOpenExisting), kInvalidDeviceHandle);
        EXPECT_EQ(device_->CeGetLastError(), kNotConnected);
        if (c.value) {
            ClearVariable(c.variable);
        }
    }
}

TEST_F(RapiDeviceTest, StartWaitsUntilTheHandheldIsDocked)
{
    DockLater dock(handheld_, 1s);
    const auto before = Clock::now();
    EXPECT_EQ(device_->CeRapiInit(), 0);
    const auto returned = Clock::now();
    const auto [docking, docked] = dock.Join();
    EXPECT_GE(returned, docking) << "returned before the folder was created";
    EXPECT_GE(returned - before, 900ms);
    EXPECT_LT(returned - docked, 1s) << "kept waiting after the folder was created";
}

// While it waits for the handheld, the thread's messages are handled: here
// the handling of the first one docks the handheld, and the wait ends.
TEST_F(RapiDeviceTest, MessagesAreHandledWhileTheStartWaits)
{
    int pumps = 0;
    Reload([&] {
        if (++pumps == 1) {
            Dock();
        }
    });
    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0)) << ::GetLastError();

    EXPECT_EQ(device_->CeRapiInit(), 0);

    EXPECT_GE(pumps, 1);
    EXPECT_EQ(Journal(), (std::vector<std::string>{"CeRapiInitEx -> 0"}));
}

// Closing the window gives the start up: the library ends it, and nothing
// can be done on the handheld until a new start.
TEST_F(RapiDeviceTest, ClosingTheWindowGivesTheStartUp)
{
    Reload([] { throw WindowClosed(); });
    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0)) << ::GetLastError();

    EXPECT_THROW(device_->CeRapiInit(), WindowClosed);

    EXPECT_EQ(Journal(), (std::vector<std::string>{"CeRapiInitEx -> 0x80004004", "CeRapiUninit -> 0"}));
    Dock();
    EXPECT_EQ(Open(kDataPath, kGenericRead, kOpenExisting), kInvalidDeviceHandle);
    EXPECT_EQ(device_->CeGetLastError(), kNotConnected);
}

TEST_F(RapiDeviceTest, FailsTheConfiguredRead)
{
    const struct {
        std::uint32_t failAt;
        const wchar_t* code;  // nullptr: not set.
        std::uint32_t expected;
    } cases[] = {
        {1, L"31", 31},
        {2, L"0x45D", 1117},
        {4, L"5", 5},
        {3, nullptr, ERROR_GEN_FAILURE},
    };
    const std::string data = Pattern(10000);
    PutFile(OnHandheld(kDataPath), data);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "read " << c.failAt);
        Reload();
        fs::remove(journal_);
        SetVariable(L"KESTRANE_HANDHELD_READ_FAIL_AT", std::to_wstring(c.failAt));
        if (c.code) {
            SetVariable(L"KESTRANE_HANDHELD_READ_FAIL_CODE", c.code);
        } else {
            ClearVariable(L"KESTRANE_HANDHELD_READ_FAIL_CODE");
        }
        Connect();
        const DeviceHandle file = Open(kDataPath, kGenericRead, kOpenExisting);
        ASSERT_NE(file, kInvalidDeviceHandle);

        // The failed read takes nothing from the file.
        std::vector<std::uint32_t> sizes = {4096, 4096, 1808, 0};
        sizes.insert(sizes.begin() + (c.failAt - 1), 0xFFFFFFFF);
        std::string pulled;
        for (std::uint32_t read = 1; read <= sizes.size(); ++read) {
            char buffer[kReadSize];
            std::uint32_t got = 0;
            const bool ok = device_->CeReadFile(file, buffer, kReadSize, got);
            if (read == c.failAt) {
                EXPECT_FALSE(ok);
                EXPECT_EQ(device_->CeGetLastError(), c.expected);
            } else {
                EXPECT_TRUE(ok) << "read " << read;
                EXPECT_EQ(got, sizes[read - 1]) << "read " << read;
                pulled.append(buffer, got);
            }
        }
        EXPECT_EQ(pulled, data);
        EXPECT_TRUE(device_->CeCloseHandle(file));
        EXPECT_EQ(device_->CeRapiUninit(), 0);
        const auto lines = Journal();
        const std::string failure = "CeReadFile 4096 -> fail " + std::to_string(c.expected);
        EXPECT_NE(std::find(lines.begin(), lines.end(), failure), lines.end());
    }
}

TEST_F(RapiDeviceTest, UndockingAtAReadEndsTheConnection)
{
    PutFile(OnHandheld(kDataPath), Pattern(10000));
    SetVariable(L"KESTRANE_HANDHELD_UNDOCK_AT", L"CeReadFile:2");
    Connect();
    const DeviceHandle file = Open(kDataPath, kGenericRead, kOpenExisting);
    ASSERT_NE(file, kInvalidDeviceHandle);
    char buffer[kReadSize];
    std::uint32_t got = 0;
    ASSERT_TRUE(device_->CeReadFile(file, buffer, kReadSize, got));
    EXPECT_EQ(got, kReadSize);
    EXPECT_EQ(device_->CeRapiGetError(), S_OK);
    EXPECT_FALSE(device_->CeReadFile(file, buffer, kReadSize, got));
    EXPECT_EQ(device_->CeRapiGetError(), kNotConnectedResult) << "the link failed, not the handheld";
    EXPECT_EQ(device_->CeGetLastError(), kNotConnected);

    for (const auto& c : kHandheldCalls) {
        EXPECT_TRUE(c.fails(*device_, file)) << c.call;
        EXPECT_EQ(device_->CeRapiGetError(), kNotConnectedResult) << c.call;
        EXPECT_EQ(device_->CeGetLastError(), kNotConnected) << c.call;
    }
    EXPECT_EQ(device_->CeRapiUninit(), kNotConnectedResult);
    EXPECT_EQ(device_->CeRapiInit(), kNotConnectedResult);
    EXPECT_TRUE(fs::exists(OnHandheld(kDataPath)));

    const auto lines = Journal();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[3], "CeRapiGetError -> 0");
    EXPECT_EQ(lines[4], "CeReadFile 4096 -> fail 1167");
    EXPECT_EQ(lines[5], "CeRapiGetError -> 0x8007048F");
    EXPECT_EQ(lines.back(), "CeRapiInitEx -> 0x8007048F");
}

TEST_F(RapiDeviceTest, CreatingForWritingFailsWithTheConfiguredCode)
{
    PutFile(OnHandheld(kDataPath), "data");
    SetVariable(L"KESTRANE_HANDHELD_CREATE_WRITE_FAIL", L"5");
    Connect();
    for (const std::uint32_t access : {kGenericWrite, kGenericRead | kGenericWrite}) {
        EXPECT_EQ(Open(kMarkerPath, access, kCreateAlways), kInvalidDeviceHandle);
        EXPECT_EQ(device_->CeGetLastError(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    }
    EXPECT_FALSE(fs::exists(OnHandheld(kMarkerPath)));

    const DeviceHandle file = Open(kDataPath, kGenericRead, kOpenExisting);
    EXPECT_NE(file, kInvalidDeviceHandle);
    EXPECT_TRUE(device_->CeCloseHandle(file));
}

TEST_F(RapiDeviceTest, JournalRecordsEveryCallInOrder)
{
    PutFile(OnHandheld(kDataPath), Pattern(5000));
    EXPECT_FALSE(device_->CeDeleteFile(kDataPath));
    Connect();
    EXPECT_EQ(device_->CeFindFirstFile(kMarkerPath), kInvalidDeviceHandle);
    EXPECT_EQ(device_->CeGetLastError(), kFileNotFound);
    const DeviceHandle data = Open(kDataPath, kGenericRead, kOpenExisting);
    std::uint32_t sizeHigh = 1;
    EXPECT_EQ(device_->CeGetFileSize(data, sizeHigh), 5000u);
    EXPECT_EQ(sizeHigh, 0u);
    for (const std::uint32_t expected : {4096u, 904u, 0u}) {
        char buffer[kReadSize];
        std::uint32_t got = 0;
        EXPECT_TRUE(device_->CeReadFile(data, buffer, kReadSize, got));
        EXPECT_EQ(got, expected);
    }
    EXPECT_TRUE(device_->CeCloseHandle(data));
    EXPECT_TRUE(device_->CeDeleteFile(kDataPath));
    const DeviceHandle marker = Open(kMarkerPath, kGenericWrite, kCreateAlways);
    std::uint32_t written = 0;
    EXPECT_TRUE(device_->CeWriteFile(marker, "done\r\n", 6, written));
    EXPECT_TRUE(device_->CeCloseHandle(marker));
    const DeviceHandle search = device_->CeFindFirstFile(kMarkerPath);
    EXPECT_TRUE(device_->CeFindClose(search));
    EXPECT_EQ(device_->CeRapiUninit(), 0);

    const std::vector<std::string> expected = {
        "CeDeleteFile \\Storage Card\\savedata.dat -> fail 1167",
        "CeRapiInitEx -> 0",
        "CeFindFirstFile \\Storage Card\\SyncDone.dat -> fail 2",
        "CeGetLastError -> 2",
        "CeCreateFile \\Storage Card\\savedata.dat GENERIC_READ OPEN_EXISTING -> " + HandleText(data),
        "CeGetFileSize " + HandleText(data) + " -> ok 5000",
        "CeReadFile 4096 -> ok 4096",
        "CeReadFile 4096 -> ok 904",
        "CeReadFile 4096 -> ok 0",
        "CeCloseHandle " + HandleText(data) + " -> ok",
        "CeDeleteFile \\Storage Card\\savedata.dat -> ok",
        "CeCreateFile \\Storage Card\\SyncDone.dat GENERIC_WRITE CREATE_ALWAYS -> " + HandleText(marker),
        "CeWriteFile 6 -> ok 6",
        "CeCloseHandle " + HandleText(marker) + " -> ok",
        "CeFindFirstFile \\Storage Card\\SyncDone.dat -> " + HandleText(search),
        "CeFindClose " + HandleText(search) + " -> ok",
        "CeRapiUninit -> 0",
    };
    EXPECT_EQ(Journal(), expected);
}

fs::path ThisProgram()
{
    return fs::path(win32::ModuleFileName(nullptr));
}

bool IsChild(const wchar_t* marker)
{
    return ::GetEnvironmentVariableW(marker, nullptr, 0) != 0;
}

// Starts program (this test program or a copy) for the tests of one suite,
// marked as the child by the variable marker, in the folder directory, with
// its output going to the file output.
void StartChild(const fs::path& program, const std::wstring& suite, const wchar_t* marker,
                const fs::path& directory, const fs::path& output, win32::UniqueKernelObject& process)
{
    std::wstring commandLine = L"\"" + program.wstring() + L"\" --gtest_filter=" + suite + L".*";
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const win32::UniqueFile report(::CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(report) << ::GetLastError();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = report.Get();
    startup.hStdOutput = report.Get();
    startup.hStdError = report.Get();
    PROCESS_INFORMATION child{};
    SetVariable(marker, L"1");
    const BOOL started = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, directory.c_str(), &startup, &child);
    const DWORD startError = ::GetLastError();
    ClearVariable(marker);
    ASSERT_TRUE(started) << startError;
    process.Reset(child.hProcess);
    const win32::UniqueKernelObject thread(child.hThread);
}

// The hang is seen from outside: this test runs itself again as a child
// process whose second read hangs, and ends it as a crash test would.
TEST(RapiDeviceHangTest, HangsAtTheConfiguredCall)
{
    constexpr const wchar_t* kMarker = L"KESTRANE_TEST_HANG_CHILD";
    if (IsChild(kMarker)) {
        ThreadPump pump;
        auto device = RapiDevice::Load(pump);
        ASSERT_EQ(device->CeRapiInit(), 0);
        const DeviceHandle file = device->CeCreateFile(kDataPath, kGenericRead, kFileShareRead, kOpenExisting,
                                                       kFileAttributeNormal);
        ASSERT_NE(file, kInvalidDeviceHandle);
        char buffer[kReadSize];
        std::uint32_t got = 0;
        ASSERT_TRUE(device->CeReadFile(file, buffer, kReadSize, got));
        device->CeReadFile(file, buffer, kReadSize, got);
        FAIL() << "the second read returned";
    }

    ScratchFolder scratch;
    const fs::path handheld = scratch.Path() / "handheld";
    const fs::path journal = scratch.Path() / "journal.txt";
    const fs::path output = scratch.Path() / "child.txt";
    PutFile(handheld / "Storage Card" / "savedata.dat", Pattern(10000));
    ClearSettings();
    SetVariable(L"KESTRANE_HANDHELD_DIR", handheld.wstring());
    SetVariable(L"KESTRANE_HANDHELD_JOURNAL", journal.wstring());
    SetVariable(L"KESTRANE_HANDHELD_HANG_AT", L"CeReadFile:2");
    win32::UniqueKernelObject process;
    StartChild(ThisProgram(), L"RapiDeviceHangTest", kMarker, scratch.Path(), output, process);
    ClearSettings();
    ASSERT_TRUE(process);

    std::vector<std::string> lines;
    for (const auto until = Clock::now() + 30s; Clock::now() < until; std::this_thread::sleep_for(50ms)) {
        lines = FileLines(journal);
        if (!lines.empty() && lines.back() == "HANG CeReadFile") {
            break;
        }
    }
    EXPECT_EQ(::WaitForSingleObject(process.Get(), 500), static_cast<DWORD>(WAIT_TIMEOUT))
        << FileBytes(output);
    ASSERT_TRUE(::TerminateProcess(process.Get(), 3));
    ASSERT_EQ(::WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0);

    std::vector<std::string> calls;
    for (const std::string& line : lines) {
        calls.push_back(FirstToken(line));
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"CeRapiInitEx", "CeCreateFile", "CeReadFile", "HANG"}));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "HANG CeReadFile");
}

// The rapi.dll of the system folder, where the device loads it from.
fs::path SystemLibrary()
{
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    EXPECT_TRUE(length > 0 && length < MAX_PATH) << ::GetLastError();
    return fs::path(std::wstring(folder, length)) / kLibraryName;
}

// Sets the system folder's rapi.dll aside into a folder, and puts a copy of
// replacement in its place when one is given, until it is destroyed.
class SystemLibrarySetAside {
public:
    SystemLibrarySetAside(const fs::path& folder, const fs::path& replacement = {}) :
        aside_(folder / kLibraryName)
    {
        fs::create_directories(folder);
        fs::rename(SystemLibrary(), aside_);
        if (!replacement.empty()) {
            fs::copy_file(replacement, SystemLibrary());
        }
    }
    SystemLibrarySetAside(const SystemLibrarySetAside&) = delete;
    SystemLibrarySetAside& operator=(const SystemLibrarySetAside&) = delete;
    ~SystemLibrarySetAside()
    {
        std::error_code ignored;
        fs::remove(SystemLibrary(), ignored);
        fs::rename(aside_, SystemLibrary(), ignored);
    }

    // The library that was in the system folder.
    const fs::path& Aside() const { return aside_; }

private:
    fs::path aside_;
};

// Runs program (this test program or a copy) for the tests of suite,
// started in workingFolder, and expects it to pass them.
void ExpectChildPasses(const fs::path& program, const std::wstring& suite, const wchar_t* marker,
                       const fs::path& workingFolder, const fs::path& output)
{
    win32::UniqueKernelObject process;
    StartChild(program, suite, marker, workingFolder, output, process);
    ASSERT_TRUE(process);
    ASSERT_EQ(::WaitForSingleObject(process.Get(), 30000), WAIT_OBJECT_0);
    DWORD status = 0;
    ASSERT_TRUE(::GetExitCodeProcess(process.Get(), &status));
    EXPECT_EQ(status, 0u) << FileBytes(output);
}

// The library is loaded from the system folder only: without it there, a
// copy of this program with the stand-in beside it, started in a folder that
// holds the stand-in too, finds none, and says what is missing.
TEST(RapiLibraryMissingTest, NeverLoadsTheLibraryFromTheWorkingFolderNorBesideTheProgram)
{
    constexpr const wchar_t* kMarker = L"KESTRANE_TEST_MISSING_CHILD";
    if (IsChild(kMarker)) {
        try {
            ThreadPump pump;
            RapiDevice::Load(pump);
            FAIL() << "rapi.dll was loaded from outside the system folder";
        } catch (const JobError& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find("handheld connection library rapi.dll"), std::string::npos) << message;
            EXPECT_NE(message.find("Windows Mobile Device Center"), std::string::npos) << message;
            const std::string reason = win32::SystemErrorText(ERROR_MOD_NOT_FOUND);
            EXPECT_NE(message.find(reason), std::string::npos) << message;
        }
        return;
    }

    ScratchFolder scratch;
    const SystemLibrarySetAside setAside(scratch.Path() / "working");
    const fs::path programFolder = scratch.Path() / "program";
    fs::create_directories(programFolder);
    const fs::path copy = programFolder / ThisProgram().filename();
    fs::copy_file(ThisProgram(), copy);
    fs::copy_file(setAside.Aside(), programFolder / kLibraryName);
    ExpectChildPasses(copy, L"RapiLibraryMissingTest", kMarker, setAside.Aside().parent_path(),
                      scratch.Path() / "child.txt");
}

// A library of that name that lacks a function is named with the function:
// the system folder's rapi.dll offers only CeRapiInit, as one too old to
// start a connection without blocking.
TEST(RapiLibraryIncompleteTest, NamesTheLibraryAndTheFunctionItLacks)
{
    constexpr const wchar_t* kMarker = L"KESTRANE_TEST_INCOMPLETE_CHILD";
    if (IsChild(kMarker)) {
        try {
            ThreadPump pump;
            RapiDevice::Load(pump);
            FAIL() << "a rapi.dll without CeRapiInitEx was accepted";
        } catch (const JobError& error) {
            const std::string message = error.what();
            const std::string named =
                "library " + win32::Narrow(SystemLibrary().wstring()) + " lacks the function CeRapiInitEx";
            EXPECT_NE(message.find(named), std::string::npos) << message;
            EXPECT_NE(message.find("Nothing was taken from the handheld"), std::string::npos) << message;
        }
        return;
    }

    ScratchFolder scratch;
    const SystemLibrarySetAside setAside(scratch.Path() / "aside",
                                         ThisProgram().parent_path() / "rapi_incomplete.dll");
    ExpectChildPasses(ThisProgram(), L"RapiLibraryIncompleteTest", kMarker, scratch.Path(),
                      scratch.Path() / "child.txt");
}

}  // namespace
}  // namespace kestrane
