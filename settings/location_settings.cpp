#include "settings/location_settings.h"

#include "settings/certificate_pins.h"

#include <algorithm>
#include <cctype>

namespace kestrane {
namespace {

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsForbiddenInFileName(unsigned char c)
{
    return c < 0x20 || c == 0x7F
           || std::string_view("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos;
}

// The scheme before "://", in any case, and what follows it; no scheme: None.
std::optional<std::pair<FtpTls, std::string_view>> SplitScheme(std::string_view setting)
{
    const auto separator = setting.find("://");
    if (separator == std::string_view::npos) {
        return std::pair{FtpTls::None, setting};
    }
    std::string scheme(setting.substr(0, separator));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string_view rest = setting.substr(separator + 3);
    if (scheme == "ftpes") {
        return std::pair{FtpTls::Explicit, rest};
    }
    if (scheme == "ftps") {
        return std::pair{FtpTls::Implicit, rest};
    }
    return std::nullopt;
}

}  // namespace

std::string HexToText(std::string_view code)
{
    // Half the length, halves rounded to the even neighbour: 5 -> 2, 7 -> 4.
    const std::size_t half = code.size() / 2;
    const bool roundUp = code.size() % 2 == 1 && half % 2 == 1;
    const std::size_t pairs = half + (roundUp ? 1 : 0);

    std::string text;
    text.reserve(pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
        std::string_view pair = code.substr(2 * i, 2);
        int value = 0;
        for (char c : pair) {
            int digit = HexDigitValue(c);
            if (digit < 0) {
                break;
            }
            value = value * 16 + digit;
        }
        text.push_back(static_cast<char>(value));
    }
    return text;
}

std::string TextToHex(std::string_view text)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string code;
    code.reserve(text.size() * 2);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        code.push_back(kDigits[byte >> 4]);
        code.push_back(kDigits[byte & 0x0F]);
    }
    return code;
}

void NextSetting(std::string& rest, std::string& key, std::string& value)
{
    bool inValue = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const char c = rest[i];
        if (c == ';') {
            rest.erase(0, i + 1);
            return;
        }
        if (c == '=') {
            inValue = true;
        } else if (inValue) {
            value.push_back(c);
        } else {
            key.push_back(c);
        }
    }
    rest.clear();
}

LocationSettings ParseSettingsString(std::string_view settingsString)
{
    LocationSettings settings;
    std::string rest(settingsString);
    std::string key;
    std::string value;
    while (!rest.empty()) {
        key.clear();
        value.clear();
        NextSetting(rest, key, value);
        if (key == "u") {
            settings.user = value;
        } else if (key == "p") {
            settings.password = value;
        } else if (key == "r") {
            settings.remoteFolder = value;
        } else if (key == "l") {
            settings.locationCode = value;
        } else if (key == "h") {
            settings.host = value;
        } else if (key == "f") {
            settings.pins = value;
        }
    }
    return settings;
}

LocationSettings DecodeSettingsCode(std::string_view code)
{
    std::string settingsString = HexToText(code);
    std::reverse(settingsString.begin(), settingsString.end());
    return ParseSettingsString(settingsString);
}

std::optional<std::string> CheckEncodable(const LocationSettings& settings)
{
    const std::pair<const char*, const std::string*> fields[] = {
        {"location code", &settings.locationCode},
        {"host", &settings.host},
        {"user", &settings.user},
        {"password", &settings.password},
        {"remote folder", &settings.remoteFolder},
        {"certificate pin", &settings.pins},
    };
    for (const auto& [name, value] : fields) {
        if (value->find_first_of(";=") != std::string::npos) {
            return std::string("the ") + name
                   + " contains \";\" or \"=\", which the settings code cannot hold";
        }
    }
    if (!IsUsableLocationCode(settings.locationCode)) {
        return "the location code contains a character that cannot be used in a file name";
    }
    return std::nullopt;
}

std::string EncodeSettingsCode(const LocationSettings& settings)
{
    std::string settingsString = "l=" + settings.locationCode + ";h=" + settings.host + ";u=" + settings.user
                                 + ";p=" + settings.password + ";r=" + settings.remoteFolder + ";";
    // Only a location that pins its server's certificate has the key.
    if (!settings.pins.empty()) {
        settingsString += "f=" + settings.pins + ";";
    }
    std::reverse(settingsString.begin(), settingsString.end());

    return TextToHex(settingsString);
}

bool IsUsableLocationCode(std::string_view code)
{
    if (code == "." || code == "..") {
        return false;
    }
    return std::none_of(code.begin(), code.end(),
                        [](char c) { return IsForbiddenInFileName(static_cast<unsigned char>(c)); });
}

std::optional<HostAndPort> SplitHostAndPort(const std::string& setting)
{
    const auto scheme = SplitScheme(setting);
    if (!scheme) {
        return std::nullopt;
    }
    const auto [tls, host] = *scheme;
    const auto colon = host.rfind(':');
    if (colon == std::string::npos) {
        return HostAndPort{std::string(host), tls == FtpTls::Implicit ? kImplicitTlsPort : std::uint16_t{21}, tls};
    }
    const std::string digits(host.substr(colon + 1));
    if (digits.empty() || digits.size() > 5
        || !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return std::nullopt;
    }
    const unsigned long port = std::stoul(digits);
    if (port == 0 || port > 65535) {
        return std::nullopt;
    }
    return HostAndPort{std::string(host.substr(0, colon)), static_cast<std::uint16_t>(port), tls};
}

SettingsLoad LoadLocationSettings(const std::optional<std::string>& settingsCode)
{
    if (!settingsCode || settingsCode->empty()) {
        return {std::nullopt, kMissingSettingsMessage};
    }
    LocationSettings settings = DecodeSettingsCode(*settingsCode);
    if (!IsUsableLocationCode(settings.locationCode)) {
        return {std::nullopt, kUnusableLocationCodeMessage};
    }
    // Found now, before the handheld's data is taken, not once it waits to be sent.
    const std::optional<HostAndPort> server = SplitHostAndPort(settings.host);
    if (!server) {
        return {std::nullopt, SplitScheme(settings.host) ? kUnusableHostMessage : kUnusableSchemeMessage};
    }
    if (!settings.pins.empty()) {
        if (!ParseCertificatePins(settings.pins)) {
            return {std::nullopt, kUnusablePinsMessage};
        }
        if (server->tls == FtpTls::None) {
            return {std::nullopt, kPinWithoutTlsMessage};
        }
    }
    return {std::move(settings), {}};
}

}  // namespace kestrane
