// A location's settings: which location this PC belongs to, and the FTP
// server, account and folder that receive its uploads.
//
// They are stored in the registry as one value, the settings code: hex digit
// pairs that decode to the settings string written back to front. The
// settings string is a list of entries key=value, each ended by ";".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

struct LocationSettings {
    std::string locationCode;  // key "l"
    std::string host;          // key "h": [ftpes:// or ftps://]host[:port]
    std::string user;          // key "u"
    std::string password;      // key "p"
    std::string remoteFolder;  // key "r"
    std::string pins = {};     // key "f": the server certificate's SHA-256 fingerprints (settings/certificate_pins.h)
};

// Decodes hex digit pairs into characters. The pair count is half the
// length, rounded half to even, so a lone last digit may form a pair of its
// own; a pair is read up to its first non-hex character (none gives 0).
std::string HexToText(std::string_view code);

// Each byte as two hex digits, 0-9 and A-F: the inverse of HexToText.
std::string TextToHex(std::string_view text);

// Takes the first entry off rest: appends its key to key and its value to
// value (both accumulate; the caller empties them), and leaves in rest what
// follows the entry's ";". Every "=" is dropped; the first one ends the key.
void NextSetting(std::string& rest, std::string& key, std::string& value);

// Reads every entry of a settings string; unknown keys are skipped and a
// repeated key keeps its last value.
LocationSettings ParseSettingsString(std::string_view settings);

// The whole decoding of a settings code: HexToText, reversed, parsed.
LocationSettings DecodeSettingsCode(std::string_view code);

// The inverse of DecodeSettingsCode, for provisioning a location. Values
// must not contain ";" or "=": CheckEncodable says why one cannot be stored.
std::string EncodeSettingsCode(const LocationSettings& settings);
std::optional<std::string> CheckEncodable(const LocationSettings& settings);

// The location code names local files and remote paths, so it must be
// usable as a Windows file name part: no \ / : * ? " < > |, no control
// characters, and not "." or "..". The empty code is allowed.
bool IsUsableLocationCode(std::string_view code);

// How a location's FTP server is reached, by the scheme of the "h" setting.
enum class FtpTls {
    None,      // "host": plain FTP
    Explicit,  // "ftpes://host": AUTH TLS on the control connection first (RFC 4217)
    Implicit,  // "ftps://host": TLS from the first byte
};

// The port of implicit FTP over TLS when the setting names none; the others use 21.
inline constexpr std::uint16_t kImplicitTlsPort = 990;

// The FTP server of the "h" setting: "host" or "host:port", either after a
// scheme that asks for TLS.
struct HostAndPort {
    std::string host;
    std::uint16_t port = 21;
    FtpTls tls = FtpTls::None;
};
// Nothing for a scheme other than ftpes:// and ftps://, or a port that is not
// a number from 1 to 65535: no connection could ever use such a setting.
// (An older Kestrane takes "ftpes://host" for a host with a port it cannot
// read, so a location moved to TLS never sends its password in clear.)
std::optional<HostAndPort> SplitHostAndPort(const std::string& host);

// How the password shows wherever others may read it: in a server's reply
// that repeats it, and in kestrane-location's output.
inline constexpr std::string_view kPasswordMask = "********";

// Where the settings code lives.
inline constexpr const char* kSettingsKeyPath = "SOFTWARE\\ORVALLE\\QUINTAR";
inline constexpr const char* kSettingsValueName = "REGCODE";

inline constexpr const char* kMissingSettingsMessage =
    "You need to run the location.reg file for this location on this PC or get a location.reg "
    "file from Orvalle Inc. (555) 014-2290";
inline constexpr const char* kUnusableHostMessage =
    "This PC's location settings name the FTP server with a port (after the last \":\") that is not a "
    "number from 1 to 65535, so Kestrane could never send anything there.\r\n\r\n"
    "You need a correct location.reg file for this location on this PC.";
inline constexpr const char* kUnusableSchemeMessage =
    "This PC's location settings name the FTP server with a scheme (before \"://\") that Kestrane does not "
    "know: only ftpes:// and ftps://, both FTP over TLS, or none for plain FTP.\r\n\r\n"
    "You need a correct location.reg file for this location on this PC.";
inline constexpr const char* kUnusablePinsMessage =
    "This PC's location settings pin the FTP server's certificate with something that is not a list of "
    "SHA-256 fingerprints, so Kestrane could never trust the server.\r\n\r\n"
    "You need a correct location.reg file for this location on this PC.";
inline constexpr const char* kPinWithoutTlsMessage =
    "This PC's location settings pin the FTP server's certificate, but name the server for plain FTP, "
    "which has no certificate: a pin asks for ftpes:// or ftps://.\r\n\r\n"
    "You need a correct location.reg file for this location on this PC.";
inline constexpr const char* kUnusableLocationCodeMessage =
    "This PC's location settings hold a location code that cannot be used in a file name.\r\n\r\n"
    "You need a correct location.reg file for this location on this PC.";

// The load step: from the registry's settings code (absent when the key or
// value is missing or unreadable) to settings, or to the message that
// explains why the program cannot run: the settings are missing, or hold a
// location code or an FTP server that can never work.
struct SettingsLoad {
    std::optional<LocationSettings> settings;
    std::string problem;  // set when settings is empty
};
SettingsLoad LoadLocationSettings(const std::optional<std::string>& settingsCode);

}  // namespace kestrane
