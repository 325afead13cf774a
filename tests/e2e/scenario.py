"""What the job's scenarios (test_handheld.py, test_job.py) share: handheld
records, what the working folder and the server hold, and the one error box
of a run that stopped."""

import rig

LOCATION = "0042"

COMPLETE_LOG = [rig.FIRST_LOG_LINE] + rig.JOB_LOG_LINES
PULL_LOG = [rig.FIRST_LOG_LINE, rig.JOB_LOG_LINES[0]]


def records(count, tag="record"):
    """Handheld data of `count` distinct records, each a CR LF ended line."""
    return b"".join(b"~;%s %06d;0.99\r\n" % (tag.encode(), number) for number in range(count))


def working_files(bench):
    return sorted(path.name for path in bench.workdir.iterdir())


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
