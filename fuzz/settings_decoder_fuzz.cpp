// Feeds arbitrary registry text to the settings decoder, and checks that
// settings which can be stored come back unchanged from their code.
#include "settings/location_settings.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using kestrane::LocationSettings;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string code(reinterpret_cast<const char*>(data), size);

    // Half the length, halves rounded to even.
    const std::size_t pairs = size / 2 + ((size % 2 == 1 && (size / 2) % 2 == 1) ? 1 : 0);
    if (kestrane::HexToText(code).size() != pairs) {
        std::abort();
    }

    const LocationSettings decoded = kestrane::DecodeSettingsCode(code);
    if (kestrane::CheckEncodable(decoded)) {
        return 0;
    }
    const LocationSettings again = kestrane::DecodeSettingsCode(kestrane::EncodeSettingsCode(decoded));
    if (again.locationCode != decoded.locationCode || again.host != decoded.host || again.user != decoded.user
        || again.password != decoded.password || again.remoteFolder != decoded.remoteFolder) {
        std::abort();
    }
    return 0;
}
