// Building the upload file from the staging file.
//
// An upload file is named from the date, time and location code, e.g.
// 01110905070042.TXT, and holds a "UH" header line, every staging line with
// each "~" replaced by the location code, and a "<<EOF:>>" line, each ended
// by CR LF. It is written as NAME.tmp and published under NAME, pending
// until the server has it (store/working_folder.h).
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "common/local_files.h"
#include "settings/location_settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

// Writes staging lines as upload lines: every "~" replaced by the location
// code in one left-to-right pass (the code itself is never rescanned), and
// each line ended by CR LF. Used as the handler of a LineSplitter.
class UploadLineWriter {
public:
    UploadLineWriter(BufferedWriter& output, std::string_view locationCode) :
        output_(output),
        locationCode_(locationCode)
    {
    }
    void Text(std::string_view text);
    void LineEnd() { output_.Write("\r\n"); }

private:
    BufferedWriter& output_;
    std::string_view locationCode_;
};

// Builds the upload file from the staging file and removes the staging
// file. Returns the new upload file's name, or nothing when there is no
// staging file. When an upload file of that name already exists, it logs
// that it waits, waits for the next minute and names the file anew. The
// window keeps answering while the file is built. Throws JobError on any
// failure, and when the window is closed; the staging file is then kept.
std::optional<std::string> BuildUploadFile(const LocationSettings& settings, LocalFiles& files, Clock& clock,
                                           JobWindow& window);

}  // namespace kestrane
