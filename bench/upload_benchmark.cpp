// Building the upload file from a 100 MB staging file, against copying the
// same file through the same file layer.
//
// Each iteration copies the staging file (read in large chunks, written,
// flushed to the disk) and then builds the upload file from it, both through
// PosixLocalFiles, and reports the build's time. The counters give the
// copy's time and the ratio build / copy over the pairs, so that the ratio
// holds even when the disk's speed drifts between iterations.
//
//   kestrane_benchmarks [--benchmark_repetitions=N] [google benchmark flags]
//
// The files live in a fresh folder under $TMPDIR (or /tmp), removed at the
// end; the staging file is written once and hard-linked for each build,
// since a build removes the staging file it has read.
#include "bench/staging_data.h"
#include "bench/stand_ins.h"
#include "common/local_files_posix.h"
#include "store/working_folder.h"
#include "upload/upload_builder.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace kestrane::bench {
namespace {

constexpr std::uint64_t kStagingSize = 100ull * 1024 * 1024;
constexpr const char* kSource = "staging-source.txt";
constexpr const char* kCopy = "staging-copy.txt";
constexpr std::size_t kCopyChunk = 256 * 1024;

void CopyFile(LocalFiles& files, const std::string& from, const std::string& to)
{
    auto input = files.OpenForReading(from);
    auto output = files.CreateForWriting(to);
    std::string buffer(kCopyChunk, '\0');
    while (std::size_t got = input->Read(buffer.data(), buffer.size())) {
        output->Write(std::string_view(buffer.data(), got));
    }
    output->Commit();
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// What one iteration leaves is removed and flushed before the next is timed,
// so that neither side pays for the other's freed blocks.
void Settle(LocalFiles& files, const std::string& name)
{
    files.Remove(name);
    files.Remove(name + kPendingSuffix);
    ::sync();
}

void BM_UploadBuildAgainstCopy(benchmark::State& state)
{
    PosixLocalFiles files;
    FixedClock clock;
    QuietWindow window;
    double copySeconds = 0;
    double buildSeconds = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        CopyFile(files, kSource, kCopy);
        copySeconds += SecondsSince(start);
        Settle(files, kCopy);

        if (::link(kSource, kStagingFile) != 0) {
            state.SkipWithError("cannot link the staging file");
            break;
        }
        start = std::chrono::steady_clock::now();
        const std::optional<std::string> upload = BuildUploadFile(kBenchSettings, files, clock, window);
        const double seconds = SecondsSince(start);
        buildSeconds += seconds;
        state.SetIterationTime(seconds);
        Settle(files, upload.value());
    }
    const double iterations = static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * files.Size(kSource)));
    state.counters["copy_s"] = copySeconds / iterations;
    state.counters["build_s"] = buildSeconds / iterations;
    state.counters["build_to_copy"] = buildSeconds / copySeconds;
}
BENCHMARK(BM_UploadBuildAgainstCopy)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// A fresh working folder holding the staging file, removed again at the end.
class BenchFolder {
public:
    BenchFolder()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
        pattern += "/kestrane-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a folder from " + pattern);
        }
        path_ = pattern;
        std::filesystem::current_path(path_);
        PosixLocalFiles files;
        WriteRecordFile(files, kSource, kStagingSize);
    }
    BenchFolder(const BenchFolder&) = delete;
    BenchFolder& operator=(const BenchFolder&) = delete;
    ~BenchFolder()
    {
        std::error_code ignored;
        std::filesystem::current_path("/", ignored);
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace
}  // namespace kestrane::bench

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const kestrane::bench::BenchFolder folder;
    benchmark::AddCustomContext("staging_folder", folder.Path());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
