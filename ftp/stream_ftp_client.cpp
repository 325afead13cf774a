#include "ftp/stream_ftp_client.h"

#include "common/worker_task.h"
#include "ftp/ftp_failures.h"
#include "ftp/ftp_time_limits.h"

#include <string>
#include <system_error>
#include <variant>

namespace kestrane {
namespace {

// A worker left behind by a client that gave up still ends by the
// transport's own limit, before the client's would have run out.
static_assert(kTransportIdleLimit < kStallTimeLimit && kTransportIdleLimit < kConnectTimeLimit);

// The result of an operation that returns nothing: a Task needs a value type.
using NoResult = std::monostate;

// "60 seconds", for the errors that say a time limit ran out.
std::string Seconds(std::chrono::seconds limit)
{
    return std::to_string(limit.count()) + " seconds";
}

// The client, on the calling (window) thread. A worker holds only the
// session, the transport and the local file, through shared pointers, so
// that one left behind touches nothing of the client's.
class StreamFtpClient final : public FtpClient {
public:
    StreamFtpClient(TransportFactory transports, FtpTls tls, MessagePump& pump, LocalFiles& files,
                    Clock& clock) :
        transports_(std::move(transports)),
        tls_(tls),
        pump_(pump),
        files_(files),
        clock_(clock)
    {
    }
    StreamFtpClient(const StreamFtpClient&) = delete;
    StreamFtpClient& operator=(const StreamFtpClient&) = delete;
    ~StreamFtpClient() override { Disconnect(); }

    void Connect(const FtpAccount& account) override
    {
        Disconnect();
        try {
            transport_ = transports_();
        } catch (const NetError& error) {
            throw NetFailureOf(error);
        }
        if (!transport_) {
            throw OtherFailure("no connection to the server can be made here");
        }
        session_ = std::make_shared<FtpSession>(transport_, account, tls_);
        auto task = std::make_shared<Task<NoResult>>();
        Start(task, [session = session_](TaskState&) {
            session->LogIn();
            return NoResult{};
        });
        try {
            // Connecting tells no progress, so the limit runs from the start.
            Await(task, kConnectTimeLimit,
                  "no answer within " + Seconds(kConnectTimeLimit) + " while connecting and logging in");
        } catch (...) {
            Disconnect();
            throw;
        }
        connected_ = true;
    }

    void PutFile(const std::string& localName, const std::string& remotePath) override
    {
        RequireConnection();
        std::shared_ptr<InputFile> local;
        std::uint64_t size = 0;
        try {
            local = files_.OpenForReading(localName);
            size = files_.Size(localName);
        } catch (const FileError& error) {
            throw LocalFileFailure(error, "opened");
        }
        auto task = std::make_shared<Task<NoResult>>();
        Start(task, [session = session_, local, size, remotePath](TaskState& self) {
            session->Store(*local, size, remotePath, self);
            return NoResult{};
        });
        Await(task, kStallTimeLimit,
              "the transfer of " + remotePath + " stalled: no data moved for " + Seconds(kStallTimeLimit));
    }

    std::optional<std::uint64_t> RemoteFileSize(const std::string& remotePath) override
    {
        RequireConnection();
        auto task = std::make_shared<Task<std::optional<std::uint64_t>>>();
        Start(task, [session = session_, remotePath](TaskState& self) {
            return session->FileSize(remotePath, self);
        });
        return Await(task, kStallTimeLimit,
                     "the server did not tell about " + remotePath + " within " + Seconds(kStallTimeLimit));
    }

    void GetFile(const std::string& remotePath, const std::string& localName) override
    {
        RequireConnection();
        std::shared_ptr<OutputFile> local;
        try {
            local = files_.CreateForWriting(localName);
        } catch (const FileError& error) {
            throw LocalFileFailure(error, "created");
        }
        auto task = std::make_shared<Task<NoResult>>();
        Start(task, [session = session_, local, remotePath](TaskState& self) {
            session->Retrieve(remotePath, *local, self);
            return NoResult{};
        });
        Await(task, kStallTimeLimit,
              "the transfer of " + remotePath + " stalled: no data moved for " + Seconds(kStallTimeLimit));
    }

    void ListFolder(const std::string& folder) override
    {
        RequireConnection();
        auto task = std::make_shared<Task<NoResult>>();
        Start(task, [session = session_, folder](TaskState& self) {
            session->ListFolder(folder, self);
            return NoResult{};
        });
        Await(task, kStallTimeLimit,
              "the server did not list " + RemoteFolderName(folder) + " within " + Seconds(kStallTimeLimit));
    }

    void Disconnect() noexcept override
    {
        connected_ = false;
        if (session_ && session_->Usable()) {
            // QUIT on the worker, which is left to finish on its own: a
            // server slow to answer never holds up the window, and the
            // transport's own limit ends the wait at the latest.
            try {
                auto task = std::make_shared<Task<NoResult>>();
                worker_.Start(task, [session = session_](TaskState&) {
                    session->Quit();
                    return NoResult{};
                });
            } catch (const std::system_error&) {
                // No thread to spare: the connection closes without a goodbye.
            }
        }
        session_.reset();
        transport_.reset();
        worker_.Release(SteadyClock::duration::zero());
    }

private:
    void RequireConnection()
    {
        if (!connected_) {
            throw OtherFailure("the connection to the server is not open");
        }
    }

    template <typename Result, typename Work> void Start(const std::shared_ptr<Task<Result>>& task, Work work)
    {
        try {
            worker_.Start(task, std::move(work));
        } catch (const std::system_error& error) {
            throw OtherFailure(std::string("no worker thread could be started: ") + error.what());
        }
    }

    // Waits for the worker while the window's messages are pumped. Gives
    // the operation up when the window is closed (WindowClosed goes on) or
    // when nothing has moved for the limit (FtpError says `stalled`).
    template <typename Result>
    Result Await(const std::shared_ptr<Task<Result>>& task, SteadyClock::duration limit,
                 const std::string& stalled)
    {
        return AwaitTask(
            worker_, *task, pump_, clock_, limit, [this] { GiveUp(); },
            [&] { return ConnectionLost(stalled); });
    }

    // Ends the session at once: the transport's abort frees a worker that
    // waits for the server, and that worker is left to finish on its own.
    void GiveUp() noexcept
    {
        connected_ = false;
        if (transport_) {
            transport_->Abort();
        }
        session_.reset();
        transport_.reset();
        worker_.Release(SteadyClock::duration::zero());
    }

    TransportFactory transports_;
    const FtpTls tls_;
    MessagePump& pump_;
    LocalFiles& files_;
    Clock& clock_;
    bool connected_ = false;
    std::shared_ptr<Transport> transport_;
    std::shared_ptr<FtpSession> session_;
    WorkerThread worker_;
};

}  // namespace

std::unique_ptr<FtpClient> MakeStreamFtpClient(TransportFactory transports, FtpTls tls, MessagePump& pump,
                                               LocalFiles& files, Clock& clock)
{
    return std::make_unique<StreamFtpClient>(std::move(transports), tls, pump, files, clock);
}

}  // namespace kestrane
