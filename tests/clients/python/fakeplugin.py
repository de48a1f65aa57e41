"""A tiny stand-in for the plug-in's TCP side: one thread on 127.0.0.1, port 0.

Each accepted connection is handed to the test's `serve(conn)` function on
its own thread; the helpers read request frames and write canned bytes, so
the tests decide every byte the client sees, including stalls, cut replies
and absurd length fields.
"""

import socket
import struct
import threading


def recv_exact(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            raise EOFError("client closed after %d of %d bytes" % (len(data), size))
        data += chunk
    return data


def read_frame(conn):
    """Returns the body of one frame sent by the client."""
    (length,) = struct.unpack(">q", recv_exact(conn, 8))
    return recv_exact(conn, length)


def parse_request(body):
    """(name, ints) of one request body; the name up to its NUL."""
    (count,) = struct.unpack(">I", body[:4])
    name = body[4:4 + count].split(b"\0")[0].decode("ascii")
    rest = body[4 + count:]
    return name, list(struct.unpack(">%di" % (len(rest) // 4), rest[:len(rest) // 4 * 4]))


def text(s):
    raw = s.encode("latin-1") + b"\0"
    return struct.pack(">I", len(raw)) + raw


def frame(body):
    return struct.pack(">q", len(body)) + body


def handshake_answer(role):
    return frame(text(role) + struct.pack(">iii", 2, 0, 0))


def answer_handshake(conn):
    """Reads the role message and answers it as the plug-in does; returns the role."""
    role = parse_text(read_frame(conn))
    conn.sendall(handshake_answer(role))
    return role


def serve_requests(answer):
    """A serve() that answers each request with answer(name, ints)."""
    def serve(conn):
        answer_handshake(conn)
        while True:
            name, ints = parse_request(read_frame(conn))
            conn.sendall(answer(name, ints))
    return serve


def parse_text(body):
    (count,) = struct.unpack(">I", body[:4])
    return body[4:4 + count].split(b"\0")[0].decode("latin-1")


def reply(name, ints=(), reals=(), tail=b""):
    """A success reply frame: name, ints, reals as 4-byte singles, then raw bytes."""
    body = text(name) + b"".join(struct.pack(">i", v) for v in ints)
    body += b"".join(struct.pack(">f", v) for v in reals) + tail
    return frame(body)


def error_reply(message):
    return frame(text("Wrong request!") + text(message))


class FakePlugin:
    """Listens on 127.0.0.1 at a free port (or `port`) and runs serve(conn) per connection."""

    def __init__(self, serve, port=0):
        self._serve = serve
        self.errors = []
        self.connections = 0
        self._open = []
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", port))
        self._listener.listen(8)
        self.port = self._listener.getsockname()[1]
        self._closing = False
        self._threads = []
        self._accept_thread = threading.Thread(target=self._accept, daemon=True)
        self._accept_thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return
            self.connections += 1
            self._open.append(conn)
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # as the plug-in does
            t = threading.Thread(target=self._run, args=(conn,), daemon=True)
            self._threads.append(t)
            t.start()

    def _run(self, conn):
        try:
            with conn:
                self._serve(conn)
        except (EOFError, ConnectionError, OSError):
            pass
        except BaseException as exc:  # surfaced by the test through close()
            self.errors.append(exc)

    def hang_up(self):
        """Ends as a host that stops: no more listening, every connection closed."""
        for sock in [self._listener] + self._open:
            try:
                sock.shutdown(socket.SHUT_RDWR)  # wakes a blocked accept() or read
            except OSError:
                pass
        self._listener.close()

    def close(self):
        self.hang_up()
        self._accept_thread.join(5)
        for t in self._threads:
            t.join(5)
        if self.errors:
            raise self.errors[0]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
