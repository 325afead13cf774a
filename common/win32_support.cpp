#include "common/win32_support.h"

#include <limits>
#include <stdexcept>

namespace kestrane::win32 {

void ThrowLastErrorIf(bool failed, std::string_view what)
{
    ThrowLastErrorIf(failed, [what](DWORD code) {
        return std::runtime_error(std::string(what) + " failed: " + SystemErrorText(code));
    });
}

std::wstring Widen(const std::string& text)
{
    if (text.empty()) {
        return {};
    }
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw std::length_error("text too long to convert");
    }
    const int length = static_cast<int>(text.size());
    const int wide = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    ThrowLastErrorIf(wide <= 0, "MultiByteToWideChar");
    std::wstring result(static_cast<std::size_t>(wide), L'\0');
    ThrowLastErrorIf(::MultiByteToWideChar(CP_ACP, 0, text.data(), length, result.data(), wide) != wide,
                     "MultiByteToWideChar");
    return result;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw std::length_error("text too long to convert");
    }
    const int length = static_cast<int>(text.size());
    const int narrow = ::WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    ThrowLastErrorIf(narrow <= 0, "WideCharToMultiByte");
    std::string result(static_cast<std::size_t>(narrow), '\0');
    ThrowLastErrorIf(
        ::WideCharToMultiByte(CP_ACP, 0, text.data(), length, result.data(), narrow, nullptr, nullptr)
            != narrow,
        "WideCharToMultiByte");
    return result;
}

std::string SystemErrorText(DWORD code)
{
    char* text = nullptr;
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                        | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        return "error " + std::to_string(code);
    }
    std::string result(text, length);
    ::LocalFree(text);
    while (
        !result.empty()
        && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    return result;
}

}  // namespace kestrane::win32
