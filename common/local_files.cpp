#include "common/local_files.h"

namespace kestrane {

std::string ReadWholeFile(LocalFiles& files, const std::string& name)
{
    auto input = files.OpenForReading(name);
    std::string contents;
    char buffer[16 * 1024];
    while (std::size_t got = input->Read(buffer, sizeof buffer)) {
        contents.append(buffer, got);
    }
    return contents;
}

bool FileStartsWith(LocalFiles& files, const std::string& whole, const std::string& start)
{
    auto wholeInput = files.OpenForReading(whole);
    auto startInput = files.OpenForReading(start);
    std::string wholeBytes(64 * 1024, '\0');
    std::string startBytes(64 * 1024, '\0');
    while (std::size_t got = startInput->Read(startBytes.data(), startBytes.size())) {
        std::size_t have = 0;
        while (have < got) {
            const std::size_t read = wholeInput->Read(wholeBytes.data() + have, got - have);
            if (read == 0) {
                return false;
            }
            have += read;
        }
        if (std::memcmp(wholeBytes.data(), startBytes.data(), got) != 0) {
            return false;
        }
    }
    return true;
}

void WriteWholeFile(LocalFiles& files, const std::string& name, std::string_view contents)
{
    auto output = files.CreateForWriting(name);
    output->Write(contents);
    output->Commit();
}

BufferedWriter::BufferedWriter(OutputFile& file, std::size_t capacity) :
    file_(file),
    capacity_(capacity),
    block_(new char[capacity]),
    blockSize_(capacity)
{
}

char* BufferedWriter::Room(std::size_t size)
{
    if (size > blockSize_ - used_) {
        Drain();
        if (size > blockSize_) {
            block_ = std::make_unique<char[]>(size);
            blockSize_ = size;
        }
    }
    return block_.get() + used_;
}

void BufferedWriter::Added(std::size_t size)
{
    used_ += size;
    if (used_ > capacity_) {
        Drain();
    }
}

void BufferedWriter::WriteThrough(std::string_view bytes)
{
    Drain();
    if (bytes.size() >= capacity_) {
        file_.Write(bytes);
    } else {
        std::memcpy(block_.get(), bytes.data(), bytes.size());
        used_ = bytes.size();
    }
}

void BufferedWriter::Commit()
{
    Drain();
    file_.Commit();
}

void BufferedWriter::Drain()
{
    if (used_ > 0) {
        file_.Write(std::string_view(block_.get(), used_));
        used_ = 0;
    }
}

}  // namespace kestrane
