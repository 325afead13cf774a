// The local file system, as the job sees it.
//
// File names are single-byte text in the system code page, relative to the
// working folder unless absolute. Every failure throws FileError with the
// system's own reason. Writes become durable only through Commit(), which
// flushes the file to the disk before it returns; renames and removals are
// durable when they return. That is what lets the job delete the handheld's
// data only after a copy of it is safe on this PC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

class FileError : public std::runtime_error {
public:
    FileError(std::string path, std::string reason, bool notFound = false) :
        std::runtime_error(path + ": " + reason),
        path_(std::move(path)),
        reason_(std::move(reason)),
        notFound_(notFound)
    {
    }

    const std::string& Path() const { return path_; }
    const std::string& Reason() const { return reason_; }
    bool NotFound() const { return notFound_; }

private:
    std::string path_;
    std::string reason_;
    bool notFound_;
};

class InputFile {
public:
    virtual ~InputFile() = default;
    // Reads up to size bytes; returns 0 only at the end of the file.
    virtual std::size_t Read(char* buffer, std::size_t size) = 0;
};

class OutputFile {
public:
    virtual ~OutputFile() = default;
    virtual void Write(std::string_view bytes) = 0;
    // Flushes everything written to the disk and closes the file. A file
    // destroyed without Commit() is closed, but its contents are not promised.
    virtual void Commit() = 0;
};

class LocalFiles {
public:
    virtual ~LocalFiles() = default;

    virtual bool Exists(const std::string& name) = 0;
    virtual std::uint64_t Size(const std::string& name) = 0;
    virtual std::unique_ptr<InputFile> OpenForReading(const std::string& name) = 0;
    // Creates the file, emptying one that already exists.
    virtual std::unique_ptr<OutputFile> CreateForWriting(const std::string& name) = 0;
    // Adds bytes to the end of the file, creating it if need be. They reach
    // the system at once, so that they outlive the program, but are not
    // flushed to the disk: for records, not for the data.
    virtual void Append(const std::string& name, std::string_view bytes) = 0;
    // Without replaceExisting, a rename onto an existing name fails.
    virtual void Rename(const std::string& from, const std::string& to, bool replaceExisting) = 0;
    // Removing a file that is not there is not an error.
    virtual void Remove(const std::string& name) = 0;
    // Names in the working folder that end with suffix (compared exactly).
    virtual std::vector<std::string> ListWithSuffix(const std::string& suffix) = 0;
};

// Reads the whole file into memory; for small files only.
std::string ReadWholeFile(LocalFiles& files, const std::string& name);

// Whether the file `whole` begins with every byte of the file `start`.
bool FileStartsWith(LocalFiles& files, const std::string& whole, const std::string& start);

// Creates name with exactly contents and commits it.
void WriteWholeFile(LocalFiles& files, const std::string& name, std::string_view contents);

// Collects small writes into large ones, so that writing line by line costs
// no more than writing the file in one piece. The common case, a piece that
// fits in the block, is a copy inlined at the caller.
class BufferedWriter {
public:
    explicit BufferedWriter(OutputFile& file, std::size_t capacity = 256 * 1024);

    void Write(std::string_view bytes)
    {
        if (bytes.size() <= capacity_ - used_) {
            std::memcpy(block_.get() + used_, bytes.data(), bytes.size());
            used_ += bytes.size();
        } else {
            WriteThrough(bytes);
        }
    }

    // Room for `size` bytes after what is buffered, for a caller that writes
    // them in place and then tells with Added() how many it wrote, sparing a
    // copy of its own. What is buffered is written out first when the room
    // is lacking; the block grows when it is smaller than size. As with
    // Write(), no more than the capacity stays buffered after Added().
    char* Room(std::size_t size);
    void Added(std::size_t size);

    // Writes what is buffered and commits the file.
    void Commit();

private:
    void WriteThrough(std::string_view bytes);
    void Drain();

    OutputFile& file_;
    std::size_t capacity_;
    std::unique_ptr<char[]> block_;
    std::size_t blockSize_;
    std::size_t used_ = 0;
};

}  // namespace kestrane
