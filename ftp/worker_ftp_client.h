// What both FTP clients share: each operation is made ready on the calling
// (window) thread, runs on a worker thread, and is waited for while the
// window keeps answering and shows how far a transfer has got. Both time
// limits of ftp/ftp_time_limits.h are kept here, on the clock; an operation
// given up (the window closed, or a limit run out) ends the connection, and
// its worker is left to finish on its own. Local files are opened here,
// through the LocalFiles given, so they share its habits.
//
// A client supplies the operations and the ways to end its connection.
// Each operation must hold only its own copies, or state shared through
// shared pointers, since a worker left behind may outlive the client.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "common/local_files.h"
#include "common/worker_task.h"
#include "ftp/ftp_client.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace kestrane {

class WorkerFtpClient : public FtpClient {
public:
    WorkerFtpClient(const WorkerFtpClient&) = delete;
    WorkerFtpClient& operator=(const WorkerFtpClient&) = delete;

    void Connect(const FtpAccount& account) final;
    void PutFile(const std::string& localName, const std::string& remotePath) final;
    std::optional<std::uint64_t> RemoteFileSize(const std::string& remotePath) final;
    void GetFile(const std::string& remotePath, const std::string& localName) final;
    void ListFolder(const std::string& folder) final;
    void Disconnect() noexcept final;

protected:
    // The result of an operation that returns nothing.
    using NoResult = std::monostate;
    // One operation, as the worker runs it.
    template <typename Result> using Operation = std::function<Result(TaskState&)>;

    WorkerFtpClient(MessagePump& pump, LocalFiles& files, Clock& clock);
    // A client's destructor calls Disconnect(), which needs its connection.
    ~WorkerFtpClient() override = default;

    // Sets up a new connection to the account and returns what connects and
    // logs in. Throws FtpError when no connection can be made at all.
    virtual Operation<NoResult> LogIn(const FtpAccount& account) = 0;
    virtual Operation<NoResult> Store(std::shared_ptr<InputFile> local, std::uint64_t size,
                                      const std::string& remotePath) = 0;
    virtual Operation<std::optional<std::uint64_t>> Size(const std::string& remotePath) = 0;
    virtual Operation<NoResult> Retrieve(const std::string& remotePath,
                                         std::shared_ptr<OutputFile> local) = 0;
    virtual Operation<NoResult> List(const std::string& folder) = 0;

    // Lets go of the connection while no operation runs. Returns the goodbye
    // (QUIT, closing handles), which a worker runs and is left to finish, so
    // that a server slow to answer never holds up the window; or nothing.
    virtual std::function<void()> LetGo() noexcept = 0;
    // Ends the connection under an operation that is given up, so that its
    // worker, blocked on the server, ends too where the connection allows.
    virtual void Abandon() noexcept = 0;

private:
    template <typename Result>
    Result Run(Operation<Result> operation, SteadyClock::duration limit, const std::string& stalled);
    void GiveUp() noexcept;
    void RequireConnection() const;

    MessagePump& pump_;
    LocalFiles& files_;
    Clock& clock_;
    bool connected_ = false;
    WorkerThread worker_;
};

}  // namespace kestrane
