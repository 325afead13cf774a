"""Start-up: the location settings, the main window and the start timer."""

import pytest

import rig
from scenario import run_log, working_files

# Where the job may start around its nominal 5 s after the window showed:
# the window is created a little before it shows, and the operator sees the
# log only when the window's thread answers between the job's steps.
TIMER_EARLY_MS = 500
TIMER_LATE_MS = 2500
# The window's client area may be a rounding off.
CLIENT_SIZE_SLACK = 2

COMPLETE_LOG = "\r\n".join([rig.FIRST_LOG_LINE] + rig.JOB_LOG_LINES)
DATA = b"~;first record\r\n~;second record\r\n"


def boxes(result):
    return [(box.title, box.text) for box in result.message_boxes]


def test_missing_settings_show_the_message_and_end_the_program_before_the_window(kestrane, handheld):
    handheld.dock(DATA)

    result = kestrane.run()

    assert boxes(result) == [(rig.PROGRAM_TITLE, rig.MISSING_SETTINGS_MESSAGE)], result.describe()
    assert result.killed is None
    assert result.exit_code != 0
    assert result.windows == []
    assert result.log_changes == []
    assert handheld.calls() == []
    assert handheld.data_file.read_bytes() == DATA


def test_with_settings_the_job_runs_once_five_seconds_after_the_window_shows(kestrane, handheld, ftp_server):
    handheld.dock(DATA)
    kestrane.provision("0042", ftp_server.host, ftp_server.user, ftp_server.password, "")

    result = kestrane.run(ok_delay_ms=1500, screenshot_message_boxes=True)

    assert len(result.windows) == 1, result.describe()
    window = result.main_window
    assert window["title"] == rig.PROGRAM_TITLE
    assert abs(window["client_width"] - rig.CLIENT_SIZE[0]) <= CLIENT_SIZE_SLACK, window
    assert abs(window["client_height"] - rig.CLIENT_SIZE[1]) <= CLIENT_SIZE_SLACK, window

    shown = window["t"]
    assert result.log_at(shown + 4000) == rig.FIRST_LOG_LINE, result.describe()
    job_started = next(t for t, text in result.log_changes if text != rig.FIRST_LOG_LINE)
    assert shown + rig.START_DELAY_MS - TIMER_EARLY_MS <= job_started, result.describe()
    assert job_started <= shown + rig.START_DELAY_MS + TIMER_LATE_MS, result.describe()

    # The log only ever grows by whole lines, and ends without a line break.
    lines = COMPLETE_LOG.split("\r\n")
    states = ["\r\n".join(lines[:count]) for count in range(1, len(lines) + 1)]
    assert all(text in states for _, text in result.log_changes), result.describe()
    assert result.log == COMPLETE_LOG

    assert boxes(result) == [(rig.PROGRAM_TITLE, rig.FINISHED_MESSAGE)], result.describe()
    finished = result.message_boxes[0]
    assert result.log_at(finished.shown_ms) == COMPLETE_LOG
    assert result.exit_code == 0
    assert result.exited_ms >= finished.closed_ms
    # The handheld was used: the journal is what the other tests' "never
    # touched" rests on.
    assert "CeRapiInitEx" in handheld.calls()


# Closing the window before the job has touched anything ends the program at
# once, and its exit status says the job did not run. (The run's options;
# whether the handheld is docked; what the stand-in was asked; the log.)
CLOSE_MOMENTS = {
    "before the timer": (dict(close_after_ms=2000), True, [], [rig.FIRST_LOG_LINE]),
    # Not docked: the job waits for it, and closing gives the start up.
    "while the job waits for the handheld": (dict(close_when_logged=rig.JOB_LOG_LINES[0]), False,
                                             ["CeRapiInitEx", "CeRapiUninit"],
                                             [rig.FIRST_LOG_LINE, rig.JOB_LOG_LINES[0]]),
}
# How soon after the close the program must be gone.
CLOSE_LIMIT_MS = 2000


@pytest.mark.parametrize("options, docked, calls, log", CLOSE_MOMENTS.values(), ids=CLOSE_MOMENTS.keys())
def test_closing_the_window_before_anything_is_touched_ends_the_program_at_once(kestrane, handheld, options,
                                                                                docked, calls, log):
    if docked:
        handheld.dock(DATA)
    kestrane.provision("0042", "127.0.0.1:9", "kestrane", "secret", "")

    result = kestrane.run(**options)

    assert result.main_window is not None, result.describe()
    closed = result.first("close_posted")
    assert closed is not None, result.describe()
    assert result.exited_ms - closed["t"] <= CLOSE_LIMIT_MS, result.describe()
    assert result.killed is None
    assert result.exit_code == rig.EXIT_NOT_RUN
    assert result.log_lines == log
    assert result.message_boxes == []
    assert handheld.calls() == calls, handheld.journal_lines()
    # Only the run log tells that the program was started and closed.
    assert working_files(kestrane) == []
    assert run_log(kestrane)[-1][-1] == "Ended with exit status 3: the window was closed before the job touched " \
                                        "anything"
    if docked:
        assert handheld.data_file.read_bytes() == DATA
    else:
        assert not handheld.folder.exists()


# Settings that can never work are refused before the window shows and
# before the handheld is touched. (Location code and host; what the message says.)
UNUSABLE_SETTINGS = {
    "a location code unfit for a file name": (r"..\..\x", "127.0.0.1:9", ("location code",
                                                                         "cannot be used in a file name")),
    "a port that is no port": ("0042", "127.0.0.1:70000", ("port", "not a number from 1 to 65535")),
}


@pytest.mark.parametrize("location_code, host, said", UNUSABLE_SETTINGS.values(), ids=UNUSABLE_SETTINGS.keys())
def test_settings_that_can_never_work_are_refused_before_the_window(kestrane, handheld, location_code, host, said):
    handheld.dock(DATA)
    kestrane.provision(location_code, host, "kestrane", "secret", "")

    result = kestrane.run()

    assert len(result.message_boxes) == 1, result.describe()
    refusal = result.message_boxes[0]
    assert refusal.title == rig.PROGRAM_TITLE
    assert all(words in refusal.text for words in said), refusal.text
    assert "correct location.reg" in refusal.text
    assert result.exit_code != 0
    assert result.windows == []
    assert result.log_changes == []
    assert handheld.calls() == []
    assert handheld.data_file.read_bytes() == DATA
    assert list(kestrane.workdir.iterdir()) == []


# Where a location's settings may be on 64-bit Windows: the 64-bit regedit
# (the one a double-click on location.reg starts) writes the 64-bit registry
# view, a 32-bit regedit the 32-bit view. The program reads the 64-bit view
# first; with settings in both, an unusable location code in the 32-bit view
# shows whether it was read. A key without the value in the 64-bit view, left
# by other software of the vendor, does not hide the 32-bit view's.
USABLE = dict(location_code="0042", host="127.0.0.1:9", user="kestrane", password="secret", remote_folder="")
UNUSABLE = dict(USABLE, location_code=r"..\..\x")
KEY_WITHOUT_THE_VALUE = None
SETTINGS_BY_VIEW = {
    "64-bit view": {64: USABLE},
    "32-bit view": {32: USABLE},
    "both views, the 64-bit one first": {64: USABLE, 32: UNUSABLE},
    "the 64-bit key without the value, the 32-bit view": {64: KEY_WITHOUT_THE_VALUE, 32: USABLE},
}


@pytest.mark.parametrize("views", SETTINGS_BY_VIEW.values(), ids=SETTINGS_BY_VIEW.keys())
def test_the_settings_are_read_from_either_registry_view(kestrane, views):
    codes = {}
    for view, settings in views.items():
        if settings is KEY_WITHOUT_THE_VALUE:
            kestrane.prefix.reg_add(rig.SETTINGS_KEY, "Installed", "1", view=view)
        else:
            codes[view] = kestrane.provision(**settings, view=view)
    # Each import reached its own view only, the 32-bit one as 64-bit programs see it.
    for view in (64, 32):
        stored = ("REG_SZ", codes[view]) if view in codes else None
        assert kestrane.prefix.reg_query(rig.SETTINGS_KEY, rig.SETTINGS_VALUE, view=view) == stored, view
    stored = ("REG_SZ", codes[32]) if 32 in codes else None
    assert kestrane.prefix.reg_query(rig.WOW64_SETTINGS_KEY, rig.SETTINGS_VALUE, view=64) == stored

    result = kestrane.run(close_after_ms=1000)

    assert result.message_boxes == [], result.describe()
    assert result.main_window["title"] == rig.PROGRAM_TITLE
    assert result.log == rig.FIRST_LOG_LINE
    assert result.exit_code == rig.EXIT_NOT_RUN
