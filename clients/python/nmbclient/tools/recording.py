"""Recordings of what a client received, one row per volume, for later analysis.

Two forms, written side by side if wanted:

- CSV with a header row (`--csv`), for a spreadsheet;
- a tab-separated file without a header and a JSON sidecar beside it
  (`--tsv run.tsv` writes run.tsv and run.json), laid out like a BIDS
  physiological recording: the sidecar lists the columns with descriptions and
  units and says what produced the file, so it can sit beside a stimulus log.

Exactly one row per time point of the run, in order, so that row i is volume
i + 1 of the run: a volume the client did not see live is back-filled from the
plug-in's record and marked, a step the host repeated stays one row (marked
"repeated", its `post_steps` counting the notifications).  Cells without a
value hold "n/a" in both forms.

Both files are flushed after every row, so a recording survives the end of the
program at any point; a repeated step rewrites the last row in place.  The
sidecar is written when the recording starts and completed (sampling, row
count, how each run ended, end time) when it is closed.

Columns: run, time_point, wall_clock (ISO 8601 local time at which the
notification arrived), monotonic_s (the same instant on the client's
monotonic clock), delay_ms (notification to last ROI mean), condition, marks
(see MARKS, separated by "+"), post_steps, one mean per ROI, with a baseline
one percent signal change per ROI, with a correlation window the plug-in's
Pearson and partial correlation per ROI pair, and when the host runs a
classifier its result and its values (one per pair of classes, separated by
spaces, since their count is known only once it has output).
"""

import csv
import json
import math
import os
import statistics
from typing import IO, Any, Dict, List, Optional, Sequence

from .. import __version__
from .baseline import Baseline, percent_change
from .follower import (CLASSIFIER_NOT_USED, DROPPED, GAP, LATE, LATE_FACTOR, LATE_MARGIN_S, REPEATED, UNREAD,
                          RunInfo, Volume, classifier_state, pair_names)

BACKFILLED = "backfilled"
MISSING = "n/a"

MARKS = {
    GAP: "the host skipped volumes just before this one (they have rows of their own, marked dropped)",
    DROPPED: "the host skipped this volume: no notification came for it; its values were read afterwards "
             "from the plug-in's record (with backfilled)",
    BACKFILLED: "not observed live: read from the plug-in's record of the run (before the recording "
                "started, while the connection was lost, or dropped by the host), so it has no wall clock, "
                "delay or condition",
    REPEATED: "the host processed this volume's step more than once; post_steps counts the notifications",
    UNREAD: "the host ended right after this volume, before its values could be read: they are n/a",
    LATE: "the notification came more than %.3g times (and %.3g s more than) the usual interval after the "
          "previous one" % (LATE_FACTOR, LATE_MARGIN_S),
}

# How a run's recording ended, for the sidecar.
COMPLETE = "complete"
ENDED_EARLY = "ended early"
CONNECTION_LOST = "connection lost"
STOPPED = "recording stopped before the run's end"


def _marks(volume: Volume, extra: Sequence[str] = ()) -> str:
    marks = list(volume.marks) + [m for m in extra if m not in volume.marks]
    if volume.backfilled:
        marks.append(BACKFILLED)
    return "+".join(marks)


class Layout:
    """The columns of a recording, fixed by the first run's description."""

    def __init__(self, info: RunInfo, baseline: Optional[Baseline] = None, window: Optional[int] = None) -> None:
        self.rois = info.nr_of_rois
        self.baseline = baseline
        self.pairs = pair_names(self.rois) if window and self.rois >= 2 else []
        self.classifier = info.number_of_classes != CLASSIFIER_NOT_USED
        self.names = ["run", "time_point", "wall_clock", "monotonic_s", "delay_ms", "condition", "marks",
                      "post_steps"]
        self.names += ["roi%d" % r for r in range(self.rois)]
        if baseline:
            self.names += ["roi%d_psc" % r for r in range(self.rois)]
        self.names += ["pearson_" + p for p in self.pairs] + ["partial_" + p for p in self.pairs]
        if self.classifier:
            self.names += ["classifier_result", "classifier_values"]

    def describe(self) -> Dict[str, Dict[str, Any]]:
        """BIDS-style column descriptions for the sidecar."""
        text = {
            "run": ("Run of the host session, counted from 1 by the client", None),
            "time_point": ("Volumes the host had processed at this volume: the volume's index + 1; row i "
                           "is time point i + 1 of its run", None),
            "wall_clock": ("Local date and time (ISO 8601) at which the client received the notification", None),
            "monotonic_s": ("The same instant on the client's monotonic clock", "s"),
            "delay_ms": ("From the notification to the last ROI mean received", "ms"),
            "condition": ("Protocol condition reported by the host right after the notification (0: rest)",
                          None),
            "marks": ("How the volume reached the client, marks joined by '+'; n/a for a regular live volume",
                      None),
            "post_steps": ("PostStepCalled notifications received for this volume: 1 normally, more when the "
                           "host repeated the step, 0 when it was back-filled", None),
        }
        columns: Dict[str, Dict[str, Any]] = {}
        for name in self.names:
            units = None
            if name in text:
                description, units = text[name]
            elif name.endswith("_psc"):
                description, units = "Percent signal change of %s against the baseline" % name[:-4], "%"
            elif name.startswith("roi"):
                description, units = "Mean of ROI %s's voxel values" % name[3:], "arbitrary"
            elif name.startswith(("pearson_", "partial_")):
                kind, _, pair = name.partition("_")
                description = "%s correlation of ROIs %s over the window, computed by the plug-in" % (
                    kind.capitalize(), pair.replace("_", " and "))
            elif name == "classifier_result":
                description = "Classifier result reported by the host"
            else:
                description = ("Classifier output, one value per pair of classes (0,1), (0,2), ..., "
                               "separated by spaces")
            columns[name] = {"Description": description}
            if units:
                columns[name]["Units"] = units
        columns["marks"]["Levels"] = dict(MARKS)
        return columns

    def values(self, volume: Volume, baseline_mean: Sequence[float], post_steps: int,
               extra_marks: Sequence[str] = ()) -> List[Any]:
        """The row of `volume` as Python values (None where missing)."""
        row: List[Any] = [volume.run, volume.time_point, volume.wall_clock, volume.monotonic, volume.delay_ms,
                          volume.condition, _marks(volume, extra_marks) or None, post_steps]
        means = list(volume.means) + [math.nan] * (self.rois - len(volume.means))
        row += means[:self.rois]
        if self.baseline:
            row += [percent_change(m, b) for m, b in zip(means[:self.rois], baseline_mean)]
        for run in (volume.pearson, volume.partial):
            if self.pairs:
                row += list(run) if run is not None else [None] * len(self.pairs)
        if self.classifier:
            output = volume.classifier
            if output is None:
                row += [None, None]
            else:
                row += [output.result, " ".join(_text(float(v), "nan") for v in output.values)]
        return row


def _text(value: Any, missing: str = MISSING) -> str:
    if value is None:
        return missing
    if isinstance(value, float):
        if not math.isfinite(value):
            return missing if math.isnan(value) else ("inf" if value > 0 else "-inf")
        return "%.9g" % value
    return str(value)


class _Table:
    """One output file: rows appended and flushed, the last one rewritable in place."""

    def __init__(self, path: str, delimiter: str, header: Optional[List[str]]) -> None:
        self.handle: IO[str] = open(path, "w", newline="")
        self.writer = csv.writer(self.handle, delimiter=delimiter, lineterminator="\n")
        if header:
            self.writer.writerow(header)
        self.last_row_at = self.handle.tell()

    def append(self, cells: List[str]) -> None:
        self.last_row_at = self.handle.tell()
        self.writer.writerow(cells)
        self.handle.flush()

    def rewrite_last(self, cells: List[str]) -> None:
        self.handle.seek(self.last_row_at)
        self.handle.truncate()
        self.append(cells)


class Recorder:
    """Writes volumes to the chosen files.  Open with the first RunInfo; feed the volumes in the
    order the RunFollower yields them, begin_run() each further run, end_run() each run's end."""

    def __init__(self, info: RunInfo, csv_path: Optional[str] = None, tsv_path: Optional[str] = None,
                 baseline: Optional[Baseline] = None, window: Optional[int] = None,
                 tr: Optional[float] = None) -> None:
        self.layout = Layout(info, baseline, window)
        self.info = info
        self.baseline = baseline
        self.window = window
        self.tr = tr
        self._values: List[Dict[int, float]] = [dict() for _ in range(info.nr_of_rois)]
        self._baseline_mean = [math.nan] * info.nr_of_rois
        self._arrivals: List[float] = []
        self._first_wall_clock: Optional[str] = None
        self._last_wall_clock: Optional[str] = None
        self._runs: List[Dict[str, Any]] = []
        # The last row: its volume, its post-step count and the marks a repeat added.
        self._last: Optional[Volume] = None
        self._last_post_steps = 0
        self._tables: List[_Table] = []
        if csv_path:
            self._tables.append(_Table(csv_path, ",", self.layout.names))
        self.sidecar_path = None
        if tsv_path:
            self._tables.append(_Table(tsv_path, "\t", None))
            self.sidecar_path = os.path.splitext(tsv_path)[0] + ".json"
        self.begin_run(info)

    @property
    def rows(self) -> int:
        """Rows written, over all runs."""
        return sum(run["Rows"] for run in self._runs)

    @property
    def unread(self) -> int:
        """Rows whose values could not be read, over all runs."""
        return sum(run["UnreadVolumes"] for run in self._runs)

    def begin_run(self, info: RunInfo) -> None:
        self._runs.append({"Run": info.run, "ExpectedVolumes": info.expected_time_points, "Rows": 0,
                           "LiveVolumes": 0, "BackfilledVolumes": 0, "DroppedVolumes": 0, "RepeatedVolumes": 0,
                           "LateVolumes": 0, "UnreadVolumes": 0, "End": STOPPED, "HostTimePointAtEnd": None})
        if self.sidecar_path:
            self._write_sidecar()

    def end_run(self, how: str, time_point: Optional[int] = None) -> None:
        """How the current run ended: COMPLETE, ENDED_EARLY or CONNECTION_LOST, with the
        host's time point at its end when known."""
        self._runs[-1]["End"] = how
        self._runs[-1]["HostTimePointAtEnd"] = time_point

    def _update_baseline(self, volume: Volume) -> None:
        if not self.baseline or volume.run != self.info.run:
            return
        for roi, mean in enumerate(volume.means[:len(self._values)]):
            if self.baseline.contains(volume.time_point) and volume.time_point not in self._values[roi]:
                self._values[roi][volume.time_point] = mean
        if volume.time_point >= self.baseline.last:
            self._baseline_mean = [self.baseline.mean(v) if math.isnan(b) else b
                                   for v, b in zip(self._values, self._baseline_mean)]

    def _write_row(self, volume: Volume, post_steps: int, rewrite: bool) -> None:
        extra = (REPEATED,) if post_steps > 1 else ()
        cells = [_text(v) for v in self.layout.values(volume, self._baseline_mean, post_steps, extra)]
        for table in self._tables:
            (table.rewrite_last if rewrite else table.append)(cells)

    def add(self, volume: Volume) -> None:
        run = self._runs[-1]
        last = self._last
        if REPEATED in volume.marks:
            if last is not None and (last.run, last.time_point) == (volume.run, volume.time_point):
                if self._last_post_steps == 1:
                    run["RepeatedVolumes"] += 1
                self._last_post_steps += 1
                self._write_row(last, self._last_post_steps, rewrite=True)
            return  # a time point the recording has passed: its row stays as it is
        self._update_baseline(volume)
        self._last, self._last_post_steps = volume, 0 if volume.backfilled else 1
        self._write_row(volume, self._last_post_steps, rewrite=False)
        run["Rows"] += 1
        run["BackfilledVolumes" if volume.backfilled else "LiveVolumes"] += 1
        run["DroppedVolumes"] += DROPPED in volume.marks
        run["LateVolumes"] += LATE in volume.marks
        run["UnreadVolumes"] += UNREAD in volume.marks
        if volume.monotonic is not None and not volume.marks:
            self._arrivals.append(volume.monotonic)
        if volume.wall_clock:
            self._first_wall_clock = self._first_wall_clock or volume.wall_clock
            self._last_wall_clock = volume.wall_clock

    def median_interval(self) -> Optional[float]:
        """Seconds between consecutive regular live volumes (median), or None."""
        intervals = [b - a for a, b in zip(self._arrivals, self._arrivals[1:]) if b > a]
        return round(statistics.median(intervals), 6) if intervals else None

    def ended_early(self) -> bool:
        return any(run["End"] == ENDED_EARLY for run in self._runs)

    def _write_sidecar(self) -> None:
        info = self.info
        assert self.sidecar_path is not None
        sidecar = {
            "TaskName": info.project,
            # Nominal: the rows are volumes, not samples at a measured rate (see the marks).
            "SamplingFrequency": round(1.0 / self.tr, 9) if self.tr else None,
            "RepetitionTime": self.tr,
            "MedianVolumeIntervalSeconds": self.median_interval(),
            "StartTime": 0,
            "Columns": self.layout.names,
            **self.layout.describe(),
            "GeneratedBy": [{"Name": "nmb record", "Version": __version__,
                             "Description": "nmbclient, client of the Nimbrel network export plug-in"}],
            "Source": {
                "Host": info.host, "Port": info.port,
                "PluginProtocolVersion": ".".join(str(v) for v in info.handshake_version or ()),
                "ProjectName": info.project,
                "Dimensions": list(info.dims) if info.dims else None,
                "NumberOfROIs": info.nr_of_rois,
                "ROIVoxelCounts": info.voxel_counts,
                "ExpectedTimePoints": info.expected_time_points,
                "NumberOfClasses": info.number_of_classes if (info.number_of_classes or 0) > 0 else None,
                "Classifier": classifier_state(info.number_of_classes),
            },
            "Baseline": ({"FirstTimePoint": self.baseline.first, "LastTimePoint": self.baseline.last,
                          "Means": [None if math.isnan(b) else b for b in self._baseline_mean]}
                         if self.baseline else None),
            "CorrelationWindow": self.window if self.layout.pairs else None,
            "LateFactor": LATE_FACTOR,
            "LateMarginSeconds": LATE_MARGIN_S,
            "RecordingStart": self._first_wall_clock,
            "RecordingEnd": self._last_wall_clock,
            "Rows": self.rows,
            "Runs": self._runs,
            "EndedEarly": self.ended_early(),
        }
        temporary = self.sidecar_path + ".part"
        with open(temporary, "w") as handle:
            json.dump(sidecar, handle, indent=2)
            handle.write("\n")
        os.replace(temporary, self.sidecar_path)

    def close(self) -> None:
        if self.sidecar_path:
            self._write_sidecar()
        for table in self._tables:
            table.handle.close()
        self._tables = []
