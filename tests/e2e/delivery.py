"""What the delivery scenarios (test_ftp_faults.py, test_crash_safety.py)
share: the location's settings, batches of handheld records that can be
counted on the server, and the checks of what the server and the working
folder hold.

Every record is a line of its own with a "~", which the upload file carries
as the location code; every record of a scenario is different, so that the
server's upload files tell whether each record arrived exactly once. Records
are RECORD_BYTES long with their line end, so that every 4096-byte read of
the handheld's file holds whole records: what the pull puts between two reads
is not what these scenarios are about.
"""

from collections import Counter

from scenario import working_files

LOCATION_CODE = "0042"
USER = "kestrane-loc"
# Distinctive, so that a leak into any message or log line is found.
PASSWORD = "Pw#9zQ!k2v"
REMOTE_FOLDER = "incoming/"
# Long enough for a run that meets the 60 s connect limit, and its message box.
RUN_LIMIT_MS = 150_000

UPLOAD_SUFFIX = ".TXT"
PENDING_SUFFIX = ".TXT.pending"
UNFINISHED_SUFFIX = ".TXT.tmp"
END_LINE = b"<<EOF:>>"
WORK_IN_PROGRESS = ("Infile.txt", "Infile.pull", "Infile.pulled", "Infile.merge")
# Kept from the pull that took data from the handheld until it has its done marker.
DONE_MARKER_OWED = "SyncDone.owed"
OWED_MARKER_LOG_LINE = "The handheld is owed a done marker by an earlier run"
DEVICE_READ_BYTES = 4096
RECORD_BYTES = 64
assert DEVICE_READ_BYTES % RECORD_BYTES == 0


class Records:
    """A batch of handheld records: count lines of the handheld's data file."""

    def __init__(self, tag, count):
        self.lines = [(b"%s record %07d at ~;" % (tag.encode("ascii"), i)).ljust(RECORD_BYTES - 2, b".")
                      for i in range(count)]
        assert all(len(line) == RECORD_BYTES - 2 for line in self.lines)

    @property
    def data(self):
        """The bytes the handheld keeps: each record ended by CR LF."""
        return b"".join(line + b"\r\n" for line in self.lines)

    def as_uploaded(self):
        """The records as an upload file carries them."""
        code = LOCATION_CODE.encode("ascii")
        return [line.replace(b"~", code) for line in self.lines]


def gather(handheld, records):
    """The handheld gathers records: they go to the end of its data file,
    which it starts anew when the last one was taken."""
    earlier = handheld.data_file.read_bytes() if handheld.data_file.exists() else b""
    handheld.dock(earlier + records.data)


def clock(run_number):
    """Environment that puts the program's clock run_number hours ahead (its
    time zone), as if each later run of a scenario came at the next shift.
    Upload files are named to the minute, and a run that finds its name taken
    waits for the next minute: these runs never have to."""
    return {"TZ": "KES-%d" % run_number}


def run(bench, run_number, env=None, **options):
    """One start of kestrane.exe in the scenario, on the run's own clock."""
    return bench.run(env={**clock(run_number), **(env or {})}, timeout_ms=RUN_LIMIT_MS, **options)


def start_server(start_ftp_server, fault="none", root=None):
    """A server for the location's account, with the remote folder; root: the
    files of an earlier server, as the same server after it was mended."""
    server = start_ftp_server(fault, user=USER, password=PASSWORD, root=root)
    (server.root / REMOTE_FOLDER).mkdir(exist_ok=True)
    return server


def provision(bench, host):
    bench.provision(LOCATION_CODE, host, USER, PASSWORD, REMOTE_FOLDER)


def upload_names(bench):
    """The upload files in the working folder, oldest first."""
    return sorted(name for name in working_files(bench) if name.endswith(UPLOAD_SUFFIX))


def remote_file(server, name):
    return server.root / REMOTE_FOLDER / name


def stored_names(server):
    """The file names of the server's STOR commands, in order."""
    if not server.journal.exists():
        return []
    lines = server.journal.read_text(encoding="utf-8").splitlines()
    return [line.split(" ", 1)[1].rsplit("/", 1)[-1] for line in lines if line.startswith("STOR ")]


def connections(server):
    if not server.journal.exists():
        return 0
    return server.journal.read_text(encoding="utf-8").splitlines().count("CONNECT")


def records_on_server(server, folder=REMOTE_FOLDER):
    """Every record in the server's upload files, counted, after checking that
    each file is a whole upload file: its "UH" header naming it with the
    number of lines, the lines, and the end line, each ended by CR LF."""
    counted = Counter()
    for path in sorted((server.root / folder).iterdir()):
        content = path.read_bytes()
        assert content.endswith(END_LINE + b"\r\n"), "%s does not end with the end line: ...%r" % (
            path.name, content[-40:])
        lines = content.split(b"\r\n")[:-1]
        header = b"UH" + path.name.encode("ascii")
        count = lines[0][len(header):]
        assert lines[0].startswith(header) and count.isdigit() and len(count) >= 4, (
            "%s has the header %r" % (path.name, lines[0][:60]))
        body = lines[1:-1]
        assert int(count) == len(body), "%s counts %d lines and holds %d" % (path.name, int(count), len(body))
        # Each pull ends with one line end of its own: an empty line.
        counted.update(line for line in body if line)
    return counted


def exactly_once_problems(server, *batches, folder=REMOTE_FOLDER):
    """"" when the server holds every record of the batches exactly once and
    nothing else; otherwise what is wrong, briefly."""
    expected = Counter()
    for batch in batches:
        expected.update(batch.as_uploaded())
    held = records_on_server(server, folder)
    problems = []
    for what, records in (("missing", expected - held), ("unexpected or more than once", held - expected)):
        if records:
            sample = sorted(records)[:3]
            problems.append("%d records %s, such as %s" % (sum(records.values()), what,
                                                          b", ".join(sample).decode("ascii", "replace")))
    return "; ".join(problems)


def leftovers(bench):
    """What a finished run must not leave in the working folder: pending
    markers, unfinished upload files, pulled or staged data, and a done
    marker still owed."""
    return [name for name in working_files(bench)
            if name.endswith((PENDING_SUFFIX, UNFINISHED_SUFFIX)) or name in WORK_IN_PROGRESS + (DONE_MARKER_OWED,)]
