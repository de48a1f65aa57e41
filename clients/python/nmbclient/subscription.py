"""Subscription: the step notifications of an execute connection.

    from nmbclient import Subscription
    with Subscription("127.0.0.1", 55555, wait=60) as sub:   # waits for the host
        for step in sub.notifications():       # one run, ends after "PostRunCalled"
            if step.skipped:                   # time points the host jumped over
                ...
        step = sub.next(timeout=0)             # a frame loop polls: None if none is due
        sub.start(callback, on_error=report)   # or have a thread call callback(n)

The plug-in pushes "PreStepCalled", "PostStepCalled" and "PostRunCalled",
each with a time point.  Every notification is a Notification: it reads as
the pair (name, time_point) and also carries `received_at`, the
time.monotonic() at which it arrived, for logging feedback latency per
volume, and says whether
the stream is irregular: `skipped` counts the time points between this one and
the previous notification of the same name (a dropped volume), `repeated` is
true when the time point is the same again (a step processed twice).

A run ends normally with "PostRunCalled".  A connection that closes without
it was lost: iteration raises ConnectionLost instead of just ending.

Iteration, next() and the wait helpers belong to one thread; start() hands the
connection to a background thread instead, and stop() (from any thread) ends it.
"""

import dataclasses
import threading
import time
from typing import Callable, Dict, Iterator, Optional, Tuple, TypeVar, Union

from . import texts, wire
from .connection import execute_connection
from .errors import ConnectionLost, NoReplyInTime, ProtocolError
from .ledger import Ledger

_Self = TypeVar("_Self", bound="Subscription")


@dataclasses.dataclass(frozen=True, eq=False)
class Notification:
    """One notification: `name` and `time_point`, the monotonic receive time
    `received_at`, and the stream's irregularities, `skipped` (time points
    jumped over) and `repeated`.

    It reads as the pair (name, time_point): it unpacks into them, indexes them
    ([0], [1]) and equals the tuple (name, time_point); two notifications are
    equal when their pairs are."""

    name: str
    time_point: int
    received_at: float
    skipped: int = 0
    repeated: bool = False

    @property
    def pair(self) -> Tuple[str, int]:
        return self.name, self.time_point

    def __iter__(self) -> Iterator[Union[str, int]]:
        yield self.name
        yield self.time_point

    def __len__(self) -> int:
        return 2

    def __getitem__(self, index: int) -> Union[str, int]:
        return self.pair[index]

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Notification):
            return self.pair == other.pair
        if isinstance(other, tuple):
            return self.pair == other
        return NotImplemented

    def __hash__(self) -> int:
        return hash(self.pair)

    def __repr__(self) -> str:
        extra = ""
        if self.skipped:
            extra += ", skipped=%d" % self.skipped
        if self.repeated:
            extra += ", repeated=True"
        return "Notification(%r, %d, received_at=%.6f%s)" % (self.name, self.time_point, self.received_at, extra)


class _GapTracker:
    """Compares each step notification's time point with the previous one of its name.

    The first of each name after connecting (or after a run's end) has nothing to
    compare with, so a subscriber that joins in the middle of a run is not told
    of a gap."""

    def __init__(self) -> None:
        self._last: Dict[str, int] = {}

    def mark(self, notification: Notification) -> Notification:
        name, time_point = notification.name, notification.time_point
        if name == texts.POST_RUN_CALLED:
            self._last.clear()
            return notification
        last = self._last.get(name)
        self._last[name] = time_point
        if last is None:
            return notification
        skipped = max(0, time_point - last - 1)
        repeated = time_point == last
        if not skipped and not repeated:
            return notification
        return dataclasses.replace(notification, skipped=skipped, repeated=repeated)


def decode_notification(body: bytes, received_at: float) -> Notification:
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
    """`wait` (seconds) lets the subscription wait for a host that is not up yet:
    connecting is retried until it succeeds or `wait` has passed.  A `ledger`
    gets the arrival of every "PreStepCalled" and "PostStepCalled"."""

    def __init__(self, host: str = "127.0.0.1", port: int = 55555, timeout: float = 10.0,
                 max_reply_bytes: int = MAX_NOTIFICATION_BYTES, wait: Optional[float] = None,
                 ledger: Optional[Ledger] = None) -> None:
        self.host = host
        # Stamped with the arrival of every step notification, when given.
        self.ledger = ledger
        self.port = port
        self.timeout = timeout
        self.wait = wait
        self.max_reply_bytes = max_reply_bytes
        self._conn = execute_connection(host, port, timeout, max_reply_bytes, wait=wait)
        self._thread: Optional[threading.Thread] = None
        self._stopping = threading.Event()
        self._gaps = _GapTracker()
        # The newest notification seen: a closing connection after "PostRunCalled"
        # is the normal end of a run, without it a lost connection.
        self._last_name: Optional[str] = None
        # What ended the background thread, raised by check().
        self.error: Optional[BaseException] = None

    @property
    def handshake_version(self) -> Tuple[int, int, int]:
        return self._conn.version

    @property
    def run_ended(self) -> bool:
        """True when the newest notification was "PostRunCalled"."""
        return self._last_name == texts.POST_RUN_CALLED

    def reconnect(self, wait: Optional[float] = None) -> None:
        """Opens a new execute connection, waiting up to `wait` seconds (default: the
        subscription's own `wait`) for the host.  Notifications sent while
        disconnected are not replayed; Client.catch_up() fetches their ROI means."""
        if self._thread is not None and self._thread.is_alive():
            raise RuntimeError("the subscription's background thread owns the connection")
        self._conn.close()
        self._conn = execute_connection(self.host, self.port, self.timeout, self.max_reply_bytes,
                                        wait=self.wait if wait is None else wait)
        self._gaps = _GapTracker()
        self._last_name = None

    def _receive(self, timeout: Optional[float]) -> Notification:
        body, received_at = self._conn.receive(timeout=timeout, keep_open_when_idle=True)
        notification = self._gaps.mark(decode_notification(body, received_at))
        self._last_name = notification.name
        if self.ledger is not None:
            self.ledger.note(notification.name, notification.time_point, received_at)
        return notification

    def next(self, timeout: Optional[float] = None) -> Optional[Notification]:
        """The next notification; waits at most `timeout` seconds (None: without limit).

        With timeout=0 it only looks: it returns None when no notification is
        waiting (for a frame loop that polls).  Otherwise it raises NoReplyInTime
        when none arrived (the subscription stays usable) and ConnectionLost
        when the connection closed.
        """
        self.check()
        if timeout is not None and timeout <= 0:
            if not self._conn.readable():
                return None
            return self._receive(self.timeout)
        return self._receive(timeout)

    def _wait(self, timeout: Optional[float]) -> Notification:
        """The next notification within `timeout` seconds (None: without limit);
        NoReplyInTime when none came, also when a timeout of 0 found none waiting."""
        notification = self.next(timeout)
        if notification is None:
            raise NoReplyInTime("no notification was waiting")
        return notification

    def notifications(self, timeout: Optional[float] = None, until_post_run: bool = True) -> Iterator[Notification]:
        """Yields notifications; with `until_post_run` the last one is the run's
        "PostRunCalled".  `timeout` bounds the wait for each one (NoReplyInTime).

        A connection that closes right after "PostRunCalled" ends the iteration
        normally; one that closes before raises ConnectionLost: the host was
        stopped or the network failed in the middle of a run.
        """
        while True:
            try:
                notification = self._wait(timeout)
            except ConnectionLost:
                if self.run_ended:
                    return
                raise
            yield notification
            if until_post_run and notification.name == texts.POST_RUN_CALLED:
                return

    def __iter__(self) -> Iterator[Notification]:
        """Yields notifications, across runs, until the connection closes (see notifications())."""
        return self.notifications(until_post_run=False)

    def wait_for(self, name: str, timeout: Optional[float] = None) -> Notification:
        """Skips notifications until one called `name`; returns it.  `timeout` bounds the whole wait."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise NoReplyInTime("no %s within %.3g s" % (name, timeout or 0.0))
            notification = self._wait(left)
            if notification.name == name:
                return notification

    def wait_for_post_step(self, timeout: Optional[float] = None) -> Notification:
        """Waits for the next "PostStepCalled"; returns its Notification (name, time point)."""
        return self.wait_for(texts.POST_STEP_CALLED, timeout)

    def start(self, callback: Callable[[Notification], object],
              on_error: Optional[Callable[[BaseException], object]] = None, reconnect: bool = False) -> None:
        """Calls callback(notification) on a background thread for every notification.

        An exception from the callback, or a connection lost in the middle of a
        run, is never swallowed: with `on_error` the thread calls
        on_error(exception) and goes on (the callback's failure skips only that
        notification); without it the thread ends, `alive` turns false and the
        exception is raised by the next check(), next() or join().  With
        `reconnect` a lost connection is opened again (waiting for the host as
        long as it takes, until stop()) instead of ending the thread.  A
        connection closed after "PostRunCalled" ends the thread quietly.
        """
        if self._thread is not None:
            raise RuntimeError("the subscription already has a background thread")
        self._thread = threading.Thread(target=self._run, args=(callback, on_error, reconnect), daemon=True,
                                        name="nmbclient-subscription")
        self._thread.start()

    @property
    def alive(self) -> bool:
        """True while the background thread runs and delivers notifications."""
        return self._thread is not None and self._thread.is_alive() and self.error is None

    def check(self) -> None:
        """Raises the exception that ended the background thread, if one did."""
        if self.error is not None:
            raise self.error

    def join(self, timeout: Optional[float] = None) -> None:
        """Waits for the background thread to end, then raises what ended it, if anything."""
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(timeout)
        self.check()

    def _run(self, callback: Callable[[Notification], object], on_error: Optional[Callable[[BaseException], object]],
             reconnect: bool) -> None:
        while not self._stopping.is_set():
            try:
                notification = self._receive(None)
            except ConnectionLost as exc:
                if self._stopping.is_set():
                    return
                if reconnect:
                    self._reconnect_until_stopped()
                    continue
                if self.run_ended:
                    return
                self._fail(exc, on_error, fatal=True)
                return
            except BaseException as exc:  # a malformed stream: the connection is closed
                if not self._stopping.is_set():
                    self._fail(exc, on_error, fatal=True)
                return
            try:
                callback(notification)
            except BaseException as exc:  # the thread must not die silently
                if self._fail(exc, on_error, fatal=False):
                    return

    def _fail(self, exc: BaseException, on_error: Optional[Callable[[BaseException], object]], fatal: bool) -> bool:
        """Reports `exc`; returns True when the thread has to end."""
        if on_error is not None:
            try:
                on_error(exc)
                return fatal
            except BaseException as handler_failure:
                exc = handler_failure
        self.error = exc
        return True

    def _reconnect_until_stopped(self) -> None:
        while not self._stopping.is_set():
            try:
                self._conn.close()
                self._conn = execute_connection(self.host, self.port, self.timeout, self.max_reply_bytes)
                self._gaps = _GapTracker()
                self._last_name = None
                if self._stopping.is_set():  # stop() came while connecting
                    self._conn.shutdown()
                return
            except (ConnectionLost, NoReplyInTime, ProtocolError):
                self._stopping.wait(0.2)

    def stop(self, timeout: float = 5.0) -> None:
        """Ends the background thread (if any) and closes the connection."""
        self._stopping.set()
        self._conn.shutdown()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(timeout)
        self._conn.close()

    def close(self) -> None:
        self.stop()

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
