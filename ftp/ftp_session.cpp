#include "ftp/ftp_session.h"

#include "ftp/control_connection.h"
#include "ftp/file_transfer.h"
#include "ftp/ftp_failures.h"
#include "ftp/ftp_listing.h"
#include "ftp/ftp_replies.h"

#include <exception>
#include <string_view>
#include <vector>

namespace kestrane {
namespace {

// Far more than any folder a location uploads to holds; a server that sends
// more has gone wrong, and must not fill the memory.
constexpr std::size_t kLongestListing = 64 * 1024 * 1024;

// The word that names a command in an error: never its argument, which may be a password.
std::string Verb(const std::string& command)
{
    return command.substr(0, command.find(' '));
}

// Hands everything the server sends on a data connection to sink, a piece at a time.
template <typename Sink> void ReceiveAll(ByteStream& data, Sink sink)
{
    std::vector<char> chunk(kTransferChunkBytes);
    while (const std::size_t got = data.Receive(chunk.data(), chunk.size())) {
        sink(std::string_view(chunk.data(), got));
    }
}

}  // namespace

class FtpSession::Protocol {
public:
    Protocol(std::shared_ptr<Transport> transport, const FtpAccount& account, FtpTls tls) :
        transport_(std::move(transport)),
        account_(account),
        tls_(tls)
    {
    }

    void LogIn()
    {
        try {
            control_ = std::make_unique<ControlConnection>(
                transport_->Connect(account_.server.host, account_.server.port), account_.password);
        } catch (const NetError& error) {
            throw NetFailureOf(error);
        }
        try {
            if (tls_ == FtpTls::Implicit) {
                control_->StartTls(account_.server.host);
            }
            AwaitGreeting();
            if (tls_ == FtpTls::Explicit) {
                StartExplicitTls();
            }
            SendCredentials();
            if (tls_ != FtpTls::None) {
                ProtectDataConnections();
            }
        } catch (...) {
            control_->Close();
            throw;
        }
        loggedIn_ = true;
    }

    void Store(InputFile& local, std::uint64_t size, const std::string& remotePath, TaskState& task)
    {
        const Watching watching(*this, task);
        UseBinaryType();
        Progress sending{0, size};
        task.MadeProgress(sending);
        const auto refusal =
            Transfer("STOR " + remotePath, remotePath, "the server did not accept ", [&](ByteStream& data) {
                SendLocalFile(local, sending, task, [&](std::string_view chunk) { data.Send(chunk); });
            });
        if (refusal) {
            throw ReplyFailure("the server refused to store " + remotePath, *refusal);
        }
    }

    void Retrieve(const std::string& remotePath, OutputFile& local, TaskState& task)
    {
        const Watching watching(*this, task);
        UseBinaryType();
        Progress receiving{0, 0};
        task.MadeProgress(receiving);
        const auto refusal = Transfer(
            "RETR " + remotePath, remotePath, "the server did not finish sending ", [&](ByteStream& data) {
                ReceiveAll(data,
                           [&](std::string_view bytes) { KeepReceived(local, bytes, receiving, task); });
            });
        if (refusal) {
            throw ReplyFailure("the server refused to send " + remotePath, *refusal);
        }
        CommitReceived(local);
    }

    std::optional<std::uint64_t> FileSize(const std::string& remotePath, TaskState& task)
    {
        const Watching watching(*this, task);
        UseBinaryType();
        if (!sizeUnsupported_) {
            const SizeReply reply = ReadSizeReply(Ask("SIZE " + remotePath).exact);
            switch (reply.answer) {
            case SizeAnswer::Size:
                return reply.size;
            case SizeAnswer::NoSuchFile:
                return std::nullopt;
            case SizeAnswer::Unsupported:
                sizeUnsupported_ = true;
                break;
            case SizeAnswer::Unclear:
                break;
            }
        }
        return ListedSize(remotePath);
    }

    void ListFolder(const std::string& folder, TaskState& task)
    {
        const Watching watching(*this, task);
        const std::string listed = RemoteFolderName(folder);
        if (const auto missing = InFolder(folder, [&] { ListCurrentFolder(listed); })) {
            throw ReplyFailure("the server has no folder " + folder, *missing);
        }
    }

    bool Usable() const { return loggedIn_ && control_->Open(); }

    void Quit() noexcept
    {
        if (!control_) {
            return;
        }
        if (Usable()) {
            try {
                // The answer is awaited so that the server ends the session in
                // order; what it says changes nothing.
                Ask("QUIT");
            } catch (...) {
                // A server that is gone needs no goodbye.
            }
        }
        control_->Close();
    }

private:
    // Tells task of the progress of one operation: every reply counts.
    class Watching {
    public:
        Watching(Protocol& protocol, TaskState& task) : protocol_(protocol) { protocol_.task_ = &task; }
        Watching(const Watching&) = delete;
        Watching& operator=(const Watching&) = delete;
        ~Watching() { protocol_.task_ = nullptr; }

    private:
        Protocol& protocol_;
    };

    ControlConnection& Control()
    {
        if (!control_) {
            throw OtherFailure("the session has not connected to the server");
        }
        return *control_;
    }

    FtpReply Read()
    {
        FtpReply reply = Control().Read();
        if (task_ != nullptr) {
            task_->MadeProgress();
        }
        return reply;
    }

    FtpReply Ask(const std::string& command)
    {
        Control().Send(command);
        return Read();
    }

    // The server's first reply: 220, after any number of 120 ("ready in a few minutes").
    void AwaitGreeting()
    {
        FtpReply greeting = Read();
        while (greeting.code == 120) {
            greeting = Read();
        }
        if (greeting.code == 220) {
            return;
        }
        throw ReplyFailure(IsRefusal(greeting.code) ? "the server refused the connection"
                                                    : "the server's greeting was not understood",
                           greeting);
    }

    // AUTH TLS, and TLS on the control connection before anything else is said.
    void StartExplicitTls()
    {
        const FtpReply reply = Ask("AUTH TLS");
        if (reply.code != 234) {
            throw SecurityFailure("the server refused FTP over TLS", reply);
        }
        // Whatever came after the 234 came in the clear, where anyone on the
        // way could have put it, to be taken for the server's word under TLS.
        if (control_->HoldsUnreadBytes()) {
            throw SecurityFailure("the server sent more than its answer to AUTH TLS before TLS began");
        }
        control_->StartTls(account_.server.host);
    }

    void SendCredentials()
    {
        FtpReply reply = Ask("USER " + account_.user);
        if (reply.code == 331) {
            reply = Ask("PASS " + account_.password);
        }
        // 230 logged in; 232 logged in by the security exchange (RFC 2228);
        // 202 a password this server does not need.
        if (reply.code == 230 || reply.code == 232 || reply.code == 202) {
            return;
        }
        if (reply.code == 332) {
            throw ReplyFailure("the server asks for an account (ACCT), which the settings do not give",
                               reply);
        }
        if (reply.code == 421) {
            throw ReplyFailure("the server refused the connection", reply);
        }
        throw ReplyFailure(IsRefusal(reply.code) ? "the server refused the login"
                                                 : "the server's answer to the login was not understood",
                           reply);
    }

    // PBSZ 0 and PROT P (RFC 4217): every data connection under TLS too.
    void ProtectDataConnections()
    {
        for (const char* command : {"PBSZ 0", "PROT P"}) {
            const FtpReply reply = Ask(command);
            if (!IsCompletion(reply.code)) {
                const std::string refused =
                    std::string("the server refused to protect the data connections (") + command + ")";
                throw SecurityFailure(refused, reply);
            }
        }
        protectedData_ = true;
    }

    // Binary transfers: in ASCII mode a size would count converted line
    // ends, and some servers refuse SIZE.
    void UseBinaryType()
    {
        if (binary_) {
            return;
        }
        const FtpReply reply = Ask("TYPE I");
        if (!IsCompletion(reply.code)) {
            throw ReplyFailure("the server refused binary transfers", reply);
        }
        binary_ = true;
    }

    // The port the server listens on for the next data connection: EPSV, or
    // PASV from a server without it.
    std::uint16_t PassivePort()
    {
        if (!epsvUnsupported_) {
            const FtpReply reply = Ask("EPSV");
            if (reply.code == 229) {
                return PortIn(reply);
            }
            if (!IsRefusal(reply.code)) {
                throw ReplyFailure("the server's answer to EPSV was not understood", reply);
            }
            // A server that has no EPSV is not asked again; one that could
            // not this time is asked PASV this time.
            epsvUnsupported_ = IsUnknownCommand(reply.code);
        }
        const FtpReply reply = Ask("PASV");
        if (reply.code == 227) {
            return PortIn(reply);
        }
        throw ReplyFailure("the server refused a data connection", reply);
    }

    static std::uint16_t PortIn(const FtpReply& reply)
    {
        const std::optional<std::uint16_t> port = ReadPassivePort(reply.exact);
        if (!port) {
            throw ReplyFailure("the server offered a data connection without a port that can be read", reply);
        }
        return *port;
    }

    // A data connection to the control connection's own address: the
    // address in a 227 reply is never used (see ReadPassivePort).
    std::unique_ptr<ByteStream> OpenDataConnection()
    {
        const std::uint16_t port = PassivePort();
        try {
            return transport_->Connect(control_->PeerAddress(), port);
        } catch (const NetError& error) {
            throw NetFailureOf(error, "the data connection to the server could not be opened");
        }
    }

    // Runs a command that moves data: opens a data connection, sends the
    // command, and once the server has begun (125, 150) starts TLS on the
    // data connection where the session is protected, hands it to move, and
    // closes it; then the server's final reply must confirm the transfer.
    // TLS waits for the server's start: many servers take the data
    // connection's handshake only once the command has come. Returns the
    // server's refusal of the command, nothing moved. `what` names the
    // transfer in errors; `unconfirmed` starts the reason of a final refusal.
    template <typename Move>
    std::optional<FtpReply> Transfer(const std::string& command, const std::string& what,
                                     const std::string& unconfirmed, Move move)
    {
        std::unique_ptr<ByteStream> data = OpenDataConnection();
        const FtpReply start = Ask(command);
        if (IsRefusal(start.code)) {
            return start;
        }
        if (!IsPreliminary(start.code)) {
            throw ReplyFailure("the server's answer to " + Verb(command) + " was not understood", start);
        }
        if (protectedData_) {
            try {
                data->StartTls(account_.server.host);
            } catch (const NetError& error) {
                data.reset();
                SkipFinalReply();
                throw SecurityFailure(std::string("TLS could not be started on the data connection: ")
                                      + error.what());
            }
        }
        try {
            move(*data);
            data->Close();
        } catch (const NetError& error) {
            data.reset();
            throw BrokeOff(what, error);
        } catch (...) {
            data.reset();
            SkipFinalReply();
            throw;
        }
        const FtpReply end = Read();
        if (!IsCompletion(end.code)) {
            throw ReplyFailure(unconfirmed + what, end);
        }
        return std::nullopt;
    }

    // A data connection that broke off. The server's reply on the control
    // connection (a 426, or a 552 in the middle of an upload) tells more
    // when it refuses; the control connection then stays in step.
    FtpError BrokeOff(const std::string& what, const NetError& error)
    {
        const std::string broke = "the transfer of " + what + " broke off";
        if (error.Failure() != NetFailure::Aborted) {
            if (const std::optional<FtpReply> verdict = FinalReply(); verdict && IsRefusal(verdict->code)) {
                return ReplyFailure(broke + ": " + error.what(), *verdict);
            }
        }
        return NetFailureOf(error, broke);
    }

    // The reply that ends a transfer given up on this side, read to keep
    // the control connection in step; nothing when none comes.
    std::optional<FtpReply> FinalReply()
    {
        try {
            return Read();
        } catch (const FtpError&) {
            return std::nullopt;
        }
    }

    void SkipFinalReply() { static_cast<void>(FinalReply()); }

    // Every entry of the current folder: MLSD, or LIST from a server without it.
    std::vector<ListedEntry> ListCurrentFolder(const std::string& listed)
    {
        if (!mlsdUnsupported_) {
            std::string listing;
            const auto refusal = Transfer("MLSD", listed, "the server did not finish listing ",
                                          [&](ByteStream& data) { ReceiveListing(data, listed, listing); });
            if (!refusal) {
                return ReadListing(listing, ListingFormat::Mlsd);
            }
            if (!IsUnknownCommand(refusal->code)) {
                return NothingListed(listed, *refusal);
            }
            mlsdUnsupported_ = true;
        }
        std::string listing;
        const auto refusal = Transfer("LIST", listed, "the server did not finish listing ",
                                      [&](ByteStream& data) { ReceiveListing(data, listed, listing); });
        if (!refusal) {
            return ReadListing(listing, ListingFormat::List);
        }
        return NothingListed(listed, *refusal);
    }

    void ReceiveListing(ByteStream& data, const std::string& listed, std::string& listing)
    {
        ReceiveAll(data, [&](std::string_view bytes) {
            if (listing.size() + bytes.size() > kLongestListing) {
                throw OtherFailure("the server's listing of " + listed + " is too long to be read");
            }
            listing.append(bytes);
            task_->MadeProgress();
        });
    }

    // A listing the server refused: an empty folder, for the servers that
    // refuse to list one (550); otherwise a failure.
    static std::vector<ListedEntry> NothingListed(const std::string& listed, const FtpReply& refusal)
    {
        if (NothingThere(refusal.code)) {
            return {};
        }
        throw ReplyFailure("the server could not list " + listed, refusal);
    }

    // The size of a remote file by a listing of its folder.
    std::optional<std::uint64_t> ListedSize(const std::string& remotePath)
    {
        const RemoteLocation location = SplitRemotePath(remotePath);
        std::optional<std::uint64_t> size;
        const auto missing = InFolder(location.folder, [&] {
            for (const ListedEntry& entry : ListCurrentFolder(RemoteFolderName(location.folder))) {
                if (entry.name != location.name) {
                    continue;
                }
                if (entry.type != EntryType::File) {
                    throw OtherFailure("the server holds a folder or a link named " + remotePath
                                       + ", not a file");
                }
                if (!entry.size) {
                    throw OtherFailure("the server's listing gives no size for " + remotePath);
                }
                size = entry.size;
                return;
            }
        });
        // No such folder, so no such file in it.
        return missing ? std::nullopt : size;
    }

    // Runs work in a remote folder: the connection changes into it (CWD),
    // and back to where the login left it whichever way work ends: every
    // remote path starts there. "" is the login folder, which needs no
    // change. Returns the refusal, with nothing run, when the server has no
    // such folder (550).
    template <typename Work> std::optional<FtpReply> InFolder(const std::string& folder, Work work)
    {
        if (folder.empty()) {
            work();
            return std::nullopt;
        }
        const std::string home = HomeFolder();
        const FtpReply changed = Ask("CWD " + folder);
        if (NothingThere(changed.code)) {
            return changed;
        }
        if (!IsCompletion(changed.code)) {
            throw ReplyFailure("the server could not open the folder " + folder, changed);
        }
        std::exception_ptr failure;
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        // A connection that is gone has nowhere to return to, and its own failure says why.
        if (!failure || control_->Open()) {
            // Without the way back, no later file can go where it belongs: a
            // failure that carries no reply to be judged by, so the work of
            // this connection stops.
            const FtpReply back = Ask("CWD " + home);
            if (!IsCompletion(back.code)) {
                throw OtherFailure("the server did not let Kestrane back into the folder " + home + ": "
                                   + back.text);
            }
        }
        if (failure) {
            std::rethrow_exception(failure);
        }
        return std::nullopt;
    }

    // The folder the login left the connection in, asked once (PWD).
    std::string HomeFolder()
    {
        if (!homeFolder_) {
            const FtpReply reply = Ask("PWD");
            homeFolder_ = ReadFolderReply(reply.exact);
            if (!homeFolder_) {
                throw ReplyFailure("the server did not tell its current folder", reply);
            }
        }
        return *homeFolder_;
    }

    std::shared_ptr<Transport> transport_;
    const FtpAccount account_;
    const FtpTls tls_;
    std::unique_ptr<ControlConnection> control_;
    TaskState* task_ = nullptr;  // the operation's, while one runs
    bool loggedIn_ = false;
    bool protectedData_ = false;  // PROT P is in force
    // What the server has shown of itself, so that nothing is asked twice.
    bool binary_ = false;
    bool sizeUnsupported_ = false;
    bool epsvUnsupported_ = false;
    bool mlsdUnsupported_ = false;
    std::optional<std::string> homeFolder_;
};

FtpSession::FtpSession(std::shared_ptr<Transport> transport, const FtpAccount& account, FtpTls tls) :
    protocol_(std::make_unique<Protocol>(std::move(transport), account, tls))
{
}

FtpSession::~FtpSession() = default;

void FtpSession::LogIn()
{
    protocol_->LogIn();
}

void FtpSession::Store(InputFile& local, std::uint64_t size, const std::string& remotePath, TaskState& task)
{
    protocol_->Store(local, size, remotePath, task);
}

void FtpSession::Retrieve(const std::string& remotePath, OutputFile& local, TaskState& task)
{
    protocol_->Retrieve(remotePath, local, task);
}

std::optional<std::uint64_t> FtpSession::FileSize(const std::string& remotePath, TaskState& task)
{
    return protocol_->FileSize(remotePath, task);
}

void FtpSession::ListFolder(const std::string& folder, TaskState& task)
{
    protocol_->ListFolder(folder, task);
}

bool FtpSession::Usable() const
{
    return protocol_->Usable();
}

void FtpSession::Quit() noexcept
{
    protocol_->Quit();
}

}  // namespace kestrane
