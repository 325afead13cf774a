// What kestrane-location checks in a location's settings before it writes
// them, reports when it shows them, and tries on the FTP server.
#pragma once

#include "ftp/ftp_client.h"
#include "net/server_certificate.h"
#include "settings/location_settings.h"

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

// Why these settings should not be written to a location.reg, as a sentence
// for the person who typed them, or nothing when they can be: a value holds
// ";" or "=" (CheckEncodable), the location code cannot name a file, or the
// host names a port that is not a number from 1 to 65535.
std::optional<std::string> CheckWritable(const LocationSettings& settings);

// What would stop Kestrane from working with this settings code, which
// decodes to settings: an empty code (Kestrane reports the settings missing),
// a code that is not whole pairs of hex digits, an unusable location code, a
// host with a bad port. One sentence per problem; none when all is well.
std::vector<std::string> FindSettingsProblems(std::string_view settingsCode,
                                              const LocationSettings& settings);

// The five settings, one labelled line each, values in quotes so that spaces
// show; control characters appear as \xNN. The password shows as ********
// unless showPassword.
std::string DescribeSettings(const LocationSettings& settings, bool showPassword);

// A settings code as the check found it: where it was looked for ("the
// registry", a file's name), and the code; nothing when none is stored.
struct FoundSettings {
    std::string source;
    std::optional<std::string> code;
};

// Does what Kestrane does to reach its server, and stops at the first step
// that fails: takes the settings as Kestrane loads them, connects and logs in
// with the client makeClient gives for them, and lists the remote folder
// that Kestrane's files go to. Prints to out one line per step (more for
// warnings) and a verdict; never the password, not even in a server's reply.
// Over TLS it prints the server's certificate as the client's observer is
// told of it, accepted or refused, so that an administrator can pin it.
// Changes nothing on the server. Returns whether every step passed.
using FtpClientMaker = std::function<std::unique_ptr<FtpClient>(const LocationSettings& settings,
                                                                const CertificateObserver& observer)>;
bool CheckServerAccess(const FoundSettings& found, const FtpClientMaker& makeClient, std::ostream& out);

}  // namespace kestrane
