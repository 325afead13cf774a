// Feeds arbitrary staging data, in arbitrary chunks, through the upload
// line converter, and checks the rules every upload file relies on.
#include "settings/location_settings.h"
#include "store/upload_format.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

class StringOutput final : public kestrane::OutputFile {
public:
    std::string data;
    void Write(std::string_view bytes) override { data.append(bytes); }
    void Commit() override {}
};

std::string Convert(std::string_view staging, std::string_view code, std::size_t chunk)
{
    StringOutput output;
    kestrane::BufferedWriter writer(output, 16);
    kestrane::UploadLineConverter converter(writer, code);
    for (std::size_t at = 0; at < staging.size(); at += chunk) {
        converter.Feed(staging.substr(at, chunk));
    }
    converter.Finish();
    writer.Commit();
    return output.data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    // First byte: location code length; second: chunk size; the rest: data.
    const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);
    const std::size_t codeLength = std::min<std::size_t>(data[0] % 8, input.size());
    const std::string code = input.substr(0, codeLength);
    const std::string staging = input.substr(codeLength);
    const std::size_t chunk = 1 + data[1] % 64;
    if (!kestrane::IsUsableLocationCode(code)) {
        return 0;  // refused when the settings are loaded
    }

    const std::string whole = Convert(staging, code, staging.size() + 1);
    const std::string chunked = Convert(staging, code, chunk);

    // How the data is read must not change what is written.
    if (whole != chunked) {
        std::abort();
    }
    // Every line ends in CR LF, and no CR stands anywhere else.
    std::uint64_t lineEnds = 0;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (whole[i] == '\r') {
            if (i + 1 == whole.size() || whole[i + 1] != '\n') {
                std::abort();
            }
            ++lineEnds;
        }
    }
    if (!whole.empty() && !whole.ends_with("\r\n")) {
        std::abort();
    }
    // The count that goes into the header agrees with the lines written.
    kestrane::LineCounter counter;
    for (std::size_t at = 0; at < staging.size(); at += chunk) {
        counter.Feed(std::string_view(staging).substr(at, chunk));
    }
    if (counter.Lines() != lineEnds) {
        std::abort();
    }
    // Each "~" was replaced; any left came in with the location code.
    if (code.find('~') == std::string::npos && whole.find('~') != std::string::npos) {
        std::abort();
    }
    return 0;
}
