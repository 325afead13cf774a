#include "ftp/worker_ftp_client.h"

#include "ftp/ftp_failures.h"
#include "ftp/ftp_replies.h"
#include "ftp/ftp_time_limits.h"

#include <system_error>
#include <utility>

namespace kestrane {
namespace {

// "60 seconds", for the errors that say a time limit ran out.
std::string Seconds(std::chrono::seconds limit)
{
    return std::to_string(limit.count()) + " seconds";
}

std::string TransferStalled(const std::string& remotePath)
{
    return "the transfer of " + remotePath + " stalled: no data moved for " + Seconds(kStallTimeLimit);
}

}  // namespace

WorkerFtpClient::WorkerFtpClient(MessagePump& pump, LocalFiles& files, Clock& clock) :
    pump_(pump),
    files_(files),
    clock_(clock)
{
}

void WorkerFtpClient::Connect(const FtpAccount& account)
{
    Disconnect();
    try {
        // Connecting tells no progress, so the limit runs from the start.
        Run(LogIn(account), kConnectTimeLimit,
            "no answer within " + Seconds(kConnectTimeLimit) + " while connecting and logging in");
    } catch (...) {
        Disconnect();
        throw;
    }
    connected_ = true;
}

void WorkerFtpClient::PutFile(const std::string& localName, const std::string& remotePath)
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
    Run(Store(std::move(local), size, remotePath), kStallTimeLimit, TransferStalled(remotePath));
}

std::optional<std::uint64_t> WorkerFtpClient::RemoteFileSize(const std::string& remotePath)
{
    RequireConnection();
    return Run(Size(remotePath), kStallTimeLimit,
               "the server did not tell about " + remotePath + " within " + Seconds(kStallTimeLimit));
}

void WorkerFtpClient::GetFile(const std::string& remotePath, const std::string& localName)
{
    RequireConnection();
    std::shared_ptr<OutputFile> local;
    try {
        local = files_.CreateForWriting(localName);
    } catch (const FileError& error) {
        throw LocalFileFailure(error, "created");
    }
    Run(Retrieve(remotePath, std::move(local)), kStallTimeLimit, TransferStalled(remotePath));
}

void WorkerFtpClient::ListFolder(const std::string& folder)
{
    RequireConnection();
    Run(List(folder), kStallTimeLimit,
        "the server did not list " + RemoteFolderName(folder) + " within " + Seconds(kStallTimeLimit));
}

void WorkerFtpClient::Disconnect() noexcept
{
    connected_ = false;
    if (const std::function<void()> goodbye = LetGo()) {
        try {
            auto task = std::make_shared<Task<NoResult>>();
            worker_.Start(task, [goodbye](TaskState&) {
                goodbye();
                return NoResult{};
            });
        } catch (const std::system_error&) {
            // No thread to spare: the connection ends without a goodbye.
        }
    }
    worker_.Release(SteadyClock::duration::zero());
}

template <typename Result>
Result WorkerFtpClient::Run(Operation<Result> operation, SteadyClock::duration limit,
                            const std::string& stalled)
{
    auto task = std::make_shared<Task<Result>>();
    try {
        worker_.Start(task, std::move(operation));
    } catch (const std::system_error& error) {
        throw OtherFailure(std::string("no worker thread could be started: ") + error.what());
    }
    return AwaitTask(
        worker_, *task, pump_, clock_, limit, [this] { GiveUp(); },
        [&stalled] { return ConnectionLost(stalled); });
}

// Ends the connection at once, and leaves the worker to finish on its own.
void WorkerFtpClient::GiveUp() noexcept
{
    Abandon();
    worker_.Release(SteadyClock::duration::zero());
    Disconnect();
}

void WorkerFtpClient::RequireConnection() const
{
    if (!connected_) {
        throw ConnectionLost("the connection to the server is not open");
    }
}

}  // namespace kestrane
