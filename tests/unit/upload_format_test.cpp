#include "store/upload_format.h"

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

}  // namespace
}  // namespace kestrane
