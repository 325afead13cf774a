// Random days: the whole portable job over the in-memory fakes, day after
// day, its runs cut short or turned away by faults drawn from a seeded
// generator, and the promise checked after every run: nothing taken from the
// handheld is lost, nothing reaches the server twice, and the handheld is
// told once its data is there, never before.
//
// A seed is a history of kDaysPerSeed days in one world. The test runs the
// seeds 1 to KESTRANE_RANDOM_DAYS_SEEDS (set by the build); two environment
// variables change that:
//   KESTRANE_SOAK_SEED=N     replays seed N alone, as a failure says;
//   KESTRANE_SOAK_SECONDS=S  runs new seeds from KESTRANE_SOAK_FIRST_SEED
//                            (default: the one after the fixed range) until
//                            S seconds have passed (scripts/bench.sh soak).
#include "app/transfer_job.h"
#include "device/data_pull.h"
#include "device/done_marker.h"
#include "fakes.h"
#include "program_runs.h"
#include "store/upload_format.h"
#include "store/working_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {
namespace {

using namespace std::chrono_literals;
using testing::DealtFailure;
using testing::FtpStage;
using testing::kEveryTime;
using testing::RunEnd;
using testing::RunProgram;
using testing::RunResult;
using testing::WindowCloses;
using testing::World;

constexpr int kDaysPerSeed = 8;
// The runs of a day that faults may strike. The runs after them are left
// alone, and the first of those must deliver whatever is left.
constexpr int kRunsWithFaults = 10;
constexpr int kRunsPerDayBound = kRunsWithFaults + 1;

// A whole run takes up to about this many of the fakes' steps (CrashPlan),
// and this many calls of the handheld, on the larger days below.
constexpr long kStepsOfALongRun = 72;
constexpr std::uint64_t kHandheldCallsOfALongRun = 24;

const std::string kDoneContents = "done";
constexpr std::uint32_t kErrorGenFailure = 31;  // the handheld's "device not functioning"

// Draws from a generator whose output the standard fixes, so that a seed
// replays alike with any standard library.
class Dice {
public:
    explicit Dice(std::uint64_t seed) : generator_(seed) {}

    // From 0 to n - 1.
    std::uint64_t Below(std::uint64_t n) { return generator_() % n; }
    bool Percent(std::uint64_t chance) { return Below(100) < chance; }

private:
    std::mt19937_64 generator_;
};

// ---------------------------------------------------------------- records

// A record names its day and number, so that it can be traced wherever it
// is; the handheld writes "~" where the upload file puts the location code.
std::string RecordKey(int day, int number)
{
    return "day " + std::to_string(day) + " record " + std::to_string(number);
}

using RecordCounts = std::map<std::string, int>;

// Counts the records in text by the part of their line before " at ": a
// line cut off before that is no record.
void CountRecords(std::string_view text, RecordCounts& counts)
{
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        if (const std::size_t at = line.find(" at ");
            line.starts_with("day ") && at != std::string_view::npos) {
            ++counts[std::string(line.substr(0, at))];
        }
        start = end + 1;
    }
}

// "day 1 record 2, day 1 record 3 and 40 more records", for a message.
std::string Some(const std::vector<std::string>& keys)
{
    constexpr std::size_t kNamed = 3;
    std::string text;
    for (std::size_t i = 0; i < keys.size() && i < kNamed; ++i) {
        text += (i == 0 ? "" : ", ") + keys[i];
    }
    return keys.size() > kNamed ? text + " and " + std::to_string(keys.size() - kNamed) + " more records"
                                : text;
}

// The files in which the working folder keeps data for the server, as the
// states of store/working_folder.h have them: those that the next run's
// settling keeps and sends, each counted once.
std::vector<std::string> FilesHoldingData(testing::MemoryFiles& files)
{
    std::vector<std::string> holding;
    const bool pulled = files.Exists(kPulledFile);
    if (pulled) {
        holding.emplace_back(kPulledFile);
    }
    // A merge is finished once the pulled copy is gone, and replaces the staging file.
    if (files.Exists(kMergeFile) && !pulled) {
        holding.emplace_back(kMergeFile);
    } else if (files.Exists(kStagingFile)) {
        holding.emplace_back(kStagingFile);
    }
    // NAME.tmp is finished once the staging file it was built from is gone.
    if (!files.Exists(kStagingFile)) {
        for (const std::string& unfinished :
             files.ListWithSuffix(std::string(kUploadExtension) + kUnfinishedSuffix)) {
            holding.push_back(unfinished);
        }
    }
    // A pending upload file, or the rename of one whose marker has moved.
    for (const std::string& name : PendingUploads(files)) {
        if (files.Exists(name)) {
            holding.push_back(name);
        } else if (files.Exists(name + kRenamingSuffix)) {
            holding.push_back(name + kRenamingSuffix);
        }
    }
    return holding;
}

// Whether contents are the whole upload file `name`: a header line naming it
// and counting the lines between it and the end line, each ended by CR LF.
bool IsWholeUploadFile(const std::string& name, const std::string& contents)
{
    std::vector<std::string_view> lines;
    const std::string_view text = contents;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string_view::npos) {
            return false;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines.size() >= 2 && lines.back() == "<<EOF:>>"
           && std::string(lines.front()) + std::string(kUploadLineEnd)
                  == UploadHeaderLine(name, lines.size() - 2);
}

// ---------------------------------------------------------------- faults

struct ServerFault {
    FtpFailureKind kind;
    const char* reason;
    const char* reply;
};

// What a busy or unwilling server answers: for now (4xx), for good (5xx),
// or with a connection that breaks off.
constexpr ServerFault kServerFaults[] = {
    {FtpFailureKind::Refused, "the server is busy", "421 Too many connections. Try later."},
    {FtpFailureKind::Refused, "no data connection", "425 Can't open data connection."},
    {FtpFailureKind::Refused, "the transfer was aborted", "426 Connection closed; transfer aborted."},
    {FtpFailureKind::Refused, "the file is busy", "450 Requested file action not taken."},
    {FtpFailureKind::Refused, "the server failed", "451 Local error in processing."},
    {FtpFailureKind::Refused, "the server refused it", "550 Permission denied."},
    {FtpFailureKind::Refused, "the server refused it", "552 Quota exceeded."},
    {FtpFailureKind::Refused, "the server refused the login", "530 Not logged in."},
    {FtpFailureKind::ConnectionLost, "the connection was reset", ""},
};
constexpr FtpStage kFtpStages[] = {FtpStage::Connect, FtpStage::PutStart, FtpStage::PutMidway,
                                   FtpStage::PutEnd};
constexpr const char* kFtpStageNames[] = {"connecting", "before an upload", "midway through an upload",
                                          "after an upload's last byte"};

// One seed's history: the world, what the handheld produced, and another
// PC's files on the server.
class History {
public:
    explicit History(std::uint64_t seed) : dice_(seed)
    {
        world_.files.contents[kLocalDoneFile] = kDoneContents;
    }

    // Runs the days until one fails a check.
    void Live()
    {
        for (int day = 1; day <= kDaysPerSeed && !::testing::Test::HasFailure(); ++day) {
            LiveDay(day);
            world_.clock.Advance(22h);  // the next shift's end
        }
    }

    int days = 0;
    int runs = 0;
    int powerCuts = 0;

private:
    void LiveDay(int day)
    {
        ++days;
        Gather(day, dice_.Percent(25) ? 1 + dice_.Below(400) : 1 + dice_.Below(20));
        for (int run = 1; run <= kRunsPerDayBound; ++run) {
            if (run > 1 && dice_.Percent(35)) {
                Gather(day, 1 + dice_.Below(20));
            }
            Redock();
            WindowCloses closes;
            const std::string faults =
                run <= kRunsWithFaults && dice_.Percent(80) ? DrawFaults(closes) : "no faults";
            SCOPED_TRACE("day " + std::to_string(day) + ", run " + std::to_string(run) + ": " + faults);
            ++runs;
            const RunResult result = RunProgram(world_, closes);
            powerCuts += result.end == RunEnd::Crashed;
            ClearFaults();
            const bool delivered = CheckAfterRun(result);
            if (::testing::Test::HasFailure()) {
                return;
            }
            if (result.end == RunEnd::Completed || result.end == RunEnd::NoData) {
                CheckDayDelivered(delivered);
                return;
            }
        }
        ADD_FAILURE() << "the day's data was not delivered after " << kRunsPerDayBound << " runs";
    }

    // The handheld, told that its data reached the server, starts afresh:
    // it drops the done marker and adds records after any it still holds.
    void Gather(int day, std::uint64_t count)
    {
        world_.device.files.erase(kDeviceDoneMarker);
        std::string& data = world_.device.files[kDeviceDataFile];
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::string key = RecordKey(day, nextRecord_++);
            data += key + " at ~\r\n";
            produced_.insert(key);
        }
    }

    // The handheld is docked afresh for each run: its files stay, its link
    // and its faults are new.
    void Redock()
    {
        testing::FakeDevice docked(&world_.plan);
        docked.files = std::move(world_.device.files);
        world_.device = std::move(docked);
    }

    // Sets this run's faults, and the user's closes of the window; returns
    // what they are.
    std::string DrawFaults(WindowCloses& closes)
    {
        std::string drawn;
        const auto say = [&drawn](const std::string& fault) { drawn += (drawn.empty() ? "" : "; ") + fault; };
        world_.random.fraction = static_cast<double>(dice_.Below(1001)) / 1000;
        if (dice_.Percent(40)) {
            const long step = static_cast<long>(dice_.Below(kStepsOfALongRun));
            world_.plan.CrashAt(step);
            say("power cut at step " + std::to_string(step));
        }
        if (dice_.Percent(15)) {
            world_.device.undockAtCall = 1 + dice_.Below(kHandheldCallsOfALongRun);
            say("handheld undocked at its call " + std::to_string(world_.device.undockAtCall));
        }
        if (dice_.Percent(8)) {
            world_.device.writeAtMost = static_cast<std::uint32_t>(dice_.Below(kDoneContents.size()));
            say("the handheld writes at most " + std::to_string(*world_.device.writeAtMost)
                + " bytes at a time");
        }
        if (dice_.Percent(5)) {
            world_.device.openForReadFailCode = kErrorSharingViolation;
            say("another program on the handheld holds its data file");
        }
        if (dice_.Percent(5)) {
            world_.device.readFailAt = static_cast<int>(1 + dice_.Below(4));
            world_.device.readFailCode = kErrorGenFailure;
            say("the handheld fails its read " + std::to_string(world_.device.readFailAt));
        }
        if (dice_.Percent(6)) {
            world_.device.failDelete = true;
            say("the handheld refuses to delete files");
        }
        if (dice_.Percent(35)) {
            for (std::uint64_t n = 1 + dice_.Below(3); n > 0; --n) {
                say(DealServerFailure());
            }
        }
        if (dice_.Percent(12)) {
            say(PlaceForeignFile());
        }
        if (dice_.Percent(8)) {
            const std::string held = AFileOfTheRun();
            world_.files.heldByAnotherProgram.insert(held);
            say("another program holds " + held);
        }
        if (dice_.Percent(5)) {
            const std::string filled = AFileOfTheRun();
            world_.files.diskFullAt[filled] = dice_.Below(2 * kDeviceReadSize);
            say("the disk is full once " + filled + " reaches "
                + std::to_string(world_.files.diskFullAt[filled]) + " bytes");
        }
        if (dice_.Percent(5)) {
            world_.files.contents.erase(kLocalDoneFile);
            say("done.txt is missing");
        }
        if (dice_.Percent(4)) {
            world_.device.closeWhileWaiting = true;
            say("the window is closed while the job waits for the handheld");
        }
        if (dice_.Percent(6)) {
            closes.atPump = static_cast<int>(1 + dice_.Below(400));
            say("the window is closed at its pump " + std::to_string(closes.atPump));
        }
        if (dice_.Percent(8)) {
            closes.atProgress = 1 + dice_.Below(8);
            say("the window is closed at its progress report " + std::to_string(closes.atProgress));
        }
        return drawn.empty() ? "no faults" : drawn;
    }

    std::string DealServerFailure()
    {
        const std::size_t stage = dice_.Below(std::size(kFtpStages));
        const ServerFault& fault = kServerFaults[dice_.Below(std::size(kServerFaults))];
        const int times = dice_.Percent(10) ? kEveryTime : static_cast<int>(1 + dice_.Below(3));
        const auto after = std::chrono::seconds(dice_.Percent(25) ? dice_.Below(70) : 0);
        world_.server.failures.push_back(
            DealtFailure{kFtpStages[stage], FtpError(fault.kind, fault.reason, fault.reply), times, after});
        return std::string("the server answers ") + (fault.reply[0] != '\0' ? fault.reply : fault.reason)
               + " " + kFtpStageNames[stage]
               + (times == kEveryTime ? " every time" : " " + std::to_string(times) + " times") + " after "
               + std::to_string(after.count()) + " s";
    }

    // Another PC's upload file, put on the server under a name that this PC
    // has waiting or is about to give its next file.
    std::string PlaceForeignFile()
    {
        std::vector<std::string> names = PendingUploads(world_.files);
        std::optional<std::string> name = UploadFileName(world_.clock.Now(), world_.settings.locationCode);
        for (int minute = 0; minute < 3 && name; ++minute, name = NextMinuteUploadName(*name)) {
            names.push_back(*name);
        }
        const std::string chosen = names[dice_.Below(names.size())];
        const std::string path = world_.settings.remoteFolder + chosen;
        if (world_.server.files.count(path) != 0) {
            return "no other PC's file: the server holds " + path;
        }
        const std::string contents = "UH" + chosen + "0001\r\nanother PC's record "
                                     + std::to_string(foreign_.size()) + "\r\n<<EOF:>>\r\n";
        world_.server.files[path] = contents;
        foreign_[path] = contents;
        return "another PC's file " + path + " on the server";
    }

    // A file of the working folder, there now or made by the run.
    std::string AFileOfTheRun()
    {
        std::vector<std::string> names{kStagingFile, kPullFile, kPulledFile, kMergeFile, kDoneMarkerOwedFile};
        for (const auto& [name, contents] : world_.files.contents) {
            names.push_back(name);
        }
        const std::string next = UploadFileName(world_.clock.Now(), world_.settings.locationCode);
        for (const char* suffix : {"", kUnfinishedSuffix, kPendingSuffix}) {
            names.push_back(next + suffix);
        }
        return names[dice_.Below(names.size())];
    }

    void ClearFaults()
    {
        world_.plan.CrashAt(-1);
        world_.server.failures.clear();
        world_.files.heldByAnotherProgram.clear();
        world_.files.diskFullAt.clear();
        world_.files.contents[kLocalDoneFile] = kDoneContents;
    }

    // ---------------------------------------------------------------- checks

    // Checks what must hold after any run; returns whether every record is
    // delivered: on the server, and neither on the handheld nor waiting.
    bool CheckAfterRun(const RunResult& result)
    {
        RecordCounts onHandheld;
        RecordCounts waiting;
        RecordCounts onServer;       // in any file of ours, whole or not
        RecordCounts onServerWhole;  // in whole upload files of ours
        if (const auto data = world_.device.files.find(kDeviceDataFile); data != world_.device.files.end()) {
            CountRecords(data->second, onHandheld);
        }
        for (const std::string& name : FilesHoldingData(world_.files)) {
            CountRecords(world_.files.contents.at(name), waiting);
        }
        for (const auto& [path, contents] : world_.server.files) {
            if (foreign_.count(path) != 0) {
                continue;
            }
            CountRecords(contents, onServer);
            if (IsWholeUploadFile(path.substr(world_.settings.remoteFolder.size()), contents)) {
                CountRecords(contents, onServerWhole);
            }
        }
        for (const auto& [path, contents] : foreign_) {
            const auto found = world_.server.files.find(path);
            EXPECT_TRUE(found != world_.server.files.end() && found->second == contents)
                << "another PC's file " << path << " was replaced or removed";
        }

        std::vector<std::string> twiceOnServer;
        std::vector<std::string> waitingTwice;
        std::vector<std::string> lost;
        bool delivered = true;
        for (const std::string& key : produced_) {
            if (onServer[key] > 1) {
                twiceOnServer.push_back(key);
            }
            if (waiting[key] > 1) {
                waitingTwice.push_back(key);
            }
            if (onHandheld[key] + waiting[key] + onServerWhole[key] == 0) {
                lost.push_back(key);
            }
            delivered = delivered && onServerWhole[key] == 1 && onHandheld[key] == 0 && waiting[key] == 0;
        }
        EXPECT_TRUE(twiceOnServer.empty()) << Some(twiceOnServer) << " on the server twice";
        EXPECT_TRUE(waitingTwice.empty())
            << Some(waitingTwice) << " waiting in the working folder twice, to be sent twice";
        EXPECT_TRUE(lost.empty()) << Some(lost)
                                  << " lost: neither on the handheld, nor waiting, nor on the server";

        const auto marker = world_.device.files.find(kDeviceDoneMarker);
        if (marker != world_.device.files.end()) {
            EXPECT_EQ(marker->second, kDoneContents) << "the handheld holds a part of a done marker";
            EXPECT_TRUE(delivered) << "the handheld was told its data reached the server, which it has not";
        } else if (delivered) {
            EXPECT_TRUE(world_.files.Exists(kDoneMarkerOwedFile))
                << "the data reached the server, the handheld was not told, and no run will tell it";
        }

        const bool saidDone =
            std::any_of(result.messages.begin(), result.messages.end(),
                        [](const auto& message) { return message.text == kSafeToRemoveMessage; });
        if (saidDone || result.end == RunEnd::Completed || result.end == RunEnd::NoData) {
            EXPECT_TRUE(delivered) << "the run ended as if everything was sent, and it was not";
        }
        // The program reports a failure it did not foresee as an unexpected
        // error (app/run_report.cpp); every fault here is one it foresees.
        for (const auto& message : result.messages) {
            EXPECT_EQ(message.text.find("unexpected error"), std::string::npos) << message.text;
        }
        return delivered;
    }

    // After the run that ended the day: every record is on the server once,
    // in whole upload files that are this PC's archive; the handheld has its
    // marker, and nothing waits or is half done.
    void CheckDayDelivered(bool delivered)
    {
        EXPECT_TRUE(delivered);
        EXPECT_EQ(world_.device.files.count(kDeviceDoneMarker), 1u) << "the handheld has no done marker";
        EXPECT_FALSE(world_.files.Exists(kDoneMarkerOwedFile));
        EXPECT_TRUE(PendingUploads(world_.files).empty());
        EXPECT_FALSE(world_.files.Exists(kStagingFile));
        EXPECT_TRUE(FilesOfAnInterruptedRun(world_.files).empty());
        for (const auto& [path, contents] : world_.server.files) {
            if (foreign_.count(path) != 0) {
                continue;
            }
            const std::string name = path.substr(world_.settings.remoteFolder.size());
            const auto archived = world_.files.contents.find(name);
            EXPECT_TRUE(archived != world_.files.contents.end() && archived->second == contents)
                << path << " on the server is not this PC's upload file of that name";
            RecordCounts records;
            CountRecords(contents, records);
            for (const auto& [key, count] : records) {
                EXPECT_EQ(produced_.count(key), 1u)
                    << path << " holds " << key << ", which the handheld never made";
            }
        }
    }

    Dice dice_;
    World world_;
    int nextRecord_ = 0;
    std::set<std::string> produced_;
    std::map<std::string, std::string> foreign_;  // remote path -> another PC's file, as put there
};

std::optional<std::uint64_t> FromEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::stoull(value);
}

TEST(RandomDays, NothingIsLostOrSentTwiceWhateverCutsTheRunsShort)
{
    const std::optional<std::uint64_t> replayed = FromEnvironment("KESTRANE_SOAK_SEED");
    const std::optional<std::uint64_t> seconds = FromEnvironment("KESTRANE_SOAK_SECONDS");
    const std::uint64_t first = replayed.value_or(
        FromEnvironment("KESTRANE_SOAK_FIRST_SEED").value_or(seconds ? KESTRANE_RANDOM_DAYS_SEEDS + 1 : 1));
    const auto started = std::chrono::steady_clock::now();
    const auto goOn = [&](std::uint64_t seed) {
        if (replayed) {
            return seed == first;
        }
        if (seconds) {
            return std::chrono::steady_clock::now() - started < std::chrono::seconds(*seconds);
        }
        return seed <= KESTRANE_RANDOM_DAYS_SEEDS;
    };
    long days = 0;
    long runs = 0;
    long powerCuts = 0;
    std::uint64_t last = first - 1;
    for (std::uint64_t seed = first; goOn(seed); ++seed) {
        last = seed;
        const std::string replay = "KESTRANE_SOAK_SEED=" + std::to_string(seed)
                                   + " " KESTRANE_UNIT_TESTS " '--gtest_filter=RandomDays.*'";
        SCOPED_TRACE("seed " + std::to_string(seed) + ", replayed by: " + replay);
        History history(seed);
        history.Live();
        days += history.days;
        runs += history.runs;
        powerCuts += history.powerCuts;
        if (HasFailure()) {
            ADD_FAILURE() << "seed " << seed << " failed; replay it with:\n  " << replay;
            break;
        }
    }
    std::cout << "Random days: seeds " << first << " to " << last << ", " << days << " days, " << runs
              << " runs, " << powerCuts << " of them cut by a power cut\n";
}

}  // namespace
}  // namespace kestrane
