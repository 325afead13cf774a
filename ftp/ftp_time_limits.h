// How long the FTP client waits for the server before it gives up.
#pragma once

#include <chrono>

namespace kestrane {

// Connecting and logging in.
inline constexpr std::chrono::seconds kConnectTimeLimit{60};

// A transfer, a listing or a command without any progress.
inline constexpr std::chrono::seconds kStallTimeLimit{60};

}  // namespace kestrane
