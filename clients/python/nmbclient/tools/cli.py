"""nmb: the plug-in from the command line.

    nmb discover                      plug-ins announcing themselves on this network
    nmb info                          project, folders, dimensions, ROIs, design, classifier
    nmb get NAME [INT ...]            any request, by wire name or method name
    nmb watch [--steps N]             ROI means of every volume, irregular ones marked
    nmb record --csv FILE|--tsv FILE  what every volume delivered, with times and marks
    nmb plot [--png FILE]             the run's ROI time courses with the protocol behind them
    nmb latency FILE [--png FILE]     where a recorded loop lost its time, stage by stage
    nmb dashboard                     a live view of the run in the web browser

Options before the command: --host (default 127.0.0.1), --port (55555),
--timeout (seconds per reply, 10), --wait (seconds to wait for the host);
nmb --version prints the package's version.
Exit status: 0 done, 1 the plug-in refused a request, 2 a connection or
protocol fault (for watch, record and plot also a connection lost in the
middle of a run) or a usage error, 3 the run ended early (watch, record,
plot), 130 Ctrl-C.
"""

import argparse
import sys
from typing import Any, Callable, List, Optional, Sequence, TextIO

from .. import __version__, request_table, texts
from . import live
from ..client import Client
from ..discovery import discover
from ..errors import CannotConnect, Error, RequestRefused
from .follower import classifier_state


def _real_text(value: float) -> str:
    """A real as the shortest text that reads back to the same 4-byte single."""
    try:
        import numpy
        return str(numpy.float32(value))
    except ImportError:
        return "%.9g" % value


def _format_value(value: Any) -> str:
    """A decoded reply value (of any request) as nmb prints it."""
    if value is None:
        return "(empty reply)"
    if isinstance(value, float):
        return _real_text(value)
    if isinstance(value, request_table.ClassifierOutput):
        return "%d %s" % (value.result, _format_value(value.values))
    if isinstance(value, (str, int)):
        return str(value)
    if hasattr(value, "tolist"):
        value = value.tolist()
    flat: List[str] = []
    for item in value:
        if isinstance(item, (list, tuple)):
            flat.append(" ".join(str(v) for v in item))
        else:
            flat.append(_real_text(item) if isinstance(item, float) else str(item))
    return " ".join(flat)


def cmd_discover(args: argparse.Namespace, out: TextIO) -> int:
    found = discover(args.listen_timeout, listen_port=args.listen_port)
    for announcement in found:
        print("%s %d" % (announcement.address, announcement.port), file=out)
    if not found:
        print("no plug-in announced itself within %.3g s" % args.listen_timeout, file=sys.stderr)
        return 1
    return 0


def _or_error(value: object) -> object:
    """The value, or the text of the refusal in its place."""
    return "(%s)" % value.text if isinstance(value, RequestRefused) else value


def _classes(value: object) -> str:
    if not isinstance(value, int):
        return str(_or_error(value))
    return "%s (%d)" % (classifier_state(value), value) if value <= 0 else str(value)


def cmd_info(args: argparse.Namespace, out: TextIO) -> int:
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
        ("classes", _classes(values["number_of_classes"])),
    ]
    output = values["current_classifier_output"]
    if isinstance(output, RequestRefused):
        classifier = output.text
    elif output is None:
        classifier = "no output (empty reply)"
    else:
        classifier = "result %d, %s" % (output.result, _format_value(output.values) or "no values")
    lines.append(("classifier", classifier))
    for label, value in lines:
        print("%-20s %s" % (label + ":", "" if value is None else value), file=out)
    return 0


def cmd_get(args: argparse.Namespace, out: TextIO) -> int:
    request = request_table.lookup(args.name)
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


def cmd_latency(args: argparse.Namespace, out: TextIO) -> int:
    from .latency import cmd_latency as latency
    return latency(args, out)


def _port(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        port = 0
    if not 0 < port < 65536:
        raise argparse.ArgumentTypeError("a port is a whole number from 1 to 65535, not %r" % text)
    return port


def _request_list() -> str:
    lines = ["requests (method name, wire name, arguments):"]
    for request in request_table.REQUESTS:
        lines.append("  %-40s %-40s %s" % (request.method, request.name, " ".join(request.params)))
    lines.append("ROIs count from 0; a time point addresses a volume from 0, so the newest is the current "
                 "time point - 1.")
    return "\n".join(lines)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="nmb", description="Talk to the Nimbrel network plug-in.")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    parser.add_argument("--host", default="127.0.0.1", help="plug-in address (default 127.0.0.1)")
    parser.add_argument("--port", type=_port, default=texts.BROADCAST_PORT, help="plug-in port (default 55555)")
    parser.add_argument("--timeout", type=live.positive_seconds, default=10.0,
                        help="seconds to wait for a reply (default 10)")
    parser.add_argument("--wait", type=live.non_negative_seconds, default=None, metavar="SECONDS",
                        help="wait up to SECONDS for the host to appear (default: fail at once)")
    commands = parser.add_subparsers(dest="command", required=True)

    p = commands.add_parser("discover", help="list plug-ins that announce themselves")
    p.add_argument("--listen-timeout", type=float, default=2.5, help="seconds to listen (default 2.5)")
    p.add_argument("--listen-port", type=int, default=texts.BROADCAST_PORT, help=argparse.SUPPRESS)
    p.set_defaults(run=cmd_discover)

    p = commands.add_parser("info", help="project, folders, dimensions, ROIs, design, classifier")
    p.set_defaults(run=cmd_info)

    p = commands.add_parser("get", help="send any request, e.g. 'get tGetMeanOfROI 0' or 'get mean_of_roi 0'",
                            epilog=_request_list(), formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("name", help="a request's name or method name (listed below)")
    p.add_argument("ints", nargs="*", type=int, metavar="INT", help="the request's arguments")
    p.add_argument("--raw", action="store_true", help="print the reply's values as hex bytes")
    p.set_defaults(run=cmd_get)

    live.add_commands(commands)

    p = commands.add_parser("latency", help="where a recorded loop lost its time: each stage's median, p95, max")
    p.add_argument("file", help="a recording of nmb record (TSV with its sidecar, or CSV)")
    p.add_argument("--png", help="also draw every volume's stages to this PNG file")
    p.set_defaults(run=cmd_latency)
    return parser


def _advice(exc: CannotConnect) -> str:
    """What nmb's user can do about a host it could not reach."""
    if exc.reached:
        return ""
    if exc.waited is None:
        return " To wait for it to appear: nmb --wait SECONDS"
    return " (nmb discover lists the hosts that announce themselves)"


def main(argv: Optional[Sequence[str]] = None, out: Optional[TextIO] = None) -> int:
    args = build_parser().parse_args(argv)
    out = out or sys.stdout
    run: Callable[[argparse.Namespace, TextIO], int] = args.run
    try:
        return run(args, out)
    except RequestRefused as exc:
        print("nmb: the plug-in refused: %s" % exc, file=sys.stderr)
        return 1
    except CannotConnect as exc:
        print("nmb: %s%s" % (exc, _advice(exc)), file=sys.stderr)
        return 2
    except (Error, OSError) as exc:
        print("nmb: %s" % exc, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
