"""Cadence: how each live volume of a run fits the ones before it.

    cadence = Cadence()
    step = cadence.judge(time_point, received_at)   # nothing changes yet
    ...                                              # ask for the volume's values
    cadence.accept(step)                             # now it counts

From the notifications' time points and receive times a volume is

- GAP: the time point jumped over volumes (`missing` says how many: the host
  dropped them, they come as DROPPED volumes from the plug-in's record);
- REPEATED: the time point did not advance (the host processed the step again);
- LATE: it came much later than the run's usual volume interval: more than
  LATE_FACTOR times the median of the recent intervals, and at least
  LATE_MARGIN_S beyond it (so the scheduling jitter of a fast run is not
  called late).

judge() only looks; accept() takes the volume into the history once its values
were read, so a volume whose values could not be read is judged again after a
reconnection.  One thread uses a Cadence.
"""

import collections
import statistics
from typing import Deque, NamedTuple, Optional, Tuple

GAP = "gap"
LATE = "late"
REPEATED = "repeated"
# A volume the host skipped (no notification), read from the plug-in's record.
DROPPED = "dropped"

# A notification this many times later than the median recent volume interval is late.
LATE_FACTOR = 1.5
# ... and at least this many seconds beyond the median.
LATE_MARGIN_S = 0.1
# Intervals the median is taken over, and how many are needed before anything is called late.
_INTERVALS_KEPT = 10
_INTERVALS_NEEDED = 3


class Step(NamedTuple):
    """The judgement of one live volume."""

    time_point: int
    received_at: float
    marks: Tuple[str, ...]
    missing: int                # volumes skipped just before it (with GAP)
    interval: Optional[float]   # seconds per volume since the previous one, None when unknown


class Cadence:
    def __init__(self, last_time_point: int = 0) -> None:
        self.last_time_point = last_time_point
        self._last_arrival: Optional[float] = None
        self._intervals: Deque[float] = collections.deque(maxlen=_INTERVALS_KEPT)

    def skip_to(self, time_point: int) -> None:
        """Volumes up to `time_point` were read otherwise (back-filled): the next
        interval would span them, so it is not measured."""
        if time_point > self.last_time_point:
            self.last_time_point = time_point
            self._last_arrival = None

    def judge(self, time_point: int, received_at: float) -> Step:
        marks = []
        missing = 0
        if time_point <= self.last_time_point:
            marks.append(REPEATED)
        elif time_point > self.last_time_point + 1:
            marks.append(GAP)
            missing = time_point - self.last_time_point - 1
        interval = None
        if self._last_arrival is not None and REPEATED not in marks:
            # A gap stretches the interval by the volumes it skipped.
            interval = (received_at - self._last_arrival) / (missing + 1)
            if len(self._intervals) >= _INTERVALS_NEEDED:
                usual = statistics.median(self._intervals)
                if interval > LATE_FACTOR * usual and interval > usual + LATE_MARGIN_S:
                    marks.append(LATE)
        return Step(time_point, received_at, tuple(marks), missing, interval)

    def accept(self, step: Step) -> None:
        if REPEATED in step.marks:
            return
        if step.interval is not None:
            self._intervals.append(step.interval)
        self._last_arrival = step.received_at
        self.last_time_point = step.time_point
