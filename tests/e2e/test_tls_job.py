"""The whole job for a location that asks for FTP over TLS: kestrane.exe, its
settings naming the server ftpes:// (explicit) or ftps:// (implicit) and
pinning its certificate (f=), against servers that require TLS on the control
and the data connections: the test server (pyftpdlib's TLS server), also as
one that counts an upload whole only after the client's close_notify and as
one that never sends its own on a data connection, and ProFTPD and Pure-FTPd
(debian_ftp_servers.py). A pin of another certificate stops the job before
the server hears the user's name, and the upload file waits for the next run.
"""

import pytest

import delivery
import rig
from delivery import LOCATION_CODE, PASSWORD, USER, Records
from debian_ftp_servers import start_proftpd, start_pure_ftpd
from ftp_server import Tls
from test_interop import debian_server, pyftpdlib_server
from test_tls_transport import OTHER_PIN, certificates  # noqa: F401 (a fixture)

# The location's scheme, and the server.
SERVERS = {
    "pyftpdlib, explicit": ("ftpes", pyftpdlib_server("none")),
    "pyftpdlib, implicit": ("ftps", pyftpdlib_server("none")),
    "pyftpdlib, explicit, requiring the client's close_notify": ("ftpes", pyftpdlib_server("tls-strict-eof")),
    "pyftpdlib, explicit, never sending its close_notify": ("ftpes", pyftpdlib_server("tls-no-close-notify")),
    "ProFTPD, explicit": ("ftpes", debian_server(start_proftpd)),
    "ProFTPD, implicit": ("ftps", debian_server(start_proftpd)),
    "Pure-FTPd, explicit": ("ftpes", debian_server(start_pure_ftpd)),
}


def provision_tls(kestrane, scheme, port, pin, remote_folder=""):
    code = rig.encode_settings(LOCATION_CODE, "%s://127.0.0.1:%d" % (scheme, port), USER, PASSWORD, remote_folder)
    # The pin is one more entry; the settings string is stored back to front.
    if pin:
        code = ("f=%s;" % pin)[::-1].encode("cp1252").hex().upper() + code
    kestrane.provision_code(code)


def run_log(kestrane):
    return (kestrane.workdir / "kestrane.log").read_text(encoding="cp1252")


@pytest.mark.parametrize("name", list(SERVERS))
def test_a_location_on_tls_delivers_through_its_pinned_server(kestrane, handheld, certificates, start_ftp_server,
                                                              tmp_path, request, name):
    scheme, start = SERVERS[name]
    certificate = certificates["self-signed"]
    server = start(start_ftp_server, tmp_path, request,
                   tls=Tls(certificate.cert, certificate.key, implicit=scheme == "ftps"))
    records = Records("tls", 100)
    delivery.gather(handheld, records)
    provision_tls(kestrane, scheme, server.port, certificate.fingerprint)

    result = kestrane.run()

    assert result.exit_code == 0, result.describe()
    assert [box.text for box in result.message_boxes] == [rig.FINISHED_MESSAGE]
    problems = delivery.exactly_once_problems(server, records, folder="")
    assert not problems, problems
    assert delivery.leftovers(kestrane) == []
    assert PASSWORD not in run_log(kestrane)
    if isinstance(server, rig.FtpServer):
        # Its journal: explicit TLS is asked for, implicit is there from the first byte.
        assert ("AUTH" in server.command_names()) == (scheme == "ftpes"), server.commands()
    assert handheld.done_marker.exists()


def test_a_pin_of_another_certificate_stops_before_the_user_name(kestrane, handheld, certificates,
                                                                 start_ftp_server):
    certificate = certificates["self-signed"]
    server = start_ftp_server(user=USER, password=PASSWORD, tls=Tls(certificate.cert, certificate.key, False))
    delivery.gather(handheld, Records("tls", 10))
    provision_tls(kestrane, "ftpes", server.port, OTHER_PIN)

    result = kestrane.run()

    assert result.exit_code == 1, result.describe()
    [box] = result.message_boxes
    assert "certificate" in box.text and "kept in the working folder" in box.text, box.text
    assert not {"USER", "PASS"} & server.command_names(), server.commands()
    assert server.files() == []
    assert PASSWORD not in run_log(kestrane)
    assert not handheld.done_marker.exists()
