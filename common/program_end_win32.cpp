#include "common/program_end_win32.h"

#include <windows.h>

#include <cstdio>

namespace kestrane::win32 {

void EndProgram(int exitStatus) noexcept
{
    std::fflush(nullptr);
    if (!::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exitStatus))) {
        // Windows would not end the process that way: the ordinary end is
        // the one left, and still ends the other threads before any detach code.
        ::ExitProcess(static_cast<UINT>(exitStatus));
    }
    // Termination is under way, and ends this thread too.
    for (;;) {
        ::Sleep(INFINITE);
    }
}

}  // namespace kestrane::win32
