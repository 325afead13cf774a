"""Fixtures of the end-to-end tests; the machinery is in rig.py.

wine_session      the display and Wine prefix shared by the session (one each
                  per pytest-xdist worker)
prefix            the Wine prefix this test runs in: the session's, or, for a
                  test marked own_prefix, one of its own, a copy of the
                  session's as it was booted. A test that takes away or
                  replaces the system folder's rapi.dll, or anything else the
                  tests beside it need, is marked so.
kestrane          this test's TestBench in that prefix: workdir, handheld,
                  done_file, provision(...), run(...) -> RunResult
handheld          this test's Handheld (the same as kestrane.handheld)
ftp_server        a working FTP server for this test (rig.FtpServer)
start_ftp_server  start_ftp_server(fault=...) starts a further or faulty one

Run them with /usr/bin/python3 -m pytest tests/e2e, after building the
Windows programs (cmake --preset windows && cmake --build --preset windows);
KESTRANE_BUILD_DIR points the rig at another build folder.

Tests marked minute_long wait about a minute for the program itself, so they
start first: run last, one of them would keep a worker busy long after the
others have finished.
"""

import pytest

import rig


def pytest_collection_modifyitems(items):
    items.sort(key=lambda item: item.get_closest_marker("minute_long") is None)


@pytest.fixture(scope="session")
def wine_session(tmp_path_factory):
    session = rig.WineSession(tmp_path_factory.mktemp("wine"))
    try:
        session.start()
        yield session
    finally:
        session.stop()


@pytest.fixture
def prefix(wine_session, tmp_path, request):
    if request.node.get_closest_marker("own_prefix") is None:
        yield wine_session.prefix
        return
    own = wine_session.own_prefix(tmp_path / "own-wine" / "prefix")
    try:
        yield own
    finally:
        own.discard()


@pytest.fixture
def kestrane(wine_session, prefix, tmp_path):
    bench = rig.TestBench(wine_session, tmp_path, prefix)
    bench.reset()
    yield bench
    bench.cleanup()


@pytest.fixture
def handheld(kestrane):
    return kestrane.handheld


@pytest.fixture
def start_ftp_server(tmp_path):
    module = rig.load_ftp_server_module()
    if module is None:
        pytest.xfail("the test FTP server, tests/e2e/ftp_server.py, is not written yet")
    servers = []

    def start(fault="none", **account):
        server = rig.start_ftp_server(module, tmp_path, fault, **account)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


@pytest.fixture
def ftp_server(start_ftp_server):
    return start_ftp_server()
