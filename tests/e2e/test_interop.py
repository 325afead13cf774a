"""The whole job against FTP servers as locations have them: two that no one
here wrote (ProFTPD and Pure-FTPd, from Debian's packages, see
debian_ftp_servers.py) and the test server answering in the words of
Microsoft IIS and of FileZilla Server (without SIZE, so that listings tell).

Every server gets the same two runs. The first sends to an empty folder: the
check for a file of the upload's name must find none, whatever words the
server has for a missing file. In the second, the server already holds a file
under the name of an earlier upload of ours, of the same size, that is not
ours (another PC's): ours goes out renamed to the next free minute, its
header line naming it, and theirs is left as it was. The remote folder's name
holds blanks, '[' and '*'.
"""

import datetime
import os

import pytest

import delivery
import rig
from debian_ftp_servers import start_proftpd, start_pure_ftpd
from delivery import Records
from scenario import COMPLETE_LOG

FOLDER = "drop box [1]*/"
EARLIER = rig.upload_file_name(datetime.datetime(2025, 1, 31, 8, 5), delivery.LOCATION_CODE)
RENAMED = rig.upload_file_name(datetime.datetime(2025, 1, 31, 8, 6), delivery.LOCATION_CODE)


def debian_server(start):
    """The server start(...) starts, for the location's account, stopped when
    the test ends; options such as tls go to start."""
    def started(start_ftp_server, folder, request, **options):
        if os.geteuid() != 0:
            pytest.skip("ProFTPD and Pure-FTPd start each session as root, and these tests do not run as root")
        server = start(folder, delivery.USER, delivery.PASSWORD, **options)
        request.addfinalizer(server.stop)
        return server
    return started


def pyftpdlib_server(fault):
    """The test server (ftp_server.py) as fault makes it, for the location's account."""
    def started(start_ftp_server, folder, request, **options):
        return start_ftp_server(fault, user=delivery.USER, password=delivery.PASSWORD, **options)
    return started


SERVERS = {
    "ProFTPD": debian_server(start_proftpd),
    "Pure-FTPd": debian_server(start_pure_ftpd),
    "IIS's words": pyftpdlib_server("iis"),
    "FileZilla Server's words, without SIZE": pyftpdlib_server("filezilla"),
}


def put_on_server(server, path, content=None):
    """A folder (content None) or file put where the server serves it, the
    account's as the server's root folder is."""
    if content is None:
        path.mkdir()
    else:
        path.write_bytes(content)
    owner = server.root.stat()
    os.chown(path, owner.st_uid, owner.st_gid)


def upload_file(name, records):
    return rig.upload_file_content(name, records.data, delivery.LOCATION_CODE)


@pytest.mark.parametrize("name", list(SERVERS))
def test_delivery_to_a_server_as_it_answers(name, kestrane, handheld, start_ftp_server, tmp_path, request):
    server = SERVERS[name](start_ftp_server, tmp_path, request)
    folder = server.root / FOLDER
    put_on_server(server, folder)
    kestrane.provision(delivery.LOCATION_CODE, server.host, delivery.USER, delivery.PASSWORD, FOLDER)
    first = Records("first", 200)
    delivery.gather(handheld, first)

    delivered = delivery.run(kestrane, 0)

    assert delivered.exit_code == 0, delivered.describe()
    assert delivered.log_lines == COMPLETE_LOG
    assert [box.text for box in delivered.message_boxes] == [rig.FINISHED_MESSAGE]
    problems = delivery.exactly_once_problems(server, first, folder=FOLDER)
    assert not problems, problems
    assert delivery.leftovers(kestrane) == []
    assert handheld.done_marker.exists()

    ours, theirs = Records("earlier", 50), Records("another", 50)
    assert len(upload_file(EARLIER, ours)) == len(upload_file(EARLIER, theirs))
    (kestrane.workdir / EARLIER).write_bytes(upload_file(EARLIER, ours))
    (kestrane.workdir / (EARLIER + ".pending")).write_bytes(b"")
    put_on_server(server, folder / EARLIER, upload_file(EARLIER, theirs))
    second = Records("second", 200)
    delivery.gather(handheld, second)

    renamed = delivery.run(kestrane, 1)

    assert renamed.exit_code == 0, renamed.describe()
    assert renamed.log_lines == COMPLETE_LOG[:4] + [
        "Sending earlier file %s ..." % EARLIER,
        "The server already holds another file named %s: sending this one as %s ..." % (EARLIER, RENAMED),
    ] + COMPLETE_LOG[4:]
    assert (folder / EARLIER).read_bytes() == upload_file(EARLIER, theirs)
    assert (folder / RENAMED).read_bytes() == upload_file(RENAMED, ours)
    assert (kestrane.workdir / RENAMED).read_bytes() == upload_file(RENAMED, ours)
    assert not (kestrane.workdir / EARLIER).exists()
    problems = delivery.exactly_once_problems(server, first, theirs, ours, second, folder=FOLDER)
    assert not problems, problems
    assert delivery.leftovers(kestrane) == []
