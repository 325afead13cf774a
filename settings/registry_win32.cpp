#include "settings/registry_win32.h"

#include "common/win32_support.h"
#include "settings/location_settings.h"

#include <new>
#include <vector>

namespace kestrane {
namespace {

LONG OpenSettingsKey(REGSAM view, win32::UniqueKey& key)
{
    return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_QUERY_VALUE | view, key.Put());
}

}  // namespace

LONG QueryRegValue(HKEY key, const char* valueName, RegValue& value) noexcept
{
    value = std::monostate{};
    DWORD type = 0;
    DWORD size = 0;
    LONG status = ::RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    try {
        switch (type) {
        case REG_SZ: {
            std::vector<char> buffer(size, '\0');
            status = ::RegQueryValueExA(key, valueName, nullptr, &type,
                                        reinterpret_cast<BYTE*>(buffer.data()), &size);
            if (status != ERROR_SUCCESS) {
                return status;
            }
            // The stored size counts the terminating zero; drop it, but never a
            // character of a value that was stored without one.
            std::size_t length = std::min<std::size_t>(size, buffer.size());
            if (length > 0 && buffer[length - 1] == '\0') {
                --length;
            }
            value = std::string(buffer.data(), length);
            return ERROR_SUCCESS;
        }
        case REG_DWORD: {
            DWORD number = 0;
            size = sizeof number;
            status =
                ::RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&number), &size);
            if (status == ERROR_SUCCESS) {
                value = static_cast<std::int32_t>(number);
            }
            return status;
        }
        default:
            return -1;
        }
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

std::optional<std::string> ReadSettingsCode()
{
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        win32::UniqueKey key;
        if (OpenSettingsKey(view, key) != ERROR_SUCCESS) {
            continue;
        }
        RegValue value;
        QueryRegValue(key.Get(), kSettingsValueName, value);
        if (const auto* text = std::get_if<std::string>(&value)) {
            return *text;
        }
    }
    return std::nullopt;
}

}  // namespace kestrane
