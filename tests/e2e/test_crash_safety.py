"""Exactly once across kills, end to end: kestrane.exe under Wine is
terminated at each boundary of its job, as a power cut would end it, then run
again with the handheld docked again and a working server. Every record must
reach the server exactly once, nothing may stay pending, and after the second
run the handheld holds its done marker: the second run gives it even without
new data, when the first took data from the handheld and never gave it.

The program cannot pass the boundary before the kill lands, so no scenario
depends on how fast the rig reacts. At most boundaries the program is held
there, and killed once the rig sees it held: the stand-in handheld journals
"HANG Function" and blocks in that call for good (KESTRANE_HANDHELD_HANG_AT),
or the server has the connection or part or all of an upload and never
answers (then only the program's own 60 s limits would end the wait). Inside
the build, where nothing outside the program takes part, the program may
write no file past a size between those of the staging file and the upload
file: the system ends it in the write that reaches it. Each scenario first
checks that the kill left what that boundary leaves, so that it tests the
boundary it names.

The handheld keeps its folder between the runs. In some scenarios it gathers
new records before the second run (added to its data file, or in a new one
when the old one was taken), in others it has none.
"""

from dataclasses import dataclass

import pytest

import delivery
import rig
from delivery import Records
from scenario import LOCK_FILE, run_log


def staging_bytes(records):
    """The size of the staging file the pull makes of this many records."""
    return records * delivery.RECORD_BYTES + len(b"\r\n")


def only_upload(bench):
    uploads = delivery.upload_names(bench)
    return uploads[0] if len(uploads) == 1 else None


def upload_being_built(bench):
    """The name of the upload file in the working folder, finished or not;
    None unless there is exactly one."""
    names = {name[:name.index(delivery.UPLOAD_SUFFIX) + len(delivery.UPLOAD_SUFFIX)]
             for name in delivery.working_files(bench) if delivery.UPLOAD_SUFFIX in name}
    return names.pop() if len(names) == 1 else None


def upload_sizes(bench, server):
    """(bytes on the server, bytes of the whole file) for the first run's
    upload file; (None, None) while there is none."""
    name = only_upload(bench)
    if name is None or not delivery.remote_file(server, name).exists():
        return None, None
    return delivery.remote_file(server, name).stat().st_size, (bench.workdir / name).stat().st_size


def handheld_hangs(bench, server):
    return any(line.startswith("HANG ") for line in bench.handheld.journal_lines())


def connecting(bench, server):
    return delivery.connections(server) > 0


def part_uploaded(bench, server):
    held, whole = upload_sizes(bench, server)
    return held is not None and 0 < held < whole


def all_uploaded(bench, server):
    held, whole = upload_sizes(bench, server)
    return held is not None and held == whole


@dataclass(frozen=True)
class Boundary:
    # The first run: the records on the handheld, the server's fault mode,
    # KESTRANE_HANDHELD_HANG_AT (or None), and what ends it: the rig kills the
    # program once kill_when(bench, server) becomes true; without kill_when,
    # the system ends it in the write that takes a file past cut_at_bytes.
    kill_when: object
    records: int = 600
    fault: str = "none"
    hang_at: object = None
    cut_at_bytes: int = None
    # What the kill leaves: the working folder (NAME stands for the upload
    # file), whether the handheld still holds its data file, and how much of
    # the upload file the server holds: "none", "part" or "all".
    left: tuple = ()
    device_file_left: bool = False
    uploaded: str = "none"
    # The second run: whether the handheld has gathered new records, and what
    # the run does with the first run's records: "builds" their upload file,
    # "sends again" the one the first run built, "finds" that one on the
    # server, or "leaves" it, confirmed.
    new_records: bool = False
    second_run: str = "builds"


BOUNDARIES = {
    "while the handheld's file is copied": Boundary(
        handheld_hangs, hang_at="CeReadFile:2",
        left=("Infile.pull",), device_file_left=True),
    "before the handheld's file is deleted": Boundary(
        handheld_hangs, hang_at="CeDeleteFile",
        left=("Infile.pulled", "SyncDone.owed"), device_file_left=True,
        new_records=True),
    "after the handheld's file is deleted": Boundary(
        handheld_hangs, hang_at="CeRapiUninit:1",
        left=("Infile.pulled", "SyncDone.owed"),
        new_records=True),
    # The pull writes the staging file whole; the upload file, which carries
    # each record's "~" as the four-character location code, is cut part way.
    "while the upload file is built": Boundary(
        kill_when=None, records=20_000, cut_at_bytes=staging_bytes(20_000) + 20_000,
        left=("Infile.txt", "NAME.tmp", "SyncDone.owed")),
    # The server never answers: the kill comes while the job connects.
    "after the upload file is built": Boundary(
        connecting, fault="no-banner",
        left=("NAME", "NAME.pending", "SyncDone.owed"),
        new_records=True, second_run="sends again"),
    # An upload file far larger than the part the server takes.
    "while the upload file is sent": Boundary(
        part_uploaded, records=20_000, fault="hang-upload",
        left=("NAME", "NAME.pending", "SyncDone.owed"), uploaded="part",
        second_run="sends again"),
    # The size check that would confirm the upload never answers.
    "after the upload, before it is confirmed": Boundary(
        all_uploaded, fault="hang-check",
        left=("NAME", "NAME.pending", "SyncDone.owed"), uploaded="all",
        second_run="finds"),
    "before the done marker is written": Boundary(
        handheld_hangs, hang_at="CeRapiInitEx:2",
        left=("NAME", "SyncDone.owed"), uploaded="all",
        new_records=True, second_run="leaves"),
    # The marker is created empty, and its bytes never come.
    "while the done marker is written": Boundary(
        handheld_hangs, hang_at="CeWriteFile",
        left=("NAME", "SyncDone.owed"), uploaded="all",
        second_run="leaves"),
    "as the done marker takes its name": Boundary(
        handheld_hangs, hang_at="CeMoveFile",
        left=("NAME", "SyncDone.owed"), uploaded="all",
        second_run="leaves"),
}


@pytest.mark.parametrize("name", list(BOUNDARIES))
def test_every_record_reaches_the_server_once_when_the_program_is_killed(name, kestrane, handheld,
                                                                         start_ftp_server):
    boundary = BOUNDARIES[name]
    first_server = delivery.start_server(start_ftp_server, boundary.fault)
    delivery.provision(kestrane, first_server.host)
    first = Records("first", boundary.records)
    delivery.gather(handheld, first)
    faults = {"KESTRANE_HANDHELD_HANG_AT": boundary.hang_at} if boundary.hang_at else {}

    if boundary.kill_when is None:
        killed = delivery.run(kestrane, 0, env=faults, file_size_limit=boundary.cut_at_bytes)
        assert killed.killed is None, killed.describe()
    else:
        killed = delivery.run(kestrane, 0, env=faults,
                              kill_when=lambda: boundary.kill_when(kestrane, first_server))
        assert killed.killed == "file", killed.describe()
    upload = upload_being_built(kestrane)
    left = [entry.replace("NAME", upload or "NAME") for entry in boundary.left]
    assert delivery.working_files(kestrane) == sorted(left), "the kill missed its boundary"
    if boundary.cut_at_bytes is not None:
        cut = (kestrane.workdir / (upload + ".tmp")).stat().st_size
        assert cut == boundary.cut_at_bytes, "ended before the size limit, at %d bytes" % cut
    assert handheld.data_file.exists() == boundary.device_file_left
    if boundary.device_file_left:
        assert handheld.data_file.read_bytes() == first.data
    held, whole = upload_sizes(kestrane, first_server)
    assert {"none": held is None, "part": held is not None and 0 < held < whole,
            "all": held is not None and held == whole}[boundary.uploaded], (held, whole)
    assert not handheld.done_marker.exists()

    # Docked again, with or without new records; the server works again, on the same files.
    batches = [first]
    if boundary.new_records:
        batches.append(Records("second", 300))
        delivery.gather(handheld, batches[-1])
    server = delivery.start_server(start_ftp_server, root=first_server.root)
    delivery.provision(kestrane, server.host)

    second = delivery.run(kestrane, 1)

    assert second.killed is None, second.describe()
    problems = delivery.exactly_once_problems(server, *batches)
    assert not problems, problems
    assert delivery.leftovers(kestrane) == []
    assert not handheld.data_file.exists()
    if boundary.second_run == "sends again":
        assert "Sending earlier file %s ..." % upload in second.log_lines, second.log
        assert delivery.stored_names(server)[:1] == [upload], "the earlier file goes first"
    elif boundary.second_run in ("finds", "leaves"):
        assert upload not in delivery.stored_names(server), "a file the server holds whole is not sent again"
    if boundary.second_run == "finds":
        assert "%s was already on the server" % upload in second.log_lines, second.log
    assert handheld.done_marker.read_bytes() == kestrane.done_file.read_bytes()
    assert handheld.files() == ["SyncDone.dat"], "a whole marker, and nothing else"
    # With data to finish, the second run builds an upload file of its own.
    if boundary.new_records or boundary.second_run == "builds":
        assert second.exit_code == 0, second.describe()
        assert [box.text for box in second.message_boxes] == [rig.FINISHED_MESSAGE]
    else:
        assert second.exit_code == 2, second.describe()
        assert [box.icon for box in second.message_boxes] == ["warning"], second.describe()
        assert delivery.OWED_MARKER_LOG_LINE in second.log_lines, second.log


# Windows ends the session (a sign-out or a shutdown the user insists on)
# while Kestrane runs. While data moves, Kestrane asks Windows to wait; at
# other moments it lets the session end. Either way it ends itself with
# status 1 and a complete run log, and the next run delivers. (The fault of
# the first server; whether the handheld is docked; the log line at which
# the session ends; whether Kestrane lets it end; the working files left.)
SESSION_ENDS = {
    "while the job waits for the handheld": ("none", False, rig.JOB_LOG_LINES[0], True, []),
    "while the job sends the data": ("hang-upload", True, rig.JOB_LOG_LINES[2], False,
                                     ["NAME", "NAME.pending", delivery.DONE_MARKER_OWED]),
}


@pytest.mark.parametrize("fault, docked, moment, lets_it_end, left", SESSION_ENDS.values(), ids=SESSION_ENDS.keys())
def test_when_the_windows_session_ends_the_run_ends_recorded_and_the_next_delivers(
        kestrane, handheld, start_ftp_server, fault, docked, moment, lets_it_end, left):
    first_server = delivery.start_server(start_ftp_server, fault)
    delivery.provision(kestrane, first_server.host)
    first = Records("first", 3000)
    if docked:
        delivery.gather(handheld, first)

    ended = delivery.run(kestrane, 0, end_session_when_logged=moment)

    assert ended.first("query_end_session")["answer"] is lets_it_end, ended.describe()
    assert ended.killed is None and ended.exit_code == 1, ended.describe()
    assert ended.message_boxes == [], "the session is gone: nobody could read a message"
    [run] = run_log(kestrane)
    assert run[-2].startswith("The Windows session ended while Kestrane ran (the user signed out)"), run
    assert run[-1] == "Ended with exit status 1: the job failed", run
    asked_to_wait = [line for line in run if line.startswith("Windows asked to end the session")]
    assert bool(asked_to_wait) is not lets_it_end, run
    upload = only_upload(kestrane)
    assert delivery.working_files(kestrane) == sorted(entry.replace("NAME", upload or "NAME") for entry in left)
    assert not (kestrane.workdir / LOCK_FILE).exists()

    if not docked:
        delivery.gather(handheld, first)
    server = delivery.start_server(start_ftp_server, root=first_server.root)
    delivery.provision(kestrane, server.host)

    second = delivery.run(kestrane, 1)

    assert second.killed is None, second.describe()
    problems = delivery.exactly_once_problems(server, first)
    assert not problems, problems
    assert delivery.leftovers(kestrane) == []
    assert handheld.done_marker.read_bytes() == kestrane.done_file.read_bytes()


def test_a_second_copy_started_in_the_same_folder_touches_nothing(kestrane, handheld, start_ftp_server):
    server = delivery.start_server(start_ftp_server)
    delivery.provision(kestrane, server.host)
    # A power cut left the lock file of an earlier run: no copy holds it.
    (kestrane.workdir / "kestrane.lock").write_bytes(b"")
    records = Records("once", 2000)
    second = []

    def start_a_second_copy():
        # The handheld is docked once the second copy has ended or, were it
        # not kept out, waits for it too.
        second.append(delivery.run(kestrane, 0, when=[(
            lambda events: events[-1]["event"] == "exit" or any(
                event["event"] == "log" and rig.JOB_LOG_LINES[0] in event["text"] for event in events),
            lambda: delivery.gather(handheld, records))]))

    def waits_for_the_handheld(events):
        return any(event["event"] == "log" and rig.JOB_LOG_LINES[0] in event["text"] for event in events)

    first = delivery.run(kestrane, 0, when=[(waits_for_the_handheld, start_a_second_copy)])

    [refused] = second
    assert [(box.title, box.icon) for box in refused.message_boxes] == [(rig.PROGRAM_TITLE, "error")], \
        refused.describe()
    assert refused.message_boxes[0].text.startswith(
        "Kestrane is already running in the folder %s: " % rig.windows_path(kestrane.workdir)), refused.describe()
    assert refused.exit_code == 1 and refused.windows == [], refused.describe()
    assert first.exit_code == 0, first.describe()
    assert [box.text for box in first.message_boxes] == [rig.FINISHED_MESSAGE]
    problems = delivery.exactly_once_problems(server, records)
    assert not problems, problems
    assert delivery.working_files(kestrane) == delivery.upload_names(kestrane), "a half-done file left"
    assert not (kestrane.workdir / LOCK_FILE).exists()
    # Only the copy that ran has a record in the run log.
    assert len(run_log(kestrane)) == 1
