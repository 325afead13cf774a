// A remote folder's listing, read entry by entry from the lines a server
// sends: MLSD's facts (RFC 3659, "type=file;size=1234; name"), or LIST's
// lines in the Unix format ("-rw-r--r-- 1 owner group 1234 Jan 01 12:00
// name") or in the DOS format of IIS ("01-01-24  12:00PM  1234 name", with
// "<DIR>" for a folder). A name is kept whole, blanks and all. A line that
// is no entry, such as "total 12", is passed over.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

enum class ListingFormat { Mlsd, List };

enum class EntryType { File, Folder, Other };

struct ListedEntry {
    std::string name;
    EntryType type = EntryType::Other;
    std::optional<std::uint64_t> size;  // a file's size, where the line gives it
};

// One line, without its line end; nothing for a line that is no entry.
std::optional<ListedEntry> ReadMlsdLine(std::string_view line);
std::optional<ListedEntry> ReadListLine(std::string_view line);

// Every entry of a listing, whose lines end with CRLF or LF.
std::vector<ListedEntry> ReadListing(std::string_view listing, ListingFormat format);

}  // namespace kestrane
