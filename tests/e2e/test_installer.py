"""The two installers, run silently under Wine in the session's prefix, which
plays a PC that has never had Kestrane: the setup program
kestrane-setup-<version>.exe (NSIS) with /S, and its uninstaller; and the
Windows Installer package kestrane-<version>.msi, with msiexec /i ... /qn
and /x. Where they are to do the same, a test runs with each.

Both are looked for beside kestrane.exe (rig.BUILD_DIR), under the version
that CMakeLists.txt gives the project. They are of the same kind as the
programs they install: the shipped build's are 32-bit, and put them where
64-bit Windows keeps 32-bit programs. Every test starts without the data
folder C:\\Kestrane (the bench makes one; these tests take it away) and
leaves no installation behind for the next.
"""

import contextlib
import ntpath
import re
import shutil
import struct
import subprocess
import tempfile
import time
from dataclasses import dataclass

import pytest

import rig

BUILT_PROGRAMS = {name: rig.BUILD_DIR / name for name in rig.SHIPPED_PROGRAMS}

# Where 64-bit Windows keeps the programs of each kind. Add/Remove Programs
# lists each from the registry view of its kind.
PROGRAM_FILES = {32: r"C:\Program Files (x86)", 64: r"C:\Program Files"}
PROGRAM_DIR = PROGRAM_FILES.get(rig.BUILD_BITS, "") + r"\Kestrane"
INSTALLED_PROGRAM = PROGRAM_DIR + r"\kestrane.exe"
UNINSTALLER = PROGRAM_DIR + r"\uninstall.exe"
DATA_DIR = r"C:\Kestrane"
DEFAULT_DONE_TEXT = b"SYNC OK\r\n"
# The setup program makes the shortcuts for all users; these are the folders
# Wine gives them.
SHORTCUTS = {
    "start menu": r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Kestrane.lnk",
    "desktop": r"C:\users\Public\Desktop\Kestrane.lnk",
}
UNINSTALL_ROOT = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
UNINSTALL_KEY = UNINSTALL_ROOT + r"\Kestrane"

# Wine's menu builder would copy every shortcut made in the prefix into this
# machine's own menus and desktop.
INSTALLER_DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"
INSTALL_LIMIT_S = 120
# NSIS's exit status when the script stopped the installation.
ABORTED_BY_SCRIPT = 2
# msiexec's when the installation failed (ERROR_INSTALL_FAILURE), and when a
# custom action failed as Wine reports it (ERROR_FUNCTION_FAILED; Windows
# reports ERROR_INSTALL_FAILURE), as Linux sees them: their low 8 bits.
INSTALL_FAILURE = 1603 & 0xFF
FUNCTION_FAILED = 1627 & 0xFF
# What lets every signed-in user (Authenticated Users, S-1-5-11) change files
# in the data folder and in all it will hold: icacls of the system folder,
# with these arguments.
ICACLS_ARGUMENTS = r'"C:\Kestrane" /grant *S-1-5-11:(OI)(CI)M'
UNINSTALL_LIMIT_S = 60

DATA = b"~;first record\r\n~;second record\r\n"
COMPLETE_LOG = "\r\n".join([rig.FIRST_LOG_LINE] + rig.JOB_LOG_LINES)
# The version after this one, of the package the tests build to upgrade to.
NEXT_VERSION = re.sub(r"\d+$", lambda number: str(int(number.group()) + 1), rig.VERSION)


# The Shell Link (.lnk) format, as far as these tests read it.

LINK_CLSID = bytes.fromhex("0114020000000000c000000000000046")
HAS_TARGET_ID_LIST = 0x01
HAS_LINK_INFO = 0x02
IS_UNICODE = 0x80
# The optional strings that follow the link info, in their order in the file.
LINK_STRINGS = (("name", 0x04), ("relative_path", 0x08), ("working_dir", 0x10), ("arguments", 0x20),
                ("icon_location", 0x40))
VOLUME_ID_AND_LOCAL_BASE_PATH = 0x01


@dataclass
class Shortcut:
    target: str
    working_dir: str
    arguments: str
    icon_location: str
    icon_index: int


def _c_string(data, offset, unicode):
    if unicode:
        end = offset
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[offset:end].decode("utf-16-le")
    return data[offset:data.index(b"\0", offset)].decode("cp1252")


def read_shortcut(path):
    """The target (from the link info's local path), the working folder, the
    arguments and the icon of a .lnk file."""
    data = path.read_bytes()
    header_size, = struct.unpack_from("<I", data, 0)
    assert header_size == 0x4C and data[4:20] == LINK_CLSID, "%s is not a shell link" % path
    flags, = struct.unpack_from("<I", data, 0x14)
    icon_index, = struct.unpack_from("<i", data, 0x38)
    offset = 0x4C
    if flags & HAS_TARGET_ID_LIST:
        id_list_size, = struct.unpack_from("<H", data, offset)
        offset += 2 + id_list_size
    target = ""
    if flags & HAS_LINK_INFO:
        (info_size, info_header_size, info_flags, _, base_path_offset, _,
         suffix_offset) = struct.unpack_from("<7I", data, offset)
        if info_flags & VOLUME_ID_AND_LOCAL_BASE_PATH:
            if info_header_size >= 0x24:
                base_path_offset, suffix_offset = struct.unpack_from("<2I", data, offset + 0x1C)
                unicode = True
            else:
                unicode = False
            target = (_c_string(data, offset + base_path_offset, unicode)
                      + _c_string(data, offset + suffix_offset, unicode))
        offset += info_size
    strings = {}
    for name, flag in LINK_STRINGS:
        if flags & flag:
            count, = struct.unpack_from("<H", data, offset)
            offset += 2
            if flags & IS_UNICODE:
                text = data[offset:offset + 2 * count].decode("utf-16-le")
                offset += 2 * count
            else:
                text = data[offset:offset + count].decode("cp1252")
                offset += count
            # Wine counts the terminating NUL, Windows does not.
            strings[name] = text.rstrip("\0")
    return Shortcut(target, strings.get("working_dir", ""), strings.get("arguments", ""),
                    strings.get("icon_location", ""), icon_index)


# The prefix as a PC.

def in_prefix(prefix, windows_path):
    """The Linux path of a C: path of the prefix."""
    drive, rest = windows_path.split(":\\", 1)
    assert drive.upper() == "C", windows_path
    return prefix.drive_c.joinpath(*rest.split("\\"))


def folder_contents(folder):
    """{name: bytes} of the files in a folder."""
    return {path.name: path.read_bytes() for path in folder.iterdir() if path.is_file()}


def run_in_prefix(prefix, args, timeout, extra_env=None):
    """Runs a Windows program of the prefix to its end, Wine's menu builder
    switched off. Output goes through files, as in the rig: a service the
    program starts would hold a pipe open."""
    env = prefix.env(dict({"WINEDLLOVERRIDES": INSTALLER_DLL_OVERRIDES}, **(extra_env or {})))
    with tempfile.TemporaryFile() as output:
        process = subprocess.run([rig.WINE] + list(args), env=env, stdin=subprocess.DEVNULL, stdout=output,
                                 stderr=subprocess.STDOUT, timeout=timeout)
        output.seek(0)
        return process.returncode, output.read().decode("utf-8", "replace")


def started_commands(output):
    """The command lines that programs asked Wine to start, from its process
    trace (WINEDEBUG=trace+process) in output."""
    quoted = re.findall(r':CreateProcessInternalW app .*? cmdline L"((?:[^"\\]|\\.)*)"', output)
    return [re.sub(r"\\(.)", r"\1", command) for command in quoted]


def started_icacls(output):
    """The arguments of each icacls of a system folder started, from the process trace."""
    found = (re.fullmatch(r'"?C:\\windows\\sys(?:tem32|wow64)\\icacls\.exe"? (.*)', command, re.IGNORECASE)
             for command in started_commands(output))
    return [match.group(1) for match in found if match]


@contextlib.contextmanager
def icacls(prefix, outcome):
    """The WINEDLLOVERRIDES under which icacls "runs" (Wine's, a stub that
    changes nothing and succeeds), "cannot start", or "fails": the system
    folder's icacls.exe is then, for the block, kestrane-location.exe, which
    refuses icacls's arguments with status 2."""
    program = prefix.drive_c / "windows" / rig.SYSTEM_FOLDERS[rig.BUILD_BITS] / "icacls.exe"
    own = program.read_bytes()
    if outcome == "fails":
        shutil.copyfile(BUILT_PROGRAMS["kestrane-location.exe"], program)
    try:
        yield INSTALLER_DLL_OVERRIDES + {"runs": "", "cannot start": ";icacls.exe=d", "fails": ";icacls.exe=n"}[outcome]
    finally:
        program.write_bytes(own)


def uninstall_entry(prefix, value):
    found = prefix.reg_query(UNINSTALL_KEY, value, view=rig.BUILD_BITS)
    return found[1] if found else None


def installed_packages(prefix):
    """{product code: version} of the Kestrane packages that Add/Remove
    Programs lists, from the registry view of their kind."""
    listing = prefix.wine_command(["reg", "query", UNINSTALL_ROOT, "/s", "/reg:%d" % rig.BUILD_BITS]).stdout
    packages = {}
    for code, values in re.findall(r"\\(\{[-0-9A-F]+\})\r?\n((?:[ \t]+\S.*\n)*)", listing.decode("utf-8", "replace")):
        entry = dict(re.findall(r"^[ \t]+(\w+)[ \t]+REG_\w+[ \t]*(.*?)\r?$", values, re.MULTILINE))
        if entry.get("DisplayName") == "Kestrane":
            packages[code] = entry.get("DisplayVersion")
    return packages


def built(path):
    """The Windows path of a file of the build."""
    if not path.is_file():
        pytest.fail("not built: %s (cmake --preset windows && cmake --build --preset windows)" % path)
    return rig.windows_path(path)


def build_package(version, folder):
    """The package of another version, built as the build makes this one."""
    built(rig.INSTALLER_PACKAGE)
    path = folder / ("kestrane-%s.msi" % version)
    definitions = {"VERSION": version, "BITS": rig.BUILD_BITS, "EXE": BUILT_PROGRAMS["kestrane.exe"],
                   "LOCATION_EXE": BUILT_PROGRAMS["kestrane-location.exe"], "MSI": path,
                   "ICON": rig.REPO_DIR / "app" / "kestrane.ico", "DONE_FILE": rig.REPO_DIR / "examples" / "done.txt"}
    subprocess.run(["cmake"] + ["-DKESTRANE_%s=%s" % item for item in definitions.items()]
                   + ["-P", str(rig.REPO_DIR / "installer" / "build_msi.cmake")],
                   check=True, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    return path


class SetupProgram:
    """kestrane-setup-<version>.exe (NSIS), run with /S, and the uninstaller
    it registers in Add/Remove Programs."""

    name, path = "setup program", rig.SETUP_PROGRAM
    own_files = ["uninstall.exe"]  # beside the programs
    shortcut_icon = (INSTALLED_PROGRAM, 0)
    refused_status = ABORTED_BY_SCRIPT  # when it refuses to start
    stopped_statuses = {ABORTED_BY_SCRIPT}  # when a step fails

    def shortcuts(self, prefix):
        return SHORTCUTS

    def run(self, prefix, extra_env=None):
        """Runs it to its end: (status, output)."""
        return run_in_prefix(prefix, [built(self.path), "/S"], INSTALL_LIMIT_S, extra_env)

    def installed_versions(self, prefix):
        return [version for version in [uninstall_entry(prefix, "DisplayVersion")] if version]

    def uninstall(self, prefix):
        """Runs the quiet uninstall command that Add/Remove Programs offers, and
        waits for the uninstaller to finish: it copies itself to a temporary
        folder, starts the copy and returns at once, and the copy removes the
        program's folder last."""
        command = uninstall_entry(prefix, "QuietUninstallString")
        match = re.fullmatch(r'"([^"]+)"(.*)', command or "")
        assert match, "no quiet uninstall command: %r" % command
        status, output = run_in_prefix(prefix, [match.group(1)] + match.group(2).split(), UNINSTALL_LIMIT_S)
        assert status == 0, "the uninstaller failed with status %d: %s" % (status, output)
        program_dir = in_prefix(prefix, PROGRAM_DIR)
        deadline = time.monotonic() + UNINSTALL_LIMIT_S
        while program_dir.exists():
            if time.monotonic() > deadline:
                pytest.fail("the uninstaller left %s: %s"
                            % (PROGRAM_DIR, sorted(p.name for p in program_dir.iterdir())))
            time.sleep(0.2)


class InstallerPackage:
    """kestrane-<version>.msi, installed with msiexec /i ... /qn and removed with /x."""

    name, own_files = "package", []
    # Windows Installer names no icon for a plain shortcut: Windows shows its target's first.
    shortcut_icon = ("", 0)
    refused_status = INSTALL_FAILURE  # a launch condition does not hold
    stopped_statuses = {INSTALL_FAILURE, FUNCTION_FAILED}

    def __init__(self, path):
        self.path = path

    def shortcuts(self, prefix):
        """Windows puts a per-machine package's Start-menu shortcut in the Start
        menu of all users, Wine in the installing user's: the prefix's one user
        beside Public."""
        user, = [path.name for path in (prefix.drive_c / "users").iterdir() if path.name != "Public"]
        return {"start menu": r"C:\users\%s\AppData\Roaming\Microsoft\Windows\Start Menu\Programs\Kestrane.lnk" % user}

    def run(self, prefix, extra_env=None, properties=()):
        """msiexec /i to its end, with PROPERTY=value arguments: (status, output)."""
        return run_in_prefix(prefix, ["msiexec", "/i", built(self.path), "/qn", *properties], INSTALL_LIMIT_S,
                             extra_env)

    def installed_versions(self, prefix):
        return list(installed_packages(prefix).values())

    def uninstall(self, prefix):
        status, output = run_in_prefix(prefix, ["msiexec", "/x", built(self.path), "/qn"], UNINSTALL_LIMIT_S)
        assert status == 0, "msiexec /x failed with status %d: %s" % (status, output)


SETUP = SetupProgram()
PACKAGE = InstallerPackage(rig.INSTALLER_PACKAGE)


def install(prefix, installer=SETUP, **options):
    status, output = installer.run(prefix, **options)
    assert status == 0, "the %s failed with status %d: %s" % (installer.name, status, output)


@pytest.fixture(params=[SETUP, PACKAGE], ids=lambda installer: installer.name)
def installer(request):
    return request.param


@pytest.fixture(scope="session")
def next_package(tmp_path_factory):
    return InstallerPackage(build_package(NEXT_VERSION, tmp_path_factory.mktemp("next-package")))


@pytest.fixture
def pc(kestrane):
    """The bench's prefix as a PC that never had Kestrane; afterwards whatever
    an installation left is taken away, a package by Windows Installer, which
    alone knows all it registered."""
    prefix = kestrane.prefix
    shutil.rmtree(in_prefix(prefix, DATA_DIR))
    yield kestrane
    for product_code in installed_packages(prefix):
        run_in_prefix(prefix, ["msiexec", "/x", product_code, "/qn"], UNINSTALL_LIMIT_S)
    shutil.rmtree(in_prefix(prefix, PROGRAM_DIR), ignore_errors=True)
    for shortcut in list(SHORTCUTS.values()) + list(PACKAGE.shortcuts(prefix).values()):
        in_prefix(prefix, shortcut).unlink(missing_ok=True)
    prefix.reg_delete_key(UNINSTALL_KEY, view=rig.BUILD_BITS)


def test_a_silent_install_puts_the_two_programs_and_nothing_else_in_program_files(pc, installer):
    install(pc.prefix, installer)

    installed = folder_contents(in_prefix(pc.prefix, PROGRAM_DIR))
    # Never the test stand-in rapi.dll or operator.exe.
    assert sorted(installed) == sorted(list(BUILT_PROGRAMS) + installer.own_files)
    for name, built in BUILT_PROGRAMS.items():
        assert installed[name] == built.read_bytes(), name


def test_the_shortcuts_start_the_installed_program_in_the_data_folder(pc, installer):
    install(pc.prefix, installer)

    for place, path in installer.shortcuts(pc.prefix).items():
        shortcut = read_shortcut(in_prefix(pc.prefix, path))
        assert shortcut.target == INSTALLED_PROGRAM, place
        # Windows Installer names a folder with a final backslash.
        assert ntpath.normpath(shortcut.working_dir) == DATA_DIR, place
        assert shortcut.arguments == "", place
        assert (shortcut.icon_location, shortcut.icon_index) == installer.shortcut_icon, place


def test_the_install_creates_the_default_done_file_and_a_later_install_keeps_the_data_folder_and_settings(
        pc, installer, next_package):
    """A later version of the package replaces the earlier one in place; the
    setup program has no versions to tell apart, and a later one installs over
    an earlier one as it installs over itself."""
    later = next_package if installer is PACKAGE else installer
    data_dir = in_prefix(pc.prefix, DATA_DIR)
    assert not data_dir.exists()

    install(pc.prefix, installer)
    assert folder_contents(data_dir) == {"done.txt": DEFAULT_DONE_TEXT}

    code = pc.provision("0042", "ftp.example.com", "store42", "secret", "/in")
    (data_dir / "done.txt").write_bytes(b"DONE 0042 \xe9t\xe9\r\nno line end")
    (data_dir / "23120709050042.TXT").write_bytes(b"UH23120709050042.TXT0001\r\n0042;sent\r\n<<EOF:>>\r\n")
    data_before = folder_contents(data_dir)
    install(pc.prefix, later)

    assert folder_contents(data_dir) == data_before
    assert pc.prefix.reg_query(rig.SETTINGS_KEY, rig.SETTINGS_VALUE, view=64) == ("REG_SZ", code)
    assert sorted(folder_contents(in_prefix(pc.prefix, PROGRAM_DIR))) == sorted(
        list(BUILT_PROGRAMS) + installer.own_files)
    assert later.installed_versions(pc.prefix) == [NEXT_VERSION if later is next_package else rig.VERSION]


def test_an_earlier_package_refuses_to_go_over_a_later_one(pc, next_package):
    install(pc.prefix, next_package)

    status, output = PACKAGE.run(pc.prefix)

    assert status == PACKAGE.refused_status, output
    assert PACKAGE.installed_versions(pc.prefix) == [NEXT_VERSION]
    assert sorted(folder_contents(in_prefix(pc.prefix, PROGRAM_DIR))) == sorted(BUILT_PROGRAMS)


# What Wine can show of the grant is that the installer runs icacls, and with
# what, and that the installation stops when icacls fails. Wine's Windows
# Installer takes a program that cannot start for one that succeeded, where
# Windows fails the installation (error 1721): only the setup program is
# tried with one.
@pytest.mark.parametrize("installer, outcome", [(SETUP, "runs"), (SETUP, "fails"), (SETUP, "cannot start"),
                                                (PACKAGE, "runs"), (PACKAGE, "fails")],
                         ids=lambda value: getattr(value, "name", "icacls " + str(value)))
def test_the_install_lets_every_signed_in_user_change_files_in_the_data_folder(pc, installer, outcome):
    with icacls(pc.prefix, outcome) as overrides:
        status, output = installer.run(pc.prefix, {"WINEDEBUG": "-all,trace+process",
                                                   "WINEDLLOVERRIDES": overrides})

    assert ICACLS_ARGUMENTS in started_icacls(output), output
    data_dir = in_prefix(pc.prefix, DATA_DIR)
    if outcome == "runs":
        assert status == 0, output
        assert folder_contents(data_dir) == {"done.txt": DEFAULT_DONE_TEXT}
    else:
        # Nothing after it: no done file, no shortcut, no entry in Add/Remove Programs.
        assert status in installer.stopped_statuses, output
        assert not (data_dir / "done.txt").exists()
        assert not in_prefix(pc.prefix, installer.shortcuts(pc.prefix)["start menu"]).exists()
        assert installer.installed_versions(pc.prefix) == []


def test_the_setup_program_registers_the_silent_uninstaller_in_add_remove_programs(pc):
    install(pc.prefix)

    assert uninstall_entry(pc.prefix, "DisplayName") == "Kestrane"
    assert uninstall_entry(pc.prefix, "DisplayVersion") == rig.VERSION
    assert uninstall_entry(pc.prefix, "Publisher") == "Orvalle Inc."
    assert uninstall_entry(pc.prefix, "DisplayIcon") == '"%s",0' % INSTALLED_PROGRAM
    assert uninstall_entry(pc.prefix, "InstallLocation") == PROGRAM_DIR
    assert uninstall_entry(pc.prefix, "UninstallString") == '"%s"' % UNINSTALLER
    assert uninstall_entry(pc.prefix, "QuietUninstallString") == '"%s" /S' % UNINSTALLER
    assert pc.prefix.reg_query(UNINSTALL_KEY, "NoModify", view=rig.BUILD_BITS) == ("REG_DWORD", "0x1")
    assert pc.prefix.reg_query(UNINSTALL_KEY, "NoRepair", view=rig.BUILD_BITS) == ("REG_DWORD", "0x1")
    installed_kib = sum(len(data) for data in folder_contents(in_prefix(pc.prefix, PROGRAM_DIR)).values()) / 1024
    estimated_kib = int(uninstall_entry(pc.prefix, "EstimatedSize"), 16)
    assert abs(estimated_kib - installed_kib) <= 3, (estimated_kib, installed_kib)
    # In the registry view of the program's own kind only, where Windows looks for its entry.
    assert pc.prefix.reg_query(UNINSTALL_KEY, "DisplayName", view=96 - rig.BUILD_BITS) is None


@pytest.mark.parametrize("file_there", [True, False], ids=["settings imported", "no such file"])
def test_the_package_imports_the_location_reg_it_is_given(pc, file_there):
    code = rig.encode_settings("0042", "ftp.example.com", "store42", "secret", "in/")
    # As kestrane-location write makes it, on a share whose path has a space.
    reg_file = pc.folder / "location files" / "0042.reg"
    if file_there:
        reg_file.parent.mkdir()
        reg_file.write_bytes(rig.location_reg(code).encode("ascii"))

    status, output = PACKAGE.run(pc.prefix, properties=["LOCATIONREG=%s" % rig.windows_path(reg_file)])

    if file_there:
        assert status == 0, output
        # Where a double-click on the file puts it, and the program looks first.
        assert pc.prefix.reg_query(rig.SETTINGS_KEY, rig.SETTINGS_VALUE, view=64) == ("REG_SZ", code)
        assert PACKAGE.installed_versions(pc.prefix) == [rig.VERSION]
    else:
        # Never an installation that looks done and has no settings.
        assert status in PACKAGE.stopped_statuses, output
        assert PACKAGE.installed_versions(pc.prefix) == []
        assert not in_prefix(pc.prefix, INSTALLED_PROGRAM).exists()
        for view in (64, 32):
            assert pc.prefix.reg_query(rig.SETTINGS_KEY, rig.SETTINGS_VALUE, view=view) is None


@pytest.mark.parametrize("first, second", [(SETUP, PACKAGE), (PACKAGE, SETUP)],
                         ids=["package after setup program", "setup program after package"])
def test_each_installer_refuses_to_go_over_the_other_s_installation(pc, first, second):
    install(pc.prefix, first)
    installed = folder_contents(in_prefix(pc.prefix, PROGRAM_DIR))

    status, output = second.run(pc.prefix)

    assert status == second.refused_status, output
    assert second.installed_versions(pc.prefix) == []
    assert first.installed_versions(pc.prefix) == [rig.VERSION]
    assert folder_contents(in_prefix(pc.prefix, PROGRAM_DIR)) == installed


def test_the_installed_program_started_as_its_shortcut_starts_it_runs_the_job(pc, installer, handheld, ftp_server):
    install(pc.prefix, installer)
    shortcut = read_shortcut(in_prefix(pc.prefix, installer.shortcuts(pc.prefix)["start menu"]))
    # The stand-in rapi.dll is where the device connectivity software puts the
    # real one, in the system folder, as on a location's PC.
    handheld.dock(DATA)
    pc.provision("0042", ftp_server.host, ftp_server.user, ftp_server.password, "")

    result = pc.run(program=shortcut.target, cwd=shortcut.working_dir)

    assert [(box.title, box.text) for box in result.message_boxes] == [
        (rig.PROGRAM_TITLE, rig.FINISHED_MESSAGE)], result.describe()
    assert result.exit_code == 0
    assert result.log == COMPLETE_LOG
    uploads = ftp_server.files()
    assert len(uploads) == 1 and re.fullmatch(r"\d{10}0042\.TXT", uploads[0]), uploads
    name = uploads[0]
    upload = (ftp_server.root / name).read_bytes()
    # The upload format's details are the upload tests' business; this is the handheld's data in one.
    assert upload.startswith(b"UH" + name.encode("ascii")), upload
    assert b"\r\n0042;first record\r\n0042;second record\r\n" in upload, upload
    assert upload.endswith(b"\r\n<<EOF:>>\r\n"), upload
    # The data folder was the working folder: it keeps the confirmed upload
    # beside done.txt, and the run's log; the rig's own working folder stayed empty.
    data_folder = folder_contents(in_prefix(pc.prefix, DATA_DIR))
    assert b"Ended with exit status 0" in data_folder.pop("kestrane.log"), data_folder
    assert data_folder == {"done.txt": DEFAULT_DONE_TEXT, name: upload}
    assert list(pc.workdir.iterdir()) == []
    assert handheld.done_marker.read_bytes() == DEFAULT_DONE_TEXT


def test_a_silent_uninstall_removes_the_program_and_keeps_the_data_folder_and_the_settings(pc, installer):
    install(pc.prefix, installer)
    code = pc.provision("0042", "ftp.example.com", "store42", "secret", "/in")
    data_dir = in_prefix(pc.prefix, DATA_DIR)
    # The location's archive, an upload the server has not confirmed, and its own done file.
    (data_dir / "23120709050042.TXT").write_bytes(b"UH23120709050042.TXT0001\r\n0042;sent\r\n<<EOF:>>\r\n")
    (data_dir / "23120714300042.TXT").write_bytes(b"UH23120714300042.TXT0001\r\n0042;unsent\r\n<<EOF:>>\r\n")
    (data_dir / "23120714300042.TXT.pending").write_bytes(b"")
    (data_dir / "done.txt").write_bytes(b"DONE 0042\r\n")
    data_before = folder_contents(data_dir)

    installer.uninstall(pc.prefix)

    assert not in_prefix(pc.prefix, PROGRAM_DIR).exists()
    for place, path in installer.shortcuts(pc.prefix).items():
        assert not in_prefix(pc.prefix, path).exists(), place
    assert installer.installed_versions(pc.prefix) == []
    assert folder_contents(data_dir) == data_before
    assert pc.prefix.reg_query(rig.SETTINGS_KEY, rig.SETTINGS_VALUE, view=64) == ("REG_SZ", code)


# ---- A signed release (scripts/sign.sh), with a throw-away code-signing certificate

def openssl(*args, **kwargs):
    return subprocess.run(["openssl", *args], check=True, capture_output=True, **kwargs)


def test_a_signed_release_signs_the_programs_before_they_are_packed_and_every_file_it_hands_over(tmp_path):
    certificate, key, pfx = tmp_path / "cert.pem", tmp_path / "key.pem", tmp_path / "sign.pfx"
    password = tmp_path / "password.txt"
    password.write_text("a pass phrase; with = signs\n", encoding="ascii")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Kestrane release test",
            "-addext", "extendedKeyUsage=codeSigning", "-keyout", str(key), "-out", str(certificate))
    openssl("pkcs12", "-export", "-inkey", str(key), "-in", str(certificate), "-out", str(pfx),
            "-passout", "file:%s" % password)
    signed = tmp_path / "signed"

    subprocess.run([str(rig.REPO_DIR / "scripts" / "sign.sh"), "--pfx", str(pfx), "--password-file", str(password),
                    "--build-dir", str(rig.BUILD_DIR), "--output", str(signed)], check=True, capture_output=True)

    def verified(path):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", str(certificate), "-in", str(path)],
                              capture_output=True, text=True)

    handed_over = sorted(path.name for path in signed.iterdir())
    assert handed_over == sorted(list(rig.SHIPPED_PROGRAMS) + [SETUP.path.name, PACKAGE.path.name]), handed_over
    for name in handed_over:
        result = verified(signed / name)
        assert result.returncode == 0, (name, result.stdout, result.stderr)
    # The installers carry the programs as they were signed.
    unpacked = tmp_path / "unpacked"
    subprocess.run(["7z", "x", "-o%s" % (unpacked / "setup"), str(signed / SETUP.path.name)], check=True,
                   capture_output=True)
    subprocess.run(["msiextract", "-C", str(unpacked / "package"), str(signed / PACKAGE.path.name)], check=True,
                   capture_output=True)
    for installer in ("setup", "package"):
        for program in rig.SHIPPED_PROGRAMS:
            [packed] = (unpacked / installer).rglob(program)
            assert packed.read_bytes() == (signed / program).read_bytes(), (installer, program)
    # The build itself stays unsigned, and a signed file changed afterwards fails.
    assert verified(rig.BUILD_DIR / "kestrane.exe").returncode != 0
    changed = bytearray((signed / "kestrane.exe").read_bytes())
    changed[0x200] ^= 0xFF
    (tmp_path / "changed.exe").write_bytes(changed)
    assert verified(tmp_path / "changed.exe").returncode != 0
