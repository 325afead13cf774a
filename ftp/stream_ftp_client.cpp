#include "ftp/stream_ftp_client.h"

#include "ftp/ftp_failures.h"
#include "ftp/ftp_time_limits.h"
#include "ftp/worker_ftp_client.h"

#include <functional>
#include <string>

namespace kestrane {
namespace {

// A worker left behind by a client that gave up still ends by the
// transport's own limit, before the client's would have run out.
static_assert(kTransportIdleLimit < kStallTimeLimit && kTransportIdleLimit < kConnectTimeLimit);

// Each connection is a session over a transport of its own. A worker holds
// only the session, the transport and the local file, through shared
// pointers, so that one left behind touches nothing of the client's.
class StreamFtpClient final : public WorkerFtpClient {
public:
    StreamFtpClient(TransportFactory transports, FtpTls tls, MessagePump& pump, LocalFiles& files,
                    Clock& clock) :
        WorkerFtpClient(pump, files, clock),
        transports_(std::move(transports)),
        tls_(tls)
    {
    }
    ~StreamFtpClient() override { Disconnect(); }

private:
    Operation<NoResult> LogIn(const FtpAccount& account) override
    {
        try {
            transport_ = transports_();
        } catch (const NetError& error) {
            throw NetFailureOf(error);
        }
        if (!transport_) {
            throw OtherFailure("no connection to the server can be made here");
        }
        session_ = std::make_shared<FtpSession>(transport_, account, tls_);
        return [session = session_](TaskState&) {
            session->LogIn();
            return NoResult{};
        };
    }

    Operation<NoResult> Store(std::shared_ptr<InputFile> local, std::uint64_t size,
                              const std::string& remotePath) override
    {
        return [session = session_, local, size, remotePath](TaskState& self) {
            session->Store(*local, size, remotePath, self);
            return NoResult{};
        };
    }

    Operation<std::optional<std::uint64_t>> Size(const std::string& remotePath) override
    {
        return
            [session = session_, remotePath](TaskState& self) { return session->FileSize(remotePath, self); };
    }

    Operation<NoResult> Retrieve(const std::string& remotePath, std::shared_ptr<OutputFile> local) override
    {
        return [session = session_, local, remotePath](TaskState& self) {
            session->Retrieve(remotePath, *local, self);
            return NoResult{};
        };
    }

    Operation<NoResult> List(const std::string& folder) override
    {
        return [session = session_, folder](TaskState& self) {
            session->ListFolder(folder, self);
            return NoResult{};
        };
    }

    std::function<void()> LetGo() noexcept override
    {
        std::function<void()> goodbye;
        if (session_ && session_->Usable()) {
            goodbye = [session = session_] { session->Quit(); };
        }
        session_.reset();
        transport_.reset();
        return goodbye;
    }

    // The transport's abort frees a worker that waits for the server.
    void Abandon() noexcept override
    {
        if (transport_) {
            transport_->Abort();
        }
        session_.reset();
        transport_.reset();
    }

    TransportFactory transports_;
    const FtpTls tls_;
    std::shared_ptr<Transport> transport_;
    std::shared_ptr<FtpSession> session_;
};

}  // namespace

std::unique_ptr<FtpClient> MakeStreamFtpClient(TransportFactory transports, FtpTls tls, MessagePump& pump,
                                               LocalFiles& files, Clock& clock)
{
    return std::make_unique<StreamFtpClient>(std::move(transports), tls, pump, files, clock);
}

}  // namespace kestrane
