#include "ftp/ftp_listing.h"

#include "ftp/ftp_replies.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace kestrane {
namespace {

constexpr std::string_view kBlanks = " \t";

bool SameLetters(std::string_view text, std::string_view lowerCase)
{
    return std::equal(
        text.begin(), text.end(), lowerCase.begin(), lowerCase.end(),
        [](char ours, char lower) { return std::tolower(static_cast<unsigned char>(ours)) == lower; });
}

bool AllOf(std::string_view text, std::string_view allowed)
{
    return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

// The blank-separated words of a line, each with where it starts.
struct Word {
    std::string_view text;
    std::size_t start = 0;
};

std::vector<Word> Words(std::string_view line)
{
    std::vector<Word> words;
    for (auto start = line.find_first_not_of(kBlanks); start != std::string_view::npos;) {
        const auto end = std::min(line.find_first_of(kBlanks, start), line.size());
        words.push_back({line.substr(start, end - start), start});
        start = line.find_first_not_of(kBlanks, end);
    }
    return words;
}

bool IsMonth(std::string_view word)
{
    static constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
    return std::any_of(kMonths.begin(), kMonths.end(),
                       [word](std::string_view month) { return SameLetters(word, month); });
}

// "-rw-r--r-- 1 owner group 1234 Jan 01 12:00 name": the permissions, then
// the size right before the month, the day, and the time or the year. Some
// servers leave out the group or the link count, so the month, not a word's
// place, says where the size is.
std::optional<ListedEntry> ReadUnixLine(std::string_view line)
{
    const std::vector<Word> words = Words(line);
    if (words.size() < 6 || words[0].text.size() < 10 || !AllOf(words[0].text.substr(1, 9), "rwxsStTl-")) {
        return std::nullopt;
    }
    ListedEntry entry;
    switch (words[0].text[0]) {
    case '-':
        entry.type = EntryType::File;
        break;
    case 'd':
        entry.type = EntryType::Folder;
        break;
    default:
        entry.type = EntryType::Other;  // a link, a device, a pipe
    }
    for (std::size_t month = 2; month + 3 < words.size(); ++month) {
        const std::string_view day = words[month + 1].text;
        const std::string_view timeOrYear = words[month + 2].text;
        if (!IsMonth(words[month].text) || day.size() > 2 || !AllOf(day, "0123456789")
            || !AllOf(timeOrYear, "0123456789:")) {
            continue;
        }
        const std::optional<std::uint64_t> size = ReadDecimal(words[month - 1].text);
        if (!size) {
            continue;
        }
        // The name starts one blank after the time or the year, and keeps
        // whatever blanks it holds.
        const std::size_t nameStart = words[month + 2].start + timeOrYear.size() + 1;
        std::string_view name = line.substr(nameStart);
        if (words[0].text[0] == 'l') {
            name = name.substr(0, name.find(" -> "));
        }
        // A line with no name left, such as a link whose name is blank,
        // lists nothing that Kestrane could look for.
        if (name.empty()) {
            continue;
        }
        entry.name = std::string(name);
        if (entry.type == EntryType::File) {
            entry.size = size;
        }
        return entry;
    }
    return std::nullopt;
}

// "01-01-24  12:00PM  1234 name" or "01-01-24  12:00PM  <DIR>  name".
std::optional<ListedEntry> ReadDosLine(std::string_view line)
{
    const std::vector<Word> words = Words(line);
    if (words.size() < 4 || !AllOf(words[0].text, "0123456789-/")
        || !AllOf(words[1].text, "0123456789:APMapm") || words[1].text.find(':') == std::string_view::npos) {
        return std::nullopt;
    }
    ListedEntry entry;
    if (words[2].text == "<DIR>") {
        entry.type = EntryType::Folder;
    } else if (const std::optional<std::uint64_t> size = ReadDecimal(words[2].text)) {
        entry.type = EntryType::File;
        entry.size = size;
    } else {
        return std::nullopt;
    }
    entry.name = std::string(line.substr(words[3].start));
    return entry;
}

}  // namespace

std::optional<ListedEntry> ReadMlsdLine(std::string_view line)
{
    // Facts, each "name=value;", then one blank and the name.
    const auto blank = line.find(' ');
    if (blank == std::string_view::npos || blank + 1 == line.size()) {
        return std::nullopt;
    }
    ListedEntry entry;
    entry.name = std::string(line.substr(blank + 1));
    std::optional<std::uint64_t> size;
    for (std::string_view facts = line.substr(0, blank); !facts.empty();) {
        const std::string_view fact = facts.substr(0, facts.find(';'));
        facts.remove_prefix(std::min(fact.size() + 1, facts.size()));
        const auto equals = fact.find('=');
        if (equals == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view name = fact.substr(0, equals);
        const std::string_view value = fact.substr(equals + 1);
        if (SameLetters(name, "type")) {
            if (SameLetters(value, "file")) {
                entry.type = EntryType::File;
            } else if (SameLetters(value, "dir") || SameLetters(value, "cdir")
                       || SameLetters(value, "pdir")) {
                entry.type = EntryType::Folder;
            }
        } else if (SameLetters(name, "size")) {
            size = ReadDecimal(value);
        }
    }
    if (entry.type == EntryType::File) {
        entry.size = size;
    }
    return entry;
}

std::optional<ListedEntry> ReadListLine(std::string_view line)
{
    if (std::optional<ListedEntry> entry = ReadUnixLine(line)) {
        return entry;
    }
    return ReadDosLine(line);
}

std::vector<ListedEntry> ReadListing(std::string_view listing, ListingFormat format)
{
    std::vector<ListedEntry> entries;
    while (!listing.empty()) {
        const auto end = std::min(listing.find('\n'), listing.size());
        std::string_view line = listing.substr(0, end);
        listing.remove_prefix(std::min(end + 1, listing.size()));
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        std::optional<ListedEntry> entry =
            format == ListingFormat::Mlsd ? ReadMlsdLine(line) : ReadListLine(line);
        if (entry) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

}  // namespace kestrane
