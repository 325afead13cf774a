"""Kestrane's own FTP client over the Schannel transport, end to end:
kestrane_win32_tests.exe in the session's Wine prefix against the test FTP
server over TLS (ftp_server.py: pyftpdlib's TLS server, TLS required on the
control and the data connections), explicit (AUTH TLS) and implicit (TLS
from the first byte), once per case.

The server's certificate is the self-signed one of test_tls_transport.py,
pinned by the location's settings, or not: then the connect must fail for
security, and the server must never see USER. Session reuse is not
required of the data connections: Wine's Schannel does not resume one.
"""

import pytest
from ftp_server import Tls

import rig
from test_ftp_client import run_in_prefix
from test_tls_transport import OTHER_PIN, WIN32_TESTS_EXE, certificates  # noqa: F401 (a fixture)

USER, PASSWORD = "kestrane", "s3cret-ftps"


def run_case(wine_session, start_ftp_server, certificate, mode, test, pins):
    assert WIN32_TESTS_EXE.is_file(), "not built: %s" % WIN32_TESTS_EXE
    server = start_ftp_server(user=USER, password=PASSWORD,
                              tls=Tls(certificate.cert, certificate.key, mode == "implicit"))
    env = dict(KESTRANE_TEST_FTPS=server.host, KESTRANE_TEST_FTPS_TLS=mode,
               KESTRANE_TEST_FTPS_USER=USER, KESTRANE_TEST_FTPS_PASSWORD=PASSWORD,
               KESTRANE_TEST_FTPS_PINS=pins)
    status, output = run_in_prefix(wine_session.prefix, [
        rig.windows_path(WIN32_TESTS_EXE), "--gtest_filter=SchannelFtpServerTest." + test], env)
    assert status == 0, output
    assert "[  PASSED  ] 1 test" in output, output
    return server.root, server.command_names(), output


@pytest.mark.parametrize("mode", ["explicit", "implicit"])
def test_transfers_over_tls(wine_session, certificates, start_ftp_server, mode):
    certificate = certificates["self-signed"]
    root, commands, output = run_case(wine_session, start_ftp_server, certificate, mode, "TransfersAFileBothWays",
                                      certificate.fingerprint)
    assert (root / "upload.bin").stat().st_size == 200_003
    assert ("AUTH" in commands) == (mode == "explicit"), commands
    assert {"USER", "PASS", "PROT", "STOR", "SIZE", "RETR"} <= commands, commands


@pytest.mark.parametrize("mode", ["explicit", "implicit"])
def test_refuses_an_unpinned_certificate(wine_session, certificates, start_ftp_server, mode):
    root, commands, output = run_case(wine_session, start_ftp_server, certificates["self-signed"], mode,
                                      "RefusesAServerWhoseCertificateIsNotPinned", OTHER_PIN)
    assert "FtpError: " in output, output
    assert "USER" not in commands and "PASS" not in commands, commands
    assert PASSWORD not in output


def test_abort_ends_an_open_connection(wine_session, certificates, start_ftp_server):
    certificate = certificates["self-signed"]
    run_case(wine_session, start_ftp_server, certificate, "explicit", "AbortEndsAnOpenConnection",
             certificate.fingerprint)
