// Reading a local file of any size while the window keeps answering: the
// merge into the staging file, the build of an upload file and its rename
// all read this way, and stop the same way when the window is closed.
#pragma once

#include "common/job_window.h"
#include "common/local_files.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrane {

// Large enough that the calls per chunk cost nothing next to the bytes.
inline constexpr std::size_t kReadChunkBytes = 256 * 1024;

// Hands the rest of input to sink, a chunk at a time; after each chunk adds
// its size to progress.done and reports progress to the window. Lets the
// window's WindowClosed through, which stops the reading before the end.
template <typename Sink>
void ReadWhileAnswering(InputFile& input, JobWindow& window, Progress& progress, Sink&& sink)
{
    std::string buffer(kReadChunkBytes, '\0');
    while (const std::size_t got = input.Read(buffer.data(), buffer.size())) {
        sink(std::string_view(buffer.data(), got));
        progress.done += got;
        window.ReportProgress(progress);
    }
}

}  // namespace kestrane
