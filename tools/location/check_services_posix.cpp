#include "tools/location/check_services.h"

namespace kestrane {

// No registry and no WinINet here.
std::optional<CheckServices> KestraneServices()
{
    return std::nullopt;
}

}  // namespace kestrane
