// A local file's bytes on their way to or from the server, a chunk at a
// time, with the worker's task told how far they have got: the same for
// every FTP client, whatever carries the bytes. A local file's failure
// becomes the FtpError of its kind.
#pragma once

#include "common/job_window.h"
#include "common/local_files.h"
#include "common/worker_task.h"
#include "ftp/ftp_failures.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace kestrane {

// Small enough that progress is seen often on a slow line.
inline constexpr std::size_t kTransferChunkBytes = 32 * 1024;

// Reads the local file to its end, hands each chunk to send, which sends
// all of it or throws, and tells task how far the sending has got.
template <typename Send> void SendLocalFile(InputFile& local, Progress& sending, TaskState& task, Send send)
{
    std::vector<char> chunk(kTransferChunkBytes);
    for (;;) {
        std::size_t got = 0;
        try {
            got = local.Read(chunk.data(), chunk.size());
        } catch (const FileError& error) {
            throw LocalFileFailure(error, "read");
        }
        if (got == 0) {
            return;
        }
        send(std::string_view(chunk.data(), got));
        sending.done += got;
        task.MadeProgress(sending);
    }
}

// Writes bytes that came into the local file, and tells task how far the
// receiving has got.
void KeepReceived(OutputFile& local, std::string_view bytes, Progress& receiving, TaskState& task);

// Makes the received file durable once the server has sent all of it.
void CommitReceived(OutputFile& local);

}  // namespace kestrane
