// Small Win32 helpers shared by the Windows layers: owned handles, text
// conversion through the system code page, and the system's error texts.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace kestrane::win32 {

// What marks "no handle": NULL for most handle types; INVALID_HANDLE_VALUE
// for CreateFile, FindFirstFile and their kin.
struct NullIsInvalid {
    template <typename Handle> static Handle Value() { return Handle{}; }
};
struct InvalidHandleValue {
    template <typename Handle> static Handle Value() { return INVALID_HANDLE_VALUE; }
};

// A move-only owner of one handle, released by Close.
template <typename Handle, auto Close, typename Invalid = NullIsInvalid> class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    ~UniqueHandle() { Reset(); }

    Handle Get() const { return handle_; }
    explicit operator bool() const { return handle_ != InvalidValue(); }
    Handle Release() { return std::exchange(handle_, InvalidValue()); }
    void Reset(Handle handle = InvalidValue())
    {
        if (handle_ != InvalidValue()) {
            Close(handle_);
        }
        handle_ = handle;
    }

private:
    static Handle InvalidValue() { return Invalid::template Value<Handle>(); }

    Handle handle_ = InvalidValue();
};

inline void CloseKernelHandle(HANDLE handle)
{
    ::CloseHandle(handle);
}

using UniqueFile = UniqueHandle<HANDLE, CloseKernelHandle, InvalidHandleValue>;
using UniqueKernelObject = UniqueHandle<HANDLE, CloseKernelHandle>;

// System code page text to UTF-16 and back.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// The system's description of a Win32 error code, without the trailing
// line break, or "error N" when the system has none.
std::string SystemErrorText(DWORD code);

}  // namespace kestrane::win32
