"""An FTP server for the tests and the demo, built on pyftpdlib.

It serves one account on 127.0.0.1 and can behave like one of the broken
servers Kestrane meets in the field, or answer in the words of another
server (see FAULTS). Every command it receives is appended to a journal file,
so a test can tell what the client asked for (the password is masked), and
so is every data connection ("DATA"). It can answer every command late, as
a server at the far end of a slow line does (--latency-ms). It can also
speak FTP over TLS only (pyftpdlib's TLS handler; --tls, or a Tls): explicit
(AUTH TLS) or implicit, TLS required on the control and the data
connections, and a data connection need not resume the control connection's
TLS session, which Wine's Schannel cannot do.

It can admit only so many sessions (control connections) at once, as a busy
server does (--max-connections): a connection over the limit gets pyftpdlib's
own "421 Too many connections." at once and is closed. It counts the most
sessions it held at once, and the sessions it admitted and turned away, and
writes them to a file when it ends (--stats).

Run it:
    /usr/bin/python3 tests/e2e/ftp_server.py --root DIR --user U --password P
        [--port 0] [--fault MODE] [--latency-ms 0] [--ready-file PATH] [--journal PATH]
        [--tls explicit|implicit --certfile PEM --keyfile PEM]
        [--max-connections K] [--stats PATH]
It prints "PORT n" once it listens, writes n to the ready file, and serves
until it is killed.

Or import it: start_server(...) runs it on a background thread and returns
(port, stop).
"""

import argparse
import collections
import logging
import os
import signal
import sys
import threading

from OpenSSL import SSL
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.ioloop import IOLoop
from pyftpdlib.servers import FTPServer

FAULTS = {
    "none": "a working server",
    "login-530": "refuses every password with 530",
    "login-echo": "rejects PASS with a 500 reply that repeats the command line, password included",
    "too-many-421": "answers a new connection with 421 Too many connections and closes it",
    "too-many-421-once": "answers the first connection as too-many-421 does, and serves the later ones",
    "stor-550": "the account may not write: STOR gets 550",
    "stor-552": "takes the whole upload, then replies 552 (quota exceeded) and drops the file",
    "stor-553-once": "refuses the first upload of each connection for good (553, file name not allowed), "
                     "and takes the others",
    "cut-data-426": "cuts the data connection part way through an upload and replies 426",
    "drop-all": "closes the data and control connections part way through an upload, with no reply",
    "no-banner": "accepts the connection but never sends its 220 banner, nor answers anything",
    "short-store": "replies 226 to an upload but keeps only the first half of the file",
    "slow": "moves data at 64 KB/s both ways: slow, but working",
    "hang-upload": "takes part of an upload, then reads no more of it and never answers",
    "hang-check": "works, but once the session has stored a file its size queries and listings never answer",
    "iis": "answers as Microsoft IIS does: SIZE in any mode, and 550 The system cannot find the file "
           "specified. for whatever is not there",
    "filezilla": "answers in FileZilla Server's words, and has no SIZE: 500 Syntax error, command "
                 "unrecognized., and 550 File not found for whatever is not there",
    "tls-strict-eof": "over TLS, counts an upload whole only if the client ended its data connection with a "
                      "close_notify: otherwise answers 426 and drops the file, as vsftpd's strict_ssl_read_eof does",
    "tls-no-close-notify": "over TLS, never sends its own close_notify on a data connection, and ends it with "
                           "TCP alone, as IIS does",
}
TLS_FAULTS = ("tls-strict-eof", "tls-no-close-notify")

# Where the cut-data-426, drop-all and hang-upload faults break the upload off.
CUT_AFTER_BYTES = 64 * 1024
THROTTLE_BYTES_PER_SECOND = 64 * 1024
# How often a server on a background thread looks whether it is to stop.
STOP_CHECK_S = 0.05
# Connections waiting to be accepted: enough that a thousand clients
# connecting at once are all accepted and answered (with a 421 over the
# session limit) rather than left to the kernel's dropped handshakes.
ACCEPT_BACKLOG = 1024
PERMISSIONS = "elradfmwMT"
READ_ONLY_PERMISSIONS = "elr"
CHECKING_COMMANDS = ("SIZE", "LIST", "NLST", "MLSD", "MLST")
IIS_NOT_FOUND = "550 The system cannot find the file specified."
FILEZILLA_NOT_FOUND = "550 File not found"
FILEZILLA_UNKNOWN_COMMAND = "500 Syntax error, command unrecognized."
_LIBRARY_LOG = logging.getLogger("pyftpdlib")


class Journal:
    """Appends one line per event to a file, flushed at once."""

    def __init__(self, path):
        self._path = path
        self._lock = threading.Lock()

    def write(self, line):
        if self._path is None:
            return
        with self._lock, open(self._path, "a", encoding="utf-8") as journal:
            journal.write(line + "\n")


def _masked(line):
    """The command line as the journal keeps it: a password is masked."""
    return "PASS ******" if line.split(" ")[0].upper() == "PASS" else line


class Tls(collections.namedtuple("Tls", "certfile keyfile implicit")):
    """FTP over TLS: the server's certificate and key files (PEM), and whether
    TLS starts with the connection (implicit) or with AUTH TLS (explicit)."""


def _tls_handler(tls):
    """TLS_FTPHandler with tls's certificate, requiring TLS everywhere."""
    class TlsHandler(TLS_FTPHandler):
        certfile = str(tls.certfile)
        keyfile = str(tls.keyfile)
        tls_control_required = True
        tls_data_required = True
        # A context of this class's own, made from its certificate.
        ssl_context = None

        def handle(self):
            if tls.implicit:
                self.secure_connection(self.ssl_context)
            super().handle()

        def ftp_AUTH(self, line):
            # pyftpdlib starts TLS as soon as it has made its 234 reply; here
            # TLS starts once that reply has gone out in clear (respond), which
            # a late reply does only later.
            if line.upper() in ("TLS", "TLS-C", "SSL", "TLS-P") and not self._ssl_requested:
                self.respond("234 AUTH %s successful." % line.upper())
            else:
                super().ftp_AUTH(line)

        def respond(self, resp, logfun=_LIBRARY_LOG.debug):
            super().respond(resp, logfun)
            if resp.startswith("234 "):
                self.secure_connection(self.ssl_context)

    return TlsHandler


def _journaling_handler(journal, latency_s, base):
    class JournalingHandler(base):
        """Journals each command line and each data connection, and sends
        each reply latency_s after it is made, in order."""

        def on_connect(self):
            journal.write("CONNECT")

        def pre_process_command(self, line, cmd, arg):
            journal.write(_masked(line))
            super().pre_process_command(line, cmd, arg)

        def _on_dtp_connection(self):
            journal.write("DATA")
            super()._on_dtp_connection()

        def respond(self, resp, logfun=_LIBRARY_LOG.debug):
            if not latency_s:
                super().respond(resp, logfun)
                return
            # Each reply waits its turn: a later one never overtakes.
            if not hasattr(self, "late_replies"):
                self.late_replies = collections.deque()
            self.late_replies.append(resp)
            self.call_later(latency_s, self._send_late_reply, logfun)

        def _send_late_reply(self, logfun):
            if not self._closed:
                super().respond(self.late_replies.popleft(), logfun)

    return JournalingHandler


class SessionTally:
    """The most sessions the server held at once, and how many it admitted
    and turned away with a 421."""

    def __init__(self):
        self.most_at_once = 0
        self.admitted = 0
        self.turned_away = 0

    def text(self):
        return "most_at_once %d\nadmitted %d\nturned_away %d\n" % (
            self.most_at_once, self.admitted, self.turned_away)


class _SessionLimitedServer(FTPServer):
    """An FTPServer whose max_cons limits the sessions at once, as vsftpd's
    max_clients does. pyftpdlib's own count takes in every socket it holds
    (its listener, and a passive listener and a data connection for each
    transfer), which admits fewer sessions than the limit, and fewer the more
    of them transfer."""

    def _map_len(self):
        # One entry per open control connection, the one being accepted included.
        return len(self.ip_map)


def _counting_handler(base, tally):
    class CountingHandler(base):
        """Counts into tally the sessions admitted, at once and in all, and
        those turned away."""

        def handle(self):
            tally.admitted += 1
            tally.most_at_once = max(tally.most_at_once, len(self.server.ip_map))
            super().handle()

        def handle_max_cons(self):
            tally.turned_away += 1
            super().handle_max_cons()

    return CountingHandler


def _cutting_dtp(how):
    class CuttingDTPHandler(DTPHandler):
        """Breaks an upload off once CUT_AFTER_BYTES have arrived: with a 426
        reply, by dropping both connections ("drop"), or by holding it ("hold")."""

        def handle_read(self):
            super().handle_read()
            if self._closed or self.tot_bytes_received < CUT_AFTER_BYTES:
                return
            channel = self.cmd_channel
            if how == "hold":
                # What arrived is on disk, and stays all the server ever holds
                # of this upload: the channel leaves the loop, so nothing more
                # is read and no reply comes, while the client waits.
                self.file_obj.flush()
                self.del_channel()
            elif how == "drop":
                self._resp = ()
                self.close()
                channel.close()
            else:
                self._resp = ("426 Connection closed; transfer aborted.", _LIBRARY_LOG.info)
                self.close()

        # DTPHandler binds handle_read_event to its own handle_read.
        handle_read_event = handle_read

    return CuttingDTPHandler


class _QuotaDTPHandler(DTPHandler):
    """Takes the whole upload, then refuses it as over quota and drops the file."""

    def handle_close(self):
        if self._closed or not self.receive or self.file_obj is None:
            super().handle_close()
            return
        # The file is unlinked before the reply goes out, so the client can never list it.
        os.remove(self.file_obj.name)
        self._resp = ("552 Requested file action aborted: exceeded storage allocation.",
                      _LIBRARY_LOG.info)
        self.close()


class _StrictEofDTPHandler(TLS_DTPHandler):
    """Refuses an upload whose TLS ended without the client's close_notify:
    426, and the file dropped."""

    def close(self):
        # Before the TLS shutdown, which marks the client's close_notify as
        # received whether it came or not.
        if (not self._closed and self.receive and self._resp and self._resp[0].startswith("226")
                and not self.socket.get_shutdown() & SSL.RECEIVED_SHUTDOWN):
            os.remove(self.file_obj.name)
            self._resp = ("426 Failure reading network stream: TLS ended without close_notify.",
                          _LIBRARY_LOG.info)
        super().close()


class _NoCloseNotifyDTPHandler(TLS_DTPHandler):
    """Ends each data connection with TCP alone, without its own close_notify."""

    def close(self):
        # The TLS connection's close then skips its shutdown.
        self._ssl_established = False
        super().close()


class _ShortStoreDTPHandler(DTPHandler):
    """Keeps only the first half of an upload, and still reports it complete."""

    def handle_close(self):
        if not self._closed and self.receive and self.file_obj is not None:
            self.file_obj.flush()
            self.file_obj.truncate(self.file_obj.tell() // 2)
        super().handle_close()


def _answering_in_other_words(base, not_found, size):
    """Methods for a subclass of base that reword every 550 as not_found and
    answer SIZE with size(handler, path)."""
    def respond(self, resp, logfun=_LIBRARY_LOG.debug):
        base.respond(self, not_found if resp.startswith("550 ") else resp, logfun)

    def ftp_SIZE(self, path):
        size(self, path)
    return {"respond": respond, "ftp_SIZE": ftp_SIZE}


def _size_in_any_mode(handler, path):
    """SIZE as IIS answers it: in ASCII mode too."""
    if not handler.fs.isfile(handler.fs.realpath(path)):
        handler.respond(IIS_NOT_FOUND)
        return
    handler.respond("213 %d" % handler.run_as_current_user(handler.fs.getsize, path))


def _handler_class(fault, journal, latency_s=0, tls=None):
    """The control-connection handler class that behaves as `fault` says,
    over TLS if tls is given."""
    if fault in TLS_FAULTS and tls is None:
        raise ValueError("the fault mode %r is one of FTP over TLS" % fault)
    base = _journaling_handler(journal, latency_s, FTPHandler if tls is None else _tls_handler(tls))
    attributes = {}

    if fault == "login-530":
        def ftp_PASS(self, line):
            self.respond("530 Login incorrect.")
        attributes["ftp_PASS"] = ftp_PASS
    elif fault == "login-echo":
        def ftp_PASS(self, line):
            self.respond("500 'PASS %s': command not understood." % line)
        attributes["ftp_PASS"] = ftp_PASS
    elif fault in ("too-many-421", "too-many-421-once"):
        turned_away = []

        def handle(self):
            if fault.endswith("-once") and turned_away:
                base.handle(self)
                return
            turned_away.append(True)
            self.on_connect()
            self.respond("421 Too many connections. Service temporarily unavailable.")
            self.close_when_done()
        attributes["handle"] = handle
    elif fault == "stor-552":
        attributes["dtp_handler"] = _QuotaDTPHandler
    elif fault == "stor-553-once":
        def ftp_STOR(self, file, mode="w"):
            if getattr(self, "refused_one", False):
                return base.ftp_STOR(self, file, mode)
            self.refused_one = True
            self.respond("553 Requested action not taken. File name not allowed.")
        attributes["ftp_STOR"] = ftp_STOR
    elif fault == "cut-data-426":
        attributes["dtp_handler"] = _cutting_dtp("426")
    elif fault == "drop-all":
        attributes["dtp_handler"] = _cutting_dtp("drop")
    elif fault == "hang-upload":
        attributes["dtp_handler"] = _cutting_dtp("hold")
    elif fault == "no-banner":
        def handle(self):
            self.on_connect()

        def found_terminator(self):
            journal.write(_masked(b"".join(self._in_buffer).decode("utf-8", "replace")))
            self._in_buffer = []
            self._in_buffer_len = 0
        attributes["handle"] = handle
        attributes["found_terminator"] = found_terminator
    elif fault == "short-store":
        attributes["dtp_handler"] = _ShortStoreDTPHandler
    elif fault == "slow":
        throttled = type("SlowDTPHandler", (ThrottledDTPHandler,),
                         {"read_limit": THROTTLE_BYTES_PER_SECOND, "write_limit": THROTTLE_BYTES_PER_SECOND})
        attributes["dtp_handler"] = throttled
    elif fault == "hang-check":
        def on_file_received(self, file):
            self.stored_a_file = True

        def process_command(self, cmd, *args, **kwargs):
            if cmd in CHECKING_COMMANDS and getattr(self, "stored_a_file", False):
                return
            base.process_command(self, cmd, *args, **kwargs)
        attributes["on_file_received"] = on_file_received
        attributes["process_command"] = process_command
    elif fault == "iis":
        attributes.update(_answering_in_other_words(base, IIS_NOT_FOUND, _size_in_any_mode))
    elif fault == "filezilla":
        attributes.update(_answering_in_other_words(
            base, FILEZILLA_NOT_FOUND, lambda handler, path: handler.respond(FILEZILLA_UNKNOWN_COMMAND)))
    elif fault == "tls-strict-eof":
        attributes["dtp_handler"] = _StrictEofDTPHandler
    elif fault == "tls-no-close-notify":
        attributes["dtp_handler"] = _NoCloseNotifyDTPHandler
    elif fault not in ("none", "stor-550"):
        raise ValueError("unknown fault mode %r; known: %s" % (fault, ", ".join(sorted(FAULTS))))

    if tls is not None and not issubclass(attributes.get("dtp_handler", TLS_DTPHandler), TLS_DTPHandler):
        raise ValueError("the fault mode %r has no form over TLS" % fault)
    return type("FaultyHandler", (base,), attributes)


def make_server(root, user, password, fault="none", port=0, journal=None, latency_ms=0, tls=None,
                max_connections=None):
    """An FTPServer on 127.0.0.1 with its own IOLoop; port 0 picks a free port;
    tls: a Tls for FTP over TLS; max_connections: the most sessions at once
    (None: no limit). Its `sessions` is the SessionTally of its sessions."""
    authorizer = DummyAuthorizer()
    permissions = READ_ONLY_PERMISSIONS if fault == "stor-550" else PERMISSIONS
    authorizer.add_user(user, password, os.path.abspath(root), perm=permissions)
    tally = SessionTally()
    handler = _counting_handler(_handler_class(fault, Journal(journal), latency_ms / 1000, tls), tally)
    handler.authorizer = authorizer
    handler.banner = "Kestrane test server ready."
    server = _SessionLimitedServer(("127.0.0.1", port), handler, ioloop=IOLoop(), backlog=ACCEPT_BACKLOG)
    server.max_cons = max_connections or 0
    # Every client here comes from 127.0.0.1: only the limit of all sessions counts.
    server.max_cons_per_ip = 0
    server.sessions = tally
    return server


def start_server(root, user, password, fault="none", port=0, journal=None, latency_ms=0, tls=None):
    """Serves on a background thread. Returns (port, stop); stop() ends it."""
    if not _LIBRARY_LOG.handlers and not logging.root.handlers:
        _LIBRARY_LOG.addHandler(logging.StreamHandler())
        _LIBRARY_LOG.setLevel(logging.WARNING)
    server = make_server(root, user, password, fault, port, journal, latency_ms, tls)
    stopping = threading.Event()

    def serve():
        # A late reply goes out when it is due only if no wait outlasts it.
        wait = STOP_CHECK_S
        while not stopping.is_set():
            soonest = server.ioloop.loop(timeout=wait, blocking=False)
            wait = STOP_CHECK_S if soonest is None else min(STOP_CHECK_S, soonest)
        server.close_all()

    thread = threading.Thread(target=serve, name="ftp-server", daemon=True)
    thread.start()

    def stop():
        stopping.set()
        thread.join(timeout=10)

    return server.address[1], stop


def _write_whole(path, text):
    # Written whole, then renamed, so a reader never sees half of it.
    partial = path + ".partial"
    with open(partial, "w", encoding="ascii") as whole:
        whole.write(text)
    os.replace(partial, path)


def main(argv=None):
    parser = argparse.ArgumentParser(description="FTP server for Kestrane's tests and demo.")
    parser.add_argument("--root", required=True, help="folder served as the account's home")
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--fault", default="none", choices=sorted(set(FAULTS) - set(TLS_FAULTS)))
    parser.add_argument("--latency-ms", type=int, default=0, help="answer every command this much later")
    parser.add_argument("--ready-file", help="where to write the port once listening")
    parser.add_argument("--journal", help="file that receives every command line")
    parser.add_argument("--tls", choices=("explicit", "implicit"),
                        help="serve FTP over TLS: explicit (AUTH TLS) or implicit; needs --certfile and --keyfile")
    parser.add_argument("--certfile", help="the server's certificate (PEM), for --tls")
    parser.add_argument("--keyfile", help="its private key (PEM), for --tls")
    parser.add_argument("--max-connections", type=int, metavar="K",
                        help="admit at most K sessions at once; answer the others 421 at connect")
    parser.add_argument("--stats", help="file that receives, at the end, the most sessions held at once "
                                        "and how many were admitted and turned away")
    parser.add_argument("--verbose", action="store_true", help="log pyftpdlib's activity on stderr")
    args = parser.parse_args(argv)
    if args.tls and not (args.certfile and args.keyfile):
        parser.error("--tls needs --certfile and --keyfile")

    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING, stream=sys.stderr)
    tls = Tls(args.certfile, args.keyfile, args.tls == "implicit") if args.tls else None
    server = make_server(args.root, args.user, args.password, args.fault, args.port, args.journal,
                         args.latency_ms, tls, args.max_connections)
    port = server.address[1]
    if args.ready_file:
        _write_whole(args.ready_file, "%d\n" % port)
    print("PORT %d" % port, flush=True)
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    try:
        # No fixed wait: the loop then waits no longer than the next late reply is due.
        server.serve_forever(timeout=None, handle_exit=False)
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        server.close_all()
        if args.stats:
            _write_whole(args.stats, server.sessions.text())
    return 0


if __name__ == "__main__":
    sys.exit(main())
