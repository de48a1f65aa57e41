"""What happens around the host's volumes: stimulus marks and scanner triggers.

- EventListener receives, on a thread of its own, the stimulus program's marks
  (nmbclient.mark(), UDP on 127.0.0.1) and the triggers of a trigger source:
  "udp:PORT" (nimbrel-sim --trigger-udp PORT, one datagram "Nimbrel Trigger:
  <run> <volume> <seconds>" per trigger) or "tty:PATH" (one byte per
  trigger, "5" unless "tty:PATH:BYTE" names another).  Each arrival is timed
  on this process's monotonic clock: by the kernel's receive time where the
  system gives one (SO_TIMESTAMPNS), so a busy recorder does not delay it.
  A mark is timed by the wall clock it carries (the sender's, on this same
  computer), converted to the monotonic clock; triggers by their arrival.
- RunEvents keeps one run's volumes, marks, triggers and condition changes
  together: each volume's ledger (trigger, pre-step, post-step, values, feedback
  shown), the volume of a mark that did not name one, and the rows of the
  run's BIDS events file.

Thread rules: the listener's thread only fills a queue; drain() and everything
in RunEvents belong to the thread that follows the run.
"""

import errno
import os
import queue
import select
import socket
import struct
import threading
import time
from typing import Dict, List, NamedTuple, Optional, Tuple, Union

from ..ledger import Moments
from ..marks import FEEDBACK_SHOWN, PREFIX as MARK_PREFIX, TRIGGER as TRIGGER_LABEL
from .follower import REPEATED, Volume
from .quality import Quality

TRIGGER_PREFIX = "Nimbrel Trigger: "
DEFAULT_TRIGGER_BYTE = b"5"
# How far a mark's carried time may lie before its arrival and still be taken.
_MARK_CLOCK_SLACK_S = 5.0
_SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", None)


class Mark(NamedTuple):
    label: str
    volume: Optional[int]
    at: float            # monotonic seconds


class Trigger(NamedTuple):
    run: Optional[int]   # None from a tty
    volume: Optional[int]
    at: float


Arrival = Union[Mark, Trigger]


def parse_mark(datagram: bytes) -> Optional[Tuple[Optional[int], float, str]]:
    """(volume or None, sender's wall seconds, label) of a mark datagram, or None."""
    prefix = MARK_PREFIX.encode("ascii")
    if not datagram.startswith(prefix):
        return None
    parts = datagram[len(prefix):].split(b" ", 2)
    if len(parts) != 3:
        return None
    number, seconds, label = parts
    try:
        volume = None if number == b"-" else int(number)
        return volume, float(seconds), label.decode("utf-8", "replace")
    except ValueError:
        return None


def parse_trigger(datagram: bytes) -> Optional[Tuple[int, int, float]]:
    """(run, volume, sender's seconds) of a trigger datagram, or None."""
    prefix = TRIGGER_PREFIX.encode("ascii")
    if not datagram.startswith(prefix):
        return None
    parts = datagram[len(prefix):].split(b" ")
    if len(parts) != 3 or not parts[0].isdigit() or not parts[1].isdigit():
        return None
    try:
        return int(parts[0]), int(parts[1]), float(parts[2])
    except ValueError:
        return None


def _udp_socket(port: int) -> socket.socket:
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        if _SO_TIMESTAMPNS is not None:
            sock.setsockopt(socket.SOL_SOCKET, _SO_TIMESTAMPNS, 1)
        sock.bind(("127.0.0.1", port))
    except BaseException:
        sock.close()
        raise
    return sock


def _receive(sock: socket.socket) -> Tuple[bytes, float]:
    """One datagram and its arrival on the monotonic clock."""
    if _SO_TIMESTAMPNS is None:
        data = sock.recv(2048)
        return data, time.monotonic()
    data, ancillary, _, _ = sock.recvmsg(2048, 64)
    arrival = time.monotonic()
    for level, kind, payload in ancillary:
        if level == socket.SOL_SOCKET and kind == _SO_TIMESTAMPNS and len(payload) >= 16:
            seconds, nanoseconds = struct.unpack("qq", payload[:16])
            kernel = seconds + nanoseconds * 1e-9 - (time.time() - time.monotonic())
            if kernel <= arrival:
                return data, kernel
    return data, arrival


def parse_trigger_source(text: str) -> Tuple[str, str, bytes]:
    """("udp", port, b"") or ("tty", path, byte) from "udp:PORT", "tty:PATH" or
    "tty:PATH:BYTE"; ValueError for anything else."""
    kind, _, rest = text.partition(":")
    if kind == "udp" and rest.isdigit() and 0 < int(rest) < 65536:
        return kind, rest, b""
    if kind == "tty" and rest:
        path, _, byte = rest.rpartition(":")
        if path and len(byte) == 1:
            return kind, path, byte.encode("latin-1")
        return kind, rest, DEFAULT_TRIGGER_BYTE
    raise ValueError("a trigger source is udp:PORT or tty:PATH[:BYTE], not %r" % text)


class EventListener:
    """Listens for marks on 127.0.0.1:`events_port` and for the triggers of `trigger`
    (see parse_trigger_source), until stop()."""

    def __init__(self, events_port: Optional[int], trigger: Optional[str] = None) -> None:
        self._arrivals: "queue.SimpleQueue[Arrival]" = queue.SimpleQueue()
        self._stopping = threading.Event()
        self._sockets: List[socket.socket] = []
        self._tty: Optional[int] = None
        self._trigger_socket: Optional[socket.socket] = None
        self.trigger_byte = DEFAULT_TRIGGER_BYTE
        self.ignored = 0  # datagrams that were neither marks nor triggers
        try:
            if events_port:
                self._sockets.append(_udp_socket(events_port))
            if trigger:
                kind, where, byte = parse_trigger_source(trigger)
                if kind == "udp":
                    self._trigger_socket = _udp_socket(int(where))
                    self._sockets.append(self._trigger_socket)
                else:
                    self._tty = _open_tty(where)
                    self.trigger_byte = byte
        except BaseException:
            self.stop()
            raise
        self._thread = threading.Thread(target=self._run, daemon=True, name="nmb-events")
        self._thread.start()

    def _run(self) -> None:
        watched: List[Union[socket.socket, int]] = list(self._sockets)
        if self._tty is not None:
            watched.append(self._tty)
        while not self._stopping.is_set():
            try:
                ready, _, _ = select.select(watched, [], [], 0.2)
            except (OSError, ValueError):
                return
            for source in ready:
                if isinstance(source, int):
                    self._read_tty(source)
                else:
                    self._read_socket(source)

    def _read_tty(self, fd: int) -> None:
        try:
            data = os.read(fd, 256)
        except OSError as exc:
            if exc.errno not in (errno.EAGAIN, errno.EINTR):
                self._stopping.set()
            return
        at = time.monotonic()
        for _ in range(data.count(self.trigger_byte)):
            self._arrivals.put(Trigger(None, None, at))

    def _read_socket(self, sock: socket.socket) -> None:
        try:
            data, at = _receive(sock)
        except OSError:
            return
        if sock is self._trigger_socket:
            trigger = parse_trigger(data)
            if trigger is not None:
                self._arrivals.put(Trigger(trigger[0], trigger[1], at))
                return
        mark = parse_mark(data)
        if mark is None:
            self.ignored += 1
            return
        volume, wall, label = mark
        carried = wall - (time.time() - time.monotonic())
        if at - _MARK_CLOCK_SLACK_S <= carried <= at:
            at = carried
        if label == TRIGGER_LABEL:
            self._arrivals.put(Trigger(None, volume, at))
        self._arrivals.put(Mark(label, volume, at))

    def drain(self) -> List[Arrival]:
        """Everything that arrived since the last drain, in order of arrival."""
        arrivals = []
        while True:
            try:
                arrivals.append(self._arrivals.get_nowait())
            except queue.Empty:
                return arrivals

    def stop(self) -> None:
        self._stopping.set()
        thread = getattr(self, "_thread", None)
        if thread is not None and thread is not threading.current_thread():
            thread.join(2)
        for sock in self._sockets:
            sock.close()
        if self._tty is not None:
            os.close(self._tty)
            self._tty = None


def _open_tty(path: str) -> int:
    """A trigger device (serial port, pseudo-terminal or FIFO) opened for reading,
    raw where it is a terminal, so every byte comes as it arrives."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0))
    if os.isatty(fd):
        import tty
        tty.setraw(fd)
    return fd


class EventRow(NamedTuple):
    """A row of the BIDS events file (onset and duration in seconds from the run's first volume)."""

    onset: float
    duration: float
    trial_type: str
    volume: Optional[int]


class RunEvents:
    """One run's volumes with the marks and triggers around them.  `tr` (seconds)
    is the repetition time when known."""

    def __init__(self, run: int, tr: Optional[float] = None) -> None:
        self.run = run
        self.tr = tr
        self._post_steps: List[Tuple[float, int]] = []     # (arrival, time point), in order
        self._volumes: Dict[int, Volume] = {}
        self._triggers: Dict[int, float] = {}
        self._tty_triggers: List[float] = []
        self._tty_anchor: Optional[Tuple[int, int]] = None  # (index into _tty_triggers, time point)
        self._shown: Dict[int, float] = {}
        self._marks: List[Tuple[Mark, Optional[int]]] = []
        self._conditions: List[Tuple[int, int]] = []        # (time point, condition) at each change

    # -- what arrives ---------------------------------------------------------

    def add_volume(self, volume: Volume) -> None:
        if REPEATED in volume.marks:
            return  # the step came again; its first arrival counts
        self._volumes[volume.time_point] = volume
        if volume.monotonic is not None:
            self._post_steps.append((volume.monotonic, volume.time_point))
            if self._tty_anchor is None and self._tty_triggers:
                self._anchor_tty(volume)
        if volume.condition is not None and (not self._conditions or self._conditions[-1][1] != volume.condition):
            self._conditions.append((volume.time_point, volume.condition))

    def revise(self, time_point: int, quality: Quality) -> None:
        volume = self._volumes.get(time_point)
        if volume is not None:
            self._volumes[time_point] = volume._replace(quality=quality)

    def add(self, arrival: Arrival) -> Optional[int]:
        """Takes a mark or trigger; returns the volume whose ledger it changed, if any."""
        if isinstance(arrival, Trigger):
            if arrival.run is not None and arrival.run != self.run:
                return None
            if arrival.volume is not None:
                self._triggers.setdefault(arrival.volume, arrival.at)
                return arrival.volume
            self._tty_triggers.append(arrival.at)
            return None
        volume = arrival.volume if arrival.volume is not None else self.volume_at(arrival.at)
        self._marks.append((arrival, volume))
        if arrival.label == FEEDBACK_SHOWN and volume is not None and volume not in self._shown:
            self._shown[volume] = arrival.at
            return volume
        return None

    def _anchor_tty(self, volume: Volume) -> None:
        """The first live volume takes the last trigger byte before its pre-step
        (or post-step); later volumes count on from there."""
        start = volume.pre_step_at if volume.pre_step_at is not None else volume.monotonic
        assert start is not None
        before = [i for i, at in enumerate(self._tty_triggers) if at <= start]
        if before:
            self._tty_anchor = (before[-1], volume.time_point)

    def volume_at(self, at: float) -> Optional[int]:
        """The newest volume whose post-step had arrived at `at`."""
        newest = None
        for arrival, time_point in self._post_steps:
            if arrival > at:
                break
            newest = time_point
        return newest

    # -- the ledger -------------------------------------------------------------

    def trigger_of(self, time_point: int) -> Optional[float]:
        if time_point in self._triggers:
            return self._triggers[time_point]
        if self._tty_anchor is not None:
            index = self._tty_anchor[0] + time_point - self._tty_anchor[1]
            if 0 <= index < len(self._tty_triggers):
                return self._tty_triggers[index]
        return None

    def moments(self, volume: Volume) -> Moments:
        values = (volume.monotonic + volume.delay_ms / 1000.0
                  if volume.monotonic is not None and volume.delay_ms is not None else None)
        return Moments(self.trigger_of(volume.time_point), volume.pre_step_at, volume.monotonic, values,
                       self._shown.get(volume.time_point))

    def volumes(self) -> List[Volume]:
        return [self._volumes[t] for t in sorted(self._volumes)]

    def ledger_rows(self) -> List[Moments]:
        """Every live volume's moments, in order."""
        return [self.moments(v) for v in self.volumes() if not v.backfilled]

    # -- the events file --------------------------------------------------------

    def zero(self) -> Optional[float]:
        """The moment of the run's first volume on the monotonic clock: its trigger,
        else its pre-step or post-step arrival; for a run joined late, the first
        volume seen with (time point - 1) TRs subtracted."""
        for time_point in sorted(self._volumes):
            start = self._start_of(time_point)
            if start is None:
                continue
            if time_point == 1:
                return start
            interval = self.tr or self.median_interval()
            return start - (time_point - 1) * interval if interval else None
        return None

    def _start_of(self, time_point: int) -> Optional[float]:
        trigger = self.trigger_of(time_point)
        if trigger is not None:
            return trigger
        volume = self._volumes.get(time_point)
        if volume is None:
            return None
        return volume.pre_step_at if volume.pre_step_at is not None else volume.monotonic

    def median_interval(self) -> Optional[float]:
        arrivals = [at for at, _ in self._post_steps]
        intervals = sorted(b - a for a, b in zip(arrivals, arrivals[1:]) if b > a)
        return intervals[len(intervals) // 2] if intervals else None

    def rows(self) -> List[EventRow]:
        """The run's events so far, by onset: every mark, and each condition from the
        volume where it began to the next change (the last to the run's newest volume
        and one TR beyond)."""
        zero = self.zero()
        if zero is None:
            return []
        rows = [EventRow(mark.at - zero, 0.0, mark.label, volume) for mark, volume in self._marks]
        interval = self.tr or self.median_interval() or 0.0
        for k, (time_point, condition) in enumerate(self._conditions):
            onset = self._onset_of_volume(time_point, zero, interval)
            if k + 1 < len(self._conditions):
                end = self._onset_of_volume(self._conditions[k + 1][0], zero, interval)
            else:
                end = self._onset_of_volume(max(self._volumes), zero, interval) + interval
            rows.append(EventRow(onset, max(end - onset, 0.0), "condition %d" % condition, time_point))
        rows.sort(key=lambda row: (row.onset, row.volume or 0))
        return rows

    def _onset_of_volume(self, time_point: int, zero: float, interval: float) -> float:
        start = self._start_of(time_point)
        return start - zero if start is not None else (time_point - 1) * interval
