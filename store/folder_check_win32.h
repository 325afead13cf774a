// Whether the program was started in a folder it may work in. The working
// folder holds the handheld's data on its way to the server, so it must be
// one Kestrane can write to, and not the program's own install folder: a
// program started there by a double-click in Program Files could not write,
// or, run as an administrator, would leave files the next normal run never
// sees.
#pragma once

#include <optional>
#include <string>

namespace kestrane {

// The working folder's full path: the folder the program was started in.
std::string WorkingFolderPath();

// Nothing when the current folder is fit to work in; otherwise the message
// for the user: what is wrong with it and where Kestrane must be started.
// Writes nothing but a test file, which is gone again when it returns.
std::optional<std::string> WorkingFolderProblem();

}  // namespace kestrane
