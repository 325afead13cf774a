"""What the job's scenarios (test_handheld.py, test_job.py) share: handheld
records, what the working folder and the server hold, and the one error box
of a run that stopped."""

import re

import rig

LOCATION = "0042"

COMPLETE_LOG = [rig.FIRST_LOG_LINE] + rig.JOB_LOG_LINES
PULL_LOG = [rig.FIRST_LOG_LINE, rig.JOB_LOG_LINES[0]]


def records(count, tag="record"):
    """Handheld data of `count` distinct records, each a CR LF ended line."""
    return b"".join(b"~;%s %06d;0.99\r\n" % (tag.encode(), number) for number in range(count))


# The run log, which every run that gets as far as its window appends to.
RUN_LOG_FILES = ("kestrane.log", "kestrane.log.1")
# Held open, and so there, while a copy of Kestrane runs in the folder.
LOCK_FILE = "kestrane.lock"


def working_files(bench):
    """The files that hold data in the working folder: all but the run log and the lock."""
    return sorted(path.name for path in bench.workdir.iterdir() if path.name not in RUN_LOG_FILES + (LOCK_FILE,))


# A record's first line begins with its local time; its further lines sit under it.
RUN_LOG_STAMP = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  ")
RUN_LOG_INDENT = " " * len("2026-12-07 09:05:03  ")


def run_log(bench, name=RUN_LOG_FILES[0]):
    """The runs in a run log, oldest first: each the text of its records,
    one line each, without the time stamps."""
    runs = []
    for line in (bench.workdir / name).read_bytes().decode("cp1252").split("\r\n")[:-1]:
        assert RUN_LOG_STAMP.match(line) or line.startswith(RUN_LOG_INDENT), "not a record: %r" % line
        text = line[len(RUN_LOG_INDENT):]
        if re.match(r"Kestrane \d+\.\d+\.\d+ started in ", text):
            runs.append([])
        runs[-1].append(text)
    return runs


def server_lines(server):
    """Every data line of every upload file on the server."""
    lines = []
    for name in server.files():
        lines += rig.uploaded_data_lines((server.root / name).read_bytes())
    return lines


def pulled_lines(*data):
    """The lines the server must end up with, once each, for these handheld data files."""
    lines = []
    for one in data:
        lines += rig.upload_lines(one + b"\r\n", LOCATION)
    return lines


def single_error(result):
    """The one message box of a run that stopped with an error: its text."""
    assert [(box.title, box.icon) for box in result.message_boxes] == [(rig.PROGRAM_TITLE, "error")], \
        result.describe()
    return result.message_boxes[0].text
