// Many locations' settings in one CSV file, from which kestrane-location
// makes each location's registry file at once.
//
// The file is comma-separated values as RFC 4180 has them: a field in double
// quotes may hold commas, line breaks and quotes, each quote doubled; lines
// end in CR LF or LF. It is UTF-8, with or without a byte order mark. Its
// first line names the columns, in any order and any case: location_code,
// host, user, password, remote_folder, and pin, which may be left out. Every
// other line is a location; one whose fields are all empty is skipped.
#pragma once

#include "settings/location_settings.h"

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

// One location of the file.
struct CsvLocation {
    std::size_t line = 0;                      // the line of the file its row starts on
    std::optional<LocationSettings> settings;  // as the settings store them; empty when refused
    std::string problem;                       // why it is refused; never quotes its password
};

// A file that holds no table of locations: it is empty, its header does not
// name the columns, or no row follows it.
class LocationsCsvError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Text in the code page the settings are stored in; nothing when a character
// has no place in it.
using SettingsTextEncoder = std::optional<std::string> (*)(std::u32string_view text);

// Every location of the file, in order, with its settings in the encoding of
// toSettingsText, or why they cannot be written: a quote out of place or
// never closed, fields too many or too few, a value that is not UTF-8 or
// that toSettingsText cannot store, a location code that is empty or cannot
// name a file, or that another row has too, ignoring case (each such row is
// refused: which one is meant cannot be told), or settings that CheckWritable
// refuses. Throws LocationsCsvError for a file that holds no table.
std::vector<CsvLocation> ReadLocationsCsv(std::string_view fileBytes, SettingsTextEncoder toSettingsText);

// The name of a location's registry file when many are made at once: its
// code and ".reg", as in 0042.reg.
std::string LocationRegFileName(std::string_view locationCode);

}  // namespace kestrane
