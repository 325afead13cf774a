// location.reg: the registry file that provisions a location's PC. Importing
// it (double-clicking it, or "regedit /s location.reg") stores the settings
// code as the text value REGCODE under HKEY_LOCAL_MACHINE\SOFTWARE\ORVALLE\QUINTAR.
//
// FormatLocationReg writes one in the REGEDIT4 format, which both Windows'
// and Wine's regedit import. ReadSettingsCodeFromReg finds the settings code
// in a registry file: one written here, one exported by regedit (REGEDIT4, or
// "Windows Registry Editor Version 5.00", which regedit writes in UTF-16LE
// with a byte order mark, read here as UTF-8), or one written by hand.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrane {

// The whole file: "REGEDIT4", a blank line, the settings key, the REGCODE
// line holding settingsCode as a quoted string, and a blank line; every line
// ends with CR LF.
std::string FormatLocationReg(std::string_view settingsCode);

// A file that is not a registry file, or that leaves no settings code.
class RegFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The settings code that importing the file leaves in the registry. Lines are
// taken in order, as regedit takes them: a REGCODE line under the settings
// key sets the code, and "[-key]" (the settings key or one above it) or
// "REGCODE"=- removes it again. Names of keys and values match regardless of
// case; other keys and values are skipped. Throws RegFileError, with a
// message for the file's owner, when the file is not a registry file, its
// REGCODE line is broken or not a text value, or no settings code is left.
std::string ReadSettingsCodeFromReg(std::string_view fileBytes);

}  // namespace kestrane
