"""The nmb commands that follow a run volume by volume: record, plot, dashboard.

All three back-fill the run from its start, so they may be started in the
middle of a scan.  record and plot end with the run ("PostRunCalled"), after
`--steps` live volumes, or when the connection is lost; with nmb's
`--wait SECONDS` they wait that long for the host to appear, and as long
again after a loss before they give up (reconnecting reads what they missed).  The dashboard always
waits and reconnects, and follows run after run until Ctrl-C.
"""

import argparse
import sys

from .baseline import Baseline
from .runfollower import LOST, RUN_ENDED, WAITING, RunFollower, RunInfo, State, Volume


def _baseline(text):
    try:
        return Baseline.parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _follow(args, window=None):
    """Yields RunInfo and Volume events of the run(s) the command follows, and reports
    connection states on stderr; ends as the command's options say."""
    follower = RunFollower(args.host, args.port, args.timeout, window=window, wait=args.wait)
    live = 0
    runs = 0
    for event in follower.events():
        if isinstance(event, State):
            if event.state == RUN_ENDED and not args.keep_going:
                return
            if event.state == LOST:
                print("nmb: the connection was lost in the middle of a run (%s)%s" % (
                    event.detail, "" if args.wait is None else "; waiting for the host"), file=sys.stderr)
                if args.wait is None:
                    return
            elif event.state == WAITING and args.wait is not None:
                print("nmb: waiting for the host at %s:%d" % (args.host, args.port), file=sys.stderr)
        elif isinstance(event, RunInfo):
            runs += 1
            if runs > 1 and not args.keep_going:
                return
            yield event
        elif isinstance(event, Volume):
            yield event
            if not event.backfilled:
                live += 1
                if args.steps is not None and live >= args.steps:
                    return


def cmd_record(args, out):
    from .recording import Recorder
    if not args.csv and not args.tsv:
        print("nmb record: give --csv FILE and/or --tsv FILE", file=sys.stderr)
        return 2
    window = args.window or None
    recorder = None
    try:
        for event in _follow(args, window):
            if isinstance(event, RunInfo):
                if recorder is None:
                    recorder = Recorder(event, args.csv, args.tsv, args.baseline, window)
                elif event.nr_of_rois != recorder.info.nr_of_rois:
                    print("nmb: the next run has %d ROIs instead of %d; recording ends"
                          % (event.nr_of_rois, recorder.info.nr_of_rois), file=sys.stderr)
                    break
            elif recorder is not None:
                recorder.add(event)
    finally:
        if recorder is not None:
            recorder.close()
    rows = recorder.rows if recorder else 0
    files = " and ".join(f for f in (args.csv, args.tsv, recorder and recorder.sidecar_path) if f)
    print("recorded %d volumes to %s" % (rows, files), file=out)
    return 0


def cmd_plot(args, out):
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
    try:
        for event in _follow(args):
            if isinstance(event, RunInfo):
                series = plotting.RunSeries(event)
                if figure is None:
                    figure = plt.figure(figsize=plotting.figure_size(event, args.baseline))
                    if not args.png:
                        plt.ion()
                        plt.show()
                continue
            series.add(event)
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
    return 0


def cmd_dashboard(args, out):
    from .dashboard.server import serve
    return serve(args, out)


def add_commands(commands):
    """Registers record, plot and dashboard on the nmb parser's subcommands."""
    def following(p):
        p.add_argument("--steps", type=int, default=None, help="stop after this many live volumes")
        p.add_argument("--keep-going", action="store_true", help="go on across runs instead of ending with the run")
        p.add_argument("--baseline", type=_baseline, default=None, metavar="FIRST:LAST",
                       help="baseline time points for percent signal change, e.g. 1:10")

    p = commands.add_parser("record", help="write what each volume delivered to CSV and/or TSV + JSON sidecar")
    following(p)
    p.add_argument("--csv", help="CSV file with a header row")
    p.add_argument("--tsv", help="tab-separated file without header, with a JSON sidecar beside it (BIDS style)")
    p.add_argument("--window", type=int, default=10,
                   help="correlation window in time points (default 10; 0: no correlations)")
    p.set_defaults(run=cmd_record)

    p = commands.add_parser("plot", help="plot the run's ROI time courses with the protocol behind them")
    following(p)
    p.add_argument("--png", help="save the figure to this file at the end instead of showing a window")
    p.set_defaults(run=cmd_plot)

    p = commands.add_parser("dashboard", help="a live view of the run in the web browser")
    p.add_argument("--bind", default="127.0.0.1",
                   help="address the page is served on (default 127.0.0.1: this computer only)")
    p.add_argument("--http-port", type=int, default=8055, help="port the page is served on (default 8055; 0: any)")
    p.add_argument("--window", type=int, default=20, help="initial correlation window in time points (default 20)")
    p.add_argument("--baseline", type=_baseline, default=Baseline(1, 10), metavar="FIRST:LAST",
                   help="initial baseline time points for percent signal change (default 1:10)")
    p.add_argument("--netns", metavar="NAME",
                   help="reach the host inside this network namespace (e.g. nimbrel-sim, the simulator's; "
                        "needs root) while serving the page in this one")
    p.set_defaults(run=cmd_dashboard)
