"""nmb: the plug-in from the command line.

    nmb discover                      plug-ins announcing themselves on this network
    nmb info                          project, folders, dimensions, ROIs, design, classifier
    nmb get NAME [INT ...]            any request, by wire name or method name
    nmb watch [--steps N]             time point and ROI means at every post-step
    nmb record --csv FILE|--tsv FILE  what every volume delivered, with times and marks
    nmb plot [--png FILE]             the run's ROI time courses with the protocol behind them
    nmb dashboard                     a live view of the run in the web browser

Options before the command: --host (default 127.0.0.1), --port (55555),
--timeout (seconds per reply, 10).  Exit status: 0 done, 1 the plug-in
refused a request, 2 a connection or protocol fault.
"""

import argparse
import sys

from . import cli_live, requests, texts
from .client import Client
from .discovery import discover
from .errors import ConnectionLost, NimbrelError, NmbError
from .subscription import Subscription


def _real_text(value):
    """A real as the shortest text that reads back to the same 4-byte single."""
    try:
        import numpy
        return str(numpy.float32(value))
    except ImportError:
        return "%.9g" % value


def _format_value(value):
    if value is None:
        return "(empty reply)"
    if isinstance(value, float):
        return _real_text(value)
    if isinstance(value, requests.ClassifierOutput):
        return "%d %s" % (value.result, _format_value(value.values))
    if isinstance(value, (str, int)):
        return str(value)
    if hasattr(value, "tolist"):
        value = value.tolist()
    flat = []
    for item in value:
        if isinstance(item, (list, tuple)):
            flat.append(" ".join(str(v) for v in item))
        else:
            flat.append(_real_text(item) if isinstance(item, float) else str(item))
    return " ".join(flat)


def cmd_discover(args, out):
    found = discover(args.listen_timeout, listen_port=args.listen_port)
    for announcement in found:
        print("%s %d" % (announcement.address, announcement.port), file=out)
    if not found:
        print("no plug-in announced itself within %.3g s" % args.listen_timeout, file=sys.stderr)
        return 1
    return 0


def _or_error(value):
    return "(%s)" % value.text if isinstance(value, NimbrelError) else value


def cmd_info(args, out):
    with Client(args.host, args.port, args.timeout, wait=args.wait) as client:
        names = ["project_name", "watch_folder", "target_folder", "feedback_folder",
                 "dims_of_functional_data", "current_time_point", "expected_nr_of_time_points",
                 "nr_of_rois", "full_nr_of_predictors", "current_nr_of_predictors",
                 "nr_of_confound_predictors", "nr_of_contrasts", "current_protocol_condition",
                 "number_of_classes", "current_classifier_output"]
        values = dict(zip(names, client.call_many([(n, ()) for n in names], errors="return")))
        nr_of_rois = values["nr_of_rois"]
        voxels = []
        if isinstance(nr_of_rois, int) and nr_of_rois > 0:
            voxels = client.call_many([("nr_of_voxels_of_roi", (r,)) for r in range(nr_of_rois)],
                                      errors="return")
    dims = values["dims_of_functional_data"]
    lines = [
        ("project", values["project_name"]),
        ("watch folder", values["watch_folder"]),
        ("target folder", values["target_folder"]),
        ("feedback folder", values["feedback_folder"]),
        ("dimensions", "%d x %d x %d" % dims if isinstance(dims, tuple) else _or_error(dims)),
        ("time points", "%s of %s" % (_or_error(values["current_time_point"]),
                                      _or_error(values["expected_nr_of_time_points"]))),
        ("protocol condition", _or_error(values["current_protocol_condition"])),
        ("ROIs", _or_error(nr_of_rois)),
    ]
    for roi, count in enumerate(voxels):
        lines.append(("  ROI %d" % roi, "%s voxels" % _or_error(count)))
    lines += [
        ("predictors", "%s full, %s current, %s confound" % (
            _or_error(values["full_nr_of_predictors"]), _or_error(values["current_nr_of_predictors"]),
            _or_error(values["nr_of_confound_predictors"]))),
        ("contrasts", _or_error(values["nr_of_contrasts"])),
        ("classes", _or_error(values["number_of_classes"])),
    ]
    output = values["current_classifier_output"]
    if isinstance(output, NimbrelError):
        classifier = output.text
    elif output is None:
        classifier = "no output (empty reply)"
    else:
        classifier = "result %d, %s" % (output.result, _format_value(output.values) or "no values")
    lines.append(("classifier", classifier))
    for label, value in lines:
        print("%-20s %s" % (label + ":", "" if value is None else value), file=out)
    return 0


def cmd_get(args, out):
    request = requests.lookup(args.name)
    if request is not None and not args.raw and len(args.ints) != len(request.params):
        print("nmb get: usage error: %s takes %d value%s (%s), %d given" % (
            request.method, len(request.params), "" if len(request.params) == 1 else "s",
            " ".join(request.params) or "none", len(args.ints)), file=sys.stderr)
        return 2
    with Client(args.host, args.port, args.timeout, wait=args.wait) as client:
        if request is None or args.raw:
            reply = client.request(request.name if request else args.name, *args.ints)
            print(reply.payload.hex(" ") if reply.payload else "(no values)", file=out)
        else:
            value = client.call_many([(request.name, args.ints)])[0]
            print(_format_value(value), file=out)
    return 0


class _Steps:
    """Follows post-steps: asks for the ROI means of each one."""

    def __init__(self, args):
        self.args = args
        self.client = Client(args.host, args.port, args.timeout, wait=args.wait)
        try:
            self.subscription = Subscription(args.host, args.port, args.timeout, wait=args.wait)
            self.nr_of_rois = self.client.nr_of_rois()
        except BaseException:
            self.client.close()
            raise

    def close(self):
        self.subscription.close()
        self.client.close()

    def each(self):
        """Yields (notification, means) per post-step until the run ends,
        `--steps` post-steps were seen, or the plug-in closes the connection."""
        seen = 0
        while self.args.steps is None or seen < self.args.steps:
            try:
                notification = self.subscription.next()
            except ConnectionLost:
                if not self.subscription.run_ended:
                    print("nmb: the connection was lost in the middle of a run", file=sys.stderr)
                return
            name, time_point = notification
            if name == texts.POST_RUN_CALLED and not self.args.keep_going:
                return
            if name != texts.POST_STEP_CALLED:
                continue
            means = self.client.call_many([("mean_of_roi", (roi,)) for roi in range(self.nr_of_rois)],
                                          errors="return")
            seen += 1
            yield notification, means


def _cell(value, fmt="%.6g"):
    if isinstance(value, NimbrelError) or value is None:
        return ""
    return fmt % value


def cmd_watch(args, out):
    steps = _Steps(args)
    try:
        header = ["time"] + ["roi%d" % r for r in range(steps.nr_of_rois)] + ["latency"]
        print("  ".join("%10s" % h for h in header), file=out, flush=True)
        for notification, means in steps.each():
            latency_ms = (steps.client.last_received_at - notification.received_at) * 1000
            row = ["%10d" % notification.time_point]
            row += ["%10s" % (_cell(m, "%.4f") or "-") for m in means]
            row.append("%8.1f ms" % latency_ms)
            print("  ".join(row), file=out, flush=True)
    finally:
        steps.close()
    return 0


def build_parser():
    parser = argparse.ArgumentParser(prog="nmb", description="Talk to the Nimbrel network plug-in.")
    parser.add_argument("--host", default="127.0.0.1", help="plug-in address (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=texts.BROADCAST_PORT, help="plug-in port (default 55555)")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds to wait for a reply (default 10)")
    parser.add_argument("--wait", type=float, default=None, metavar="SECONDS",
                        help="wait up to SECONDS for the host to appear (default: fail at once)")
    commands = parser.add_subparsers(dest="command", required=True)

    p = commands.add_parser("discover", help="list plug-ins that announce themselves")
    p.add_argument("--listen-timeout", type=float, default=2.5, help="seconds to listen (default 2.5)")
    p.add_argument("--listen-port", type=int, default=texts.BROADCAST_PORT, help=argparse.SUPPRESS)
    p.set_defaults(run=cmd_discover)

    p = commands.add_parser("info", help="project, folders, dimensions, ROIs, design, classifier")
    p.set_defaults(run=cmd_info)

    p = commands.add_parser("get", help="send any request, e.g. 'get tGetMeanOfROI 0' or 'get mean_of_roi 0'")
    p.add_argument("name")
    p.add_argument("ints", nargs="*", type=int)
    p.add_argument("--raw", action="store_true", help="print the reply's values as hex bytes")
    p.set_defaults(run=cmd_get)

    p = commands.add_parser("watch", help="print the ROI means at every post-step")
    p.add_argument("--steps", type=int, default=None, help="stop after this many post-steps")
    p.add_argument("--keep-going", action="store_true", help="go on across runs instead of ending with the run")
    p.set_defaults(run=cmd_watch)

    cli_live.add_commands(commands)
    return parser


def main(argv=None, out=None):
    args = build_parser().parse_args(argv)
    out = out or sys.stdout
    try:
        return args.run(args, out)
    except NimbrelError as exc:
        print("nmb: the plug-in refused: %s" % exc.text, file=sys.stderr)
        return 1
    except (NmbError, OSError) as exc:
        print("nmb: %s" % exc, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
