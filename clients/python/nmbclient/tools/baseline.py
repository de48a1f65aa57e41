"""Percent signal change against a baseline window of time points.

A baseline is given as "FIRST:LAST", time points as the notifications count
them (the run's first volume is time point 1), both included.  The baseline
of a ROI is the mean of its values at those time points that exist (gaps and
refused values are left out); it is known once the run has passed LAST.
"""

import math
from typing import Mapping, Type, TypeVar

_Self = TypeVar("_Self", bound="Baseline")


class Baseline:
    def __init__(self, first: int, last: int) -> None:
        if first < 1 or last < first:
            raise ValueError("a baseline runs from time point 1 or later to a later or equal one, not %d:%d"
                             % (first, last))
        self.first = first
        self.last = last

    @classmethod
    def parse(cls: Type[_Self], text: str) -> _Self:
        """Baseline from "FIRST:LAST" (e.g. "1:10"); raises ValueError for anything else."""
        first, sep, last = text.partition(":")
        try:
            if not sep:
                raise ValueError
            return cls(int(first), int(last))
        except ValueError:
            raise ValueError("a baseline is FIRST:LAST in time points, e.g. 1:10, not %r" % text) from None

    def __str__(self) -> str:
        return "%d:%d" % (self.first, self.last)

    def contains(self, time_point: int) -> bool:
        return self.first <= time_point <= self.last

    def mean(self, values_by_time_point: Mapping[int, float]) -> float:
        """The mean of the finite values at the baseline's time points; NaN when there are none.

        `values_by_time_point` maps time point -> value (a dict or any mapping)."""
        values = [v for t, v in values_by_time_point.items() if self.contains(t) and math.isfinite(v)]
        return sum(values) / len(values) if values else math.nan


def percent_change(value: float, baseline_mean: float) -> float:
    """100 * (value - baseline) / baseline; NaN when either is unknown or the baseline is 0."""
    if not (math.isfinite(value) and math.isfinite(baseline_mean)) or baseline_mean == 0:
        return math.nan
    return 100.0 * (value - baseline_mean) / baseline_mean
