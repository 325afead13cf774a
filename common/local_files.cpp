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

void WriteWholeFile(LocalFiles& files, const std::string& name, std::string_view contents)
{
    auto output = files.CreateForWriting(name);
    output->Write(contents);
    output->Commit();
}

BufferedWriter::BufferedWriter(OutputFile& file, std::size_t capacity)
    : file_(file), capacity_(capacity)
{
    buffer_.reserve(capacity_);
}

void BufferedWriter::Write(std::string_view bytes)
{
    if (buffer_.size() + bytes.size() > capacity_) {
        Drain();
        if (bytes.size() >= capacity_) {
            file_.Write(bytes);
            return;
        }
    }
    buffer_.append(bytes);
}

void BufferedWriter::Put(char byte)
{
    if (buffer_.size() == capacity_) {
        Drain();
    }
    buffer_.push_back(byte);
}

void BufferedWriter::Commit()
{
    Drain();
    file_.Commit();
}

void BufferedWriter::Drain()
{
    if (!buffer_.empty()) {
        file_.Write(buffer_);
        buffer_.clear();
    }
}

}  // namespace kestrane
