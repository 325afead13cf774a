#include "common/win32_support.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace kestrane::win32 {

namespace {

// The longest path Windows gives out, in characters, its terminating zero included.
constexpr DWORD kLongestPath = 32768;

// The source file's name without its folders, which are the build machine's.
std::string_view FileName(const std::source_location& where)
{
    const std::string_view path = where.file_name();
    const auto slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The module whose message table describes code: wininet.dll for WinINet's
// codes, when the program has it loaded; otherwise none, and the system's
// table alone is searched.
HMODULE MessageModule(DWORD code)
{
    if (code < INTERNET_ERROR_BASE || code > INTERNET_ERROR_LAST) {
        return nullptr;
    }
    return ::GetModuleHandleW(L"wininet.dll");
}

}  // namespace

void ThrowLastErrorIf(bool failed, std::string_view what, std::source_location where)
{
    ThrowLastErrorIf(failed, [what, &where](DWORD code) {
        return std::runtime_error(std::string(what) + " failed at " + std::string(FileName(where)) + ":"
                                  + std::to_string(where.line()) + ": " + SystemErrorText(code));
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
    const std::string number = "error " + std::to_string(code);
    // With both sources, FormatMessage searches the module's table first, then the system's.
    const HMODULE module = MessageModule(code);
    const DWORD source = module == nullptr ? 0 : FORMAT_MESSAGE_FROM_HMODULE;
    char* text = nullptr;
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | source
                                        | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    module, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        return number;
    }
    std::string result(text, length);
    ::LocalFree(text);
    while (
        !result.empty()
        && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    return result.empty() ? number : result + " (" + number + ")";
}

std::wstring ModuleFileName(HMODULE module)
{
    // A name that fills the buffer completely may have been cut short: the
    // buffer grows until the whole name, and its terminating zero, fit.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(path.size());
        const DWORD length = ::GetModuleFileNameW(module, path.data(), size);
        ThrowLastErrorIf(length == 0, "GetModuleFileNameW");
        if (length < size) {
            path.resize(length);
            return path;
        }
        ThrowLastErrorIf(size >= kLongestPath, "GetModuleFileNameW");
        path.resize(std::min<std::size_t>(path.size() * 2, kLongestPath));
    }
}

}  // namespace kestrane::win32
