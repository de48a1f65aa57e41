"""Where a loop loses time: the ledger's stage times summed up, and nmb latency.

    nmb latency run.tsv [--png stages.png]

reads a recording of nmb record (a TSV with its JSON sidecar, or a CSV with
its header), prints for each run the median, 95th percentile and maximum of
each stage (trigger to post-step, post-step to values, values to "feedback
shown") and how many volumes showed their feedback later than one TR after
their start (the trigger, or without one the PostStepCalled), and draws the
stages of every volume as stacked bars (matplotlib).  The stage times are
computed again from the moment columns, so a file edited by hand is read as
it stands.
"""

import argparse
import csv
import json
import math
import os
import statistics
import sys
from typing import Any, Dict, List, Optional, Sequence, TextIO

from ..ledger import Moments, Stages, stages_of

STAGE_KEYS = [("TriggerToPostStepMs", "trigger -> post-step"), ("PostStepToValuesMs", "post-step -> values"),
              ("ValuesToShownMs", "values -> shown")]


def percentile(values: Sequence[float], fraction: float) -> float:
    """The `fraction` quantile of `values`, linear between the two nearest ranks."""
    ordered = sorted(values)
    position = fraction * (len(ordered) - 1)
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def spread(values: Sequence[float]) -> Optional[Dict[str, float]]:
    """Median, 95th percentile and maximum (and the count) of `values`; None when empty."""
    if not values:
        return None
    return {"Median": round(statistics.median(values), 6), "P95": round(percentile(values, 0.95), 6),
            "Max": round(max(values), 6), "Volumes": len(values)}


def latency_summary(moments: Sequence[Moments], tr: Optional[float]) -> Dict[str, Any]:
    """The sidecar's "Latency" of one run's live volumes."""
    stages = [stages_of(m) for m in moments]
    summary: Dict[str, Any] = {}
    for i, (key, _) in enumerate(STAGE_KEYS):
        summary[key] = spread([t for t in (s[i] for s in stages) if t is not None])
    shown = []
    for m in moments:
        start = m.trigger if m.trigger is not None else m.post_step
        if m.shown is not None and start is not None:
            shown.append(m.shown - start)
    summary["RepetitionTime"] = tr
    summary["FeedbackMeasuredFrom"] = ("trigger" if any(m.trigger is not None for m in moments)
                                       else "PostStepCalled")
    summary["FeedbackVolumes"] = len(shown)
    summary["FeedbackLaterThanOneTR"] = sum(1 for d in shown if d > tr) if tr and shown else None
    return summary


def _number(cell: str) -> Optional[float]:
    try:
        value = float(cell)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def read_recording(path: str) -> Dict[int, Dict[str, Any]]:
    """Per run: the live volumes' time points and moments, and the TR, from a recording."""
    with open(path, newline="") as handle:
        if path.endswith(".csv"):
            rows = list(csv.reader(handle))
            names, rows = rows[0], rows[1:]
            sidecar: Dict[str, Any] = {}
        else:
            rows = list(csv.reader(handle, delimiter="\t"))
            with open(os.path.splitext(path)[0] + ".json") as side:
                sidecar = json.load(side)
            names = sidecar["Columns"]
    runs: Dict[int, Dict[str, Any]] = {}
    for row in rows:
        cell = dict(zip(names, row))
        if cell.get("post_steps") == "0":
            continue  # back-filled: no ledger
        run = runs.setdefault(int(cell["run"]), {"time_points": [], "moments": []})
        run["time_points"].append(int(cell["time_point"]))
        run["moments"].append(Moments(*(_number(cell.get(n, "n/a")) for n in
                                        ("trigger_s", "pre_step_s", "monotonic_s", "values_s", "shown_s"))))
    for run in runs.values():
        posts = [m.post_step for m in run["moments"] if m.post_step is not None]
        intervals = [b - a for a, b in zip(posts, posts[1:]) if b > a]
        run["tr"] = sidecar.get("RepetitionTime") or (statistics.median(intervals) if intervals else None)
    return runs


def _ms(value: Optional[float]) -> str:
    return "%9.1f ms" % value if value is not None else "%12s" % "-"


def print_summary(runs: Dict[int, Dict[str, Any]], out: TextIO) -> None:
    for number, run in sorted(runs.items()):
        summary = latency_summary(run["moments"], run["tr"])
        tr = run["tr"]
        print("run %d: %d live volumes%s" % (number, len(run["moments"]), ", TR %.3g s" % tr if tr else ""),
              file=out)
        print("  %-22s %12s %12s %12s  volumes" % ("stage", "median", "p95", "max"), file=out)
        for key, label in STAGE_KEYS:
            s = summary[key]
            if s is None:
                print("  %-22s %12s %12s %12s  0" % (label, "-", "-", "-"), file=out)
            else:
                print("  %-22s %s %s %s  %d" % (label, _ms(s["Median"]), _ms(s["P95"]), _ms(s["Max"]),
                                                s["Volumes"]), file=out)
        late = summary["FeedbackLaterThanOneTR"]
        if late is not None:
            print("  feedback later than one TR after the %s: %d of %d volumes"
                  % (summary["FeedbackMeasuredFrom"], late, summary["FeedbackVolumes"]), file=out)
        else:
            print("  feedback later than one TR: unknown (no 'feedback shown' marks%s)"
                  % ("" if tr else ", no TR"), file=out)


def draw(figure: Any, runs: Dict[int, Dict[str, Any]]) -> None:
    """Stacked bars per volume: the three stages in ms, one panel per run, the TR as a line."""
    panels = figure.subplots(max(len(runs), 1), 1, squeeze=False)[:, 0]
    colours = ["#4c72b0", "#dd8452", "#55a868"]
    for axes, (number, run) in zip(panels, sorted(runs.items())):
        stages: List[Stages] = [stages_of(m) for m in run["moments"]]
        bottom = [0.0] * len(stages)
        for i, (_, label) in enumerate(STAGE_KEYS):
            heights = [s[i] or 0.0 for s in stages]
            axes.bar(run["time_points"], heights, bottom=bottom, width=0.9, color=colours[i], label=label)
            bottom = [b + h for b, h in zip(bottom, heights)]
        if run["tr"]:
            axes.axhline(run["tr"] * 1000, color="#c44e52", linestyle="--", linewidth=1, label="one TR")
        axes.set_title("run %d" % number)
        axes.set_xlabel("volume")
        axes.set_ylabel("ms")
        axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small")
    figure.tight_layout()


def cmd_latency(args: argparse.Namespace, out: TextIO) -> int:
    try:
        runs = read_recording(args.file)
    except (OSError, ValueError, KeyError) as exc:
        print("nmb latency: cannot read %s as a recording of nmb record: %s" % (args.file, exc), file=sys.stderr)
        return 2
    print_summary(runs, out)
    if args.png:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        figure = plt.figure(figsize=(11, 3.2 * max(len(runs), 1)))
        draw(figure, runs)
        figure.savefig(args.png, dpi=100)
        print("saved the stages of %d volumes to %s" % (sum(len(r["moments"]) for r in runs.values()), args.png),
              file=out)
    return 0
