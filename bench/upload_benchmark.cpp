// Building the upload file from a 100 MB staging file, against copying the
// same file through the same file layer.
//
// Each iteration copies the staging file (read in large chunks, written,
// flushed to the disk) and then builds the upload file from it, both through
// PosixLocalFiles, and reports the build's time. The counters give the
// copy's time and the ratio build / copy over the pairs, so that the ratio
// holds even when the disk's speed drifts between iterations, and split both
// into their parts (see BuildParts and CopyParts below).
//
//   kestrane_benchmarks [--benchmark_repetitions=N] [google benchmark flags]
//
// The files live in a fresh folder under $TMPDIR (or /tmp), removed at the
// end. The source is written once; each iteration's copy then becomes the
// staging file that the build reads and removes, so that the removal frees
// the blocks of a real 100 MB file, as the program's does.
#include "bench/staging_data.h"
#include "bench/stand_ins.h"
#include "common/local_files_posix.h"
#include "store/working_folder.h"
#include "upload/upload_builder.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
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

using Moment = std::chrono::steady_clock::time_point;

double Seconds(Moment from, Moment to)
{
    return std::chrono::duration<double>(to - from).count();
}

// The CPU time this thread has used, in the kernel and out of it.
double ThreadCpuSeconds()
{
    timespec now{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) {
        throw std::runtime_error("cannot read the thread's CPU time");
    }
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// When a call began and ended, and the thread's CPU time as it began.
struct TimedCall {
    Moment start;
    Moment end;
    double cpuAtStart = 0;
};

template <typename Call> TimedCall TimeCall(Call&& call)
{
    TimedCall timed{std::chrono::steady_clock::now(), {}, ThreadCpuSeconds()};
    call();
    timed.end = std::chrono::steady_clock::now();
    return timed;
}

// LocalFiles that note the two calls dividing a build into its parts: the
// first commit of a written file (the upload file's, before the pending
// marker's) and the staging file's removal. Everything else passes through.
class TimedLocalFiles final : public LocalFiles {
public:
    explicit TimedLocalFiles(LocalFiles& inner) : inner_(inner) {}

    // Forgets the calls noted so far, before the next build or copy.
    void Forget()
    {
        firstCommit_.reset();
        stagingRemoval_.reset();
    }
    const std::optional<TimedCall>& FirstCommit() const { return firstCommit_; }
    const std::optional<TimedCall>& StagingRemoval() const { return stagingRemoval_; }

    bool Exists(const std::string& name) override { return inner_.Exists(name); }
    std::uint64_t Size(const std::string& name) override { return inner_.Size(name); }
    std::unique_ptr<InputFile> OpenForReading(const std::string& name) override
    {
        return inner_.OpenForReading(name);
    }
    std::unique_ptr<OutputFile> CreateForWriting(const std::string& name) override
    {
        return std::make_unique<TimedOutputFile>(inner_.CreateForWriting(name), *this);
    }
    void Append(const std::string& name, std::string_view bytes) override { inner_.Append(name, bytes); }
    void Rename(const std::string& from, const std::string& to, bool replaceExisting) override
    {
        inner_.Rename(from, to, replaceExisting);
    }
    void Remove(const std::string& name) override
    {
        const TimedCall removal = TimeCall([&] { inner_.Remove(name); });
        if (name == kStagingFile) {
            stagingRemoval_ = removal;
        }
    }
    std::vector<std::string> ListWithSuffix(const std::string& suffix) override
    {
        return inner_.ListWithSuffix(suffix);
    }

private:
    class TimedOutputFile final : public OutputFile {
    public:
        TimedOutputFile(std::unique_ptr<OutputFile> inner, TimedLocalFiles& files) :
            inner_(std::move(inner)),
            files_(files)
        {
        }
        void Write(std::string_view bytes) override { inner_->Write(bytes); }
        void Commit() override
        {
            const TimedCall commit = TimeCall([this] { inner_->Commit(); });
            if (!files_.firstCommit_) {
                files_.firstCommit_ = commit;
            }
        }

    private:
        std::unique_ptr<OutputFile> inner_;
        TimedLocalFiles& files_;
    };

    LocalFiles& inner_;
    std::optional<TimedCall> firstCommit_;
    std::optional<TimedCall> stagingRemoval_;
};

// A copy's parts: reading and writing (CPU: the kernel copies the bytes into
// and out of the page cache) and the flush of the file and its folder.
struct CopyParts {
    double readWrite = 0;
    double flush = 0;

    CopyParts& operator+=(const CopyParts& other)
    {
        readWrite += other.readWrite;
        flush += other.flush;
        return *this;
    }
};

// A build's parts: the conversion (both passes over the staging file, up to
// the commit; its wall time and the thread's CPU time), the flush of the
// upload file and its folder, the staging file's removal, and the publishing
// (pending marker and rename). What lies between them, a few checks for
// names, is in none.
struct BuildParts {
    double conversion = 0;
    double conversionCpu = 0;
    double flush = 0;
    double removal = 0;
    double publishing = 0;

    BuildParts& operator+=(const BuildParts& other)
    {
        conversion += other.conversion;
        conversionCpu += other.conversionCpu;
        flush += other.flush;
        removal += other.removal;
        publishing += other.publishing;
        return *this;
    }
};

// The build's upload file is removed and flushed before the next iteration,
// so that the copy does not pay for its freed blocks.
void Settle(LocalFiles& files, const std::string& name)
{
    files.Remove(name);
    files.Remove(name + kPendingSuffix);
    ::sync();
}

void BM_UploadBuildAgainstCopy(benchmark::State& state)
{
    PosixLocalFiles posixFiles;
    TimedLocalFiles files(posixFiles);
    FixedClock clock;
    QuietWindow window;
    double copySeconds = 0;
    double buildSeconds = 0;
    CopyParts copyParts;
    BuildParts buildParts;
    for (auto _ : state) {
        files.Forget();
        const TimedCall copy = TimeCall([&] { CopyFile(files, kSource, kCopy); });
        const TimedCall& copyCommit = files.FirstCommit().value();
        copySeconds += Seconds(copy.start, copy.end);
        copyParts +=
            CopyParts{Seconds(copy.start, copyCommit.start), Seconds(copyCommit.start, copyCommit.end)};
        files.Rename(kCopy, kStagingFile, true);
        ::sync();

        files.Forget();
        std::optional<std::string> upload;
        const TimedCall build =
            TimeCall([&] { upload = BuildUploadFile(kBenchSettings, files, clock, window); });
        const TimedCall& commit = files.FirstCommit().value();
        const TimedCall& removal = files.StagingRemoval().value();
        const double seconds = Seconds(build.start, build.end);
        buildSeconds += seconds;
        buildParts += BuildParts{Seconds(build.start, commit.start), commit.cpuAtStart - build.cpuAtStart,
                                 Seconds(commit.start, commit.end), Seconds(removal.start, removal.end),
                                 Seconds(removal.end, build.end)};
        state.SetIterationTime(seconds);
        Settle(files, upload.value());
    }
    const double iterations = static_cast<double>(state.iterations());
    const double stagingBytes = static_cast<double>(files.Size(kSource));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * files.Size(kSource)));
    state.counters["copy_s"] = copySeconds / iterations;
    state.counters["copy_rw_s"] = copyParts.readWrite / iterations;
    state.counters["copy_flush_s"] = copyParts.flush / iterations;
    state.counters["build_s"] = buildSeconds / iterations;
    state.counters["convert_s"] = buildParts.conversion / iterations;
    state.counters["convert_cpu_s"] = buildParts.conversionCpu / iterations;
    state.counters["convert_MBps"] = stagingBytes * iterations / buildParts.conversion / 1e6;
    state.counters["flush_s"] = buildParts.flush / iterations;
    state.counters["remove_s"] = buildParts.removal / iterations;
    state.counters["publish_s"] = buildParts.publishing / iterations;
    state.counters["build_to_copy"] = buildSeconds / copySeconds;
    // The CPU-bound parts alone: the conversion against the copy's reading and writing.
    state.counters["convert_to_copy_rw"] = buildParts.conversion / copyParts.readWrite;
}
BENCHMARK(BM_UploadBuildAgainstCopy)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// A fresh working folder holding the staging file, removed again at the end.
class BenchFolder {
public:
    BenchFolder()
    {
        path_ = MakeScratchFolder("kestrane-bench").string();
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
