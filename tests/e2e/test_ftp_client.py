"""The WinINet FTP client, end to end: kestrane_win32_tests.exe in the
session's Wine prefix against ftp_server.py, once per kind of server (working,
or broken in one way).

Each case starts the server with its fault, runs the tests of
tests/win32/ftp_client_test.cpp that fit (a gtest filter), and checks what the
client reported, what reached the server's folder, and what the server was
asked. The client's tests print each FtpError they meet as "FtpError [<kind>]:
<reason> | <reply>" and each refused upload's outcome as "OUTCOME: ...".
"""

import re
import socket
import subprocess
import tempfile
from dataclasses import dataclass, field

import pytest

import rig

WIN32_TESTS_EXE = rig.BUILD_DIR / "kestrane_win32_tests.exe"

USER = "kestrane-loc"
# Distinctive, so that a leak into any message is found.
PASSWORD = "Pw#9zQ!k2v"
REMOTE_FOLDER = "incoming"
# Inside it; its name holds what WinINet's search strings cannot.
ODD_FOLDER = "drop box [1]*"
# What the driver puts in the remote folder for the slow server to send.
PLACED_FILE = "placed.dat"
RUN_LIMIT_SECONDS = 60

# The sizes ftp_client_test.cpp uploads.
BINARY_BYTES = 200_003
SMALL_BYTES = 65_537
LARGE_BYTES = 4_000_000

SERVER_TESTS = "FtpServerTest."
REFUSED_UPLOADS = "FtpUploads/FtpRefusedUploadTest.*"


def binary_content(size):
    """The bytes BinaryContent() in ftp_client_test.cpp writes."""
    line_ends = b"\r\n\n\r\r\x1a"
    content = bytearray()
    i = 0
    while len(content) < size:
        content.append(i % 256)
        if i % 1000 == 999:
            content += line_ends
        i += 1
    return bytes(content[:size])


def closed_port():
    """A port on 127.0.0.1 where nothing listens."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run_in_prefix(prefix, args, extra_env):
    """Runs a program of the prefix with more environment; returns (status, output)."""
    # Output goes through a file: the Windows services that a program starts
    # stay with the wineserver and would hold a pipe open.
    with tempfile.TemporaryFile() as output:
        process = subprocess.run([rig.WINE] + args, env=prefix.env(extra_env), stdin=subprocess.DEVNULL,
                                 stdout=output, stderr=subprocess.STDOUT, timeout=RUN_LIMIT_SECONDS)
        output.seek(0)
        return process.returncode, output.read().decode("utf-8", "replace").replace("\r\n", "\n")


@dataclass
class Run:
    returncode: int
    output: str
    journal: list
    stored: object


def run_client_tests(wine_session, start_ftp_server, fault, gtest_filter, extra_env=None):
    """Runs the client's tests against a server with the fault, or for fault
    None against a port where nothing listens."""
    assert WIN32_TESTS_EXE.is_file(), "not built: %s" % WIN32_TESTS_EXE
    server = None
    if fault is None:
        host = "127.0.0.1:%d" % closed_port()
    else:
        server = start_ftp_server(fault, user=USER, password=PASSWORD)
        (server.root / REMOTE_FOLDER / ODD_FOLDER).mkdir(parents=True)
        (server.root / REMOTE_FOLDER / PLACED_FILE).write_bytes(binary_content(LARGE_BYTES))
        host = server.host
    env = dict(KESTRANE_TEST_FTP=host, KESTRANE_TEST_FTP_USER=USER, KESTRANE_TEST_FTP_PASSWORD=PASSWORD,
               **(extra_env or {}))
    status, output = run_in_prefix(wine_session.prefix,
                                   [rig.windows_path(WIN32_TESTS_EXE), "--gtest_filter=" + gtest_filter], env)
    journal = []
    if server is not None and server.journal.exists():
        journal = server.journal.read_text(encoding="utf-8").splitlines()
    return Run(status, output, journal, server.root / REMOTE_FOLDER if server else None)


@dataclass
class Case:
    fault: object
    gtest_filter: str
    # Environment for ConnectFails: the reason's text and the reply's start.
    extra_env: dict = field(default_factory=dict)
    # Regular expressions that must each match a line of the output.
    expected: tuple = ()
    # Files the server must hold afterwards: name -> bytes, or None for absent.
    stored: dict = field(default_factory=dict)
    # Commands that must not reach the server.
    never_sent: tuple = ()


def uploads_refused(fault, small, large, stored=None):
    """The small and the large upload to a server with the fault: what each must report."""
    return Case(fault, REFUSED_UPLOADS, expected=(small, large), stored=stored or {})


FINDING_FILES = (SERVER_TESTS + "UploadsBinaryFileIntact:" + SERVER_TESTS
                 + "FindsAFileByItsExactNameWhateverTheNamesHold:" + SERVER_TESTS
                 + "MissingRemoteFileHasNoSizeAndCannotBeReceived")


def finding_files(fault, not_found):
    """Files found, sent, received and missed on a server that words a missing file as not_found."""
    return Case(fault, FINDING_FILES,
                expected=(r"FtpError \[refused\]: the server refused to send /incoming/absent\.dat \| %s$" % not_found,),
                stored={"binary.dat": binary_content(BINARY_BYTES),
                        ODD_FOLDER + "/26[0042]*.TXT": binary_content(1234)})


CASES = {
    "none": Case(
        "none", FINDING_FILES + ":" + SERVER_TESTS + "MissingLocalFileFailsBeforeAnyTransfer",
        expected=(r"FtpError \[local file\]: the file no-such-local-file\.dat could not be opened: .+ \| $",
                  r"FtpError \[refused\]: the server refused to send /incoming/absent\.dat \| 550 "),
        stored={"binary.dat": binary_content(BINARY_BYTES), "never.dat": None,
                ODD_FOLDER + "/26[0042]*.TXT": binary_content(1234)}),
    "iis": finding_files("iis", r"550 The system cannot find the file specified\."),
    "filezilla": finding_files("filezilla", r"550 File not found"),
    "slow": Case(
        "slow", SERVER_TESTS + "UploadsBinaryFileIntact:" + SERVER_TESTS + "ClosingTheWindowAbandonsAnUpload:"
        + SERVER_TESTS + "ClosingTheWindowAbandonsADownload",
        expected=(r"GIVEN UP: /incoming/abandoned\.dat$",
                  r"GIVEN UP: /incoming/placed\.dat$"),
        stored={"binary.dat": binary_content(BINARY_BYTES)}),
    "refused": Case(
        None, SERVER_TESTS + "ConnectFails",
        extra_env={"KESTRANE_TEST_FTP_REASON": "the connection was refused", "KESTRANE_TEST_FTP_REPLY": ""},
        expected=(r"FtpError \[unreachable\]: the connection was refused \(error \d+\) \| $",)),
    "login-530": Case(
        "login-530", SERVER_TESTS + "ConnectFails",
        extra_env={"KESTRANE_TEST_FTP_REASON": "the server refused the login",
                   "KESTRANE_TEST_FTP_REPLY": "530"},
        expected=(r"FtpError \[refused\]: the server refused the login \| 530 Login incorrect\.$",),
        never_sent=("STOR", "LIST")),
    "login-echo": Case(
        "login-echo", SERVER_TESTS + "ConnectFails",
        extra_env={"KESTRANE_TEST_FTP_REASON": "the server refused the login",
                   "KESTRANE_TEST_FTP_REPLY": "500"},
        expected=(r"FtpError \[refused\]: the server refused the login \| 500 'PASS \*+': command not understood\.$",)),
    "too-many-421": Case(
        "too-many-421", SERVER_TESTS + "ConnectFails",
        extra_env={"KESTRANE_TEST_FTP_REASON": "the server refused the connection",
                   "KESTRANE_TEST_FTP_REPLY": "421"},
        expected=(r"FtpError \[refused\]: the server refused the connection \| 421 Too many connections",),
        never_sent=("USER",)),
    "stor-550": uploads_refused(
        "stor-550",
        r"FtpError \[refused\]: the server refused to store /incoming/small\.dat \| 550 ",
        r"FtpError \[refused\]: the server refused to store /incoming/large\.dat \| 550 ",
        stored={"small.dat": None, "large.dat": None}),
    "stor-552": uploads_refused(
        "stor-552",
        r"FtpError \[refused\]: the server did not accept /incoming/small\.dat \| 552 ",
        r"FtpError \[refused\]: the server did not accept /incoming/large\.dat \| 552 ",
        stored={"small.dat": None, "large.dat": None}),
    # The small upload is written whole before the server's cut is seen, so
    # only the final reply tells; the large one breaks off while writing.
    "cut-data-426": uploads_refused(
        "cut-data-426",
        r"FtpError \[refused\]: the server did not accept /incoming/small\.dat \| 426 ",
        r"FtpError \[(?:refused|connection lost)\]: the transfer of /incoming/large\.dat broke off: "),
    "drop-all": uploads_refused(
        "drop-all",
        r"FtpError \[connection lost\]: the server did not confirm /incoming/small\.dat: the server closed the "
        r"connection \(error \d+\) \| $",
        r"FtpError \[connection lost\]: the transfer of /incoming/large\.dat broke off: "),
    "short-store": uploads_refused(
        "short-store",
        r"OUTCOME: size %d of %d$" % (SMALL_BYTES // 2, SMALL_BYTES),
        r"OUTCOME: size %d of %d$" % (LARGE_BYTES // 2, LARGE_BYTES)),
    "no-banner": Case(
        "no-banner", SERVER_TESTS + "ServerWithoutBannerNeverConnectsAndDisconnectReturns",
        never_sent=("PASS",)),
    "hang-check": Case(
        "hang-check", SERVER_TESTS + "ClosingTheWindowAbandonsAHungCheck",
        expected=(r"GIVEN UP: /incoming/listed\.dat$",)),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_ftp_client_against_server(name, wine_session, start_ftp_server):
    case = CASES[name]
    run = run_client_tests(wine_session, start_ftp_server, case.fault, case.gtest_filter, case.extra_env)

    assert run.returncode == 0, run.output
    assert re.search(r"^\[  PASSED  \] [1-9]\d* tests?\.$", run.output, re.MULTILINE), run.output
    assert "[  SKIPPED ]" not in run.output, run.output
    assert PASSWORD not in run.output
    for pattern in case.expected:
        assert re.search(pattern, run.output, re.MULTILINE), "%r not in:\n%s" % (pattern, run.output)
    for file_name, content in case.stored.items():
        path = run.stored / file_name
        if content is None:
            assert not path.exists(), file_name
        else:
            assert path.read_bytes() == content, file_name
    sent = [line.split(" ")[0].upper() for line in run.journal]
    for command in case.never_sent:
        assert command not in sent, run.journal


# What the client asks to send a file it checks first and then confirms, and
# to receive it: with SIZE, the transfers are the only data connections; a
# server without SIZE is asked once, and listings of the folder tell instead.
CONVERSATIONS = {
    "none": [
        "TYPE I", "SIZE /incoming/binary.dat",
        "TYPE I", "PASV", "DATA", "STOR /incoming/binary.dat",
        "SIZE /incoming/binary.dat",
        "TYPE I", "PASV", "DATA", "RETR /incoming/binary.dat"],
    "filezilla": [
        "TYPE I", "SIZE /incoming/binary.dat",
        "PWD", "CWD /incoming", "TYPE A", "PASV", "DATA", "LIST", "CWD /",
        "TYPE I", "PASV", "DATA", "STOR /incoming/binary.dat",
        "CWD /incoming", "TYPE A", "PASV", "DATA", "LIST", "CWD /",
        "TYPE I", "PASV", "DATA", "RETR /incoming/binary.dat"],
}


@pytest.mark.parametrize("name", sorted(CONVERSATIONS))
def test_uploads_are_binary_and_passive_with_no_command_to_spare(name, wine_session, start_ftp_server):
    run = run_client_tests(wine_session, start_ftp_server, name, SERVER_TESTS + "UploadsBinaryFileIntact")
    assert run.returncode == 0, run.output
    assert run.journal[:3] == ["CONNECT", "USER %s" % USER, "PASS ******"], run.journal
    assert [line for line in run.journal[3:] if line != "QUIT"] == CONVERSATIONS[name]
