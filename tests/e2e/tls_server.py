"""A TLS server for the tests of the Windows TLS layer (Python's ssl module).

It serves 127.0.0.1 on a port of the system's choice with one certificate,
on a background thread, in one of the MODES, and keeps a record of each
connection: whether the handshake was made, how many bytes of the
application came (none may come after a refused certificate), and whether
the client ended TLS with a close_notify.

    server = start_tls_server(cert_pem, key_pem, mode)
    ... server.port ...
    connection = server.wait_for_connection()   # once the connection is over (or held)
    server.stop()
"""

import socket
import ssl
import threading

MODES = {
    "echo": "takes eight decimal digits, a length, then as many bytes, and sends them back in records of "
            "many sizes; then answers the client's close_notify with its own",
    "count": "counts what comes until the client ends TLS, and answers its close_notify with its own",
    "silent": "counts what comes until the client's close_notify, then never answers it and keeps the "
              "connection open",
}

# The sizes of the records the echo sends, in turn: one byte to a full record.
ECHO_RECORD_SIZES = (1, 17, 200, 1000, 5000, 16384, 3, 9000)
# How often the accepting thread looks whether it is to stop.
STOP_CHECK_S = 0.05
WAIT_LIMIT_S = 60


class Connection:
    def __init__(self):
        self.handshake = False
        self.received = 0
        self.close_notify = False
        self.error = ""
        self.over = threading.Event()

    def __repr__(self):
        return "Connection(handshake=%s, received=%d, close_notify=%s, error=%r)" % (
            self.handshake, self.received, self.close_notify, self.error)


class TlsServer:
    def __init__(self, cert_pem, key_pem, mode):
        assert mode in MODES, mode
        self.mode = mode
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.minimum_version = ssl.TLSVersion.TLSv1_2
        self.context.load_cert_chain(str(cert_pem), str(key_pem))
        # Python lets a TCP end without close_notify read as the end of the
        # stream; the record of each connection must tell the two apart.
        self.context.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(STOP_CHECK_S)
        self.port = self.listener.getsockname()[1]
        self.connections = []
        self.arrived = threading.Condition()
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        while not self.stopping.is_set():
            try:
                plain, _ = self.listener.accept()
            except socket.timeout:
                continue
            connection = Connection()
            with self.arrived:
                self.connections.append(connection)
                self.arrived.notify_all()
            thread = threading.Thread(target=self._serve, args=(plain, connection), daemon=True)
            self.threads.append(thread)
            thread.start()

    def _serve(self, plain, connection):
        plain.settimeout(WAIT_LIMIT_S)
        try:
            # A TCP end without close_notify raises, rather than reading as the end.
            with self.context.wrap_socket(plain, server_side=True, suppress_ragged_eofs=False) as tls:
                connection.handshake = True
                if self.mode == "echo":
                    self._echo(tls, connection)
                self._read_to_close(tls, connection)
                if self.mode == "silent":
                    connection.over.set()
                    self.stopping.wait()
                else:
                    tls.unwrap()
        except (OSError, ValueError) as error:
            connection.error = "%s: %s" % (type(error).__name__, error)
        finally:
            connection.over.set()

    @staticmethod
    def _receive_exactly(tls, connection, size):
        data = bytearray()
        while len(data) < size:
            part = tls.recv(size - len(data))
            if not part:
                raise ValueError("the stream ended after %d bytes of %d" % (len(data), size))
            data += part
        connection.received += len(data)
        return bytes(data)

    def _echo(self, tls, connection):
        length = int(self._receive_exactly(tls, connection, 8))
        data = self._receive_exactly(tls, connection, length)
        sent = 0
        turn = 0
        while sent < len(data):
            size = ECHO_RECORD_SIZES[turn % len(ECHO_RECORD_SIZES)]
            tls.sendall(data[sent:sent + size])
            sent += size
            turn += 1

    @staticmethod
    def _read_to_close(tls, connection):
        while True:
            part = tls.recv(65536)
            if not part:
                connection.close_notify = True
                return
            connection.received += len(part)

    def wait_for_connection(self, index=0):
        """The index-th connection, once it is over or held by the silent mode."""
        with self.arrived:
            assert self.arrived.wait_for(lambda: len(self.connections) > index, WAIT_LIMIT_S), "no connection came"
            connection = self.connections[index]
        assert connection.over.wait(WAIT_LIMIT_S), "the connection is still going on: %r" % connection
        return connection

    def stop(self):
        self.stopping.set()
        for thread in self.threads:
            thread.join(WAIT_LIMIT_S)
        self.listener.close()


def start_tls_server(cert_pem, key_pem, mode):
    return TlsServer(cert_pem, key_pem, mode)
