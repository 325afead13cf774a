// LocalFiles over POSIX file calls, for the native build (tests and tools).
#pragma once

#include "common/local_files.h"

namespace kestrane {

class PosixLocalFiles final : public LocalFiles {
public:
    bool Exists(const std::string& name) override;
    std::uint64_t Size(const std::string& name) override;
    std::unique_ptr<InputFile> OpenForReading(const std::string& name) override;
    std::unique_ptr<OutputFile> CreateForWriting(const std::string& name) override;
    void Append(const std::string& name, std::string_view bytes) override;
    void Rename(const std::string& from, const std::string& to, bool replaceExisting) override;
    void Remove(const std::string& name) override;
    std::vector<std::string> ListWithSuffix(const std::string& suffix) override;
};

}  // namespace kestrane
