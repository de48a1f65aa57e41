"""The nmb commands that follow a run volume by volume: watch, record, plot, dashboard.

record, plot and the dashboard back-fill the run from its start, so they may be
started in the middle of a scan; watch shows what comes from then on.  All of
them fill in the volumes the host skipped and mark the irregular ones.  watch,
record and plot end with the run ("PostRunCalled"), after `--steps` live
volumes, or when the connection is lost; with nmb's `--wait SECONDS` they wait
that long for the host to appear, and as long again after a loss before they
give up (reconnecting reads what they missed).  The dashboard always waits and
reconnects, and follows run after run until Ctrl-C.

Their exit status says how the run ended: 0 at its normal end (or after
`--steps`), 2 when the connection was lost in the middle of it, 3 when the host
ended it early (fewer volumes than it expected), besides nmb's own statuses.
"""

import argparse
import sys
import time
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional, TextIO, Union

from ..marks import EVENTS_PORT
from .baseline import Baseline
from .follower import (ENDED_EARLY, IDLE, LOST, RUN_ENDED, WAITING, Revision, RunFollower, RunInfo, State,
                       Volume)
from .quality import OFF_WITHOUT_NUMPY, SPIKE_THRESHOLD, numpy_missing

# Exit statuses of the commands that follow a run (1 and 2 are nmb's own).
STATUS_LOST = 2
STATUS_ENDED_EARLY = 3

if TYPE_CHECKING:  # imported where used: a command that needs neither starts sooner
    from .events import EventListener

Followed = Union[RunInfo, Volume, State, Revision]


def _baseline(text: str) -> Baseline:
    try:
        return Baseline.parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _number(kind: Callable[[str], Any], low: float, what: str) -> Callable[[str], Any]:
    """An argparse type: `kind` of the text, at least `low`."""
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%s, not %r" % (what, text)) from None
        if value < low:
            raise argparse.ArgumentTypeError("%s, not %s" % (what, text))
        return value
    return parse


positive_int = _number(int, 1, "a whole number of 1 or more")
non_negative_int = _number(int, 0, "a whole number of 0 or more")
positive_seconds = _number(float, 1e-3, "a number of seconds above 0")
positive_float = _number(float, 1e-9, "a number above 0")


def _events_port(text: str) -> int:
    value: int = _number(int, 0, "a port from 0 to 65535")(text)
    if value > 65535:
        raise argparse.ArgumentTypeError("a port from 0 to 65535, not %s" % text)
    return value


def _trigger(text: str) -> str:
    from .events import parse_trigger_source
    try:
        parse_trigger_source(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text
non_negative_seconds = _number(float, 0, "a number of seconds, 0 or more")


def quality_wanted(args: argparse.Namespace) -> bool:
    """Whether the command measures data quality: unless --no-quality, and only with
    numpy, without which one line says it is off."""
    if getattr(args, "no_quality", True):
        return False
    if numpy_missing():
        print("nmb: %s" % OFF_WITHOUT_NUMPY, file=sys.stderr)
        return False
    return True


def open_listener(args: argparse.Namespace) -> Optional["EventListener"]:
    """The listener for marks (--events-port) and triggers (--trigger), or None when
    neither is wanted.  A port that is taken costs the marks, not the command."""
    port = getattr(args, "events_port", 0)
    trigger = getattr(args, "trigger", None)
    if not port and not trigger:
        return None
    from .events import EventListener
    try:
        return EventListener(port, trigger)
    except OSError as exc:
        print("nmb: cannot listen for %s (%s); going on without" % (
            "marks on 127.0.0.1:%d" % port if port else "triggers", exc), file=sys.stderr)
        if trigger and port:
            try:
                return EventListener(port, None)
            except OSError:
                return None
        return None


class Following:
    """The run(s) a command follows, as RunInfo, Volume and run-end State events, with
    the connection's story told on stderr; ends as the command's options say.
    `status` is the exit status for how the run(s) ended."""

    def __init__(self, args: argparse.Namespace, window: Optional[int] = None, history: bool = True) -> None:
        self.args = args
        self.quality = quality_wanted(args)
        self.follower = RunFollower(args.host, args.port, args.timeout, window=window, wait=args.wait,
                                    history=history, quality=self.quality,
                                    spike_threshold=getattr(args, "spike_threshold", SPIKE_THRESHOLD))
        self.status = 0

    def _say(self, text: str) -> None:
        print("nmb: %s" % text, file=sys.stderr, flush=True)

    def events(self) -> Iterator[Followed]:
        args = self.args
        live = runs = 0
        lost: Optional[State] = None  # a loss the host has not come back from yet
        for event in self.follower.events():
            if isinstance(event, State):
                if event.state in (RUN_ENDED, ENDED_EARLY):
                    lost = None
                    if event.state == ENDED_EARLY:
                        self._say("run ended early: %s" % event.detail)
                        self.status = STATUS_ENDED_EARLY
                    yield event
                    if not args.keep_going:
                        return
                elif event.state == LOST:
                    self._say("the connection was lost in the middle of a run (%s)%s" % (
                        event.detail, "" if args.wait is None else "; waiting for the host"))
                    lost = event
                elif event.state == IDLE:
                    self._say("%s; waiting for a run to start (if you meant another host, nmb discover "
                              "lists every host it hears)" % event.detail)
                elif event.state == WAITING and args.wait is not None:
                    self._say("waiting for the host at %s:%d" % (args.host, args.port))
                continue
            lost = None
            if isinstance(event, Revision):
                yield event
                continue
            if isinstance(event, RunInfo):
                runs += 1
                if runs > 1 and not args.keep_going:
                    return
                yield event
                continue
            yield event
            if not event.backfilled:
                live += 1
                if args.steps is not None and live >= args.steps:
                    return
        if lost is not None:
            if args.wait is not None:
                self._say("the host did not come back within %g s; giving up" % args.wait)
            self.status = STATUS_LOST
            yield lost


def cmd_watch(args: argparse.Namespace, out: TextIO) -> int:
    following = Following(args, history=False)
    header_rois = None
    for event in following.events():
        if isinstance(event, RunInfo):
            if header_rois != event.nr_of_rois:
                header_rois = event.nr_of_rois
                header = ["time"] + ["roi%d" % r for r in range(event.nr_of_rois)] + ["delay"]
                header += ["std_dvars", "tsnr"] if following.quality else []
                print("  ".join("%10s" % h for h in header) + "  marks", file=out, flush=True)
        elif isinstance(event, Volume):
            row = ["%10d" % event.time_point]
            row += ["%10s" % ("%.4f" % m if m == m else "-") for m in event.means]
            row.append("%7.1f ms" % event.delay_ms if event.delay_ms is not None else "%10s" % "-")
            marks = list(event.marks) + (["backfilled"] if event.backfilled else [])
            if following.quality:
                q = event.quality
                row += ["%10s" % ("%.3f" % q.std_dvars if q and q.std_dvars is not None else "-"),
                        "%10s" % ("%.1f" % q.tsnr if q and q.tsnr is not None else "-")]
                if q and q.spike:
                    marks.append("spike")
            if event.missing:
                marks[marks.index("gap")] = "gap (%d missing)" % event.missing
            print("  ".join(row) + ("  " + "+".join(marks) if marks else ""), file=out, flush=True)
        elif isinstance(event, Revision) and event.quality.spike:
            print("%10d  was a spike (standardised DVARS %.3f), found once the run's first volumes had come"
                  % (event.time_point, event.quality.std_dvars or 0.0), file=out, flush=True)
    return following.status


def cmd_record(args: argparse.Namespace, out: TextIO) -> int:
    from . import recording
    if not args.csv and not args.tsv:
        print("nmb record: give --csv FILE and/or --tsv FILE", file=sys.stderr)
        return 2
    window = args.window or None
    recorder = None
    following = Following(args, window)
    listener = open_listener(args)
    sources = {"EventsPort": args.events_port or None, "Trigger": args.trigger,
               "Listening": listener is not None}
    try:
        for event in following.events():
            if isinstance(event, RunInfo):
                if recorder is None:
                    recorder = recording.Recorder(event, args.csv, args.tsv, args.baseline, window, args.tr,
                                                  following.quality, args.events,
                                                  args.spike_threshold if following.quality else None, sources)
                elif event.nr_of_rois != recorder.info.nr_of_rois:
                    print("nmb: the next run has %d ROIs instead of %d; recording ends"
                          % (event.nr_of_rois, recorder.info.nr_of_rois), file=sys.stderr)
                    break
                else:
                    _take_arrivals(recorder, listener)
                    recorder.begin_run(event)
            elif recorder is None:
                continue
            elif isinstance(event, Revision):
                recorder.revise(event)
            elif isinstance(event, State):
                how = {RUN_ENDED: recording.COMPLETE, ENDED_EARLY: recording.ENDED_EARLY}.get(
                    event.state, recording.CONNECTION_LOST)
                recorder.end_run(how, event.time_point)
                if listener is not None:  # the last volume's marks come just after it
                    time.sleep(MARKS_GRACE_S)
                _take_arrivals(recorder, listener)
            else:
                _take_arrivals(recorder, listener)
                recorder.add(event)
                _take_arrivals(recorder, listener)
    finally:
        if recorder is not None:
            _take_arrivals(recorder, listener)
            recorder.close()
        if listener is not None:
            listener.stop()
    rows = recorder.rows if recorder else 0
    files = " and ".join(f for f in (args.csv, args.tsv, recorder and recorder.sidecar_path) if f)
    print("recorded %d volumes to %s" % (rows, files), file=out)
    if recorder is not None and recorder.unread:
        one = recorder.unread == 1
        print("nmb record: the host ended before the values of %d volume%s could be read; %s marked unread"
              % (recorder.unread, "" if one else "s", "its row is" if one else "their rows are"), file=sys.stderr)
    return following.status


# How long record waits after a run's end for the marks of its last volume.
MARKS_GRACE_S = 0.3


def _take_arrivals(recorder: Any, listener: Optional["EventListener"]) -> None:
    if listener is not None:
        recorder.add_arrivals(listener.drain())


def cmd_plot(args: argparse.Namespace, out: TextIO) -> int:
    import matplotlib
    if args.png:
        matplotlib.use("Agg")
    from . import plotting
    if not args.png and plotting.interactive_backend() is None:
        print("nmb plot: no display to show a window on (matplotlib backend %s); "
              "save the figure with --png FILE" % matplotlib.get_backend(), file=sys.stderr)
        return 2
    import matplotlib.pyplot as plt

    series = figure = None
    following = Following(args)
    try:
        for event in following.events():
            if isinstance(event, RunInfo):
                series = plotting.RunSeries(event)
                if figure is None:
                    figure = plt.figure(figsize=plotting.figure_size(event, args.baseline))
                    if not args.png:
                        plt.ion()
                        plt.show()
                continue
            if series is None:
                continue
            if isinstance(event, State):
                series.end(event)
                continue
            if isinstance(event, Revision):
                continue
            series.add(event)
            assert figure is not None
            if not args.png and not plt.fignum_exists(figure.number):
                return 0  # the user closed the window
            if not args.png and (not event.backfilled or event.time_point % 10 == 0):
                plotting.draw(figure, series, args.baseline)
                plt.pause(0.001)
    finally:
        if figure is not None and series is not None:
            plotting.draw(figure, series, args.baseline)
            if args.png:
                figure.savefig(args.png, dpi=100)
                print("saved %d time points to %s" % (len(series), args.png), file=out)
    if figure is not None and not args.png and plt.fignum_exists(figure.number):
        plt.ioff()
        plt.show()  # the finished run stays on screen until the window is closed
    return following.status


def cmd_dashboard(args: argparse.Namespace, out: TextIO) -> int:
    from .dashboard.server import serve
    return serve(args, out)


def add_commands(commands: Any) -> None:
    """Registers watch, record, plot and dashboard on the nmb parser's subcommands."""
    def following(p: argparse.ArgumentParser, what: str) -> None:
        p.add_argument("--steps", type=positive_int, default=None, help="stop after this many live %s" % what)
        p.add_argument("--keep-going", action="store_true", help="go on across runs instead of ending with the run")

    def events(p: argparse.ArgumentParser, port: int) -> None:
        p.add_argument("--events-port", type=_events_port, default=port, metavar="PORT",
                       help="UDP port on 127.0.0.1 for the stimulus program's marks (default %s)"
                            % ("%d; 0: none" % port if port else "none"))
        p.add_argument("--trigger", type=_trigger, default=None, metavar="SOURCE",
                       help="scanner triggers: udp:PORT (nimbrel-sim --trigger-udp) or tty:PATH[:BYTE] "
                            "(one byte per trigger, '5' by default)")

    def quality(p: argparse.ArgumentParser) -> None:
        p.add_argument("--no-quality", action="store_true",
                       help="leave out the data quality (DVARS, tSNR, spikes) read from the raw volumes")
        p.add_argument("--spike-threshold", type=positive_float, default=SPIKE_THRESHOLD, metavar="STD_DVARS",
                       help="standardised DVARS above which a volume is a spike (default %g)" % SPIKE_THRESHOLD)

    def baseline(p: argparse.ArgumentParser) -> None:
        p.add_argument("--baseline", type=_baseline, default=None, metavar="FIRST:LAST",
                       help="baseline time points for percent signal change, e.g. 1:10")

    p = commands.add_parser("watch", help="print the ROI means of every volume, with its marks")
    following(p, "volumes")
    quality(p)
    p.set_defaults(run=cmd_watch)

    p = commands.add_parser("record", help="write what each volume delivered to CSV and/or TSV + JSON sidecar")
    following(p, "volumes")
    baseline(p)
    p.add_argument("--csv", help="CSV file with a header row")
    p.add_argument("--tsv", help="tab-separated file without header, with a JSON sidecar beside it (BIDS style)")
    p.add_argument("--window", type=non_negative_int, default=10,
                   help="correlation window in time points (default 10; 0: no correlations)")
    p.add_argument("--tr", type=positive_seconds, default=None, metavar="SECONDS",
                   help="the run's repetition time, for the sidecar's SamplingFrequency (the plug-in does "
                        "not report it)")
    events(p, EVENTS_PORT)
    p.add_argument("--events", metavar="FILE",
                   help="the BIDS events file (default: beside the recording, NAME_events.tsv)")
    quality(p)
    p.set_defaults(run=cmd_record)

    p = commands.add_parser("plot", help="plot the run's ROI time courses with the protocol behind them")
    following(p, "volumes")
    baseline(p)
    p.add_argument("--png", help="save the figure to this file at the end instead of showing a window")
    p.set_defaults(run=cmd_plot)

    p = commands.add_parser("dashboard", help="a live view of the run in the web browser")
    p.add_argument("--bind", default="127.0.0.1",
                   help="address the page is served on (default 127.0.0.1: this computer only)")
    p.add_argument("--http-port", type=non_negative_int, default=8055,
                   help="port the page is served on (default 8055; 0: any)")
    p.add_argument("--window", type=positive_int, default=20,
                   help="initial correlation window in time points (default 20)")
    p.add_argument("--baseline", type=_baseline, default=Baseline(1, 10), metavar="FIRST:LAST",
                   help="initial baseline time points for percent signal change (default 1:10)")
    # Off by default: a record running beside it keeps the marks' usual port.
    events(p, 0)
    quality(p)
    p.add_argument("--netns", metavar="NAME",
                   help="reach the host inside this network namespace (e.g. nimbrel-sim, the simulator's; "
                        "needs root) while serving the page in this one")
    p.set_defaults(run=cmd_dashboard)
