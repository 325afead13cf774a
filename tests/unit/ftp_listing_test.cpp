#include "ftp/ftp_listing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace kestrane {
namespace {

struct LineCase {
    const char* line;
    bool entry;  // false: the line is no entry
    const char* name;
    EntryType type;
    std::optional<std::uint64_t> size;
};

constexpr auto kFile = EntryType::File;
constexpr auto kFolder = EntryType::Folder;
constexpr auto kOther = EntryType::Other;

// MLSD lines as servers send them (RFC 3659): facts in any order and case.
const LineCase kMlsdLines[] = {
    {"type=file;size=15637;modify=20240101120000; 26 0042.TXT", true, "26 0042.TXT", kFile, 15637},
    {"Type=File;Size=0;Perm=r; empty", true, "empty", kFile, 0},
    {"modify=20240101120000;perm=adfr;size=7;type=file;unique=801U1; a;b=c d", true, "a;b=c d", kFile, 7},
    {"type=dir;sizd=4096; drop box [1]", true, "drop box [1]", kFolder, std::nullopt},
    {"type=cdir; .", true, ".", kFolder, std::nullopt},
    {"type=pdir; ..", true, "..", kFolder, std::nullopt},
    {"type=OS.unix=slink:/etc/x;size=9; link", true, "link", kOther, std::nullopt},
    {"type=file; no size", true, "no size", kFile, std::nullopt},
    {"type=file;size=12x; bad size", true, "bad size", kFile, std::nullopt},
    {"  leading blank", true, " leading blank", kOther, std::nullopt},
    {"type=file;size=1;", false, "", kOther, std::nullopt},
    {"nofacts name", false, "", kOther, std::nullopt},
    {"", false, "", kOther, std::nullopt},
};

// LIST lines in the Unix format (ls -l, as vsftpd, ProFTPD, Pure-FTPd and
// pyftpdlib write it) and in the DOS format of IIS.
const LineCase kListLines[] = {
    {"-rw-r--r--   1 owner    group       15637 Jan 01 12:00 26 0042.TXT", true, "26 0042.TXT", kFile, 15637},
    {"-rw-r--r-- 1 owner group 1234 Feb  3  2023 old.TXT", true, "old.TXT", kFile, 1234},
    {"-rw-r--r-- 1 owner group 1234 Feb  3  2023  two leading", true, " two leading", kFile, 1234},
    {"drwxr-xr-x 2 owner group 4096 Dec 31 23:59 drop box [1]", true, "drop box [1]", kFolder, std::nullopt},
    {"-rw-r--r-- 1 owner 1234 Jan 01 12:00 no group", true, "no group", kFile, 1234},
    {"-rw-r--r--+ 1 owner group 99 Jan 01 12:00 with acl", true, "with acl", kFile, 99},
    {"-rw-r--r-- 1 jan group 55 Mar 09 08:00 owner named like a month", true, "owner named like a month",
     kFile, 55},
    {"lrwxrwxrwx 1 owner group 11 Jan 01 12:00 latest -> 26 0042.TXT", true, "latest", kOther, std::nullopt},
    {"lrwxrwxrwx 1 owner group 5 Jan 01 12:00  ->  target", false, "", kOther, std::nullopt},
    {"-rw-r--r-- 1 owner group 18446744073709551615 Jan 01 12:00 huge", true, "huge", kFile, UINT64_MAX},
    {"01-01-24  12:00PM                15637 26 0042.TXT", true, "26 0042.TXT", kFile, 15637},
    {"01-01-2024  09:41AM       <DIR>          old files", true, "old files", kFolder, std::nullopt},
    {"12-31-99  23:59           7 24-hour clock", true, "24-hour clock", kFile, 7},
    {"total 12", false, "", kOther, std::nullopt},
    {"-rw-r--r-- 1 owner group size Jan 01 12:00 no number", false, "", kOther, std::nullopt},
    {"01-01-24  12:00PM  many  ", false, "", kOther, std::nullopt},
    {"", false, "", kOther, std::nullopt},
};

void ExpectEntry(const std::optional<ListedEntry>& read, const LineCase& expected)
{
    ASSERT_EQ(read.has_value(), expected.entry) << expected.line;
    if (read) {
        EXPECT_EQ(read->name, expected.name) << expected.line;
        EXPECT_EQ(read->type, expected.type) << expected.line;
        EXPECT_EQ(read->size, expected.size) << expected.line;
    }
}

TEST(FtpListingTest, ReadsMlsdLines)
{
    for (const LineCase& line : kMlsdLines) {
        ExpectEntry(ReadMlsdLine(line.line), line);
    }
}

TEST(FtpListingTest, ReadsListLinesInUnixAndDosFormats)
{
    for (const LineCase& line : kListLines) {
        ExpectEntry(ReadListLine(line.line), line);
    }
}

TEST(FtpListingTest, AListingIsReadLineByLineWhateverItsLineEnds)
{
    const auto entries =
        ReadListing("total 2\r\n-rw-r--r-- 1 o g 5 Jan 01 12:00 a b\n01-01-24  12:00PM  6 c d\r\n\r\n",
                    ListingFormat::List);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "a b");
    EXPECT_EQ(entries[0].size, 5u);
    EXPECT_EQ(entries[1].name, "c d");
    EXPECT_EQ(entries[1].size, 6u);
    EXPECT_EQ(ReadListing("type=file;size=3; x\r\n", ListingFormat::Mlsd).at(0).name, "x");
}

}  // namespace
}  // namespace kestrane
