// In-memory stand-ins for the job's services, with fault and crash injection.
//
// A CrashPlan shared by the fakes counts their calls and throws
// SimulatedCrash at the chosen one, leaving their state as it was at that
// moment. MemoryFiles::PowerCut() then loses what a power cut loses: every
// byte written to a file since it was last committed, and a new file that
// was neither committed nor renamed altogether, its name with it. What was
// committed, renamed or removed stays, and the next run starts from it.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "common/local_files.h"
#include "common/random_source.h"
#include "device/remote_device.h"
#include "ftp/ftp_client.h"
#include "store/run_log.h"

#include <climits>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrane::testing {

// Deliberately not a std::exception: no handler in the program may catch it.
struct SimulatedCrash {
    std::string where;
};

class CrashPlan {
public:
    // Crash at the call numbered `at` (0 is the first); negative: never.
    void CrashAt(long at) { countdown_ = at; }
    void Step(const std::string& where);
    long StepsTaken() const { return steps_; }

private:
    long countdown_ = -1;
    long steps_ = 0;
};

// Bytes 0..255 in a pattern that does not repeat every 256 bytes, so that a
// byte lost, doubled or moved shows.
std::string PatternBytes(std::size_t size);

// ---------------------------------------------------------------- files

class MemoryFiles final : public LocalFiles {
public:
    explicit MemoryFiles(CrashPlan* plan = nullptr) : plan_(plan) {}

    std::map<std::string, std::string> contents;
    // Writes to these names fail once the file would grow past the limit.
    std::map<std::string, std::size_t> diskFullAt;
    // Names that cannot be created or written at all (no permission).
    std::set<std::string> readOnly;
    // Names that cannot be read.
    std::set<std::string> unreadable;
    // Names that cannot be removed.
    std::set<std::string> removeFails;
    // Names that another program holds open, sharing nothing, for longer
    // than the program waits for them: while such a file exists, opening,
    // creating, renaming or removing it fails.
    std::set<std::string> heldByAnotherProgram;
    // Every name ever opened for reading, in order.
    std::vector<std::string> reads;

    bool Exists(const std::string& name) override;
    std::uint64_t Size(const std::string& name) override;
    std::unique_ptr<InputFile> OpenForReading(const std::string& name) override;
    std::unique_ptr<OutputFile> CreateForWriting(const std::string& name) override;
    void Append(const std::string& name, std::string_view bytes) override;
    void Rename(const std::string& from, const std::string& to, bool replaceExisting) override;
    void Remove(const std::string& name) override;
    std::vector<std::string> ListWithSuffix(const std::string& suffix) override;

    // Loses every write not yet committed: such a file is left empty, as
    // after a power cut that came before its data reached the disk, or is
    // gone when it was new and its name had not reached the disk either.
    void PowerCut();

    void Step(const std::string& where)
    {
        if (plan_ != nullptr) {
            plan_->Step(where);
        }
    }

    // Called by an output file: its writes are not durable until Committed().
    void Written(const std::string& name) { uncommitted_.insert(name); }
    void Committed(const std::string& name)
    {
        uncommitted_.erase(name);
        unnamed_.erase(name);
    }

private:
    // Throws the sharing violation of a file another program holds.
    void FailIfHeld(const std::string& name) const;

    CrashPlan* plan_;
    std::set<std::string> uncommitted_;
    // New files whose name is not yet on the disk: a commit, a rename or a
    // removal puts it there.
    std::set<std::string> unnamed_;
};

// ---------------------------------------------------------------- handheld

class FakeDevice final : public RemoteDevice {
public:
    explicit FakeDevice(CrashPlan* plan = nullptr) : plan_(plan) {}

    std::map<std::u16string, std::string> files;
    std::vector<std::string> journal;  // call names in order, e.g. "CeReadFile"

    std::int32_t initStatus = 0;
    // The start with this number (1 is the first) fails with initStatus
    // instead of all of them: the handheld is undocked after that many.
    int initFailsFrom = 1;
    // The user closes the window while CeRapiInit waits for the handheld.
    bool closeWhileWaiting = false;
    // The read with this number (1 is the first of the run) fails with readFailCode.
    int readFailAt = 0;
    std::uint32_t readFailCode = 0;
    // CeGetFileSize fails, as on a handheld that cannot tell a file's size.
    bool sizeUnknown = false;
    // Opening a file for reading fails with this code, when set.
    std::uint32_t openForReadFailCode = 0;
    bool failCreateForWrite = false;
    bool failWrite = false;
    // A write reports success but takes at most this many bytes.
    std::optional<std::uint32_t> writeAtMost;
    bool failDelete = false;
    // CeMoveFile fails with this code, when set.
    std::uint32_t moveFailCode = 0;
    // The handheld is taken out of its dock at the first call of this name:
    // that call and every later one fail over the broken link. CeRapiGetError
    // then reports kLinkBroken, while CeGetLastError still gives the
    // handheld's last error, which says nothing of these calls.
    std::string undockAt;
    // When set, the handheld is taken out at this call (1 is the first),
    // whatever its name, in the same way.
    std::size_t undockAtCall = 0;
    static constexpr std::int32_t kLinkBroken = static_cast<std::int32_t>(0x8007048F);
    bool connected = false;

    std::int32_t CeRapiInit() override;
    std::int32_t CeRapiUninit() override;
    DeviceHandle CeFindFirstFile(const std::u16string& path) override;
    bool CeFindClose(DeviceHandle search) override;
    DeviceHandle CeCreateFile(const std::u16string& path, std::uint32_t access, std::uint32_t shareMode,
                              std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override;
    bool CeReadFile(DeviceHandle file, void* buffer, std::uint32_t bytesToRead,
                    std::uint32_t& bytesRead) override;
    bool CeWriteFile(DeviceHandle file, const void* buffer, std::uint32_t bytesToWrite,
                     std::uint32_t& bytesWritten) override;
    std::uint32_t CeGetFileSize(DeviceHandle file, std::uint32_t& sizeHigh) override;
    std::uint32_t CeGetLastError() override { return lastError_; }
    std::int32_t CeRapiGetError() override { return linkError_; }
    bool CeCloseHandle(DeviceHandle file) override;
    bool CeDeleteFile(const std::u16string& path) override;
    bool CeMoveFile(const std::u16string& existingPath, const std::u16string& newPath) override;

    std::size_t OpenHandles() const { return open_.size(); }
    int Calls(const std::string& name) const;

private:
    struct OpenFile {
        std::u16string path;
        std::size_t position = 0;
        bool writing = false;
    };
    bool Fail(std::uint32_t code);
    bool IsOpen(const std::u16string& path) const;
    // Journals the call; false when the handheld has been taken out, the
    // call's failure then recorded as the link's.
    bool Enter(const std::string& name);

    CrashPlan* plan_;
    std::map<DeviceHandle, OpenFile> open_;
    DeviceHandle nextHandle_ = 100;
    std::uint32_t lastError_ = 0;
    std::int32_t linkError_ = 0;
    bool undocked_ = false;
    int reads_ = 0;
};

// ---------------------------------------------------------------- FTP

// Where the server deals out a failure: as the client connects, before the
// login; or in an upload, before its first byte, once half of it has
// arrived, or once all of it has (as a 426 after the last byte).
enum class FtpStage { Connect, PutStart, PutMidway, PutEnd };

struct DealtFailure {
    FtpStage at;
    FtpError error;
    int times = 1;  // the calls it fails, from the next one on
    // How long the server keeps the client waiting before the failure.
    SteadyClock::duration after{};
};
inline constexpr int kEveryTime = INT_MAX;

struct FakeFtpServer {
    std::map<std::string, std::string> files;  // remote path -> contents
    std::vector<std::string> journal;          // operations in order
    std::string acceptedUser = "user";
    std::string acceptedPassword = "secret";
    bool refuseConnection = false;
    bool neverAnswer = false;          // the connection attempt never completes
    std::string storReply;             // when set, every upload is refused with it
    std::map<std::string, std::string> storReplyFor;  // remote path -> the reply refusing it
    std::size_t storeOnly = SIZE_MAX;  // keep only this many bytes, yet report success
    bool failListing = false;
    std::set<std::string> missingFolders;  // every other folder is there
    std::string loginRefusal = "530 Login incorrect.";
    // Dealt out before any of the faults above, the first that fits a stage.
    std::vector<DealtFailure> failures;
    // When each connection attempt began.
    std::vector<SteadyClock::time_point> connectsAt;
};

class FakeFtpClient final : public FtpClient {
public:
    // Connecting pumps the window's messages and, against a server that never
    // answers, gives up once the connect time limit has passed on clock.
    FakeFtpClient(FakeFtpServer& server, LocalFiles& localFiles, MessagePump& pump, Clock& clock,
                  CrashPlan* plan = nullptr) :
        server_(server),
        files_(localFiles),
        pump_(pump),
        clock_(clock),
        plan_(plan)
    {
    }

    void Connect(const FtpAccount& account) override;
    void PutFile(const std::string& localName, const std::string& remotePath) override;
    std::optional<std::uint64_t> RemoteFileSize(const std::string& remotePath) override;
    void GetFile(const std::string& remotePath, const std::string& localName) override;
    void ListFolder(const std::string& folder) override;
    void Disconnect() override;

    std::string host, user, password;

private:
    void Step(const std::string& where);
    // Throws the failure the server deals out at this stage, if any.
    void Deal(FtpStage stage);

    FakeFtpServer& server_;
    LocalFiles& files_;
    MessagePump& pump_;
    Clock& clock_;
    CrashPlan* plan_;
    bool connected_ = false;
};

// ---------------------------------------------------------------- clock, window

class FakeClock final : public Clock {
public:
    LocalTime now{2001, 11, 9, 5, 7};
    SteadyClock::time_point steady{};

    LocalTime Now() override { return now; }
    SteadyClock::time_point SteadyNow() override { return steady; }
    // Moves both clocks on; the calendar by whole minutes as they pass.
    void Advance(std::chrono::milliseconds by);

private:
    std::chrono::milliseconds pending_{0};
};

// Draws the same fraction every time.
class FakeRandom final : public RandomSource {
public:
    double fraction = 0.5;

    double Fraction() override { return fraction; }
};

// Keeps every record of the run log.
class FakeRunLog final : public RunLog {
public:
    std::vector<std::string> records;

    void Record(const std::string& text) noexcept override { records.push_back(text); }
};

class FakeWindow final : public JobWindow {
public:
    explicit FakeWindow(FakeClock& clock) : clock_(clock) {}

    std::vector<std::string> log;
    struct Message {
        std::string text;
        MessageKind kind;
    };
    std::vector<Message> messages;
    int pumps = 0;
    // When set, the user closes the window at this pump.
    int closeAtPump = 0;
    // Every progress report, in order.
    std::vector<Progress> progress;
    // When set, the user closes the window at this progress report.
    std::size_t closeAtProgress = 0;
    // Whether the job says it moves data now; and the log's last line each
    // time it began to.
    bool moving = false;
    std::vector<std::string> movingFrom;

    void LogLine(const std::string& line) override { log.push_back(line); }
    void ShowMessage(const std::string& text, MessageKind kind) override { messages.push_back({text, kind}); }
    // Each pump stands for 100 ms of waiting.
    void PumpMessages() override;
    void ReportProgress(const Progress& report) override;
    void MovingData(bool now) noexcept override
    {
        if (now && !moving) {
            movingFrom.push_back(log.empty() ? std::string() : log.back());
        }
        moving = now;
    }

private:
    FakeClock& clock_;
};

}  // namespace kestrane::testing
