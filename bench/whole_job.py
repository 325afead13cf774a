#!/usr/bin/python3
"""Times Kestrane's job under Wine: the pull through the stand-in rapi.dll and
the whole job against the test FTP server.

    /usr/bin/python3 bench/whole_job.py [--size-mib N] [--runs N] [--warmup N] [--journal]
                                        [--latency-ms N] [--tls explicit|implicit]

Each run docks a fresh handheld whose data file holds N MiB of records (1 by
default; shaped like bench/staging_data.h makes them: 40 to 80 bytes, some
"~", CR LF), runs kestrane.exe through the end-to-end rig's operator, with
every message box pressed as soon as it is read, and measures, in seconds:

  pull   GetCEFile's copy: from "Infile.pull" appearing in the working folder
         to "Infile.txt" appearing (the device file read in 4096-byte reads,
         flushed, renamed, deleted on the handheld and merged);
  send   the delivery: from the upload file's NAME.pending marker appearing
         (the build done, the file published) to the final message box
         being shown: the FTP step, then the done marker on the handheld;
  box    the job: from its start to the final message box being shown;
  exit   the job: from its start to the program's exit.

The job's start is the earlier of two marks that both come a little after
the start timer fires: the main window seen by the operator plus the 5 s
start delay (the timer is set when the window is created, just before it
shows), and "Infile.pull" appearing (after rapi.dll is loaded and the
handheld connected). The working folder is watched every 2 ms.

The stand-in's call journal is off, as the real library has none; --journal
turns it on. The FTP server (tests/e2e/ftp_server.py) runs as a process of
its own; --latency-ms makes it answer every command that much later, as a
server at the far end of a slow line does. From the server's journal each
run also reports the commands of its delivery and its control and data
connections.

--tls makes the server serve FTP over TLS, explicit (AUTH TLS) or implicit,
with TLS required on the control and the data connections, and a self-signed
certificate made for the run; the location then names it ftpes:// or ftps://
and pins that certificate, as a location on FTP over TLS does. Without it
the job goes through WinINet in plain FTP.

Runs in a fresh Wine prefix and display, as the tests do; uses the build in
KESTRANE_BUILD_DIR (default build/windows).
"""

import argparse
import hashlib
import os
import random
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
E2E_DIR = BENCH_DIR.parent / "tests" / "e2e"
sys.path.insert(0, str(E2E_DIR))

import rig  # noqa: E402  (found through the path above)

POLL_S = 0.002
LOCATION_CODE = "0042"
FTP_USER = "kestrane"
FTP_PASSWORD = "orvalle-test"
TLS_SCHEMES = {"explicit": "ftpes", "implicit": "ftps"}


def handheld_data(size):
    """size bytes of records, whole records repeated from a 1 MiB block."""
    generator = random.Random(0x4B455354)
    characters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -/"
    records = []
    length = 0
    number = 0
    while length < min(size, 1 << 20):
        number += 1
        second_code = generator.randrange(4) == 0
        head = "%06d;SKU-%05d;QTY;%d;~;" % (number, generator.randrange(100000), 1 + generator.randrange(250))
        tail = (";~" if second_code else "") + ";STORE;~\r\n"
        wanted = 40 + generator.randrange(41)
        filler = "".join(generator.choice(characters) for _ in range(max(0, wanted - len(head) - len(tail))))
        record = head + filler + tail
        records.append(record)
        length += len(record)
    block = "".join(records).encode("ascii")
    return (block * (size // len(block) + 1))[:size]


class FolderWatch:
    """Notes when each name first appears in a folder, on a thread of its own."""

    def __init__(self, folder):
        self.folder = folder
        self.first_seen = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def _watch(self):
        while not self._stop.is_set():
            now = time.monotonic()
            for name in os.listdir(self.folder):
                self.first_seen.setdefault(name, now)
            time.sleep(POLL_S)


class SelfSignedCertificate:
    """A certificate for localhost and 127.0.0.1 and its key, made with
    openssl in folder; pin is its SHA-256 fingerprint as a location's f= takes it."""

    def __init__(self, folder):
        self.cert = Path(folder) / "server.pem"
        self.key = Path(folder) / "server.key"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                        "-keyout", str(self.key), "-out", str(self.cert)], check=True, capture_output=True)
        der = ssl.PEM_cert_to_DER_cert(self.cert.read_text(encoding="ascii"))
        self.pin = hashlib.sha256(der).hexdigest().upper()


def pinned_settings_code(location_code, host, pin):
    """The settings code of a location on FTP over TLS that pins one certificate."""
    code = rig.encode_settings(location_code, host, FTP_USER, FTP_PASSWORD, "")
    # The pin is one more entry; the settings string is stored back to front.
    return ("f=%s;" % pin)[::-1].encode("cp1252").hex().upper() + code


class FtpServerProcess:
    """tests/e2e/ftp_server.py in a process of its own, serving a fresh folder;
    over TLS when tls is "explicit" or "implicit", with certificate."""

    def __init__(self, folder, latency_ms, tls=None, certificate=None):
        self.root = Path(folder) / "ftp-root"
        self.root.mkdir()
        self.journal = Path(folder) / "ftp-journal"
        ready = Path(folder) / "ftp-ready"
        tls_args = []
        if tls:
            tls_args = ["--tls", tls, "--certfile", str(certificate.cert), "--keyfile", str(certificate.key)]
        self.process = subprocess.Popen(
            [sys.executable, str(E2E_DIR / "ftp_server.py"), "--root", str(self.root), "--user", FTP_USER,
             "--password", FTP_PASSWORD, "--port", "0", "--ready-file", str(ready), "--journal",
             str(self.journal), "--latency-ms", str(latency_ms), *tls_args],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not ready.exists():
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.stop()
                raise rig.RigError("the FTP server did not start")
            time.sleep(0.05)
        self.port = int(ready.read_text().strip())

    def empty(self):
        for path in self.root.iterdir():
            path.unlink()

    def conversation(self):
        """What the journal holds since the last call: the commands, and the
        numbers of control and of data connections."""
        lines = self.journal.read_text(encoding="utf-8").splitlines() if self.journal.exists() else []
        self.journal.unlink(missing_ok=True)
        return ([line for line in lines if line not in ("CONNECT", "DATA")], lines.count("CONNECT"),
                lines.count("DATA"))

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def one_run(session, folder, data, journal, timeout_ms):
    bench = rig.TestBench(session, folder)
    bench.handheld.dock(data)
    started = []
    env = {} if journal else {"KESTRANE_HANDHELD_JOURNAL": ""}
    with FolderWatch(bench.workdir) as watch:
        result = bench.run(env=env, timeout_ms=timeout_ms, at=[(0, lambda: started.append(time.monotonic()))])

    def ms(name):
        seen = watch.first_seen.get(name)
        return None if seen is None else (seen - started[0]) * 1000

    boxes = result.message_boxes
    problem = None
    if result.exit_code != 0 or [box.text for box in boxes] != [rig.FINISHED_MESSAGE]:
        problem = result.describe()
    shutil.rmtree(folder)
    if problem:
        return {"problem": problem}
    # A file that lived for less than a poll was not seen: a small file's
    # pull is then not measured, and the job's start is the timer's mark.
    pull_start, staged = ms("Infile.pull"), ms("Infile.txt")
    published = [ms(name) for name in watch.first_seen if name.endswith(".pending")]
    timer = result.main_window["t"] + rig.START_DELAY_MS
    start = timer if pull_start is None else min(timer, pull_start)
    return {
        "pull": None if pull_start is None or staged is None else (staged - pull_start) / 1000,
        "send": (boxes[-1].shown_ms - min(published)) / 1000 if published else None,
        "box": (boxes[-1].shown_ms - start) / 1000,
        "exit": (result.exited_ms - start) / 1000,
        "start_from_timer": start == timer,
        "marks_apart_ms": None if pull_start is None else timer - pull_start,
        "problem": None,
    }


def summary(values):
    return "median %.3f s  (min %.3f, max %.3f, n=%d)" % (
        statistics.median(values), min(values), max(values), len(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mib", type=float, default=1.0, help="size of the handheld's data file")
    parser.add_argument("--runs", type=int, default=7, help="counted runs")
    parser.add_argument("--warmup", type=int, default=1, help="runs not counted, first")
    parser.add_argument("--journal", action="store_true", help="let the stand-in rapi.dll keep its journal")
    parser.add_argument("--latency-ms", type=int, default=0, help="the FTP server answers every command this late")
    parser.add_argument("--tls", choices=sorted(TLS_SCHEMES),
                        help="deliver over FTP over TLS, explicit (ftpes://) or implicit (ftps://)")
    args = parser.parse_args()

    data = handheld_data(int(args.size_mib * 1024 * 1024))
    timeout_ms = 60_000 + int(args.size_mib * 2_000)
    root = Path(tempfile.mkdtemp(prefix="kestrane-whole-job-"))
    (root / "wine").mkdir()
    session = rig.WineSession(root / "wine")
    server = None
    try:
        session.start()
        certificate = SelfSignedCertificate(root) if args.tls else None
        server = FtpServerProcess(root, args.latency_ms, args.tls, certificate)
        setup = rig.TestBench(session, root / "setup")
        setup.reset()
        if args.tls:
            host = "%s://127.0.0.1:%d" % (TLS_SCHEMES[args.tls], server.port)
            setup.provision_code(pinned_settings_code(LOCATION_CODE, host, certificate.pin))
        else:
            setup.provision(LOCATION_CODE, "127.0.0.1:%d" % server.port, FTP_USER, FTP_PASSWORD, "")
        print("%d bytes on the handheld; %s, replies %d ms late; Wine booted in %.1f s" % (
            len(data), "FTP over %s TLS" % args.tls if args.tls else "plain FTP", args.latency_ms,
            session.boot_seconds))
        runs = []
        for number in range(args.warmup + args.runs):
            measured = one_run(session, root / ("run-%d" % number), data, args.journal, timeout_ms)
            server.empty()
            commands, control_connections, data_connections = server.conversation()
            if measured["problem"]:
                raise rig.RigError("run %d did not finish cleanly:\n%s" % (number, measured["problem"]))
            counted = number >= args.warmup
            pull = "-" if measured["pull"] is None else "%.3f s" % measured["pull"]
            apart = "" if measured["marks_apart_ms"] is None else ", %d ms before the other" % (
                abs(measured["marks_apart_ms"]))
            send = "-" if measured["send"] is None else "%.3f s" % measured["send"]
            print("%s pull %s  send %s  box %.3f s  exit %.3f s  (start: the %s mark%s)" % (
                "run" if counted else "warm-up", pull, send, measured["box"], measured["exit"],
                "timer" if measured["start_from_timer"] else "pull file", apart))
            print("    %d commands, %d control + %d data connections: %s" % (
                len(commands), control_connections, data_connections,
                " ".join(line.split(" ")[0] for line in commands)))
            if counted:
                runs.append(measured)
        for key, label in (("pull", "pull (GetCEFile)"), ("send", "delivery (.pending to box)"),
                           ("box", "start to final message box"),
                           ("exit", "start to exit")):
            values = [run[key] for run in runs if run[key] is not None]
            if values:
                print("%-28s %s" % (label, summary(values)))
    finally:
        try:
            if server is not None:
                server.stop()
            if session.display.number is not None:  # else it never started
                session.stop()
        finally:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
