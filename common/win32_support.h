// Small Win32 helpers shared by the Windows layers: owned handles, text
// conversion through the system code page, and the system's error texts.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace kestrane::win32 {

// A move-only owner of one handle, released by Close.
template <typename Handle, auto Close, Handle Invalid = Handle{}>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, Invalid)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            Reset(std::exchange(other.handle_, Invalid));
        }
        return *this;
    }
    ~UniqueHandle() { Reset(); }

    Handle Get() const { return handle_; }
    explicit operator bool() const { return handle_ != Invalid; }
    Handle Release() { return std::exchange(handle_, Invalid); }
    void Reset(Handle handle = Invalid)
    {
        if (handle_ != Invalid) {
            Close(handle_);
        }
        handle_ = handle;
    }

private:
    Handle handle_ = Invalid;
};

inline void CloseKernelHandle(HANDLE handle) { ::CloseHandle(handle); }

// CreateFile and friends return INVALID_HANDLE_VALUE on failure; the rest NULL.
using UniqueFile = UniqueHandle<HANDLE, CloseKernelHandle, INVALID_HANDLE_VALUE>;
using UniqueKernelObject = UniqueHandle<HANDLE, CloseKernelHandle>;

// System code page text to UTF-16 and back.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// The system's description of a Win32 error code, without the trailing
// line break, or "error N" when the system has none.
std::string SystemErrorText(DWORD code);

}  // namespace kestrane::win32
