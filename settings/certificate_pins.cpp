#include "settings/certificate_pins.h"

#include "settings/location_settings.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <variant>

namespace kestrane {
namespace {

constexpr std::size_t kDigitCount = 2 * std::tuple_size_v<Sha256Fingerprint>;
// 32 pairs and the 31 ":" between them.
constexpr std::size_t kSeparatedLength = kDigitCount + kDigitCount / 2 - 1;
// What Windows' certificate dialog calls the thumbprint: SHA-1, 40 digits.
constexpr std::size_t kSha1DigitCount = 40;

bool IsHexDigit(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

std::string_view TrimBlanks(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The hex digits of one fingerprint as written, or nothing when it is
// written in neither accepted form.
std::optional<std::string> DigitsOf(std::string_view written)
{
    std::string digits;
    if (written.size() == kDigitCount) {
        digits.assign(written);
    } else if (written.size() == kSeparatedLength) {
        for (std::size_t i = 0; i < written.size(); ++i) {
            if (i % 3 == 2) {
                if (written[i] != ':') {
                    return std::nullopt;
                }
            } else {
                digits.push_back(written[i]);
            }
        }
    } else {
        return std::nullopt;
    }
    if (!std::all_of(digits.begin(), digits.end(), IsHexDigit)) {
        return std::nullopt;
    }
    return digits;
}

std::string WhyNotAFingerprint(std::string_view written)
{
    std::string why = "\"";
    why.append(written);
    why += "\" is not a SHA-256 fingerprint";
    if (std::count_if(written.begin(), written.end(), IsHexDigit) == kSha1DigitCount) {
        why += " (its 40 hex digits make a SHA-1 thumbprint)";
    }
    return why + ": a pin is 64 hex digits, run together or as 32 pairs separated by \":\"";
}

std::variant<std::vector<Sha256Fingerprint>, std::string> ReadPins(std::string_view text)
{
    std::vector<Sha256Fingerprint> pins;
    if (TrimBlanks(text).empty()) {
        return pins;
    }
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view written = TrimBlanks(text.substr(0, comma));
        if (written.empty()) {
            return std::string("the certificate pins hold an empty entry between commas, or at an end");
        }
        const std::optional<std::string> digits = DigitsOf(written);
        if (!digits) {
            return WhyNotAFingerprint(written);
        }
        Sha256Fingerprint& pin = pins.emplace_back();
        for (std::size_t i = 0; i < pin.size(); ++i) {
            const char* pair = digits->data() + 2 * i;
            std::from_chars(pair, pair + 2, pin[i], 16);
        }
        if (comma == std::string_view::npos) {
            return pins;
        }
        text.remove_prefix(comma + 1);
    }
}

}  // namespace

std::optional<std::vector<Sha256Fingerprint>> ParseCertificatePins(std::string_view text)
{
    auto read = ReadPins(text);
    if (auto* pins = std::get_if<std::vector<Sha256Fingerprint>>(&read)) {
        return std::move(*pins);
    }
    return std::nullopt;
}

std::optional<std::string> CheckCertificatePins(std::string_view text)
{
    auto read = ReadPins(text);
    if (auto* why = std::get_if<std::string>(&read)) {
        return std::move(*why);
    }
    return std::nullopt;
}

std::string FingerprintText(const Sha256Fingerprint& fingerprint)
{
    const std::string hex =
        TextToHex(std::string_view(reinterpret_cast<const char*>(fingerprint.data()), fingerprint.size()));
    std::string text;
    text.reserve(kSeparatedLength);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (i != 0) {
            text.push_back(':');
        }
        text.push_back(hex[i]);
        text.push_back(hex[i + 1]);
    }
    return text;
}

}  // namespace kestrane
