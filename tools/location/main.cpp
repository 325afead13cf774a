// kestrane-location: makes and checks location.reg, the file that gives a
// location's PC its settings, and tries the settings on the FTP server. kHelp
// says how it is used.

#include "settings/location_settings.h"
#include "tools/location/check_services.h"
#include "tools/location/console.h"
#include "tools/location/location_check.h"
#include "tools/location/location_csv.h"
#include "tools/location/location_reg.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrane {
namespace {

constexpr const char* kHelp = R"(kestrane-location makes and checks location.reg, the file that gives a
location's PC its Kestrane settings: the location code, and the FTP server,
account and folder that receive the uploads. On the location's PC, it also
tries the settings on the FTP server.

To make a location.reg:

  kestrane-location write --location-code CODE --host HOST --user USER
      --password PASSWORD --remote-folder FOLDER [--pin PINS] [--output FILE]
      [--force]

  --location-code CODE    the location's code, as it appears in the names of
                          uploaded files; it may not contain \ / : * ? " < > |
  --host HOST             the FTP server's name or address; add :PORT if the
                          server does not use the usual port 21; put
                          ftpes:// (explicit) or ftps:// (implicit, port 990)
                          before it for FTP over TLS
  --user USER             the user name of the location's FTP account
  --password PASSWORD     the password of that account
  --password-stdin        use instead of --password to keep the password out
                          of the command history: you are asked to type it
                          (it does not show), or the first line piped in is
                          taken
  --remote-folder FOLDER  the folder on the FTP server that receives uploads
  --pin PINS              for FTP over TLS: the SHA-256 fingerprints of the
                          server's certificate, comma-separated, that alone
                          are accepted; without it, Windows must trust it
  --output FILE           the file to write; location.reg if not given
  --force                 replace FILE if it already exists

  No value may contain ";" or "=". To leave a value empty, write it as
  --remote-folder= for example (or --remote-folder "").

  To set up the PC, copy location.reg to it and double-click the file, or run
  "regedit /s location.reg" as an administrator. Anyone who has the file can
  read the password from it: keep it as safe as the password itself.

To make the files of many locations at once, from a CSV file:

  kestrane-location write --from FILE.csv --output FOLDER [--force]

  --from FILE.csv         the locations, one per line, in comma-separated
                          values saved as UTF-8. The first line names the
                          columns, in any order: location_code, host, user,
                          password, remote_folder, and pin if a location
                          needs one. A value that holds a comma, a quote or a
                          line break goes in double quotes ("), each of its
                          quotes doubled.
  --output FOLDER         the folder to write into, which must exist: one
                          file per location, named after its code (0042.reg
                          for location 0042)
  --force                 replace files that already exist

  Each location is written, or refused with its line in FILE.csv and why, as
  write refuses the same settings; codes that differ only in case are
  refused, as they would name the same file. Passwords are never shown. The
  exit status is 1 when any location was refused.

To check a location.reg:

  kestrane-location show FILE [--show-password]
  kestrane-location show --code CODE [--show-password]

  Prints the settings in FILE, or in CODE (the REGCODE value copied from the
  registry), and warns about anything that would stop Kestrane from working.
  The password shows as ******** unless --show-password is given.

To check that the settings work, on the location's PC:

  kestrane-location check [FILE]

  Reads the settings as Kestrane does: from this PC's registry, or from FILE,
  a location.reg, when one is given. Then, with Kestrane's own FTP client and
  time limits, it connects and logs in to the FTP server, and lists the
  remote folder. It prints a line per step and a verdict, never the password,
  and uploads, creates or deletes nothing on the server. It works on Windows
  only, since it needs the registry and WinINet, Windows' FTP client.

Exit status: 0 when all went well, 1 when the task failed, show found a
problem or check failed, 2 when the command line was not understood.
)";

constexpr const char* kDefaultOutput = "location.reg";

constexpr int kExitProblem = 1;
constexpr int kExitUsage = 2;

// A command line that was not understood.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A task that could not be done.
class TaskError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct KnownOption {
    const char* name;
    bool takesValue;
};

constexpr KnownOption kWriteOptions[] = {
    {"--location-code", true},
    {"--host", true},
    {"--user", true},
    {"--password", true},
    {"--password-stdin", false},
    {"--remote-folder", true},
    {"--output", true},
    {"--force", false},
    {"--pin", true},
    {"--from", true},
};
constexpr KnownOption kShowOptions[] = {{"--code", true}, {"--show-password", false}};
constexpr std::span<const KnownOption> kCheckOptions;  // none

struct Arguments {
    bool help = false;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    std::vector<std::string> files;
};

bool IsHelp(const std::string& arg)
{
    return arg == "--help" || arg == "-h";
}

const KnownOption* FindOption(std::span<const KnownOption> known, const std::string& name)
{
    for (const KnownOption& option : known) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

// Reads the options of one command: "--name VALUE" or "--name=VALUE" for
// those with a value, "--name" for the others; anything not starting with
// "-" is a file name.
Arguments ParseArguments(const std::string& command, std::span<const std::string> args,
                         std::span<const KnownOption> known)
{
    Arguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (IsHelp(arg)) {
            parsed.help = true;
            return parsed;
        }
        if (!arg.starts_with("-")) {
            parsed.files.push_back(arg);
            continue;
        }
        const auto equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const KnownOption* option = FindOption(known, name);
        if (option == nullptr) {
            throw UsageError(command + " has no option " + name + ".");
        }
        if (parsed.values.contains(name) || parsed.flags.contains(name)) {
            throw UsageError(name + " is given more than once.");
        }
        if (!option->takesValue) {
            if (equals != std::string::npos) {
                throw UsageError(name + " takes no value.");
            }
            parsed.flags.insert(name);
            continue;
        }
        if (equals != std::string::npos) {
            parsed.values[name] = arg.substr(equals + 1);
            continue;
        }
        // A value that is one of the options means the value was left out, as
        // happens when a shell drops an empty "" argument.
        if (i + 1 == args.size() || FindOption(known, args[i + 1].substr(0, args[i + 1].find('=')))) {
            throw UsageError(name + " needs a value. To leave it empty, write " + name + "=");
        }
        parsed.values[name] = args[++i];
    }
    return parsed;
}

[[noreturn]] void ThrowFileError(const char* what, const std::string& path, int error)
{
    throw TaskError(std::string("Cannot ") + what + " " + path + ": " + std::strerror(error) + ".");
}

bool FileExists(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    return true;
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        ThrowFileError("write", path, errno);
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    int error = errno;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        std::remove(path.c_str());  // a part of the file would only mislead
        ThrowFileError("write", path, error);
    }
}

std::string ReadWholeFile(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        ThrowFileError("read", path, errno);
    }
    std::string content;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        content.append(buffer, count);
    }
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        ThrowFileError("read", path, error);
    }
    return content;
}

// The first line of standard input, without its line end; nothing when the
// input ends before it starts. Someone typing is asked for it and does not
// see it.
std::optional<std::string> ReadPassword()
{
    std::unique_ptr<ConsoleChange> hidden;
    if (StandardInputIsInteractive()) {
        // Hidden before the prompt shows, so that nothing typed after it shows.
        hidden = HideTypedInput();
        std::cerr << "FTP password: " << std::flush;
    }
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (hidden) {
        hidden.reset();
        std::cerr << '\n';  // the Enter key did not show either
    }
    if (!read) {
        return std::nullopt;
    }
    if (line.ends_with('\r')) {
        line.pop_back();
    }
    return line;
}

// Why the file at path is not written, unless force: it exists.
std::optional<std::string> RefuseToReplace(const std::string& path, bool force)
{
    if (force || !FileExists(path)) {
        return std::nullopt;
    }
    return path + " already exists. Add --force to replace it";
}

void WriteLocationReg(const std::string& path, const LocationSettings& settings)
{
    WriteWholeFile(path, FormatLocationReg(EncodeSettingsCode(settings)));
}

// The file name in folder, joined with the separator the folder is written with.
std::string InFolder(const std::string& folder, const std::string& name)
{
    if (folder.empty() || folder.ends_with('/') || folder.ends_with('\\')) {
        return folder + name;
    }
    const bool backslashes = folder.find('/') == std::string::npos && folder.find('\\') != std::string::npos;
    return folder + (backslashes ? '\\' : '/') + name;
}

void ThrowIfNotWritable(const LocationSettings& settings, const std::string& output)
{
    if (std::optional<std::string> problem = CheckWritable(settings)) {
        throw TaskError("Cannot make " + output + ": " + *problem);
    }
}

// Writes a location of the CSV file into folder, and says so; or returns why
// it is not written.
std::optional<std::string> WriteLocation(const CsvLocation& location, const std::string& folder, bool force)
{
    if (!location.settings) {
        return location.problem;
    }
    const std::string& code = location.settings->locationCode;
    const std::string path = InFolder(folder, LocationRegFileName(code));
    if (std::optional<std::string> refusal = RefuseToReplace(path, force)) {
        return *refusal + ".";
    }
    try {
        WriteLocationReg(path, *location.settings);
    } catch (const TaskError& e) {
        return e.what();
    }
    std::cout << "Line " << location.line << ": wrote " << path << " for location \"" << code << "\".\n";
    return std::nullopt;
}

// write --from: a location.reg for each location of a CSV file, each named
// after its code. A location that cannot be written is reported and the
// others are still written.
int WriteFromCsv(const Arguments& args)
{
    std::vector<std::string> given(args.flags.begin(), args.flags.end());
    for (const auto& [name, value] : args.values) {
        given.push_back(name);
    }
    for (const std::string& name : given) {
        if (name != "--from" && name != "--output" && name != "--force") {
            throw UsageError("write --from takes every setting from the file; leave out " + name + ".");
        }
    }
    const auto output = args.values.find("--output");
    if (output == args.values.end()) {
        throw UsageError(
            "write --from needs --output FOLDER, the folder to write the locations' files into.");
    }
    const std::string& csvPath = args.values.at("--from");
    std::vector<CsvLocation> locations;
    try {
        locations = ReadLocationsCsv(ReadWholeFile(csvPath), ToSettingsCodePage);
    } catch (const LocationsCsvError& e) {
        throw TaskError("Cannot use " + csvPath + ": " + e.what() + ".");
    }

    std::size_t refused = 0;
    for (const CsvLocation& location : locations) {
        if (std::optional<std::string> problem =
                WriteLocation(location, output->second, args.flags.contains("--force"))) {
            std::cerr << "Line " << location.line << ": not written: " << *problem << '\n';
            ++refused;
        }
    }
    const std::size_t written = locations.size() - refused;
    std::cout << written << " written, " << refused << " refused.\n";
    if (written > 0) {
        std::cout << "To set up a location's PC, copy its file there and double-click it, or run\n"
                  << "this as an administrator:  regedit /s FILE\n";
    }
    return refused == 0 ? 0 : kExitProblem;
}

int Write(const Arguments& args)
{
    if (!args.files.empty()) {
        throw UsageError("write takes no file name except after --output; \"" + args.files.front()
                         + "\" is not understood.");
    }
    if (args.values.contains("--from")) {
        return WriteFromCsv(args);
    }
    const bool passwordFromInput = args.flags.contains("--password-stdin");
    if (passwordFromInput && args.values.contains("--password")) {
        throw UsageError("Give either --password or --password-stdin, not both.");
    }
    std::string missing;
    for (const std::string name : {"--location-code", "--host", "--user", "--password", "--remote-folder"}) {
        if (!args.values.contains(name) && !(name == "--password" && passwordFromInput)) {
            missing += (missing.empty() ? "" : ", ") + name;
        }
    }
    if (!missing.empty()) {
        throw UsageError("write needs every setting; missing: " + missing + ".");
    }

    LocationSettings settings;
    settings.locationCode = args.values.at("--location-code");
    settings.host = args.values.at("--host");
    settings.user = args.values.at("--user");
    settings.remoteFolder = args.values.at("--remote-folder");
    if (const auto pin = args.values.find("--pin"); pin != args.values.end()) {
        settings.pins = pin->second;
    }
    if (!passwordFromInput) {
        settings.password = args.values.at("--password");
    }
    const auto output = args.values.find("--output");
    const std::string path = output == args.values.end() ? kDefaultOutput : output->second;

    // Everything that can be checked is checked before anyone types a password.
    if (std::optional<std::string> refusal = RefuseToReplace(path, args.flags.contains("--force"))) {
        throw TaskError(*refusal + ", or name another file with --output.");
    }
    ThrowIfNotWritable(settings, path);
    if (passwordFromInput) {
        std::optional<std::string> password = ReadPassword();
        if (!password) {
            throw TaskError("No password came in on standard input.");
        }
        settings.password = std::move(*password);
        ThrowIfNotWritable(settings, path);
    }

    WriteLocationReg(path, settings);
    std::cout << "Wrote " << path << " for location \"" << settings.locationCode << "\".\n"
              << "To set up the location's PC, copy the file there and double-click it, or run\n"
              << "this as an administrator:  regedit /s \"" << path << "\"\n";
    return 0;
}

// The settings code that importing the registry file at path would store.
std::string SettingsCodeOfFile(const std::string& path)
{
    try {
        return ReadSettingsCodeFromReg(ReadWholeFile(path));
    } catch (const RegFileError& e) {
        throw TaskError("Cannot use " + path + ": " + e.what() + ".");
    }
}

int Show(const Arguments& args)
{
    const auto code = args.values.find("--code");
    if (args.files.size() + (code == args.values.end() ? 0 : 1) != 1) {
        throw UsageError("show needs one location.reg file, or --code CODE.");
    }

    std::string settingsCode;
    if (code != args.values.end()) {
        settingsCode = code->second;
        std::cout << "Settings in the code given:\n";
    } else {
        const std::string& path = args.files.front();
        settingsCode = SettingsCodeOfFile(path);
        std::cout << "Settings in " << path << ":\n";
    }

    const LocationSettings settings = DecodeSettingsCode(settingsCode);
    std::cout << DescribeSettings(settings, args.flags.contains("--show-password"));
    const std::vector<std::string> problems = FindSettingsProblems(settingsCode, settings);
    if (problems.empty()) {
        std::cout << "No problems found.\n";
        return 0;
    }
    std::cout << std::flush;
    for (const std::string& problem : problems) {
        std::cerr << "Warning: " << problem << '\n';
    }
    return kExitProblem;
}

int Check(const Arguments& args)
{
    if (args.files.size() > 1) {
        throw UsageError("check takes one location.reg file at most.");
    }
    const std::optional<CheckServices> services = KestraneServices();
    if (!services) {
        throw TaskError(
            "check works on Windows only: it reads the settings from the registry and tries them "
            "with WinINet, the FTP client that is part of Windows, as Kestrane does. Run it on the "
            "location's PC. Here, show prints what a location.reg holds.");
    }
    const FoundSettings found =
        args.files.empty() ? FoundSettings{"this PC's registry", services->readSettingsCode()}
                           : FoundSettings{args.files.front(), SettingsCodeOfFile(args.files.front())};
    return CheckServerAccess(found, services->makeClient, std::cout) ? 0 : kExitProblem;
}

struct Command {
    const char* name;
    std::span<const KnownOption> options;
    int (*run)(const Arguments&);
};

constexpr Command kCommands[] = {
    {"write", kWriteOptions, Write}, {"show", kShowOptions, Show}, {"check", kCheckOptions, Check}};

int Run(const std::vector<std::string>& args)
{
    if (args.empty()) {
        throw UsageError("Tell kestrane-location what to do: write, show or check.");
    }
    const std::string& name = args.front();
    if (IsHelp(name) || name == "help") {
        std::cout << kHelp;
        return 0;
    }
    const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                      [&name](const Command& known) { return name == known.name; });
    if (command == std::end(kCommands)) {
        throw UsageError("\"" + name
                         + "\" is not something kestrane-location does; use write, show or check.");
    }
    const Arguments parsed = ParseArguments(name, std::span(args).subspan(1), command->options);
    if (parsed.help) {
        std::cout << kHelp;
        return 0;
    }
    return command->run(parsed);
}

}  // namespace
}  // namespace kestrane

namespace kestrane {
namespace {

int RunCommandLine(const std::vector<std::string>& args)
{
    const std::unique_ptr<ConsoleChange> codePage = UseSettingsCodePage();
    try {
        return Run(args);
    } catch (const UsageError& e) {
        std::cerr << "Error: " << e.what() << "\nRun \"kestrane-location --help\" to see how to use it.\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << '\n';
        return kExitProblem;
    }
}

}  // namespace
}  // namespace kestrane

int main(int argc, char** argv)
{
    // The console's code page is back as it was before the program ends.
    kestrane::EndProgram(kestrane::RunCommandLine(std::vector<std::string>(argv + 1, argv + argc)));
}
