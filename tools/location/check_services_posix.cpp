#include "tools/location/check_services.h"

#include <cstdlib>

namespace kestrane {

// No registry and no WinINet here.
std::optional<CheckServices> KestraneServices()
{
    return std::nullopt;
}

// Nothing here runs on a worker thread.
void EndProgram(int exitStatus)
{
    std::exit(exitStatus);
}

}  // namespace kestrane
