"""RunFollower: the plug-in's runs as a stream of volumes, for live views and records.

    from nmbclient.runfollower import RunFollower, RunInfo, State, Volume
    follower = RunFollower("127.0.0.1", 55555)
    for event in follower.events():
        if isinstance(event, Volume):
            print(event.time_point, event.means, event.delay_ms, event.marks)

`events()` yields, in order of happening:

- State: the connection state changed ("waiting for the host", "connected",
  "run ended", "connection lost").
- RunInfo: what the host reports at the start of a run (or when the follower
  joins one): project, dimensions, ROIs and their voxel counts, the expected
  number of time points, the number of classifier classes.
- Volume: one processed volume.  Volumes that were processed before the
  follower connected (or while it was disconnected) are back-filled from the
  run's start with "tGetExistingMeansOfROI" and carry `backfilled`; they have
  no protocol condition, classifier output or delay, because those were not
  observed when they happened.

Every live volume is checked against the ones before it, from the
notifications' time points and receive times:

- "gap": the time point jumped over volumes (`missing` says how many);
- "repeated": the time point did not advance (the volume is not new);
- "late": the notification came much later than the run's usual volume
  interval: more than LATE_FACTOR times the median of the recent intervals,
  and at least LATE_MARGIN_S beyond it (so scheduling jitter of a fast run
  is not called late).

A lost connection is retried every `retry_s` seconds while the host is
awaited (see `wait`); the same run is continued (back-filling what was missed) and a new run
starts afresh with a new RunInfo.

Thread rules: events() runs on one thread; stop() may be called from any
other thread and makes events() return promptly.
"""

import collections
import datetime
import math
import statistics
import threading
import time

from . import texts
from .client import Client
from .errors import ConnectionLost, NimbrelError, NmbError
from .shapes import pairs
from .subscription import Subscription

WAITING = "waiting for the host"
CONNECTED = "connected"
RUN_ENDED = "run ended"
LOST = "connection lost"

GAP = "gap"
LATE = "late"
REPEATED = "repeated"

# A notification this many times later than the median recent volume interval is late.
LATE_FACTOR = 1.5
# ... and at least this many seconds beyond the median.
LATE_MARGIN_S = 0.1
# Intervals the median is taken over, and how many are needed before anything is called late.
_INTERVALS_KEPT = 10
_INTERVALS_NEEDED = 3

# "tGetNumberOfClasses" of a host that runs no classifier.
CLASSIFIER_NOT_USED = -3

State = collections.namedtuple("State", "state detail")
State.__new__.__defaults__ = ("",)
State.__doc__ = """A change of the connection state; `detail` says why (may be empty)."""

RunInfo = collections.namedtuple(
    "RunInfo", "run project dims nr_of_rois voxel_counts expected_time_points number_of_classes "
    "handshake_version host port")
RunInfo.__doc__ = """The host's description of a run.  `run` counts the runs this follower
has seen, from 1.  Values the host refused are None.  `number_of_classes` is the
host's answer: CLASSIFIER_NOT_USED without a classifier, 0 or less while it has no
output yet (the count is known from the first output on)."""


class Volume(collections.namedtuple(
        "Volume", "run time_point means condition classifier pearson partial wall_clock monotonic "
        "delay_ms marks missing backfilled")):
    """One processed volume.

    time_point   the notification's time point: volumes processed so far in the run,
                 so this volume's index is time_point - 1
    means        one float per ROI (NaN where the host refused)
    condition    the protocol condition asked right after the notification, or None
    classifier   ClassifierOutput or None
    pearson, partial   correlation pair lists over the follower's window, or None
    wall_clock   ISO 8601 local time at which the notification arrived, or None
    monotonic    time.monotonic() at which it arrived, or None (back-filled)
    delay_ms     from the notification to the last ROI mean received, or None
    marks        tuple of GAP, LATE, REPEATED
    missing      volumes skipped before this one (with GAP)
    backfilled   True when read from the run's history instead of observed live
    """

    __slots__ = ()

    @property
    def index(self):
        return self.time_point - 1


def _number(value):
    """A reply value as a float, NaN for a refused one."""
    if isinstance(value, NimbrelError) or value is None:
        return math.nan
    return float(value)


def _run(values):
    if values is None or isinstance(values, NimbrelError):
        return None
    return [float(v) for v in values]


def wall_clock_of(monotonic):
    """The local wall-clock time (ISO 8601, milliseconds, with offset) of a time.monotonic() value."""
    now_wall, now_mono = time.time(), time.monotonic()
    stamp = datetime.datetime.fromtimestamp(now_wall - (now_mono - monotonic)).astimezone()
    return stamp.isoformat(timespec="milliseconds")


class RunFollower:
    def __init__(self, host="127.0.0.1", port=55555, timeout=10.0, window=None, wait=math.inf, retry_s=1.0):
        """`window`: when set (and there are at least two ROIs), every volume also gets the
        plug-in's Pearson and partial correlations over that many time points.
        `wait`: seconds to wait for the host, at the start and after a lost connection
        (math.inf: as long as it takes).  When the host stays away longer, a first
        connection raises its error and a lost one ends events() after State(LOST);
        None means not to wait at all."""
        self.wait = wait
        self.host = host
        self.port = port
        self.timeout = timeout
        self.window = window or None
        self.retry_s = retry_s
        self._stopping = threading.Event()
        self._client = None
        self._subscription = None
        self._info = None
        self._runs = 0
        self._last_time_point = 0
        self._last_arrival = None
        self._intervals = collections.deque(maxlen=_INTERVALS_KEPT)

    def stop(self):
        self._stopping.set()
        subscription = self._subscription
        if subscription is not None:
            subscription.stop()  # wakes the wait for the next notification

    @property
    def stopped(self):
        return self._stopping.is_set()

    # -- connection -----------------------------------------------------------

    def _connect(self):
        # Subscribe first, so that no notification falls between the back-fill and the live volumes.
        subscription = Subscription(self.host, self.port, self.timeout)
        try:
            client = Client(self.host, self.port, self.timeout)
        except BaseException:
            subscription.close()
            raise
        self._subscription, self._client = subscription, client

    def _disconnect(self):
        for part in (self._subscription, self._client):
            if part is not None:
                try:
                    part.close()
                except (NmbError, OSError):
                    pass
        self._subscription = self._client = None

    def _describe(self):
        names = ["project_name", "dims_of_functional_data", "nr_of_rois", "expected_nr_of_time_points",
                 "number_of_classes"]
        values = dict(zip(names, self._client.call_many([(n, ()) for n in names], errors="return")))
        values = {k: None if isinstance(v, NimbrelError) else v for k, v in values.items()}
        rois = values["nr_of_rois"] or 0
        counts = self._client.call_many([("nr_of_voxels_of_roi", (r,)) for r in range(rois)], errors="return")
        return RunInfo(self._runs, values["project_name"], values["dims_of_functional_data"], rois,
                       [None if isinstance(c, NimbrelError) else c for c in counts],
                       values["expected_nr_of_time_points"],
                       CLASSIFIER_NOT_USED if values["number_of_classes"] is None else values["number_of_classes"],
                       self._client.handshake_version, self.host, self.port)

    def _current_time_point(self):
        value = self._client.call_many([("current_time_point", ())], errors="return")[0]
        return value if isinstance(value, int) else 0

    def _same_run(self, info, current_time_point):
        old = self._info
        return (old is not None and current_time_point >= self._last_time_point
                and (old.project, old.dims, old.nr_of_rois, old.voxel_counts)
                == (info.project, info.dims, info.nr_of_rois, info.voxel_counts))

    def _start_run(self, info):
        self._runs += 1
        self._info = info._replace(run=self._runs)
        self._last_time_point = 0
        self._last_arrival = None
        self._intervals.clear()
        return self._info

    # -- the event stream -----------------------------------------------------

    def events(self):
        announced = None

        def state(name, detail=""):
            nonlocal announced
            if announced != name:
                announced = name
                return [State(name, detail)]
            return []

        yield from state(WAITING, "%s:%d" % (self.host, self.port))
        missing_since = time.monotonic()
        connected_once = False
        while not self.stopped:
            try:
                self._connect()
            except (NmbError, OSError) as exc:
                if self.wait is None or time.monotonic() - missing_since > self.wait:
                    if connected_once:
                        return
                    raise
                yield from state(announced if announced in (LOST, RUN_ENDED) else WAITING, str(exc))
                self._stopping.wait(self.retry_s)
                continue
            connected_once = True
            try:
                yield from state(CONNECTED, "%s:%d" % (self.host, self.port))
                current = self._current_time_point()
                info = self._describe()
                if not self._same_run(info, current):
                    yield self._start_run(info)
                yield from self._backfill(current)
                for event in self._live(self._last_time_point):
                    if isinstance(event, State):
                        yield from state(event.state, event.detail)
                    else:
                        if announced != CONNECTED:
                            yield from state(CONNECTED)
                        yield event
            except (NmbError, OSError) as exc:
                if not self.stopped:
                    yield from state(LOST, str(exc))
                    if self.wait is None:
                        return
                    missing_since = time.monotonic()
                    self._stopping.wait(self.retry_s)
            finally:
                self._disconnect()

    def _backfill(self, current):
        """Volumes after the last one seen up to `current`, from the plug-in's record of the run."""
        since = self._last_time_point
        if current <= since:
            return
        rois = self._info.nr_of_rois
        first, rows = self._client.catch_up(since=since, nr_of_rois=rois)
        count = min((len(r) for r in rows), default=current - since)
        correlations = self._correlations_at([first + k + 1 for k in range(count)])
        for k in range(count):
            time_point = first + k + 1
            pearson, partial = correlations.get(time_point, (None, None))
            yield Volume(self._info.run, time_point, [float(r[k]) for r in rows], None, None, pearson, partial,
                         None, None, None, (), 0, True)
        self._last_time_point = max(self._last_time_point, first + count)
        if count:
            self._last_arrival = None  # the next interval would span the volumes read here

    def _correlations_at(self, time_points):
        if not self.window or self._info.nr_of_rois < 2:
            return {}
        wanted = [t for t in time_points if t >= self.window]
        calls = []
        for t in wanted:
            calls += [("pearson_correlation_at_time_point", (self.window, t)),
                      ("partial_correlation_at_time_point", (self.window, t))]
        values = self._client.call_many(calls, errors="return") if calls else []
        return {t: (_run(values[2 * i]), _run(values[2 * i + 1])) for i, t in enumerate(wanted)}

    def _live(self, backfilled_through):
        """Volumes (and run and state changes) from the notifications, until the connection ends."""
        settling = True  # notifications queued during the back-fill repeat what it read
        while not self.stopped:
            # No time-out: between volumes the host may rightly be silent for long.  (A short
            # time-out would also risk a frame whose header arrives just before it ends.)
            try:
                notification = self._subscription.next()
            except ConnectionLost:
                if self.stopped:
                    return
                raise
            name, time_point = notification
            if name == texts.POST_RUN_CALLED:
                yield State(RUN_ENDED, "time point %d" % time_point)
                settling = False
            elif name == texts.PRE_STEP_CALLED and time_point == 0 and self._last_time_point > 0:
                # The first pre-step of a new run: the host has started counting again.
                yield self._start_run(self._describe())
                yield State(CONNECTED)
                settling = False
            elif name == texts.POST_STEP_CALLED:
                if settling and time_point <= backfilled_through:
                    continue
                settling = False
                yield self._volume(notification)

    def _volume(self, notification):
        time_point, arrived = notification.time_point, notification.received_at
        marks, missing = [], 0
        if time_point <= self._last_time_point:
            marks.append(REPEATED)
        elif time_point > self._last_time_point + 1:
            marks.append(GAP)
            missing = time_point - self._last_time_point - 1
        if self._last_arrival is not None and REPEATED not in marks:
            # A gap stretches the interval by the volumes it skipped.
            interval = (arrived - self._last_arrival) / (missing + 1)
            if len(self._intervals) >= _INTERVALS_NEEDED:
                usual = statistics.median(self._intervals)
                if interval > LATE_FACTOR * usual and interval > usual + LATE_MARGIN_S:
                    marks.append(LATE)
            self._intervals.append(interval)
        if REPEATED not in marks:
            self._last_arrival = arrived
            self._last_time_point = time_point

        rois = self._info.nr_of_rois
        index = time_point - 1
        means = self._client.call_many([("mean_of_roi_at_time_point", (r, index)) for r in range(rois)],
                                       errors="return") if rois and index >= 0 else []
        delay_ms = (self._client.last_received_at - arrived) * 1000 if means else None
        # A classifier may start producing output at any volume, so it is asked every time
        # (in the same round trip); its refusals while it has none are not faults.
        calls = [("current_protocol_condition", ())]
        if self._info.number_of_classes != CLASSIFIER_NOT_USED:
            calls.append(("current_classifier_output", ()))
        extra = self._client.call_many(calls, errors="return")
        condition = None if isinstance(extra[0], NimbrelError) else extra[0]
        classifier = None
        if len(extra) > 1 and not isinstance(extra[1], NimbrelError):
            classifier = extra[1]
        pearson, partial = self._correlations_at([time_point]).get(time_point, (None, None))
        return Volume(self._info.run, time_point, [_number(m) for m in means], condition, classifier, pearson,
                      partial, wall_clock_of(arrived), arrived, delay_ms, tuple(marks), missing, False)


def pair_names(nr_of_rois):
    """Column suffixes of the correlation pairs, "0_1", "0_2", ..."""
    return ["%d_%d" % p for p in pairs(nr_of_rois)]
