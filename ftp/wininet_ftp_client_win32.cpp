#include "ftp/wininet_ftp_client_win32.h"

#include "common/scope_exit.h"
#include "common/win32_support.h"
#include "common/worker_task.h"
#include "ftp/file_transfer.h"
#include "ftp/ftp_failures.h"
#include "ftp/ftp_replies.h"
#include "ftp/ftp_time_limits.h"
#include "ftp/worker_ftp_client.h"

#include <wininet.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrane {
namespace {

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

// The first buffer offered for the server's last reply. Windows says when a
// reply needs more room, and the call is made again with that much. Wine's
// WinINet keeps a thread's last reply in a buffer of this size and copies as
// many bytes as the caller's buffer holds: a larger first buffer would make it
// read past its own.
constexpr DWORD kReplyBufferBytes = 1460;
// The longest current folder (PWD) the listing fallback can return to.
constexpr DWORD kFolderBufferChars = 1024;
constexpr char kAgent[] = "Kestrane";

// WinINet's own time limits, a backstop below the job's: a call that the
// client has given up on still ends by itself, and its worker with it.
constexpr DWORD kWinInetConnectTimeoutMs = 20'000;  // each attempt to connect
constexpr DWORD kWinInetConnectAttempts = 2;
constexpr DWORD kWinInetTransferTimeoutMs = 45'000;  // each send or receive, commands and data alike
static_assert(std::chrono::milliseconds(kWinInetConnectTimeoutMs * kWinInetConnectAttempts)
              < kConnectTimeLimit);
static_assert(std::chrono::milliseconds(kWinInetTransferTimeoutMs) < kStallTimeLimit);

std::string SystemText(std::uint32_t code)
{
    return win32::SystemErrorText(code);
}

std::string Describe(DWORD code)
{
    return DescribeFailure(code, SystemText);
}

// The server's last reply as WinINet keeps it for this thread, and the
// WinINet error kept with it.
struct KeptReply {
    DWORD error = 0;
    std::string text;
};

KeptReply LastKeptReply()
{
    // One byte more than offered, always zero: Wine measures the copied reply
    // with strlen.
    std::string text(kReplyBufferBytes + 1, '\0');
    DWORD length = kReplyBufferBytes;
    DWORD error = 0;
    if (!::InternetGetLastResponseInfoA(&error, text.data(), &length)) {
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return {};
        }
        // length is now the room the reply needs, without its terminating zero.
        text.assign(length + 1, '\0');
        length = static_cast<DWORD>(text.size());
        if (!::InternetGetLastResponseInfoA(&error, text.data(), &length)) {
            return {};
        }
    }
    text.resize(std::min<std::size_t>(length, text.size()));
    return {error, text};
}

// A WinINet call that just failed on this thread: its error code, and the
// server's reply when that reply refused something. An operation runs on a
// thread of its own, and reads the reply to each of its calls right after it.
CallFailure LastCallFailure(const std::string& password)
{
    const DWORD code = ::GetLastError();
    const KeptReply kept = LastKeptReply();
    // Wine's WinINet can lose the thread's error code to the socket calls it
    // makes after a failure; it keeps its own copy with the reply.
    return FailureOf(code == ERROR_SUCCESS ? kept.error : code, kept.text, password);
}

// What the commands of a connection have left the server set to, so that
// none is sent twice.
struct ServerState {
    bool binary = false;                    // TYPE I is in force
    bool sizeUnsupported = false;           // SIZE got 500 or 502: listings tell
    std::optional<std::string> homeFolder;  // where the login left the connection
};

// The handles of one connection, shared by the client and its worker threads.
//
// A handle may be closed only while no call is being made on it (Microsoft's
// InternetCloseHandle). So a worker's operation runs as a Use of the
// connection, and the handles are closed by whoever comes last: the client,
// when it ends the connection between two operations, or the worker, as it
// leaves an operation the client gave up on while it was blocked in a call.
class Connection {
public:
    enum class Slot { internet, session, transfer };

    // One worker's operation on the connection, from its start to its end.
    class Use {
    public:
        // Throws when the connection was given up before the operation began.
        explicit Use(Connection& connection) : connection_(connection)
        {
            std::lock_guard lock(connection_.mutex_);
            if (connection_.givenUp_) {
                throw ConnectionEnded();
            }
            connection_.inUse_ = true;
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        ~Use()
        {
            bool givenUp = false;
            {
                std::lock_guard lock(connection_.mutex_);
                connection_.inUse_ = false;
                givenUp = connection_.givenUp_;
            }
            if (givenUp) {
                connection_.Close();
            }
        }

    private:
        Connection& connection_;
    };

    // Only the worker of the moment uses it: a worker that is given up ends
    // the connection, and no later one uses this connection.
    ServerState server;

    // Keeps a handle that a worker has just opened. False when the
    // connection has been given up meanwhile: the worker should stop.
    bool Keep(Slot slot, HINTERNET handle)
    {
        std::lock_guard lock(mutex_);
        handles_[static_cast<std::size_t>(slot)] = UniqueInternet(handle);
        return !givenUp_;
    }

    // The logged-in session; throws once the connection has been given up.
    HINTERNET Session()
    {
        std::lock_guard lock(mutex_);
        const HINTERNET session = handles_[static_cast<std::size_t>(Slot::session)].Get();
        if (session == nullptr || givenUp_) {
            throw ConnectionEnded();
        }
        return session;
    }

    bool GivenUp()
    {
        std::lock_guard lock(mutex_);
        return givenUp_;
    }

    // Hands the open remote file or listing over to the caller, who closes it.
    UniqueInternet TakeTransfer()
    {
        std::lock_guard lock(mutex_);
        return std::move(handles_[static_cast<std::size_t>(Slot::transfer)]);
    }

    // Gives the connection up. True when no worker is in an operation on
    // it: the caller then closes it. Otherwise the worker does, as it leaves.
    bool GiveUp()
    {
        std::lock_guard lock(mutex_);
        givenUp_ = true;
        return !inUse_;
    }

    // Closes the handles, the transfer first, then the session (which sends
    // QUIT and may wait for the server's answer), then WinINet itself.
    void Close()
    {
        std::array<UniqueInternet, 3> handles;
        {
            std::lock_guard lock(mutex_);
            handles.swap(handles_);
        }
        for (auto slot = handles.rbegin(); slot != handles.rend(); ++slot) {
            slot->Reset();
        }
    }

private:
    std::mutex mutex_;
    bool inUse_ = false;
    bool givenUp_ = false;
    std::array<UniqueInternet, 3> handles_;
};

// The result of an operation that returns nothing: a Task needs a value type.
using NoResult = std::monostate;

// --- What the workers do. They hold only shared state and their own copies.

// Sets WinINet's own time limits on its handle, which the connections
// made through it inherit.
void SetTimeLimits(HINTERNET internet)
{
    const std::pair<DWORD, DWORD> limits[] = {
        {INTERNET_OPTION_CONNECT_TIMEOUT, kWinInetConnectTimeoutMs},
        {INTERNET_OPTION_CONNECT_RETRIES, kWinInetConnectAttempts},
        {INTERNET_OPTION_CONTROL_SEND_TIMEOUT, kWinInetTransferTimeoutMs},
        {INTERNET_OPTION_CONTROL_RECEIVE_TIMEOUT, kWinInetTransferTimeoutMs},
        {INTERNET_OPTION_DATA_SEND_TIMEOUT, kWinInetTransferTimeoutMs},
        {INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, kWinInetTransferTimeoutMs},
    };
    for (auto [option, value] : limits) {
        // Only a backstop: where WinINet does not take a limit (Wine ignores
        // some), the job's own limits, which the client keeps anyway, remain.
        static_cast<void>(::InternetSetOptionA(internet, option, &value, sizeof value));
    }
}

NoResult ConnectAndLogIn(Connection& connection, const HostAndPort& address, const std::string& user,
                         const std::string& password)
{
    HINTERNET internet = ::InternetOpenA(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    win32::ThrowLastErrorIf(internet == nullptr, [](DWORD code) {
        return FtpError(FtpFailureKind::Other, "WinINet could not start: " + Describe(code));
    });
    if (!connection.Keep(Connection::Slot::internet, internet)) {
        throw ConnectionEnded();
    }
    SetTimeLimits(internet);
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

// Closes the open remote file, which ends the data connection and reads the
// server's final reply. WinINet may report success although the server
// refused the transfer at its end (a 4xx or 5xx), or although the connection
// was lost before any reply (Wine), so both are checked as well.
void FinishTransfer(Connection& connection, const std::string& remotePath, const std::string& refused,
                    const std::string& password)
{
    UniqueInternet finished = connection.TakeTransfer();
    if (!finished) {
        throw ConnectionEnded();
    }
    ::SetLastError(ERROR_SUCCESS);
    const BOOL closed = ::InternetCloseHandle(finished.Release());
    const DWORD closeError = ::GetLastError();
    const CallFailure verdict = LastCallFailure(password);
    if (!closed || IsConnectionLost(closeError)) {
        throw FtpError(KindOf({closeError, verdict.replyCode, verdict.reply}),
                       "the server did not confirm " + remotePath + ": " + Describe(closeError),
                       verdict.reply);
    }
    if (!verdict.reply.empty()) {
        throw FtpError(FtpFailureKind::Refused, refused + remotePath, verdict.reply);
    }
}

// Opens a remote file for a binary transfer (TYPE I, PASV, then RETR or
// STOR) and keeps it as the connection's transfer.
HINTERNET OpenRemoteFile(Connection& connection, const std::string& remotePath, DWORD access,
                         const std::string& refused, const std::string& password)
{
    connection.server.binary = false;
    HINTERNET remote = ::FtpOpenFileA(connection.Session(), remotePath.c_str(), access,
                                      FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD, 0);
    if (remote == nullptr) {
        const CallFailure failure = LastCallFailure(password);
        if (!failure.reply.empty()) {
            throw FtpError(FtpFailureKind::Refused, refused + remotePath, failure.reply);
        }
        throw FtpError(KindOf(failure),
                       "the transfer of " + remotePath + " could not start: " + Describe(failure.code));
    }
    connection.server.binary = true;
    if (!connection.Keep(Connection::Slot::transfer, remote)) {
        throw ConnectionEnded();
    }
    return remote;
}

// A transfer whose call just failed. The server's reply to that call (a 552
// in the middle of an upload) is the thread's only until its next WinINet
// call, so it is read first. Closing the remote file then reads the server's
// last word on the transfer (a 426). Of the two, the reply with a code counts.
FtpError BrokeOff(Connection& connection, const std::string& remotePath, std::optional<DWORD> code,
                  const std::string& password)
{
    const CallFailure failed = LastCallFailure(password);
    connection.TakeTransfer().Reset();
    const CallFailure closed = LastCallFailure(password);
    const CallFailure& refusal = failed.replyCode != 0 ? failed : closed;
    const DWORD brokenBy = code.value_or(failed.code);
    return FtpError(KindOf({brokenBy, refusal.replyCode, refusal.reply}),
                    "the transfer of " + remotePath + " broke off: " + Describe(brokenBy), refusal.reply);
}

// Sends the local file, of size bytes, telling the task how many it has sent.
NoResult SendFile(Connection& connection, TaskState& task, InputFile& local, std::uint64_t size,
                  const std::string& remotePath, const std::string& password)
{
    // The open remote file is closed when the worker leaves, whichever way.
    const ScopeExit closeTransfer([&connection] { connection.TakeTransfer(); });
    const HINTERNET remote =
        OpenRemoteFile(connection, remotePath, GENERIC_WRITE, "the server refused to store ", password);
    Progress sending{0, size};
    task.MadeProgress(sending);

    SendLocalFile(local, sending, task, [&](std::string_view chunk) {
        for (std::size_t sent = 0; sent < chunk.size();) {
            DWORD written = 0;
            ::SetLastError(ERROR_SUCCESS);
            const BOOL wrote = ::InternetWriteFile(remote, chunk.data() + sent,
                                                   static_cast<DWORD>(chunk.size() - sent), &written);
            if (!wrote || written == 0) {
                // A write that moved nothing, or failed without saying why,
                // lost its connection.
                const bool said = !wrote && ::GetLastError() != ERROR_SUCCESS;
                throw BrokeOff(connection, remotePath,
                               said ? std::nullopt : std::optional<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED),
                               password);
            }
            if (connection.GivenUp()) {
                throw ConnectionEnded();
            }
            sent += written;
            // A chunk that goes out in pieces is still moving.
            task.MadeProgress();
        }
    });
    FinishTransfer(connection, remotePath, "the server did not accept ", password);
    return {};
}

// Receives the remote file, telling the task how many bytes have come: of
// a size it does not know.
NoResult ReceiveFile(Connection& connection, TaskState& task, OutputFile& local,
                     const std::string& remotePath, const std::string& password)
{
    const ScopeExit closeTransfer([&connection] { connection.TakeTransfer(); });
    const HINTERNET remote =
        OpenRemoteFile(connection, remotePath, GENERIC_READ, "the server refused to send ", password);
    Progress receiving{0, 0};
    task.MadeProgress(receiving);

    std::vector<char> chunk(kTransferChunkBytes);
    for (;;) {
        DWORD got = 0;
        if (!::InternetReadFile(remote, chunk.data(), static_cast<DWORD>(chunk.size()), &got)) {
            throw BrokeOff(connection, remotePath, std::nullopt, password);
        }
        if (got == 0) {
            break;
        }
        KeepReceived(local, std::string_view(chunk.data(), got), receiving, task);
    }
    FinishTransfer(connection, remotePath, "the server did not finish sending ", password);
    CommitReceived(local);
    return {};
}

// Sends one command on the control connection (FtpCommand, no data
// connection) and returns the server's reply, a refusal too, for the caller
// to judge by its code. Throws when no reply came. InternetGetLastResponseInfo
// gives the reply to a command that succeeded as well; should it give none,
// a size goes unread and a listing tells instead.
std::string Command(HINTERNET session, const std::string& command, const std::string& password)
{
    HINTERNET data = nullptr;
    const BOOL accepted = ::FtpCommandA(session, FALSE, FTP_TRANSFER_TYPE_BINARY, command.c_str(), 0, &data);
    // WinINet opens no data connection for a command that expects none.
    const UniqueInternet unexpected(data);
    if (accepted) {
        return Trimmed(LastKeptReply().text);
    }
    const CallFailure failure = LastCallFailure(password);
    if (failure.replyCode == 0) {
        throw FtpError(KindOf(failure), "the server did not answer " + command.substr(0, command.find(' '))
                                            + ": " + Describe(failure.code));
    }
    return failure.reply;
}

// Makes binary (TYPE I) the transfer type: some servers refuse SIZE in ASCII
// mode, and in ASCII mode a size would count converted line ends.
void UseBinaryType(Connection& connection, const std::string& password)
{
    if (connection.server.binary) {
        return;
    }
    const std::string reply = Command(connection.Session(), "TYPE I", password);
    if (IsRefusal(ReplyCode(reply))) {
        throw FtpError(FtpFailureKind::Refused, "the server refused binary transfers", reply);
    }
    connection.server.binary = true;
}

// Lists the current remote folder, handing each entry to visit until it
// returns true. The listing has no search string, so
// what a name holds (blanks, '[', '*') never reaches WinINet's wildcard rules.
// `listed` names what is listed, for an error.
template <typename Visit>
void VisitListing(Connection& connection, TaskState& task, const std::string& listed, const std::string& password,
                  Visit visit)
{
    // WinINet lists in ASCII mode.
    connection.server.binary = false;
    WIN32_FIND_DATAA found{};
    HINTERNET listing = ::FtpFindFirstFileA(connection.Session(), nullptr, &found,
                                            INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (listing == nullptr) {
        const CallFailure failure = LastCallFailure(password);
        // An empty folder: an empty listing, or a 550 from some servers.
        if (failure.code == ERROR_NO_MORE_FILES || NothingThere(failure.replyCode)) {
            return;
        }
        throw FtpError(KindOf(failure), "the server could not list " + listed + ": " + Describe(failure.code),
                       failure.reply);
    }
    // The listing is closed when the worker leaves, whichever way.
    const ScopeExit closeTransfer([&connection] { connection.TakeTransfer(); });
    if (!connection.Keep(Connection::Slot::transfer, listing)) {
        throw ConnectionEnded();
    }
    do {
        task.MadeProgress();
        if (visit(found)) {
            return;
        }
    } while (::InternetFindNextFileA(listing, &found));
    const DWORD code = ::GetLastError();
    if (code != ERROR_NO_MORE_FILES) {
        throw FtpError(KindOf({code, 0, {}}), "the server could not list " + listed + ": " + Describe(code));
    }
}

// The size of a file named `name` in a listing of the current remote folder,
// or nothing without one.
std::optional<std::uint64_t> FindInListing(Connection& connection, TaskState& task, const std::string& name,
                                           const std::string& remotePath, const std::string& password)
{
    std::optional<std::uint64_t> size;
    VisitListing(connection, task, "the folder of " + remotePath, password, [&](const WIN32_FIND_DATAA& found) {
        if (std::string_view(found.cFileName) != name) {
            return false;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            throw FtpError(FtpFailureKind::Other, "the server holds a folder named " + remotePath);
        }
        size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        return true;
    });
    return size;
}

// The folder the login left the connection in, asked once (PWD).
std::string HomeFolder(Connection& connection, const std::string& password)
{
    if (!connection.server.homeFolder) {
        std::array<char, kFolderBufferChars + 1> folder{};
        DWORD length = kFolderBufferChars;
        if (!::FtpGetCurrentDirectoryA(connection.Session(), folder.data(), &length)) {
            const CallFailure failure = LastCallFailure(password);
            throw FtpError(KindOf(failure),
                           "the server did not tell its current folder: " + Describe(failure.code),
                           failure.reply);
        }
        connection.server.homeFolder = std::string(folder.data());
    }
    return *connection.server.homeFolder;
}

// The server's refusal of a folder that it does not have.
struct NoSuchFolder {
    std::string reply;
};

// Runs work in a remote folder: the connection changes into it (CWD), and
// back to where the login left it whichever way work ends. "" is the current
// folder, which needs no change. Returns the refusal, with nothing run, when
// the server has no such folder (550).
template <typename Work>
std::optional<NoSuchFolder> RunInFolder(Connection& connection, const std::string& folder,
                                        const std::string& password, Work work)
{
    if (folder.empty()) {
        work();
        return std::nullopt;
    }
    const std::string home = HomeFolder(connection, password);
    if (!::FtpSetCurrentDirectoryA(connection.Session(), folder.c_str())) {
        const CallFailure failure = LastCallFailure(password);
        if (NothingThere(failure.replyCode)) {
            return NoSuchFolder{failure.reply};
        }
        throw FtpError(KindOf(failure),
                       "the server could not open the folder " + folder + ": " + Describe(failure.code),
                       failure.reply);
    }
    std::exception_ptr workFailure;
    try {
        work();
    } catch (...) {
        workFailure = std::current_exception();
    }
    // Every remote path is relative to where the login left the connection.
    // Without the way back, no later file can go where it belongs, so that
    // failure stops the work of this connection (it carries no reply to be
    // judged by).
    if (!::FtpSetCurrentDirectoryA(connection.Session(), home.c_str())) {
        const CallFailure failure = LastCallFailure(password);
        throw FtpError(KindOf(failure),
                       "the server did not let Kestrane back into the folder " + home + ": "
                           + (failure.reply.empty() ? Describe(failure.code) : failure.reply));
    }
    if (workFailure) {
        std::rethrow_exception(workFailure);
    }
    return std::nullopt;
}

// The size of a remote file by a listing of its folder itself.
std::optional<std::uint64_t> ListedSize(Connection& connection, TaskState& task,
                                        const std::string& remotePath, const std::string& password)
{
    const RemoteLocation location = SplitRemotePath(remotePath);
    std::optional<std::uint64_t> size;
    if (RunInFolder(connection, location.folder, password,
                    [&] { size = FindInListing(connection, task, location.name, remotePath, password); })) {
        return std::nullopt;  // no such folder, so no such file in it
    }
    return size;
}

// Lists a remote folder to its end.
NoResult ListWholeFolder(Connection& connection, TaskState& task, const std::string& folder,
                         const std::string& password)
{
    const std::string listed = RemoteFolderName(folder);
    const std::optional<NoSuchFolder> missing = RunInFolder(connection, folder, password, [&] {
        VisitListing(connection, task, listed, password, [](const WIN32_FIND_DATAA&) { return false; });
    });
    if (missing) {
        throw FtpError(FtpFailureKind::Refused, "the server has no folder " + folder, missing->reply);
    }
    return {};
}

// The size of a remote file, or nothing when there is none: SIZE where the
// server answers it, otherwise a listing of the file's folder.
std::optional<std::uint64_t> RemoteSize(Connection& connection, TaskState& task,
                                        const std::string& remotePath, const std::string& password)
{
    if (!connection.server.sizeUnsupported) {
        UseBinaryType(connection, password);
        const SizeReply reply = ReadSizeReply(Command(connection.Session(), "SIZE " + remotePath, password));
        switch (reply.answer) {
        case SizeAnswer::Size:
            return reply.size;
        case SizeAnswer::NoSuchFile:
            return std::nullopt;
        case SizeAnswer::Unsupported:
            connection.server.sizeUnsupported = true;
            break;
        case SizeAnswer::Unclear:
            break;
        }
    }
    return ListedSize(connection, task, remotePath, password);
}

// Runs work on the worker as a Use of the connection, so that the
// connection's handles are never closed under it.
template <typename Work> auto InUse(std::shared_ptr<Connection> connection, Work work)
{
    return [connection = std::move(connection), work = std::move(work)](TaskState& task) {
        const Connection::Use use(*connection);
        return work(*connection, task);
    };
}

// --- The client, on the calling (window) thread.

class WinInetFtpClient final : public WorkerFtpClient {
public:
    WinInetFtpClient(MessagePump& pump, LocalFiles& files, Clock& clock) : WorkerFtpClient(pump, files, clock)
    {
    }
    ~WinInetFtpClient() override { Disconnect(); }

private:
    Operation<NoResult> LogIn(const FtpAccount& account) override
    {
        // WinINet's FTP has no TLS: a location that asks for it is never
        // served in clear, not even its user name.
        if (account.server.tls != FtpTls::None) {
            throw FtpError(FtpFailureKind::Security, "WinINet cannot connect to the server over TLS");
        }
        password_ = account.password;
        connection_ = std::make_shared<Connection>();
        return InUse(connection_, [account](Connection& connection, TaskState&) {
            return ConnectAndLogIn(connection, account.server, account.user, account.password);
        });
    }

    Operation<NoResult> Store(std::shared_ptr<InputFile> local, std::uint64_t size,
                              const std::string& remotePath) override
    {
        return InUse(connection_, [local, size, remotePath, password = password_](Connection& connection,
                                                                                  TaskState& self) {
            return SendFile(connection, self, *local, size, remotePath, password);
        });
    }

    Operation<std::optional<std::uint64_t>> Size(const std::string& remotePath) override
    {
        return InUse(connection_,
                     [remotePath, password = password_](Connection& connection, TaskState& self) {
                         return RemoteSize(connection, self, remotePath, password);
                     });
    }

    Operation<NoResult> Retrieve(const std::string& remotePath, std::shared_ptr<OutputFile> local) override
    {
        return InUse(connection_,
                     [local, remotePath, password = password_](Connection& connection, TaskState& self) {
                         return ReceiveFile(connection, self, *local, remotePath, password);
                     });
    }

    Operation<NoResult> List(const std::string& folder) override
    {
        return InUse(connection_, [folder, password = password_](Connection& connection, TaskState& self) {
            return ListWholeFolder(connection, self, folder, password);
        });
    }

    // Closing a session sends QUIT and may wait for the server's answer,
    // which a hung server never gives: a worker closes it. A worker blocked
    // in a call on the connection closes it itself, as it leaves.
    std::function<void()> LetGo() noexcept override
    {
        const std::shared_ptr<Connection> connection = std::move(connection_);
        if (!connection || !connection->GiveUp()) {
            return {};
        }
        return [connection] { connection->Close(); };
    }

    // A handle may not be closed under a call: the worker blocked in one
    // leaves when WinINet's own time limits end it, and LetGo has it close
    // the connection then.
    void Abandon() noexcept override {}

    std::string password_;
    std::shared_ptr<Connection> connection_;
};

}  // namespace

std::unique_ptr<FtpClient> MakeWinInetFtpClient(MessagePump& pump, LocalFiles& files, Clock& clock)
{
    return std::make_unique<WinInetFtpClient>(pump, files, clock);
}

}  // namespace kestrane
