"""kestrane-location, the tool a location's administrator makes and checks
location.reg with: its Linux build, and kestrane-location.exe under Wine.

A file it writes must be the REGEDIT4 file that regedit imports, and leave in
the registry exactly the settings code that rig.encode_settings computes on
its own; the Windows build must write the very same bytes. The Windows build's
check must tell, from the registry or from a given file, whether the settings
reach the test FTP server, and change nothing there.

The Linux build is looked for in build/native (KESTRANE_NATIVE_BUILD_DIR
points elsewhere), the Windows build beside kestrane.exe (rig.BUILD_DIR).
"""

import csv
import io
import os
import re
import select
import signal
import socket
import subprocess
import tempfile
import termios
import time
from collections import namedtuple
from pathlib import Path

import pytest

import rig
from delivery import PASSWORD as TLS_PASSWORD, USER as TLS_USER
from ftp_server import Tls
from test_tls_job import provision_tls
from test_tls_transport import certificates  # noqa: F401 (a fixture)

NATIVE_BUILD_DIR = Path(os.environ.get("KESTRANE_NATIVE_BUILD_DIR", rig.REPO_DIR / "build" / "native"))
TOOL = NATIVE_BUILD_DIR / "kestrane-location"
TOOL_EXE = rig.BUILD_DIR / "kestrane-location.exe"

OPTIONS = (("location_code", "--location-code"), ("host", "--host"), ("user", "--user"),
           ("password", "--password"), ("remote_folder", "--remote-folder"))
MASK = "********"

# Settings text is single-byte (Windows-1252) text, as rig.encode_settings has it.
CODE_PAGE = "cp1252"

SETTINGS_CASES = {
    "typical": dict(location_code="STORE12", host="ftp.example.com", user="store12", password="s3cret",
                    remote_folder="/incoming"),
    "port-spaces-empty": dict(location_code="0042", host="10.1.2.3:2121", user="store user",
                              password=" pass word ", remote_folder=""),
    "high-bit": dict(location_code="Z\u00fcrich", host="ftp.example.com", user="M\u00fcller",
                     password="p\u00e4ssw\u00f6rd\u20ac", remote_folder="/\u00c4rger"),
    "reg-file-specials": dict(location_code="7", host="ftp.example.com:21", user="dom\\user",
                              password='pa"ss\\', remote_folder='C:\\in\\"box"'),
    "long": dict(location_code="L" * 100, host="h" * 200, user="u" * 300, password="p" * 400,
                 remote_folder="r" * 1000),
}


def expected_file(settings):
    """location.reg as the tool must write it, built from the rig's own encoder."""
    code = rig.encode_settings(**settings)
    text = 'REGEDIT4\r\n\r\n[%s]\r\n"%s"="%s"\r\n\r\n' % (rig.SETTINGS_KEY, rig.SETTINGS_VALUE, code)
    return text.encode("ascii")


def write_args(settings, encoding, password_stdin=False, output="location.reg"):
    """The write command line for these settings. A Linux program gets its
    arguments as bytes, so the Linux tool is given the code page's bytes;
    Wine turns UTF-8 arguments into the ANSI code page for a Windows program."""
    args = ["write"]
    for field, option in OPTIONS:
        if field == "password" and password_stdin:
            args.append("--password-stdin")
        else:
            args += [option, settings[field].encode(encoding)]
    return args + ["--output", output]


def require_built(path, preset):
    if not path.is_file():
        pytest.fail("not built: %s (cmake --preset %s && cmake --build --preset %s)" % (path, preset, preset))


def run_tool(args, cwd, stdin=b""):
    require_built(TOOL, "native")
    return subprocess.run([str(TOOL)] + list(args), cwd=cwd, input=stdin, capture_output=True, timeout=30)


def run_tool_exe(prefix, args, cwd, stdin=b""):
    require_built(TOOL_EXE, "windows")
    # UTF-8 arguments, whatever the test runner's locale; output through
    # files, as the rig does, in case a service of the prefix holds a pipe.
    env = prefix.env({"LC_ALL": "C.UTF-8"})
    with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
        process = subprocess.run([rig.WINE, str(TOOL_EXE)] + list(args), cwd=cwd, env=env, input=stdin,
                                 stdout=stdout, stderr=stderr, timeout=60)
        stdout.seek(0)
        stderr.seek(0)
        return subprocess.CompletedProcess(process.args, process.returncode, stdout.read(), stderr.read())


def described(result):
    return "status %d\nstdout: %r\nstderr: %r" % (result.returncode, result.stdout, result.stderr)


def shown_settings(stdout, encoding):
    """The five settings that show printed, by label (quotes removed)."""
    labels = {"Location code": "location_code", "FTP host": "host", "FTP user": "user",
              "FTP password": "password", "Remote folder": "remote_folder"}
    shown = {}
    for line in stdout.decode(encoding).splitlines():
        label, _, value = line.partition(":")
        if label in labels:
            value = value.strip(" \r")
            shown[labels[label]] = value[1:-1] if value.startswith('"') else value
    return shown


# ---- Through Wine: regedit, reg and the Windows build


@pytest.fixture
def folder(kestrane, tmp_path):
    """A folder of this test's own, beside the ones the rig keeps in tmp_path."""
    path = tmp_path / "tool"
    path.mkdir()
    return path


def test_kestrane_works_with_the_settings_the_tool_wrote(kestrane, handheld, ftp_server, folder):
    """The whole round trip: the tool's file, imported by regedit, read and
    used by the real kestrane.exe for its upload's name, server and folder."""
    (ftp_server.root / "in").mkdir()
    settings = dict(location_code="S7", host=ftp_server.host, user=ftp_server.user,
                    password=ftp_server.password, remote_folder="in/")
    written = run_tool_exe(kestrane.prefix, write_args(settings, "utf-8"), folder)
    assert written.returncode == 0, described(written)
    kestrane.prefix.import_reg(folder / "location.reg", view=64)
    handheld.dock(b"a record for ~\r\n")

    result = kestrane.run()

    assert result.exit_code == 0, result.describe()
    arrived = ftp_server.files()
    assert len(arrived) == 1 and arrived[0].startswith("in/") and arrived[0].endswith("S7.TXT"), arrived
    assert b"a record for S7\r\n" in (ftp_server.root / arrived[0]).read_bytes()


@pytest.mark.parametrize("name", sorted(SETTINGS_CASES))
def test_written_file_imports_with_regedit_and_the_windows_build_writes_the_same(kestrane, folder, name):
    settings = SETTINGS_CASES[name]
    linux_dir = folder / "linux"
    windows_dir = folder / "windows"
    linux_dir.mkdir()
    windows_dir.mkdir()
    password = settings["password"].encode(CODE_PAGE) + b"\r\n"

    written = run_tool(write_args(settings, CODE_PAGE, password_stdin=True), linux_dir, stdin=password)
    assert written.returncode == 0, described(written)
    reg_file = linux_dir / "location.reg"
    assert reg_file.read_bytes() == expected_file(settings)

    kestrane.prefix.import_reg(reg_file, view=64)
    code = rig.encode_settings(**settings)
    assert kestrane.prefix.reg_query(rig.SETTINGS_KEY, rig.SETTINGS_VALUE, view=64) == ("REG_SZ", code)

    # The password from standard input here; the rest as UTF-8 arguments.
    from_exe = run_tool_exe(kestrane.prefix, write_args(settings, "utf-8", password_stdin=True), windows_dir,
                            stdin=password)
    assert from_exe.returncode == 0, described(from_exe)
    assert (windows_dir / "location.reg").read_bytes() == reg_file.read_bytes()

    # And with the password on the command line.
    (windows_dir / "location.reg").unlink()
    from_exe = run_tool_exe(kestrane.prefix, write_args(settings, "utf-8"), windows_dir)
    assert from_exe.returncode == 0, described(from_exe)
    assert (windows_dir / "location.reg").read_bytes() == reg_file.read_bytes()


def test_show_reads_what_regedit_exports_in_utf16(kestrane, folder):
    settings = SETTINGS_CASES["high-bit"]
    kestrane.prefix.reg_add(rig.SETTINGS_KEY, rig.SETTINGS_VALUE, rig.encode_settings(**settings), view=64)
    exported = folder / "exported.reg"
    kestrane.prefix.wine_command(["regedit", "/E", rig.windows_path(exported), rig.SETTINGS_KEY])
    assert exported.read_bytes().startswith(b"\xff\xfeW\x00i\x00n\x00d\x00o\x00w\x00s\x00")

    for result in (run_tool(["show", exported.name, "--show-password"], folder),
                   run_tool_exe(kestrane.prefix, ["show", exported.name, "--show-password"], folder)):
        assert result.returncode == 0, described(result)
        assert shown_settings(result.stdout, CODE_PAGE) == settings, described(result)


def test_windows_build_refuses_what_cannot_be_stored(kestrane, folder):
    settings = dict(SETTINGS_CASES["typical"], password="a;b")

    result = run_tool_exe(kestrane.prefix, write_args(settings, "utf-8"), folder)

    assert result.returncode == 1, described(result)
    assert b"password contains" in result.stderr
    assert list(folder.iterdir()) == []


def test_windows_build_shows_the_password_masked(kestrane, folder):
    (folder / "location.reg").write_bytes(expected_file(SETTINGS_CASES["typical"]))

    result = run_tool_exe(kestrane.prefix, ["show", "location.reg"], folder)

    assert result.returncode == 0, described(result)
    shown = shown_settings(result.stdout, CODE_PAGE)
    assert shown == dict(SETTINGS_CASES["typical"], password=MASK)
    assert b"s3cret" not in result.stdout + result.stderr


# ---- check, under Wine against the test FTP server

# Distinctive, so that a leak into the output is found.
CHECK_PASSWORD = "Pw#9zQ!k2v"
# A folder name that WinINet would take for a pattern in a search string.
ODD_FOLDER = "drop box [1]*"
CHANGING_COMMANDS = {"STOR", "STOU", "APPE", "DELE", "RNFR", "RNTO", "MKD", "XMKD", "RMD", "XRMD", "SITE"}
LOGIN = r'^Connecting and logging in to "127\.0\.0\.1:\d+" as "kestrane" \.\.\. '

# The settings come from a registry view (64, 32) or a location.reg given
# (file). steps: patterns of the lines between the settings and the verdict.
CheckCase = namedtuple("CheckCase", "source server_listens password remote_folder status steps")
CHECK_CASES = {
    "good-account": CheckCase(32, True, CHECK_PASSWORD, ODD_FOLDER + "/", 0, (
        LOGIN + "ok$", r'^Listing the remote folder "drop box \[1\]\*" \.\.\. ok$')),
    "wrong-password": CheckCase("file", True, "Wrong#Pw5", "in/", 1, (
        LOGIN + r"FAILED: the server refused the login\. The server replied: 530 ",)),
    "missing-folder": CheckCase(64, True, CHECK_PASSWORD, "nowhere/", 1, (
        LOGIN + "ok$", r'^Listing the remote folder "nowhere" \.\.\. FAILED: the server has no folder nowhere\. '
        r"The server replied: 550 ")),
    "nothing-listening": CheckCase("file", False, CHECK_PASSWORD, "in/", 1, (
        LOGIN + r"FAILED: the connection was refused \(error \d+\)\.$",)),
}


@pytest.mark.parametrize("name", sorted(CHECK_CASES))
def test_check_tries_the_settings_on_the_server_and_changes_nothing(kestrane, start_ftp_server, folder, name):
    case = CHECK_CASES[name]
    server = start_ftp_server(password=CHECK_PASSWORD)
    for held in ("", "in", ODD_FOLDER):
        (server.root / held).mkdir(exist_ok=True)
        (server.root / held / "waiting.TXT").write_bytes(b"for the host's import\r\n")
    held_before = server.files()
    # A port bound but not listening refuses connections, and no one else can take it meanwhile.
    with socket.socket() as closed_port:
        closed_port.bind(("127.0.0.1", 0))
        host = server.host if case.server_listens else "127.0.0.1:%d" % closed_port.getsockname()[1]
        settings = dict(location_code="0042", host=host, user="kestrane", password=case.password,
                        remote_folder=case.remote_folder)
        if case.source == "file":
            (folder / "location.reg").write_bytes(expected_file(settings))
            args = ["check", "location.reg"]
        else:
            kestrane.provision(view=case.source, **settings)
            args = ["check"]
        result = run_tool_exe(kestrane.prefix, args, folder)

    assert result.returncode == case.status, described(result)
    source = r"location\.reg" if case.source == "file" else "this PC's registry"
    patterns = (r'^Reading the settings from %s \.\.\. ok: location code "0042", FTP host "%s"' % (
        source, re.escape(host)),) + case.steps + ((r"^Verdict: OK\. ", r"^Verdict: FAILED\. ")[case.status],)
    lines = result.stdout.decode(CODE_PAGE).splitlines()
    assert len(lines) == len(patterns) and all(map(re.search, patterns, lines)), described(result)
    assert case.password.encode() not in result.stdout + result.stderr, described(result)
    assert server.files() == held_before
    sent = {line.split(" ")[0].upper() for line in server.commands()}
    assert not sent & CHANGING_COMMANDS and ("LIST" in sent) == (case.status == 0), server.commands()


def test_check_over_tls_prints_the_certificate_and_the_pin_it_prints_is_accepted(kestrane, certificates, folder,
                                                                                  start_ftp_server):
    """An administrator checks a location moved to FTP over TLS whose server
    has a certificate of its own: check refuses it, names it, and prints the
    pin; with that pin in the settings the next check passes."""
    certificate = certificates["self-signed"]
    server = start_ftp_server(user=TLS_USER, password=TLS_PASSWORD, tls=Tls(certificate.cert, certificate.key, False))
    (server.root / "in").mkdir()
    lines = {}
    for attempt, pin in (("unpinned", ""), ("pinned", None)):
        pin = pin if pin is not None else re.search(r"--pin (\S+)$", lines["unpinned"][-2]).group(1)
        provision_tls(kestrane, "ftpes", server.port, pin, remote_folder="in/")
        result = run_tool_exe(kestrane.prefix, ["check"], folder)
        lines[attempt] = result.stdout.decode(CODE_PAGE).splitlines()
        assert result.returncode == (0 if pin else 1), described(result)
        assert TLS_PASSWORD.encode() not in result.stdout + result.stderr, described(result)
        if not pin:
            assert "USER" not in server.command_names(), server.commands()
    commands = server.command_names()

    unpinned, pinned = lines["unpinned"], lines["pinned"]
    assert re.search(r"\.\.\. FAILED: .*Windows does not trust", unpinned[1]), unpinned
    assert unpinned[2].startswith("Server certificate: ") and unpinned[3].startswith("Valid from "), unpinned
    assert unpinned[4] == "SHA-256 fingerprint: " + certificate.fingerprint, unpinned
    assert unpinned[5].endswith("--pin " + certificate.fingerprint), unpinned
    assert pinned[1].endswith("... ok") and pinned[2:5] == unpinned[2:5], pinned
    assert pinned[5] == "Accepted because this location's settings pin it", pinned
    assert pinned[-1].startswith("Verdict: OK. ") and not CHANGING_COMMANDS & commands, (pinned, commands)


# ---- The Linux build's command line, as an administrator meets it


@pytest.mark.parametrize("field, value, message", [
    ("password", "a;b", "password contains"),
    ("user", "a=b", "user contains"),
    ("remote_folder", "in;box", "remote folder contains"),
    ("host", "ftp.example.com:99999", "port"),
    ("location_code", "..", "may not be"),
    ("location_code", "a/b", "may not contain"),
])
def test_write_refuses_settings_that_cannot_work_and_writes_nothing(tmp_path, field, value, message):
    settings = dict(SETTINGS_CASES["typical"], **{field: value})

    result = run_tool(write_args(settings, CODE_PAGE), tmp_path)

    assert result.returncode == 1, described(result)
    assert message in result.stderr.decode(), described(result)
    assert list(tmp_path.iterdir()) == []


def test_write_keeps_an_existing_file_unless_forced(tmp_path):
    existing = tmp_path / "location.reg"
    existing.write_bytes(b"the old file")
    args = write_args(SETTINGS_CASES["typical"], CODE_PAGE)

    refused = run_tool(args, tmp_path)
    assert refused.returncode == 1, described(refused)
    assert b"already exists" in refused.stderr and b"--force" in refused.stderr
    assert existing.read_bytes() == b"the old file"

    forced = run_tool(args + ["--force"], tmp_path)
    assert forced.returncode == 0, described(forced)
    assert existing.read_bytes() == expected_file(SETTINGS_CASES["typical"])


def test_write_from_a_csv_file_writes_each_good_row_as_write_would_and_refuses_the_others(tmp_path):
    """The administrator's file as a spreadsheet saves it: UTF-8 with a byte
    order mark, CR LF, the columns in an order of its own, quotes where a value
    needs them. A row is refused by the line it starts on, the others are
    written; no password shows, and a second run, with --force, replaces the
    file that was already there."""
    pin = "ab" * 32
    typical = dict(SETTINGS_CASES["typical"], location_code="0042", pin="")
    tls = dict(location_code="0043", host="ftpes://ftp.example.com:2121", user="M\u00fcller",
               password='p\u00e4,ss"w\u00f6rd\u20ac', remote_folder="in/", pin=pin)
    two_lines = dict(typical, location_code="0045", remote_folder="in\r\nbox/")
    leaked = "Leak;Me-7731"
    rows = [typical, tls, dict(typical, location_code="0044", password=leaked),
            dict(typical, location_code="store9"), dict(typical, location_code="STORE9"),
            two_lines, dict(typical, location_code="0046", host="ftp.example.com:0")]
    columns = ["Password", "remote_folder", "LOCATION_CODE", "user", "host", "pin"]
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\r\n")
    writer.writerow(columns)
    writer.writerows([row[name.lower()] for name in columns] for row in rows)
    (tmp_path / "locations.csv").write_bytes(text.getvalue().encode("utf-8-sig"))
    out = tmp_path / "out"
    out.mkdir()
    (out / "0042.reg").write_bytes(b"the old file")
    refusals = {4: "the password contains", 5: "line 6 has the same location code",
                6: "line 5 has the same location code", 9: "port"}

    # What write makes of each good row on its own.
    single = tmp_path / "single"
    single.mkdir()
    for settings in (typical, tls, two_lines):
        name = settings["location_code"] + ".reg"
        made = run_tool(write_args(settings, CODE_PAGE, output=str(single / name)) + ["--pin", settings["pin"]],
                        tmp_path)
        assert made.returncode == 0, described(made)

    for force, written in (([], {3: "0043", 7: "0045"}), (["--force"], {2: "0042", 3: "0043", 7: "0045"})):
        result = run_tool(["write", "--from", "locations.csv", "--output", "out"] + force, tmp_path)

        assert result.returncode == 1, described(result)
        expected_out = ['Line %d: wrote out/%s.reg for location "%s".' % (line, code, code)
                        for line, code in written.items()]
        expected_out.append("%d written, %d refused." % (len(written), 7 - len(written)))
        assert result.stdout.decode(CODE_PAGE).splitlines()[:len(expected_out)] == expected_out, described(result)
        expected_err = refusals if force else {**refusals, 2: "out/0042.reg already exists. Add --force"}
        lines = result.stderr.decode(CODE_PAGE).splitlines()
        assert len(lines) == len(expected_err), described(result)
        for line, (number, reason) in zip(lines, sorted(expected_err.items())):
            assert line.startswith("Line %d: not written: " % number) and reason in line, described(result)
        for password in (leaked, tls["password"], typical["password"]):
            for encoding in (CODE_PAGE, "utf-8"):
                assert password.encode(encoding) not in result.stdout + result.stderr, described(result)
        assert sorted(path.name for path in out.iterdir()) == ["0042.reg", "0043.reg", "0045.reg"]
        for name in ["0043.reg", "0045.reg"] + (["0042.reg"] if force else []):
            assert (out / name).read_bytes() == (single / name).read_bytes(), name
    assert (out / "0042.reg").read_bytes() != b"the old file"


@pytest.mark.parametrize("stdin, password", [
    (b"from the pipe\n", "from the pipe"),
    (b"crlf line\r\nsecond line\r\n", "crlf line"),
    (b"no line end", "no line end"),
    (b"\n", ""),
])
def test_password_from_standard_input_is_its_first_line(tmp_path, stdin, password):
    args = write_args(SETTINGS_CASES["typical"], CODE_PAGE, password_stdin=True)

    result = run_tool(args, tmp_path, stdin=stdin)

    assert result.returncode == 0, described(result)
    assert (tmp_path / "location.reg").read_bytes() == expected_file(dict(SETTINGS_CASES["typical"],
                                                                          password=password))


def test_password_from_empty_standard_input_is_refused(tmp_path):
    result = run_tool(write_args(SETTINGS_CASES["typical"], CODE_PAGE, password_stdin=True), tmp_path)

    assert result.returncode == 1, described(result)
    assert b"No password" in result.stderr
    assert list(tmp_path.iterdir()) == []


class Terminal:
    """The tool run on a pseudo-terminal, as someone at a terminal runs it."""

    def __init__(self, args, cwd):
        require_built(TOOL, "native")
        self.master, self.slave = os.openpty()
        assert self.echoes(), "a new terminal shows what is typed"
        self.process = subprocess.Popen([str(TOOL)] + list(args), cwd=cwd, stdin=self.slave,
                                        stdout=self.slave, stderr=self.slave)
        self.seen = b""

    def read_until(self, text, timeout_s=10):
        deadline = time.monotonic() + timeout_s
        while text not in self.seen:
            remaining = deadline - time.monotonic()
            assert remaining > 0, "waited for %r, saw %r" % (text, self.seen)
            if select.select([self.master], [], [], remaining)[0]:
                self.seen += os.read(self.master, 1024)
        return self.seen

    def echoes(self):
        return bool(termios.tcgetattr(self.slave)[3] & termios.ECHO)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        os.close(self.master)
        os.close(self.slave)


@pytest.fixture
def terminal():
    opened = []

    def open_terminal(args, cwd):
        opened.append(Terminal(args, cwd))
        return opened[-1]

    yield open_terminal
    for each in opened:
        each.close()


def test_a_typed_password_is_asked_for_and_does_not_show(tmp_path, terminal):
    term = terminal(write_args(SETTINGS_CASES["typical"], CODE_PAGE, password_stdin=True), tmp_path)

    term.read_until(b"FTP password: ")
    os.write(term.master, b"typed secret\n")
    term.read_until(b"Wrote location.reg")

    assert term.process.wait(timeout=10) == 0, term.seen
    assert b"typed secret" not in term.seen
    assert term.echoes()
    assert (tmp_path / "location.reg").read_bytes() == expected_file(dict(SETTINGS_CASES["typical"],
                                                                          password="typed secret"))


@pytest.mark.parametrize("ending", [signal.SIGINT, signal.SIGTERM])
def test_the_terminal_shows_typing_again_when_the_password_prompt_is_interrupted(tmp_path, terminal, ending):
    term = terminal(write_args(SETTINGS_CASES["typical"], CODE_PAGE, password_stdin=True), tmp_path)
    term.read_until(b"FTP password: ")
    assert not term.echoes()

    term.process.send_signal(ending)

    assert term.process.wait(timeout=10) == -ending
    assert term.echoes()
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("args, message", [
    ([], "write, show or check"),
    (["frob"], "\"frob\""),
    (["write", "--location-code", "1", "--host", "h"], "missing: --user, --password, --remote-folder"),
    (["write", "--location-code", "1", "--host", "--user", "u"], "--host needs a value"),
    (["write", "--location-code"], "--location-code needs a value"),
    (["write", "--password", "p", "--password-stdin"], "either --password or --password-stdin"),
    (["write", "--host", "a", "--host", "b"], "more than once"),
    (["write", "--colour", "red"], "no option --colour"),
    (["write", "--from", "l.csv"], "--from needs --output FOLDER"),
    (["write", "--from", "l.csv", "--output", "out", "--password-stdin"], "leave out --password-stdin"),
    (["show"], "one location.reg file, or --code"),
    (["show", "a.reg", "--code", "00"], "one location.reg file, or --code"),
    (["show", "--force", "a.reg"], "no option --force"),
    (["check", "a.reg", "b.reg"], "one location.reg file at most"),
    (["check", "--force"], "no option --force"),
])
def test_a_command_line_that_is_not_understood_points_to_help(tmp_path, args, message):
    result = run_tool(args, tmp_path)

    assert result.returncode == 2, described(result)
    assert message in result.stderr.decode(), described(result)
    assert b"--help" in result.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("args", [["--help"], ["help"], ["write", "--help"], ["show", "-h"], ["check", "--help"]])
def test_help_explains_every_command(tmp_path, args):
    result = run_tool(args, tmp_path)

    assert result.returncode == 0, described(result)
    text = result.stdout.decode()
    for phrase in ("kestrane-location write", "kestrane-location show", "kestrane-location check [FILE]",
                   "--password-stdin", "--force", "--show-password", "regedit /s location.reg",
                   "kestrane-location write --from FILE.csv --output FOLDER"):
        assert phrase in text


def test_check_says_it_works_on_windows_only(tmp_path):
    result = run_tool(["check", "location.reg"], tmp_path)

    assert result.returncode == 1, described(result)
    assert b"check works on Windows only" in result.stderr and result.stdout == b"", described(result)


def test_show_masks_the_password_unless_asked(tmp_path):
    settings = SETTINGS_CASES["typical"]
    (tmp_path / "location.reg").write_bytes(expected_file(settings))

    masked = run_tool(["show", "location.reg"], tmp_path)
    assert masked.returncode == 0, described(masked)
    assert shown_settings(masked.stdout, CODE_PAGE) == dict(settings, password=MASK)
    assert settings["password"].encode() not in masked.stdout + masked.stderr

    shown = run_tool(["show", "location.reg", "--show-password"], tmp_path)
    assert shown.returncode == 0, described(shown)
    assert shown_settings(shown.stdout, CODE_PAGE) == settings


@pytest.mark.parametrize("settings, warning", [
    (dict(SETTINGS_CASES["typical"], host="ftp.example.com:0"), "port"),
    (dict(SETTINGS_CASES["typical"], location_code="a:b"), "refuse to run"),
])
def test_show_warns_about_settings_kestrane_cannot_use(tmp_path, settings, warning):
    code = rig.encode_settings(**settings)

    result = run_tool(["show", "--code", code], tmp_path)

    assert result.returncode == 1, described(result)
    assert shown_settings(result.stdout, CODE_PAGE) == dict(settings, password=MASK)
    assert "Warning: " in result.stderr.decode() and warning in result.stderr.decode(), described(result)


@pytest.mark.parametrize("content, message", [
    (b"", "empty"),
    (b"[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVALLE\\QUINTAR]\r\n", "not a registry file"),
    (b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"REGCODE\"=\"00\"\r\n", "does not set"),
])
def test_show_explains_a_file_it_cannot_use(tmp_path, content, message):
    (tmp_path / "location.reg").write_bytes(content)

    result = run_tool(["show", "location.reg"], tmp_path)

    assert result.returncode == 1, described(result)
    assert "location.reg" in result.stderr.decode() and message in result.stderr.decode(), described(result)


def test_show_of_a_missing_file_says_so(tmp_path):
    result = run_tool(["show", "nowhere.reg"], tmp_path)

    assert result.returncode == 1, described(result)
    assert b"Cannot read nowhere.reg" in result.stderr
