#include "tools/location/location_csv.h"

#include "tools/location/location_check.h"
#include "tools/location/text_encoding.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <span>

namespace kestrane {
namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// A column of the file, and the setting it holds.
struct Column {
    std::string_view name;
    std::string LocationSettings::*setting;
    const char* label;  // as CheckEncodable names the setting
    bool required;
};

constexpr Column kColumns[] = {
    {"location_code", &LocationSettings::locationCode, "location code", true},
    {"host", &LocationSettings::host, "host", true},
    {"user", &LocationSettings::user, "user", true},
    {"password", &LocationSettings::password, "password", true},
    {"remote_folder", &LocationSettings::remoteFolder, "remote folder", true},
    {"pin", &LocationSettings::pins, "certificate pin", false},
};
const Column& kLocationCodeColumn = kColumns[0];

// The header's names, as messages list them.
std::string ColumnList()
{
    std::string list;
    for (const Column& column : kColumns) {
        list += (list.empty() ? "" : ", ") + std::string(column.name);
    }
    return list;
}

// Names that Windows keeps for devices, also with an extension: a file
// named so cannot be made.
constexpr std::string_view kDeviceNames[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4",
                                             "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3",
                                             "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};

// A record of the file: its fields, and the first mistake in its quoting.
struct CsvRecord {
    std::size_t line = 0;  // where it starts
    std::vector<std::string> fields;
    std::string problem;
};

// Splits the text into records: fields end at a comma, records at a line
// end (LF or CR LF) outside quotes. A quoted field keeps its line ends as
// they are, and a doubled quote in it stands for one. A quote inside a field
// that does not start with one, or text after a closing quote, is a mistake
// noted in the record, which still ends where it would have.
std::vector<CsvRecord> SplitRecords(std::string_view text)
{
    std::vector<CsvRecord> records;
    std::size_t line = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        CsvRecord record{line, {std::string()}, {}};
        bool inQuotes = false;
        bool afterQuotes = false;  // the field's closing quote is behind
        std::size_t quoteLine = 0;
        auto noteProblem = [&record](const std::string& problemOfField) {
            if (record.problem.empty()) {
                record.problem = "field " + std::to_string(record.fields.size()) + problemOfField;
            }
        };
        for (; i < text.size(); ++i) {
            const char c = text[i];
            std::string& field = record.fields.back();
            if (inQuotes) {
                if (c != '"') {
                    line += c == '\n' ? 1 : 0;
                    field.push_back(c);
                } else if (i + 1 < text.size() && text[i + 1] == '"') {
                    field.push_back(c);
                    ++i;
                } else {
                    inQuotes = false;
                    afterQuotes = true;
                }
                continue;
            }
            if (c == ',') {
                record.fields.emplace_back();
                afterQuotes = false;
                continue;
            }
            if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
                i += c == '\r' ? 2 : 1;
                ++line;
                break;
            }
            if (afterQuotes) {
                noteProblem(" goes on after its closing quote");
            } else if (c == '"' && field.empty()) {
                inQuotes = true;
                quoteLine = line;
                continue;
            } else if (c == '"') {
                noteProblem(" holds a quote but does not start with one; a value with quotes must be put "
                            "in quotes, each of its quotes doubled");
            }
            field.push_back(c);
        }
        if (inQuotes) {
            noteProblem(" opens a quote on line " + std::to_string(quoteLine)
                        + " that is never closed, so the rest of the file was taken as part of it");
        }
        records.push_back(std::move(record));
    }
    return records;
}

std::string_view TrimBlanks(std::string_view text)
{
    const auto start = text.find_first_not_of(' ');
    return start == std::string_view::npos ? std::string_view()
                                           : text.substr(start, text.find_last_not_of(' ') + 1 - start);
}

// Which column each field of a record holds, from the header. The header's
// own text is never quoted in a message: a file without one starts with a
// location, password and all.
std::vector<const Column*> ReadHeader(const CsvRecord& header)
{
    const std::string columnList = " (the first line must name the columns: " + ColumnList() + ")";
    if (!header.problem.empty()) {
        throw LocationsCsvError("line 1: " + header.problem);
    }
    std::vector<const Column*> columns;
    for (const std::string& name : header.fields) {
        const auto column =
            std::find_if(std::begin(kColumns), std::end(kColumns), [&name](const Column& known) {
                return EqualsIgnoringCase(TrimBlanks(name), known.name);
            });
        if (column == std::end(kColumns)) {
            throw LocationsCsvError("line 1: column " + std::to_string(columns.size() + 1)
                                    + " of the header is none of the known columns" + columnList);
        }
        if (std::find(columns.begin(), columns.end(), column) != columns.end()) {
            throw LocationsCsvError("line 1: the header names the column " + std::string(column->name)
                                    + " twice");
        }
        columns.push_back(column);
    }
    std::string missing;
    for (const Column& column : kColumns) {
        if (column.required && std::find(columns.begin(), columns.end(), &column) == columns.end()) {
            missing += (missing.empty() ? "" : ", ") + std::string(column.name);
        }
    }
    if (!missing.empty()) {
        throw LocationsCsvError("line 1: the header lacks the columns " + missing + columnList);
    }
    return columns;
}

// Why a field's value cannot be stored as the column's setting, or nothing
// when it is stored in settings.
std::optional<std::string> StoreField(const std::string& value, const Column& column,
                                      SettingsTextEncoder toSettingsText, LocationSettings& settings)
{
    const std::optional<std::u32string> characters = DecodeUtf8(value);
    if (!characters) {
        return "the " + std::string(column.label) + " is not UTF-8 text: save the file as UTF-8.";
    }
    std::optional<std::string> stored = toSettingsText(*characters);
    if (!stored) {
        return "the " + std::string(column.label)
               + " holds a character that the settings cannot store: they are text in the ANSI code page "
                 "of Windows.";
    }
    settings.*column.setting = std::move(*stored);
    return std::nullopt;
}

bool NamesADevice(std::string_view code)
{
    const std::string_view name = code.substr(0, code.find('.'));
    const std::string_view trimmed = name.substr(0, name.find_last_not_of(' ') + 1);
    return std::any_of(std::begin(kDeviceNames), std::end(kDeviceNames),
                       [trimmed](std::string_view device) { return EqualsIgnoringCase(trimmed, device); });
}

// The settings of a record, or why they cannot be written.
CsvLocation ReadLocation(const CsvRecord& record, std::span<const Column* const> columns,
                         SettingsTextEncoder toSettingsText)
{
    CsvLocation location{record.line, std::nullopt, record.problem};
    if (!location.problem.empty()) {
        location.problem += '.';
        return location;
    }
    if (record.fields.size() != columns.size()) {
        location.problem = "it has " + std::to_string(record.fields.size())
                           + " fields where the header names " + std::to_string(columns.size())
                           + " columns; a value that holds a comma must be put in quotes.";
        return location;
    }
    LocationSettings settings;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (std::optional<std::string> problem =
                StoreField(record.fields[i], *columns[i], toSettingsText, settings)) {
            location.problem = std::move(*problem);
            return location;
        }
    }
    if (settings.locationCode.empty()) {
        location.problem = "the location code is empty, and it names the location's file.";
    } else if (NamesADevice(settings.locationCode)) {
        location.problem = "the location code is a name that Windows keeps for a device (CON, PRN, AUX, NUL, "
                           "COM1 to COM9, LPT1 to LPT9), so no file can be named after it.";
    } else if (std::optional<std::string> problem = CheckWritable(settings)) {
        location.problem = std::move(*problem);
    } else {
        location.settings = std::move(settings);
    }
    return location;
}

// The code with the capitals of ASCII and of Latin-1 as small letters, as
// Windows' file names match them.
std::u32string CaseFolded(std::u32string code)
{
    for (char32_t& c : code) {
        if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
            c += 0x20;
        }
    }
    return code;
}

// Refuses every location whose code another row has too.
void RefuseSharedCodes(std::vector<CsvLocation>& locations,
                       const std::map<std::u32string, std::vector<std::size_t>>& locationsByCode)
{
    for (const auto& [code, sharing] : locationsByCode) {
        if (sharing.size() < 2) {
            continue;
        }
        for (const std::size_t index : sharing) {
            std::string others;
            for (const std::size_t other : sharing) {
                if (other != index) {
                    others += (others.empty() ? "" : ", ") + std::to_string(locations[other].line);
                }
            }
            CsvLocation& location = locations[index];
            location.settings.reset();
            location.problem = (sharing.size() == 2 ? "line " + others + " has" : "lines " + others + " have")
                               + " the same location code, ignoring case; each location needs a code "
                                 "of its own, since the code names its file.";
        }
    }
}

}  // namespace

std::vector<CsvLocation> ReadLocationsCsv(std::string_view fileBytes, SettingsTextEncoder toSettingsText)
{
    if (fileBytes.starts_with(kUtf8ByteOrderMark)) {
        fileBytes.remove_prefix(kUtf8ByteOrderMark.size());
    }
    const std::vector<CsvRecord> records = SplitRecords(fileBytes);
    if (records.empty()) {
        throw LocationsCsvError("it is empty; its first line must name the columns: " + ColumnList());
    }
    const std::vector<const Column*> columns = ReadHeader(records.front());
    const auto codeField = static_cast<std::size_t>(
        std::distance(columns.begin(), std::find(columns.begin(), columns.end(), &kLocationCodeColumn)));

    std::vector<CsvLocation> locations;
    std::map<std::u32string, std::vector<std::size_t>> locationsByCode;
    for (auto record = std::next(records.begin()); record != records.end(); ++record) {
        if (record->problem.empty()
            && std::all_of(record->fields.begin(), record->fields.end(),
                           [](const std::string& field) { return field.empty(); })) {
            continue;
        }
        locations.push_back(ReadLocation(*record, columns, toSettingsText));
        if (record->fields.size() == columns.size()) {
            if (std::optional<std::u32string> code = DecodeUtf8(record->fields[codeField]);
                code && !code->empty()) {
                locationsByCode[CaseFolded(std::move(*code))].push_back(locations.size() - 1);
            }
        }
    }
    if (locations.empty()) {
        throw LocationsCsvError("it holds no locations: no row follows the header");
    }
    RefuseSharedCodes(locations, locationsByCode);
    return locations;
}

std::string LocationRegFileName(std::string_view locationCode)
{
    return std::string(locationCode) + ".reg";
}

}  // namespace kestrane
