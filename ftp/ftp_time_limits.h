// How long the FTP step waits for the server before it gives up.
#pragma once

#include <cstdint>

namespace kestrane {

// Connecting and logging in.
inline constexpr std::int64_t kConnectTimeLimitMs = 60'000;

// A transfer or a listing without any progress.
inline constexpr std::int64_t kStallTimeLimitMs = 60'000;

}  // namespace kestrane
