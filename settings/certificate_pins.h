// The certificate pins of a location: the SHA-256 fingerprints of the FTP
// server certificates that the location's settings accept, in place of the
// trust of Windows. They are given as one setting, a comma-separated list.
//
// A fingerprint is written as 64 hex digits, upper or lower case, either
// run together or as 32 pairs separated by ":" (as `openssl x509
// -fingerprint -sha256` and most FTP clients show it, so an administrator
// can paste what they show). Blanks around a fingerprint are ignored. Any
// other separator, or a mix of pairs with and without ":", is refused: a
// fingerprint that is not read whole never matches, and a location whose
// pin could never match could never upload.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

using Sha256Fingerprint = std::array<std::uint8_t, 32>;

// The fingerprints of a pin setting, in their order; none for an empty or
// blank setting (the location then relies on Windows' trust). Nothing when
// the setting cannot be used: CheckCertificatePins says why.
std::optional<std::vector<Sha256Fingerprint>> ParseCertificatePins(std::string_view text);
std::optional<std::string> CheckCertificatePins(std::string_view text);

// A fingerprint as Kestrane shows it and the setting accepts it: 32 pairs of
// upper-case hex digits separated by ":".
std::string FingerprintText(const Sha256Fingerprint& fingerprint);

}  // namespace kestrane
