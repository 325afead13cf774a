#include "ftp/ftp_client.h"

#include <algorithm>
#include <cctype>

namespace kestrane {

std::optional<HostAndPort> SplitHostAndPort(const std::string& host)
{
    const auto colon = host.rfind(':');
    if (colon == std::string::npos) {
        return HostAndPort{host, 21};
    }
    const std::string digits = host.substr(colon + 1);
    if (digits.empty() || digits.size() > 5
        || !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return std::nullopt;
    }
    const unsigned long port = std::stoul(digits);
    if (port == 0 || port > 65535) {
        return std::nullopt;
    }
    return HostAndPort{host.substr(0, colon), static_cast<std::uint16_t>(port)};
}

}  // namespace kestrane
