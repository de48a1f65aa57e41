"""Live data quality from the raw volumes: DVARS, global mean, temporal SNR, spikes.

    tracker = QualityTracker(nr_of_rois=2)
    for volume in run:                       # in time-point order
        q = tracker.add(raw_volume, roi_means)
        if q.spike: ...

Per volume t (Y_t the raw volume over the mask, V its voxel count):

- mask: the voxels of the run's first volume brighter than 1/8 of its mean
  (the background of an EPI volume is far darker than the head);
- global mean: g_t = mean over the mask of Y_t;
- DVARS: D_t = sqrt(1/V * sum_v (Y_t,v - Y_r,v)^2), r the last volume that was
  not a spike (t - 1 in a clean run), so a spoiled volume does not spoil its
  successor's difference too;
- standardised DVARS: D_t / median(D of the earlier clean volumes), once
  MIN_HISTORY of them are known (before that n/a): about 1 for ordinary
  volume-to-volume change, whatever the scanner's noise level;
- spike: standardised DVARS above the threshold (SPIKE_THRESHOLD, 1.5, by
  default, as common outlier rules use);
- temporal SNR of the volume: the mean over the mask of mean_v / sd_v, each
  voxel's mean and sample standard deviation over the clean volumes so far
  (Welford's running sums); of ROI r: mean / sd of its ROI means so far.
  Spikes are left out of both.

After MAX_SPIKE_RUN spikes in a row the data have changed for good (the head
moved and stayed): the newest volume becomes the reference, so the volumes
after it are judged against the new position.

Needs numpy; numpy_missing() says whether it is there.  One thread uses a
tracker.
"""

import collections
import math
import statistics
from typing import TYPE_CHECKING, Any, Deque, List, NamedTuple, Optional, Sequence

from ..wire import HAVE_NUMPY

if HAVE_NUMPY:
    import numpy
if TYPE_CHECKING:
    import numpy.typing

SPIKE_THRESHOLD = 1.5
MIN_HISTORY = 3
MAX_SPIKE_RUN = 3
# Clean DVARS values the median is taken over.
_HISTORY_KEPT = 100

OFF_WITHOUT_NUMPY = "data quality (DVARS, tSNR, spikes) is off: it needs numpy (Debian: python3-numpy)"


def numpy_missing() -> bool:
    return not HAVE_NUMPY


def any_nonzero(volume: "numpy.typing.ArrayLike") -> bool:
    """False for a volume of zeros only (a copy the plug-in never filled)."""
    return bool(numpy.asarray(volume).any())


class Quality(NamedTuple):
    """One volume's measures; None where not known yet."""

    global_mean: float
    dvars: Optional[float]
    std_dvars: Optional[float]
    tsnr: Optional[float]
    roi_tsnr: List[Optional[float]]
    spike: bool


class _Running:
    """Welford's running mean and sum of squared deviations."""

    def __init__(self) -> None:
        self.n = 0
        self.mean = 0.0
        self.m2 = 0.0

    def add(self, value: float) -> None:
        self.n += 1
        delta = value - self.mean
        self.mean += delta / self.n
        self.m2 += delta * (value - self.mean)

    def snr(self) -> Optional[float]:
        if self.n < 2 or self.m2 <= 0:
            return None
        return self.mean / math.sqrt(self.m2 / (self.n - 1))


class QualityTracker:
    def __init__(self, nr_of_rois: int = 0, threshold: float = SPIKE_THRESHOLD) -> None:
        if not HAVE_NUMPY:
            raise RuntimeError(OFF_WITHOUT_NUMPY)
        self.threshold = threshold
        self._size = -1
        self._raw: Any = numpy.empty(0)
        self._history: Deque[float] = collections.deque(maxlen=_HISTORY_KEPT)
        self._spike_run = 0
        self._rois = [_Running() for _ in range(nr_of_rois)]

    def _start(self, first: "numpy.typing.NDArray[Any]") -> None:
        """Takes the mask from the run's first volume and sets up the work arrays:
        float32 buffers reused for every volume, so a volume allocates nothing big."""
        level = float(first.mean()) / 8.0 if first.size else 0.0
        self._size = first.size
        self._index = numpy.flatnonzero(first > level)
        count = self._index.size
        self._y, self._reference, self._work, self._sd = (numpy.empty(count, numpy.float32) for _ in range(4))
        self._mean, self._m2 = numpy.zeros(count, numpy.float32), numpy.zeros(count, numpy.float32)
        self._delta, self._step = numpy.empty(count, numpy.float32), numpy.empty(count, numpy.float32)
        self._varying = numpy.empty(count, numpy.bool_)
        self._raw = numpy.empty(count, first.dtype)
        self._has_reference = False
        self._clean = 0
        self._history.clear()

    def add(self, volume: "numpy.typing.ArrayLike", roi_means: Sequence[float] = ()) -> Quality:
        """The measures of the next volume (a flat run of its voxels, in the same
        order every time) and its ROI means."""
        values = numpy.asarray(volume).ravel()
        if values.size != self._size or values.dtype != self._raw.dtype:
            self._start(values)
        y = self._y
        numpy.take(values, self._index, out=self._raw)
        y[...] = self._raw
        count = y.size
        global_mean = float(numpy.mean(y, dtype=numpy.float64)) if count else math.nan
        dvars = std_dvars = None
        spike = False
        if self._has_reference and count:
            numpy.subtract(y, self._reference, out=self._work)
            dvars = math.sqrt(float(numpy.dot(self._work, self._work)) / count)
            if len(self._history) >= MIN_HISTORY:
                usual = statistics.median(self._history)
                std_dvars = dvars / usual if usual > 0 else (math.inf if dvars > 0 else 1.0)
                spike = std_dvars > self.threshold
        self._spike_run = self._spike_run + 1 if spike else 0
        if not spike:
            if dvars is not None:
                self._history.append(dvars)
            self._accumulate(y)
            for running, mean in zip(self._rois, roi_means):
                if math.isfinite(mean):
                    running.add(mean)
        if not spike or self._spike_run >= MAX_SPIKE_RUN:
            # The volume becomes the reference: swap the buffers instead of copying.
            self._y, self._reference = self._reference, y
            self._has_reference = True
        if self._spike_run >= MAX_SPIKE_RUN:
            self._history.clear()
            self._spike_run = 0
        return Quality(global_mean, dvars, std_dvars, self._tsnr(), [r.snr() for r in self._rois], spike)

    def _accumulate(self, y: "numpy.typing.NDArray[numpy.float32]") -> None:
        """Welford's update of every voxel's mean and sum of squared deviations."""
        self._clean += 1
        delta, step = self._delta, self._step
        numpy.subtract(y, self._mean, out=delta)
        numpy.multiply(delta, 1.0 / self._clean, out=step)
        self._mean += step
        # y - new mean = delta - step
        numpy.subtract(delta, step, out=step)
        delta *= step
        self._m2 += delta

    def _tsnr(self) -> Optional[float]:
        if self._clean < 2 or not self._mean.size:
            return None
        sd = self._sd
        numpy.multiply(self._m2, 1.0 / (self._clean - 1), out=sd, casting="same_kind")
        numpy.sqrt(sd, out=sd)
        varying = numpy.greater(sd, 0, out=self._varying)
        count = int(numpy.count_nonzero(varying))
        if not count:
            return None
        ratio = self._work
        ratio[...] = 0
        numpy.divide(self._mean, sd, out=ratio, where=varying, casting="same_kind")
        return float(numpy.sum(ratio, dtype=numpy.float64)) / count
