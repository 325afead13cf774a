"""The end-to-end rig: Kestrane run under Wine on a virtual display.

A WineSession is one Xvfb display and one Wine prefix, booted once for a test
session (for each pytest-xdist worker, when there are several). The stand-in
rapi.dll is in the prefix's system folder, where Windows Mobile Device Center
puts the real one. A test that takes it away or replaces it gets a prefix of
its own, a copy of the session's as it was booted (WineSession.own_prefix),
so that the tests running beside it never miss it. A TestBench is one test's
world inside a prefix: a fresh working folder (the program's current
directory), a handheld (a folder that the stand-in rapi.dll serves), the local
done file C:\\Kestrane\\done.txt, and the location's registry settings.

TestBench.run() starts kestrane.exe through operator.exe, which watches the
program's windows from inside the prefix and reports each event as a JSON
line (see tests/rig/operator/operator.cpp). The lines are read as they come, so
that the rig can act while the program runs (take a screenshot while a
message box is up, dock the handheld at a chosen moment), and are returned
as a RunResult.

conftest.py turns these pieces into fixtures.
"""

import ctypes
import json
import os
import queue
import re
import select
import shutil
import struct
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path, PurePosixPath


def _fix_the_address_layout_of_wine():
    """Turns address randomisation off for the programs this process starts.

    Debian's Wine has no preloader, so a 32-bit Wine process claims the
    addresses Windows programs need (the shared user data at 0x7ffe0000
    among them) only after Linux has mapped its libraries at random places.
    Now and then one of them lies there, and the process dies before the
    program starts: "failed to map the shared user data: c0000018". Without
    randomisation the layout is the same at every start."""
    query, no_randomize = 0xFFFFFFFF, 0x0040000  # ADDR_NO_RANDOMIZE
    libc = ctypes.CDLL(None, use_errno=True)
    current = libc.personality(query)
    if current == -1 or libc.personality(current | no_randomize) == -1:
        raise OSError(ctypes.get_errno(), "personality(ADDR_NO_RANDOMIZE) failed")


_fix_the_address_layout_of_wine()

REPO_DIR = Path(__file__).resolve().parents[2]
# The build folders of the Windows presets, by the kind of programs they
# hold: the shipped 32-bit ones, and the 64-bit ones built beside them.
PRESET_BUILD_DIRS = {32: REPO_DIR / "build" / "windows", 64: REPO_DIR / "build" / "windows64"}
BUILD_DIR = Path(os.environ.get("KESTRANE_BUILD_DIR", PRESET_BUILD_DIRS[32])).resolve()
KESTRANE_EXE = BUILD_DIR / "kestrane.exe"
# The rig's own programs, built apart from those that ship (tests/rig).
RIG_DIR_NAME = "rig"
OPERATOR_EXE = BUILD_DIR / RIG_DIR_NAME / "operator.exe"
RAPI_DLL = BUILD_DIR / RIG_DIR_NAME / "rapi.dll"
# The programs the installer puts in Program Files, by their installed names,
# which are also their names in the build folder.
SHIPPED_PROGRAMS = re.findall(r'^\s*File\s+"/oname=([^"]+\.exe)"',
                              (REPO_DIR / "installer" / "kestrane.nsi").read_text(encoding="utf-8"),
                              re.MULTILINE)

# The version CMakeLists.txt gives the project, which every shipped file
# carries, and the two installers built with it beside the programs: the
# setup program (NSIS) and the Windows Installer package.
VERSION = re.search(r"project\(Kestrane VERSION ([0-9.]+)",
                    (REPO_DIR / "CMakeLists.txt").read_text(encoding="utf-8")).group(1)
SETUP_PROGRAM = BUILD_DIR / ("kestrane-setup-%s.exe" % VERSION)
INSTALLER_PACKAGE = BUILD_DIR / ("kestrane-%s.msi" % VERSION)

PROGRAM_TITLE = "Kestrane"
START_DELAY_MS = 5000
FIRST_LOG_LINE = "Looking for Handheld..."
JOB_LOG_LINES = [
    "Getting File from CE Device ...",
    "Processing File ...",
    "FTP file ...",
    "Write done file to CE Device ... ",
    "Done",
]
FINISHED_MESSAGE = "Now safe to remove Handheld from Dock"
# The main window's client area at 96 dpi: 2595 x 4080 twips, and the
# progress bar below the log box.
CLIENT_SIZE = (173, 290)
# The program's exit status when its window was closed before the job had
# touched anything.
EXIT_NOT_RUN = 3
MISSING_SETTINGS_MESSAGE = (
    "You need to run the location.reg file for this location on this PC or get a location.reg "
    "file from Orvalle Inc. (555) 014-2290"
)

SETTINGS_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\ORVALLE\QUINTAR"
SETTINGS_VALUE = "REGCODE"
VENDOR_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\ORVALLE"
# The same key as 64-bit programs see it when a 32-bit program wrote it.
WOW64_SETTINGS_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\ORVALLE\QUINTAR"

SCREEN = "1024x768x24"
WINE_FONTS_DIR = Path("/usr/share/wine/fonts")
# Everything starts through Wine's 64-bit loader, which hands a 32-bit program
# to the 32-bit loader. Wine's own programs (wineboot, regedit, reg) are then
# the 64-bit ones whether or not wine32 is installed: Debian's "wine" starts
# the 32-bit loader once it is, and its regedit and reg see the 32-bit
# registry view.
WINE = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
# The rig's prefixes are 64-bit Windows, which runs both builds: each kind of
# program has its own system folder there, and the file system redirector
# shows a 32-bit program SysWOW64 under the name System32.
WINEARCH = "win64"
SYSTEM_FOLDERS = {32: "syswow64", 64: "system32"}
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
# The machine field of a PE header, for the kinds of program the rig knows.
PE_MACHINE_BITS = {0x014C: 32, 0x8664: 64}
# What this rig sets in every prefix it boots:
# - no window manager runs on the virtual display, so Wine must not wait for
#   one: with managed windows every window that hides stalls its program for
#   2 s, waiting for a window manager to withdraw it;
# - a program that crashes ends at once, without Wine's crash dialog.
PREFIX_SETTINGS_REG = r"""REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
"""

# How long the rig waits beyond the operator's own time limit before it
# gives up on the operator itself.
OPERATOR_GRACE_S = 30
# How often a kill_when condition is checked while the program runs.
KILL_WHEN_POLL_S = 0.01


class RigError(Exception):
    """The rig itself could not do what a test asked."""


def windows_path(path):
    """The Windows path under which Wine shows a Linux path (Z: is /)."""
    absolute = PurePosixPath(os.path.abspath(path))
    return "Z:" + str(absolute).replace("/", "\\")


def program_bits(path):
    """32 or 64: the kind of Windows program or DLL a file is, from its PE header."""
    with open(path, "rb") as file:
        header = file.read(4096)
    pe_offset, = struct.unpack_from("<I", header, 0x3C)
    signature, machine = struct.unpack_from("<4sH", header, pe_offset)
    if header[:2] != b"MZ" or signature != b"PE\0\0" or machine not in PE_MACHINE_BITS:
        raise RigError("%s is not a 32-bit or 64-bit Windows program" % path)
    return PE_MACHINE_BITS[machine]


# The kind of the programs under test; None until they are built (a session
# then stops and says what to build).
BUILD_BITS = program_bits(KESTRANE_EXE) if KESTRANE_EXE.is_file() else None


def other_bits_rapi_dll():
    """The stand-in rapi.dll of the other Windows preset: one the programs
    under test cannot load."""
    return PRESET_BUILD_DIRS[96 - BUILD_BITS] / RIG_DIR_NAME / "rapi.dll"


def runs_32_bit_programs():
    """Whether Wine here runs 32-bit programs: wine32 is installed, and the
    machine runs 32-bit code (some virtual machines do not)."""
    try:
        result = subprocess.run([WINE32, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=60)
    except OSError:
        return False
    return result.returncode == 0


def settings_string(location_code="", host="", user="", password="", remote_folder=""):
    """The settings string, in the order a location.reg from Orvalle carries it."""
    return "l=%s;h=%s;u=%s;p=%s;r=%s;" % (location_code, host, user, password, remote_folder)


def encode_settings(location_code="", host="", user="", password="", remote_folder=""):
    """The REGCODE value for these settings: the settings string reversed, in
    upper-case hex digit pairs of its single-byte (Windows-1252) text."""
    text = settings_string(location_code, host, user, password, remote_folder)
    return text[::-1].encode("cp1252").hex().upper()


def location_reg(code):
    """The text of a location.reg file that stores the settings code."""
    lines = ["REGEDIT4", "", "[%s]" % SETTINGS_KEY, '"%s"="%s"' % (SETTINGS_VALUE, code), ""]
    return "\r\n".join(lines)


def _read_display_number(read_fd, process, timeout_s):
    deadline = time.monotonic() + timeout_s
    data = b""
    while not data.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or process.poll() is not None:
            raise RigError("Xvfb did not start (exit status %s)" % process.poll())
        ready, _, _ = select.select([read_fd], [], [], remaining)
        if ready:
            chunk = os.read(read_fd, 64)
            if not chunk:
                raise RigError("Xvfb closed its display pipe without naming a display")
            data += chunk
    return int(data.strip())


class VirtualDisplay:
    """An Xvfb server on the first free display number (Xvfb picks it)."""

    def __init__(self, log_path):
        self._log_path = log_path
        self._process = None
        self.number = None

    @property
    def name(self):
        return ":%d" % self.number

    def start(self):
        read_fd, write_fd = os.pipe()
        try:
            with open(self._log_path, "wb") as log:
                self._process = subprocess.Popen(
                    ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", SCREEN, "-nolisten", "tcp"],
                    pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            os.close(write_fd)
            write_fd = None
            self.number = _read_display_number(read_fd, self._process, timeout_s=30)
        finally:
            os.close(read_fd)
            if write_fd is not None:
                os.close(write_fd)

    def stop(self):
        if self._process is not None and self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()

    def screenshot(self, path):
        """A PNG of the whole screen."""
        subprocess.run(["import", "-window", "root", "-display", self.name, str(path)],
                       check=True, stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        return Path(path)


class WinePrefix:
    """One Wine prefix, its wineserver kept running while the session lasts."""

    def __init__(self, path, display):
        self.path = Path(path)
        self.display = display

    @property
    def drive_c(self):
        return self.path / "drive_c"

    def system_rapi_dll(self, bits=None):
        """The rapi.dll of the system folder of one kind of program (by
        default the kind under test), where the program loads it from."""
        return self.drive_c / "windows" / SYSTEM_FOLDERS[bits or BUILD_BITS] / "rapi.dll"

    def env(self, extra=None):
        env = dict(os.environ)
        env.update({
            "WINEPREFIX": str(self.path),
            "WINEARCH": WINEARCH,
            "WINEDEBUG": "-all",
            # No Mono or Gecko: their installers would only ask to download.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "DISPLAY": self.display.name,
        })
        env.update(extra or {})
        return env

    @property
    def server_log(self):
        """What the wineserver itself printed: the reason it cut a program off
        (a protocol error), or its own end. Its clients never see that."""
        return self.path.parent / "wineserver.log"

    def boot(self):
        """Creates the prefix, applies the rig's settings, puts the stand-in
        rapi.dll in the system folder of the programs under test, and keeps the
        wineserver running, so that each program starts in a fraction of a second."""
        # A server already running would refuse -p, so it starts first, in the
        # prefix folder it needs. The first program it runs has Wine fill the
        # folder and start its services (wineboot --init) before it starts
        # itself. That program is a plain wineboot: "wineboot -i" would
        # initialise the prefix a second time and leave two service control
        # managers, each starting every service.
        self.path.mkdir(parents=True)
        self.start_server()
        self.wine_command(["wineboot"], timeout=180)
        settings = self.path / "rig-settings.reg"
        settings.write_text(PREFIX_SETTINGS_REG.replace("\n", "\r\n"), encoding="ascii")
        self.wine_command(["regedit", "/S", windows_path(settings)])
        # Debian's Wine does not find its own TrueType fonts (Tahoma, and
        # Marlett for the title bar's buttons) where they are installed; in
        # the prefix's Fonts folder it does.
        for font in WINE_FONTS_DIR.glob("*.ttf"):
            shutil.copy(font, self.drive_c / "windows" / "Fonts")
        # Where Windows Mobile Device Center puts rapi.dll; a prefix where
        # Wine runs no 32-bit programs may lack syswow64.
        self.system_rapi_dll().parent.mkdir(exist_ok=True)
        shutil.copyfile(RAPI_DLL, self.system_rapi_dll())

    def start_server(self):
        """Starts the prefix's wineserver, to run until shutdown()."""
        self._server(["-p"])

    def shutdown(self):
        """Ends the wineserver and every program of the prefix, and waits for
        its end, by which it has written the registry to the prefix's files."""
        self._server(["-k"], check=False)
        self._server(["-w"], check=False)

    def copy(self, path):
        """A copy of this prefix, whose wineserver is not running, at path
        (a folder not yet there)."""
        shutil.copytree(self.path, path, symlinks=True)
        return WinePrefix(path, self.display)

    def discard(self):
        self.shutdown()
        shutil.rmtree(self.path, ignore_errors=True)

    def _server(self, args, check=True):
        # The server goes on in the background: it must not hold our pipes.
        with open(self.server_log, "ab") as log:
            subprocess.run([WINESERVER] + args, env=self.env(), check=check, stdin=subprocess.DEVNULL,
                           stdout=log, stderr=log, timeout=60)

    def server_log_size(self):
        return self.server_log.stat().st_size if self.server_log.exists() else 0

    def server_output_since(self, size):
        """What the wineserver printed after its log had this size, as a line
        for an error message ("" when nothing)."""
        with open(self.server_log, "rb") as log:
            log.seek(size)
            output = _text(log.read()).strip()
        return "\nwineserver: " + output if output else ""

    def wine_command(self, args, check=True, timeout=60):
        """Runs a program of the prefix (wine ARGS...) to its end."""
        server_log_size = self.server_log_size()
        # Output goes through files, not pipes: the Windows services that a
        # program starts stay with the wineserver and would hold a pipe open.
        # Wine's error messages go there too, so that a command that fails says why.
        with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
            process = subprocess.run([WINE] + list(args), env=self.env({"WINEDEBUG": "-all,err+all"}),
                                     stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr, timeout=timeout)
            stdout.seek(0)
            stderr.seek(0)
            result = subprocess.CompletedProcess(process.args, process.returncode, stdout.read(),
                                                 stderr.read())
        if check and result.returncode != 0:
            raise RigError("wine %s failed with status %d: %s%s" % (
                " ".join(args), result.returncode, _text(result.stdout) + _text(result.stderr),
                self.server_output_since(server_log_size)))
        return result

    # The registry. Every operation names the view it means: 64 for what
    # 64-bit programs see, 32 for what 32-bit programs see (on 64-bit Windows,
    # HKLM\SOFTWARE\Wow6432Node in the 64-bit view).

    def import_reg(self, reg_file, view):
        """Imports a .reg file into one view, as a regedit of that kind does. A
        double-click on location.reg starts the 64-bit regedit (regedit /S FILE);
        the 32-bit one (SysWOW64\\regedit.exe) writes the 32-bit view, which
        reg import FILE /reg:32 does as well without needing a 32-bit program."""
        if view == 64:
            self.wine_command(["regedit", "/S", windows_path(reg_file)])
        else:
            self.wine_command(["reg", "import", windows_path(reg_file), "/reg:%d" % view])

    def reg_add(self, key, value, data, *, view, value_type="REG_SZ"):
        self.wine_command(["reg", "add", key, "/v", value, "/t", value_type, "/d", data, "/f",
                           "/reg:%d" % view])

    def reg_delete_key(self, key, *, view):
        """Deletes a key and everything below it; a key that is not there is fine."""
        result = self.wine_command(["reg", "delete", key, "/f", "/reg:%d" % view], check=False)
        if result.returncode != 0 and b"Unable to find" not in result.stdout + result.stderr:
            raise RigError("reg delete %s failed: %s" % (key, _text(result.stdout + result.stderr)))

    def reg_query(self, key, value, *, view):
        """The value's (type, data) as reg query shows them, or None when the key or value is absent."""
        result = self.wine_command(["reg", "query", key, "/v", value, "/reg:%d" % view], check=False)
        if result.returncode != 0:
            return None
        for line in _text(result.stdout).splitlines():
            parts = line.split(None, 2)
            if len(parts) >= 2 and parts[0] == value:
                return parts[1], parts[2] if len(parts) == 3 else ""
        return None


def _text(data):
    return data.decode("utf-8", "replace")


class WineSession:
    """The display and the prefix that one test session (or xdist worker)
    shares, and a copy of that prefix as it was booted, kept for the tests
    that need a prefix of their own."""

    def __init__(self, root):
        self.root = Path(root)
        self.display = VirtualDisplay(self.root / "xvfb.log")
        self.prefix = WinePrefix(self.root / "prefix", self.display)
        self._booted = None
        self.boot_seconds = None

    def start(self):
        missing = [str(path) for path in (KESTRANE_EXE, OPERATOR_EXE, RAPI_DLL) if not path.is_file()]
        if missing:
            raise RigError("not built: %s (cmake --preset windows && cmake --build --preset windows)"
                           % ", ".join(missing))
        if BUILD_BITS == 32 and not runs_32_bit_programs():
            raise RigError("%s is a 32-bit program, and Wine here cannot run 32-bit programs (is wine32 "
                           "installed? some virtual machines cannot run 32-bit code at all): test the "
                           "64-bit build instead, KESTRANE_BUILD_DIR=%s" % (KESTRANE_EXE, PRESET_BUILD_DIRS[64]))
        self.display.start()
        started = time.monotonic()
        self.prefix.boot()
        self.boot_seconds = time.monotonic() - started
        # Copied with its wineserver ended, the prefix holds the whole registry.
        self.prefix.shutdown()
        self._booted = self.prefix.copy(self.root / "booted" / "prefix")
        self.prefix.start_server()

    def own_prefix(self, path):
        """A prefix of its own at path (a folder not yet there): a copy of the
        session's as it was booted, on the same display, its wineserver
        running. discard() it after use."""
        prefix = self._booted.copy(path)
        prefix.start_server()
        return prefix

    def stop(self):
        self.prefix.discard()
        if self._booted is not None:
            shutil.rmtree(self._booted.path, ignore_errors=True)
        self.display.stop()


class Handheld:
    """The handheld of one test: a folder that the stand-in rapi.dll serves.

    It counts as docked once the folder exists; until then the program waits
    for the start that CeRapiInitEx began. Device files live under "Storage
    Card". The stand-in writes one journal line per call: the function's name
    first, then its arguments, "->" and its result (for CeRapiInitEx, the
    start's result, once the start has ended)."""

    def __init__(self, folder, journal):
        self.folder = Path(folder)
        self.journal = Path(journal)

    @property
    def storage_card(self):
        return self.folder / "Storage Card"

    @property
    def data_file(self):
        return self.storage_card / "savedata.dat"

    @property
    def done_marker(self):
        return self.storage_card / "SyncDone.dat"

    @property
    def unfinished_done_marker(self):
        """The marker while it is written, before it takes its name."""
        return self.storage_card / "SyncDone.dat.tmp"

    def files(self):
        """The names of the files on the handheld's storage card."""
        return sorted(path.name for path in self.storage_card.iterdir())

    def dock(self, data=None):
        """Docks the handheld, with data (bytes) as its data file when given.
        The stand-in sees the handheld, and its data file, whole or not at
        all: each is made beside its place and renamed into it."""
        if not self.folder.exists():
            docking = self.folder.with_name(self.folder.name + ".docking")
            (docking / self.storage_card.name).mkdir(parents=True)
            if data is not None:
                (docking / self.storage_card.name / self.data_file.name).write_bytes(data)
            docking.rename(self.folder)
            return
        self.storage_card.mkdir(exist_ok=True)
        if data is not None:
            arriving = self.data_file.with_name(self.data_file.name + ".arriving")
            arriving.write_bytes(data)
            arriving.replace(self.data_file)

    def env(self, **faults):
        """The stand-in's environment: the handheld's folder and journal, plus
        faults given by suffix, e.g. READ_FAIL_AT=2 sets KESTRANE_HANDHELD_READ_FAIL_AT."""
        env = {
            "KESTRANE_HANDHELD_DIR": windows_path(self.folder),
            "KESTRANE_HANDHELD_JOURNAL": windows_path(self.journal),
        }
        for name, value in faults.items():
            env["KESTRANE_HANDHELD_" + name.upper()] = str(value)
        return env

    def journal_lines(self):
        if not self.journal.exists():
            return []
        return self.journal.read_text(encoding="utf-8", errors="replace").splitlines()

    def calls(self):
        """The names of the functions called, in order."""
        return [line.split(None, 1)[0] for line in self.journal_lines() if line.strip()]


@dataclass
class MessageBox:
    id: int
    title: str
    text: str
    icon: str
    shown_ms: int
    ok_pressed_ms: int = None
    closed_ms: int = None
    screenshot: Path = None


@dataclass(frozen=True)
class ProgressBar:
    """One state of the main window's progress bar, as seen t ms after the start."""
    t: int
    position: int
    low: int
    high: int
    marquee: bool  # a marquee runs: how far the work has got is not shown
    state: str     # "normal", "error", "paused" or "unknown"

    @property
    def full(self):
        return not self.marquee and self.position == self.high


@dataclass
class RunResult:
    """What one run showed: the operator's events in the order reported, each a
    dict with "t" (ms since the program started) and "event", plus the summaries below."""

    events: list
    operator_status: int
    operator_stderr: str
    other_output: str = ""  # what else came out on stdout, such as a crash's backtrace
    message_boxes: list = field(default_factory=list)

    def of_kind(self, kind):
        return [event for event in self.events if event["event"] == kind]

    def first(self, kind):
        found = self.of_kind(kind)
        return found[0] if found else None

    @property
    def exit_code(self):
        """The program's exit status, unsigned as Windows gives it (a crash: 0xC0000005)."""
        return self.first("exit")["code"]

    @property
    def exited_ms(self):
        return self.first("exit")["t"]

    @property
    def timed_out(self):
        return self.operator_status == 3

    @property
    def killed(self):
        event = self.first("killed")
        return event["reason"] if event else None

    @property
    def windows(self):
        return self.of_kind("window")

    @property
    def main_window(self):
        return self.first("window")

    @property
    def answers(self):
        """(t, wait_ms) for every probe of the main window: when it was sent,
        and how long the window took to answer."""
        return [(event["t"], event["wait_ms"]) for event in self.of_kind("answer")]

    @property
    def log_changes(self):
        """(t, text) for every state of the log box that was seen."""
        return [(event["t"], event["text"]) for event in self.of_kind("log")]

    @property
    def progress(self):
        """Every state of the progress bar that was seen, in order. The log as
        log_at(bar.t) gives it already holds the line of the bar's step."""
        return [ProgressBar(event["t"], event["position"], event["low"], event["high"], event["marquee"],
                            event["state"]) for event in self.of_kind("progress")]

    @property
    def log(self):
        """The log box's last text seen ("" when it never had any)."""
        changes = self.log_changes
        return changes[-1][1] if changes else ""

    @property
    def log_lines(self):
        return self.log.split("\r\n") if self.log else []

    def log_at(self, t):
        """The log box's text as last seen at or before t ms."""
        text = ""
        for seen, changed in self.log_changes:
            if seen > t:
                break
            text = changed
        return text

    def describe(self):
        """The whole run as text, for assertion messages."""
        lines = [json.dumps(event) for event in self.events]
        if self.other_output:
            lines.append("other output: " + self.other_output)
        if self.operator_stderr:
            lines.append("operator stderr: " + self.operator_stderr)
        return "\n".join(lines)


class TestBench:
    """One test's world in a prefix: the session's, or one of the test's own."""

    __test__ = False  # not a test class, whatever pytest thinks of its name

    def __init__(self, session, folder, prefix=None):
        self.session = session
        self.prefix = prefix or session.prefix
        self.folder = Path(folder)
        self.workdir = self.folder / "work"
        self.workdir.mkdir(parents=True)
        self.artifacts = self.folder / "artifacts"
        self.artifacts.mkdir()
        self.handheld = Handheld(self.folder / "handheld", self.folder / "handheld-journal.txt")
        self.done_file = self.prefix.drive_c / "Kestrane" / "done.txt"

    def reset(self):
        """The state every test starts from: no settings in either registry
        view, and a local done file with a known content."""
        for view in (64, 32):
            self.prefix.reg_delete_key(VENDOR_KEY, view=view)
        self.done_file.parent.mkdir(parents=True, exist_ok=True)
        self.done_file.write_bytes(b"SyncDone\r\n")

    def cleanup(self):
        shutil.rmtree(self.done_file.parent, ignore_errors=True)

    def provision(self, location_code="0042", host="", user="", password="", remote_folder="", view=64):
        """Provisions the location as Orvalle does: a location.reg imported with
        regedit, into the 64-bit registry view as a double-click does, or into
        the 32-bit one as a 32-bit regedit does. Returns the settings code stored."""
        code = encode_settings(location_code, host, user, password, remote_folder)
        self.provision_code(code, view)
        return code

    def provision_code(self, code, view=64):
        reg_file = self.folder / "location.reg"
        reg_file.write_bytes(location_reg(code).encode("ascii"))
        self.prefix.import_reg(reg_file, view)

    def screenshot(self, name):
        return self.session.display.screenshot(self.artifacts / name)

    def run(self, env=None, ok_delay_ms=None, press_ok=True, close_after_ms=None, kill_when_exists=None,
            kill_after_ms=None, timeout_ms=60_000, screenshot_message_boxes=False, at=(), program=None,
            cwd=None, kill_when=None, close_when_logged=None, probe_ms=None, hold=None, release_when_logged=None,
            hold_as_editor=False, when=(), file_size_limit=None, end_session_when_logged=None):
        """Runs kestrane.exe to its end under the operator.

        env: extra environment for the program, added to the handheld's.
        ok_delay_ms: press OK on each message box this long after it appeared
            (None: at once); press_ok=False leaves them up.
        close_after_ms: post WM_CLOSE to the main window this long after it showed.
        close_when_logged: post WM_CLOSE to the main window once its log holds this text.
        end_session_when_logged: once the log holds this text, end the Windows
            session as a sign-out the user insists on: ask the main window
            ("query_end_session" event, its "answer"), then end it.
        probe_ms: send the main window a message this often, and report each
            answer ("answer" events; RunResult.answers).
        hold, release_when_logged: a Linux path of an existing file that
            another program (the operator) holds open, sharing nothing, from
            before the start until the log holds the text. hold_as_editor:
            hold it for reading and writing, sharing reads, as an editor does.
        kill_when_exists: a Linux path; the program is terminated once it exists.
        kill_after_ms, timeout_ms: terminate the program this long after its start.
        screenshot_message_boxes: take a screenshot while each message box is up
            (needs ok_delay_ms of a second or more, or press_ok=False).
        at: (ms, action) pairs: call action() this long after the program started.
        program: the Windows path of the program to run, such as an installed
            copy (default: the build's kestrane.exe).
        cwd: the Windows path of the program's current directory (default: this
            test's workdir).
        kill_when: a function of no arguments, checked every KILL_WHEN_POLL_S
            while the program runs; the program is terminated once it returns
            true (an OSError it raises counts as false). With kill_when_exists,
            whichever comes first.
        when: (condition, action) pairs: call action() once, as soon as
            condition(events) holds for the events reported so far.
        file_size_limit: the most bytes the program may write to any one file
            (RLIMIT_FSIZE, set on the operator and inherited by the program).
            The write that would go past it ends the program at once, from
            within that write (SIGXFSZ), as a power cut would: the file keeps
            exactly this many bytes and the program runs no further. The run
            then shows no "killed" event. Wine's own helpers that start during
            the run (its desktop process) keep the limit; they write no files.
        """
        if screenshot_message_boxes and press_ok and (ok_delay_ms or 0) < 1000:
            raise ValueError("a screenshot needs the message box up for a second: set ok_delay_ms")
        command = [WINE, str(OPERATOR_EXE), "run", "--cwd", cwd or windows_path(self.workdir),
                   "--timeout-ms", str(timeout_ms)]
        if file_size_limit is not None:
            # No core file either: it would land in the working folder.
            command = ["prlimit", "--fsize=%d" % file_size_limit, "--core=0", "--"] + command
        if not press_ok:
            command.append("--no-ok")
        elif ok_delay_ms is not None:
            command += ["--ok-delay-ms", str(ok_delay_ms)]
        if close_after_ms is not None:
            command += ["--close-after-ms", str(close_after_ms)]
        if close_when_logged is not None:
            command += ["--close-when-logged", close_when_logged]
        if end_session_when_logged is not None:
            command += ["--end-session-when-logged", end_session_when_logged]
        if probe_ms is not None:
            command += ["--probe-ms", str(probe_ms)]
        if hold is not None:
            command += ["--hold", windows_path(hold), "--release-when-logged", release_when_logged]
            if hold_as_editor:
                command.append("--hold-as-editor")
        watcher = None
        if kill_when is not None:
            # The operator watches one path: a trigger file that the watcher
            # creates once the condition holds.
            watcher = _KillWatcher(kill_when, kill_when_exists,
                                   Path(tempfile.mkdtemp(prefix="kill-", dir=self.folder)))
            kill_when_exists = watcher.trigger
        if kill_when_exists is not None:
            command += ["--kill-when-exists", windows_path(kill_when_exists)]
        if kill_after_ms is not None:
            command += ["--kill-after-ms", str(kill_after_ms)]
        command += ["--", program or windows_path(KESTRANE_EXE)]

        program_env = self.handheld.env()
        program_env.update(env or {})
        server_log_size = self.prefix.server_log_size()
        with tempfile.TemporaryFile() as stderr:
            operator = subprocess.Popen(command, cwd=self.workdir, env=self.prefix.env(program_env),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr)
            if watcher is not None:
                watcher.start()
            try:
                events, boxes, other_output = self._follow(operator, timeout_ms, screenshot_message_boxes, at,
                                                           when)
            finally:
                if watcher is not None:
                    watcher.stop()
                if operator.poll() is None:
                    operator.kill()
                operator.wait()
            stderr.seek(0)
            result = RunResult(events, operator.returncode, _text(stderr.read()), other_output, boxes)
        if operator.returncode not in (0, 3) or result.first("exit") is None:
            raise RigError("the operator failed with status %d\n%s%s" % (
                operator.returncode, result.describe(), self.prefix.server_output_since(server_log_size)))
        return result

    def _follow(self, operator, timeout_ms, screenshot_message_boxes, at, when):
        """Reads the operator's events as they come, until the program's exit,
        and carries out the scheduled actions on the way."""
        lines = queue.Queue()

        def read_stdout():
            for line in operator.stdout:
                lines.put(line)
            lines.put(None)

        # The reader may outlive the run: a service the program started can hold the pipe.
        threading.Thread(target=read_stdout, daemon=True).start()
        deadline = time.monotonic() + timeout_ms / 1000 + OPERATOR_GRACE_S
        events = []
        other_output = []
        boxes = {}
        pending = sorted(at, key=lambda item: item[0])
        waiting = list(when)
        started_at = None
        while not events or events[-1]["event"] != "exit":
            wait = max(0.0, deadline - time.monotonic())
            if pending and started_at is not None:
                wait = min(wait, max(0.0, started_at + pending[0][0] / 1000 - time.monotonic()))
            try:
                line = lines.get(timeout=wait)
            except queue.Empty:
                line = b""
            if started_at is not None:
                while pending and time.monotonic() >= started_at + pending[0][0] / 1000:
                    pending.pop(0)[1]()
            if line is None:
                break
            if time.monotonic() >= deadline:
                raise RigError("the operator did not finish in time")
            if not line:
                continue
            if not line.startswith(b"{"):
                # Not the operator's: Wine's debugger prints a crash's backtrace on the same stdout.
                other_output.append(_text(line))
                continue
            event = json.loads(line)
            events.append(event)
            for condition, action in [item for item in waiting if item[0](events)]:
                waiting.remove((condition, action))
                action()
            if event["event"] == "started":
                started_at = time.monotonic() - event["t"] / 1000
            self._follow_box(event, boxes, screenshot_message_boxes)
        operator.wait(timeout=OPERATOR_GRACE_S)
        return events, list(boxes.values()), "".join(other_output)

    def _follow_box(self, event, boxes, screenshot):
        kind = event["event"]
        if kind == "message_box":
            box = MessageBox(event["id"], event["title"], event["text"], event["icon"], event["t"])
            boxes[box.id] = box
            if screenshot:
                box.screenshot = self.screenshot("message-box-%d.png" % len(boxes))
        elif kind == "ok_pressed":
            boxes[event["id"]].ok_pressed_ms = event["t"]
        elif kind == "message_box_closed":
            boxes[event["id"]].closed_ms = event["t"]


class _KillWatcher:
    """Creates trigger (a file in folder) once condition() holds, or once the
    path also_when_exists exists, checking on a thread of its own."""

    def __init__(self, condition, also_when_exists, folder):
        self.trigger = Path(folder) / "kill-now"
        self._condition = condition
        self._also = Path(also_when_exists) if also_when_exists is not None else None
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="kill-watcher", daemon=True)

    def start(self):
        self._thread.start()

    def stop(self):
        self._stopping.set()
        self._thread.join(timeout=10)

    def _holds(self):
        if self._also is not None and self._also.exists():
            return True
        try:
            return bool(self._condition())
        except OSError:
            return False  # a file looked at went away meanwhile

    def _watch(self):
        while not self._stopping.is_set():
            if self._holds():
                self.trigger.touch()
                return
            self._stopping.wait(KILL_WHEN_POLL_S)


@dataclass
class FtpServer:
    """A running test FTP server (tests/e2e/ftp_server.py) and its account."""

    port: int
    root: Path
    user: str
    password: str
    journal: Path
    stop: object

    @property
    def host(self):
        """The host setting that reaches it: 127.0.0.1:port."""
        return "127.0.0.1:%d" % self.port

    def files(self):
        return sorted(path.relative_to(self.root).as_posix()
                      for path in self.root.rglob("*") if path.is_file())

    def commands(self):
        """What the server was sent, one journal line each: "CONNECT" for a new
        connection, then each command line (a password masked)."""
        if not self.journal.exists():
            return []
        return self.journal.read_text(encoding="utf-8").splitlines()

    def command_names(self):
        """The names of the commands the server was sent, such as "AUTH"."""
        return {line.split(" ")[0] for line in self.commands()}


def load_ftp_server_module():
    """tests/e2e/ftp_server.py, or None while it does not exist."""
    try:
        import ftp_server
    except ModuleNotFoundError as error:
        if error.name != "ftp_server":
            raise
        return None
    return ftp_server


def start_ftp_server(module, folder, fault="none", user="kestrane", password="orvalle-test", root=None, tls=None):
    """Starts one server with its own account folder and journal under folder.
    root: serve that folder instead, such as an earlier server's, so that a
    later run meets the files an earlier one left on the server. tls: a
    module.Tls, for FTP over TLS."""
    own = Path(tempfile.mkdtemp(prefix="ftp-", dir=folder))
    if root is None:
        root = own / "root"
        root.mkdir()
    root = Path(root)
    journal = own / "journal.txt"
    port, stop = module.start_server(str(root), user, password, fault=fault, journal=str(journal), tls=tls)
    return FtpServer(port, root, user, password, journal, stop)


# The upload files Kestrane builds from staging data (Infile.txt).

UPLOAD_END_LINE = b"<<EOF:>>"


def upload_file_name(when, location_code):
    """The name of an upload file built at `when` (a local datetime): YYMMDDhhmm, the code, ".TXT"."""
    return when.strftime("%y%m%d%H%M") + location_code + ".TXT"


def staging_lines(staging):
    """The lines of staging data. A CR ends a line and an LF right after it
    belongs to that line end; any other LF is an ordinary byte. A last line
    without a line end counts; nothing after the last line end does."""
    lines = []
    current = bytearray()
    index = 0
    while index < len(staging):
        byte = staging[index]
        index += 1
        if byte == 0x0D:
            lines.append(bytes(current))
            current.clear()
            if index < len(staging) and staging[index] == 0x0A:
                index += 1
        else:
            current.append(byte)
    if current:
        lines.append(bytes(current))
    return lines


def upload_lines(staging, location_code):
    """The upload file's data lines for the staging data: every "~" replaced by the code."""
    code = location_code.encode("cp1252")
    return [line.replace(b"~", code) for line in staging_lines(staging)]


def upload_file_content(name, staging, location_code):
    """The whole upload file: the "UH" header with the line count (at least
    four digits), the data lines and the end line, each ended by CR LF."""
    lines = upload_lines(staging, location_code)
    header = b"UH" + name.encode("ascii") + b"%04d" % len(lines)
    return b"".join(line + b"\r\n" for line in [header] + lines + [UPLOAD_END_LINE])


def uploaded_data_lines(content):
    """The data lines of an upload file: what lies between its header and its end line."""
    assert content.startswith(b"UH") and content.endswith(UPLOAD_END_LINE + b"\r\n"), content[:80]
    return content.split(b"\r\n")[1:-2]
