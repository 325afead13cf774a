#include "tools/location/location_check.h"

#include "common/scope_exit.h"
#include "ftp/ftp_replies.h"
#include "ftp/ftp_upload.h"
#include "settings/certificate_pins.h"

#include <algorithm>
#include <mutex>

namespace kestrane {
namespace {

constexpr const char* kLocationCodeRule =
    "A location code may not contain \\ / : * ? \" < > | or control characters, and may not be \".\" or "
    "\"..\".";
constexpr const char* kNoSettings =
    "There are none, so Kestrane will say that this PC has no location settings.";
constexpr const char* kPortRule =
    "the FTP host has a scheme other than ftpes:// or ftps://, or ends in a port (after the last \":\") that "
    "is not a number from 1 to 65535";

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The value in quotes, so that blanks show, with control characters as \xNN.
std::string Quoted(std::string_view value)
{
    std::string shown = "\"";
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        shown += byte < 0x20 || byte == 0x7F ? "\\x" + TextToHex({&c, 1}) : std::string(1, c);
    }
    return shown + "\"";
}

// A server's words on one line, as the check prints them: without the
// password, line breaks as blanks.
std::string OnOneLine(std::string text, const std::string& password)
{
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return WithoutPassword(text, password);
}

// Runs one step: prints what it does, then "ok", or why it failed.
template <typename Step>
bool RunStep(std::ostream& out, const std::string& doing, const std::string& password, Step step)
{
    out << doing << " ... " << std::flush;
    try {
        step();
    } catch (const FtpError& error) {
        out << "FAILED: " << OnOneLine(error.what(), password) << '.';
        if (!error.ServerReply().empty()) {
            out << " The server replied: " << OnOneLine(error.ServerReply(), password);
        }
        out << '\n';
        return false;
    }
    out << "ok\n";
    return true;
}

// The first certificate the client checked, the control connection's. The
// client's worker tells of it, and may still do so after the check has
// given the client up.
class FirstCertificate {
public:
    void Keep(const CertificateReport& report)
    {
        const std::lock_guard lock(mutex_);
        if (!first_) {
            first_ = report;
        }
    }
    std::optional<CertificateReport> First()
    {
        const std::lock_guard lock(mutex_);
        return first_;
    }

private:
    std::mutex mutex_;
    std::optional<CertificateReport> first_;
};

// Ends a check that failed with its verdict.
bool Failed(std::ostream& out, const char* why)
{
    out << "Verdict: FAILED. " << why << '\n';
    return false;
}

}  // namespace

std::optional<std::string> CheckWritable(const LocationSettings& settings)
{
    if (std::optional<std::string> problem = CheckEncodable(settings)) {
        std::string message = *problem + ".";
        if (!IsUsableLocationCode(settings.locationCode)) {
            message += std::string(" ") + kLocationCodeRule;
        }
        return message;
    }
    const std::optional<HostAndPort> server = SplitHostAndPort(settings.host);
    if (!server) {
        return std::string(kPortRule) + ".";
    }
    if (!settings.pins.empty()) {
        if (std::optional<std::string> problem = CheckCertificatePins(settings.pins)) {
            return "the certificate pin cannot be used: " + *problem + ".";
        }
        if (server->tls == FtpTls::None) {
            return "a certificate pin asks for FTP over TLS: name the host as ftpes://HOST or ftps://HOST.";
        }
    }
    return std::nullopt;
}

std::vector<std::string> FindSettingsProblems(std::string_view settingsCode, const LocationSettings& settings)
{
    if (settingsCode.empty()) {
        return {"The settings code is empty, so Kestrane will say that this PC has no location settings."};
    }
    std::vector<std::string> problems;
    if (settingsCode.size() % 2 != 0 || !std::all_of(settingsCode.begin(), settingsCode.end(), IsHexDigit)) {
        problems.push_back("The settings code is damaged: it is not made of pairs of the digits 0-9 and "
                           "letters A-F, so these settings may not be the ones that were meant.");
    }
    if (!IsUsableLocationCode(settings.locationCode)) {
        problems.push_back(std::string("The location code cannot be used in a file name, so Kestrane will "
                                       "refuse to run. ")
                           + kLocationCodeRule);
    }
    if (!SplitHostAndPort(settings.host)) {
        problems.push_back(std::string("In these settings ") + kPortRule
                           + ", so Kestrane cannot connect to it.");
    }
    return problems;
}

std::string DescribeSettings(const LocationSettings& settings, bool showPassword)
{
    return "Location code:  " + Quoted(settings.locationCode) + "\n" + "FTP host:       "
           + Quoted(settings.host) + "\n" + "FTP user:       " + Quoted(settings.user) + "\n"
           + "FTP password:   " + (showPassword ? Quoted(settings.password) : std::string(kPasswordMask))
           + "\n" + "Remote folder:  " + Quoted(settings.remoteFolder) + "\n"
           + (settings.pins.empty() ? "" : "Certificate pin: " + Quoted(settings.pins) + "\n");
}

bool CheckServerAccess(const FoundSettings& found, const FtpClientMaker& makeClient, std::ostream& out)
{
    out << "Reading the settings from " << found.source << " ... ";
    const std::vector<std::string> problems =
        found.code ? FindSettingsProblems(*found.code, DecodeSettingsCode(*found.code))
                   : std::vector<std::string>{kNoSettings};
    const SettingsLoad load = LoadLocationSettings(found.code);
    if (!load.settings) {
        out << "FAILED:";
        for (const std::string& problem : problems) {
            out << ' ' << problem;
        }
        out << '\n';
        return Failed(out, "There are no settings that Kestrane can use.");
    }
    const LocationSettings& settings = *load.settings;
    out << "ok: location code " << Quoted(settings.locationCode) << ", FTP host " << Quoted(settings.host)
        << ", FTP user " << Quoted(settings.user) << ", remote folder " << Quoted(settings.remoteFolder)
        << '\n';
    for (const std::string& problem : problems) {
        out << "Warning: " << problem << '\n';
    }

    const auto certificate = std::make_shared<FirstCertificate>();
    const std::unique_ptr<FtpClient> client =
        makeClient(settings, [certificate](const CertificateReport& report) { certificate->Keep(report); });
    const ScopeExit disconnect([&client] { client->Disconnect(); });
    const bool loggedIn =
        RunStep(out, "Connecting and logging in to " + Quoted(settings.host) + " as " + Quoted(settings.user),
                settings.password, [&] { client->Connect(AccountOf(settings)); });
    if (const std::optional<CertificateReport> checked = certificate->First()) {
        for (const std::string& line : DescribeCertificate(*checked, SplitHostAndPort(settings.host)->host)) {
            out << line << '\n';
        }
    }
    if (!loggedIn) {
        return Failed(out, "Kestrane cannot connect and log in to the FTP server with these settings.");
    }

    // Kestrane sends each file to the remote folder followed by the file's
    // name: what follows the folder's last "/" starts the names.
    const RemoteLocation uploads = SplitRemotePath(settings.remoteFolder);
    if (!uploads.name.empty()) {
        out << "Warning: the remote folder does not end in \"/\", so Kestrane puts its files in "
            << (uploads.folder.empty() ? std::string("the login folder") : Quoted(uploads.folder))
            << ", with names that start with " << Quoted(uploads.name) << ".\n";
    }
    const std::string listing = uploads.folder.empty()
                                    ? "Listing the login folder, where Kestrane puts its files"
                                    : "Listing the remote folder " + Quoted(uploads.folder);
    if (!RunStep(out, listing, settings.password, [&] { client->ListFolder(uploads.folder); })) {
        return Failed(out, "Kestrane can log in, but cannot list the folder it puts its files in.");
    }
    out << "Verdict: OK. With these settings Kestrane can log in to the FTP server and list the folder it "
           "puts its files in. Nothing was changed on the server.\n";
    return true;
}

}  // namespace kestrane
