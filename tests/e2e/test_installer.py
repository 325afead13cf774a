"""The installer, kestrane-setup-<version>.exe, and its uninstaller, run
silently (/S) under Wine in the session's prefix, which plays a PC that has
never had Kestrane.

The installer is looked for beside kestrane.exe (rig.BUILD_DIR), under the
version that CMakeLists.txt gives the project. It is of the same kind as the
programs it installs: the shipped build's is 32-bit, and puts them where
64-bit Windows keeps 32-bit programs. Every test starts without the data
folder C:\\Kestrane (the bench makes one; these tests take it away) and
leaves no installation behind for the next.
"""

import re
import shutil
import struct
import subprocess
import tempfile
import time
from dataclasses import dataclass

import pytest

import rig

INSTALLER = rig.SETUP_PROGRAM
BUILT_PROGRAMS = {name: rig.BUILD_DIR / name for name in rig.SHIPPED_PROGRAMS}

# Where 64-bit Windows keeps the programs of each kind. Add/Remove Programs
# lists each from the registry view of its kind.
PROGRAM_FILES = {32: r"C:\Program Files (x86)", 64: r"C:\Program Files"}
PROGRAM_DIR = PROGRAM_FILES.get(rig.BUILD_BITS, "") + r"\Kestrane"
INSTALLED_PROGRAM = PROGRAM_DIR + r"\kestrane.exe"
UNINSTALLER = PROGRAM_DIR + r"\uninstall.exe"
DATA_DIR = r"C:\Kestrane"
DEFAULT_DONE_TEXT = b"SYNC OK\r\n"
# The installer makes the shortcuts for all users; these are the folders
# Wine gives them.
SHORTCUTS = {
    "start menu": r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Kestrane.lnk",
    "desktop": r"C:\users\Public\Desktop\Kestrane.lnk",
}
UNINSTALL_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Kestrane"

# Wine's menu builder would copy every shortcut made in the prefix into this
# machine's own menus and desktop.
INSTALLER_DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"
INSTALL_LIMIT_S = 120
# NSIS's exit status when the script stopped the installation.
ABORTED_BY_SCRIPT = 2
# What lets every signed-in user (Authenticated Users, S-1-5-11) change files
# in the data folder and in all it will hold.
ICACLS_COMMAND = r'"C:\windows\system32\icacls.exe" "C:\Kestrane" /grant *S-1-5-11:(OI)(CI)M'
UNINSTALL_LIMIT_S = 60

DATA = b"~;first record\r\n~;second record\r\n"
COMPLETE_LOG = "\r\n".join([rig.FIRST_LOG_LINE] + rig.JOB_LOG_LINES)


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


def run_installer(prefix, extra_env=None):
    """Runs the installer silently to its end: (status, output)."""
    if not INSTALLER.is_file():
        pytest.fail("not built: %s (cmake --preset windows && cmake --build --preset windows)" % INSTALLER)
    return run_in_prefix(prefix, [rig.windows_path(INSTALLER), "/S"], INSTALL_LIMIT_S, extra_env)


def started_commands(output):
    """The command lines that programs asked Wine to start, from its process
    trace (WINEDEBUG=trace+process) in output."""
    quoted = re.findall(r':CreateProcessInternalW app .*? cmdline L"((?:[^"\\]|\\.)*)"', output)
    return [re.sub(r"\\(.)", r"\1", command) for command in quoted]


def install(prefix):
    status, output = run_installer(prefix)
    assert status == 0, "the installer failed with status %d: %s" % (status, output)


def uninstall_entry(prefix, value):
    found = prefix.reg_query(UNINSTALL_KEY, value, view=rig.BUILD_BITS)
    return found[1] if found else None


def uninstall_silently(prefix):
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
            pytest.fail("the uninstaller left %s: %s" % (PROGRAM_DIR, sorted(p.name for p in program_dir.iterdir())))
        time.sleep(0.2)


@pytest.fixture
def pc(kestrane):
    """The bench's prefix as a PC that never had Kestrane; afterwards whatever
    an installation left is taken away."""
    prefix = kestrane.prefix
    shutil.rmtree(in_prefix(prefix, DATA_DIR))
    yield kestrane
    shutil.rmtree(in_prefix(prefix, PROGRAM_DIR), ignore_errors=True)
    for shortcut in SHORTCUTS.values():
        in_prefix(prefix, shortcut).unlink(missing_ok=True)
    prefix.reg_delete_key(UNINSTALL_KEY, view=rig.BUILD_BITS)


def test_a_silent_install_puts_the_two_programs_and_nothing_else_in_program_files(pc):
    install(pc.prefix)

    installed = folder_contents(in_prefix(pc.prefix, PROGRAM_DIR))
    # Never the test stand-in rapi.dll or operator.exe.
    assert sorted(installed) == ["kestrane-location.exe", "kestrane.exe", "uninstall.exe"]
    for name, built in BUILT_PROGRAMS.items():
        assert installed[name] == built.read_bytes(), name


def test_the_shortcuts_start_the_installed_program_in_the_data_folder(pc):
    install(pc.prefix)

    for place, path in SHORTCUTS.items():
        shortcut = read_shortcut(in_prefix(pc.prefix, path))
        assert shortcut.target == INSTALLED_PROGRAM, place
        assert shortcut.working_dir == DATA_DIR, place
        assert shortcut.arguments == "", place
        assert (shortcut.icon_location, shortcut.icon_index) == (INSTALLED_PROGRAM, 0), place


def test_the_install_creates_the_default_done_file_and_a_later_install_keeps_the_location_s_own(pc):
    done_file = in_prefix(pc.prefix, DATA_DIR + r"\done.txt")
    assert not done_file.parent.exists()

    install(pc.prefix)
    assert folder_contents(done_file.parent) == {"done.txt": DEFAULT_DONE_TEXT}

    own = b"DONE 0042 \xe9t\xe9\r\nno line end"
    done_file.write_bytes(own)
    install(pc.prefix)
    assert done_file.read_bytes() == own


# Wine's icacls is a stub: it changes no rights and always succeeds. What
# Wine can show is that the installer runs it, and with what, and that the
# installation stops when it fails (here: when it cannot even start).
@pytest.mark.parametrize("icacls_starts", [True, False], ids=["icacls runs", "icacls cannot start"])
def test_the_install_lets_every_signed_in_user_change_files_in_the_data_folder(pc, icacls_starts):
    overrides = INSTALLER_DLL_OVERRIDES + ("" if icacls_starts else ";icacls.exe=d")

    status, output = run_installer(pc.prefix, {"WINEDEBUG": "-all,trace+process", "WINEDLLOVERRIDES": overrides})

    assert ICACLS_COMMAND in started_commands(output), output
    data_dir = in_prefix(pc.prefix, DATA_DIR)
    if icacls_starts:
        assert status == 0, output
        assert folder_contents(data_dir) == {"done.txt": DEFAULT_DONE_TEXT}
    else:
        # Nothing after it: no done file, no shortcut, no entry in Add/Remove Programs.
        assert status == ABORTED_BY_SCRIPT, output
        assert folder_contents(data_dir) == {}
        assert not in_prefix(pc.prefix, SHORTCUTS["start menu"]).exists()
        assert uninstall_entry(pc.prefix, "DisplayName") is None


def test_the_install_registers_the_silent_uninstaller_in_add_remove_programs(pc):
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


def test_the_installed_program_started_as_its_shortcut_starts_it_runs_the_job(pc, handheld, ftp_server):
    install(pc.prefix)
    shortcut = read_shortcut(in_prefix(pc.prefix, SHORTCUTS["start menu"]))
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


def test_a_silent_uninstall_removes_the_program_and_keeps_the_data_folder_and_the_settings(pc):
    install(pc.prefix)
    code = pc.provision("0042", "ftp.example.com", "store42", "secret", "/in")
    data_dir = in_prefix(pc.prefix, DATA_DIR)
    # The location's archive, an upload the server has not confirmed, and its own done file.
    (data_dir / "23120709050042.TXT").write_bytes(b"UH23120709050042.TXT0001\r\n0042;sent\r\n<<EOF:>>\r\n")
    (data_dir / "23120714300042.TXT").write_bytes(b"UH23120714300042.TXT0001\r\n0042;unsent\r\n<<EOF:>>\r\n")
    (data_dir / "23120714300042.TXT.pending").write_bytes(b"")
    (data_dir / "done.txt").write_bytes(b"DONE 0042\r\n")
    data_before = folder_contents(data_dir)

    uninstall_silently(pc.prefix)

    for place, path in SHORTCUTS.items():
        assert not in_prefix(pc.prefix, path).exists(), place
    assert uninstall_entry(pc.prefix, "DisplayName") is None
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
    assert handed_over == sorted(list(rig.SHIPPED_PROGRAMS) + [INSTALLER.name]), handed_over
    for name in handed_over:
        result = verified(signed / name)
        assert result.returncode == 0, (name, result.stdout, result.stderr)
    # The installer carries the programs as they were signed.
    unpacked = tmp_path / "unpacked"
    subprocess.run(["7z", "x", "-o%s" % unpacked, str(signed / INSTALLER.name)], check=True, capture_output=True)
    for program in rig.SHIPPED_PROGRAMS:
        [packed] = unpacked.rglob(program)
        assert packed.read_bytes() == (signed / program).read_bytes(), program
    # The build itself stays unsigned, and a signed file changed afterwards fails.
    assert verified(rig.BUILD_DIR / "kestrane.exe").returncode != 0
    changed = bytearray((signed / "kestrane.exe").read_bytes())
    changed[0x200] ^= 0xFF
    (tmp_path / "changed.exe").write_bytes(changed)
    assert verified(tmp_path / "changed.exe").returncode != 0
