#include "settings/location_settings.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestrane {
namespace {

// A SHA-256 fingerprint as a pin setting holds it.
const std::string kPin = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";

std::string Reversed(std::string text)
{
    std::reverse(text.begin(), text.end());
    return text;
}

struct HexCase {
    const char* code;
    std::string expected;
};

class HexToTextTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexToTextTest, Decodes)
{
    EXPECT_EQ(HexToText(GetParam().code), GetParam().expected);
    EXPECT_EQ(HexToText(TextToHex(GetParam().expected)), GetParam().expected) << "encoded back";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, HexToTextTest,
    ::testing::Values(
        HexCase{"", ""},
        HexCase{"4142", "AB"},
        HexCase{"4a4A", "JJ"},                      // either case
        HexCase{"00ff", std::string("\0\xff", 2)},  // every byte value survives
        HexCase{"41424", "AB"},                     // 5 chars: 2.5 rounds to 2 pairs, the 5 is dropped
        HexCase{"4142434", "ABC\x04"},              // 7 chars: 3.5 rounds to 4, lone 4 is a pair
        HexCase{"4", ""},                           // 1 char: 0.5 rounds to 0 pairs
        HexCase{"41F", "A\x0f"},                    // 3 chars: 1.5 rounds to 2, lone F is a pair
        HexCase{"4g", "\x04"},                      // reading stops at a non-hex digit
        HexCase{"zz41", std::string("\0A", 2)},     // no valid digit gives 0
        HexCase{"0x", std::string("\0", 1)}));
// clang-format on

struct EntryCase {
    const char* rest;
    const char* key;
    const char* value;
    const char* restAfter;
};

class NextSettingTest : public ::testing::TestWithParam<EntryCase> {};

TEST_P(NextSettingTest, TakesFirstEntry)
{
    std::string rest = GetParam().rest;
    std::string key;
    std::string value;
    NextSetting(rest, key, value);
    EXPECT_EQ(key, GetParam().key);
    EXPECT_EQ(value, GetParam().value);
    EXPECT_EQ(rest, GetParam().restAfter);
}

INSTANTIATE_TEST_SUITE_P(Cases, NextSettingTest,
                         ::testing::Values(EntryCase{"h=a;u=b;", "h", "a", "u=b;"},
                                           EntryCase{"h=a", "h", "a", ""},
                                           EntryCase{"p=a=b;x", "p", "ab", "x"},
                                           EntryCase{"novalue;", "novalue", "", ""},
                                           EntryCase{";h=a", "", "", "h=a"}, EntryCase{"=v;", "", "v", ""},
                                           EntryCase{"", "", "", ""}));

TEST(NextSettingTest, AccumulatesIntoKeyAndValue)
{
    std::string rest = "b=2;";
    std::string key = "a";
    std::string value = "1";
    NextSetting(rest, key, value);
    EXPECT_EQ(key, "ab");
    EXPECT_EQ(value, "12");
}

TEST(ParseSettingsStringTest, FillsEveryField)
{
    const LocationSettings s = ParseSettingsString("l=0042;h=ftp.example.com;u=shop;p=pw;r=in/;f=AB,CD");
    EXPECT_EQ(s.pins, "AB,CD");
    EXPECT_EQ(s.locationCode, "0042");
    EXPECT_EQ(s.host, "ftp.example.com");
    EXPECT_EQ(s.user, "shop");
    EXPECT_EQ(s.password, "pw");
    EXPECT_EQ(s.remoteFolder, "in/");
}

TEST(ParseSettingsStringTest, RulesOfEntries)
{
    EXPECT_EQ(ParseSettingsString("h=a;h=b").host, "b");      // last one wins
    EXPECT_EQ(ParseSettingsString("p=a=b").password, "ab");   // later "=" dropped
    EXPECT_EQ(ParseSettingsString("H=x").host, "");           // keys are case-sensitive
    EXPECT_EQ(ParseSettingsString("hh=x;=y;h=z").host, "z");  // unknown and empty keys skipped
    EXPECT_EQ(ParseSettingsString("u=a;").user, ParseSettingsString("u=a").user);
}

TEST(DecodeSettingsCodeTest, ReversesTheDecodedText)
{
    const std::string code = TextToHex(Reversed("l=0042;h=host;u=user;p=pass;r=in/;"));
    const LocationSettings s = DecodeSettingsCode(code);
    EXPECT_EQ(s.locationCode, "0042");
    EXPECT_EQ(s.host, "host");
    EXPECT_EQ(s.user, "user");
    EXPECT_EQ(s.password, "pass");
    EXPECT_EQ(s.remoteFolder, "in/");
}

TEST(EncodeSettingsCodeTest, RoundTripsThroughTheDecoder)
{
    const LocationSettings original{"0042", "ftpes://ftp.example.com:2121", "shop user", "p\xe9ss!", "", kPin};
    const LocationSettings decoded = DecodeSettingsCode(EncodeSettingsCode(original));
    EXPECT_EQ(decoded.pins, original.pins);
    // A location without a pin has no key for it, as before pins existed.
    EXPECT_EQ(EncodeSettingsCode({"0042", "h", "u", "p", "r"}), TextToHex(Reversed("l=0042;h=h;u=u;p=p;r=r;")));
    EXPECT_EQ(decoded.locationCode, original.locationCode);
    EXPECT_EQ(decoded.host, original.host);
    EXPECT_EQ(decoded.user, original.user);
    EXPECT_EQ(decoded.password, original.password);
    EXPECT_EQ(decoded.remoteFolder, original.remoteFolder);
}

TEST(CheckEncodableTest, RejectsWhatTheDecoderCannotCarry)
{
    EXPECT_FALSE(CheckEncodable({"0042", "h", "u", "p", "in/"}));
    EXPECT_TRUE(CheckEncodable({"0042", "h", "u", "p;w", "in/"}));
    EXPECT_TRUE(CheckEncodable({"0042", "h", "u=x", "p", "in/"}));
    EXPECT_TRUE(CheckEncodable({"..", "h", "u", "p", "in/"}));
}

struct CodeCase {
    std::string code;
    bool usable;
};

class LocationCodeTest : public ::testing::TestWithParam<CodeCase> {};

TEST_P(LocationCodeTest, UsableAsFileNamePart)
{
    EXPECT_EQ(IsUsableLocationCode(GetParam().code), GetParam().usable) << GetParam().code;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocationCodeTest,
    ::testing::Values(CodeCase{"", true}, CodeCase{"0042", true}, CodeCase{"A-1 b~", true},
                      CodeCase{"\xe9t\xe9", true}, CodeCase{"...", true}, CodeCase{".", false},
                      CodeCase{"..", false}, CodeCase{"..\\..\\x", false}, CodeCase{"a/b", false},
                      CodeCase{"c:", false}, CodeCase{"a*", false}, CodeCase{"a?", false},
                      CodeCase{"a\"", false}, CodeCase{"<a", false}, CodeCase{"a>", false},
                      CodeCase{"a|b", false}, CodeCase{"a\tb", false},
                      CodeCase{std::string("a\0b", 3), false}, CodeCase{"a\x7f", false}));

TEST(LoadLocationSettingsTest, MissingOrEmptyCodeIsMissingSettings)
{
    for (const std::optional<std::string>& code :
         {std::optional<std::string>{}, std::optional<std::string>{""}}) {
        const SettingsLoad load = LoadLocationSettings(code);
        EXPECT_FALSE(load.settings);
        EXPECT_EQ(load.problem,
                  "You need to run the location.reg file for this location on this PC or get a location.reg "
                  "file from Orvalle Inc. (555) 014-2290");
    }
}

// Settings that can never work are refused at start, before the handheld is
// touched: (settings string, what the message says of them).
TEST(LoadLocationSettingsTest, SettingsThatCanNeverWorkAreRefused)
{
    const std::pair<std::string, const char*> refused[] = {
        {"l=..\\..\\x;h=host;", "cannot be used in a file name"},
        {"l=0042;h=host:0;", "not a number from 1 to 65535"},
        {"l=0042;h=host:65536;", "not a number from 1 to 65535"},
        {"l=0042;h=host:;", "not a number from 1 to 65535"},
        {"l=0042;h=host:ftp;", "not a number from 1 to 65535"},
        {"l=0042;h=host:-21;", "not a number from 1 to 65535"},
        {"l=0042;h=ftpes://host:0;", "not a number from 1 to 65535"},
        {"l=0042;h=sftp://host;", "scheme"},
        {"l=0042;h=https://host;", "scheme"},
        {"l=0042;h=ftps://host;f=12:34;", "not a list of SHA-256 fingerprints"},
        {"l=0042;h=host;f=ab;", "not a list of SHA-256 fingerprints"},
        {"l=0042;h=host:21;f=" + kPin + ";", "a pin asks for ftpes:// or ftps://"},
    };
    for (const auto& [settings, reason] : refused) {
        const SettingsLoad load = LoadLocationSettings(TextToHex(Reversed(settings)));
        EXPECT_FALSE(load.settings) << settings;
        EXPECT_NE(load.problem.find(reason), std::string::npos) << load.problem;
        EXPECT_NE(load.problem.find("location.reg"), std::string::npos) << load.problem;
    }
    const SettingsLoad load = LoadLocationSettings(TextToHex(Reversed("l=0042;h=[::1]:65535;")));
    ASSERT_TRUE(load.settings);
    EXPECT_EQ(load.settings->host, "[::1]:65535");
}

// The server the "h" setting names: (setting, host, port, TLS).
TEST(SplitHostAndPortTest, TheSchemeAsksForTlsAndSetsTheDefaultPort)
{
    const struct {
        const char* setting;
        const char* host;
        std::uint16_t port;
        FtpTls tls;
    } servers[] = {
        {"ftp.example.com", "ftp.example.com", 21, FtpTls::None},
        {"ftpes://ftp.example.com", "ftp.example.com", 21, FtpTls::Explicit},
        {"FTPES://ftp.example.com:2121", "ftp.example.com", 2121, FtpTls::Explicit},
        {"ftps://127.0.0.1", "127.0.0.1", 990, FtpTls::Implicit},
        {"ftps://127.0.0.1:2990", "127.0.0.1", 2990, FtpTls::Implicit},
    };
    for (const auto& server : servers) {
        const std::optional<HostAndPort> split = SplitHostAndPort(server.setting);
        ASSERT_TRUE(split) << server.setting;
        EXPECT_EQ(split->host, server.host) << server.setting;
        EXPECT_EQ(split->port, server.port) << server.setting;
        EXPECT_EQ(split->tls, server.tls) << server.setting;
    }
    const SettingsLoad pinned = LoadLocationSettings(TextToHex(Reversed("h=ftps://host;f=" + kPin + "," + kPin + ";")));
    ASSERT_TRUE(pinned.settings) << pinned.problem;
}

TEST(LoadLocationSettingsTest, EmptyLocationCodeIsAllowed)
{
    const SettingsLoad load = LoadLocationSettings(TextToHex(Reversed("h=host;u=a;")));
    ASSERT_TRUE(load.settings);
    EXPECT_EQ(load.settings->locationCode, "");
    EXPECT_EQ(load.settings->host, "host");
}

}  // namespace
}  // namespace kestrane
