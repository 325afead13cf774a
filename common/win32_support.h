// The Win32 kit of the Windows layers: a move-only owner for every kind of
// handle they hold, each released by the API's own function; one way to throw
// the thread's last error, naming the call that failed and where; text
// conversion through the system code page; the text of an error code; a
// function looked up at run time; and a module's file.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <concepts>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
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

// A move-only owner of one handle, released by Close: the API's own function,
// whatever its calling convention. What Close returns is not looked at: a
// handle that will not close can only be let go.
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
    // For a call that hands out its handle through an out-parameter: releases
    // the handle held and gives the place where the call puts the new one.
    Handle* Put()
    {
        Reset();
        return &handle_;
    }

private:
    static Handle InvalidValue() { return Invalid::template Value<Handle>(); }

    Handle handle_ = InvalidValue();
};

// ReleaseDC also takes the window the context belongs to: none, for the screen's.
inline void ReleaseScreenDC(HDC context)
{
    ::ReleaseDC(nullptr, context);
}

// Every kind of handle the Windows layers, their tests and tools hold.
using UniqueFile = UniqueHandle<HANDLE, ::CloseHandle, InvalidHandleValue>;    // CreateFile
using UniqueFindFile = UniqueHandle<HANDLE, ::FindClose, InvalidHandleValue>;  // FindFirstFile
using UniqueKernelObject = UniqueHandle<HANDLE, ::CloseHandle>;                // process, thread, job, event
using UniqueKey = UniqueHandle<HKEY, ::RegCloseKey>;
using UniqueModule = UniqueHandle<HMODULE, ::FreeLibrary>;
using UniqueInternet = UniqueHandle<HINTERNET, ::InternetCloseHandle>;
using UniqueFont = UniqueHandle<HFONT, ::DeleteObject>;
using UniqueBitmap = UniqueHandle<HBITMAP, ::DeleteObject>;
using UniqueMemoryDC = UniqueHandle<HDC, ::DeleteDC>;       // CreateCompatibleDC
using UniqueScreenDC = UniqueHandle<HDC, ReleaseScreenDC>;  // GetDC(nullptr)

// When failed is true, throws what makeError builds from the thread's last
// error code. The code is read before anything else can change it.
template <typename MakeError>
requires std::invocable<MakeError&, DWORD>
void ThrowLastErrorIf(bool failed, MakeError&& makeError)
{
    if (failed) {
        const DWORD code = ::GetLastError();
        throw makeError(code);
    }
}

// The common case: std::runtime_error("<what> failed at <file>:<line>:
// <SystemErrorText of the code>"), where file and line are the caller's: support
// can tell apart calls to the same function from one message.
void ThrowLastErrorIf(bool failed, std::string_view what,
                      std::source_location where = std::source_location::current());

// System code page text to UTF-16 and back.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// A Windows error code as every message shows it: the system's description
// without its closing full stop, then the number, as in "The system cannot
// find the file specified (error 2)"; "error N" alone when there is no
// description. WinINet's codes are described by wininet.dll's own messages.
std::string SystemErrorText(DWORD code);

// The function name of a loaded module, typed as Function, which is
// decltype(&::Name) where a header declares it; nullptr where the module
// lacks it. Functions that only some versions of Windows (or of a library)
// have are looked up so, at run time: importing one would stop the program
// from starting where it is missing.
template <typename Function> Function FindFunction(HMODULE module, const char* name)
{
    static_assert(std::is_function_v<std::remove_pointer_t<Function>>, "Function is a function pointer type");
    // Through the generic function pointer type, which converts to any other.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// The full path of a loaded module's file (the program's own for nullptr),
// however long. Throws std::runtime_error when Windows cannot say.
std::wstring ModuleFileName(HMODULE module);

}  // namespace kestrane::win32
