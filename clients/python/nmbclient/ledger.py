"""Ledger: where each volume's time goes, from the trigger to the feedback on screen.

    from nmbclient import Client, Ledger, Subscription
    ledger = Ledger()
    with Subscription("127.0.0.1", 55555, ledger=ledger) as sub:   # stamps both steps
        for step in sub.notifications():
            if step.name == "PostStepCalled":
                means = client.roi_means()
                ledger.values(step.time_point, client.last_received_at)
                show(means)
                ledger.shown(step.time_point)
    print(ledger.stages(17))     # Stages(trigger_to_post_step_ms=None, post_step_to_values_ms=0.4, ...)

A volume is counted as the notifications count it: the run's first volume is
1 (the time point of its "PostStepCalled"), as a trigger box counts.  Every
stamp is a time.monotonic() value; `first_wall_clock` is the wall time (Unix
seconds) of the first stamp, so any stamp converts to the wall clock as
first_wall_clock + (stamp - first_monotonic).

The stages:

    trigger  -> post_step   the host's acquisition and processing of the volume
    post_step -> values     the client's requests for its values
    values   -> shown       the stimulus program's drawing, to the screen

A stamp costs a dictionary look-up and a list store (well under a
microsecond); a client that keeps no Ledger pays nothing.  One thread stamps
a Ledger, or the caller serialises the stamps.
"""

import time
from typing import Dict, Iterator, List, NamedTuple, Optional

from . import texts

# The moments of a volume, in the order they happen.
MOMENTS = ("trigger", "pre_step", "post_step", "values", "shown")
_TRIGGER, _PRE_STEP, _POST_STEP, _VALUES, _SHOWN = range(len(MOMENTS))


class Moments(NamedTuple):
    """A volume's monotonic stamps (seconds), None where not seen."""

    trigger: Optional[float]
    pre_step: Optional[float]
    post_step: Optional[float]
    values: Optional[float]
    shown: Optional[float]


class Stages(NamedTuple):
    """A volume's stage times in milliseconds, None where a stamp is missing."""

    trigger_to_post_step_ms: Optional[float]
    post_step_to_values_ms: Optional[float]
    values_to_shown_ms: Optional[float]


def _span_ms(start: Optional[float], end: Optional[float]) -> Optional[float]:
    return None if start is None or end is None else (end - start) * 1000.0


def stages_of(moments: Moments) -> Stages:
    """The stage times of a volume's moments."""
    return Stages(_span_ms(moments.trigger, moments.post_step), _span_ms(moments.post_step, moments.values),
                  _span_ms(moments.values, moments.shown))


class Ledger:
    def __init__(self) -> None:
        self._volumes: Dict[int, List[Optional[float]]] = {}
        self.first_monotonic: Optional[float] = None
        self.first_wall_clock: Optional[float] = None

    def stamp(self, volume: int, moment: int, at: Optional[float] = None) -> float:
        """Stamps moment number `moment` (an index into MOMENTS) of `volume` at `at`
        (time.monotonic(); default: now) and returns the stamp.  The first stamp of
        a moment stays: a repeated step keeps its first arrival."""
        if at is None:
            at = time.monotonic()
        if self.first_monotonic is None:
            self.first_monotonic, self.first_wall_clock = at, time.time() - (time.monotonic() - at)
        entry = self._volumes.get(volume)
        if entry is None:
            entry = self._volumes[volume] = [None, None, None, None, None]
        if entry[moment] is None:
            entry[moment] = at
        return at

    def trigger(self, volume: int, at: Optional[float] = None) -> float:
        return self.stamp(volume, _TRIGGER, at)

    def pre_step(self, volume: int, at: Optional[float] = None) -> float:
        return self.stamp(volume, _PRE_STEP, at)

    def post_step(self, volume: int, at: Optional[float] = None) -> float:
        return self.stamp(volume, _POST_STEP, at)

    def values(self, volume: int, at: Optional[float] = None) -> float:
        return self.stamp(volume, _VALUES, at)

    def shown(self, volume: int, at: Optional[float] = None) -> float:
        return self.stamp(volume, _SHOWN, at)

    def note(self, name: str, volume: int, at: float) -> None:
        """Stamps a notification's arrival: "PreStepCalled" or "PostStepCalled"
        (any other name is ignored)."""
        if name == texts.POST_STEP_CALLED:
            self.stamp(volume, _POST_STEP, at)
        elif name == texts.PRE_STEP_CALLED:
            self.stamp(volume, _PRE_STEP, at)

    def moments(self, volume: int) -> Moments:
        entry = self._volumes.get(volume)
        return Moments(*entry) if entry is not None else Moments(None, None, None, None, None)

    def stages(self, volume: int) -> Stages:
        return stages_of(self.moments(volume))

    def volumes(self) -> Iterator[int]:
        """The volumes stamped so far, in order."""
        return iter(sorted(self._volumes))

    def clear(self) -> None:
        """Forgets every volume (a new run counts from 1 again); keeps the first stamp's clock."""
        self._volumes.clear()
