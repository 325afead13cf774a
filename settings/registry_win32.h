// Reading the location's settings code from the Windows registry.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace kestrane {

// One registry value as the reader understands it: absent, text or a
// 32-bit signed number.
using RegValue = std::variant<std::monostate, std::string, std::int32_t>;

// Reads valueName under an open key. Returns 0 and sets value on success;
// otherwise the registry's error code, or -1 for a value type other than
// REG_SZ and REG_DWORD, and value stays absent. Never throws.
LONG QueryRegValue(HKEY key, const char* valueName, RegValue& value) noexcept;

// The settings code stored for this PC, or nothing when the key, the value
// or its text is missing or unreadable. The value is looked up in the 64-bit
// registry view and, when it is not there as text (whether or not the key
// is), in the 32-bit view, where a location.reg imported by a 32-bit program
// puts it.
std::optional<std::string> ReadSettingsCode();

}  // namespace kestrane
