"""Turning flat replies into the shapes users want.

Pure functions over decoded values, so they are tested without a network:
volumes reshaped with the host's dimensions, the pair list of a correlation
reply as a symmetric matrix, and the ROI means of a catch-up after a
reconnect.
"""

import array
import math
from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Sequence, SupportsFloat, Tuple, Union

from .wire import HAVE_NUMPY, RealRun, need_numpy

if HAVE_NUMPY:
    import numpy
if TYPE_CHECKING:
    import numpy.typing

# The three dimensions of the functional volumes, (dimX, dimY, dimZ).
Dims = Tuple[int, int, int]


def reshape_volume(flat: "numpy.typing.ArrayLike", dims: Dims, order: str = "C") -> "numpy.typing.NDArray[Any]":
    """Shapes a flat volume run with dims = (dimX, dimY, dimZ).

    The host's linear order is taken to run x fastest, then y, then z:
    index = x + dimX * (y + dimY * z).  order="C" returns shape (dimZ, dimY,
    dimX) indexed [z, y, x]; order="F" returns shape (dimX, dimY, dimZ) indexed
    [x, y, z].  Both are views on the same data.
    """
    need_numpy("reshaping a volume")
    dim_x, dim_y, dim_z = dims
    values = numpy.asarray(flat)
    if values.size != dim_x * dim_y * dim_z:
        raise ValueError("volume holds %d values, dimensions %r need %d"
                         % (values.size, tuple(dims), dim_x * dim_y * dim_z))
    if order == "C":
        return values.reshape(dim_z, dim_y, dim_x)
    if order == "F":
        return values.reshape(dim_x, dim_y, dim_z, order="F")
    raise ValueError("order must be 'C' or 'F'")


def reshape_maps(flat: "numpy.typing.ArrayLike", maps: int, dims: Dims) -> "numpy.typing.NDArray[Any]":
    """A map-after-map run (beta or contrast maps) as shape (maps, dimZ, dimY, dimX),
    indexed [map, z, y, x]; a ValueError when the counts do not fit the run."""
    need_numpy("reshaping maps")
    dim_x, dim_y, dim_z = dims
    values = numpy.asarray(flat)
    if maps < 0 or values.size != maps * dim_x * dim_y * dim_z:
        raise ValueError("maps hold %d values; %d maps of dimensions %r need %d"
                         % (values.size, maps, tuple(dims), max(maps, 0) * dim_x * dim_y * dim_z))
    return values.reshape(maps, dim_z, dim_y, dim_x)


def pair_count(nr_of_rois: int) -> int:
    return nr_of_rois * (nr_of_rois - 1) // 2


def rois_for_pairs(count: int) -> int:
    """The ROI count R whose pair list has `count` values (R * (R - 1) / 2)."""
    rois = int(round((1 + math.sqrt(1 + 8 * count)) / 2))
    if pair_count(rois) != count:
        raise ValueError("%d values are not the pair list of any ROI count" % count)
    return rois


def pairs(nr_of_rois: int) -> List[Tuple[int, int]]:
    """The pair order of correlation replies: (0,1), (0,2), ..., (R-2,R-1)."""
    return [(a, b) for a in range(nr_of_rois) for b in range(a + 1, nr_of_rois)]


def correlation_matrix(pair_values: Iterable[SupportsFloat], diagonal: float = 1.0,
                       use_numpy: Optional[bool] = None) -> Union["numpy.typing.NDArray[numpy.float64]",
                                                                 List[List[float]]]:
    """The pair list of a Pearson or partial reply as a symmetric R x R matrix
    with `diagonal` on the diagonal.

    Returns a float64 numpy array when `use_numpy` is true, or when it is None
    and `pair_values` is a numpy array (a numpy client's reply); else a list of
    lists.
    """
    if use_numpy is None:
        use_numpy = HAVE_NUMPY and isinstance(pair_values, numpy.ndarray)
    elif use_numpy:
        need_numpy("correlation_matrix(use_numpy=True)")
    values = list(pair_values)
    rois = rois_for_pairs(len(values))
    matrix = [[diagonal if a == b else 0.0 for b in range(rois)] for a in range(rois)]
    for (a, b), value in zip(pairs(rois), values):
        matrix[a][b] = matrix[b][a] = float(value)
    return numpy.array(matrix) if use_numpy else matrix


def catch_up_calls(nr_of_rois: int, current_time_point: int) -> List[Tuple[str, Tuple[int, ...]]]:
    """The requests that fetch every ROI's means from time point 0 to the latest recorded.

    "tGetExistingMeansOfROI" accepts an end time point only below the current
    one and leaves the end out, so it yields 0 .. current - 2; the latest
    mean, current - 1, is asked for on its own.
    """
    last = current_time_point - 1
    if last < 0:
        return []
    calls: List[Tuple[str, Tuple[int, ...]]] = []
    for roi in range(nr_of_rois):
        calls.append(("existing_means_of_roi", (roi, last)))
        calls.append(("mean_of_roi_at_time_point", (roi, last)))
    return calls


def join_catch_up(values: Sequence[Any], nr_of_rois: int, since: int,
                  use_numpy: bool = False) -> Tuple[int, List[RealRun]]:
    """Joins the replies of catch_up_calls into (since, rows), rows[r] from `since` on:
    array.array runs, or numpy arrays with `use_numpy`."""
    since = max(since, 0)
    rows: List[RealRun] = []
    for roi in range(nr_of_rois):
        if values:
            earlier, latest = values[2 * roi], values[2 * roi + 1]
            series = list(earlier) + [latest]
        else:
            series = []
        part = series[since:]
        if use_numpy:
            rows.append(numpy.array(part, dtype=numpy.float32))
        else:
            rows.append(array.array("f", part))
    return since, rows
