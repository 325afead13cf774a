"""Kestrane's own FTP client over the Schannel transport, end to end:
kestrane_win32_tests.exe in the session's Wine prefix against pyftpdlib's
FTP over TLS server (TLS required on the control and the data connections),
explicit (AUTH TLS) and implicit (TLS from the first byte), once per case.

The server's certificate is the self-signed one of test_tls_transport.py,
pinned by the location's settings, or not: then the connect must fail for
security, and the server must never see USER. Session reuse is not
required of the data connections: Wine's Schannel does not resume one.
"""

import threading

import pytest
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import TLS_FTPHandler
from pyftpdlib.servers import FTPServer

import rig
from test_ftp_client import run_in_prefix
from test_tls_transport import OTHER_PIN, WIN32_TESTS_EXE, certificates  # noqa: F401 (a fixture)

USER, PASSWORD = "kestrane", "s3cret-ftps"
STOP_CHECK_S = 0.05


def start_ftps_server(root, certificate, implicit):
    """Serves on a background thread; returns (port, commands, stop)."""
    commands = []

    class Handler(TLS_FTPHandler):
        certfile = str(certificate.cert)
        keyfile = str(certificate.key)
        tls_control_required = True
        tls_data_required = True
        ssl_context = None

        def handle(self):
            if implicit:
                self.secure_connection(self.ssl_context)
            super().handle()

        def pre_process_command(self, line, cmd, arg):
            commands.append(cmd)
            super().pre_process_command(line, cmd, arg)

    authorizer = DummyAuthorizer()
    authorizer.add_user(USER, PASSWORD, str(root), perm="elradfmw")
    Handler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", 0), Handler)
    stopping = threading.Event()

    def serve():
        while not stopping.is_set():
            server.ioloop.loop(timeout=STOP_CHECK_S, blocking=False)
        server.close_all()

    thread = threading.Thread(target=serve, name="ftps-server", daemon=True)
    thread.start()

    def stop():
        stopping.set()
        thread.join(timeout=10)

    return server.address[1], commands, stop


def run_case(wine_session, tmp_path, certificate, mode, test, pins):
    assert WIN32_TESTS_EXE.is_file(), "not built: %s" % WIN32_TESTS_EXE
    root = tmp_path / "root"
    root.mkdir()
    port, commands, stop = start_ftps_server(root, certificate, mode == "implicit")
    try:
        env = dict(KESTRANE_TEST_FTPS="127.0.0.1:%d" % port, KESTRANE_TEST_FTPS_TLS=mode,
                   KESTRANE_TEST_FTPS_USER=USER, KESTRANE_TEST_FTPS_PASSWORD=PASSWORD,
                   KESTRANE_TEST_FTPS_PINS=pins)
        status, output = run_in_prefix(wine_session.prefix, [
            rig.windows_path(WIN32_TESTS_EXE), "--gtest_filter=SchannelFtpServerTest." + test], env)
    finally:
        stop()
    assert status == 0, output
    assert "[  PASSED  ] 1 test" in output, output
    return root, commands, output


@pytest.mark.parametrize("mode", ["explicit", "implicit"])
def test_transfers_over_tls(wine_session, certificates, tmp_path, mode):
    certificate = certificates["self-signed"]
    root, commands, output = run_case(wine_session, tmp_path, certificate, mode, "TransfersAFileBothWays",
                                      certificate.fingerprint)
    assert (root / "upload.bin").stat().st_size == 200_003
    assert ("AUTH" in commands) == (mode == "explicit"), commands
    assert {"USER", "PASS", "PROT", "STOR", "SIZE", "RETR"} <= set(commands), commands


@pytest.mark.parametrize("mode", ["explicit", "implicit"])
def test_refuses_an_unpinned_certificate(wine_session, certificates, tmp_path, mode):
    root, commands, output = run_case(wine_session, tmp_path, certificates["self-signed"], mode,
                                      "RefusesAServerWhoseCertificateIsNotPinned", OTHER_PIN)
    assert "FtpError: " in output, output
    assert "USER" not in commands and "PASS" not in commands, commands
    assert PASSWORD not in output


def test_abort_ends_an_open_connection(wine_session, certificates, tmp_path):
    certificate = certificates["self-signed"]
    run_case(wine_session, tmp_path, certificate, "explicit", "AbortEndsAnOpenConnection", certificate.fingerprint)
