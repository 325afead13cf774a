"""The Windows layers' own GoogleTest cases (registry reader, file layer,
rapi.dll loader and stand-in, the Win32 kit, the Winsock connection), run
inside the session's Wine prefix.

The FTP client's cases need a server for each fault; test_ftp_client.py runs
those, and test_tls_transport.py runs the TLS layer's against a TLS server.
"""

import rig

WIN32_TESTS_EXE = rig.BUILD_DIR / "kestrane_win32_tests.exe"


def test_windows_layers_pass_their_unit_tests(wine_session, tmp_path):
    report = tmp_path / "report.xml"
    result = wine_session.prefix.wine_command(
        [rig.windows_path(WIN32_TESTS_EXE), "--gtest_filter=-Ftp*:TlsServerTest.*",
         "--gtest_output=xml:" + rig.windows_path(report)],
        check=False, timeout=300)

    output = result.stdout.decode("utf-8", "replace")
    assert result.returncode == 0, output
    # Every suite must have run: a filter or a build that drops one would
    # otherwise pass unnoticed.
    xml = report.read_text(encoding="utf-8")
    for suite in ("RegistryTest", "Win32/LocalFilesContract", "Operations/BusyFileTest", "HeldFileTest", "Rapi",
                  "Win32KitTest", "TcpConnectionTest", "Failures/TcpConnectFailureTest", "Loopback/TcpEchoTest"):
        assert 'name="%s' % suite in xml, suite
    assert 'failures="0"' in xml


def test_a_worker_left_behind_never_runs_into_the_end_of_the_program(wine_session, tmp_path):
    # The test program leaves a worker blocked, as the FTP client leaves one
    # behind a server that never answers, set to wake and throw once the
    # program's exit has begun. The 32-bit runtime would abort then (status 3).
    trace = tmp_path / "the worker ran during the end"
    result = wine_session.prefix.wine_command(
        [rig.windows_path(WIN32_TESTS_EXE), "--leave-a-worker-behind", rig.windows_path(trace)],
        check=False, timeout=120)

    assert result.returncode == 7, result.stdout.decode("utf-8", "replace")
    assert not trace.exists()
