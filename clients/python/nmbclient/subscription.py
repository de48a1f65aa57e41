"""Subscription: the step notifications of an execute connection.

    from nmbclient import Subscription
    with Subscription("127.0.0.1", 55555) as sub:
        for name, time_point in sub:          # until the plug-in closes
            ...
        t = sub.wait_for_post_step(timeout=5)  # or wait for the next post-step
        sub.start(callback)                    # or have a thread call callback(n)

The plug-in pushes "PreStepCalled", "PostStepCalled" and "PostRunCalled",
each with a time point.  Every notification is a Notification: a (name,
time_point) tuple that also carries `received_at`, the time.monotonic() at
which it arrived, for logging feedback latency per volume.

Iteration, next() and the wait helpers belong to one thread; start() hands the
connection to a background thread instead, and stop() (from any thread) ends it.
"""

import threading
import time

from . import texts, wire
from .connection import execute_connection
from .errors import ConnectionLost, ProtocolError, ReplyTimeout


class Notification(tuple):
    """(name, time_point), with the monotonic receive time as `received_at`."""

    def __new__(cls, name, time_point, received_at):
        self = tuple.__new__(cls, (name, time_point))
        self.received_at = received_at
        return self

    name = property(lambda self: self[0])
    time_point = property(lambda self: self[1])

    def __repr__(self):
        return "Notification(%r, %d, received_at=%.6f)" % (self[0], self[1], self.received_at)


def decode_notification(body, received_at):
    reader = wire.BodyReader(body, use_numpy=False)
    name = reader.text()
    if name is None:
        raise ProtocolError("notification without a name")
    value = reader.int32()
    reader.end()
    return Notification(name, value, received_at)


# A notification is a name of a dozen letters and one int; anything announcing
# more than this is a corrupt stream, not a notification.
MAX_NOTIFICATION_BYTES = 1 << 16


class Subscription:
    def __init__(self, host="127.0.0.1", port=55555, timeout=10.0, max_reply_bytes=MAX_NOTIFICATION_BYTES):
        self.host = host
        self.port = port
        self.timeout = timeout
        self._conn = execute_connection(host, port, timeout, max_reply_bytes)
        self._thread = None
        self._stopping = threading.Event()
        self.error = None

    @property
    def handshake_version(self):
        return self._conn.version

    def next(self, timeout=None):
        """The next notification; waits at most `timeout` seconds (None: without limit).

        Raises ReplyTimeout when none arrived (the subscription stays usable)
        and ConnectionLost when the plug-in has closed the connection.
        """
        body, received_at = self._conn.receive(timeout=timeout, keep_open_when_idle=True)
        return decode_notification(body, received_at)

    def __iter__(self):
        """Yields notifications until the connection closes."""
        while True:
            try:
                yield self.next()
            except ConnectionLost:
                return

    def wait_for(self, name, timeout=None):
        """Skips notifications until one called `name`; returns it.  `timeout` bounds the whole wait."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise ReplyTimeout("no %s within %.3g s" % (name, timeout))
            notification = self.next(left)
            if notification[0] == name:
                return notification

    def wait_for_post_step(self, timeout=None):
        """Waits for the next "PostStepCalled"; returns its Notification (name, time point)."""
        return self.wait_for(texts.POST_STEP_CALLED, timeout)

    def start(self, callback):
        """Calls callback(notification) on a background thread for every notification.

        The thread ends when the connection closes or stop() is called; an
        exception from the callback ends it too and is kept in `error`.
        """
        if self._thread is not None:
            raise RuntimeError("the subscription already has a background thread")
        self._thread = threading.Thread(target=self._run, args=(callback,), daemon=True,
                                        name="nmbclient-subscription")
        self._thread.start()

    def _run(self, callback):
        try:
            while not self._stopping.is_set():
                body, received_at = self._conn.receive(timeout=None)
                callback(decode_notification(body, received_at))
        except ConnectionLost:
            pass
        except BaseException as exc:  # kept for the owner; the thread must not die silently
            if not self._stopping.is_set():
                self.error = exc

    def stop(self, timeout=5.0):
        """Ends the background thread (if any) and closes the connection."""
        self._stopping.set()
        self._conn.shutdown()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(timeout)
        self._conn.close()

    def close(self):
        self.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
