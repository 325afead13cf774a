// How Kestrane's Windows programs end: at once, running nothing more of the
// program, once everything of value is on disk.
//
// A worker thread may still be blocked in WinINet when a program is done: a
// server that never answers is left behind, not waited for. Returning from
// main runs exit() while that worker still runs: the static destructors and
// the atexit handlers, among them the one that takes the 32-bit runtime's
// exception tables away. A worker that woke and threw then could not be
// caught, and the C runtime would abort the program with status 3, after a
// run that had already reported how it went. ExitProcess ends the other
// threads first, but then runs every DLL's detach code, which can wait
// forever for a lock such a thread held. Microsoft advises TerminateProcess
// for a process that cannot know the state of all its threads.
#pragma once

namespace kestrane::win32 {

// Writes out the C runtime's buffered output (a console program's), then
// ends the process with exitStatus. No worker runs another instruction, and
// no static destructor, atexit handler or DLL detach code runs.
[[noreturn]] void EndProgram(int exitStatus) noexcept;

}  // namespace kestrane::win32
