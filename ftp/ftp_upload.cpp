#include "ftp/ftp_upload.h"

#include "common/job_error.h"
#include "common/scope_exit.h"
#include "ftp/ftp_replies.h"
#include "store/data_place.h"
#include "store/upload_format.h"
#include "store/working_folder.h"

#include <array>
#include <chrono>
#include <optional>

namespace kestrane {
namespace {

using namespace std::chrono_literals;

// How far ahead a file whose name the server already holds may be renamed.
constexpr int kRenameMinutes = 60;

// The waits before the retries, in order. Each is stretched or shrunk at
// random by up to kRetryJitter of itself, so that the locations a busy
// server turned away together do not all come back together.
constexpr std::array<SteadyClock::duration, 3> kRetryWaits{5s, 15s, 45s};
constexpr double kRetryJitter = 0.5;
// No retry is made whose wait would end later than this after the sending
// began: the staff wait at the PC.
constexpr SteadyClock::duration kRetryBudget = 2min;

// The server's own words on a refusal that will not change if asked again:
// a permanent negative reply (5xx).
bool RefusedForGood(const FtpError& error)
{
    const int code = ReplyCode(error.ServerReply());
    return error.Kind() == FtpFailureKind::Refused && code >= 500 && code < 600;
}

// A failure that a fresh connection may get past: a connection that broke
// off or timed out, or one of the replies by which FTP (RFC 959) refuses for
// now: 421 service not available (too many connections), 425 no data
// connection, 426 transfer aborted, 450 file busy, 451 local error, 452 no
// storage for now. Never a refusal for good, above all of the password
// (servers ban the PCs that repeat a refused one), nor a server that cannot
// be reached, a security failure or a local file's.
bool WorthRetrying(const FtpError& error)
{
    switch (error.Kind()) {
    case FtpFailureKind::ConnectionLost:
        return true;
    case FtpFailureKind::Refused:
        switch (ReplyCode(error.ServerReply())) {
        case 421:
        case 425:
        case 426:
        case 450:
        case 451:
        case 452:
            return true;
        default:
            return false;
        }
    default:
        return false;
    }
}

// What a server file of an upload's name turns out to be.
enum class ServerCopy { Whole, Start, Foreign };

// One file that did not reach the server, why, and how often it was tried.
struct Failure {
    std::string name;
    std::string reason;
    std::string serverReply;
    int tries = 1;
};

std::string WithServerReply(const std::string& text, const std::string& serverReply)
{
    return serverReply.empty() ? text : text + "\r\nThe server replied: " + serverReply;
}

// The retries of one sending, each on a fresh connection, after the waits
// above and within the budget.
class Retries {
public:
    Retries(JobWindow& window, Clock& clock, RandomSource& random, RunLog& log) :
        window_(window),
        clock_(clock),
        random_(random),
        log_(log),
        began_(clock.SteadyNow())
    {
    }

    // The wait before a retry after error, or nothing when it is not worth
    // one, when none is left, or when the wait would end past the budget.
    std::optional<SteadyClock::duration> WaitAfter(const FtpError& error)
    {
        if (!WorthRetrying(error) || made_ == kRetryWaits.size()) {
            return std::nullopt;
        }
        const double stretch = 1.0 - kRetryJitter + 2 * kRetryJitter * random_.Fraction();
        const auto wait = std::chrono::duration_cast<SteadyClock::duration>(kRetryWaits[made_] * stretch);
        if (clock_.SteadyNow() + wait - began_ > kRetryBudget) {
            return std::nullopt;
        }
        return wait;
    }

    // Says in the window and the run log why the sending of name is tried
    // again, then waits while the window answers. Throws WindowClosed when
    // the user closes the window meanwhile.
    void Wait(const std::string& name, const FtpError& error, SteadyClock::duration wait)
    {
        ++made_;
        const std::string failed = "Could not send " + name + ": " + error.what();
        window_.LogLine(failed + (error.ServerReply().empty() ? "" : " (" + error.ServerReply() + ")")
                        + ". Trying again " + InSeconds(wait) + " ...");
        log_.Record(WithServerReply(failed, error.ServerReply()) + "\r\nTrying again on a new connection "
                    + InSeconds(wait) + " (retry " + std::to_string(made_) + " of "
                    + std::to_string(kRetryWaits.size()) + ").");
        for (const SteadyClock::time_point until = clock_.SteadyNow() + wait; clock_.SteadyNow() < until;) {
            window_.PumpMessages();
        }
    }

private:
    JobWindow& window_;
    Clock& clock_;
    RandomSource& random_;
    RunLog& log_;
    const SteadyClock::time_point began_;
    std::size_t made_ = 0;
};

class Sender {
public:
    Sender(const LocationSettings& settings, FtpClient& client, JobWindow& window, Clock& clock,
           LocalFiles& files, RunLog& log) :
        settings_(settings),
        client_(client),
        window_(window),
        clock_(clock),
        files_(files),
        log_(log)
    {
    }

    // Delivers one upload file. When the server holds another file of its
    // name, it is renamed first, and name is then its new name.
    void Send(std::string& name)
    {
        const std::uint64_t localSize = LocalSize(name);
        const char* sent = "Sent ";
        if (const auto existing = client_.RemoteFileSize(RemotePath(name))) {
            switch (IdentifyServerCopy(name, *existing, localSize)) {
            case ServerCopy::Whole:
                window_.LogLine(name + " was already on the server");
                Confirm(name);
                log_.Record("Confirmed " + name + " without sending it again: the server holds all its "
                            + std::to_string(localSize) + " bytes");
                return;
            case ServerCopy::Start:
                // An interrupted upload of ours: sent again whole.
                log_.Record("The server holds the first " + std::to_string(*existing) + " of the "
                            + std::to_string(localSize) + " bytes of " + name + " from an interrupted upload");
                sent = "Sent again ";
                break;
            case ServerCopy::Foreign:
                name = RenameToFreeName(name);
                break;
            }
        }

        const SteadyClock::time_point started = clock_.SteadyNow();
        client_.PutFile(name, RemotePath(name));
        const auto stored = client_.RemoteFileSize(RemotePath(name));
        if (!stored) {
            throw FtpError(FtpFailureKind::Other,
                           "the server reported the upload as done, but does not list " + RemotePath(name));
        }
        if (*stored != localSize) {
            throw FtpError(FtpFailureKind::Other, "the server holds " + std::to_string(*stored)
                                                      + " of the file's " + std::to_string(localSize)
                                                      + " bytes");
        }
        Confirm(name);
        log_.Record(sent + name + " to " + RemotePath(name) + ": " + std::to_string(localSize) + " bytes "
                    + TookSince(clock_, started) + ", confirmed by the server");
    }

private:
    std::string RemotePath(const std::string& name) const { return settings_.remoteFolder + name; }

    std::uint64_t LocalSize(const std::string& name)
    {
        try {
            return files_.Size(name);
        } catch (const FileError& error) {
            throw FtpError(FtpFailureKind::LocalFile, "the upload file could not be read: " + error.Reason());
        }
    }

    // Whether the server's file holds our bytes: all of them, the first of
    // them, or anything else. Only the bytes tell: two PCs of a location, or
    // a location code used twice, can build files of the same name and size.
    ServerCopy IdentifyServerCopy(const std::string& name, std::uint64_t serverSize, std::uint64_t localSize)
    {
        if (serverSize > localSize) {
            return ServerCopy::Foreign;
        }
        // The copy is removed here or, if the run stops first, by the next one.
        const std::string copy = name + kServerCopySuffix;
        client_.GetFile(RemotePath(name), copy);
        try {
            const bool ourStart = FileStartsWith(files_, name, copy);
            const std::uint64_t copySize = files_.Size(copy);
            files_.Remove(copy);
            if (!ourStart) {
                return ServerCopy::Foreign;
            }
            return copySize == localSize ? ServerCopy::Whole : ServerCopy::Start;
        } catch (const FileError& error) {
            throw FtpError(FtpFailureKind::LocalFile,
                           std::string("the server's file of its name could not be compared with it: ")
                               + error.what());
        }
    }

    // Gives the upload file the first later minute's name that neither this
    // PC nor the server uses, and says so in the log.
    std::string RenameToFreeName(const std::string& name)
    {
        std::optional<std::string> candidate = NextMinuteUploadName(name);
        for (int tried = 0; candidate && tried < kRenameMinutes; ++tried) {
            if (!UploadNameTaken(files_, *candidate) && !client_.RemoteFileSize(RemotePath(*candidate))) {
                window_.LogLine("The server already holds another file named " + name + ": sending this one as "
                                + *candidate + " ...");
                try {
                    RenamePendingUpload(files_, window_, name, *candidate);
                } catch (const FileError& error) {
                    throw FtpError(FtpFailureKind::LocalFile,
                                   std::string("the server already holds another file of its name, and "
                                               "Kestrane could not rename it: ")
                                       + error.what());
                }
                return *candidate;
            }
            candidate = NextMinuteUploadName(*candidate);
        }
        throw FtpError(FtpFailureKind::Other, "the server already holds another file named "
                                                  + RemotePath(name)
                                                  + ", and Kestrane found no free name for it");
    }

    void Confirm(const std::string& name)
    {
        try {
            MarkUploadConfirmed(files_, name);
        } catch (const FileError& error) {
            throw JobError(name + " reached the server, but Kestrane could not record that: " + error.what()
                           + ". It will be checked again the next time Kestrane runs.");
        }
    }

    const LocationSettings& settings_;
    FtpClient& client_;
    JobWindow& window_;
    Clock& clock_;
    LocalFiles& files_;
    RunLog& log_;
};

// "after 4 tries".
std::string AfterTries(int tries)
{
    return "after " + std::to_string(tries) + " tries";
}

std::string FailureMessage(const LocationSettings& settings, const Failure& failure)
{
    const std::string message =
        WithServerReply("Kestrane could not send " + failure.name + " to the FTP server " + settings.host
                            + ": " + failure.reason + ".",
                        failure.serverReply);
    return failure.tries > 1 ? message + "\r\nKestrane gave up " + AfterTries(failure.tries) + "." : message;
}

}  // namespace

FtpAccount AccountOf(const LocationSettings& settings)
{
    return {SplitHostAndPort(settings.host).value(), settings.user, settings.password};
}

std::vector<std::string> FtpSendFile(const LocationSettings& settings, FtpClient& client, JobWindow& window,
                                     Clock& clock, RandomSource& random, LocalFiles& files, RunLog& log,
                                     const std::vector<UploadToSend>& uploads)
{
    std::vector<std::string> delivered;
    if (uploads.empty()) {
        return delivered;
    }
    Sender sender(settings, client, window, clock, files, log);
    Retries retries(window, clock, random, log);
    const auto recordFailure = [&log](const std::string& name, const FtpError& error,
                                      const std::string& then) {
        log.Record(WithServerReply("Could not send " + name + ": " + error.what(), error.ServerReply()) + "\r\n"
                   + then);
    };
    // The names as they are sent: a file may be renamed on the way.
    std::vector<std::string> names;
    for (const UploadToSend& upload : uploads) {
        names.push_back(upload.name);
    }
    std::vector<std::string> unsent;
    std::optional<Failure> firstFailure;
    std::size_t next = 0;
    // How often names[next] has been tried, and how many files have been announced.
    int tries = 1;
    std::size_t announced = 0;
    try {
        // Disconnected before any error is reported, whichever way the sending ends.
        const ScopeExit disconnect([&client] { client.Disconnect(); });
        bool connected = false;
        while (next < uploads.size()) {
            try {
                if (!connected) {
                    const SteadyClock::time_point connecting = clock.SteadyNow();
                    client.Connect(AccountOf(settings));
                    connected = true;
                    log.Record("Connected and logged in to " + settings.host + " "
                               + TookSince(clock, connecting));
                }
                if (announced == next) {
                    ++announced;
                    if (uploads[next].fromEarlierRun) {
                        window.LogLine("Sending earlier file " + names[next] + " ...");
                    }
                }
                sender.Send(names[next]);
                delivered.push_back(names[next]);
            } catch (const FtpError& error) {
                if (connected && RefusedForGood(error)) {
                    recordFailure(names[next], error,
                                  "The server refused it for good; the files after it go on.");
                    unsent.push_back(names[next]);
                    if (!firstFailure) {
                        firstFailure = Failure{names[next], error.what(), error.ServerReply(), tries};
                    }
                } else {
                    const std::optional<SteadyClock::duration> wait = retries.WaitAfter(error);
                    if (!wait) {
                        throw;
                    }
                    // The server's connection is let go before the wait: a
                    // busy server counts it until then.
                    client.Disconnect();
                    connected = false;
                    retries.Wait(names[next], error, *wait);
                    ++tries;
                    continue;
                }
            }
            ++next;
            tries = 1;
        }
    } catch (const FtpError& error) {
        recordFailure(names[next], error,
                      tries > 1 ? "Sending stopped there, " + AfterTries(tries) + "."
                                : "Sending stopped there.");
        if (!firstFailure) {
            firstFailure = Failure{names[next], error.what(), error.ServerReply(), tries};
        }
        unsent.insert(unsent.end(), names.begin() + static_cast<std::ptrdiff_t>(next), names.end());
    } catch (const JobError& error) {
        unsent.insert(unsent.end(), names.begin() + static_cast<std::ptrdiff_t>(next), names.end());
        throw JobError(error.what() + WhereTheDataIs(DataPlace::UploadFiles, unsent));
    } catch (const WindowClosed&) {
        log.Record("The window was closed while Kestrane was sending " + names[next]
                   + ": sending stopped there");
        unsent.insert(unsent.end(), names.begin() + static_cast<std::ptrdiff_t>(next), names.end());
        throw JobError(
            StoppedByTheWindowsClose("sending " + names[next] + " to the FTP server " + settings.host,
                                     DataPlace::UploadFiles, unsent));
    }
    if (firstFailure) {
        throw JobError(FailureMessage(settings, *firstFailure) + WhereTheDataIs(DataPlace::UploadFiles, unsent));
    }
    return delivered;
}

}  // namespace kestrane
