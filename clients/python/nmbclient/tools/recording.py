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
spaces, since their count is known only once it has output); then the latency
ledger (LEDGER_COLUMNS: the trigger, "PreStepCalled", values read and
"feedback shown" on the monotonic clock, and the three stage times), and with
data quality on its measures (QUALITY_COLUMNS, one tSNR per ROI).

Cells that come after their row was written (the stimulus program's "feedback
shown" mark, a trigger) are filled in by rewriting the newest rows in place:
the last REWRITABLE_ROWS rows stay open to that.  Beside the rows, each run's
marks and protocol conditions go to a BIDS events file (`events_path`), and
the sidecar sums up each run's stage times ("Latency") and data quality
("Quality").
"""

import collections
import csv
import json
import math
import os
import statistics
from typing import IO, Any, Deque, Dict, List, Optional, Sequence

from .. import __version__
from ..ledger import Moments, stages_of
from .baseline import Baseline, percent_change
from .events import Arrival, RunEvents
from .latency import latency_summary, spread
from .follower import (CLASSIFIER_NOT_USED, Revision, DROPPED, GAP, LATE, LATE_FACTOR, LATE_MARGIN_S, REPEATED, UNREAD,
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

# The ledger's columns, after the classifier's: monotonic seconds, then stage times.
LEDGER_COLUMNS = ["trigger_s", "pre_step_s", "values_s", "shown_s", "trigger_to_post_step_ms",
                  "post_step_to_values_ms", "values_to_shown_ms"]
QUALITY_COLUMNS = ["global_mean", "dvars", "std_dvars", "tsnr"]
# Rows that a late mark or trigger may still change.
REWRITABLE_ROWS = 32

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

    def __init__(self, info: RunInfo, baseline: Optional[Baseline] = None, window: Optional[int] = None,
                 quality: bool = False) -> None:
        self.rois = info.nr_of_rois
        self.quality = quality
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
        self.names += LEDGER_COLUMNS
        if quality:
            self.names += QUALITY_COLUMNS + ["roi%d_tsnr" % r for r in range(self.rois)] + ["spike"]

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
            "trigger_s": ("The volume's scanner trigger on the monotonic clock (from the trigger source, or the "
                          "stimulus program's 'trigger' mark)", "s"),
            "pre_step_s": ("Arrival of the volume's PreStepCalled on the monotonic clock", "s"),
            "values_s": ("Arrival of the volume's last ROI mean on the monotonic clock", "s"),
            "shown_s": ("The stimulus program's 'feedback shown' mark for the volume, on the monotonic clock", "s"),
            "trigger_to_post_step_ms": ("From the trigger to the PostStepCalled arrival (monotonic_s)", "ms"),
            "post_step_to_values_ms": ("From the PostStepCalled arrival to the last ROI mean (as delay_ms)", "ms"),
            "values_to_shown_ms": ("From the last ROI mean to the 'feedback shown' mark", "ms"),
            "global_mean": ("Mean of the raw volume over the mask (voxels of the run's first volume above 1/8 of "
                            "its mean)", "arbitrary"),
            "dvars": ("Root mean square over the mask of the difference to the previous clean volume", "arbitrary"),
            "std_dvars": ("dvars divided by the median dvars of the earlier clean volumes", None),
            "tsnr": ("Mean over the mask of each voxel's temporal mean / standard deviation over the clean volumes "
                     "so far", None),
            "spike": ("1 when std_dvars passed the spike threshold, else 0", None),
        }
        columns: Dict[str, Dict[str, Any]] = {}
        for name in self.names:
            units = None
            if name in text:
                description, units = text[name]
            elif name.endswith("_tsnr"):
                description = "Temporal mean / standard deviation of ROI %s's means over the clean volumes so far" % (
                    name[3:-5])
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
               extra_marks: Sequence[str] = (), moments: Optional[Moments] = None) -> List[Any]:
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
        if moments is None:
            moments = Moments(None, None, None, None, None)
        row += [moments.trigger, moments.pre_step, moments.values, moments.shown, *stages_of(moments)]
        if self.quality:
            q = volume.quality
            if q is None:
                row += [None] * (len(QUALITY_COLUMNS) + self.rois + 1)
            else:
                row += [q.global_mean, q.dvars, q.std_dvars, q.tsnr, *(q.roi_tsnr + [None] * self.rois)[:self.rois],
                        int(q.spike)]
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
    """One output file: rows appended and flushed; the newest REWRITABLE_ROWS can be rewritten in place."""

    def __init__(self, path: str, delimiter: str, header: Optional[List[str]]) -> None:
        self.handle: IO[str] = open(path, "w", newline="")
        self.writer = csv.writer(self.handle, delimiter=delimiter, lineterminator="\n")
        if header:
            self.writer.writerow(header)
        self._starts: Deque[int] = collections.deque(maxlen=REWRITABLE_ROWS)

    def append(self, cells: List[str]) -> None:
        self._starts.append(self.handle.tell())
        self.writer.writerow(cells)
        self.handle.flush()

    def rewrite(self, rows: List[List[str]]) -> None:
        """Writes `rows` in place of the newest len(rows) rows."""
        start = self._starts[-len(rows)]
        for _ in rows:
            self._starts.pop()
        self.handle.seek(start)
        self.handle.truncate()
        for cells in rows:
            self.append(cells)


class _Row:
    """A written row that may still change: its volume and its post-step count."""

    def __init__(self, volume: Volume, post_steps: int) -> None:
        self.volume = volume
        self.post_steps = post_steps


EVENTS_SUFFIX = "_events.tsv"


def events_path_for(recording_path: str) -> str:
    """The events file beside a recording: run.tsv -> run_events.tsv, and a BIDS
    sub-01_task-nf_physio.tsv -> sub-01_task-nf_events.tsv."""
    stem = os.path.splitext(recording_path)[0]
    for suffix in ("_physio", "_recording"):
        if stem.endswith(suffix):
            stem = stem[:-len(suffix)]
    return stem + EVENTS_SUFFIX


def _seconds(value: float) -> str:
    return "%.6f" % value


def _replace_file(path: str, text: str) -> None:
    """Writes `path` whole, so a reader never sees half of it."""
    temporary = path + ".part"
    with open(temporary, "w") as handle:
        handle.write(text)
    os.replace(temporary, path)


def quality_summary(volumes: Sequence[Volume], threshold: Optional[float]) -> Dict[str, Any]:
    """A run's data quality: the spike volumes, std_dvars' median, 95th percentile and
    maximum, and the temporal SNR of the volume and of each ROI at the run's end."""
    assessed = [v for v in volumes if v.quality is not None]
    std = [v.quality.std_dvars for v in assessed if v.quality is not None and v.quality.std_dvars is not None]
    last = assessed[-1].quality if assessed else None
    return {
        "SpikeThreshold": threshold,
        "AssessedVolumes": len(assessed),
        "SpikeVolumes": [v.time_point for v in assessed if v.quality is not None and v.quality.spike],
        "StdDVARS": spread(std),
        "TSNR": last.tsnr if last is not None else None,
        "ROITSNR": last.roi_tsnr if last is not None else None,
    }


class Recorder:
    """Writes volumes to the chosen files.  Open with the first RunInfo; feed the volumes in the
    order the RunFollower yields them, begin_run() each further run, end_run() each run's end."""

    def __init__(self, info: RunInfo, csv_path: Optional[str] = None, tsv_path: Optional[str] = None,
                 baseline: Optional[Baseline] = None, window: Optional[int] = None,
                 tr: Optional[float] = None, quality: bool = False, events_path: Optional[str] = None,
                 spike_threshold: Optional[float] = None, event_sources: Optional[Dict[str, Any]] = None) -> None:
        self.layout = Layout(info, baseline, window, quality)
        self.spike_threshold = spike_threshold
        self.event_sources = event_sources or {}
        self.events_path = events_path or events_path_for(tsv_path or csv_path or "recording.tsv")
        self._events: List[RunEvents] = []
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
        # The newest rows, oldest first, which late marks and triggers may change.
        self._recent: Deque[_Row] = collections.deque(maxlen=REWRITABLE_ROWS)
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
        self._events.append(RunEvents(info.run, self.tr))
        self._recent.clear()
        self._write_events_sidecar()
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

    def _cells(self, row: _Row) -> List[str]:
        extra = (REPEATED,) if row.post_steps > 1 else ()
        moments = self._events[-1].moments(row.volume)
        values = self.layout.values(row.volume, self._baseline_mean, row.post_steps, extra, moments)
        # Moments on the monotonic clock to the microsecond, whatever the clock's size.
        return [_seconds(v) if name.endswith("_s") and isinstance(v, float) else _text(v)
                for name, v in zip(self.layout.names, values)]

    def _rewrite_from(self, index: int) -> None:
        """Rewrites the recent rows from `index` (into the recent rows) on."""
        rows = [self._cells(row) for row in list(self._recent)[index:]]
        for table in self._tables:
            table.rewrite(rows)

    def add(self, volume: Volume) -> None:
        run = self._runs[-1]
        events = self._events[-1]
        if REPEATED in volume.marks:
            last = self._recent[-1] if self._recent else None
            if last is not None and (last.volume.run, last.volume.time_point) == (volume.run, volume.time_point):
                if last.post_steps == 1:
                    run["RepeatedVolumes"] += 1
                last.post_steps += 1
                self._rewrite_from(len(self._recent) - 1)
            return  # a time point the recording has passed: its row stays as it is
        self._update_baseline(volume)
        events.add_volume(volume)
        row = _Row(volume, 0 if volume.backfilled else 1)
        self._recent.append(row)
        cells = self._cells(row)
        for table in self._tables:
            table.append(cells)
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
        self._write_events()

    def revise(self, revision: Revision) -> None:
        """A volume's data quality found out later: its row is rewritten while it is
        among the newest rows, and the sidecar's summary takes it."""
        events = self._events[-1]
        events.revise(revision.time_point, revision.quality)
        for index, row in enumerate(self._recent):
            if (row.volume.run, row.volume.time_point) == (revision.run, revision.time_point):
                row.volume = row.volume._replace(quality=revision.quality)
                self._rewrite_from(index)
                return

    def add_arrivals(self, arrivals: Sequence[Arrival]) -> None:
        """Takes the marks and triggers that arrived: into the run's events file, and
        into the rows of the volumes whose ledger they complete."""
        if not arrivals:
            return
        events = self._events[-1]
        changed = {events.add(arrival) for arrival in arrivals} - {None}
        if changed:
            indices = [i for i, row in enumerate(self._recent) if row.volume.time_point in changed]
            if indices:
                self._rewrite_from(indices[0])
        self._write_events()

    def events_path_of(self, run_index: int) -> str:
        """The events file of the recording's run number `run_index` (from 0)."""
        if run_index == 0:
            return self.events_path
        stem = self.events_path[:-len(EVENTS_SUFFIX)] if self.events_path.endswith(EVENTS_SUFFIX) else \
            os.path.splitext(self.events_path)[0]
        return "%s_run-%d%s" % (stem, run_index + 1, EVENTS_SUFFIX)

    def _write_events(self) -> None:
        index = len(self._events) - 1
        rows = self._events[-1].rows()
        lines = ["onset\tduration\ttrial_type\tvolume"]
        lines += ["%s\t%s\t%s\t%s" % (_seconds(r.onset), _seconds(r.duration), r.trial_type.replace("\t", " "),
                                        MISSING if r.volume is None else r.volume) for r in rows]
        _replace_file(self.events_path_of(index), "\n".join(lines) + "\n")

    def _write_events_sidecar(self) -> None:
        path = self.events_path_of(len(self._events) - 1)
        sidecar = {
            "onset": {"Description": "Seconds from the run's first volume (its trigger when a trigger source gave "
                                     "it, else the arrival of its PreStepCalled) to the event", "Units": "s"},
            "duration": {"Description": "Seconds the event lasted: 0 for a mark, to the next change for a "
                                        "protocol condition", "Units": "s"},
            "trial_type": {"Description": "A mark's label as the stimulus program sent it, or 'condition N' "
                                          "from tGetCurrentProtocolCondition (0: rest)",
                           "Levels": {"feedback shown": "the volume's feedback reached the screen",
                                      "trigger": "a scanner trigger as the stimulus program saw it",
                                      "condition N": "protocol condition N began at this volume"}},
            "volume": {"Description": "The volume the event belongs to, counted from 1: the one the stimulus "
                                      "program named, else the newest volume whose PostStepCalled had arrived"},
        }
        _replace_file(os.path.splitext(path)[0] + ".json", json.dumps(sidecar, indent=2) + "\n")

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
            "EventsFiles": [self.events_path_of(i) for i in range(len(self._events))],
            "EventSources": self.event_sources,
            "Latency": [dict(Run=e.run, **latency_summary(e.ledger_rows(), e.tr or e.median_interval()))
                        for e in self._events],
            "Quality": [dict(Run=e.run, **quality_summary(e.volumes(), self.spike_threshold))
                        for e in self._events] if self.layout.quality else None,
            "EndedEarly": self.ended_early(),
        }
        _replace_file(self.sidecar_path, json.dumps(sidecar, indent=2) + "\n")

    def close(self) -> None:
        self._write_events()
        if self.sidecar_path:
            self._write_sidecar()
        for table in self._tables:
            table.handle.close()
        self._tables = []
