#include "net/server_certificate.h"
#include "settings/certificate_pins.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace kestrane {
namespace {

// A fingerprint whose bytes are 0x00, 0x11, ... 0xFF, twice over: every hex digit, both places.
Sha256Fingerprint Counting()
{
    Sha256Fingerprint fingerprint{};
    for (std::size_t i = 0; i < fingerprint.size(); ++i) {
        fingerprint[i] = static_cast<std::uint8_t>((i % 16) * 0x11);
    }
    return fingerprint;
}

constexpr const char* kCountingRunTogether =
    "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";
constexpr const char* kCountingSeparated =
    "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";

Sha256Fingerprint Filled(std::uint8_t byte)
{
    Sha256Fingerprint fingerprint{};
    fingerprint.fill(byte);
    return fingerprint;
}

TEST(FingerprintTextTest, WritesUpperCasePairsSeparatedByColons)
{
    EXPECT_EQ(FingerprintText(Counting()), kCountingSeparated);
}

struct AcceptedPins {
    const char* name;
    std::string text;
    std::vector<Sha256Fingerprint> pins;
};

class AcceptedPinsTest : public testing::TestWithParam<AcceptedPins> {};

TEST_P(AcceptedPinsTest, ReadsEveryFingerprint)
{
    const AcceptedPins& row = GetParam();
    EXPECT_EQ(CheckCertificatePins(row.text), std::nullopt);
    EXPECT_EQ(ParseCertificatePins(row.text), row.pins);
}

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, AcceptedPinsTest,
    testing::Values(AcceptedPins{"Empty", "", {}}, AcceptedPins{"Blank", "  \t ", {}},
                    AcceptedPins{"RunTogether", kCountingRunTogether, {Counting()}},
                    AcceptedPins{"LowerCase", Lower(kCountingRunTogether), {Counting()}},
                    AcceptedPins{"Separated", kCountingSeparated, {Counting()}},
                    AcceptedPins{"SeparatedLowerCase", Lower(kCountingSeparated), {Counting()}},
                    AcceptedPins{"TwoWithBlanks",
                                 std::string(" ") + kCountingSeparated + " ,\t" + std::string(64, 'a'),
                                 {Counting(), Filled(0xAA)}},
                    AcceptedPins{"Three",
                                 std::string(64, '0') + "," + std::string(64, 'F') + ","
                                     + kCountingRunTogether,
                                 {Filled(0x00), Filled(0xFF), Counting()}}),
    [](const testing::TestParamInfo<AcceptedPins>& row) { return std::string(row.param.name); });

struct RefusedPins {
    const char* name;
    std::string text;
    const char* why;
};

class RefusedPinsTest : public testing::TestWithParam<RefusedPins> {};

TEST_P(RefusedPinsTest, SaysWhyAndGivesNoPins)
{
    const RefusedPins& row = GetParam();
    EXPECT_EQ(ParseCertificatePins(row.text), std::nullopt);
    const std::optional<std::string> why = CheckCertificatePins(row.text);
    ASSERT_TRUE(why);
    EXPECT_NE(why->find(row.why), std::string::npos) << *why;
}

const std::string kSha256Only = "a pin is 64 hex digits, run together or as 32 pairs separated by \":\"";

INSTANTIATE_TEST_SUITE_P(
    Mistakes, RefusedPinsTest,
    testing::Values(
        RefusedPins{"OneDigitShort", std::string(63, 'a'), "is not a SHA-256 fingerprint"},
        RefusedPins{"OneDigitLong", std::string(65, 'a'), "is not a SHA-256 fingerprint"},
        RefusedPins{"NotHex", std::string(63, 'a') + "g", "is not a SHA-256 fingerprint"},
        RefusedPins{"Sha1Thumbprint", std::string(40, 'b'), "its 40 hex digits make a SHA-1 thumbprint"},
        RefusedPins{"Sha1Separated", std::string(kCountingSeparated).substr(0, 59),
                    "its 40 hex digits make a SHA-1 thumbprint"},
        RefusedPins{"SpacesBetweenPairs", std::string(kCountingSeparated).replace(2, 1, " "),
                    "is not a SHA-256 fingerprint"},
        RefusedPins{"ColonsMisplaced",
                    "0:0112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF0011223344",
                    "is not a SHA-256 fingerprint"},
        RefusedPins{"HexPrefix", "0x" + std::string(64, 'a'), "is not a SHA-256 fingerprint"},
        RefusedPins{"EmptyBetweenCommas", std::string(64, 'a') + ",," + std::string(64, 'b'),
                    "an empty entry"},
        RefusedPins{"TrailingComma", std::string(64, 'a') + ",", "an empty entry"},
        RefusedPins{"LeadingComma", "," + std::string(64, 'a'), "an empty entry"},
        RefusedPins{"SecondBad", std::string(64, 'a') + ",xyz", "\"xyz\" is not a SHA-256 fingerprint"},
        RefusedPins{"NamesTheRule", "abc", kSha256Only.c_str()}),
    [](const testing::TestParamInfo<RefusedPins>& row) { return std::string(row.param.name); });

TEST(IsPinnedTest, MatchesOnlyAWholeFingerprintOfTheList)
{
    const std::vector<Sha256Fingerprint> pins = {Filled(0x01), Counting()};
    EXPECT_TRUE(IsPinned(Counting(), pins));
    EXPECT_TRUE(IsPinned(Filled(0x01), pins));
    Sha256Fingerprint lastByteOff = Counting();
    lastByteOff.back() ^= 1;
    EXPECT_FALSE(IsPinned(lastByteOff, pins));
    EXPECT_FALSE(IsPinned(Counting(), {}));
}

TEST(DescribeCertificateTest, GivesWhatAnAdministratorChecks)
{
    CertificateReport report{"CN=ftp.example.com, O=Example", "2026-01-01 00:00:00 UTC",
                             "2027-01-01 00:00:00 UTC", Counting(), CertificateVerdict::TrustedByWindows};
    EXPECT_EQ(DescribeCertificate(report, "ftp.example.com"),
              (std::vector<std::string>{
                  "Server certificate: CN=ftp.example.com, O=Example",
                  "Valid from 2026-01-01 00:00:00 UTC to 2027-01-01 00:00:00 UTC",
                  std::string("SHA-256 fingerprint: ") + kCountingSeparated,
                  "Accepted because Windows trusts it and it names ftp.example.com",
              }));
    report.verdict = CertificateVerdict::Pinned;
    EXPECT_EQ(DescribeCertificate(report, "ftp.example.com").back(),
              "Accepted because this location's settings pin it");
    // The pin offered for a refused certificate is one the setting takes.
    report.verdict = CertificateVerdict::Refused;
    const std::string advice = DescribeCertificate(report, "ftp.example.com").back();
    ASSERT_TRUE(advice.starts_with("Refused. ")) << advice;
    EXPECT_EQ(ParseCertificatePins(advice.substr(advice.rfind(' ') + 1)),
              std::vector<Sha256Fingerprint>{Counting()});
}

TEST(CertificateReasonTest, ThePinMismatchGivesAFingerprintTheSettingAccepts)
{
    const std::string reason = PinMismatchReason(Counting());
    EXPECT_EQ(reason, std::string("the server's certificate is not the one this location's settings pin (its "
                                  "SHA-256 fingerprint is ")
                          + kCountingSeparated + ")");
    // What an administrator copies from the message is a pin that matches.
    const auto pins = ParseCertificatePins(kCountingSeparated);
    ASSERT_TRUE(pins);
    EXPECT_TRUE(IsPinned(Counting(), *pins));
}

}  // namespace
}  // namespace kestrane
