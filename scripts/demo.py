"""Runs Kestrane's main job here, as a location's PC would, and shows what
happened.

A Wine prefix on a virtual display plays the PC: its registry is provisioned
by importing examples/location.reg, C:\\Kestrane\\done.txt is put in place,
a local FTP server listens where that location.reg points (127.0.0.1:2121),
and the stand-in rapi.dll, in the prefix's system folder where Windows Mobile
Device Center puts the real one, plays a docked handheld holding
examples/savedata.dat. Then kestrane.exe runs, and this prints its log, the
message it showed, the file that arrived on the server next to the local
copy, what is left on the handheld, and where the screenshot is.

Run it through scripts/demo.sh, which installs and builds what it needs.
"""

import filecmp
import shutil
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

import ftp_server  # noqa: E402
import rig  # noqa: E402

EXAMPLES = REPO / "examples"
DEMO = REPO / "build" / "demo"
# Where examples/location.reg sends the upload, and its account.
FTP_PORT = 2121
FTP_USER = "demo"
FTP_PASSWORD = "demo-password"
REMOTE_FOLDER = "in"


def show(title, text=""):
    print("\n--- %s" % title)
    if text:
        print(text)


def main():
    shutil.rmtree(DEMO, ignore_errors=True)
    DEMO.mkdir(parents=True)
    server_root = DEMO / "ftp-server"
    (server_root / REMOTE_FOLDER).mkdir(parents=True)
    _, stop_server = ftp_server.start_server(str(server_root), FTP_USER, FTP_PASSWORD, port=FTP_PORT,
                                             journal=str(DEMO / "ftp-journal.txt"))
    (DEMO / "wine").mkdir()
    (DEMO / "pc").mkdir()
    session = rig.WineSession(DEMO / "wine")
    try:
        print("Starting a virtual display and a Wine prefix ...")
        session.start()
        bench = rig.TestBench(session, DEMO / "pc")
        bench.reset()
        bench.prefix.import_reg(EXAMPLES / "location.reg", view=64)
        shutil.copyfile(EXAMPLES / "done.txt", bench.done_file)
        bench.handheld.dock((EXAMPLES / "savedata.dat").read_bytes())

        print("Running kestrane.exe (the job starts 5 s after the window shows) ...")
        result = bench.run(ok_delay_ms=2500, screenshot_message_boxes=True)
        report(bench, server_root, result)
        return 0 if result.exit_code == 0 else 1
    finally:
        session.stop()
        stop_server()


def report(bench, server_root, result):
    show("Log box of the Kestrane window", result.log)
    for box in result.message_boxes:
        show("Message box \"%s\"" % box.title, box.text)
    show("Exit status", str(result.exit_code))

    uploads = sorted(path for path in bench.workdir.iterdir())
    show("Working folder (where kestrane.exe ran)",
         "\n".join("%-28s %6d bytes" % (path.name, path.stat().st_size) for path in uploads))
    arrived = sorted(path for path in (server_root / REMOTE_FOLDER).iterdir())
    show("Arrived on the FTP server in %s/" % REMOTE_FOLDER,
         "\n".join("%-28s %6d bytes" % (path.name, path.stat().st_size) for path in arrived))
    for path in arrived:
        local = bench.workdir / path.name
        same = local.is_file() and filecmp.cmp(local, path, shallow=False)
        print("%s: %s" % (path.name, "identical to the local copy" if same else "DIFFERS from the local copy"))
        text = path.read_bytes().decode("cp1252").replace("\r\n", "\n").splitlines()
        show("First and last lines of %s" % path.name, "\n".join(text[:4] + ["..."] + text[-2:]))

    run_log = bench.workdir / "kestrane.log"
    show("The run log for support, %s" % run_log.name,
         run_log.read_bytes().decode("cp1252").replace("\r\n", "\n").rstrip("\n"))

    card = bench.handheld.storage_card
    show("Handheld's Storage Card now",
         "\n".join("%-14s %r" % (path.name, path.read_bytes()) for path in sorted(card.iterdir())))

    screenshots = [box.screenshot for box in result.message_boxes if box.screenshot]
    if screenshots:
        # The virtual display is mostly empty black: keep the windows.
        screenshot = DEMO / "screenshot.png"
        subprocess.run(["convert", str(screenshots[-1]), "-trim", "-bordercolor", "black", "-border", "8",
                        "+repage", str(screenshot)], check=True)
        show("Screenshot of the finished run", str(screenshot))


if __name__ == "__main__":
    sys.exit(main())
