"""The Windows TLS layer (Winsock and Schannel, with Kestrane's own checks of
the server's certificate), end to end: kestrane_win32_tests.exe in the
session's Wine prefix against tls_server.py, once per case.

Each case makes certificates as a location's server might have them (a
self-signed one, and two issued by a test authority: one that names
localhost and 127.0.0.1, one that names another host), starts the server in
the case's mode, runs the test of tests/win32/tls_connection_test.cpp that
fits, and checks what it printed and what the server received.
"""

import hashlib
import re
import ssl
import subprocess
from dataclasses import dataclass, field

import pytest

import rig
from test_ftp_client import run_in_prefix
from tls_server import start_tls_server

WIN32_TESTS_EXE = rig.BUILD_DIR / "kestrane_win32_tests.exe"
SERVER_TESTS = "TlsServerTest."
ECHO_BYTES = 300_007
# What the check test sends once a certificate is accepted.
AFTER_THE_CHECK = len("after the check")
# A pin of no certificate.
OTHER_PIN = "00" * 32


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


@dataclass
class Certificate:
    cert: object
    key: object

    @property
    def der(self):
        return ssl.PEM_cert_to_DER_cert(self.cert.read_text(encoding="ascii"))

    @property
    def fingerprint(self):
        digest = hashlib.sha256(self.der).hexdigest().upper()
        return ":".join(digest[i:i + 2] for i in range(0, len(digest), 2))


def issued_certificate(folder, name, authority, alt_names):
    key, request, cert, extensions = (folder / (name + suffix) for suffix in (".key", ".csr", ".pem", ".ext"))
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + alt_names[0].split(":")[1],
            "-keyout", str(key), "-out", str(request))
    extensions.write_text("subjectAltName=%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n"
                          % ",".join(alt_names), encoding="ascii")
    openssl("x509", "-req", "-in", str(request), "-CA", str(authority.cert), "-CAkey", str(authority.key),
            "-CAcreateserial", "-days", "2", "-extfile", str(extensions), "-out", str(cert))
    return Certificate(cert, key)


@pytest.fixture(scope="session")
def certificates(tmp_path_factory):
    folder = tmp_path_factory.mktemp("certificates")
    made = {}
    self_signed = Certificate(folder / "self.pem", folder / "self.key")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
            "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
            "-keyout", str(self_signed.key), "-out", str(self_signed.cert))
    made["self-signed"] = self_signed
    authority = Certificate(folder / "authority.pem", folder / "authority.key")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Kestrane Test Authority",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            "-keyout", str(authority.key), "-out", str(authority.cert))
    made["authority"] = authority
    (folder / "authority.der").write_bytes(authority.der)
    made["issued"] = issued_certificate(folder, "issued", authority, ["DNS:localhost", "IP:127.0.0.1"])
    made["other-name"] = issued_certificate(folder, "other-name", authority, ["DNS:kestrane-other.test"])
    made["authority-der"] = folder / "authority.der"
    return made


@dataclass
class Case:
    certificate: str
    mode: str
    test: str
    name: str = "localhost"
    # The pin setting: a function of the server certificate's fingerprint.
    pins: object = lambda fingerprint: ""
    trust_authority: bool = False
    expect: str = ""
    # Regular expressions that must each match a line of the output.
    printed: tuple = ()
    # How many bytes of the application the server must have received.
    received: int = 0
    # Whether the client ended TLS with a close_notify: never after a
    # refused certificate, nor when abandoned.
    close_notify: bool = True


def lower_run_together(fingerprint):
    return fingerprint.replace(":", "").lower()


CASES = {
    "echo-pinned": Case(
        "self-signed", "echo", "EchoesThroughManyRecordsBothWays",
        pins=lambda fingerprint: OTHER_PIN + ", " + lower_run_together(fingerprint),
        printed=(r"^CERTIFICATE: Server certificate: CN=localhost$",
                 r"^CERTIFICATE: Valid from \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC to \d{4}-",
                 r"^CERTIFICATE: Accepted because this location's settings pin it$"),
        received=8 + ECHO_BYTES),
    "not-pinned": Case(
        "self-signed", "count", "ChecksTheCertificateAsTheSettingsSay", pins=lambda fingerprint: OTHER_PIN,
        expect="the server's certificate is not the one this location's settings pin (its SHA-256 fingerprint is ",
        close_notify=False),
    "self-signed": Case(
        "self-signed", "count", "ChecksTheCertificateAsTheSettingsSay",
        expect="Windows does not trust the server's certificate: it comes from an authority that Windows does not "
               "trust", close_notify=False),
    "trusted": Case(
        "issued", "count", "ChecksTheCertificateAsTheSettingsSay", trust_authority=True, expect="accepted",
        printed=(r"^ACCEPTED: Accepted because Windows trusts it and it names localhost$",),
        received=AFTER_THE_CHECK),
    "trusted-by-address": Case(
        "issued", "count", "ChecksTheCertificateAsTheSettingsSay", name="127.0.0.1", trust_authority=True,
        expect="accepted", received=AFTER_THE_CHECK),
    "other-name": Case(
        "other-name", "count", "ChecksTheCertificateAsTheSettingsSay", trust_authority=True,
        expect="the server's certificate does not name localhost", close_notify=False),
    "other-address": Case(
        "other-name", "count", "ChecksTheCertificateAsTheSettingsSay", name="127.0.0.1", trust_authority=True,
        expect="the server's certificate does not name 127.0.0.1", close_notify=False),
    "silent-close": Case(
        "self-signed", "silent", "CloseWaitsOnlyBrieflyForAServerThatNeverAnswers",
        pins=lambda fingerprint: fingerprint, printed=(r"^CLOSED$",), received=len("hello")),
    "abort": Case(
        "self-signed", "echo", "AbortEndsAReceiveWaitingOnAnotherThread", pins=lambda fingerprint: fingerprint,
        close_notify=False),
}


@pytest.mark.parametrize("case_name", CASES)
def test_tls_connection(wine_session, certificates, case_name):
    assert WIN32_TESTS_EXE.is_file(), "not built: %s" % WIN32_TESTS_EXE
    case = CASES[case_name]
    certificate = certificates[case.certificate]
    server = start_tls_server(certificate.cert, certificate.key, case.mode)
    try:
        env = dict(KESTRANE_TEST_TLS="127.0.0.1:%d" % server.port, KESTRANE_TEST_TLS_NAME=case.name,
                   KESTRANE_TEST_TLS_PINS=case.pins(certificate.fingerprint),
                   KESTRANE_TEST_TLS_FINGERPRINT=certificate.fingerprint,
                   KESTRANE_TEST_TLS_TRUST=(rig.windows_path(certificates["authority-der"])
                                            if case.trust_authority else ""),
                   KESTRANE_TEST_TLS_EXPECT=case.expect)
        status, output = run_in_prefix(wine_session.prefix, [
            rig.windows_path(WIN32_TESTS_EXE), "--gtest_filter=" + SERVER_TESTS + case.test], env)
        connection = server.wait_for_connection()
    finally:
        server.stop()

    assert status == 0, output
    assert "[  PASSED  ] 1 test" in output, output
    lines = output.splitlines()
    for pattern in case.printed:
        assert any(re.search(pattern, line) for line in lines), (pattern, output)
    if case.expect.startswith("the server's certificate is not the one"):
        assert certificate.fingerprint in output, output
    # After a refused certificate nothing more is sent; after an accepted
    # one, all of it came.
    assert connection.handshake, connection
    assert connection.received == case.received, (connection, output)
    assert connection.close_notify == case.close_notify, (connection, output)
