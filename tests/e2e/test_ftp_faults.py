"""Delivery to FTP servers that fail, end to end: kestrane.exe under Wine
against ftp_server.py in its fault modes, or against a port where nothing
listens.

A failed upload stops the job with one error message that names the server,
the reason (with the server's reply when there was one) and the upload file
that is kept; the file and its .pending marker stay in the working folder,
the handheld gets no done marker and is not declared safe to remove. The next
run, against a working server, sends the kept file before anything new, and
the server ends up with every record exactly once; the handheld then gets
the done marker it is owed, with new data or without.

A failure that a fresh connection may get past (a 4xx reply, a connection
that broke off or timed out) is tried again after a wait of seconds. Here
the user closes the window during the first wait, which ends the run as
above; the retries' schedule and budget are tested natively, on a fake
clock, and one scenario waits through a real retry.
"""

import re
import socket
from dataclasses import dataclass

import pytest

import delivery
import rig
from delivery import Records
from scenario import run_log

# The connect limit, and the tolerance around it: Wine's WinINet gives up on
# a silent server by itself after about as long.
CONNECT_LIMIT_MS = 60_000
CONNECT_LIMIT_EARLY_MS = 5_000
CONNECT_LIMIT_LATE_MS = 15_000


# What the log box says while the job waits to try again.
RETRY_ANNOUNCED = ". Trying again in "

# The slow server takes at least this long for the slow scenario's upload file.
SLOW_UPLOAD_AT_LEAST_MS = 5_000


def closed_port_host():
    """host:port on 127.0.0.1 where nothing listens."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return "127.0.0.1:%d" % probe.getsockname()[1]


@dataclass(frozen=True)
class Fault:
    mode: object  # ftp_server.py's fault mode; None: nothing listens
    # The reason the message gives, a regular expression in which {path} is
    # the upload's remote path and {host} the server's host:port.
    reason: str
    # The server's reply the message quotes (a regular expression), or None
    # when the server sent none.
    reply: object
    # Whether the handheld has gathered new records before the next run.
    new_records: bool
    # The server never answers: the job gives up after the connect limit.
    silent: bool = False
    # The job would try again; the window is closed while it waits.
    retried: bool = False


FAULTS = {
    "login refused": Fault("login-530", r"the server refused the login", r"530 Login incorrect\.", True),
    "login refused, the reply repeating the password": Fault(
        "login-echo", r"the server refused the login", r"500 'PASS \*+': command not understood\.", False),
    "store refused": Fault("stor-550", r"the server refused to store {path}", r"550 .+", True),
    "store over quota": Fault("stor-552", r"the server did not accept {path}", r"552 .+", False),
    "data connection cut": Fault(
        "cut-data-426", r"the transfer of {path} broke off: .+|the server did not accept {path}",
        r"426 .+", True, retried=True),
    "both connections dropped": Fault(
        "drop-all", r"the transfer of {path} broke off: .+|the server did not confirm {path}: .+", None, False,
        retried=True),
    "no banner ever": Fault(
        "no-banner",
        r"no FTP server answered at {host}|no answer within 60 seconds while connecting and logging in",
        None, True, silent=True, retried=True),
    "short file stored": Fault("short-store", r"the server holds (?P<held>\d+) of the file's (?P<size>\d+) bytes",
                               None, False),
    "nothing listening": Fault(None, r"the connection was refused \(error \d+\)", None, True),
}


@pytest.mark.parametrize("name", [pytest.param(name, marks=pytest.mark.minute_long) if fault.silent else name
                                  for name, fault in FAULTS.items()])
def test_a_failed_upload_is_kept_and_sent_first_by_the_next_run(name, kestrane, handheld, start_ftp_server):
    fault = FAULTS[name]
    broken = None
    if fault.mode is None:
        host = closed_port_host()
    else:
        broken = delivery.start_server(start_ftp_server, fault.mode)
        host = broken.host
    delivery.provision(kestrane, host)
    # Several handheld reads, and an upload file well past the point where
    # the cutting faults break a transfer off.
    first = Records("first", 4000)
    delivery.gather(handheld, first)

    failed = delivery.run(kestrane, 0, close_when_logged=RETRY_ANNOUNCED if fault.retried else None)

    uploads = delivery.upload_names(kestrane)
    assert len(uploads) == 1, delivery.working_files(kestrane)
    kept = uploads[0]
    assert failed.killed is None and failed.exit_code == 1, failed.describe()
    assert len(failed.message_boxes) == 1, failed.describe()
    box = failed.message_boxes[0]
    assert (box.title, box.icon) == (rig.PROGRAM_TITLE, "error")
    reason = fault.reason.format(path=re.escape(delivery.REMOTE_FOLDER + kept), host=re.escape(host))
    if fault.retried:
        # The log box says why the job waits, in the server's words.
        waiting = next(line for line in failed.log_lines if RETRY_ANNOUNCED in line)
        assert re.fullmatch(r"Could not send %s: (?:%s)%s\. Trying again in \d+\.\d s \.\.\." % (
            re.escape(kept), reason, r" \(%s\)" % fault.reply if fault.reply else ""), waiting), failed.log
        expected = r"Kestrane stopped because its window was closed while it was sending %s to the FTP server " \
                   r"%s\." % (re.escape(kept), re.escape(host))
    else:
        expected = r"Kestrane could not send %s to the FTP server %s: (?:%s)\." % (
            re.escape(kept), re.escape(host), reason)
        if fault.reply is not None:
            expected += r"\r\nThe server replied: %s" % fault.reply
        assert failed.log_lines[-1] == "FTP file ...", failed.log
    expected += r"\r\n\r\nThe upload file %s is kept in the working folder" % re.escape(kept)
    said = re.match(expected, box.text)
    assert said, "%r does not match %r" % (box.text, expected)
    if fault.reply is None:
        assert "The server replied" not in box.text
    if "size" in said.groupdict():
        size = (kestrane.workdir / kept).stat().st_size
        assert (int(said["held"]), int(said["size"])) == (size // 2, size), box.text
        assert delivery.remote_file(broken, kept).stat().st_size == size // 2
    assert delivery.PASSWORD not in failed.describe()
    # The message ends with where the run log is; that has the upload, its
    # size, the reason with the server's words, and the exit status.
    run_log_path = rig.windows_path(kestrane.workdir / "kestrane.log")
    assert box.text.endswith("\r\n\r\nWhat happened is recorded for support in " + run_log_path), box.text
    [run] = run_log(kestrane)
    built = r"Built %s: %d bytes in \d+\.\d s" % (re.escape(kept), (kestrane.workdir / kept).stat().st_size)
    assert any(re.fullmatch(built, line) for line in run), run
    failure = run.index(next(line for line in run if line.startswith("Could not send %s: " % kept)))
    assert re.fullmatch(r"Could not send %s: (?:%s)" % (re.escape(kept), reason), run[failure]), run[failure]
    if fault.reply is not None:
        assert re.fullmatch(r"The server replied: %s" % fault.reply, run[failure + 1]), run
    if fault.retried:
        assert re.fullmatch(r"Trying again on a new connection in \d+\.\d s \(retry 1 of 3\)\.",
                            run[failure + (2 if fault.reply else 1)]), run
    assert run[-1] == "Ended with exit status 1: the job failed", run
    assert delivery.PASSWORD not in (kestrane.workdir / "kestrane.log").read_text(encoding="cp1252")
    if fault.silent:
        connecting = next(t for t, text in failed.log_changes if text.endswith("FTP file ..."))
        gave_up = next(t for t, text in failed.log_changes if RETRY_ANNOUNCED in text)
        waited = gave_up - connecting
        assert CONNECT_LIMIT_MS - CONNECT_LIMIT_EARLY_MS <= waited <= CONNECT_LIMIT_MS + CONNECT_LIMIT_LATE_MS, (
            "gave up after %d ms" % waited)
    assert delivery.working_files(kestrane) == sorted([kept, kept + ".pending", delivery.DONE_MARKER_OWED])
    assert not handheld.data_file.exists(), "the data is safe in the upload file"
    assert not handheld.done_marker.exists()

    # The server is mended (the same files, a working account); the handheld
    # is docked again, with new records or none.
    mended = delivery.start_server(start_ftp_server, root=broken.root if broken else None)
    delivery.provision(kestrane, mended.host)
    batches = [first]
    if fault.new_records:
        batches.append(Records("second", 50))
        delivery.gather(handheld, batches[-1])

    resent = delivery.run(kestrane, 1)

    assert resent.killed is None, resent.describe()
    assert "Sending earlier file %s ..." % kept in resent.log_lines, resent.log
    problems = delivery.exactly_once_problems(mended, *batches)
    assert not problems, problems
    assert delivery.leftovers(kestrane) == []
    assert handheld.done_marker.read_bytes() == kestrane.done_file.read_bytes()
    if fault.new_records:
        newer = [upload for upload in delivery.upload_names(kestrane) if upload != kept]
        assert delivery.stored_names(mended) == [kept] + newer, "the kept file goes first"
        assert resent.exit_code == 0, resent.describe()
        assert [box.text for box in resent.message_boxes] == [rig.FINISHED_MESSAGE]
    else:
        assert delivery.stored_names(mended) == [kept]
        assert resent.exit_code == 2, resent.describe()
        assert [box.icon for box in resent.message_boxes] == ["warning"], resent.describe()
        assert kept in resent.message_boxes[0].text
        assert delivery.OWED_MARKER_LOG_LINE in resent.log_lines, resent.log


def test_a_busy_server_is_tried_again_and_takes_the_file(kestrane, handheld, start_ftp_server):
    busy = delivery.start_server(start_ftp_server, "too-many-421-once")
    delivery.provision(kestrane, busy.host)
    records = Records("busy", 100)
    delivery.gather(handheld, records)

    result = delivery.run(kestrane, 0)

    assert result.exit_code == 0, result.describe()
    assert [box.text for box in result.message_boxes] == [rig.FINISHED_MESSAGE]
    (upload,) = delivery.upload_names(kestrane)
    # The log box said, in the server's words, how long the job would wait.
    (waiting,) = [line for line in result.log_lines if RETRY_ANNOUNCED in line]
    said = re.fullmatch(r"Could not send %s: the server refused the connection \((421 Too many connections\..*)\)"
                        r"\. Trying again in (\d+\.\d) s \.\.\." % re.escape(upload), waiting)
    assert said, waiting
    reply = said[1]
    assert 2.5 <= float(said[2]) <= 7.5, waiting
    assert delivery.connections(busy) == 2
    # The run log has the try, the server's reply and the wait.
    [run] = run_log(kestrane)
    failure = run.index("Could not send %s: the server refused the connection" % upload)
    assert run[failure + 1:failure + 3] == [
        "The server replied: " + reply, "Trying again on a new connection in %s s (retry 1 of 3)." % said[2]], run
    sent = r"Sent %s to %s%s: \d+ bytes in \d+\.\d s, confirmed by the server" % (
        re.escape(upload), delivery.REMOTE_FOLDER, re.escape(upload))
    assert any(re.fullmatch(sent, line) for line in run[failure:]), run
    assert delivery.PASSWORD not in (kestrane.workdir / "kestrane.log").read_text(encoding="cp1252")
    assert delivery.remote_file(busy, upload).read_bytes() == (kestrane.workdir / upload).read_bytes()
    problems = delivery.exactly_once_problems(busy, records)
    assert not problems, problems
    assert delivery.leftovers(kestrane) == []
    assert handheld.done_marker.exists()


def test_a_slow_server_receives_the_whole_file(kestrane, handheld, start_ftp_server):
    slow = delivery.start_server(start_ftp_server, "slow")
    delivery.provision(kestrane, slow.host)
    # About ten seconds at the slow server's pace.
    records = Records("slow", 10_000)
    delivery.gather(handheld, records)

    result = delivery.run(kestrane, 0)

    assert result.exit_code == 0, result.describe()
    assert [box.text for box in result.message_boxes] == [rig.FINISHED_MESSAGE]
    connecting = next(t for t, text in result.log_changes if text.endswith("FTP file ..."))
    assert result.message_boxes[0].shown_ms - connecting >= SLOW_UPLOAD_AT_LEAST_MS, (
        "the server was not slow, so this tests nothing")
    # Meanwhile the progress bar shows how much of the file has been sent,
    # never going back.
    sending = [bar.position for bar in result.progress if not bar.marquee
               and result.log_at(bar.t).endswith("FTP file ...")]
    assert sending and sending == sorted(sending) and sending[-1] > 0, result.progress
    (upload,) = delivery.upload_names(kestrane)
    assert delivery.remote_file(slow, upload).read_bytes() == (kestrane.workdir / upload).read_bytes()
    problems = delivery.exactly_once_problems(slow, records)
    assert not problems, problems
    assert delivery.leftovers(kestrane) == []
    assert handheld.done_marker.exists()


def test_earlier_files_are_sent_once_by_a_run_without_data_and_never_again(kestrane, handheld,
                                                                            start_ftp_server):
    refusing = delivery.start_server(start_ftp_server, "stor-550")
    delivery.provision(kestrane, refusing.host)
    first = Records("first", 100)
    delivery.gather(handheld, first)
    assert delivery.run(kestrane, 0).exit_code == 1
    (kept,) = delivery.upload_names(kestrane)

    working = delivery.start_server(start_ftp_server, root=refusing.root)
    delivery.provision(kestrane, working.host)
    resend = delivery.run(kestrane, 1)

    assert resend.exit_code == 2, resend.describe()
    assert len(resend.message_boxes) == 1, resend.describe()
    said = resend.message_boxes[0]
    assert (said.title, said.icon) == (rig.PROGRAM_TITLE, "warning")
    assert said.text.startswith("No data was found on the handheld"), said.text
    assert kept in said.text and "sent" in said.text, said.text
    assert "Sending earlier file %s ..." % kept in resend.log_lines, resend.log
    assert delivery.stored_names(working) == [kept]
    assert delivery.leftovers(kestrane) == []
    # The first run took the records from the handheld: now that they are
    # delivered, it gets the done marker that run could not give.
    assert delivery.OWED_MARKER_LOG_LINE in resend.log_lines, resend.log
    assert handheld.done_marker.read_bytes() == kestrane.done_file.read_bytes()

    # Nothing on the handheld, then new records: the confirmed file is never sent again.
    nothing = delivery.run(kestrane, 2)
    assert nothing.exit_code == 2, nothing.describe()
    assert kept not in nothing.message_boxes[0].text
    second = Records("second", 100)
    delivery.gather(handheld, second)
    finished = delivery.run(kestrane, 3)
    assert finished.exit_code == 0, finished.describe()
    assert "Sending earlier file" not in finished.log

    newer = [upload for upload in delivery.upload_names(kestrane) if upload != kept]
    assert delivery.stored_names(working) == [kept] + newer
    problems = delivery.exactly_once_problems(working, first, second)
    assert not problems, problems


def test_files_kept_by_several_failed_runs_are_all_named_and_one_refused_for_good_blocks_none(
        kestrane, handheld, start_ftp_server):
    full = delivery.start_server(start_ftp_server, "stor-552")
    delivery.provision(kestrane, full.host)
    batches = [Records("first", 100), Records("second", 100)]
    for run_number, batch in enumerate(batches):
        delivery.gather(handheld, batch)
        failed = delivery.run(kestrane, run_number)
        assert failed.exit_code == 1, failed.describe()
    older, newer = delivery.upload_names(kestrane)

    (box,) = failed.message_boxes
    assert box.text.startswith("Kestrane could not send %s to the FTP server %s: " % (older, full.host)), box.text
    assert "The upload files %s, %s are kept in the working folder" % (older, newer) in box.text, box.text
    assert delivery.working_files(kestrane) == sorted(
        [older, older + ".pending", newer, newer + ".pending", delivery.DONE_MARKER_OWED])

    # The oldest file is refused for good; the newer ones still go, and the
    # message names exactly the one that did not.
    picky = delivery.start_server(start_ftp_server, "stor-553-once", root=full.root)
    delivery.provision(kestrane, picky.host)
    batches.append(Records("third", 100))
    delivery.gather(handheld, batches[-1])
    refused = delivery.run(kestrane, len(batches) - 1)

    assert refused.exit_code == 1, refused.describe()
    (newest,) = [name for name in delivery.upload_names(kestrane) if name not in (older, newer)]
    assert delivery.stored_names(picky) == [older, newer, newest]
    assert picky.files() == [delivery.REMOTE_FOLDER + newer, delivery.REMOTE_FOLDER + newest]
    (box,) = refused.message_boxes
    assert box.text == (
        "Kestrane could not send %s to the FTP server %s: the server refused to store %s%s.\r\n"
        "The server replied: 553 Requested action not taken. File name not allowed.\r\n\r\n"
        "The upload file %s is kept in the working folder and will be sent the next time Kestrane runs.\r\n\r\n"
        "What happened is recorded for support in %s"
        % (older, picky.host, delivery.REMOTE_FOLDER, older, older,
           rig.windows_path(kestrane.workdir / "kestrane.log"))), box.text
    assert delivery.working_files(kestrane) == sorted(
        [older, older + ".pending", newer, newest, delivery.DONE_MARKER_OWED])
    assert not handheld.done_marker.exists()

    working = delivery.start_server(start_ftp_server, root=full.root)
    delivery.provision(kestrane, working.host)
    resent = delivery.run(kestrane, len(batches))

    assert resent.exit_code == 2, resent.describe()
    sending = [line for line in resent.log_lines if line.startswith("Sending earlier file")]
    assert sending == ["Sending earlier file %s ..." % older], resent.log
    assert delivery.stored_names(working) == [older]
    problems = delivery.exactly_once_problems(working, *batches)
    assert not problems, problems
    assert delivery.leftovers(kestrane) == []
    assert handheld.done_marker.read_bytes() == kestrane.done_file.read_bytes()
