"""Recordings of what a client received, one row per volume, for later analysis.

Two forms, written side by side if wanted:

- CSV with a header row (`--csv`), for a spreadsheet;
- a tab-separated file without a header and a JSON sidecar beside it
  (`--tsv run.tsv` writes run.tsv and run.json), laid out like a BIDS
  physiological recording: the sidecar lists the columns with descriptions and
  units and says what produced the file, so it can sit beside a stimulus log.
  Missing values are "n/a".

Both are flushed after every row, so a recording survives the end of the
program at any point.  The sidecar is written when the recording starts and
completed (sampling frequency, row count, end time) when it is closed.

Columns: run, time_point, wall_clock (ISO 8601 local time at which the
notification arrived), monotonic_s (the same instant on the client's
monotonic clock), delay_ms (notification to last ROI mean), condition, marks
(gap/late/repeated, separated by "+", and "backfilled"), one mean per ROI,
with a baseline one percent signal change per ROI, with a correlation window
the plug-in's Pearson and partial correlation per ROI pair, and when the host
runs a classifier its result and its values (one per pair of classes,
separated by spaces, since their count is known only once it has output).
"""

import csv
import json
import math
import os
import statistics

from . import __version__
from .baseline import percent_change
from .runfollower import CLASSIFIER_NOT_USED, LATE_FACTOR, LATE_MARGIN_S, pair_names


def _marks(volume):
    marks = list(volume.marks)
    if volume.backfilled:
        marks.append("backfilled")
    return "+".join(marks)


class Layout:
    """The columns of a recording, fixed by the first run's description."""

    def __init__(self, info, baseline=None, window=None):
        self.rois = info.nr_of_rois
        self.baseline = baseline
        self.pairs = pair_names(self.rois) if window and self.rois >= 2 else []
        self.classifier = info.number_of_classes != CLASSIFIER_NOT_USED
        self.names = ["run", "time_point", "wall_clock", "monotonic_s", "delay_ms", "condition", "marks"]
        self.names += ["roi%d" % r for r in range(self.rois)]
        if baseline:
            self.names += ["roi%d_psc" % r for r in range(self.rois)]
        self.names += ["pearson_" + p for p in self.pairs] + ["partial_" + p for p in self.pairs]
        if self.classifier:
            self.names += ["classifier_result", "classifier_values"]

    def describe(self):
        """BIDS-style column descriptions for the sidecar."""
        text = {
            "run": ("Run of this recording, counted from 1 by the client", None),
            "time_point": ("Volumes the host had processed at this notification; the volume's index + 1", None),
            "wall_clock": ("Local date and time (ISO 8601) at which the client received the notification", None),
            "monotonic_s": ("The same instant on the client's monotonic clock", "s"),
            "delay_ms": ("From the notification to the last ROI mean received", "ms"),
            "condition": ("Protocol condition reported by the host right after the notification (0: rest)",
                          None),
            "marks": ("gap: volumes were skipped before this one; late: the notification came more than "
                      "%.3g times (and %.3g s more than) the usual interval after the previous; "
                      "repeated: the time point did not advance; "
                      "backfilled: read from the run's history, not observed live"
                      % (LATE_FACTOR, LATE_MARGIN_S), None),
        }
        columns = {}
        for name in self.names:
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
                units = None
            elif name == "classifier_result":
                description, units = "Classifier result reported by the host", None
            else:
                description = ("Classifier output, one value per pair of classes (0,1), (0,2), ..., "
                               "separated by spaces")
                units = None
            columns[name] = {"Description": description}
            if units:
                columns[name]["Units"] = units
        return columns

    def values(self, volume, baseline_mean):
        """The row of `volume` as Python values (None where missing)."""
        row = [volume.run, volume.time_point, volume.wall_clock, volume.monotonic, volume.delay_ms,
               volume.condition, _marks(volume)]
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


def _text(value, missing):
    if value is None:
        return missing
    if isinstance(value, float):
        if not math.isfinite(value):
            return missing if math.isnan(value) else ("inf" if value > 0 else "-inf")
        return "%.9g" % value
    return str(value)


class Recorder:
    """Writes volumes to the chosen files.  Open with the first RunInfo; feed volumes in order."""

    def __init__(self, info, csv_path=None, tsv_path=None, baseline=None, window=None):
        self.layout = Layout(info, baseline, window)
        self.info = info
        self.baseline = baseline
        self.window = window
        self.rows = 0
        self._values = [dict() for _ in range(info.nr_of_rois)]  # per ROI: time point -> mean
        self._baseline_mean = [math.nan] * info.nr_of_rois
        self._arrivals = []
        self._first_wall_clock = self._last_wall_clock = None
        self._files = []
        self._csv = self._tsv = None
        if csv_path:
            handle = open(csv_path, "w", newline="")
            self._files.append(handle)
            self._csv = (handle, csv.writer(handle))
            self._csv[1].writerow(self.layout.names)
        if tsv_path:
            handle = open(tsv_path, "w", newline="")
            self._files.append(handle)
            self._tsv = (handle, csv.writer(handle, delimiter="\t", lineterminator="\n"))
            self.sidecar_path = os.path.splitext(tsv_path)[0] + ".json"
            self._write_sidecar()
        else:
            self.sidecar_path = None

    def _update_baseline(self, volume):
        if not self.baseline or volume.run != self.info.run:
            return
        for roi, mean in enumerate(volume.means[:len(self._values)]):
            if self.baseline.contains(volume.time_point) and volume.time_point not in self._values[roi]:
                self._values[roi][volume.time_point] = mean
        if volume.time_point >= self.baseline.last:
            self._baseline_mean = [self.baseline.mean(v) if math.isnan(b) else b
                                   for v, b in zip(self._values, self._baseline_mean)]

    def add(self, volume):
        self._update_baseline(volume)
        values = self.layout.values(volume, self._baseline_mean)
        if self._csv:
            self._csv[1].writerow([_text(v, "") for v in values])
            self._csv[0].flush()
        if self._tsv:
            self._tsv[1].writerow([_text(v, "n/a") for v in values])
            self._tsv[0].flush()
        if volume.monotonic is not None and not volume.marks:
            self._arrivals.append(volume.monotonic)
        if volume.wall_clock:
            self._first_wall_clock = self._first_wall_clock or volume.wall_clock
            self._last_wall_clock = volume.wall_clock
        self.rows += 1

    def sampling_frequency(self):
        """Volumes per second from the median interval between consecutive live volumes, or None."""
        intervals = [b - a for a, b in zip(self._arrivals, self._arrivals[1:]) if b > a]
        return round(1.0 / statistics.median(intervals), 6) if intervals else None

    def _write_sidecar(self):
        info = self.info
        sidecar = {
            "TaskName": info.project,
            "SamplingFrequency": self.sampling_frequency(),
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
                "NumberOfClasses": info.number_of_classes,
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
        }
        temporary = self.sidecar_path + ".part"
        with open(temporary, "w") as handle:
            json.dump(sidecar, handle, indent=2)
            handle.write("\n")
        os.replace(temporary, self.sidecar_path)

    def close(self):
        if self.sidecar_path:
            self._write_sidecar()
        for handle in self._files:
            handle.close()
        self._files = []
