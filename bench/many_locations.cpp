// Many locations sending at the same moment, as every location does at the
// hour when the shifts end, to an FTP server that admits only so many
// sessions at once and answers the others "421 Too many connections" at
// connect.
//
// Each location has a working folder of its own (under $TMPDIR), its own
// settings (its own location code; the same server and account), its own
// random source, its own FTP client over real sockets, and one upload file,
// built from a staging file by BuildUploadFile as the program builds it.
// Once every location is ready they are let go together, each on a thread
// of its own, into the real FtpSendFile: its retries, waits (real seconds)
// and 2-minute budget. The server is tests/e2e/ftp_server.py on a loopback
// port.
//
//   many_locations [--locations N] [--max-connections K] [--jitter on|off] [--size-kib S]
//                  [--window-wait-ms W] [--latency-ms L]
//
// Defaults: 100 locations, 20 sessions, jitter on, 1024 KiB of staging data
// per location, 30 ms, 0 ms. --jitter off gives every location a random
// source that always draws the middle, so that every wait is exactly its
// nominal length (5, 15, 45 s). Nobody is at the PCs: a location's wait for
// a message to its window lasts W ms, unless the job wakes it. The server
// answers every command L ms late, as over a real line.
//
// Afterwards it checks that every upload file was either delivered, its
// copy on the server identical, and no longer pending, or is still pending
// in its working folder and named by the job's error; and that the server
// holds no file twice. It prints what was delivered and when, how often the
// locations connected, and the most sessions the server held at once. It
// ends with status 1 when a check failed, and then keeps the folder it
// worked in, for a look.
#include "bench/staging_data.h"
#include "common/job_error.h"
#include "common/local_files_posix.h"
#include "common/random_source.h"
#include "ftp/ftp_upload.h"
#include "ftp/stream_ftp_client.h"
#include "net/socket_transport_posix.h"
#include "store/run_log.h"
#include "store/working_folder.h"
#include "tests/shared/local_ftp_server.h"
#include "upload/upload_builder.h"

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

namespace kestrane::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kUser[] = "locations";
constexpr char kPassword[] = "bench-only";
constexpr char kRemoteFolder[] = "in/";
// Well past the budget of the retries and the client's time limits: a
// location still sending by then hangs.
constexpr auto kHangLimit = 6min;

struct Options {
    int locations = 100;
    int maxConnections = 20;
    bool jitter = true;
    std::uint64_t sizeKib = 1024;
    // How long the window of a PC where nobody is at work waits for a
    // message before the job goes on, unless the job's worker wakes it. The
    // real window wakes when its progress bar's marquee moves, every 30 ms
    // by default, while the job connects and checks; otherwise after 100 ms,
    // the most MessagePump allows.
    std::chrono::milliseconds windowWait{30};
    // How late the server answers every command, as over a real line.
    int latencyMs = 0;
};

// The real file layer, in a working folder of the location's own: names are
// relative to it, as the program's are to its current folder.
class FolderFiles final : public LocalFiles {
public:
    explicit FolderFiles(fs::path folder) : folder_(std::move(folder)) {}

    bool Exists(const std::string& name) override { return files_.Exists(In(name)); }
    std::uint64_t Size(const std::string& name) override { return files_.Size(In(name)); }
    std::unique_ptr<InputFile> OpenForReading(const std::string& name) override
    {
        return files_.OpenForReading(In(name));
    }
    std::unique_ptr<OutputFile> CreateForWriting(const std::string& name) override
    {
        return files_.CreateForWriting(In(name));
    }
    void Append(const std::string& name, std::string_view bytes) override { files_.Append(In(name), bytes); }
    void Rename(const std::string& from, const std::string& to, bool replaceExisting) override
    {
        files_.Rename(In(from), In(to), replaceExisting);
    }
    void Remove(const std::string& name) override { files_.Remove(In(name)); }
    std::vector<std::string> ListWithSuffix(const std::string& suffix) override
    {
        std::vector<std::string> names;
        std::error_code error;
        for (fs::directory_iterator entry(folder_, error), end; !error && entry != end;
             entry.increment(error)) {
            const std::string name = entry->path().filename().string();
            if (name.size() > suffix.size() && name.ends_with(suffix)) {
                names.push_back(name);
            }
        }
        if (error) {
            throw FileError(folder_.string(), error.message());
        }
        return names;
    }

    const fs::path& Folder() const { return folder_; }

private:
    std::string In(const std::string& name) const
    {
        return name.starts_with('/') ? name : (folder_ / name).string();
    }

    fs::path folder_;
    PosixLocalFiles files_;
};

// This machine's clock: local time for the upload file's name, and the
// steady clock for the waits.
class SystemClock final : public Clock {
public:
    LocalTime Now() override
    {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        if (::localtime_r(&now, &local) == nullptr) {
            throw std::runtime_error("the local time cannot be read");
        }
        return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour,        local.tm_min,     local.tm_sec};
    }
    SteadyClock::time_point SteadyNow() override { return SteadyClock::now(); }
};

// The window of a PC where nobody is at work: no message ever comes, and a
// wait for one lasts wait, unless it is woken as the real window is (by a
// message posted to it).
class IdleWindow final : public JobWindow {
public:
    explicit IdleWindow(std::chrono::milliseconds wait) : wait_(wait) {}

    void LogLine(const std::string&) override {}
    void ShowMessage(const std::string&, MessageKind) override {}
    void PumpMessages() override
    {
        std::unique_lock lock(mutex_);
        woken_.wait_for(lock, wait_, [this] { return wakeUp_; });
        wakeUp_ = false;
    }
    void ReportProgress(const Progress&) override {}
    void Wake() noexcept override
    {
        {
            std::lock_guard lock(mutex_);
            wakeUp_ = true;
        }
        woken_.notify_one();
    }
    void MovingData(bool) noexcept override {}

private:
    std::chrono::milliseconds wait_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool wakeUp_ = false;  // guarded by mutex_
};

// Jitter off: always the middle of the range, which leaves every wait at its
// nominal length.
class MiddleRandomSource final : public RandomSource {
public:
    double Fraction() override { return 0.5; }
};

// A location's FTP client, counting its connections: the first and one for
// each retry.
class CountingClient final : public FtpClient {
public:
    explicit CountingClient(std::unique_ptr<FtpClient> client) : client_(std::move(client)) {}

    void Connect(const FtpAccount& account) override
    {
        ++connections_;
        client_->Connect(account);
    }
    void PutFile(const std::string& localName, const std::string& remotePath) override
    {
        client_->PutFile(localName, remotePath);
    }
    std::optional<std::uint64_t> RemoteFileSize(const std::string& remotePath) override
    {
        return client_->RemoteFileSize(remotePath);
    }
    void GetFile(const std::string& remotePath, const std::string& localName) override
    {
        client_->GetFile(remotePath, localName);
    }
    void ListFolder(const std::string& folder) override { client_->ListFolder(folder); }
    void Disconnect() override { client_->Disconnect(); }

    int Connections() const { return connections_; }

private:
    std::unique_ptr<FtpClient> client_;
    int connections_ = 0;
};

// Stamps the moment every location is ready: the start, as at the hour.
struct StampStart {
    SteadyClock::time_point* start;
    void operator()() noexcept { *start = SteadyClock::now(); }
};
using StartingLine = std::barrier<StampStart>;

// "0042": four digits, as location codes have.
std::string LocationCode(int number)
{
    const std::string digits = std::to_string(number);
    return std::string(digits.size() < 4 ? 4 - digits.size() : 0, '0') + digits;
}

class Location {
public:
    Location(const std::string& code, const fs::path& folder, std::uint16_t port, const Options& options) :
        settings_{code, "127.0.0.1:" + std::to_string(port), kUser, kPassword, kRemoteFolder},
        files_(folder),
        window_(options.windowWait),
        log_(files_, clock_),
        client_(MakeStreamFtpClient(MakeSocketTransport, FtpTls::None, window_, files_, clock_))
    {
        if (options.jitter) {
            random_ = std::make_unique<SeededRandomSource>();
        } else {
            random_ = std::make_unique<MiddleRandomSource>();
        }
    }

    // Builds the upload file from staging (linked in as the staging file),
    // as the program builds it from the handheld's data.
    void BuildUpload(const fs::path& staging)
    {
        fs::create_hard_link(staging, files_.Folder() / kStagingFile);
        upload_ = BuildUploadFile(settings_, files_, clock_, window_).value();
    }

    // Waits at the starting line, then sends the upload file as the program
    // does. Never throws: whatever it throws is recorded.
    void Send(StartingLine& start) noexcept
    {
        try {
            start.arrive_and_wait();
            delivered_ =
                FtpSendFile(settings_, client_, window_, clock_, *random_, files_, log_, {{upload_}});
        } catch (const JobError& error) {
            failure_ = error.what();
        } catch (const std::exception& error) {
            failure_ = error.what();
            unexpected_ = true;
        }
        ended_ = SteadyClock::now();
        done_ = true;
    }

    // What is wrong with how the sending ended, against the server's folder;
    // nothing when all is well: delivered whole and no longer pending, or
    // still pending, named by the job's error.
    std::vector<std::string> Faults(const fs::path& serverFolder)
    {
        std::vector<std::string> faults;
        const auto fault = [&](const std::string& what) {
            faults.push_back(settings_.locationCode + ": " + what);
        };
        if (unexpected_) {
            fault("the sending ended with an error other than the job's: " + failure_);
        }
        try {
            const std::vector<std::string> pending = PendingUploads(files_);
            if (Delivered()) {
                const std::string& name = delivered_.front();
                if (!pending.empty()) {
                    fault("delivered, and yet still pending");
                }
                if (ReadWholeFile(files_, name) != ReadServerFile(serverFolder / name)) {
                    fault("the server's " + name + " is not the file that was sent");
                }
            } else if (pending != std::vector<std::string>{upload_} || !files_.Exists(upload_)) {
                fault("not delivered, and not pending as it should be: " + failure_);
            } else if (failure_.find(upload_) == std::string::npos) {
                fault("the job's error does not name the file that is still pending: " + failure_);
            }
        } catch (const FileError& error) {
            fault(std::string("its working folder cannot be read: ") + error.what());
        }
        return faults;
    }

    std::uint64_t UploadSize() { return files_.Size(upload_); }
    bool Done() const { return done_; }
    bool Delivered() const { return delivered_.size() == 1; }
    SteadyClock::time_point Ended() const { return ended_; }
    int Connections() const { return client_.Connections(); }
    const std::string& Code() const { return settings_.locationCode; }

private:
    static std::string ReadServerFile(const fs::path& path)
    {
        PosixLocalFiles files;
        return files.Exists(path) ? ReadWholeFile(files, path) : std::string();
    }

    const LocationSettings settings_;
    FolderFiles files_;
    SystemClock clock_;
    IdleWindow window_;
    std::unique_ptr<RandomSource> random_;
    FileRunLog log_;
    CountingClient client_;
    std::string upload_;
    std::vector<std::string> delivered_;
    std::string failure_;
    bool unexpected_ = false;
    SteadyClock::time_point ended_;
    std::atomic<bool> done_ = false;
};

// How many files the server's folder holds, and how many of them hold the
// same bytes as another one there (told by a hash of the bytes).
struct ServerFolder {
    int files = 0;
    int duplicates = 0;
};

ServerFolder ScanServerFolder(const fs::path& folder)
{
    PosixLocalFiles files;
    ServerFolder scan;
    std::unordered_set<std::size_t> contents;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        ++scan.files;
        if (!contents.insert(std::hash<std::string>{}(ReadWholeFile(files, entry.path()))).second) {
            ++scan.duplicates;
        }
    }
    return scan;
}

// What the server wrote when it ended (ftp_server.py --stats); -1 for what
// it did not write.
struct SessionTally {
    int mostAtOnce = -1;
    int admitted = -1;
    int turnedAway = -1;
};

SessionTally ReadSessionTally(const fs::path& path)
{
    SessionTally tally;
    std::ifstream in(path);
    std::string key;
    int value = 0;
    while (in >> key >> value) {
        if (key == "most_at_once") {
            tally.mostAtOnce = value;
        } else if (key == "admitted") {
            tally.admitted = value;
        } else if (key == "turned_away") {
            tally.turnedAway = value;
        }
    }
    return tally;
}

// The load averages over 1, 5 and 15 minutes, as /proc/loadavg gives them.
std::string LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return in ? one + " " + five + " " + fifteen : "unknown";
}

std::string Seconds(SteadyClock::duration duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(duration).count());
    return text;
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--locations") {
            options.locations = std::stoi(value);
        } else if (option == "--max-connections") {
            options.maxConnections = std::stoi(value);
        } else if (option == "--jitter" && (value == "on" || value == "off")) {
            options.jitter = value == "on";
        } else if (option == "--size-kib") {
            options.sizeKib = std::stoull(value);
        } else if (option == "--window-wait-ms") {
            options.windowWait = std::chrono::milliseconds(std::stoi(value));
        } else if (option == "--latency-ms") {
            options.latencyMs = std::stoi(value);
        } else {
            throw std::invalid_argument("unknown option " + option + " " + value);
        }
    }
    if (argc % 2 == 0 || options.locations < 1 || options.locations > 9999 || options.maxConnections < 1) {
        throw std::invalid_argument("usage: many_locations [--locations 1..9999] [--max-connections K] "
                                    "[--jitter on|off] [--size-kib S] [--window-wait-ms W] [--latency-ms L]");
    }
    return options;
}

// Waits until every location is done; after kHangLimit, names those that
// are not and ends the program, since their threads cannot be ended.
void AwaitLocations(const std::vector<std::unique_ptr<Location>>& locations, testing::LocalFtpServer& server)
{
    const SteadyClock::time_point began = SteadyClock::now();
    const auto allDone = [&] {
        return std::all_of(locations.begin(), locations.end(),
                           [](const auto& location) { return location->Done(); });
    };
    while (!allDone()) {
        if (SteadyClock::now() - began > kHangLimit) {
            std::cout << "FAULT: still sending after " << Seconds(kHangLimit) << ":";
            for (const auto& location : locations) {
                if (!location->Done()) {
                    std::cout << " " << location->Code();
                }
            }
            std::cout << std::endl;
            server.Stop();
            std::_Exit(2);
        }
        std::this_thread::sleep_for(200ms);
    }
}

int Run(const Options& options)
{
    const fs::path folder = MakeScratchFolder("kestrane-locations");
    const fs::path serverRoot = folder / "server";
    const fs::path serverFolder = serverRoot / kRemoteFolder;
    const fs::path stats = folder / "server-stats.txt";
    fs::create_directories(serverFolder);
    testing::LocalFtpServer server({"--root", serverRoot.string(), "--user", kUser, "--password", kPassword,
                                    "--max-connections", std::to_string(options.maxConnections), "--stats",
                                    stats.string(), "--latency-ms", std::to_string(options.latencyMs)},
                                   (folder / "server.log").string());
    if (server.Port() == 0) {
        throw std::runtime_error("the FTP server (/usr/bin/python3 with pyftpdlib) could not be started");
    }

    PosixLocalFiles files;
    const fs::path staging = folder / "staging.txt";
    WriteRecordFile(files, staging, options.sizeKib * 1024);
    const SteadyClock::time_point building = SteadyClock::now();
    std::vector<std::unique_ptr<Location>> locations;
    for (int number = 0; number < options.locations; ++number) {
        const std::string code = LocationCode(number);
        const fs::path workingFolder = folder / "locations" / code;
        fs::create_directories(workingFolder);
        locations.push_back(std::make_unique<Location>(code, workingFolder, server.Port(), options));
        locations.back()->BuildUpload(staging);
    }
    std::cout << options.locations << " locations, one upload file of " << locations.front()->UploadSize()
              << " bytes each; the server admits " << options.maxConnections << " sessions at once; jitter "
              << (options.jitter ? "on" : "off") << "; a window's wait for a message "
              << options.windowWait.count() << " ms; the server's replies " << options.latencyMs
              << " ms late\n"
              << "upload files built in " << Seconds(SteadyClock::now() - building) << "\n"
              << "load average before: " << LoadAverage() << std::endl;

    SteadyClock::time_point start;
    StartingLine startingLine(options.locations, StampStart{&start});
    std::vector<std::thread> threads;
    try {
        for (const auto& location : locations) {
            threads.emplace_back([&startingLine, &location] { location->Send(startingLine); });
        }
    } catch (const std::system_error& error) {
        std::cout << "only " << threads.size() << " of " << options.locations << " threads could be started ("
                  << error.what() << "): raise the limits" << std::endl;
        server.Stop();
        std::_Exit(2);
    }
    AwaitLocations(locations, server);
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::string loadAfter = LoadAverage();

    std::vector<std::string> faults;
    std::vector<SteadyClock::duration> deliveries;
    std::map<int, int> byConnections;
    SteadyClock::time_point ended = start;
    for (const auto& location : locations) {
        const std::vector<std::string> found = location->Faults(serverFolder);
        faults.insert(faults.end(), found.begin(), found.end());
        if (location->Delivered()) {
            deliveries.push_back(location->Ended() - start);
        }
        ++byConnections[location->Connections()];
        ended = std::max(ended, location->Ended());
    }
    const ServerFolder scan = ScanServerFolder(serverFolder);
    if (scan.duplicates > 0 || scan.files > options.locations) {
        faults.push_back("the server holds " + std::to_string(scan.files) + " files for "
                         + std::to_string(options.locations) + " locations, "
                         + std::to_string(scan.duplicates) + " of them the same bytes as another");
    }
    if (!server.Stop()) {
        faults.push_back("the FTP server did not end cleanly");
    }
    const SessionTally tally = ReadSessionTally(stats);

    std::sort(deliveries.begin(), deliveries.end());
    const int delivered = static_cast<int>(deliveries.size());
    const int pending = options.locations - delivered;
    std::cout << "delivered: " << delivered << " of " << options.locations << "\n"
              << "pending after the budget: " << pending
              << " (each checked: still pending in its working folder, and named by the job's error)\n"
              << "duplicates on the server: " << scan.duplicates << " (" << scan.files << " files)\n";
    if (pending == 0) {
        std::cout << "all delivered " << Seconds(ended - start) << " after the start\n";
    } else {
        std::cout << "the run ended " << Seconds(ended - start) << " after the start\n";
    }
    if (delivered > 0) {
        std::cout << "longest wait of a location, start to delivery: " << Seconds(deliveries.back())
                  << "; median " << Seconds(deliveries[deliveries.size() / 2]) << ", 90 % within "
                  << Seconds(deliveries[(deliveries.size() * 9 + 9) / 10 - 1]) << "\n";
    }
    std::cout << "locations by connections made:";
    const char* separator = " ";
    for (const auto& [connections, count] : byConnections) {
        std::cout << separator << count << " made " << connections;
        separator = ", ";
    }
    std::cout << "\nthe server: at most " << tally.mostAtOnce << " sessions at once; " << tally.admitted
              << " admitted, " << tally.turnedAway << " turned away with 421\n"
              << "load average after: " << loadAfter << "\n";
    // The row of BENCHMARKS.md's table.
    std::cout << "| " << options.locations << " | " << (options.jitter ? "on" : "off") << " | " << delivered
              << " | " << scan.duplicates << " | " << pending << " | " << Seconds(ended - start) << " | "
              << (delivered > 0 ? Seconds(deliveries.back()) : "-") << " | " << tally.mostAtOnce << " |"
              << std::endl;

    if (!faults.empty()) {
        for (const std::string& fault : faults) {
            std::cout << "FAULT: " << fault << "\n";
        }
        std::cout << "The run's folder is kept: " << folder.string() << std::endl;
        return 1;
    }
    fs::remove_all(folder);
    return 0;
}

}  // namespace
}  // namespace kestrane::bench

int main(int argc, char** argv)
{
    try {
        return kestrane::bench::Run(kestrane::bench::ParseOptions(argc, argv));
    } catch (const std::exception& error) {
        std::cerr << "many_locations: " << error.what() << std::endl;
        return 2;
    }
}
