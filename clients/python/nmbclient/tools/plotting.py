"""The figure of `nmb plot`: a run's ROI time courses with the protocol behind them.

Default: one panel per ROI with its raw means, each scaled to its own range,
so a task effect of a few percent stays visible next to ROIs of very
different intensity.  With a baseline, percent signal change of every ROI on
one shared axis.  Behind the traces the protocol conditions are shaded (one
colour per task condition, rest left white); volumes the host skipped (their
values read afterwards) or that could not be read are marked with a red
dashed line, late and repeated ones with ticks on the top edge.  Volume ticks
are whole time points; the legend sits outside the data; the title names the
project and the run, and says so when the run ended early.

Needs matplotlib.
"""

import math
from typing import TYPE_CHECKING, Dict, List, Optional, Set, Tuple

from .baseline import Baseline, percent_change
from .follower import DROPPED, ENDED_EARLY, LATE, REPEATED, RunInfo, State, Volume

if TYPE_CHECKING:
    from matplotlib.figure import Figure

# Conditions 1, 2, ... (0 is rest and stays unshaded).
CONDITION_COLOURS = ["#f4a261", "#2a9d8f", "#9b5de5", "#e9c46a", "#4361ee", "#e76f51"]
ROI_COLOURS = ["#1f3b73", "#c1121f", "#2d6a4f", "#7b2cbf", "#b5651d", "#0077b6", "#6c757d", "#d00070"]


def condition_colour(condition: int) -> str:
    return CONDITION_COLOURS[(condition - 1) % len(CONDITION_COLOURS)]


class RunSeries:
    """The volumes of one run, by time point, as the plot needs them."""

    def __init__(self, info: RunInfo) -> None:
        self.info = info
        self.means: Dict[int, List[float]] = {}  # time point -> ROI means
        self.conditions: Dict[int, int] = {}     # time point -> condition (live volumes only)
        self.marks: Dict[int, Set[str]] = {}     # time point -> marks
        self.first_wall_clock: Optional[str] = None
        self.ended_early: Optional[str] = None  # "30 of 200 volumes"

    def end(self, state: State) -> None:
        """The run's end (a RunFollower State)."""
        if state.state == ENDED_EARLY:
            self.ended_early = state.detail

    def add(self, volume: Volume) -> None:
        if volume.time_point in self.means and REPEATED in volume.marks:
            self.marks.setdefault(volume.time_point, set()).add(REPEATED)
            return
        self.means[volume.time_point] = list(volume.means)
        if volume.condition is not None:
            self.conditions[volume.time_point] = volume.condition
        if volume.marks:
            self.marks.setdefault(volume.time_point, set()).update(volume.marks)
        if volume.wall_clock and self.first_wall_clock is None:
            self.first_wall_clock = volume.wall_clock

    def __len__(self) -> int:
        return len(self.means)

    def time_points(self) -> List[int]:
        """1 .. the last time point seen (so a skipped volume leaves a break in the line)."""
        return list(range(1, max(self.means, default=0) + 1))

    def trace(self, roi: int) -> List[float]:
        return [self.means[t][roi] if t in self.means and roi < len(self.means[t]) else math.nan
                for t in self.time_points()]

    def missing(self) -> List[int]:
        """Time points the host skipped or whose values are unknown."""
        return [t for t in self.time_points()
                if t not in self.means or DROPPED in self.marks.get(t, ()) or all(map(math.isnan, self.means[t]))]


def _condition_blocks(conditions: Dict[int, int]) -> List[List[int]]:
    """[first, last, condition] runs of equal consecutive conditions."""
    blocks: List[List[int]] = []
    for t in sorted(conditions):
        c = conditions[t]
        if blocks and blocks[-1][2] == c and blocks[-1][1] == t - 1:
            blocks[-1][1] = t
        else:
            blocks.append([t, t, c])
    return blocks


def title_of(series: RunSeries) -> str:
    info = series.info
    points = series.time_points()
    run = "run %d" % info.run
    if series.first_wall_clock:
        run += " (first volume seen %s)" % series.first_wall_clock[:19].replace("T", " ")
    span = "time points 1-%d" % points[-1] if points else "no volumes yet"
    if series.ended_early:
        span += ", ended early: %s" % series.ended_early
    elif info.expected_time_points:
        span += " of %d" % info.expected_time_points
    return "%s, %s: %s" % (info.project or "Nimbrel project", run, span)


def draw(figure: "Figure", series: RunSeries, baseline: Optional[Baseline] = None) -> None:
    """Draws `series` into `figure` (cleared first)."""
    from matplotlib.patches import Patch
    from matplotlib.lines import Line2D
    from matplotlib.ticker import MaxNLocator

    figure.clear()
    info = series.info
    rois = info.nr_of_rois
    points = series.time_points()
    if baseline:
        panels = [figure.add_subplot(1, 1, 1)]
    else:
        panels = figure.subplots(max(rois, 1), 1, sharex=True, squeeze=False)[:, 0].tolist()
    handles = []
    for roi in range(rois):
        axes = panels[0] if baseline else panels[roi]
        values = series.trace(roi)
        voxels = info.voxel_counts[roi] if roi < len(info.voxel_counts) else None
        label = "ROI %d" % roi + (" (%d voxels)" % voxels if voxels else "")
        if baseline:
            base = baseline.mean({t: v for t, v in zip(points, values)})
            values = [percent_change(v, base) for v in values]
        line, = axes.plot(points, values, color=ROI_COLOURS[roi % len(ROI_COLOURS)], linewidth=1.6,
                          marker="o", markersize=2.5, label=label)
        handles.append(line)
        if not baseline:
            axes.set_ylabel("ROI %d\nmean" % roi)
    if baseline:
        axes = panels[0]
        axes.axhline(0, color="#555555", linewidth=0.8)
        axes.axvspan(baseline.first - 0.5, baseline.last + 0.5, ymin=0, ymax=0.04, color="#555555", alpha=0.6)
        axes.set_ylabel("signal change (%)")

    blocks = _condition_blocks(series.conditions)
    conditions_seen = sorted({c for _, _, c in blocks if c})
    missing = series.missing()
    for axes in panels:
        for first, last, condition in blocks:
            if condition:
                axes.axvspan(first - 0.5, last + 0.5, color=condition_colour(condition),
                             alpha=0.3, linewidth=0, zorder=0)
        for t in missing:
            axes.axvline(t, color="#d62828", linestyle="--", linewidth=1.2, zorder=1)
        for t, marks in series.marks.items():
            if LATE in marks or REPEATED in marks:
                axes.plot([t], [1.0], marker="v", color="#d62828", markersize=6,
                          transform=axes.get_xaxis_transform(), clip_on=False)
        axes.xaxis.set_major_locator(MaxNLocator(integer=True, steps=[1, 2, 5, 10]))
        axes.grid(True, axis="y", color="#dddddd", linewidth=0.6)
        axes.margins(x=0.01)
        for side in ("top", "right"):
            axes.spines[side].set_visible(False)
    if points:
        panels[-1].set_xlim(0.5, max(points[-1], info.expected_time_points or 0) + 0.5)
    panels[-1].set_xlabel("time point (volume)")

    handles += [Patch(color=condition_colour(c), alpha=0.35, label="condition %d" % c) for c in conditions_seen]
    if conditions_seen:
        handles.append(Patch(facecolor="white", edgecolor="#bbbbbb", label="rest (0)"))
    if baseline:
        handles.append(Patch(color="#555555", alpha=0.6, label="baseline, time points %d-%d" % (baseline.first,
                                                                                              baseline.last)))
    if missing:
        handles.append(Line2D([], [], color="#d62828", linestyle="--", label="volume skipped by the host"))
    if any(LATE in m or REPEATED in m for m in series.marks.values()):
        handles.append(Line2D([], [], color="#d62828", marker="v", linestyle="", label="late / repeated"))
    figure.suptitle(title_of(series), fontsize=12)
    figure.legend(handles=handles, loc="upper left", bbox_to_anchor=(0.80, 0.93), frameon=False, fontsize=9)
    figure.subplots_adjust(left=0.09, right=0.79, top=0.91, bottom=0.09, hspace=0.15)


def figure_size(info: RunInfo, baseline: Optional[Baseline] = None) -> Tuple[float, float]:
    rows = 1 if baseline else max(info.nr_of_rois, 1)
    return (11, 2.2 + (3.5 if baseline else 1.6 * rows))


def interactive_backend() -> Optional[str]:
    """The name of matplotlib's backend, or None when it cannot open a window."""
    import os
    import sys

    import matplotlib
    backend: str = matplotlib.get_backend()
    non_interactive = {"agg", "cairo", "pdf", "pgf", "ps", "svg", "template"}
    if backend.lower() in non_interactive or backend.lower().startswith("module://matplotlib_inline"):
        return None
    # matplotlib names a window backend (TkAgg, QtAgg) even where there is no
    # display to open it on, and then draws into nothing.
    if sys.platform.startswith("linux") and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return None
    return backend
