// LocalFiles over the Win32 file API. Names go to the narrow ("A") calls, so
// they are taken in the system code page, as the rest of the job's text is.
#pragma once

#include "common/local_files.h"

namespace kestrane {

class Win32LocalFiles final : public LocalFiles {
public:
    bool Exists(const std::string& name) override;
    std::uint64_t Size(const std::string& name) override;
    std::unique_ptr<InputFile> OpenForReading(const std::string& name) override;
    std::unique_ptr<OutputFile> CreateForWriting(const std::string& name) override;
    void Rename(const std::string& from, const std::string& to, bool replaceExisting) override;
    void Remove(const std::string& name) override;
    std::vector<std::string> ListWithSuffix(const std::string& suffix) override;
};

}  // namespace kestrane
