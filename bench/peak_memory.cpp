// Peak memory of the upload build and of the pull, to show that neither
// grows with the size of the data. Each measured step runs in a process of
// its own:
//
//   peak_memory staging FOLDER MIB   writes a staging file of MIB MiB in FOLDER
//   peak_memory build FOLDER         builds the upload file from it
//   peak_memory pull FOLDER MIB      pulls a handheld data file of MIB MiB into FOLDER
//
// build and pull print the process's peak resident set size (getrusage's
// ru_maxrss, in KiB) before the step and after it. The pull's handheld makes
// its data as it is read, so nothing of the file is in memory but what the
// pull itself holds. Both leave their output in FOLDER.
#include "bench/staging_data.h"
#include "bench/stand_ins.h"
#include "common/local_files_posix.h"
#include "device/data_pull.h"
#include "store/working_folder.h"
#include "upload/upload_builder.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

namespace kestrane::bench {
namespace {

constexpr DeviceHandle kDataHandle = 7;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorAccessDenied = 5;

// A handheld holding one data file of a given size, made as it is read.
class GeneratedDevice final : public RemoteDevice {
public:
    explicit GeneratedDevice(std::uint64_t size) : size_(size), remaining_(size) {}

    std::int32_t CeRapiInit() override { return 0; }
    std::int32_t CeRapiUninit() override { return 0; }
    DeviceHandle CeFindFirstFile(const std::u16string&) override { return NoHandle(kErrorFileNotFound); }
    bool CeFindClose(DeviceHandle) override { return false; }

    DeviceHandle CeCreateFile(const std::u16string& path, std::uint32_t access, std::uint32_t, std::uint32_t,
                              std::uint32_t) override
    {
        if (deleted_ || path != kDeviceDataFile || access != kGenericRead) {
            return NoHandle(kErrorFileNotFound);
        }
        return kDataHandle;
    }

    bool CeReadFile(DeviceHandle file, void* buffer, std::uint32_t bytesToRead,
                    std::uint32_t& bytesRead) override
    {
        bytesRead = 0;
        if (file != kDataHandle) {
            return Fail(kErrorInvalidHandle);
        }
        bytesRead = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytesToRead, remaining_));
        records_.Fill(static_cast<char*>(buffer), bytesRead);
        remaining_ -= bytesRead;
        return true;
    }

    bool CeWriteFile(DeviceHandle, const void*, std::uint32_t, std::uint32_t& bytesWritten) override
    {
        bytesWritten = 0;
        return Fail(kErrorAccessDenied);
    }

    std::uint32_t CeGetFileSize(DeviceHandle file, std::uint32_t& sizeHigh) override
    {
        sizeHigh = 0;
        if (file != kDataHandle) {
            Fail(kErrorInvalidHandle);
            return kInvalidFileSize;
        }
        sizeHigh = static_cast<std::uint32_t>(size_ >> 32);
        return static_cast<std::uint32_t>(size_);
    }

    std::uint32_t CeGetLastError() override { return lastError_; }
    std::int32_t CeRapiGetError() override { return 0; }  // Its link never fails.
    bool CeCloseHandle(DeviceHandle file) override { return file == kDataHandle; }

    bool CeDeleteFile(const std::u16string& path) override
    {
        if (deleted_ || path != kDeviceDataFile) {
            return Fail(kErrorFileNotFound);
        }
        deleted_ = true;
        return true;
    }

    bool CeMoveFile(const std::u16string&, const std::u16string&) override
    {
        return Fail(kErrorAccessDenied);
    }

private:
    bool Fail(std::uint32_t code)
    {
        lastError_ = code;
        return false;
    }
    DeviceHandle NoHandle(std::uint32_t code)
    {
        Fail(code);
        return kInvalidDeviceHandle;
    }

    RecordStream records_;
    std::uint64_t size_;
    std::uint64_t remaining_;
    bool deleted_ = false;
    std::uint32_t lastError_ = 0;
};

long PeakKib()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void Report(const char* step, std::uint64_t bytes, long beforeKib)
{
    std::printf("%s: %llu bytes, peak RSS %ld KiB (%ld KiB before the %s)\n", step,
                static_cast<unsigned long long>(bytes), PeakKib(), beforeKib, step);
}

int Usage()
{
    std::fprintf(stderr, "usage: peak_memory staging FOLDER MIB | build FOLDER | pull FOLDER MIB\n");
    return 2;
}

int Run(int argc, char** argv)
{
    if (argc < 3) {
        return Usage();
    }
    const std::string step = argv[1];
    const bool sized = step == "staging" || step == "pull";
    if (argc != (sized ? 4 : 3) || (!sized && step != "build")) {
        return Usage();
    }
    const std::uint64_t bytes = sized ? std::stoull(argv[3]) * 1024 * 1024 : 0;
    if (::chdir(argv[2]) != 0) {
        std::perror(argv[2]);
        return 1;
    }

    PosixLocalFiles files;
    const long beforeKib = PeakKib();
    if (step == "staging") {
        WriteRecordFile(files, kStagingFile, bytes);
    } else if (step == "build") {
        const std::uint64_t staged = files.Size(kStagingFile);
        FixedClock clock;
        QuietWindow window;
        BuildUploadFile(kBenchSettings, files, clock, window);
        Report("build", staged, beforeKib);
    } else {
        GeneratedDevice device(bytes);
        QuietWindow window;
        GetCEFile(device, files, window);
        Report("pull", bytes, beforeKib);
    }
    return 0;
}

}  // namespace
}  // namespace kestrane::bench

int main(int argc, char** argv)
{
    try {
        return kestrane::bench::Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "peak_memory: %s\n", error.what());
        return 1;
    }
}
