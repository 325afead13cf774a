#include "tools/location/location_check.h"
#include "tools/location/location_csv.h"
#include "tools/location/location_reg.h"
#include "tools/location/text_encoding.h"

#include "fakes.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace kestrane {
namespace {

constexpr const char* kKeyLine = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE\\QUINTAR]";

// A REGEDIT4 file whose lines from the fourth on are under the settings key.
std::string UnderSettingsKey(const std::string& lines)
{
    return std::string("REGEDIT4\r\n\r\n") + kKeyLine + "\r\n" + lines;
}

// The file bytes regedit writes for a "Windows Registry Editor Version 5.00"
// file: UTF-16LE after a byte order mark.
std::string Utf16LeFile(std::u16string_view text)
{
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

// Each table row names itself.
template <typename Case> std::string CaseName(const ::testing::TestParamInfo<Case>& row)
{
    return row.param.name;
}

void ExpectSameSettings(const LocationSettings& actual, const LocationSettings& expected)
{
    EXPECT_EQ(actual.locationCode, expected.locationCode);
    EXPECT_EQ(actual.host, expected.host);
    EXPECT_EQ(actual.user, expected.user);
    EXPECT_EQ(actual.password, expected.password);
    EXPECT_EQ(actual.remoteFolder, expected.remoteFolder);
    EXPECT_EQ(actual.pins, expected.pins);
}

// ---- The file this tool writes

TEST(FormatLocationRegTest, WritesRegedit4FileWithCrLfLines)
{
    // l=A;h=B;u=C;p=D;r=E; back to front is ;E=r;D=p;C=u;B=h;A=l.
    const LocationSettings settings{"A", "B", "C", "D", "E"};
    EXPECT_EQ(FormatLocationReg(EncodeSettingsCode(settings)),
              "REGEDIT4\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE\\QUINTAR]\r\n"
              "\"REGCODE\"=\"3B453D723B443D703B433D753B423D683B413D6C\"\r\n"
              "\r\n");
}

TEST(FormatLocationRegTest, EscapesQuotesAndBackslashesAsRegeditReadsThem)
{
    const std::string code = "a\\b\"c";
    const std::string file = FormatLocationReg(code);
    EXPECT_NE(file.find("\"REGCODE\"=\"a\\\\b\\\"c\"\r\n"), std::string::npos) << file;
    EXPECT_EQ(ReadSettingsCodeFromReg(file), code);
}

struct RoundTripCase {
    const char* name;
    LocationSettings settings;
};

class LocationRegRoundTripTest : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(LocationRegRoundTripTest, WrittenFileDecodesToTheSameSettings)
{
    const LocationSettings& settings = GetParam().settings;
    ASSERT_EQ(CheckWritable(settings), std::nullopt);

    const std::string code = EncodeSettingsCode(settings);
    const std::string file = FormatLocationReg(code);
    for (std::size_t i = 0; i < file.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(file[i]);
        ASSERT_LT(c, 0x80) << "byte " << i << ": the file must not depend on a code page";
        if (c == '\n') {
            ASSERT_TRUE(i > 0 && file[i - 1] == '\r') << "bare LF at byte " << i;
        }
    }
    EXPECT_TRUE(file.ends_with("\r\n\r\n"));

    const std::string readBack = ReadSettingsCodeFromReg(file);
    EXPECT_EQ(readBack, code);
    const LocationSettings decoded = DecodeSettingsCode(readBack);
    ExpectSameSettings(decoded, settings);
    EXPECT_TRUE(FindSettingsProblems(readBack, decoded).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocationRegRoundTripTest,
    ::testing::Values(
        RoundTripCase{"AllEmpty", {"", "", "", "", ""}},
        RoundTripCase{"Typical", {"STORE12", "ftp.example.com", "store12", "s3cret", "/incoming"}},
        RoundTripCase{"Spaces", {" 12 ", " ftp.example.com", "store user ", "  pass word  ", "/in box/"}},
        RoundTripCase{"HighBitCodePage",
                      {"Z\xFCrich", "ftp.example.com", "M\xFCller", "\xE9t\xE9\x80\xFF", "/\xC4rger"}},
        RoundTripCase{"HostAndPort", {"7", "10.0.0.5:2121", "u", "p", "r"}},
        RoundTripCase{"HighestPort", {"7", "ftp.example.com:65535", "u", "p", "r"}},
        RoundTripCase{"RegFileSpecials", {"7", "h", "dom\\user", "pa\"ss\\", "C:\\in\\\"box\""}},
        RoundTripCase{"Long",
                      {std::string(200, 'L'), std::string(300, 'h'), std::string(500, 'u'),
                       std::string(1000, 'p'), std::string(2000, 'r')}}),
    CaseName<RoundTripCase>);

// ---- What write refuses

struct RejectCase {
    const char* name;
    LocationSettings settings;
    const char* expectedInMessage;
};

class CheckWritableTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(CheckWritableTest, RefusesWithReason)
{
    const std::optional<std::string> problem = CheckWritable(GetParam().settings);
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->find(GetParam().expectedInMessage), std::string::npos) << *problem;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckWritableTest,
    ::testing::Values(
        RejectCase{"SemicolonInPassword", {"7", "h", "u", "a;b", "r"}, "password contains"},
        RejectCase{"EqualsInUser", {"7", "h", "a=b", "p", "r"}, "user contains"},
        RejectCase{"SemicolonInHost", {"7", "h;", "u", "p", "r"}, "host contains"},
        RejectCase{"EqualsInRemoteFolder", {"7", "h", "u", "p", "=r"}, "remote folder contains"},
        RejectCase{"SemicolonInLocationCode", {"7;", "h", "u", "p", "r"}, "location code contains \";\""},
        RejectCase{"SlashInLocationCode", {"a/b", "h", "u", "p", "r"}, "may not contain"},
        RejectCase{"BackslashInLocationCode", {"a\\b", "h", "u", "p", "r"}, "may not contain"},
        RejectCase{"ColonInLocationCode", {"a:b", "h", "u", "p", "r"}, "may not contain"},
        RejectCase{"StarInLocationCode", {"a*", "h", "u", "p", "r"}, "may not contain"},
        RejectCase{"QuestionMarkInLocationCode", {"?", "h", "u", "p", "r"}, "may not contain"},
        RejectCase{"QuoteInLocationCode", {"\"", "h", "u", "p", "r"}, "may not contain"},
        RejectCase{"AnglesInLocationCode", {"<a>", "h", "u", "p", "r"}, "may not contain"},
        RejectCase{"BarInLocationCode", {"a|b", "h", "u", "p", "r"}, "may not contain"},
        RejectCase{"TabInLocationCode", {"a\tb", "h", "u", "p", "r"}, "may not contain"},
        RejectCase{"DotLocationCode", {".", "h", "u", "p", "r"}, "may not be \".\""},
        RejectCase{"DotDotLocationCode", {"..", "h", "u", "p", "r"}, "may not be \".\""},
        RejectCase{"PortZero", {"7", "h:0", "u", "p", "r"}, "port"},
        RejectCase{"PortTooHigh", {"7", "h:65536", "u", "p", "r"}, "port"},
        RejectCase{"PortMissing", {"7", "h:", "u", "p", "r"}, "port"},
        RejectCase{"PortNotANumber", {"7", "h:ftp", "u", "p", "r"}, "port"},
        RejectCase{"PortTooLong", {"7", "h:000021", "u", "p", "r"}, "port"},
        RejectCase{"UnknownScheme", {"7", "sftp://h", "u", "p", "r"}, "scheme"},
        RejectCase{"UnreadablePin", {"7", "ftpes://h", "u", "p", "r", "12:34"}, "pin cannot be used"},
        RejectCase{
            "PinWithPlainHost", {"7", "h", "u", "p", "r", std::string(64, 'a')}, "asks for FTP over TLS"}),
    CaseName<RejectCase>);

// ---- Reading registry files as regedit leaves them

struct ReadCase {
    const char* name;
    std::string file;
    std::string expectedCode;
};

class ReadSettingsCodeTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadSettingsCodeTest, FindsTheCode)
{
    EXPECT_EQ(ReadSettingsCodeFromReg(GetParam().file), GetParam().expectedCode);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadSettingsCodeTest,
    ::testing::Values(
        ReadCase{"CrLf", UnderSettingsKey("\"REGCODE\"=\"3B41\"\r\n\r\n"), "3B41"},
        ReadCase{"Lf", std::string("REGEDIT4\n\n") + kKeyLine + "\n\"REGCODE\"=\"3B41\"\n", "3B41"},
        ReadCase{"NoLineEndAtTheEnd", UnderSettingsKey("\"REGCODE\"=\"3B41\""), "3B41"},
        ReadCase{"Version5Utf16WithBom",
                 Utf16LeFile(u"Windows Registry Editor Version 5.00\r\n\r\n"
                             u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE\\QUINTAR]\r\n"
                             u"\"REGCODE\"=\"3B41\"\r\n\r\n"),
                 "3B41"},
        ReadCase{"Version5Utf16WithOtherLetters",
                 Utf16LeFile(u"Windows Registry Editor Version 5.00\r\n\r\n"
                             u"[HKEY_CURRENT_USER\\Software\\Z\u00FCrich \U0001F600]\r\n"
                             u"\"Name\"=\"\u00C4rger \u4E2D\"\r\n\r\n"
                             u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE\\QUINTAR]\r\n"
                             u"\"REGCODE\"=\"3B41\"\r\n\r\n"),
                 "3B41"},
        ReadCase{"Version5Utf8WithBom",
                 std::string("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n") + kKeyLine
                     + "\r\n\"REGCODE\"=\"3B41\"\r\n",
                 "3B41"},
        ReadCase{"AmongOtherKeysAndValues",
                 std::string("REGEDIT4\r\n\r\n"
                             "; provisioning for store 12\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE]\r\n"
                             "\"REGCODE\"=\"00\"\r\n\r\n")
                     + kKeyLine
                     + "\r\n"
                       "@=\"default\"\r\n"
                       "\"Other\"=dword:00000001\r\n"
                       "\"Blob\"=hex:01,02,03,\\\r\n"
                       "  04,05\r\n"
                       "\"REGCODE\"=\"3B41\"\r\n"
                       "\"REGCODEX\"=\"00\"\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE\\QUINTAR\\Sub]\r\n"
                       "\"REGCODE\"=\"00\"\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\ORVALLE\\QUINTAR]\r\n"
                       "\"REGCODE\"=\"00\"\r\n",
                 "3B41"},
        ReadCase{"NamesInAnyCase",
                 "REGEDIT4\r\n\r\n[hkey_local_machine\\Software\\Orvalle\\Quintar]\r\n"
                 "\"RegCode\"=\"3B41\"\r\n",
                 "3B41"},
        ReadCase{"SpacesAroundTheParts",
                 std::string("REGEDIT4  \r\n\r\n  ") + kKeyLine
                     + "  \r\n  \"REGCODE\" = \"3B41\"  ; set up\r\n",
                 "3B41"},
        ReadCase{"EscapedQuotesAndBackslashes",
                 UnderSettingsKey("\"we\\\"ird\"=\"x\"\r\n\"REGCODE\"=\"a\\\\b\\\"c;d\\e\"\r\n"),
                 "a\\b\"c;d\\e"},
        ReadCase{"EmptyValue", UnderSettingsKey("\"REGCODE\"=\"\"\r\n"), ""},
        ReadCase{"LastLineWins", UnderSettingsKey("\"REGCODE\"=\"00\"\r\n\"REGCODE\"=\"3B41\"\r\n"), "3B41"},
        ReadCase{"SetAgainAfterTheKeyIsRemoved",
                 UnderSettingsKey("\"REGCODE\"=\"00\"\r\n"
                                  "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE]\r\n")
                     + kKeyLine + "\r\n\"REGCODE\"=\"3B41\"\r\n",
                 "3B41"},
        ReadCase{"RemovingOtherKeysWithTheSameStart",
                 UnderSettingsKey("\"REGCODE\"=\"3B41\"\r\n"
                                  "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVAL]\r\n"
                                  "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE\\QUINT]\r\n"
                                  "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE\\QUINTARX]\r\n"
                                  "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE\\QUINTAR\\Sub]\r\n"),
                 "3B41"},
        ReadCase{"Utf16LettersComeOutAsUtf8",
                 Utf16LeFile(u"Windows Registry Editor Version 5.00\r\n"
                             u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE\\QUINTAR]\r\n"
                             u"\"REGCODE\"=\"41\u00FC\u4E2D\U0001F600\"\r\n"),
                 "41\xC3\xBC\xE4\xB8\xAD\xF0\x9F\x98\x80"}),
    CaseName<ReadCase>);

struct BadFileCase {
    const char* name;
    std::string file;
    const char* expectedInMessage;
};

class ReadSettingsCodeErrorTest : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(ReadSettingsCodeErrorTest, SaysWhatIsWrong)
{
    try {
        const std::string code = ReadSettingsCodeFromReg(GetParam().file);
        FAIL() << "read the code \"" << code << "\"";
    } catch (const RegFileError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().expectedInMessage), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadSettingsCodeErrorTest,
    ::testing::Values(
        BadFileCase{"Empty", "", "empty"},
        BadFileCase{"NoHeader", std::string(kKeyLine) + "\r\n\"REGCODE\"=\"3B41\"\r\n",
                    "not a registry file"},
        BadFileCase{"Utf16WithoutBom", std::string("R\0E\0G\0E\0D\0I\0T\0\x34\0", 16), "not a registry file"},
        BadFileCase{"NoSettingsKey",
                    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"REGCODE\"=\"3B\"\r\n",
                    "does not set the location settings"},
        BadFileCase{"ValueBeforeAnyKey", "REGEDIT4\r\n\"REGCODE\"=\"3B41\"\r\n", "does not set"},
        BadFileCase{"NumberValue", UnderSettingsKey("\"REGCODE\"=dword:00000001\r\n"),
                    "line 4: REGCODE is not stored as text"},
        BadFileCase{"HexValue", UnderSettingsKey("\"REGCODE\"=hex(1):33,00\r\n"), "not stored as text"},
        BadFileCase{"NoClosingQuote", UnderSettingsKey("\r\n\"REGCODE\"=\"3B41\r\n"),
                    "line 5: the REGCODE value has no closing quote"},
        BadFileCase{"TextAfterTheValue", UnderSettingsKey("\"REGCODE\"=\"3B\"41\r\n"), "more text after"},
        BadFileCase{"NoEquals", UnderSettingsKey("\"REGCODE\" \"3B41\"\r\n"), "no \"=\""},
        BadFileCase{"ValueRemoved", UnderSettingsKey("\"REGCODE\"=\"3B41\"\r\n\"REGCODE\"=-\r\n"),
                    "removes the location settings"},
        BadFileCase{"KeyRemovedAfterwards",
                    UnderSettingsKey("\"REGCODE\"=\"3B41\"\r\n"
                                     "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE\\QUINTAR]\r\n"),
                    "removes the location settings"},
        BadFileCase{"ParentKeyRemovedAfterwards",
                    UnderSettingsKey("\"REGCODE\"=\"3B41\"\r\n[-HKEY_LOCAL_MACHINE\\software]\r\n"),
                    "removes the location settings"}),
    CaseName<BadFileCase>);

// ---- Many locations from one CSV file

const std::string kPin = std::string(64, 'a');
// Every password of the CSV rows below holds it, so that a refusal that
// quotes one shows.
constexpr const char* kPasswordMark = "Pw9";

// Expected of each location read: its settings, or a part of why it is refused.
struct CsvRow {
    std::size_t line;
    std::optional<LocationSettings> settings;
    const char* problemPart = "";
};

struct CsvCase {
    const char* name;
    std::string file;
    std::vector<CsvRow> rows;
};

class ReadLocationsCsvTest : public ::testing::TestWithParam<CsvCase> {};

TEST_P(ReadLocationsCsvTest, ReadsEachRowOrSaysWhyNotWithoutItsPassword)
{
    const std::vector<CsvLocation> read = ReadLocationsCsv(GetParam().file, ToWindows1252);
    ASSERT_EQ(read.size(), GetParam().rows.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
        const CsvRow& expected = GetParam().rows[i];
        SCOPED_TRACE("row " + std::to_string(i) + ": " + read[i].problem);
        EXPECT_EQ(read[i].line, expected.line);
        ASSERT_EQ(read[i].settings.has_value(), expected.settings.has_value());
        if (expected.settings) {
            ExpectSameSettings(*read[i].settings, *expected.settings);
        } else {
            EXPECT_NE(read[i].problem.find(expected.problemPart), std::string::npos);
            EXPECT_EQ(read[i].problem.find(kPasswordMark), std::string::npos);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadLocationsCsvTest,
    ::testing::Values(CsvCase{"CrLfWithPin",
                              "location_code,host,user,password,remote_folder,pin\r\n"
                              "0042,ftp.example.com,shop42,Pw9a,in/,\r\n"
                              "0043,ftpes://ftp.example.com:2121,shop43,Pw9b,/in/,"
                                  + kPin + "\r\n",
                              {{2, LocationSettings{"0042", "ftp.example.com", "shop42", "Pw9a", "in/"}},
                               {3, LocationSettings{"0043", "ftpes://ftp.example.com:2121", "shop43", "Pw9b",
                                                    "/in/", kPin}}}},
                      CsvCase{"BomLfColumnsInAnyOrderAndCaseWithoutPin",
                              "\xEF\xBB\xBFPASSWORD, Location_Code ,host,user,Remote_Folder\n"
                              "Pw9,7,h,u,r\n"
                              "Pw9,8,h,u,",
                              {{2, LocationSettings{"7", "h", "u", "Pw9", "r"}},
                               {3, LocationSettings{"8", "h", "u", "Pw9", ""}}}},
                      CsvCase{"QuotedSeparatorsQuotesAndLineBreaks",
                              "location_code,host,user,password,remote_folder,pin\r\n"
                              "\"0042\",h,u,\"Pw9,\"\"x\"\"\",\"in\r\nbox\",\"\"\r\n"
                              "0043,h,u,Pw9,\"a\nb\",\r\n",
                              {{2, LocationSettings{"0042", "h", "u", "Pw9,\"x\"", "in\r\nbox"}},
                               {4, LocationSettings{"0043", "h", "u", "Pw9", "a\nb"}}}},
                      CsvCase{"LettersBeyondAsciiInTheSettingsCodePage",
                              "location_code,host,user,password,remote_folder\n"
                              "Z\xC3\xBCrich,h,M\xC3\xBCller,Pw9\xE2\x82\xAC\xC3\xBF,r\n",
                              {{2, LocationSettings{"Z\xFCrich", "h", "M\xFCller", "Pw9\x80\xFF", "r"}}}},
                      CsvCase{
                          "BadRowsAmongGoodOnes",
                          "location_code,host,user,password,remote_folder,pin\n"
                          "1,h,u,Pw9,r\n"
                          "2,h,u,Pw9,r,,\n"
                          ",h,u,Pw9,r,\n"
                          "4,h:99999,u,Pw9,r,\n"
                          "5,ftps://h,u,Pw9,r,12:34\n"
                          "6,h,u,Pw9,r,"
                              + kPin
                              + "\n"
                                "7,h,u,Pw9;x,r,\n"
                                "8,h,u,Pw9\xFC,r,\n"
                                "9,h,\xE4\xB8\xAD,Pw9,r,\n"
                                "con,h,u,Pw9,r,\n"
                                "11,h,u,\"Pw9\"x,r,\n"
                                "12,h,u,Pw\"9,r,\n"
                                "13,h,u,Pw9,r,\n",
                          {{2, std::nullopt, "5 fields where the header names 6"},
                           {3, std::nullopt, "7 fields where the header names 6"},
                           {4, std::nullopt, "location code is empty"},
                           {5, std::nullopt, "port"},
                           {6, std::nullopt, "pin cannot be used"},
                           {7, std::nullopt, "asks for FTP over TLS"},
                           {8, std::nullopt, "the password contains \";\""},
                           {9, std::nullopt, "the password is not UTF-8"},
                           {10, std::nullopt, "the user holds a character that the settings cannot store"},
                           {11, std::nullopt, "device"},
                           {12, std::nullopt, "field 4 goes on after its closing quote"},
                           {13, std::nullopt, "field 4 holds a quote"},
                           {14, LocationSettings{"13", "h", "u", "Pw9", "r"}}}},
                      CsvCase{"CodesTheSameButForCase",
                              "location_code,host,user,password,remote_folder\n"
                              "ab\xC3\xA4,h,u,Pw9,r\n"
                              "cd,h,u,Pw9,r\n"
                              "AB\xC3\x84,h:0,u,Pw9,r\n",
                              {{2, std::nullopt, "line 4 has the same location code"},
                               {3, LocationSettings{"cd", "h", "u", "Pw9", "r"}},
                               {4, std::nullopt, "line 2 has the same location code"}}},
                      CsvCase{"QuoteNeverClosed",
                              "location_code,host,user,password,remote_folder\r\n"
                              "1,h,u,Pw9,r\r\n"
                              "\r\n"
                              ",,,,\r\n"
                              "2,h,u,\"Pw9,r\r\n"
                              "3,h,u,Pw9,r\r\n",
                              {{2, LocationSettings{"1", "h", "u", "Pw9", "r"}},
                               {5, std::nullopt, "field 4 opens a quote on line 5 that is never closed"}}}),
    CaseName<CsvCase>);

class ReadLocationsCsvErrorTest : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(ReadLocationsCsvErrorTest, RefusesTheWholeFileWithoutQuotingIt)
{
    try {
        const std::vector<CsvLocation> read = ReadLocationsCsv(GetParam().file, ToWindows1252);
        FAIL() << "read " << read.size() << " locations";
    } catch (const LocationsCsvError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().expectedInMessage), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find(kPasswordMark), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadLocationsCsvErrorTest,
    ::testing::Values(
        BadFileCase{"Empty", "", "it is empty"},
        BadFileCase{"ByteOrderMarkOnly", "\xEF\xBB\xBF", "it is empty"},
        BadFileCase{"NoHeader", "0042,h,u,Pw9,r\n0043,h,u,Pw9,r\n", "line 1: column 1 of the header is none"},
        BadFileCase{"ColumnTwice", "location_code,host,user,password,remote_folder,HOST\n1,h,u,p,r,h\n",
                    "names the column host twice"},
        BadFileCase{"ColumnsMissing", "location_code,host,remote_folder\n1,h,r\n",
                    "lacks the columns user, password"},
        BadFileCase{"HeaderOnly", "location_code,host,user,password,remote_folder\r\n\r\n", "no row follows"},
        BadFileCase{"BrokenHeader", "location_code,\"host\"x,user,password,remote_folder\n",
                    "line 1: field 2"}),
    CaseName<BadFileCase>);

// ---- What show reports

TEST(DescribeSettingsTest, ShowsEveryFieldQuotedAndMasksThePassword)
{
    const LocationSettings settings{"STORE12", "ftp.example.com:2121", "store12", "s3cret", " /in box "};
    EXPECT_EQ(DescribeSettings(settings, false), "Location code:  \"STORE12\"\n"
                                                 "FTP host:       \"ftp.example.com:2121\"\n"
                                                 "FTP user:       \"store12\"\n"
                                                 "FTP password:   ********\n"
                                                 "Remote folder:  \" /in box \"\n");
}

struct MaskCase {
    const char* name;
    std::string password;
    std::string shownWhenAsked;
};

class PasswordMaskTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(PasswordMaskTest, HiddenUnlessAsked)
{
    LocationSettings settings;
    settings.password = GetParam().password;
    std::string masked = DescribeSettings(settings, false);
    const std::string maskedLine = "FTP password:   ********\n";
    const auto line = masked.find(maskedLine);
    ASSERT_NE(line, std::string::npos) << masked;
    if (!GetParam().password.empty()) {
        masked.erase(line, maskedLine.size());
        EXPECT_EQ(masked.find(GetParam().password), std::string::npos) << masked;
    }
    const std::string shown = DescribeSettings(settings, true);
    EXPECT_NE(shown.find("FTP password:   " + GetParam().shownWhenAsked + "\n"), std::string::npos) << shown;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PasswordMaskTest,
    ::testing::Values(MaskCase{"Plain", "s3cret", "\"s3cret\""}, MaskCase{"Empty", "", "\"\""},
                      MaskCase{"LongerThanTheMask", "0123456789abcdef", "\"0123456789abcdef\""},
                      MaskCase{"Stars", "********", "\"********\""},
                      MaskCase{"HighBit", "\xE9t\xE9", "\"\xE9t\xE9\""},
                      MaskCase{"ControlCharacters", "a\tb\x7F", "\"a\\x09b\\x7F\""}),
    CaseName<MaskCase>);

struct ProblemCase {
    const char* name;
    std::string code;
    std::vector<std::string> expectedInProblems;  // one per problem, in order
};

class FindSettingsProblemsTest : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(FindSettingsProblemsTest, ReportsEachProblem)
{
    const std::string& code = GetParam().code;
    const std::vector<std::string> problems = FindSettingsProblems(code, DecodeSettingsCode(code));
    ASSERT_EQ(problems.size(), GetParam().expectedInProblems.size());
    for (std::size_t i = 0; i < problems.size(); ++i) {
        EXPECT_NE(problems[i].find(GetParam().expectedInProblems[i]), std::string::npos) << problems[i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindSettingsProblemsTest,
    ::testing::Values(
        ProblemCase{"Good", EncodeSettingsCode({"7", "ftp.example.com:21", "u", "p", "r"}), {}},
        ProblemCase{"Empty", "", {"no location settings"}},
        ProblemCase{"OddLength", EncodeSettingsCode({"7", "h", "u", "p", "r"}) + "3", {"damaged"}},
        ProblemCase{"NotHex", "3B413D6G", {"damaged"}}, ProblemCase{"LowerCaseHexIsFine", "3b413d6c", {}},
        ProblemCase{
            "UnusableLocationCode", EncodeSettingsCode({"a/b", "h", "u", "p", "r"}), {"refuse to run"}},
        ProblemCase{"DotLocationCode", EncodeSettingsCode({".", "h", "u", "p", "r"}), {"refuse to run"}},
        ProblemCase{"BadPort", EncodeSettingsCode({"7", "h:70000", "u", "p", "r"}), {"cannot connect"}},
        // 49 digits make 24 pairs: the lone Z is dropped and the settings still decode.
        ProblemCase{"AllAtOnce",
                    EncodeSettingsCode({"a|b", "h:x", "u", "p", "r"}) + "Z",
                    {"damaged", "refuse to run", "cannot connect"}}),
    CaseName<ProblemCase>);

// ---- What check finds on the server

struct ServerCheckCase {
    const char* name;
    std::optional<std::string> remoteFolder;  // nothing: no settings are stored
    void (*setUpServer)(testing::FakeFtpServer&);
    std::vector<std::string> lineStarts;  // one per line printed after the settings, the verdict last
    std::vector<std::string> journal;     // what the client was asked to do after logging in
    // What the client tells of the server's certificate as it connects.
    std::optional<CertificateVerdict> certificate = std::nullopt;
};

class CheckServerAccessTest : public ::testing::TestWithParam<ServerCheckCase> {};

TEST_P(CheckServerAccessTest, PrintsALinePerStepAndTheVerdictWithoutThePasswordAndChangesNothing)
{
    const ServerCheckCase& row = GetParam();
    testing::FakeFtpServer server;
    row.setUpServer(server);
    testing::MemoryFiles files;
    testing::FakeClock clock;
    testing::FakeWindow window(clock);
    const FtpClientMaker makeClient = [&](const LocationSettings&, const CertificateObserver& observer) {
        if (row.certificate) {
            observer({"CN=ftp.example.com", "2026-01-01 00:00:00 UTC", "2027-01-01 00:00:00 UTC",
                      Sha256Fingerprint{0xAB}, *row.certificate});
        }
        return std::make_unique<testing::FakeFtpClient>(server, files, window, clock);
    };
    std::ostringstream out;
    std::optional<std::string> code;
    if (row.remoteFolder) {
        code = EncodeSettingsCode({"0042", "ftp.example.com", "user", "secret", *row.remoteFolder});
    }

    const bool passed = CheckServerAccess({"location.reg", code}, makeClient, out);

    std::istringstream printed(out.str());
    std::string line;
    std::getline(printed, line);
    EXPECT_TRUE(line.starts_with("Reading the settings from location.reg ... "
                                 + std::string(code ? "ok" : "FAILED")));
    for (const std::string& start : row.lineStarts) {
        std::getline(printed, line);
        EXPECT_TRUE(line.starts_with(start)) << out.str();
    }
    EXPECT_EQ(printed.peek(), EOF) << out.str();
    EXPECT_EQ(passed, line.starts_with("Verdict: OK. "));
    EXPECT_EQ(out.str().find("secret"), std::string::npos) << out.str();
    std::vector<std::string> journal = row.journal;
    if (code) {
        journal.insert(journal.begin(), "connect");
    }
    EXPECT_EQ(server.journal, journal);
}

const std::string kLoggedIn = "Connecting and logging in to \"ftp.example.com\" as \"user\" ... ok";

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckServerAccessTest,
    ::testing::Values(
        ServerCheckCase{
            "NoneStored", std::nullopt, [](testing::FakeFtpServer&) {}, {"Verdict: FAILED. "}, {}},
        ServerCheckCase{
            "PasswordInTheRefusal",
            "/in/",
            [](testing::FakeFtpServer& s) {
                s.acceptedPassword = "other";
                s.loginRefusal = "500 'PASS secret': command\r\nnot understood.";
            },
            {"Connecting and logging in to \"ftp.example.com\" as \"user\" ... FAILED: the server "
             "refused the login. The server replied: 500 'PASS ********': command  not understood.",
             "Verdict: FAILED. "},
            {"disconnect"}},
        ServerCheckCase{"FolderWithoutItsSlash",
                        "/in/incoming",
                        [](testing::FakeFtpServer&) {},
                        {kLoggedIn,
                         "Warning: the remote folder does not end in \"/\", so Kestrane puts its files in "
                         "\"/in\", with names that start with \"incoming\".",
                         "Listing the remote folder \"/in\" ... ok", "Verdict: OK. "},
                        {"connected", "list /in", "disconnect"}},
        ServerCheckCase{
            "NameWithoutAFolder",
            "incoming",
            [](testing::FakeFtpServer&) {},
            {kLoggedIn,
             "Warning: the remote folder does not end in \"/\", so Kestrane puts its files in the "
             "login folder, with names that start with \"incoming\".",
             "Listing the login folder, where Kestrane puts its files ... ok", "Verdict: OK. "},
            {"connected", "list ", "disconnect"}},
        ServerCheckCase{"TrustedCertificate",
                        "/in/",
                        [](testing::FakeFtpServer&) {},
                        {kLoggedIn, "Server certificate: CN=ftp.example.com",
                         "Valid from 2026-01-01 00:00:00 UTC to 2027-01-01 00:00:00 UTC",
                         "SHA-256 fingerprint: AB:00:00:",
                         "Accepted because Windows trusts it and it names "
                         "ftp.example.com",
                         "Listing the remote folder \"/in\" ... ok", "Verdict: OK. "},
                        {"connected", "list /in", "disconnect"},
                        CertificateVerdict::TrustedByWindows},
        ServerCheckCase{
            "RefusedCertificate",
            "/in/",
            [](testing::FakeFtpServer& s) { s.refuseConnection = true; },
            {"Connecting and logging in to \"ftp.example.com\" as \"user\" ... FAILED",
             "Server certificate: CN=ftp.example.com", "Valid from ", "SHA-256 fingerprint: AB:00:00:",
             "Refused. If this is the server's own certificate, pin it: kestrane-location write ... "
             "--pin AB:00:00:",
             "Verdict: FAILED. "},
            {"disconnect"},
            CertificateVerdict::Refused}),
    CaseName<ServerCheckCase>);

}  // namespace
}  // namespace kestrane
