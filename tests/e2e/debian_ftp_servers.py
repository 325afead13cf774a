"""FTP servers that no one here wrote: ProFTPD and Pure-FTPd, from Debian's
packages, for the interop scenarios.

Debian's FTP server packages conflict with one another (each one provides
ftp-server) and each sets up a system service, so scripts/setup.sh unpacks
their programs under build/ftp-servers instead of installing them
(KESTRANE_FTP_SERVERS_DIR points elsewhere). Each server here runs in the
foreground on a free loopback port, with a configuration of its own and a
throw-away virtual account in a password file of its own: no system user,
nothing of the machine's configuration. stop() ends it.

Both start each session as root, to change into the account's folder as
its root and then become the account's user, "nobody": the tests must run as
root. The account serves a fresh folder under the system's temporary folder,
since pytest's folders are open to their owner only; what a test puts there
must belong to the account, as the folder does.

Given tls (its certfile, keyfile and whether implicit), a server speaks FTP
over TLS only, on the control and the data connections: ProFTPD through its
mod_tls, explicit or implicit, Pure-FTPd explicit only (Debian's build has no
implicit TLS). Neither requires a data connection to resume the control
connection's TLS session, which Wine's Schannel cannot do: ProFTPD is told
so, and Pure-FTPd never checks.
"""

import grp
import os
import pwd
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
from pathlib import Path

import rig

SERVERS_DIR = Path(os.environ.get("KESTRANE_FTP_SERVERS_DIR", rig.REPO_DIR / "build" / "ftp-servers"))
PROFTPD = SERVERS_DIR / "usr" / "sbin" / "proftpd"
PURE_FTPD = SERVERS_DIR / "usr" / "sbin" / "pure-ftpd"
PURE_PW = SERVERS_DIR / "usr" / "bin" / "pure-pw"
PROFTPD_MODULES = SERVERS_DIR / "usr" / "lib" / "proftpd"
START_LIMIT_S = 30
# A free port found may be taken by another program before the server binds
# it; the server then ends at once, and starts again on another.
START_ATTEMPTS = 5
STOP_LIMIT_S = 10
POLL_S = 0.05

PROFTPD_CONFIG = """\
ServerType standalone
ServerName "Kestrane interop"
DefaultAddress 127.0.0.1
Port {port}
UseIPv6 off
{run_as}
PidFile {folder}/proftpd.pid
ScoreboardFile {folder}/proftpd.scoreboard
SystemLog {folder}/proftpd.log
WtmpLog off
TransferLog none
DelayEngine off
UseReverseDNS off
AuthOrder mod_auth_file.c
AuthUserFile {folder}/passwd
AuthGroupFile {folder}/group
RequireValidShell off
DefaultRoot ~
AllowOverwrite on
Umask 022
{tls}"""

PROFTPD_TLS_CONFIG = """\
ModulePath {modules}
LoadModule mod_tls.c
TLSEngine on
TLSLog {folder}/tls.log
TLSRSACertificateFile {certfile}
TLSRSACertificateKeyFile {keyfile}
TLSVerifyClient off
TLSRequired on
TLSOptions NoSessionReuseRequired{implicit}
"""


class DebianFtpServer:
    """One running server and its account."""

    def __init__(self, name, folder, user, password, tls):
        self.name = name
        self.folder = Path(folder)
        self.user = user
        self.password = password
        self.tls = tls
        self.port = None
        nobody = pwd.getpwnam("nobody")
        self.uid, self.gid = nobody.pw_uid, nobody.pw_gid
        self.root = Path(tempfile.mkdtemp(prefix="kestrane-ftp-root-"))
        self.root.chmod(0o755)
        os.chown(self.root, self.uid, self.gid)
        self.process = None

    @property
    def host(self):
        return "127.0.0.1:%d" % self.port

    def start(self, command_for_port):
        """Starts the server that command_for_port(port) runs, on a free port."""
        log_path = self.folder / "server.log"
        for _ in range(START_ATTEMPTS):
            self.port = _free_port()
            with open(log_path, "ab") as log:
                # A session of its own: Pure-FTPd serves each connection from a child process.
                self.process = subprocess.Popen(command_for_port(self.port), stdin=subprocess.DEVNULL,
                                                stdout=log, stderr=log, start_new_session=True)
            deadline = time.monotonic() + START_LIMIT_S
            while self.process.poll() is None and time.monotonic() < deadline:
                if _greets(self.port, self.tls is not None and self.tls.implicit):
                    return
                time.sleep(POLL_S)
            if self.process.poll() is None:
                break
        self.stop()
        raise rig.RigError("%s did not start (exit status %s): %s" % (
            self.name, self.process.poll(), log_path.read_text(errors="replace")))

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=STOP_LIMIT_S)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _greets(port, implicit_tls):
    """Whether a server on the port sends a 220 greeting, inside TLS if implicit."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
            if not implicit_tls:
                return connection.recv(4).startswith(b"220")
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            with context.wrap_socket(connection) as tls:
                return tls.recv(4).startswith(b"220")
    except OSError:
        return False


def _password_hash(password):
    """The password as crypt(3) checks it: SHA-512 with a random salt."""
    return subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=password, capture_output=True, text=True,
                          check=True).stdout.strip()


def _require(program):
    if not program.is_file():
        raise rig.RigError("%s is missing: scripts/setup.sh unpacks it" % program)


def start_proftpd(folder, user, password, tls=None):
    """ProFTPD with the account in an AuthUserFile of its own, chrooted to its folder."""
    _require(PROFTPD)
    server = DebianFtpServer("ProFTPD", folder, user, password, tls)
    (server.folder / "passwd").write_text("%s:%s:%d:%d::%s:/bin/false\n" % (
        user, _password_hash(password), server.uid, server.gid, server.root))
    (server.folder / "group").write_text("%s:x:%d:\n" % (user, server.gid))
    (server.folder / "passwd").chmod(0o600)
    run_as = "User %s\nGroup %s" % (pwd.getpwuid(server.uid).pw_name, grp.getgrgid(server.gid).gr_name)
    config = server.folder / "proftpd.conf"
    tls_config = ""
    if tls is not None:
        _require(PROFTPD_MODULES / "mod_tls.so")
        tls_config = PROFTPD_TLS_CONFIG.format(modules=PROFTPD_MODULES, folder=server.folder, certfile=tls.certfile,
                                               keyfile=tls.keyfile, implicit=" UseImplicitSSL" if tls.implicit else "")

    def command(port):
        config.write_text(PROFTPD_CONFIG.format(port=port, folder=server.folder, run_as=run_as, tls=tls_config))
        return [str(PROFTPD), "--nodaemon", "--config", str(config)]
    server.start(command)
    return server


def start_pure_ftpd(folder, user, password, tls=None):
    """Pure-FTPd with the account in a PureDB of its own; virtual users are chrooted.
    Over TLS (explicit only), level 3: no command nor data in clear."""
    _require(PURE_FTPD)
    _require(PURE_PW)
    if tls is not None and tls.implicit:
        raise rig.RigError("Debian's Pure-FTPd has no implicit TLS")
    server = DebianFtpServer("Pure-FTPd", folder, user, password, tls)
    users = server.folder / "pureftpd.passwd"
    database = server.folder / "pureftpd.pdb"
    users.write_text("%s:%s:%d:%d::%s/./::::::::::::\n" % (
        user, _password_hash(password), server.uid, server.gid, server.root))
    users.chmod(0o600)
    subprocess.run([str(PURE_PW), "mkdb", str(database), "-f", str(users)], check=True, capture_output=True)
    tls_options = [] if tls is None else ["--tls", "3", "--certfile", "%s,%s" % (tls.certfile, tls.keyfile)]
    server.start(lambda port: [
        str(PURE_FTPD), "--bind", "127.0.0.1,%d" % port, "--login", "puredb:%s" % database, "--noanonymous",
        "--dontresolve", "--ipv4only", "--pidfile", str(server.folder / "pure-ftpd.pid")] + tls_options)
    return server

