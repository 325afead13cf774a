#include "tests/unit/scripted_transport.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace kestrane::testing {

// The server's side, shared by the transport and its connections, which the
// client uses on its worker while the test looks on.
struct ScriptedTransport::Server {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;

    std::vector<Exchange> script;
    std::size_t next = 0;                // the exchange to come
    std::size_t lastCommand = SIZE_MAX;  // the exchange of the last command played
    std::string toClient;                // sent on the control connection, not yet received
    bool controlClosed = false;
    bool controlOpened = false;

    std::size_t readSize = 0;
    std::size_t dataBreaksAfter = 0;
    std::string peerAddress;
    bool tlsFails = false;

    ScriptedTransport::Record seen;

    void ThrowIfAborted() const
    {
        if (seen.aborted) {
            throw NetError(NetFailure::Aborted, "aborted");
        }
    }

    // Sends what the server says unasked at this point of the script.
    void SpeakUnasked()
    {
        while (!seen.hanging && next < script.size() && script[next].command.empty()) {
            seen.hanging = script[next].hang;
            toClient += script[next++].reply;
        }
    }

    // Plays the exchange the client's line must be; a line off the script
    // breaks the connection.
    const Exchange& Play(const std::string& line)
    {
        if (next >= script.size() || script[next].command != line) {
            if (seen.mismatch.empty()) {
                seen.mismatch = "got " + line + " instead of "
                                + (next < script.size() ? script[next].command : std::string("the end"));
            }
            throw NetError(NetFailure::Broken, "the script did not expect " + line);
        }
        lastCommand = next;
        const Exchange& played = script[next++];
        toClient += played.reply;
        seen.hanging = played.hang;
        SpeakUnasked();
        changed.notify_all();
        return played;
    }

    std::size_t HandOver(std::string& from, char* buffer, std::size_t size) const
    {
        const std::size_t count = std::min({size, readSize, from.size()});
        std::copy_n(from.data(), count, buffer);
        from.erase(0, count);
        return count;
    }
};

namespace {

using Server = ScriptedTransport::Server;

void StartTlsFor(Server& server, std::vector<std::string>* record, const std::string& serverName)
{
    if (record != nullptr) {
        record->push_back(serverName);
    }
    if (server.tlsFails) {
        throw NetError(NetFailure::Security, "the server's certificate is not trusted");
    }
}

class ControlStream final : public ByteStream {
public:
    explicit ControlStream(std::shared_ptr<Server> server) : server_(std::move(server)) {}

    void Send(std::string_view bytes) override
    {
        std::lock_guard lock(server_->mutex);
        server_->ThrowIfAborted();
        line_.append(bytes);
        for (auto end = line_.find("\r\n"); end != std::string::npos; end = line_.find("\r\n")) {
            const std::string command = line_.substr(0, end);
            line_.erase(0, end + 2);
            server_->seen.sent.push_back(command);
            server_->Play(command);
        }
    }

    std::size_t Receive(char* buffer, std::size_t size) override
    {
        std::unique_lock lock(server_->mutex);
        server_->changed.wait(lock, [this] { return server_->seen.aborted || !server_->seen.hanging; });
        server_->ThrowIfAborted();
        // With nothing left to say, the server hangs up.
        return server_->HandOver(server_->toClient, buffer, size);
    }

    void StartTls(const std::string& serverName) override
    {
        std::lock_guard lock(server_->mutex);
        server_->ThrowIfAborted();
        server_->Play(kStartTls);
        StartTlsFor(*server_, nullptr, serverName);
    }

    std::string PeerAddress() const override { return server_->peerAddress; }

    void Close() noexcept override
    {
        std::lock_guard lock(server_->mutex);
        server_->controlClosed = true;
        server_->changed.notify_all();
    }

private:
    std::shared_ptr<Server> server_;
    std::string line_;  // the command line being sent
};

class DataStream final : public ByteStream {
public:
    explicit DataStream(std::shared_ptr<Server> server) : server_(std::move(server))
    {
        upload_ = server_->seen.uploads.size();
        server_->seen.uploads.emplace_back();
    }
    ~DataStream() override { Close(); }

    void Send(std::string_view bytes) override
    {
        std::lock_guard lock(server_->mutex);
        server_->ThrowIfAborted();
        std::string& upload = server_->seen.uploads[upload_];
        upload.append(bytes);
        if (upload.size() > server_->dataBreaksAfter) {
            upload.resize(server_->dataBreaksAfter);
            EndLocked();
            throw NetError(NetFailure::Broken, "the connection was reset");
        }
    }

    std::size_t Receive(char* buffer, std::size_t size) override
    {
        std::lock_guard lock(server_->mutex);
        server_->ThrowIfAborted();
        if (!bound_) {
            // The client sends the command before it reads what it brings.
            bound_ = true;
            toClient_ = server_->script.at(server_->lastCommand).data;
        }
        return server_->HandOver(toClient_, buffer, size);
    }

    void StartTls(const std::string& serverName) override
    {
        std::lock_guard lock(server_->mutex);
        server_->ThrowIfAborted();
        StartTlsFor(*server_, &server_->seen.dataTls, serverName);
    }

    std::string PeerAddress() const override { return server_->peerAddress; }

    void Close() noexcept override
    {
        std::lock_guard lock(server_->mutex);
        EndLocked();
    }

private:
    // The server's word on the transfer, once the connection has ended.
    void EndLocked()
    {
        if (!ended_ && server_->lastCommand < server_->script.size()) {
            server_->toClient += server_->script[server_->lastCommand].afterData;
        }
        ended_ = true;
    }

    std::shared_ptr<Server> server_;
    std::size_t upload_ = 0;
    bool bound_ = false;
    bool ended_ = false;
    std::string toClient_;
};

}  // namespace

std::vector<Exchange> Join(std::initializer_list<std::vector<Exchange>> parts)
{
    std::vector<Exchange> script;
    for (const std::vector<Exchange>& part : parts) {
        script.insert(script.end(), part.begin(), part.end());
    }
    return script;
}

Exchange DataCommand(const std::string& command, const std::string& data, const std::string& end)
{
    return {command, "150 File status okay. About to open data connection.\r\n", data, end};
}

ScriptedTransport::ScriptedTransport(std::vector<Exchange> script) : server_(std::make_shared<Server>())
{
    server_->script = std::move(script);
}

std::unique_ptr<ByteStream> ScriptedTransport::Connect(const std::string& host, std::uint16_t port)
{
    std::lock_guard lock(server_->mutex);
    server_->ThrowIfAborted();
    server_->readSize = readSize;
    server_->dataBreaksAfter = dataBreaksAfter;
    server_->peerAddress = peerAddress;
    server_->tlsFails = tlsFails;
    if (!server_->controlOpened) {
        server_->controlOpened = true;
        server_->SpeakUnasked();
        return std::make_unique<ControlStream>(server_);
    }
    server_->seen.dataConnections.push_back(host + ":" + std::to_string(port));
    return std::make_unique<DataStream>(server_);
}

void ScriptedTransport::Abort() noexcept
{
    std::lock_guard lock(server_->mutex);
    server_->seen.aborted = true;
    server_->changed.notify_all();
}

ScriptedTransport::Record ScriptedTransport::Seen() const
{
    std::lock_guard lock(server_->mutex);
    Record seen = server_->seen;
    for (std::size_t at = server_->next; at < server_->script.size(); ++at) {
        seen.unplayed.push_back(server_->script[at].command);
    }
    return seen;
}

void ScriptedTransport::AwaitControlClosed() const
{
    std::unique_lock lock(server_->mutex);
    server_->changed.wait(lock, [this] { return server_->controlClosed; });
}

}  // namespace kestrane::testing
