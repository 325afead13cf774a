#include "ftp/wininet_ftp_client_win32.h"

#include "common/scope_exit.h"
#include "common/win32_support.h"

#include <wininet.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

namespace kestrane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using win32::UniqueFile;
using win32::UniqueInternet;

// How long Disconnect waits for a worker after closing the handles it is blocked on.
constexpr auto kWorkerExitWait = 2s;
// How long the waiting thread waits for the worker between two calls to the message pump.
constexpr auto kWaitSlice = 10ms;
// Upload chunk: small enough that progress is seen often on a slow line.
constexpr DWORD kChunkBytes = 32 * 1024;
// Wine's WinINet keeps a thread's last reply in a buffer of this size and copies
// as many bytes as the caller's buffer holds: a larger buffer would make it read
// past its own.
constexpr DWORD kReplyBufferBytes = 1460;
constexpr char kPasswordMask[] = "********";
constexpr char kAgent[] = "Kestrane";

std::int64_t MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The three-digit code that starts a server reply, or 0.
int ReplyCode(const std::string& reply)
{
    if (reply.size() < 3 || !std::isdigit(static_cast<unsigned char>(reply[0]))
        || !std::isdigit(static_cast<unsigned char>(reply[1]))
        || !std::isdigit(static_cast<unsigned char>(reply[2]))) {
        return 0;
    }
    return std::stoi(reply.substr(0, 3));
}

bool IsRefusal(int replyCode)
{
    return replyCode >= 400 && replyCode < 600;
}

std::string Lowercase(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// A listing refused because the path does not exist, as servers word it.
bool SaysNoSuchFile(const std::string& reply)
{
    const int code = ReplyCode(reply);
    if (code != 450 && code != 550) {
        return false;
    }
    const std::string text = Lowercase(reply);
    return text.find("no such file") != std::string::npos || text.find("not found") != std::string::npos
           || text.find("does not exist") != std::string::npos;
}

std::string WithoutPassword(std::string text, const std::string& password)
{
    if (password.empty()) {
        return text;
    }
    for (auto at = text.find(password); at != std::string::npos; at = text.find(password, at)) {
        text.replace(at, password.size(), kPasswordMask);
        at += sizeof kPasswordMask - 1;
    }
    return text;
}

// A WinINet call that just failed on this thread: its error code, and the
// server's reply when that reply refused something (4xx or 5xx). WinINet keeps
// the last reply of the thread, so after a broken connection it may hold a
// stale preliminary or success reply, which would only mislead. Each operation
// runs on a thread of its own, so no reply of an earlier one can turn up here.
struct CallFailure {
    DWORD code = 0;
    std::string reply;
};

CallFailure LastCallFailure(const std::string& password)
{
    CallFailure failure{::GetLastError(), {}};
    std::array<char, kReplyBufferBytes + 1> text{};
    DWORD length = kReplyBufferBytes;
    DWORD replyError = 0;
    if (!::InternetGetLastResponseInfoA(&replyError, text.data(), &length)) {
        return failure;
    }
    // Wine's WinINet can lose the thread's error code to the socket calls it
    // makes after a failure; it keeps its own copy with the reply.
    if (failure.code == ERROR_SUCCESS) {
        failure.code = replyError;
    }
    const std::string reply = Trimmed(std::string(text.data(), std::min(length, kReplyBufferBytes)));
    if (IsRefusal(ReplyCode(reply))) {
        failure.reply = WithoutPassword(reply, password);
    }
    return failure;
}

std::string Describe(DWORD code)
{
    switch (code) {
    case ERROR_INTERNET_TIMEOUT:
        return "the server did not answer in time";
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
        return "the server name could not be found";
    case ERROR_INTERNET_CANNOT_CONNECT:
    case WSAECONNREFUSED:
        return "the connection was refused";
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case WSAECONNABORTED:
        return "the connection was broken off";
    case ERROR_INTERNET_CONNECTION_RESET:
    case WSAECONNRESET:
        return "the connection was reset";
    case ERROR_FTP_DROPPED:
    // Wine reports a control connection that the server closed with this
    // code; our operations never overlap, so it cannot mean what its name says.
    case ERROR_FTP_TRANSFER_IN_PROGRESS:
        return "the server closed the connection";
    case ERROR_INTERNET_LOGIN_FAILURE:
        return "the server refused the login";
    case ERROR_INTERNET_EXTENDED_ERROR:
        return "the server refused the request";
    case ERROR_INVALID_HANDLE:
    case ERROR_INTERNET_OPERATION_CANCELLED:
        return "the connection was closed";
    default:
        return win32::SystemErrorText(code);
    }
}

bool IsConnectionLost(DWORD code)
{
    return code == ERROR_INTERNET_CONNECTION_ABORTED || code == ERROR_INTERNET_CONNECTION_RESET
           || code == ERROR_FTP_DROPPED || code == ERROR_FTP_TRANSFER_IN_PROGRESS;
}

std::string AddressText(const HostAndPort& address)
{
    return address.host + ":" + std::to_string(address.port);
}

FtpError ConnectFailure(const CallFailure& failure, const HostAndPort& address)
{
    const int replyCode = ReplyCode(failure.reply);
    if (replyCode == 421) {
        return FtpError("the server refused the connection", failure.reply);
    }
    // Connecting exchanges only the banner, USER and PASS: any other refusal refuses the login.
    if (failure.code == ERROR_INTERNET_LOGIN_FAILURE || IsRefusal(replyCode)) {
        return FtpError("the server refused the login", failure.reply);
    }
    switch (failure.code) {
    case ERROR_INTERNET_TIMEOUT:
        return FtpError("no FTP server answered at " + AddressText(address));
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
        return FtpError("the server name " + address.host + " could not be found");
    default:
        return FtpError(Describe(failure.code), failure.reply);
    }
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

// The part of a worker's task that the waiting thread watches.
class TaskState {
public:
    bool WaitFor(Clock::duration limit)
    {
        std::unique_lock lock(mutex_);
        return signal_.wait_for(lock, limit, [this] { return finished_; });
    }

    bool Finished()
    {
        std::lock_guard lock(mutex_);
        return finished_;
    }

    void MadeProgress() { lastProgress_ = Clock::now(); }
    std::int64_t MillisecondsWithoutProgress() const { return MillisecondsSince(lastProgress_.load()); }

protected:
    std::mutex mutex_;
    std::condition_variable signal_;
    bool finished_ = false;

private:
    std::atomic<Clock::time_point> lastProgress_{Clock::now()};
};

// One operation on a worker thread, shared with the thread that waits for it.
template <typename Result> class Task final : public TaskState {
public:
    // Runs work(*this) and records its result or the exception it threw, so
    // that no exception leaves the worker thread.
    template <typename Work> void Run(Work& work) noexcept
    {
        std::exception_ptr failure;
        Result result{};
        try {
            result = work(*this);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard lock(mutex_);
            result_ = std::move(result);
            failure_ = failure;
            finished_ = true;
        }
        signal_.notify_all();
    }

    // The result, or the worker's exception rethrown. Only once Finished().
    Result Outcome()
    {
        std::lock_guard lock(mutex_);
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        return result_;
    }

private:
    Result result_{};
    std::exception_ptr failure_;
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
        throw ConnectFailure(LastCallFailure(password), address);
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

bool NamesPath(const char* listedName, const std::string& remotePath)
{
    const std::string name(listedName);
    const auto slash = remotePath.find_last_of("/\\");
    return name == remotePath || (slash != std::string::npos && name == remotePath.substr(slash + 1));
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
        if (failure.code == ERROR_NO_MORE_FILES || SaysNoSuchFile(failure.reply)) {
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
        JoinWorker();
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
            if (worker_.joinable()) {
                // A worker blocked in WinINet may not notice the closed handles
                // (Wine ignores them until its socket gives up): it is left to
                // finish on its own, holding nothing but shared state.
                if (workerTask_->WaitFor(kWorkerExitWait)) {
                    worker_.join();
                } else {
                    worker_.detach();
                }
            }
        } catch (...) {
            // Ending a connection must not fail the caller: a worker that could
            // not be waited for is left to die with the process.
            if (worker_.joinable()) {
                worker_.detach();
            }
        }
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
        JoinWorker();
        try {
            worker_ = std::thread([task, work = std::move(work)]() mutable { task->Run(work); });
        } catch (const std::system_error& error) {
            throw FtpError(std::string("no worker thread could be started: ") + error.what());
        }
        workerTask_ = task;
    }

    void JoinWorker()
    {
        if (worker_.joinable()) {
            worker_.join();
        }
    }

    // Waits for the worker while the window's messages are pumped. Gives the
    // operation up, ending the connection, when the window is closed or when
    // nothing has moved for kStallTimeLimitMs.
    template <typename Result>
    Result Await(const std::shared_ptr<Task<Result>>& task, const std::string& activity,
                 const std::string& stalled)
    {
        while (!task->WaitFor(kWaitSlice)) {
            if (!pumpMessages_()) {
                Disconnect();
                throw FtpError("the window was closed while Kestrane was " + activity);
            }
            if (task->MillisecondsWithoutProgress() >= kStallTimeLimitMs) {
                Disconnect();
                throw FtpError(stalled);
            }
        }
        JoinWorker();
        return task->Outcome();
    }

    std::function<bool()> pumpMessages_;
    std::string host_;
    std::string user_;
    std::string password_;
    bool unusableAddress_ = false;
    std::shared_ptr<Connection> connection_;
    std::shared_ptr<Task<Done>> connecting_;
    std::thread worker_;
    std::shared_ptr<TaskState> workerTask_;
};

}  // namespace

std::unique_ptr<FtpClient> MakeWinInetFtpClient(std::function<bool()> pumpMessages)
{
    return std::make_unique<WinInetFtpClient>(std::move(pumpMessages));
}

}  // namespace kestrane
