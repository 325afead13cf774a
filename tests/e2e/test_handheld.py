"""The handheld end to end: the pull of its data file and the done marker,
through the stand-in rapi.dll, in the real kestrane.exe under Wine.

The stand-in serves a folder as the handheld and journals every call; its
switches (KESTRANE_HANDHELD_*) make reads fail, pull the handheld out, or
make the connection fail. Whatever goes wrong, the data must stay in at
least one place, no done marker may be left, and the message box must say
what failed.
"""

import shutil

import pytest

import rig
from scenario import COMPLETE_LOG, LOCATION, PULL_LOG, pulled_lines, records, server_lines, single_error, working_files

DEVICE_DATA = r"\Storage Card\savedata.dat"
DEVICE_MARKER = r"\Storage Card\SyncDone.dat"
DEVICE_UNFINISHED_MARKER = DEVICE_MARKER + ".tmp"
# The handheld is read in pieces of this size.
READ_SIZE = 4096

# Distinct from the rig's default, with bytes a text copy would spoil.
DONE_FILE_BYTES = b"SyncDone\r\nstation 42\x00\xff\x1a\n"

# More than two reads' worth, so that a fault at the second read leaves data unread.
SEVERAL_READS = records(500)
assert len(SEVERAL_READS) > 2 * READ_SIZE


def every_byte_value(size):
    """`size` bytes holding every byte value and runs of CR and LF."""
    runs = [b"\r\n", b"\r\r", b"\n\n", b"\r\n\r\n", b"\n\r", b"\r\r\n\n"]
    data = bytearray()
    value = 0
    while len(data) < size:
        data.append(value % 256)
        value += 1
        if value % 97 == 0:
            data += runs[value // 97 % len(runs)]
    return bytes(data[:size])


def provision(kestrane, server):
    kestrane.provision(LOCATION, server.host, server.user, server.password, "")


def connections(calls):
    """The journal's calls, split into one list per start (CeRapiInitEx)."""
    sessions = []
    for call in calls:
        if call == "CeRapiInitEx":
            sessions.append([])
        sessions[-1].append(call)
    return sessions


def test_the_pull_moves_the_data_unchanged_and_the_marker_copies_the_done_file(kestrane, handheld, ftp_server):
    data = every_byte_value(10_000)
    assert b"~" in data and b"\r" in data and b"\n" in data
    kestrane.done_file.write_bytes(DONE_FILE_BYTES)
    handheld.dock(data)
    provision(kestrane, ftp_server)

    result = kestrane.run()

    assert result.exit_code == 0, result.describe()
    assert result.log_lines == COMPLETE_LOG
    assert [box.text for box in result.message_boxes] == [rig.FINISHED_MESSAGE]
    [name] = ftp_server.files()
    # The handheld's bytes, one CR LF after them, made into upload lines.
    assert (ftp_server.root / name).read_bytes() == rig.upload_file_content(name, data + b"\r\n", LOCATION)
    assert not handheld.data_file.exists()
    assert handheld.done_marker.read_bytes() == DONE_FILE_BYTES

    journal = handheld.journal_lines()
    reads = [line for line in journal if line.startswith("CeReadFile ")]
    assert reads == ["CeReadFile 4096 -> ok 4096", "CeReadFile 4096 -> ok 4096",
                     "CeReadFile 4096 -> ok 1808", "CeReadFile 4096 -> ok 0"], journal
    assert "CeDeleteFile %s -> ok" % DEVICE_DATA in journal
    pull, marker = connections(handheld.calls())
    # The file is closed before it is deleted, and deleted before the connection ends.
    assert pull.index("CeCloseHandle") < pull.index("CeDeleteFile") < pull.index("CeRapiUninit"), journal
    assert pull[-1] == "CeRapiUninit"
    # The marker has a connection of its own. It is written under another
    # name and takes its own once it is whole.
    assert "CeWriteFile" in marker and marker[-1] == "CeRapiUninit", journal
    assert "CeCreateFile %s GENERIC_WRITE CREATE_ALWAYS" % DEVICE_UNFINISHED_MARKER in "\n".join(journal)
    assert marker.index("CeWriteFile") < marker.index("CeCloseHandle") < marker.index("CeMoveFile"), journal
    assert "CeMoveFile %s %s -> ok" % (DEVICE_UNFINISHED_MARKER, DEVICE_MARKER) in journal
    assert handheld.files() == ["SyncDone.dat"]


def test_a_marker_already_on_the_handheld_is_kept_unchanged(kestrane, handheld, ftp_server):
    earlier_marker = b"left by the handheld's own software\r\n"
    handheld.dock(SEVERAL_READS)
    handheld.done_marker.write_bytes(earlier_marker)
    provision(kestrane, ftp_server)

    result = kestrane.run()

    assert result.exit_code == 0, result.describe()
    assert result.log_lines == COMPLETE_LOG
    assert handheld.done_marker.read_bytes() == earlier_marker
    assert not any(line.startswith("CeCreateFile %s" % DEVICE_MARKER) for line in handheld.journal_lines())
    assert not handheld.data_file.exists()
    assert server_lines(ftp_server) == pulled_lines(SEVERAL_READS)


def test_a_handheld_docked_after_the_start_is_waited_for_and_the_job_runs_once(kestrane, handheld, ftp_server):
    dock_at_ms = 12_000
    provision(kestrane, ftp_server)
    seen_at_dock = {}

    def dock():
        seen_at_dock["calls"] = handheld.calls()
        seen_at_dock["files"] = working_files(kestrane)
        handheld.dock(SEVERAL_READS)

    result = kestrane.run(at=[(dock_at_ms, dock)])

    assert result.exit_code == 0, result.describe()
    # Until the dock the job waits for the handheld: no start has ended, nothing else is called or written.
    assert seen_at_dock == {"calls": [], "files": []}, result.describe()
    before_dock = {text for t, text in result.log_changes if t < dock_at_ms}
    assert before_dock <= {"\r\n".join(PULL_LOG[:1]), "\r\n".join(PULL_LOG)}, result.describe()
    processing = next(t for t, text in result.log_changes if rig.JOB_LOG_LINES[1] in text)
    assert processing >= dock_at_ms, result.describe()
    assert result.log_lines == COMPLETE_LOG
    assert [box.text for box in result.message_boxes] == [rig.FINISHED_MESSAGE]
    # Once: one pull connection and one marker connection, one upload.
    assert handheld.calls().count("CeRapiInitEx") == 2, handheld.journal_lines()
    assert len(ftp_server.files()) == 1
    assert server_lines(ftp_server) == pulled_lines(SEVERAL_READS)
    assert handheld.done_marker.read_bytes() == kestrane.done_file.read_bytes()


@pytest.mark.parametrize("faults, said", [
    ({"READ_FAIL_AT": 2, "READ_FAIL_CODE": 31}, "Error !!! Reading WinCE file. 31"),
    # The handheld pulled out of the dock: the link fails, and says so.
    ({"UNDOCK_AT": "CeReadFile:2"}, "Error !!! Reading WinCE file. 0x8007048F\r\n\r\n"
                                    "The connection to the handheld failed.\r\n\r\n"
                                    "The handheld was taken out of its dock."),
    # The file is there, but a program on the handheld holds it: ERROR_SHARING_VIOLATION, not "no data".
    ({"CREATE_READ_FAIL": 32}, "Kestrane could not open the data file on the handheld (error 32).\r\n\r\n"
                               "A program on the handheld is using the file."),
], ids=["read-fails", "undocked", "held-by-a-program"])
def test_a_failed_open_or_read_keeps_the_data_on_the_handheld_for_the_next_run(kestrane, handheld, ftp_server,
                                                                                faults, said):
    handheld.dock(SEVERAL_READS)
    provision(kestrane, ftp_server)

    failed = kestrane.run(env=handheld.env(**faults))

    text = single_error(failed)
    assert text.startswith(said), text
    assert "still on the handheld" in text, text
    assert failed.exit_code == 1
    assert failed.log_lines == PULL_LOG
    assert handheld.data_file.read_bytes() == SEVERAL_READS
    assert not handheld.done_marker.exists()
    assert "CeDeleteFile" not in handheld.calls()
    assert working_files(kestrane) == []
    assert ftp_server.commands() == []

    healthy = kestrane.run()

    assert healthy.exit_code == 0, healthy.describe()
    assert not handheld.data_file.exists()
    assert server_lines(ftp_server) == pulled_lines(SEVERAL_READS)
    assert handheld.done_marker.read_bytes() == kestrane.done_file.read_bytes()


def test_a_handheld_that_cannot_be_connected_is_left_alone(kestrane, handheld, ftp_server):
    handheld.dock(SEVERAL_READS)
    provision(kestrane, ftp_server)

    result = kestrane.run(env=handheld.env(INIT_RESULT="0x8007048F"))

    text = single_error(result)
    assert "could not connect to the handheld" in text and "0x8007048F" in text, text
    assert "Nothing was taken from the handheld" in text, text
    assert result.exit_code == 1
    assert result.log_lines == PULL_LOG
    # The failed start is ended, and no file on the handheld is even looked at.
    journal = handheld.journal_lines()
    assert journal[0] == "CeRapiInitEx -> 0x8007048F", journal
    assert set(handheld.calls()) == {"CeRapiInitEx", "CeRapiUninit"} and len(connections(handheld.calls())) == 1, \
        journal
    assert handheld.data_file.read_bytes() == SEVERAL_READS
    assert not handheld.done_marker.exists()
    assert working_files(kestrane) == []
    assert ftp_server.commands() == []


# Why the marker step fails after the upload: the handheld's faults, and what
# the message says. Without a done file, none is written; a handheld taken out
# while its marker is written, or as it takes its name, is left without one.
MARKER_FAILURES = {
    "the done file is missing": ({}, [r"C:\Kestrane\done.txt"]),
    "the handheld is taken out while the marker is written": (
        {"UNDOCK_AT": "CeWriteFile"},
        ["the done marker could not be written to it (error 0x8007048F).",
         "The connection to the handheld failed.", "The handheld was taken out of its dock."]),
    "the handheld is taken out as the marker takes its name": (
        {"UNDOCK_AT": "CeMoveFile"},
        ["the done marker could not be put in place on it (error 0x8007048F).",
         "The connection to the handheld failed."]),
}


@pytest.mark.parametrize("faults, said", MARKER_FAILURES.values(), ids=MARKER_FAILURES.keys())
def test_a_failed_marker_step_stops_after_the_upload_and_the_next_run_gives_the_marker(kestrane, handheld,
                                                                                       ftp_server, faults, said):
    done_file_missing = not faults
    if done_file_missing:
        kestrane.done_file.unlink()
    else:
        kestrane.done_file.write_bytes(DONE_FILE_BYTES)
    handheld.dock(SEVERAL_READS)
    provision(kestrane, ftp_server)

    result = kestrane.run(env=handheld.env(**faults))

    text = single_error(result)
    assert text.startswith("Your data was sent to the server, but the handheld was not told so: "), text
    assert all(words in text for words in said), text
    assert result.exit_code == 1
    assert result.log_lines == COMPLETE_LOG[:-1]
    # The data is on the server, and confirmed: nothing is left to send, but
    # the handheld is owed its marker.
    [name] = ftp_server.files()
    assert server_lines(ftp_server) == pulled_lines(SEVERAL_READS)
    assert working_files(kestrane) == [name, "SyncDone.owed"]
    assert not handheld.data_file.exists()
    # No marker, not even an empty one; a handheld taken out keeps what it had of it.
    assert not handheld.done_marker.exists()
    assert handheld.unfinished_done_marker.exists() == (not done_file_missing)
    if done_file_missing:
        assert not any(line.startswith("CeCreateFile %s" % DEVICE_UNFINISHED_MARKER)
                       for line in handheld.journal_lines())

    # The done file is back, or the handheld docked again: the next run, with
    # no new data, gives the whole marker.
    kestrane.done_file.write_bytes(DONE_FILE_BYTES)
    owed = kestrane.run()

    assert owed.exit_code == 2, owed.describe()
    assert owed.log_lines == COMPLETE_LOG[:3] + [
        "The handheld is owed a done marker by an earlier run", rig.JOB_LOG_LINES[3]]
    assert [(box.text, box.icon) for box in owed.message_boxes] == [(
        "No data was found on the handheld, so there was nothing new to send.\r\n\r\n"
        "The handheld was given the done marker that an earlier run owed it.", "warning")]
    assert handheld.done_marker.read_bytes() == DONE_FILE_BYTES
    assert handheld.files() == ["SyncDone.dat"]
    assert working_files(kestrane) == [name]
    assert ftp_server.files() == [name]


# Where a rapi.dll for the other kind of program may be, and the error that
# loading rapi.dll then gives. The program loads it from its own kind's
# system folder alone, which here lacks the stand-in: one of the other kind
# there is refused (193: not a valid application for this kind of program);
# the other kind's system folder is never looked in (126: not found), and
# the program names the one it saw there. None: there is none.
WRONG_KIND_PLACES = {
    "no rapi.dll": (None, 126),
    "a rapi.dll of the other kind in the program's system folder": ("own system folder", 193),
    "a rapi.dll of the other kind in the other kind's system folder": ("other system folder", 126),
}


@pytest.mark.own_prefix
@pytest.mark.parametrize("place, error", WRONG_KIND_PLACES.values(), ids=WRONG_KIND_PLACES.keys())
def test_without_a_usable_rapi_dll_the_job_stops_before_touching_anything(kestrane, handheld, ftp_server, tmp_path,
                                                                          place, error):
    # The stand-in is taken from the system folder and put where the program
    # must never take it from: beside a copy of the program, and in the
    # working folder.
    bits = rig.BUILD_BITS
    other_bits = 96 - bits
    program_folder = tmp_path / "program"
    program_folder.mkdir()
    shutil.copy(rig.KESTRANE_EXE, program_folder)
    shutil.copy(kestrane.prefix.system_rapi_dll(), program_folder)
    shutil.move(kestrane.prefix.system_rapi_dll(), kestrane.workdir)
    wrong = {
        None: None,
        "own system folder": kestrane.prefix.system_rapi_dll(),
        "other system folder": kestrane.prefix.system_rapi_dll(other_bits),
    }[place]
    if wrong is not None:
        # 64-bit Windows always has both system folders; a prefix where Wine
        # runs no 32-bit programs may lack syswow64.
        wrong.parent.mkdir(exist_ok=True)
        shutil.copy(rig.other_bits_rapi_dll(), wrong)
    handheld.dock(SEVERAL_READS)
    provision(kestrane, ftp_server)

    result = kestrane.run(program=rig.windows_path(program_folder / "kestrane.exe"))

    text = single_error(result)
    assert "could not load the handheld connection library rapi.dll: " in text, text
    assert " (error %d).\r\n" % error in text, text
    assert "Kestrane is a %d-bit program and needs the %d-bit rapi.dll" % (bits, bits) in text, text
    assert "Windows Mobile Device Center on Windows Vista to 11" in text, text
    assert "Windows XP" not in text, "Kestrane does not run on Windows XP: " + text
    refused = "The rapi.dll in the system folder is not for %d-bit programs." % bits
    assert (refused in text) == (place == "own system folder"), text
    seen = r"C:\windows\%s\rapi.dll" % rig.SYSTEM_FOLDERS[other_bits]
    wrong_kind = "%s is for %d-bit programs, so Kestrane cannot use it." % (seen, other_bits)
    assert (wrong_kind.lower() in text.lower()) == (place == "other system folder"), text
    assert "Nothing was taken from the handheld" in text, text
    assert result.exit_code == 1
    assert handheld.calls() == []
    assert handheld.data_file.read_bytes() == SEVERAL_READS
    assert not handheld.done_marker.exists()
    assert working_files(kestrane) == ["rapi.dll"]
    assert ftp_server.commands() == []
