#include "common/read_while_answering.h"

#include "fakes.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

struct ReadCase {
    std::size_t bytes;
    std::size_t closeAtProgress;  // 0: the window stays open
    bool readToTheEnd;
    std::vector<std::uint64_t> reported;  // after an earlier read counted 7 bytes
};

class ReadWhileAnsweringTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadWhileAnsweringTest, HandsOnEachChunkAndStopsOnceTheWindowIsClosed)
{
    testing::MemoryFiles files;
    files.contents["data"] = std::string(GetParam().bytes, 'x');
    testing::FakeClock clock;
    testing::FakeWindow window(clock);
    window.closeAtProgress = GetParam().closeAtProgress;
    Progress progress{7, 1'000'000};
    std::string handedOn;

    bool readToTheEnd = true;
    try {
        ReadWhileAnswering(*files.OpenForReading("data"), window, progress,
                           [&handedOn](std::string_view chunk) { handedOn += chunk; });
    } catch (const WindowClosed&) {
        readToTheEnd = false;
    }
    EXPECT_EQ(readToTheEnd, GetParam().readToTheEnd);
    std::vector<std::uint64_t> reported;
    for (const Progress& report : window.progress) {
        reported.push_back(report.done);
    }
    EXPECT_EQ(reported, GetParam().reported);
    EXPECT_EQ(progress.done, 7 + handedOn.size());
}

constexpr std::uint64_t kChunk = kReadChunkBytes;

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadWhileAnsweringTest,
    ::testing::Values(ReadCase{0, 0, true, {}}, ReadCase{10, 0, true, {17}},
                      ReadCase{2 * kChunk + 1, 0, true, {7 + kChunk, 7 + 2 * kChunk, 8 + 2 * kChunk}},
                      ReadCase{2 * kChunk + 1, 1, false, {7 + kChunk}}));

}  // namespace
}  // namespace kestrane
