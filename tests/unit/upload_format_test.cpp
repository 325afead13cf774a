#include "store/upload_format.h"

#include "fakes.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

struct NameCase {
    LocalTime time;
    const char* code;
    const char* expected;
};

class UploadFileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(UploadFileNameTest, FromDateTimeAndCode)
{
    EXPECT_EQ(UploadFileName(GetParam().time, GetParam().code), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, UploadFileNameTest,
                         ::testing::Values(NameCase{{2001, 11, 9, 5, 7}, "0042", "01110905070042.TXT"},
                                           NameCase{{2000, 1, 1, 0, 0}, "7", "00010100007.TXT"},
                                           NameCase{{2026, 12, 31, 23, 59}, "", "2612312359.TXT"},
                                           NameCase{{2026, 3, 4, 0, 5}, "a~b", "2603040005a~b.TXT"}));

struct NextMinuteCase {
    const char* name;
    std::optional<std::string> next;
};

class NextMinuteUploadNameTest : public ::testing::TestWithParam<NextMinuteCase> {};

TEST_P(NextMinuteUploadNameTest, KeepsTheCodeAndRollsTheCalendarOver)
{
    EXPECT_EQ(NextMinuteUploadName(GetParam().name), GetParam().next);
}

INSTANTIATE_TEST_SUITE_P(Cases, NextMinuteUploadNameTest,
                         ::testing::Values(NextMinuteCase{"01110905070042.TXT", "01110905080042.TXT"},
                                           NextMinuteCase{"01110905590042.TXT", "01110906000042.TXT"},
                                           NextMinuteCase{"01113023590042.TXT", "01120100000042.TXT"},
                                           NextMinuteCase{"01123123590042.TXT", "02010100000042.TXT"},
                                           NextMinuteCase{"04022823590042.TXT", "04022900000042.TXT"},
                                           NextMinuteCase{"01022823590042.TXT", "01030100000042.TXT"},
                                           NextMinuteCase{"2612312359.TXT", "2701010000.TXT"},
                                           NextMinuteCase{"0113010000.TXT", std::nullopt},
                                           NextMinuteCase{"upload.TXT", std::nullopt}));

struct LinesCase {
    const char* name;
    std::string staging;
    // Each upload line without its CR LF, with the location code 0042.
    std::vector<std::string> lines;
};

class UploadLinesTest : public ::testing::TestWithParam<LinesCase> {};

TEST_P(UploadLinesTest, ConvertedAndCountedAlikeWhateverTheChunking)
{
    std::string expected;
    for (const std::string& line : GetParam().lines) {
        expected += line + "\r\n";
    }
    const std::string_view staging = GetParam().staging;
    // Every chunk size, so that each CR, LF and "~" meets a chunk boundary.
    for (std::size_t chunk = 1; chunk <= staging.size() + 1; ++chunk) {
        testing::MemoryFiles files;
        const auto output = files.CreateForWriting("upload");
        BufferedWriter writer(*output);
        UploadLineConverter converter(writer, "0042");
        LineCounter counter;
        for (std::size_t at = 0; at < staging.size(); at += chunk) {
            converter.Feed(staging.substr(at, chunk));
            counter.Feed(staging.substr(at, chunk));
        }
        converter.Finish();
        writer.Commit();
        EXPECT_EQ(files.contents.at("upload"), expected) << "chunk size " << chunk;
        EXPECT_EQ(counter.Lines(), GetParam().lines.size()) << "counted in chunks of " << chunk;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UploadLinesTest,
    ::testing::Values(LinesCase{"Empty", "", {}}, LinesCase{"CrLf", "a\r\nb\r\n", {"a", "b"}},
                      LinesCase{"CrOnly", "a\rb\r", {"a", "b"}},
                      LinesCase{"LfOnlyIsData", "a\nb\n", {"a\nb\n"}},
                      LinesCase{"LastLineWithoutEnd", "a\r\nb", {"a", "b"}},
                      LinesCase{"EmptyLastLine", "a\r\n\r\n", {"a", ""}},
                      LinesCase{"LfAfterCrLfIsData", "a\r\n\nb", {"a", "\nb"}},
                      LinesCase{"CrCrLf", "a\r\r\nb", {"a", "", "b"}}, LinesCase{"LfCr", "\n\r", {"\n"}},
                      LinesCase{"LoneLf", "\n", {"\n"}}, LinesCase{"CrThenLfLf", "\r\n\n", {"", "\n"}},
                      LinesCase{"TildesAroundLineEnds", "~\r\n~~\r~", {"0042", "00420042", "0042"}},
                      LinesCase{"TildeAfterLfAfterLineEnd", "a~\r\n\n~b", {"a0042", "\n0042b"}},
                      // Long enough to be looked at a word at a time: several marks in a word, and
                      // the bytes one above CR and "~", which the search can mark falsely.
                      LinesCase{"WordsWithSeveralMarks",
                                "abcdefg~~hijklm\r\fnopqrstu~\x7f"
                                "vw\r\nxyz",
                                {"abcdefg00420042hijklm",
                                 "\fnopqrstu0042\x7f"
                                 "vw",
                                 "xyz"}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kestrane
