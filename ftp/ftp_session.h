// The FTP protocol of Kestrane's own client, over a transport's connections:
// one session with a server, run command by command on the calling thread
// (a worker). Plain FTP, or FTP over TLS, where the login and every data
// connection are protected and nothing is ever sent in the clear instead.
// Transfers are binary (TYPE I) over passive data connections (EPSV, else
// PASV). Paths are the remote folder and the file's name, as the upload
// step gives them. Every failure throws FtpError, made by ftp/ftp_failures.h.
#pragma once

#include "common/local_files.h"
#include "common/worker_task.h"
#include "ftp/ftp_client.h"
#include "net/byte_stream.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kestrane {

class FtpSession {
public:
    FtpSession(std::shared_ptr<Transport> transport, const FtpAccount& account, FtpTls tls);
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;
    ~FtpSession();

    // Connects and logs in. With TLS: TLS before the user name, then PBSZ 0
    // and PROT P; any refusal of them fails the login. Tells no progress,
    // so that the connect time limit counts from the start.
    void LogIn();

    // Each of these tells task of every reply and every piece of data as
    // progress, and a transfer also how many bytes have moved.
    void Store(InputFile& local, std::uint64_t size, const std::string& remotePath, TaskState& task);
    // Writes the remote file into local, and commits it once the server has
    // confirmed that it sent all of it.
    void Retrieve(const std::string& remotePath, OutputFile& local, TaskState& task);
    // Nothing when there is no such file. SIZE tells, or where the server
    // has none, a listing of the file's folder (MLSD, else LIST).
    std::optional<std::uint64_t> FileSize(const std::string& remotePath, TaskState& task);
    // Lists a folder to its end ("" is the login folder).
    void ListFolder(const std::string& folder, TaskState& task);

    // Whether the session is logged in and its control connection still works.
    bool Usable() const;
    // Says goodbye (QUIT) if the session is usable, and closes. Never throws.
    void Quit() noexcept;

private:
    class Protocol;
    std::unique_ptr<Protocol> protocol_;
};

}  // namespace kestrane
