// What kestrane-location checks in a location's settings before it writes
// them, and reports when it shows them.
#pragma once

#include "settings/location_settings.h"

#include <optional>
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

inline constexpr const char* kMaskedPassword = "********";

}  // namespace kestrane
