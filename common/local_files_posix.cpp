#include "common/local_files_posix.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrane {
namespace {

[[noreturn]] void ThrowErrno(const std::string& path, int error)
{
    throw FileError(path, std::strerror(error), error == ENOENT);
}

// Owns one file descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int Get() const { return fd_; }
    // Closes now, reporting the result that the destructor would drop.
    int Close()
    {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

std::string FolderOf(const std::string& name)
{
    auto slash = name.rfind('/');
    return slash == std::string::npos ? "." : name.substr(0, slash == 0 ? 1 : slash);
}

// A rename or removal is durable only once its folder is flushed.
void SyncFolderOf(const std::string& name)
{
    Descriptor folder(::open(FolderOf(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() < 0 || ::fsync(folder.Get()) != 0) {
        ThrowErrno(FolderOf(name), errno);
    }
}

class PosixInputFile final : public InputFile {
public:
    PosixInputFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

    std::size_t Read(char* buffer, std::size_t size) override
    {
        for (;;) {
            ssize_t got = ::read(fd_.Get(), buffer, size);
            if (got >= 0) {
                return static_cast<std::size_t>(got);
            }
            if (errno != EINTR) {
                ThrowErrno(path_, errno);
            }
        }
    }

private:
    std::string path_;
    Descriptor fd_;
};

class PosixOutputFile final : public OutputFile {
public:
    PosixOutputFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

    void Write(std::string_view bytes) override
    {
        while (!bytes.empty()) {
            ssize_t put = ::write(fd_.Get(), bytes.data(), bytes.size());
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                ThrowErrno(path_, errno);
            }
            bytes.remove_prefix(static_cast<std::size_t>(put));
        }
    }

    void Commit() override
    {
        if (::fsync(fd_.Get()) != 0 || fd_.Close() != 0) {
            ThrowErrno(path_, errno);
        }
        SyncFolderOf(path_);
    }

private:
    std::string path_;
    Descriptor fd_;
};

}  // namespace

bool PosixLocalFiles::Exists(const std::string& name)
{
    struct stat info {};
    if (::stat(name.c_str(), &info) == 0) {
        return true;
    }
    if (errno == ENOENT || errno == ENOTDIR) {
        return false;
    }
    ThrowErrno(name, errno);
}

std::uint64_t PosixLocalFiles::Size(const std::string& name)
{
    struct stat info {};
    if (::stat(name.c_str(), &info) != 0) {
        ThrowErrno(name, errno);
    }
    return static_cast<std::uint64_t>(info.st_size);
}

std::unique_ptr<InputFile> PosixLocalFiles::OpenForReading(const std::string& name)
{
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ThrowErrno(name, errno);
    }
    return std::make_unique<PosixInputFile>(name, fd);
}

std::unique_ptr<OutputFile> PosixLocalFiles::CreateForWriting(const std::string& name)
{
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        ThrowErrno(name, errno);
    }
    return std::make_unique<PosixOutputFile>(name, fd);
}

void PosixLocalFiles::Append(const std::string& name, std::string_view bytes)
{
    int fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        ThrowErrno(name, errno);
    }
    PosixOutputFile(name, fd).Write(bytes);
}

void PosixLocalFiles::Rename(const std::string& from, const std::string& to, bool replaceExisting)
{
    if (replaceExisting) {
        if (::rename(from.c_str(), to.c_str()) != 0) {
            ThrowErrno(from, errno);
        }
    } else {
        // link() fails when the target exists, which rename() would not.
        if (::link(from.c_str(), to.c_str()) != 0) {
            ThrowErrno(to, errno);
        }
        if (::unlink(from.c_str()) != 0) {
            ThrowErrno(from, errno);
        }
    }
    SyncFolderOf(to);
}

void PosixLocalFiles::Remove(const std::string& name)
{
    if (::unlink(name.c_str()) != 0) {
        if (errno == ENOENT) {
            return;
        }
        ThrowErrno(name, errno);
    }
    SyncFolderOf(name);
}

std::vector<std::string> PosixLocalFiles::ListWithSuffix(const std::string& suffix)
{
    DIR* folder = ::opendir(".");
    if (folder == nullptr) {
        ThrowErrno(".", errno);
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(folder)) {
        std::string_view name(entry->d_name);
        if (name.size() > suffix.size() && name.ends_with(suffix)) {
            names.emplace_back(name);
        }
    }
    ::closedir(folder);
    return names;
}

}  // namespace kestrane
