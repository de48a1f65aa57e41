"""One TCP connection to the plug-in: connect, role handshake, frames in and out.

Used by Client (role "Request Socket") and Subscription (role "Execute
Socket").  A Connection belongs to one thread at a time.  Every receive has a
deadline, so a peer that stalls, trickles bytes or closes mid-message ends the
wait with NoReplyInTime or ConnectionLost instead of hanging; after either, or
after a malformed frame, the connection is closed, because the byte stream can
no longer be trusted to start at a frame boundary.
"""

import errno
import select
import socket
import time
from typing import NoReturn, Optional, Tuple, Type, Union

from . import texts, wire
from .errors import (CannotConnect, ConnectionLost, ConnectionRefused, ConnectTimeout, NoReplyInTime, OversizedReply,
                     ProtocolError)

# The largest body the client accepts.  The biggest legitimate replies are map
# runs (4 bytes per voxel and map): a 128 x 128 x 64 volume with 60 maps is
# about 250 MB.  A length field above this is taken as a corrupt stream and
# refused before anything is allocated.
MAX_REPLY_BYTES = 1 << 30

# Receive chunk for the frame body; large enough that a volume takes a few calls.
_CHUNK = 1 << 20


class _Default:
    """The type of DEFAULT."""


# Marks "use the connection's own time-out" where None already means "no limit".
DEFAULT = _Default()


class Connection:
    """A connected, identified socket.

    `timeout` (seconds) bounds the connect, the handshake and, unless a call
    gives its own, each message receive.  `max_reply_bytes` caps a body.
    """

    def __init__(self, host: str, port: int, role: str, timeout: float = 10.0,
                 max_reply_bytes: int = MAX_REPLY_BYTES) -> None:
        self.timeout = timeout
        self.max_reply_bytes = max_reply_bytes
        self.role = role
        self._sock: Optional[socket.socket] = None
        try:
            sock = socket.create_connection((host, port), timeout=timeout)
        except socket.timeout as exc:
            raise cannot_connect(host, port, "no answer within %.3g s" % timeout, kind=ConnectTimeout) from exc
        except OSError as exc:
            raise cannot_connect(host, port, exc.strerror or str(exc),
                                 kind=ConnectionRefused if _is_refusal(exc) else CannotConnect) from exc
        self._sock = sock
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            self.version = self._handshake(role, host, port)
        except BaseException:
            self.close()
            raise

    def _handshake(self, role: str, host: str, port: int) -> Tuple[int, int, int]:
        try:
            self.send(wire.frame(wire.encode_text(role)))
            body, _ = self.receive()
        except ConnectionLost as exc:
            # The plug-in closes a client its settings refuse before it reads
            # a byte; a bare "connection reset" would leave the user guessing.
            raise ConnectionRefused(
                "%s:%d closed the connection before answering the handshake (%s); the plug-in may be "
                "restricting client addresses or connections per address in NMBNetworkPlugin.ini "
                "(see docs/security.md)" % (host, port, exc), host, port, str(exc), reached=True) from exc
        except NoReplyInTime as exc:
            raise cannot_connect(host, port, "no handshake answer within %.3g s" % self.timeout,
                                 kind=ConnectTimeout) from exc
        reader = wire.BodyReader(body)
        answered = reader.text()
        if answered != role:
            self.close()
            raise ProtocolError("handshake answered the role %r instead of %r" % (answered, role))
        return reader.three_ints()

    @property
    def is_open(self) -> bool:
        return self._sock is not None

    def close(self) -> None:
        if self._sock is not None:
            try:
                self._sock.close()
            finally:
                self._sock = None

    def readable(self) -> bool:
        """True when bytes (or the end of the stream) are waiting to be received."""
        sock = self._require_open()
        ready, _, _ = select.select([sock], [], [], 0)
        return bool(ready)

    def shutdown(self) -> None:
        """Ends the connection from another thread: a blocked receive returns at once."""
        sock = self._sock
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _require_open(self) -> socket.socket:
        if self._sock is None:
            raise ConnectionLost("the connection is closed; call reconnect()")
        return self._sock

    def send(self, data: bytes) -> None:
        sock = self._require_open()
        sock.settimeout(self.timeout)
        try:
            sock.sendall(data)
        except socket.timeout as exc:
            self.close()
            raise NoReplyInTime("the plug-in did not take the request within %.3g s" % self.timeout) from exc
        except OSError as exc:
            self.close()
            raise ConnectionLost("sending failed: %s" % exc) from exc

    def receive(self, timeout: Union[float, None, _Default] = DEFAULT,
                keep_open_when_idle: bool = False) -> Tuple[bytearray, float]:
        """Receives one frame; returns (body, monotonic receive time of its last byte).

        `timeout` (seconds; by default the connection's own; None waits without
        limit) bounds the whole frame.  A time-out closes the connection, except
        with `keep_open_when_idle` when not one byte of the frame had arrived: the
        stream is then still in step (a subscription waiting for a notification).
        """
        limit = self.timeout if isinstance(timeout, _Default) else timeout
        deadline = None if limit is None else time.monotonic() + limit
        header = self._read_exact(wire.HEADER_SIZE, deadline, limit, True, keep_open_when_idle)
        length = wire.decode_header(header)
        if length < 0:
            self.close()
            raise ProtocolError("frame announces a negative length (%d)" % length)
        if length > self.max_reply_bytes:
            self.close()
            raise OversizedReply(
                "frame announces %d bytes, more than the limit of %d" % (length, self.max_reply_bytes))
        body = self._read_exact(length, deadline, limit, False, False)
        return body, time.monotonic()

    def _read_exact(self, size: int, deadline: Optional[float], limit: Optional[float], is_header: bool,
                    keep_open_when_idle: bool) -> bytearray:
        sock = self._require_open()
        buffer = bytearray(size)
        view = memoryview(buffer)
        got = 0
        while got < size:
            if deadline is None or limit is None:
                sock.settimeout(None)
            else:
                left = deadline - time.monotonic()
                if left <= 0:
                    self._fail_timeout(limit, got, size, keep_open=keep_open_when_idle and got == 0)
                sock.settimeout(left)
            try:
                n = sock.recv_into(view[got:], min(size - got, _CHUNK))
            except socket.timeout:
                assert limit is not None  # only a receive with a deadline times out
                self._fail_timeout(limit, got, size, keep_open=keep_open_when_idle and got == 0)
            except OSError as exc:
                self.close()
                raise ConnectionLost("receiving failed: %s" % exc) from exc
            if n == 0:
                self.close()
                if got == 0 and is_header:
                    raise ConnectionLost("the plug-in closed the connection")
                raise ConnectionLost(
                    "the plug-in closed the connection in the middle of a message (%d of %d bytes)"
                    % (got, size))
            got += n
        return buffer

    def _fail_timeout(self, limit: float, got: int, size: int, keep_open: bool) -> NoReturn:
        if not keep_open:
            self.close()
        raise NoReplyInTime(
            "no complete message within %.3g s (%d of %d bytes of the current part arrived)"
            % (limit, got, size))


# How often a connection that waits for the host tries again.
RETRY_SECONDS = 0.25


def _is_refusal(exc: OSError) -> bool:
    """True for the connect failures of a host that is not up (yet): nothing
    listens at the port, or nothing routes to the address."""
    return isinstance(exc, ConnectionRefusedError) or exc.errno in (errno.ENETUNREACH, errno.EHOSTUNREACH)


def cannot_connect(host: str, port: int, reason: str, waited: Optional[float] = None,
                   kind: Type[CannotConnect] = ConnectionRefused) -> CannotConnect:
    """The error for a host that does not answer at host:port.  `reason` is the last
    failure in the system's words; `waited` the seconds spent waiting for the host
    (None: it was tried once); `kind` how it failed: ConnectTimeout,
    ConnectionRefused, or CannotConnect for anything else (an unknown host name)."""
    question = "is the host (Nimbrel or nimbrel-sim) running with the plug-in serving on that address and port?"
    if waited is None:
        message = "cannot connect to %s:%d (%s); %s" % (host, port, reason, question)
    else:
        message = ("no host answered at %s:%d within the %.3g s waited (the last try: %s); %s"
                   % (host, port, waited, reason, question))
    return kind(message, host, port, reason, waited)


def connect(host: str, port: int, role: str, timeout: float, max_reply_bytes: int = MAX_REPLY_BYTES,
            wait: Optional[float] = None) -> Connection:
    """A Connection; with `wait` (seconds) a host that is not there yet (refused,
    unreachable, or closing before the handshake) is tried again until it
    answers or `wait` has passed, and the last failure is raised then."""
    deadline = None if wait is None else time.monotonic() + wait
    while True:
        try:
            return Connection(host, port, role, timeout, max_reply_bytes)
        except CannotConnect as exc:
            if deadline is None:
                raise
            if time.monotonic() + RETRY_SECONDS > deadline:
                raise cannot_connect(host, port, exc.reason, wait, type(exc)) from exc
        time.sleep(RETRY_SECONDS)


def request_connection(host: str, port: int, timeout: float, max_reply_bytes: int = MAX_REPLY_BYTES,
                       wait: Optional[float] = None) -> Connection:
    return connect(host, port, texts.REQUEST_ROLE, timeout, max_reply_bytes, wait)


def execute_connection(host: str, port: int, timeout: float, max_reply_bytes: int = MAX_REPLY_BYTES,
                       wait: Optional[float] = None) -> Connection:
    return connect(host, port, texts.EXECUTE_ROLE, timeout, max_reply_bytes, wait)
