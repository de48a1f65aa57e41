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
- standardised DVARS: D_t / median(D of the earlier clean volumes): about 1
  for ordinary volume-to-volume change, whatever the scanner's noise level;
- the run's first WARM_UP volumes have no earlier ones to be judged by: they
  are judged together when the last of them arrives (the second smallest of
  their six pairwise differences is the usual D, and a volume is a spike when
  the median of its differences to the three others passes the threshold
  times that).  Until then their standardised DVARS is n/a; a spike among the
  first three is told then, in `revised`;
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
from typing import TYPE_CHECKING, Any, Deque, List, NamedTuple, Optional, Sequence, Tuple

from ..wire import HAVE_NUMPY

if HAVE_NUMPY:
    import numpy
if TYPE_CHECKING:
    import numpy.typing

SPIKE_THRESHOLD = 1.5
MIN_HISTORY = 3
# The run's first volumes, judged together once the last of them is there.
WARM_UP = 4
MAX_SPIKE_RUN = 3
# Clean DVARS values the median is taken over.
_HISTORY_KEPT = 100

OFF_WITHOUT_NUMPY = "data quality (DVARS, tSNR, spikes) is off: it needs numpy (Debian: python3-numpy)"


def _rms_difference(a: Any, b: Any) -> float:
    difference = a - b
    return math.sqrt(float(numpy.dot(difference, difference)) / max(difference.size, 1))


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
        # The first volumes as (masked values, ROI means, global mean, D to the one before).
        self._warm: Optional[List[Tuple[Any, Sequence[float], float, Optional[float]]]] = []
        self._added = 0
        # Set by each add(): (index of an earlier volume in the order added, from 0,
        # its revised Quality) for the spikes found among the first volumes.
        self.revised: List[Tuple[int, Quality]] = []

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
        self._warm = []

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
        self.revised = []
        self._added += 1
        if self._warm is not None and count:
            return self._warm_up(y.copy(), roi_means, global_mean)
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

    def _warm_up(self, y: Any, roi_means: Sequence[float], global_mean: float) -> Quality:
        warm = self._warm
        assert warm is not None
        previous = warm[-1][0] if warm else None
        dvars = _rms_difference(y, previous) if previous is not None else None
        warm.append((y, list(roi_means), global_mean, dvars))
        if len(warm) < WARM_UP:
            return Quality(global_mean, dvars, None, None, [None] * len(self._rois), False)
        self._warm = None
        arrays = [w[0] for w in warm]
        pair = {(i, j): _rms_difference(arrays[i], arrays[j]) for i in range(WARM_UP) for j in range(i + 1, WARM_UP)}
        usual = sorted(pair.values())[1]
        ratios = [statistics.median(pair[min(i, j), max(i, j)] for j in range(WARM_UP) if j != i) / usual
                  if usual > 0 else 1.0 for i in range(WARM_UP)]
        spikes = [r > self.threshold for r in ratios]
        if all(spikes):
            spikes = [False] * WARM_UP  # nothing to tell the usual by
        clean = [i for i in range(WARM_UP) if not spikes[i]]
        for a, b in zip(clean, clean[1:]):
            self._history.append(pair[a, b])
        for i in clean:
            self._accumulate(arrays[i])
            for running, mean in zip(self._rois, warm[i][1]):
                if math.isfinite(mean):
                    running.add(mean)
        self._reference[...] = arrays[clean[-1]]
        self._has_reference = True
        tsnr, roi_tsnr = self._tsnr(), [r.snr() for r in self._rois]
        first = self._added - WARM_UP
        self.revised = [(first + i, Quality(warm[i][2], warm[i][3], ratios[i], None, [None] * len(self._rois), True))
                        for i in range(WARM_UP - 1) if spikes[i]]
        last = WARM_UP - 1
        before = [i for i in clean if i < last]
        dvars = pair[before[-1], last] if before else warm[last][3]
        return Quality(warm[last][2], dvars, ratios[last], tsnr, roi_tsnr, spikes[last])

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
