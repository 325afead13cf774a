"""The main window: at the display scalings a location's PC may use, and
answering at all times while the job runs."""

import re
import shutil
import subprocess

import pytest

import rig
from rig import JOB_LOG_LINES
from scenario import LOCATION, records

DESKTOP_KEY = r"HKEY_CURRENT_USER\Control Panel\Desktop"


@pytest.fixture
def display_dpi(kestrane):
    """Sets the display's dots per inch for this test, and puts 96 back after."""
    def set_dpi(dpi):
        kestrane.prefix.reg_add(DESKTOP_KEY, "LogPixels", str(dpi), value_type="REG_DWORD", view=64)
    yield set_dpi
    set_dpi(96)


@pytest.mark.parametrize("dpi", [96, 144, 192], ids=["100%", "150%", "200%"])
def test_the_window_scales_with_the_display(kestrane, display_dpi, dpi):
    display_dpi(dpi)
    kestrane.provision("0042", "127.0.0.1:9", "kestrane", "secret", "")

    result = kestrane.run(close_after_ms=1500,
                          at=[(1000, lambda: kestrane.screenshot("window-%d-dpi.png" % dpi))])

    window = result.main_window
    assert window is not None, result.describe()
    # The window lays itself out for the display's dpi (it is dpi aware), so
    # its text is drawn at that size rather than stretched.
    expected = [round(size * dpi / 96) for size in rig.CLIENT_SIZE]
    assert abs(window["client_width"] - expected[0]) <= 2, window
    assert abs(window["client_height"] - expected[1]) <= 2, window
    assert result.log == rig.FIRST_LOG_LINE
    # While it looks for the handheld, the bar shows that it is at work.
    assert result.progress and all(bar.marquee for bar in result.progress), result.describe()
    assert result.exit_code == rig.EXIT_NOT_RUN


# The window answers within a second at all times (Windows marks a window
# that has not answered for 5 s "Not Responding"): while the job waits for
# the handheld, and while it pulls and builds 100 MB. The probe sends it a
# message several times a second and times each answer. Its progress bar
# runs a marquee while the job waits, moves on as the pull goes, and is
# full when the job is done.
ANSWER_LIMIT_MS = 1000
PROBE_MS = 200
BIG_DATA = records(10_000) * 477
assert len(BIG_DATA) > 100 * 1024 * 1024
# Answers seen while the job waited, before the handheld is docked.
ANSWERS_WHILE_WAITING = 5
# Positions of the progress bar seen while the pull goes: "several".
PULL_POSITIONS_AT_LEAST = 3


def test_the_window_answers_within_a_second_throughout_the_job(kestrane, handheld, ftp_server):
    kestrane.provision(LOCATION, ftp_server.host, ftp_server.user, ftp_server.password, "")
    docked_at = []

    def waited_for_the_handheld(events):
        waiting = [event["t"] for event in events if event["event"] == "log" and JOB_LOG_LINES[0] in event["text"]]
        answers = [event for event in events if event["event"] == "answer" and waiting and event["t"] > waiting[0]]
        if len(answers) < ANSWERS_WHILE_WAITING:
            return False
        docked_at.append(events[-1]["t"])
        return True

    result = kestrane.run(probe_ms=PROBE_MS, timeout_ms=600_000,
                          when=[(waited_for_the_handheld, lambda: handheld.dock(BIG_DATA))])

    assert result.exit_code == 0, result.describe()
    assert [box.text for box in result.message_boxes] == [rig.FINISHED_MESSAGE]
    [name] = ftp_server.files()
    assert (ftp_server.root / name).read_bytes() == (kestrane.workdir / name).read_bytes()

    phases = {"waiting for the handheld": [], "pulling": [], "building": [], "later": []}
    for t, wait_ms in result.answers:
        last_line = result.log_at(t).split("\r\n")[-1]
        if last_line == JOB_LOG_LINES[0]:
            phases["waiting for the handheld" if t < docked_at[0] else "pulling"].append(wait_ms)
        elif last_line == JOB_LOG_LINES[1]:
            phases["building"].append(wait_ms)
        elif last_line != rig.FIRST_LOG_LINE:
            phases["later"].append(wait_ms)
    longest = {phase: max(waits, default=None) for phase, waits in phases.items()}
    print("longest waits for an answer, in ms:", longest)
    assert all(phases[phase] for phase in ("waiting for the handheld", "pulling", "building")), longest
    assert all(wait_ms < ANSWER_LIMIT_MS for _, wait_ms in result.answers), longest

    waiting = [bar for bar in result.progress if bar.t < docked_at[0]]
    assert waiting and all(bar.marquee for bar in waiting), waiting
    pulling = [bar.position for bar in result.progress if bar.t > docked_at[0] and not bar.marquee
               and result.log_at(bar.t).split("\r\n")[-1] == JOB_LOG_LINES[0]]
    print("positions of the bar during the pull:", pulling)
    assert len(set(pulling)) >= PULL_POSITIONS_AT_LEAST and pulling == sorted(pulling), pulling
    assert result.progress[-1].full and result.progress[-1].state == "normal", result.progress[-1]


# The README promises Windows Vista and later. A function a program imports
# must be in Windows for the program to start at all; the window's
# per-monitor dpi functions (Windows 10 version 1607) are looked up at run
# time instead. These are functions of later Windows that a program like
# this one might call.
NEWER_THAN_VISTA = {
    # Windows 7 (with an update), 8 and 8.1
    "ChangeWindowMessageFilterEx", "AddDllDirectory", "SetDefaultDllDirectories", "RemoveDllDirectory", "GetSystemTimePreciseAsFileTime",
    "CreateFile2", "GetDpiForMonitor", "SetProcessDpiAwareness", "GetProcessDpiAwareness",
    # Windows 10 version 1607 and later
    "GetDpiForWindow", "GetDpiForSystem", "SystemParametersInfoForDpi", "AdjustWindowRectExForDpi",
    "GetSystemMetricsForDpi", "EnableNonClientDpiScaling", "SetThreadDpiAwarenessContext",
    "GetThreadDpiAwarenessContext", "GetWindowDpiAwarenessContext", "SetProcessDpiAwarenessContext",
}
# FTP over TLS adds Winsock, Schannel (secur32), crypt32 and BCrypt, all of
# them in Windows Vista with every function imported (inet_pton and BCrypt
# are new in Vista; the rest are older).
VISTA_LIBRARIES = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "wininet.dll", "msvcrt.dll",
                   "comctl32.dll", "ole32.dll", "ws2_32.dll", "secur32.dll", "crypt32.dll", "bcrypt.dll"}


def imported_functions(program):
    """{library: {function, ...}} from a Windows program's import table."""
    objdump = shutil.which("x86_64-w64-mingw32-objdump")
    if objdump is None:
        raise rig.RigError("x86_64-w64-mingw32-objdump is missing: install binutils-mingw-w64")
    table = subprocess.run([objdump, "-p", str(program)], capture_output=True, text=True, check=True).stdout
    imports, library = {}, None
    for line in table.splitlines():
        if line.strip().startswith("DLL Name:"):
            library = imports.setdefault(line.split(":", 1)[1].strip().lower(), set())
        elif library is not None and re.fullmatch(r"\s+[0-9a-f]+\s+\d+\s+\w+", line):
            library.add(line.split()[-1])
        elif not line.strip():
            library = None
    return imports


@pytest.mark.parametrize("bits", sorted(rig.PRESET_BUILD_DIRS))
def test_the_program_imports_nothing_newer_than_windows_vista(bits):
    program = rig.PRESET_BUILD_DIRS[bits] / "kestrane.exe"
    if not program.is_file():
        pytest.skip("%s is not built" % program)

    imports = imported_functions(program)

    assert set(imports) <= VISTA_LIBRARIES, imports.keys()
    assert "MessageBoxW" in imports["user32.dll"], "the import table was not read"
    newer = {function for functions in imports.values() for function in functions} & NEWER_THAN_VISTA
    assert not newer, newer
