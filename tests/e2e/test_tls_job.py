"""The whole job for a location that asks for FTP over TLS: kestrane.exe, its
settings naming the server ftpes:// (explicit) or ftps:// (implicit) and
pinning its certificate (f=), against pyftpdlib's TLS server, which requires
TLS on the control and the data connections. A pin of another certificate
stops the job before the server hears the user's name, and the upload file
waits for the next run.
"""

import pytest

import rig
from test_schannel_ftp import PASSWORD, USER, start_ftps_server
from test_tls_transport import OTHER_PIN, certificates  # noqa: F401 (a fixture)

DATA = b"R1~;1\r\nR2~;2"
SCHEMES = {"explicit": "ftpes", "implicit": "ftps"}


def provision_tls(kestrane, scheme, port, pin, remote_folder=""):
    code = rig.encode_settings("0042", "%s://127.0.0.1:%d" % (scheme, port), USER, PASSWORD, remote_folder)
    # The pin is one more entry; the settings string is stored back to front.
    if pin:
        code = ("f=%s;" % pin)[::-1].encode("cp1252").hex().upper() + code
    kestrane.provision_code(code)


@pytest.mark.parametrize("mode", sorted(SCHEMES))
def test_a_location_on_tls_delivers_through_its_pinned_server(kestrane, handheld, certificates, tmp_path, mode):
    certificate = certificates["self-signed"]
    root = tmp_path / "root"
    root.mkdir()
    port, commands, stop = start_ftps_server(root, certificate, mode == "implicit")
    try:
        handheld.dock(DATA)
        provision_tls(kestrane, SCHEMES[mode], port, certificate.fingerprint)
        result = kestrane.run()
    finally:
        stop()

    assert result.exit_code == 0, result.describe()
    assert [box.text for box in result.message_boxes] == [rig.FINISHED_MESSAGE]
    [name] = [path.name for path in root.iterdir()]
    assert (root / name).read_bytes() == (kestrane.workdir / name).read_bytes()
    assert ("AUTH" in commands) == (mode == "explicit"), commands
    assert {"PBSZ", "PROT", "STOR"} <= set(commands), commands
    assert handheld.done_marker.exists()


def test_a_pin_of_another_certificate_stops_before_the_user_name(kestrane, handheld, certificates, tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    port, commands, stop = start_ftps_server(root, certificates["self-signed"], False)
    try:
        handheld.dock(DATA)
        provision_tls(kestrane, "ftpes", port, OTHER_PIN)
        result = kestrane.run()
    finally:
        stop()

    assert result.exit_code == 1, result.describe()
    [box] = result.message_boxes
    assert "certificate" in box.text and "kept in the working folder" in box.text, box.text
    assert "USER" not in commands and "PASS" not in commands, commands
    assert list(root.iterdir()) == []
    assert PASSWORD not in (kestrane.workdir / "kestrane.log").read_text(encoding="cp1252")
    assert not handheld.done_marker.exists()
