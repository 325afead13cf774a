"""The Windows layers' own GoogleTest cases (registry reader, file layer,
rapi.dll loader and stand-in, the Win32 kit, the Winsock connection), run
under Wine: in the session's prefix, but for the loader's cases that take the
system folder's rapi.dll away or replace it, which run in a prefix of their own.

The FTP client's cases need a server for each fault; test_ftp_client.py runs
those, and test_tls_transport.py runs the TLS layer's against a TLS server, and
test_schannel_ftp.py the Schannel transport's against an FTP over TLS server.
"""

import pytest

import rig

WIN32_TESTS_EXE = rig.BUILD_DIR / "kestrane_win32_tests.exe"

# The cases that change the system folder's rapi.dll (tests/win32/rapi_device_test.cpp).
LIBRARY_PLACE_CASES = "RapiLibrary*"
# Which cases run where: the gtest filter, and the suites that must have run,
# so that a filter or a build that drops one does not pass unnoticed.
RUNS = [
    pytest.param("-Ftp*:TlsServerTest.*:SchannelFtpServerTest.*:" + LIBRARY_PLACE_CASES,
                 ("RegistryTest", "Win32/LocalFilesContract", "Operations/BusyFileTest", "HeldFileTest",
                  "RapiDeviceTest", "RapiDeviceHangTest", "Win32KitTest", "TcpConnectionTest",
                  "Failures/TcpConnectFailureTest", "Loopback/TcpEchoTest", "SchannelTransportTest"),
                 id="in the session's prefix"),
    pytest.param(LIBRARY_PLACE_CASES, ("RapiLibraryMissingTest", "RapiLibraryIncompleteTest"),
                 id="in a prefix of their own", marks=pytest.mark.own_prefix),
]


@pytest.mark.parametrize("cases, suites", RUNS)
def test_windows_layers_pass_their_unit_tests(prefix, tmp_path, cases, suites):
    report = tmp_path / "report.xml"
    result = prefix.wine_command(
        [rig.windows_path(WIN32_TESTS_EXE), "--gtest_filter=" + cases,
         "--gtest_output=xml:" + rig.windows_path(report)],
        check=False, timeout=300)

    output = result.stdout.decode("utf-8", "replace")
    assert result.returncode == 0, output
    xml = report.read_text(encoding="utf-8")
    for suite in suites:
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
