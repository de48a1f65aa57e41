"""RunFollower: the plug-in's runs as a stream of volumes, for live views and records.

    from nmbclient.tools.follower import RunFollower, RunInfo, State, Volume
    follower = RunFollower("127.0.0.1", 55555)
    for event in follower.events():
        if isinstance(event, Volume):
            print(event.time_point, event.means, event.delay_ms, event.marks)

`events()` yields, in order of happening:

- State: the connection or the run changed: WAITING for the host, CONNECTED,
  IDLE (the host answers but no run is in progress: no volume came for
  `idle_after_s`, or its last run is over), RUN_ENDED, ENDED_EARLY (the
  post-run came before the expected volumes; `detail` says "30 of 200
  volumes"), LOST (the connection ended in the middle of a run).  A
  connection that closes after the run's end is the host stopping, never LOST.
- RunInfo: what the host reports at the start of a run (or when the follower
  joins one): project, dimensions, ROIs and their voxel counts, the expected
  number of time points, the number of classifier classes.
- Revision: with data quality on, the quality of one of the run's first
  volumes, found out once the first few are there (a spike among them).
- Volume: one volume of the run.  Every time point comes once, in order; a step
  the host repeated comes again, marked REPEATED.  Volumes not seen live are
  back-filled (`backfilled`): those processed before the follower joined or
  while it was disconnected, read from the run's start with
  "tGetExistingMeansOfROI", and those the host skipped (a gap in the
  notifications), marked DROPPED and read with "tGetMeanOfROIAtTimePoint" as
  soon as the gap shows.  A back-filled volume has no protocol condition,
  classifier output or delay: those were not observed when it happened.

Live volumes are marked GAP, REPEATED or LATE as cadence.Cadence judges them.
A volume whose values could not be asked for any more, because the host ended
right after it, is marked UNREAD and has NaN means.

Runs are numbered from 1 within a host session: the follower counts the runs
it sees, a reconnection that finds the same run keeps its number, and a host
that closed the connection after its run had ended has stopped, so the next
host session counts from 1 again.  Every client following the same host thus
calls a run the same.

A lost connection is retried every `retry_s` seconds while the host is
awaited (see `wait`); the same run is continued (back-filling what was
missed) and a new run starts afresh with a new RunInfo.

Thread rules: events() runs on one thread; stop() may be called from any
other thread and makes events() return promptly.
"""

import datetime
import math
import threading
import time
from typing import Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, SupportsFloat, Tuple, Union

from .. import texts
from .cadence import DROPPED, GAP, LATE, LATE_FACTOR, LATE_MARGIN_S, REPEATED, Cadence, Step
from ..client import Client
from ..connection import cannot_connect
from ..errors import CannotConnect, ConnectionLost, Error, NoReplyInTime, RequestRefused
from ..request_table import ClassifierOutput
from ..shapes import pairs
from ..subscription import Notification, Subscription
from .quality import SPIKE_THRESHOLD, Quality, QualityTracker, any_nonzero

__all__ = ["CLASSIFIER_NOT_USED", "CONNECTED", "DROPPED", "ENDED_EARLY", "GAP", "IDLE", "LATE", "LATE_FACTOR",
           "LATE_MARGIN_S", "LOST", "REPEATED", "RUN_ENDED", "UNREAD", "WAITING", "Revision", "RunFollower", "RunInfo",
           "State", "Volume", "classifier_state", "pair_names", "wall_clock_of"]

# A volume announced before the host ended, whose values could not be read.
UNREAD = "unread"

WAITING = "waiting for the host"
CONNECTED = "connected"
IDLE = "no run in progress"
RUN_ENDED = "run ended"
ENDED_EARLY = "run ended early"
LOST = "connection lost"

# Seconds without a notification after connecting before the host is called idle.
IDLE_AFTER_S = 5.0

# "tGetNumberOfClasses" of a host that runs no classifier.
CLASSIFIER_NOT_USED = -3

class State(NamedTuple):
    """A change of the connection or run state; `detail` says more (may be empty);
    `time_point` is the host's at a run's end (RUN_ENDED, ENDED_EARLY), else None."""

    state: str
    detail: str = ""
    time_point: Optional[int] = None

class RunInfo(NamedTuple):
    """The host's description of a run.  `run` counts the runs of the host
    session, from 1.  Values the host refused are None.  `number_of_classes` is the
    host's answer: CLASSIFIER_NOT_USED without a classifier, 0 or less while it has no
    output yet (the count is known from the first output on)."""

    run: int
    project: Optional[str]
    dims: Optional[Tuple[int, int, int]]
    nr_of_rois: int
    voxel_counts: List[Optional[int]]
    expected_time_points: Optional[int]
    number_of_classes: int
    handshake_version: Tuple[int, int, int]
    host: str
    port: int


class Volume(NamedTuple):
    """One processed volume.

    time_point   the notification's time point: volumes processed so far in the run,
                 so this volume's index is time_point - 1
    means        one float per ROI (NaN where the host refused or could not be asked)
    condition    the protocol condition asked right after the notification, or None
    classifier   ClassifierOutput or None
    pearson, partial   correlation pair lists over the follower's window, or None
    wall_clock   ISO 8601 local time at which the notification arrived, or None
    monotonic    time.monotonic() at which it arrived, or None (back-filled)
    delay_ms     from the notification to the last ROI mean received, or None
    marks        tuple of GAP, LATE, REPEATED (live) or DROPPED (back-filled), and
                 UNREAD when the host ended before the values could be read
    missing      volumes skipped before this one (with GAP)
    backfilled   True when read from the run's record instead of observed live
    pre_step_at  time.monotonic() at which its "PreStepCalled" arrived, or None
    quality      its data quality (quality.Quality) when the follower was asked
                 for it and the volume could be read, else None
    """

    run: int
    time_point: int
    means: List[float]
    condition: Optional[int]
    classifier: Optional[ClassifierOutput]
    pearson: Optional[List[float]]
    partial: Optional[List[float]]
    wall_clock: Optional[str]
    monotonic: Optional[float]
    delay_ms: Optional[float]
    marks: Tuple[str, ...]
    missing: int
    backfilled: bool
    pre_step_at: Optional[float] = None
    quality: Optional[Quality] = None

    @property
    def volume_index(self) -> int:
        """The volume's index in the run, as the requests "at time point t" take it."""
        return self.time_point - 1


class Revision(NamedTuple):
    """A volume's data quality found out later: the run's first volumes are judged
    together once the last of them has come (see quality.QualityTracker)."""

    run: int
    time_point: int
    quality: Quality


Event = Union[State, RunInfo, Volume, Revision]


def classifier_state(number_of_classes: Optional[int]) -> str:
    """What the host's "tGetNumberOfClasses" answer means, in words."""
    meanings = {CLASSIFIER_NOT_USED: "the host runs no classifier",
                -2: "the classifier produces no incremental output",
                0: "a classifier is working but has no output yet"}
    if number_of_classes is None:
        return "unknown (the host refused the question)"
    if number_of_classes > 0:
        return "%d classes" % number_of_classes
    return meanings.get(number_of_classes, "no classifier output (the host answers %d)" % number_of_classes)


def _number(value: Union[SupportsFloat, RequestRefused, None]) -> float:
    """A reply value as a float, NaN for a refused one."""
    if isinstance(value, RequestRefused) or value is None:
        return math.nan
    return float(value)


def _run(values: Union[Iterable[SupportsFloat], RequestRefused, None]) -> Optional[List[float]]:
    if values is None or isinstance(values, RequestRefused):
        return None
    return [float(v) for v in values]


def wall_clock_of(monotonic: float) -> str:
    """The local wall-clock time (ISO 8601, milliseconds, with offset) of a time.monotonic() value."""
    now_wall, now_mono = time.time(), time.monotonic()
    stamp = datetime.datetime.fromtimestamp(now_wall - (now_mono - monotonic)).astimezone()
    return stamp.isoformat(timespec="milliseconds")


class RunFollower:
    def __init__(self, host: str = "127.0.0.1", port: int = 55555, timeout: float = 10.0,
                 window: Optional[int] = None, wait: Optional[float] = math.inf, retry_s: float = 0.1,
                 history: bool = True, idle_after_s: Optional[float] = IDLE_AFTER_S,
                 quality: bool = False, spike_threshold: float = SPIKE_THRESHOLD) -> None:
        """`window`: when set (and there are at least two ROIs), every volume also gets the
        plug-in's Pearson and partial correlations over that many time points.
        `wait`: seconds to wait for the host, at the start and after a lost connection
        (math.inf: as long as it takes).  When the host stays away longer, a first
        connection raises its error and a lost one ends events() after State(LOST);
        None means not to wait at all.  `retry_s` is short, so that a follower started
        before the host is subscribed before the run's first volume.  `history`: back-fill
        the volumes a run had before the follower joined it.  `idle_after_s`: after
        connecting, how long without a notification before State(IDLE) (None: never).
        `quality`: every volume also gets its data quality, from the plug-in's copy of
        the raw volume (needs numpy), spikes above `spike_threshold`."""
        self.wait = wait
        self.host = host
        self.port = port
        self.timeout = timeout
        self.window = window or None
        self.retry_s = retry_s
        self.history = history
        self.idle_after_s = idle_after_s
        self._stopping = threading.Event()
        self._client: Optional[Client] = None
        self._subscription: Optional[Subscription] = None
        self._info: Optional[RunInfo] = None
        self._runs = 0
        self._cadence = Cadence()
        # True from the run's post-run (or from joining a host whose run is over)
        # until the next run starts.
        self._run_over = False
        self.quality = quality
        self.spike_threshold = spike_threshold
        self._tracker: Optional[QualityTracker] = None
        self._assessed: List[int] = []  # the time points given to the tracker, in order
        # Arrivals of the "PreStepCalled" notifications whose post-step is still to come.
        self._pre_steps: Dict[int, float] = {}

    def stop(self) -> None:
        self._stopping.set()
        subscription = self._subscription
        if subscription is not None:
            subscription.stop()  # wakes the wait for the next notification

    @property
    def stopped(self) -> bool:
        return self._stopping.is_set()

    # -- connection -----------------------------------------------------------

    def _address(self) -> str:
        return "%s:%d" % (self.host, self.port)

    def _connect(self) -> None:
        # Subscribe first, so that no notification falls between the back-fill and the live volumes.
        subscription = Subscription(self.host, self.port, self.timeout)
        try:
            client = Client(self.host, self.port, self.timeout)
        except BaseException:
            subscription.close()
            raise
        self._subscription, self._client = subscription, client

    def _waited_out(self, exc: BaseException) -> CannotConnect:
        """The error of a host that stayed away for the whole wait; `exc` the last try's."""
        if isinstance(exc, CannotConnect):
            return cannot_connect(self.host, self.port, exc.reason, self.wait, type(exc))
        return cannot_connect(self.host, self.port, str(exc), self.wait, CannotConnect)

    def _disconnect(self) -> None:
        for part in (self._subscription, self._client):
            if part is not None:
                try:
                    part.close()
                except (Error, OSError):
                    pass
        self._subscription = self._client = None

    def _calls(self, calls: Sequence[Tuple[str, Tuple[int, ...]]]) -> List[Any]:
        assert self._client is not None
        return self._client.call_many(list(calls), errors="return") if calls else []

    def _describe(self) -> RunInfo:
        names = ["project_name", "dims_of_functional_data", "nr_of_rois", "expected_nr_of_time_points",
                 "number_of_classes"]
        values = dict(zip(names, self._calls([(n, ()) for n in names])))
        values = {k: None if isinstance(v, RequestRefused) else v for k, v in values.items()}
        rois = values["nr_of_rois"] or 0
        counts = self._calls([("nr_of_voxels_of_roi", (r,)) for r in range(rois)])
        assert self._client is not None
        return RunInfo(self._runs, values["project_name"], values["dims_of_functional_data"], rois,
                       [None if isinstance(c, RequestRefused) else c for c in counts],
                       values["expected_nr_of_time_points"],
                       CLASSIFIER_NOT_USED if values["number_of_classes"] is None else values["number_of_classes"],
                       self._client.handshake_version, self.host, self.port)

    def _current_time_point(self) -> int:
        value = self._calls([("current_time_point", ())])[0]
        return value if isinstance(value, int) else 0

    # -- runs -------------------------------------------------------------------

    def _continues(self, info: RunInfo, current: int) -> bool:
        """True when the host is still in the run followed before the connection ended."""
        old = self._info
        return (old is not None and not self._run_over and current >= self._cadence.last_time_point
                and (old.project, old.dims, old.nr_of_rois, old.voxel_counts)
                == (info.project, info.dims, info.nr_of_rois, info.voxel_counts))

    def _is_over(self, info: RunInfo, current: int) -> bool:
        """True when the host's last run is over and no other has started."""
        if self._run_over:
            return current == self._cadence.last_time_point
        expected = info.expected_time_points
        return self._info is None and expected is not None and current >= expected > 0

    def _start_run(self, info: RunInfo) -> RunInfo:
        self._runs += 1
        self._info = info._replace(run=self._runs)
        self._cadence = Cadence()
        self._run_over = False
        self._pre_steps.clear()
        self._tracker = QualityTracker(info.nr_of_rois, self.spike_threshold) if self.quality else None
        self._assessed = []
        return self._info

    def _end_session(self) -> None:
        """The host stopped after its run: the next host session counts its runs from 1."""
        self._runs = 0
        self._info = None
        self._run_over = False
        self._cadence = Cadence()

    def _idle(self, current: int, expected: Optional[int]) -> State:
        return State(IDLE, "the host at %s answers, but no run is in progress (time point %d of %s)"
                     % (self._address(), current, expected if expected else "?"))

    def _run_end(self, time_point: int) -> State:
        self._run_over = True
        expected = self._info.expected_time_points if self._info is not None else None
        if expected and 0 <= time_point < expected:
            return State(ENDED_EARLY, "%d of %d volumes" % (time_point, expected), time_point)
        return State(RUN_ENDED, "time point %d" % time_point, time_point)

    # -- the event stream -----------------------------------------------------

    def events(self) -> Iterator[Event]:
        announced: Optional[str] = None

        def state(name: str, detail: str = "", time_point: Optional[int] = None) -> List[State]:
            nonlocal announced
            if announced != name:
                announced = name
                return [State(name, detail, time_point)]
            return []

        yield from state(WAITING, self._address())
        missing_since = time.monotonic()
        connected_once = False
        while not self.stopped:
            try:
                self._connect()
            except (Error, OSError) as exc:
                if self.wait is None or time.monotonic() - missing_since > self.wait:
                    if connected_once:
                        return
                    if self.wait is None:
                        raise
                    raise self._waited_out(exc) from exc
                yield from state(announced if announced in (LOST, RUN_ENDED, ENDED_EARLY) else WAITING, str(exc))
                self._stopping.wait(self.retry_s)
                continue
            connected_once = True
            try:
                yield from state(CONNECTED, self._address())
                for event in self._follow_connection():
                    if isinstance(event, State):
                        yield from state(*event)
                        continue
                    if announced != CONNECTED:
                        yield from state(CONNECTED, self._address())
                    if isinstance(event, Volume):
                        yield self._assess(event)
                        yield from self._revisions()
                    else:
                        yield event
            except (Error, OSError) as exc:
                if not self.stopped:
                    if self._run_over:
                        self._end_session()
                    else:
                        yield from state(LOST, str(exc))
                    if self.wait is None:
                        return
                    missing_since = time.monotonic()
                    self._stopping.wait(self.retry_s)
            finally:
                self._disconnect()

    def _follow_connection(self) -> Iterator[Event]:
        current = self._current_time_point()
        info = self._describe()
        if self._continues(info, current):
            yield from self._backfill(current)
        elif self._is_over(info, current):
            self._run_over = True
            self._cadence = Cadence(current)
            yield self._idle(current, info.expected_time_points)
        else:
            yield self._start_run(info)
            if self.history:
                yield from self._backfill(current)
            else:
                self._cadence.skip_to(current)
        yield from self._live()

    def _backfill(self, current: int) -> Iterator[Volume]:
        """Volumes after the last one seen up to `current`, from the plug-in's record of the run."""
        assert self._info is not None and self._client is not None
        since = self._cadence.last_time_point
        if current <= since:
            return
        first, rows = self._client.catch_up(since=since, nr_of_rois=self._info.nr_of_rois)
        count = min((len(r) for r in rows), default=current - since)
        correlations = self._correlations_at([first + k + 1 for k in range(count)])
        for k in range(count):
            time_point = first + k + 1
            pearson, partial = correlations.get(time_point, (None, None))
            yield Volume(self._info.run, time_point, [float(r[k]) for r in rows], None, None, pearson, partial,
                         None, None, None, (), 0, True)
        self._cadence.skip_to(first + count)

    def _correlations_at(self, time_points: Iterable[int]) -> Dict[int, Tuple[Optional[List[float]],
                                                                                Optional[List[float]]]]:
        assert self._info is not None
        if not self.window or self._info.nr_of_rois < 2:
            return {}
        wanted = [t for t in time_points if t >= self.window]
        calls = []
        for t in wanted:
            calls += [("pearson_correlation_at_time_point", (self.window, t)),
                      ("partial_correlation_at_time_point", (self.window, t))]
        values = self._calls(calls)
        return {t: (_run(values[2 * i]), _run(values[2 * i + 1])) for i, t in enumerate(wanted)}

    def _next_notification(self, first: bool) -> Optional[Notification]:
        """The next notification; None (once) when the host stays silent for
        idle_after_s right after connecting."""
        assert self._subscription is not None
        if first and self.idle_after_s is not None:
            try:
                return self._subscription.next(self.idle_after_s)
            except NoReplyInTime:
                return None
        # No time-out: between volumes the host may rightly be silent for long.
        return self._subscription.next()

    def _live(self) -> Iterator[Event]:
        """Volumes (and run and state changes) from the notifications, until the connection ends."""
        backfilled_through = self._cadence.last_time_point
        settling = True  # notifications queued during the back-fill repeat what it read
        first = True
        while not self.stopped:
            try:
                notification = self._next_notification(first)
            except ConnectionLost:
                if self.stopped:
                    return
                raise
            first = False
            if notification is None:
                expected = self._info.expected_time_points if self._info is not None else None
                yield self._idle(self._cadence.last_time_point, expected)
                continue
            name, time_point = notification.name, notification.time_point
            if name == texts.POST_RUN_CALLED:
                if not self._run_over:
                    yield self._run_end(time_point)
                settling = False
            elif self._run_over and name in (texts.PRE_STEP_CALLED, texts.POST_STEP_CALLED):
                # The first step after a run's end starts the next run.
                yield self._start_run(self._describe())
                settling = False
                if name == texts.POST_STEP_CALLED:
                    yield from self._volumes(notification)
            elif name == texts.PRE_STEP_CALLED:
                self._pre_steps[time_point] = notification.received_at
            elif name == texts.POST_STEP_CALLED:
                if settling and time_point <= backfilled_through:
                    continue
                settling = False
                yield from self._volumes(notification)

    # -- volumes -------------------------------------------------------------------

    def _volumes(self, notification: Notification) -> Iterator[Event]:
        """The volumes a post-step brings: those the host dropped before it, then its own."""
        step = self._cadence.judge(notification.time_point, notification.received_at)
        try:
            live = self._read_live(step)
            filled = self._read_dropped(self._dropped_before(step))
        except (Error, OSError):
            # The host may have ended right after this step, its post-run on the way:
            # then the run ended, and its last volumes are there, their values unknown.
            end, pending = self._pending_run_end()
            if end is None:
                raise
            yield from self._unread(step)
            for later in pending:
                yield from self._unread(self._cadence.judge(later.time_point, later.received_at))
            yield end
            raise ConnectionLost("the host ended after its run") from None
        self._cadence.accept(step)
        yield from filled
        yield live

    def _dropped_before(self, step: Step) -> range:
        return range(self._cadence.last_time_point + 1, step.time_point) if GAP in step.marks else range(0)

    def _pending_run_end(self) -> Tuple[Optional[State], List[Notification]]:
        """The run's end, if its "PostRunCalled" is among the notifications already
        received, and the post-steps that came before it."""
        assert self._subscription is not None
        pending: List[Notification] = []
        while True:
            try:
                notification = self._subscription.next(timeout=0)
            except (Error, OSError):
                return None, pending
            if notification is None:
                return None, pending
            if notification.name == texts.POST_RUN_CALLED:
                return self._run_end(notification.time_point), pending
            if notification.name == texts.POST_STEP_CALLED:
                pending.append(notification)

    def _read_live(self, step: Step) -> Volume:
        assert self._info is not None and self._client is not None
        rois = self._info.nr_of_rois
        index = step.time_point - 1
        means = self._calls([("mean_of_roi_at_time_point", (r, index)) for r in range(rois)]) if index >= 0 else []
        received_at = self._client.last_received_at
        delay_ms = (received_at - step.received_at) * 1000 if means and received_at is not None else None
        # A classifier may start producing output at any volume, so it is asked every time
        # (in the same round trip); its refusals while it has none are not faults.
        calls = [("current_protocol_condition", ())]
        if self._info.number_of_classes != CLASSIFIER_NOT_USED:
            calls.append(("current_classifier_output", ()))
        extra = self._calls(calls)
        condition = None if isinstance(extra[0], RequestRefused) else extra[0]
        classifier = extra[1] if len(extra) > 1 and not isinstance(extra[1], RequestRefused) else None
        pearson, partial = self._correlations_at([step.time_point]).get(step.time_point, (None, None))
        return Volume(self._info.run, step.time_point, [_number(m) for m in means], condition, classifier,
                      pearson, partial, wall_clock_of(step.received_at), step.received_at, delay_ms, step.marks,
                      step.missing, False, self._pre_steps.pop(step.time_point, None))

    def _read_dropped(self, time_points: range) -> List[Volume]:
        """The volumes the host skipped, from the plug-in's per-time-point record."""
        assert self._info is not None
        if not time_points:
            return []
        rois = self._info.nr_of_rois
        values = self._calls([("mean_of_roi_at_time_point", (r, t - 1)) for t in time_points for r in range(rois)])
        correlations = self._correlations_at(time_points)
        volumes = []
        for k, t in enumerate(time_points):
            pearson, partial = correlations.get(t, (None, None))
            volumes.append(Volume(self._info.run, t, [_number(v) for v in values[k * rois:(k + 1) * rois]], None,
                                  None, pearson, partial, None, None, None, (DROPPED,), 0, True))
        return volumes

    def _unread(self, step: Step) -> Iterator[Volume]:
        """The volumes of a step whose values could not be asked for any more (the
        host had ended): those dropped before it, then its own, with NaN means."""
        assert self._info is not None
        nan = [math.nan] * self._info.nr_of_rois
        for t in self._dropped_before(step):
            yield Volume(self._info.run, t, nan, None, None, None, None, None, None, None, (DROPPED, UNREAD), 0,
                         True)
        self._cadence.accept(step)
        yield Volume(self._info.run, step.time_point, nan, None, None, None, None, wall_clock_of(step.received_at),
                     step.received_at, None, step.marks + (UNREAD,), step.missing, False)


    def _assess(self, volume: Volume) -> Volume:
        """The volume with its data quality, when asked for: read from the plug-in's
        copy of the raw volume.  A volume that cannot be read goes without, and so
        does one the host skipped: the plug-in copies a volume at its step, so a
        skipped one's copy is all zeros (also when the skip happened before the
        follower joined and is not known as one)."""
        tracker = self._tracker
        if tracker is None or volume.time_point < 1 or {REPEATED, UNREAD, DROPPED} & set(volume.marks):
            return volume
        try:
            raw = self._calls([("raw_value_of_all_voxels_at_time", (volume.time_point - 1,))])[0]
        except (Error, OSError):
            return volume
        if isinstance(raw, RequestRefused) or not any_nonzero(raw):
            return volume
        self._assessed.append(volume.time_point)
        return volume._replace(quality=tracker.add(raw, volume.means))

    def _revisions(self) -> Iterator[Revision]:
        """The earlier volumes whose quality the last assessment revised."""
        if self._tracker is None or self._info is None:
            return
        revised, self._tracker.revised = self._tracker.revised, []
        for index, quality in revised:
            yield Revision(self._info.run, self._assessed[index], quality)


def pair_names(nr_of_rois: int) -> List[str]:
    """Column suffixes of the correlation pairs, "0_1", "0_2", ..."""
    return ["%d_%d" % p for p in pairs(nr_of_rois)]
