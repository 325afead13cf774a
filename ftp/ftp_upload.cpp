#include "ftp/ftp_upload.h"

#include "common/job_error.h"
#include "common/scope_exit.h"
#include "store/working_folder.h"

namespace kestrane {
namespace {

std::string KeptMessage(const std::vector<UploadToSend>& uploads, std::size_t firstUnsent)
{
    std::vector<std::string> names;
    for (std::size_t i = firstUnsent; i < uploads.size(); ++i) {
        names.push_back(uploads[i].name);
    }
    return WhereTheDataIs(DataPlace::UploadFiles, names);
}

class Sender {
public:
    Sender(const LocationSettings& settings, FtpClient& client, JobWindow& window, Clock& clock,
           LocalFiles& files) :
        settings_(settings),
        client_(client),
        window_(window),
        clock_(clock),
        files_(files)
    {
    }

    void ConnectAndWait()
    {
        client_.SetHost(settings_.host);
        client_.SetUser(settings_.user);
        client_.SetPassword(settings_.password);
        client_.Connect();
        const std::int64_t started = clock_.SteadyMilliseconds();
        while (!client_.IsConnected()) {
            if (clock_.SteadyMilliseconds() - started >= kConnectTimeLimitMs) {
                throw FtpError("no answer within " + std::to_string(kConnectTimeLimitMs / 1000)
                               + " seconds while connecting and logging in");
            }
            if (!window_.PumpMessages()) {
                throw FtpError("the window was closed while Kestrane was connecting");
            }
        }
    }

    void Send(const UploadToSend& upload)
    {
        const std::string remotePath = settings_.remoteFolder + upload.name;
        std::uint64_t localSize = 0;
        try {
            localSize = files_.Size(upload.name);
        } catch (const FileError& error) {
            throw JobError("Kestrane could not read the upload file " + upload.name + ": " + error.Reason()
                           + ".");
        }

        if (const auto existing = client_.RemoteFileSize(remotePath)) {
            if (upload.fromEarlierRun && *existing == localSize) {
                window_.LogLine(upload.name + " was already on the server");
                Confirm(upload.name);
                return;
            }
            if (!upload.fromEarlierRun) {
                throw FtpError("the server already holds a file named " + remotePath
                               + ", and Kestrane never replaces one");
            }
            // A file of ours that an interrupted run left short: send it again whole.
        }

        client_.PutFile(upload.name, remotePath);
        const auto stored = client_.RemoteFileSize(remotePath);
        if (!stored) {
            throw FtpError("the server reported the upload as done, but does not list " + remotePath);
        }
        if (*stored != localSize) {
            throw FtpError("the server holds " + std::to_string(*stored) + " of the file's "
                           + std::to_string(localSize) + " bytes");
        }
        Confirm(upload.name);
    }

private:
    void Confirm(const std::string& name)
    {
        try {
            MarkUploadConfirmed(files_, name);
        } catch (const FileError& error) {
            throw JobError(name + " reached the server, but Kestrane could not record that: " + error.Path()
                           + ": " + error.Reason()
                           + ". It will be checked again the next time Kestrane runs.");
        }
    }

    const LocationSettings& settings_;
    FtpClient& client_;
    JobWindow& window_;
    Clock& clock_;
    LocalFiles& files_;
};

}  // namespace

void FtpSendFile(const LocationSettings& settings, FtpClient& client, JobWindow& window, Clock& clock,
                 LocalFiles& files, const std::vector<UploadToSend>& uploads)
{
    if (uploads.empty()) {
        return;
    }
    Sender sender(settings, client, window, clock, files);
    std::size_t next = 0;
    try {
        // Disconnected before any error is reported, whichever way the sending ends.
        const ScopeExit disconnect([&client] { client.Disconnect(); });
        sender.ConnectAndWait();
        for (; next < uploads.size(); ++next) {
            if (uploads[next].fromEarlierRun) {
                window.LogLine("Sending earlier file " + uploads[next].name + " ...");
            }
            sender.Send(uploads[next]);
        }
    } catch (const FtpError& error) {
        std::string message = "Kestrane could not send " + uploads[next].name + " to the FTP server "
                              + settings.host + ": " + error.what() + ".";
        if (!error.ServerReply().empty()) {
            message += "\r\nThe server replied: " + error.ServerReply();
        }
        throw JobError(message + KeptMessage(uploads, next));
    } catch (const JobError& error) {
        throw JobError(error.what() + KeptMessage(uploads, next));
    }
}

}  // namespace kestrane
