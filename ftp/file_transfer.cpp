#include "ftp/file_transfer.h"

namespace kestrane {

void KeepReceived(OutputFile& local, std::string_view bytes, Progress& receiving, TaskState& task)
{
    try {
        local.Write(bytes);
    } catch (const FileError& error) {
        throw LocalFileFailure(error, "written");
    }
    receiving.done += bytes.size();
    task.MadeProgress(receiving);
}

void CommitReceived(OutputFile& local)
{
    try {
        local.Commit();
    } catch (const FileError& error) {
        throw LocalFileFailure(error, "written");
    }
}

}  // namespace kestrane
