"""The whole job end to end: from the docked handheld to the server and the
done marker, in the real kestrane.exe under Wine, against a real FTP server.

Every failure scenario checks the one safety property: the data is in at
least one place (the handheld, the working folder or the server), no done
marker is left, one error message titled "Kestrane" says what failed, and
the exit status is not 0. Where the next run is meant to finish the
delivery, it runs, and the server ends up with every record exactly once.
"""

import datetime
import re
import shutil
import subprocess
import time

import pytest

import rig
from scenario import (COMPLETE_LOG, LOCATION, PULL_LOG, pulled_lines, records, run_log, server_lines, single_error,
                      working_files)

REMOTE_FOLDER = "in/"

NO_DATA_LOG = [rig.FIRST_LOG_LINE] + rig.JOB_LOG_LINES[:2]
NO_DATA_MESSAGE = "No data was found on the handheld, so there was nothing new to send."

# The working folder of the "disk full" case, and handheld data it cannot hold.
TINY_DISK_BYTES = 64 * 1024
# When a minute is this far along, a run started now begins its job in the
# same minute, close enough to its end that waiting for the next is short.
COLLISION_START_SECONDS = (40, 45)


DATA = records(400)
# A run log grown to its limit by earlier runs.
FULL_RUN_LOG = b"2026-12-01 08:00:00  an earlier run\r\n" * (1024 * 1024 // 37)
TOO_BIG_FOR_THE_TINY_DISK = records(20_000)
assert len(TOO_BIG_FOR_THE_TINY_DISK) > 4 * TINY_DISK_BYTES


def provision(kestrane, server):
    kestrane.provision(LOCATION, server.host, server.user, server.password, REMOTE_FOLDER)
    (server.root / REMOTE_FOLDER).mkdir(exist_ok=True)


def minute_names(before, after):
    """The upload file names a job that ran between the two local times may have chosen."""
    names = set()
    minute = before.replace(second=0, microsecond=0)
    while minute <= after:
        names.add(rig.upload_file_name(minute, LOCATION))
        minute += datetime.timedelta(minutes=1)
    return names


def test_the_complete_job_delivers_the_upload_file_and_marks_the_handheld(kestrane, handheld, ftp_server):
    handheld.dock(DATA)
    provision(kestrane, ftp_server)
    (kestrane.workdir / "kestrane.log").write_bytes(FULL_RUN_LOG)

    before = datetime.datetime.now()
    result = kestrane.run()
    after = datetime.datetime.now()

    assert result.exit_code == 0, result.describe()
    assert result.log_lines == COMPLETE_LOG
    assert [(box.title, box.text, box.icon) for box in result.message_boxes] == [
        (rig.PROGRAM_TITLE, rig.FINISHED_MESSAGE, "information")]
    # The upload file stays as the location's archive; nothing else is left.
    [name] = working_files(kestrane)
    assert name in minute_names(before, after)
    local = (kestrane.workdir / name).read_bytes()
    assert local == rig.upload_file_content(name, DATA + b"\r\n", LOCATION)
    # In the remote folder, byte for byte.
    assert ftp_server.files() == [REMOTE_FOLDER + name]
    assert (ftp_server.root / REMOTE_FOLDER / name).read_bytes() == local
    assert not handheld.data_file.exists()
    assert handheld.done_marker.read_bytes() == kestrane.done_file.read_bytes()
    # The run log tells support the same, with the bytes each step moved; an
    # earlier log past its limit was moved aside first, whole.
    assert (kestrane.workdir / "kestrane.log.1").read_bytes() == FULL_RUN_LOG
    [run] = run_log(kestrane)
    # Wine does not implement ShutdownBlockReasonCreate: the run records that once, and goes on.
    refused = [line for line in run if line.startswith("Windows did not take the reason why Kestrane holds up")]
    assert len(refused) <= 1, run
    run = [line for line in run if line not in refused]
    size = len(local)
    window = [r"Window: %s" % re.escape(line) for line in rig.JOB_LOG_LINES]
    expected = [
        r"Kestrane \d+\.\d+\.\d+ started in %s" % re.escape(rig.windows_path(kestrane.workdir)),
        r'Location 0042, FTP server %s, remote folder "in/"' % re.escape(ftp_server.host),
        window[0],
        r"Took %d bytes from the handheld in \d+\.\d s, the wait for it included" % len(DATA),
        window[1],
        r"Built %s: %d bytes in \d+\.\d s" % (name, size),
        window[2],
        r"Connected and logged in to %s in \d+\.\d s" % re.escape(ftp_server.host),
        r"Sent {0} to in/{0}: {1} bytes in \d+\.\d s, confirmed by the server".format(name, size),
        window[3],
        r"Wrote the done marker to the handheld in \d+\.\d s",
        window[4],
        r"Message \(information\):",
        re.escape(rig.FINISHED_MESSAGE),
        r"Ended with exit status 0: the job was completed",
    ]
    assert len(run) == len(expected) and all(map(re.fullmatch, expected, run)), "\n".join(run)
    assert ftp_server.password not in "\n".join(run)


def test_without_data_on_the_handheld_the_job_warns_and_sends_nothing(kestrane, handheld, ftp_server):
    handheld.dock()
    provision(kestrane, ftp_server)

    result = kestrane.run()

    assert [(box.title, box.text, box.icon) for box in result.message_boxes] == [
        (rig.PROGRAM_TITLE, NO_DATA_MESSAGE, "warning")], result.describe()
    assert result.exit_code == 2
    assert result.log_lines == NO_DATA_LOG
    assert ftp_server.commands() == []
    assert not handheld.done_marker.exists()
    assert working_files(kestrane) == []


def test_without_data_on_the_handheld_an_earlier_unsent_file_is_still_sent_and_a_gone_one_reported_once(
        kestrane, handheld, ftp_server):
    earlier = rig.upload_file_name(datetime.datetime(2025, 1, 31, 8, 5), LOCATION)
    earlier_content = rig.upload_file_content(earlier, records(5, "earlier") + b"\r\n", LOCATION)
    (kestrane.workdir / earlier).write_bytes(earlier_content)
    (kestrane.workdir / (earlier + ".pending")).write_bytes(b"")
    # Waiting to be sent, but cleared away: it must not keep the others from going.
    gone = rig.upload_file_name(datetime.datetime(2025, 1, 30, 8, 5), LOCATION)
    (kestrane.workdir / (gone + ".pending")).write_bytes(b"")
    handheld.dock()
    provision(kestrane, ftp_server)

    result = kestrane.run()

    assert [(box.title, box.icon) for box in result.message_boxes] == [(rig.PROGRAM_TITLE, "warning")] * 2, \
        result.describe()
    gone_notice, no_data = (box.text for box in result.message_boxes)
    assert gone_notice == (
        "The upload file %s was waiting to be sent, but is no longer in the working folder, so Kestrane cannot "
        "send it and no longer waits for it. Tell support." % gone)
    assert no_data.startswith(NO_DATA_MESSAGE) and earlier in no_data and gone not in no_data, no_data
    assert result.exit_code == 2
    assert result.log_lines == NO_DATA_LOG + [rig.JOB_LOG_LINES[2], "Sending earlier file %s ..." % earlier]
    assert (ftp_server.root / REMOTE_FOLDER / earlier).read_bytes() == earlier_content
    assert ftp_server.files() == [REMOTE_FOLDER + earlier]
    # The gone file's marker is retired, so no later run reports it again.
    assert working_files(kestrane) == [earlier]
    assert not handheld.done_marker.exists()


def mount_working_folder(kestrane, request, options):
    """Mounts a tmpfs over the (empty) working folder. Returns a function
    that takes it away again; the test's end does so too."""
    mount = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(kestrane.workdir)],
                           capture_output=True, text=True)
    if mount.returncode != 0:
        pytest.skip("a tmpfs cannot be mounted here (%s), so this case cannot be made" % mount.stderr.strip())
    mounted = [True]

    def unmount():
        if mounted[0]:
            subprocess.run(["umount", str(kestrane.workdir)], check=True)
            mounted[0] = False

    request.addfinalizer(unmount)
    return unmount


def directory_in_the_way(kestrane, request):
    """A directory named like the file the pull writes: that name cannot be
    made a file, and Windows answers "access denied"."""
    (kestrane.workdir / "Infile.pull").mkdir()
    return lambda: (kestrane.workdir / "Infile.pull").rmdir()


def read_only_folder(kestrane, request):
    return mount_working_folder(kestrane, request, "ro,size=%d" % TINY_DISK_BYTES)


def disk_too_small(kestrane, request):
    return mount_working_folder(kestrane, request, "size=%d" % TINY_DISK_BYTES)


# (A read-only working folder is refused before the handheld is touched: see
# the unfit working folders below.)
@pytest.mark.parametrize("obstacle, left_behind", [
    (directory_in_the_way, ["Infile.pull"]),
    (disk_too_small, []),
], ids=["no-permission", "disk-full"])
def test_data_that_cannot_be_saved_on_the_pc_stays_on_the_handheld(kestrane, handheld, ftp_server, request,
                                                                   obstacle, left_behind):
    data = TOO_BIG_FOR_THE_TINY_DISK
    handheld.dock(data)
    provision(kestrane, ftp_server)
    remove_obstacle = obstacle(kestrane, request)

    failed = kestrane.run()

    text = single_error(failed)
    assert "Infile.pull" in text, text
    assert "still on the handheld" in text, "the report must say where the data is:\n" + text
    assert failed.exit_code == 1
    # No step after the pull. "Access denied" may be another program's brief
    # hold on the file, which is waited for, as the log says.
    steps = [line for line in failed.log_lines if not line.startswith("Waiting for ")]
    assert steps in (PULL_LOG[:1], PULL_LOG), failed.describe()
    # Checked before anything on the handheld was deleted.
    assert handheld.data_file.read_bytes() == data
    assert "CeDeleteFile" not in handheld.calls(), handheld.journal_lines()
    assert not handheld.done_marker.exists()
    assert working_files(kestrane) == left_behind
    assert ftp_server.commands() == []

    remove_obstacle()
    healthy = kestrane.run()

    assert healthy.exit_code == 0, healthy.describe()
    assert server_lines(ftp_server) == pulled_lines(data)
    assert not handheld.data_file.exists()
    assert handheld.done_marker.exists()


def the_programs_own_folder(kestrane, request):
    """A copy of the program started in its own folder, as a double-click in
    Program Files starts it."""
    folder = kestrane.folder / "program"
    folder.mkdir()
    shutil.copy(rig.KESTRANE_EXE, folder)
    return folder, dict(program=rig.windows_path(folder / "kestrane.exe"), cwd=rig.windows_path(folder))


def a_read_only_folder(kestrane, request):
    read_only_folder(kestrane, request)
    return kestrane.workdir, {}


# Working folders Kestrane must not work in, and what it says of each.
UNFIT_FOLDERS = {
    "its own folder": (the_programs_own_folder, "it is the folder of the program itself"),
    "a read-only folder": (a_read_only_folder, "Kestrane cannot write there"),
}


@pytest.mark.parametrize("unfit, reason", UNFIT_FOLDERS.values(), ids=UNFIT_FOLDERS.keys())
def test_an_unfit_working_folder_is_refused_before_the_handheld_is_touched(kestrane, handheld, ftp_server,
                                                                          request, unfit, reason):
    handheld.dock(DATA)
    provision(kestrane, ftp_server)
    folder, options = unfit(kestrane, request)
    before = sorted(path.name for path in folder.iterdir())

    result = kestrane.run(**options)

    text = single_error(result)
    assert "cannot work in the folder it was started in, %s: %s" % (rig.windows_path(folder), reason) in text, text
    assert "shortcut \"Kestrane\" in the Start menu" in text and "data folder C:\\Kestrane." in text, text
    assert "Nothing was taken from the handheld" in text, text
    assert result.exit_code == 1
    assert result.windows == []
    assert handheld.calls() == []
    assert handheld.data_file.read_bytes() == DATA
    assert sorted(path.name for path in folder.iterdir()) == before
    assert ftp_server.commands() == []


def staged_data_held_for_a_moment(kestrane):
    """Data an earlier run staged, which an antivirus scanner, say, holds open,
    sharing nothing, when the job adds the handheld's data to it: the job
    waits, and goes on once it is let go."""
    earlier = records(5, "earlier")
    staged = kestrane.workdir / "Infile.txt"
    staged.write_bytes(earlier)
    waiting = "Waiting for Infile.txt, which is in use or locked ..."
    return (dict(hold=staged, release_when_logged=waiting), COMPLETE_LOG[:2] + [waiting] + COMPLETE_LOG[2:],
            rig.upload_lines(earlier, LOCATION) + pulled_lines(DATA))


def earlier_upload_open_in_an_editor(kestrane):
    """An earlier upload file still to be sent, which someone has open in an
    editor for the whole run: it is read and sent all the same."""
    earlier = rig.upload_file_name(datetime.datetime(2025, 1, 31, 8, 5), LOCATION)
    earlier_data = records(5, "earlier") + b"\r\n"
    (kestrane.workdir / earlier).write_bytes(rig.upload_file_content(earlier, earlier_data, LOCATION))
    (kestrane.workdir / (earlier + ".pending")).write_bytes(b"")
    return (dict(hold=kestrane.workdir / earlier, hold_as_editor=True, release_when_logged=COMPLETE_LOG[-1]),
            COMPLETE_LOG[:4] + ["Sending earlier file %s ..." % earlier] + COMPLETE_LOG[4:],
            rig.upload_lines(earlier_data, LOCATION) + pulled_lines(DATA))


HELD_FILES = {
    "staged data held for a moment": staged_data_held_for_a_moment,
    "earlier upload open in an editor": earlier_upload_open_in_an_editor,
}


@pytest.mark.parametrize("held_file", HELD_FILES.values(), ids=HELD_FILES.keys())
def test_a_file_another_program_holds_is_waited_for_or_shared(kestrane, handheld, ftp_server, held_file):
    handheld.dock(DATA)
    provision(kestrane, ftp_server)
    hold, expected_log, expected_server_lines = held_file(kestrane)

    result = kestrane.run(**hold)

    assert result.exit_code == 0, result.describe()
    assert result.log_lines == expected_log
    # Held from before the start until the log said what the case waits for.
    released = result.first("released")
    assert result.first("holding") is not None and released is not None, result.describe()
    assert result.log_at(released["t"]).endswith(hold["release_when_logged"]), result.describe()
    assert [box.text for box in result.message_boxes] == [rig.FINISHED_MESSAGE]
    assert server_lines(ftp_server) == expected_server_lines
    assert working_files(kestrane) == [name.split("/")[-1] for name in ftp_server.files()]
    assert not handheld.data_file.exists()


def wait_for_the_end_of_a_minute():
    """Returns once the local clock is between COLLISION_START_SECONDS into a minute."""
    first, last = COLLISION_START_SECONDS
    while True:
        now = datetime.datetime.now()
        seconds = now.second + now.microsecond / 1e6
        if first <= seconds < last:
            return now
        time.sleep(min(1.0, (first - seconds) % 60))


@pytest.mark.minute_long
@pytest.mark.parametrize("earlier_pending", [False, True], ids=["earlier-sent", "earlier-pending"])
def test_an_upload_name_already_taken_waits_for_the_next_minute(kestrane, handheld, ftp_server,
                                                                earlier_pending):
    handheld.dock(DATA)
    provision(kestrane, ftp_server)
    earlier_data = records(5, "earlier")

    now = wait_for_the_end_of_a_minute()
    taken = rig.upload_file_name(now, LOCATION)
    next_minute = rig.upload_file_name(now.replace(second=0) + datetime.timedelta(minutes=1), LOCATION)
    earlier_content = rig.upload_file_content(taken, earlier_data + b"\r\n", LOCATION)
    (kestrane.workdir / taken).write_bytes(earlier_content)
    if earlier_pending:
        (kestrane.workdir / (taken + ".pending")).write_bytes(b"")
    result = kestrane.run()

    assert result.exit_code == 0, result.describe()
    sending_earlier = ["Sending earlier file %s ..." % taken] if earlier_pending else []
    assert result.log_lines == (
        COMPLETE_LOG[:3] + ["Waiting for the next minute: %s already exists ..." % taken, rig.JOB_LOG_LINES[2]]
        + sending_earlier + rig.JOB_LOG_LINES[3:]), \
        "the job was to begin in the minute of %s:\n%s" % (taken, result.describe())
    assert [box.text for box in result.message_boxes] == [rig.FINISHED_MESSAGE]
    assert working_files(kestrane) == [taken, next_minute]
    assert (kestrane.workdir / taken).read_bytes() == earlier_content
    new_content = rig.upload_file_content(next_minute, DATA + b"\r\n", LOCATION)
    assert (kestrane.workdir / next_minute).read_bytes() == new_content
    remote = ftp_server.root / REMOTE_FOLDER
    if earlier_pending:
        assert ftp_server.files() == [REMOTE_FOLDER + taken, REMOTE_FOLDER + next_minute]
        assert (remote / taken).read_bytes() == earlier_content
        # The earlier file is sent first.
        stored = [line for line in ftp_server.commands() if line.startswith("STOR")]
        assert [line.rsplit("/", 1)[-1] for line in stored] == [taken, next_minute], ftp_server.commands()
    else:
        assert ftp_server.files() == [REMOTE_FOLDER + next_minute]
    assert (remote / next_minute).read_bytes() == new_content
    assert handheld.done_marker.exists()
