#include "tools/location/location_check.h"

#include "ftp/ftp_client.h"

#include <algorithm>

namespace kestrane {
namespace {

constexpr const char* kLocationCodeRule =
    "A location code may not contain \\ / : * ? \" < > | or control characters, and may not be \".\" or "
    "\"..\".";
constexpr const char* kPortRule =
    "the FTP host ends in a port (after the last \":\") that is not a number from 1 to 65535";

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string Shown(std::string_view value)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string shown = "\"";
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7F) {
            shown += "\\x";
            shown += kDigits[c >> 4];
            shown += kDigits[c & 0x0F];
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown + "\"";
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
    if (!SplitHostAndPort(settings.host)) {
        return std::string(kPortRule) + ".";
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
    return "Location code:  " + Shown(settings.locationCode) + "\n"
           + "FTP host:       " + Shown(settings.host) + "\n" + "FTP user:       " + Shown(settings.user)
           + "\n" + "FTP password:   " + (showPassword ? Shown(settings.password) : kMaskedPassword) + "\n"
           + "Remote folder:  " + Shown(settings.remoteFolder) + "\n";
}

}  // namespace kestrane
