#include "ftp/wininet_ftp_client_win32.h"

#include "common/scope_exit.h"
#include "common/win32_support.h"
#include "common/worker_task.h"
#include "ftp/ftp_replies.h"
#include "ftp/ftp_time_limits.h"

#include <wininet.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

namespace kestrane {
namespace {

using namespace std::chrono_literals;
using win32::UniqueFile;
using win32::UniqueInternet;

// The portable reply rules name these codes by number.
static_assert(failure_code::kInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(failure_code::kSocketConnectionAborted == WSAECONNABORTED);
static_assert(failure_code::kSocketConnectionReset == WSAECONNRESET);
static_assert(failure_code::kSocketConnectionRefused == WSAECONNREFUSED);
static_assert(failure_code::kInternetTimeout == ERROR_INTERNET_TIMEOUT);
static_assert(failure_code::kInternetExtendedError == ERROR_INTERNET_EXTENDED_ERROR);
static_assert(failure_code::kInternetNameNotResolved == ERROR_INTERNET_NAME_NOT_RESOLVED);
static_assert(failure_code::kInternetLoginFailure == ERROR_INTERNET_LOGIN_FAILURE);
static_assert(failure_code::kInternetOperationCancelled == ERROR_INTERNET_OPERATION_CANCELLED);
static_assert(failure_code::kInternetCannotConnect == ERROR_INTERNET_CANNOT_CONNECT);
static_assert(failure_code::kInternetConnectionAborted == ERROR_INTERNET_CONNECTION_ABORTED);
static_assert(failure_code::kInternetConnectionReset == ERROR_INTERNET_CONNECTION_RESET);
static_assert(failure_code::kFtpTransferInProgress == ERROR_FTP_TRANSFER_IN_PROGRESS);
static_assert(failure_code::kFtpDropped == ERROR_FTP_DROPPED);

// How long Disconnect waits for a worker after closing the handles it is blocked on.
constexpr auto kWorkerExitWait = 2s;
// Upload chunk: small enough that progress is seen often on a slow line.
constexpr DWORD kChunkBytes = 32 * 1024;
// Wine's WinINet keeps a thread's last reply in a buffer of this size and copies
// as many bytes as the caller's buffer holds: a larger buffer would make it read
// past its own.
constexpr DWORD kReplyBufferBytes = 1460;
constexpr char kAgent[] = "Kestrane";

std::string SystemText(std::uint32_t code)
{
    return win32::SystemErrorText(code);
}

std::string Describe(DWORD code)
{
    return DescribeFailure(code, SystemText);
}

// A WinINet call that just failed on this thread: its error code, and the
// server's reply when that reply refused something. Each operation runs on a
// thread of its own, so no reply of an earlier one can turn up here.
CallFailure LastCallFailure(const std::string& password)
{
    const DWORD code = ::GetLastError();
    std::array<char, kReplyBufferBytes + 1> text{};
    DWORD length = kReplyBufferBytes;
    DWORD replyError = 0;
    if (!::InternetGetLastResponseInfoA(&replyError, text.data(), &length)) {
        CallFailure failure;
        failure.code = code;
        return failure;
    }
    // Wine's WinINet can lose the thread's error code to the socket calls it
    // makes after a failure; it keeps its own copy with the reply.
    return FailureOf(code == ERROR_SUCCESS ? replyError : code,
                     std::string(text.data(), std::min(length, kReplyBufferBytes)), password);
}

// Builds the error for a call on the local file to be sent that failed with a code.
auto LocalFileFailure(const std::string& localName, const char* failedTo)
{
    return [&localName, failedTo](DWORD code) {
        return FtpError("the file " + localName + " could not be " + failedTo + ": "
                        + win32::SystemErrorText(code));
    };
}

FtpError ConnectionEnded()
{
    return FtpError("the connection to the server has ended");
}

// The handles of one connection, shared by the client and its worker threads.
// Whoever ends the connection closes them; a call still blocked on one of them
// in a worker then fails (on Windows at once, under Wine when its socket gives up).
class Connection {
public:
    enum class Slot { internet, session, transfer };

    // Keeps a handle that a worker has just opened, unless the connection has
    // ended meanwhile: then the handle is closed and the result is false.
    bool Keep(Slot slot, HINTERNET handle)
    {
        UniqueInternet owned(handle);
        std::lock_guard lock(mutex_);
        if (ended_) {
            return false;
        }
        handles_[static_cast<std::size_t>(slot)] = std::move(owned);
        return true;
    }

    HINTERNET Session()
    {
        std::lock_guard lock(mutex_);
        return handles_[static_cast<std::size_t>(Slot::session)].Get();
    }

    // Hands the open remote file or listing over to the caller, who closes it.
    UniqueInternet TakeTransfer()
    {
        std::lock_guard lock(mutex_);
        return std::move(handles_[static_cast<std::size_t>(Slot::transfer)]);
    }

    void End()
    {
        std::array<UniqueInternet, 3> handles;
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
            handles.swap(handles_);
        }
        // Closed outside the lock, the transfer first, then the session, then
        // WinINet itself: closing may wait for the server.
        for (auto slot = handles.rbegin(); slot != handles.rend(); ++slot) {
            slot->Reset();
        }
    }

private:
    std::mutex mutex_;
    bool ended_ = false;
    std::array<UniqueInternet, 3> handles_;
};

using Done = std::monostate;

// --- What the workers do. They hold only shared state and their own copies.

Done ConnectAndLogIn(Connection& connection, const HostAndPort& address, const std::string& user,
                     const std::string& password)
{
    HINTERNET internet = ::InternetOpenA(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    win32::ThrowLastErrorIf(internet == nullptr, [](DWORD code) {
        return FtpError("WinINet could not start: " + Describe(code));
    });
    if (!connection.Keep(Connection::Slot::internet, internet)) {
        throw ConnectionEnded();
    }
    HINTERNET session = ::InternetConnectA(internet, address.host.c_str(), address.port, user.c_str(),
                                           password.c_str(), INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0);
    if (session == nullptr) {
        throw ConnectFailure(LastCallFailure(password), address, SystemText);
    }
    if (!connection.Keep(Connection::Slot::session, session)) {
        throw ConnectionEnded();
    }
    return {};
}

Done SendFile(Connection& connection, TaskState& task, const UniqueFile& local, const std::string& localName,
              const std::string& remotePath, const std::string& password)
{
    const HINTERNET session = connection.Session();
    if (session == nullptr) {
        throw ConnectionEnded();
    }
    HINTERNET remote = ::FtpOpenFileA(session, remotePath.c_str(), GENERIC_WRITE,
                                      FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD, 0);
    if (remote == nullptr) {
        const CallFailure failure = LastCallFailure(password);
        if (!failure.reply.empty()) {
            throw FtpError("the server refused to store " + remotePath, failure.reply);
        }
        throw FtpError("the transfer of " + remotePath + " could not start: " + Describe(failure.code));
    }
    // The open remote file or listing is closed when the worker leaves, whichever way.
    const ScopeExit closeTransfer([&connection] { connection.TakeTransfer(); });
    if (!connection.Keep(Connection::Slot::transfer, remote)) {
        throw ConnectionEnded();
    }
    task.MadeProgress();

    std::vector<char> chunk(kChunkBytes);
    for (;;) {
        DWORD got = 0;
        win32::ThrowLastErrorIf(!::ReadFile(local.Get(), chunk.data(), kChunkBytes, &got, nullptr),
                                LocalFileFailure(localName, "read"));
        if (got == 0) {
            break;
        }
        for (DWORD sent = 0; sent < got;) {
            DWORD written = 0;
            const BOOL wrote = ::InternetWriteFile(remote, chunk.data() + sent, got - sent, &written);
            const DWORD writeError = ::GetLastError();
            if (!wrote || written == 0) {
                const DWORD code = wrote || writeError == ERROR_SUCCESS
                                       ? static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED)
                                       : writeError;
                // Closing the remote file reads the server's last word on the transfer.
                connection.TakeTransfer().Reset();
                throw FtpError("the transfer of " + remotePath + " broke off: " + Describe(code),
                               LastCallFailure(password).reply);
            }
            sent += written;
            task.MadeProgress();
        }
    }

    // Closing the remote file ends the data connection and reads the server's
    // final reply. WinINet may report success although the server refused the
    // file after the data (a 4xx or 5xx), or although the connection was lost
    // before any reply (Wine), so both are checked as well.
    UniqueInternet finished = connection.TakeTransfer();
    if (!finished) {
        throw ConnectionEnded();
    }
    ::SetLastError(ERROR_SUCCESS);
    const BOOL closed = ::InternetCloseHandle(finished.Release());
    const DWORD closeError = ::GetLastError();
    const std::string verdict = LastCallFailure(password).reply;
    if (!closed || IsConnectionLost(closeError)) {
        throw FtpError("the server did not confirm " + remotePath + ": " + Describe(closeError), verdict);
    }
    if (!verdict.empty()) {
        throw FtpError("the server did not accept " + remotePath, verdict);
    }
    return {};
}

std::optional<std::uint64_t> ListSize(Connection& connection, const std::string& remotePath,
                                      const std::string& password)
{
    const HINTERNET session = connection.Session();
    if (session == nullptr) {
        throw ConnectionEnded();
    }
    WIN32_FIND_DATAA found{};
    HINTERNET listing = ::FtpFindFirstFileA(session, remotePath.c_str(), &found,
                                            INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (listing == nullptr) {
        const CallFailure failure = LastCallFailure(password);
        if (failure.code == ERROR_NO_MORE_FILES || failure.noSuchFile) {
            return std::nullopt;
        }
        throw FtpError("the server could not list " + remotePath + ": " + Describe(failure.code),
                       failure.reply);
    }
    // The open remote file or listing is closed when the worker leaves, whichever way.
    const ScopeExit closeTransfer([&connection] { connection.TakeTransfer(); });
    if (!connection.Keep(Connection::Slot::transfer, listing)) {
        throw ConnectionEnded();
    }
    do {
        if (NamesPath(found.cFileName, remotePath)) {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                throw FtpError("the server holds a folder named " + remotePath);
            }
            return (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        }
    } while (::InternetFindNextFileA(listing, &found));
    const DWORD code = ::GetLastError();
    if (code != ERROR_NO_MORE_FILES) {
        throw FtpError("the server could not list " + remotePath + ": " + Describe(code));
    }
    return std::nullopt;
}

// --- The client, on the calling (window) thread.

class WinInetFtpClient final : public FtpClient {
public:
    explicit WinInetFtpClient(std::function<bool()> pumpMessages) : pumpMessages_(std::move(pumpMessages)) {}
    WinInetFtpClient(const WinInetFtpClient&) = delete;
    WinInetFtpClient& operator=(const WinInetFtpClient&) = delete;
    ~WinInetFtpClient() override { Disconnect(); }

    void SetHost(const std::string& host) override { host_ = host; }
    void SetUser(const std::string& user) override { user_ = user; }
    void SetPassword(const std::string& password) override { password_ = password; }

    void Connect() override
    {
        Disconnect();
        const auto address = SplitHostAndPort(host_);
        if (!address) {
            unusableAddress_ = true;
            return;
        }
        connection_ = std::make_shared<Connection>();
        connecting_ = std::make_shared<Task<Done>>();
        Start(connecting_, [connection = connection_, address = *address, user = user_, password = password_](
                               TaskState&) { return ConnectAndLogIn(*connection, address, user, password); });
    }

    bool IsConnected() override
    {
        if (unusableAddress_) {
            throw FtpError("the server address " + host_ + " does not end in a usable port number");
        }
        if (!connecting_ || !connecting_->Finished()) {
            return false;
        }
        worker_.Join();
        connecting_->Outcome();
        return true;
    }

    void PutFile(const std::string& localName, const std::string& remotePath) override
    {
        RequireConnection();
        UniqueFile local(::CreateFileA(localName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        win32::ThrowLastErrorIf(!local, LocalFileFailure(localName, "opened"));
        auto task = std::make_shared<Task<Done>>();
        Start(task, [connection = connection_, local = std::move(local), localName, remotePath,
                     password = password_](TaskState& self) {
            return SendFile(*connection, self, local, localName, remotePath, password);
        });
        Await(task, "sending " + remotePath,
              "the transfer of " + remotePath + " stalled: no data moved for "
                  + std::to_string(kStallTimeLimitMs / 1000) + " seconds");
    }

    std::optional<std::uint64_t> RemoteFileSize(const std::string& remotePath) override
    {
        RequireConnection();
        auto task = std::make_shared<Task<std::optional<std::uint64_t>>>();
        Start(task, [connection = connection_, remotePath, password = password_](TaskState&) {
            return ListSize(*connection, remotePath, password);
        });
        return Await(task, "checking " + remotePath + " on the server",
                     "the server did not list " + remotePath + " within "
                         + std::to_string(kStallTimeLimitMs / 1000) + " seconds");
    }

    void Disconnect() noexcept override
    {
        try {
            unusableAddress_ = false;
            connecting_.reset();
            if (connection_) {
                connection_->End();
                connection_.reset();
            }
        } catch (...) {
            // Ending a connection must not fail the caller.
        }
        // A worker blocked in WinINet may not notice the closed handles (Wine
        // ignores them until its socket gives up): it is left to finish on its
        // own, holding nothing but shared state.
        worker_.Release(kWorkerExitWait);
    }

private:
    void RequireConnection()
    {
        if (!IsConnected()) {
            throw FtpError("the connection to the server is not open");
        }
    }

    template <typename Result, typename Work> void Start(const std::shared_ptr<Task<Result>>& task, Work work)
    {
        try {
            worker_.Start(task, std::move(work));
        } catch (const std::system_error& error) {
            throw FtpError(std::string("no worker thread could be started: ") + error.what());
        }
    }

    // Waits for the worker while the window's messages are pumped. Gives the
    // operation up, ending the connection, when the window is closed or when
    // nothing has moved for the stall limit.
    template <typename Result>
    Result Await(const std::shared_ptr<Task<Result>>& task, const std::string& activity,
                 const std::string& stalled)
    {
        switch (WaitWhilePumping(*task, pumpMessages_, std::chrono::milliseconds(kStallTimeLimitMs))) {
        case WaitEnd::WindowClosed:
            Disconnect();
            throw FtpError("the window was closed while Kestrane was " + activity);
        case WaitEnd::Stalled:
            Disconnect();
            throw FtpError(stalled);
        case WaitEnd::Finished:
            break;
        }
        worker_.Join();
        return task->Outcome();
    }

    std::function<bool()> pumpMessages_;
    std::string host_;
    std::string user_;
    std::string password_;
    bool unusableAddress_ = false;
    std::shared_ptr<Connection> connection_;
    std::shared_ptr<Task<Done>> connecting_;
    WorkerThread worker_;
};

}  // namespace

std::unique_ptr<FtpClient> MakeWinInetFtpClient(std::function<bool()> pumpMessages)
{
    return std::make_unique<WinInetFtpClient>(std::move(pumpMessages));
}

}  // namespace kestrane
