"""The dashboard's web server: one page, its static files and a stream of the run.

    nmb dashboard [--bind 127.0.0.1] [--http-port 8055]

A background thread follows the host with a RunFollower and keeps the current
run in a RunState.  The page (static/index.html) opens /events, a
Server-Sent Events stream: first a "snapshot" of everything so far (run
description, connection state, every volume), then one "volume", "state" or
"run" event as each happens.  A reloaded page or a page opened mid-run gets
the whole run again from the snapshot; a browser that lost the server
reconnects by itself (EventSource) and also starts from a snapshot.  /state
gives the snapshot as plain JSON.

Only files listed at start-up under static/ are served; nothing is loaded from
elsewhere, so the page works on a computer without internet access.

Thread rules: RunState is shared by the follower thread and one thread per
HTTP request; every access holds its lock.
"""

import argparse
import http.server
import ipaddress
import json
import math
import os
import socket
import socketserver
import sys
import threading
import time
from typing import Any, Dict, List, Optional, TextIO, Tuple

from ... import __version__
from ...ledger import stages_of
from ..events import Arrival, EventListener, RunEvents
from ..follower import LOST, WAITING, Event, Revision, RunFollower, RunInfo, State, Volume
from ..quality import Quality

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
CONTENT_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
                 ".css": "text/css; charset=utf-8", ".svg": "image/svg+xml", ".md": "text/plain; charset=utf-8",
                 "": "text/plain; charset=utf-8"}

# Events kept for streams that fall behind; a stream further behind gets a new snapshot.
EVENTS_KEPT = 4096
# Seconds between keep-alive comments on an idle stream (lets both sides notice a dead peer).
KEEPALIVE_S = 10.0


# A value as JSON carries it.
Json = Any
# A numbered event of the stream: (sequence, name, data).
Published = Tuple[int, str, Json]


def _finite(value: Optional[float]) -> Optional[float]:
    return value if value is None or math.isfinite(value) else None


def _ms(value: Optional[float]) -> Optional[float]:
    return None if value is None else round(value, 3)


def quality_json(quality: Optional[Quality]) -> Optional[Dict[str, Json]]:
    if quality is None:
        return None
    return {"std_dvars": _finite(quality.std_dvars), "dvars": _finite(quality.dvars),
            "global_mean": _finite(quality.global_mean), "tsnr": _finite(quality.tsnr),
            "roi_tsnr": [_finite(v) for v in quality.roi_tsnr], "spike": quality.spike}


def volume_json(volume: Volume, events: Optional[RunEvents] = None) -> Dict[str, Json]:
    """A volume as the page takes it; `stages` are its ledger's three stage times in
    ms (trigger to post-step, post-step to values, values to shown)."""
    stages = stages_of(events.moments(volume)) if events is not None else (None, None, None)
    classifier = None
    if volume.classifier is not None:
        classifier = {"result": volume.classifier.result,
                      "values": [_finite(float(v)) for v in volume.classifier.values]}
    return {"t": volume.time_point, "means": [_finite(m) for m in volume.means], "condition": volume.condition,
            "classifier": classifier, "wall": volume.wall_clock,
            "delay": None if volume.delay_ms is None else round(volume.delay_ms, 3),
            "marks": list(volume.marks), "missing": volume.missing, "backfilled": volume.backfilled,
            "stages": [_ms(_finite(v)) for v in stages], "quality": quality_json(volume.quality)}


def info_json(info: RunInfo) -> Dict[str, Json]:
    return {"run": info.run, "project": info.project, "dims": list(info.dims) if info.dims else None,
            "rois": info.nr_of_rois, "voxels": info.voxel_counts, "expected": info.expected_time_points,
            "classes": info.number_of_classes, "host": "%s:%d" % (info.host, info.port)}


class RunState:
    """The current run as the page needs it, and the numbered events since it started."""

    def __init__(self, settings: Dict[str, Json]) -> None:
        self._lock = threading.Condition()
        self.settings = settings
        self.state: Dict[str, Json] = {"state": WAITING, "detail": ""}
        self.info: Optional[Dict[str, Json]] = None
        self.volumes: List[Dict[str, Json]] = []
        # The run's volumes, marks and triggers, for each volume's ledger.
        self.run_events: Optional[RunEvents] = None
        self._followed: Dict[int, Volume] = {}
        self.sequence = 0
        self.events: List[Published] = []
        self.closing = False

    def _publish(self, name: str, data: Json) -> None:
        self.sequence += 1
        self.events.append((self.sequence, name, data))
        del self.events[:-EVENTS_KEPT]
        self._lock.notify_all()

    def apply(self, event: Event) -> None:
        with self._lock:
            if isinstance(event, State):
                self.state = {"state": event.state, "detail": event.detail}
                self._publish("state", self.state)
            elif isinstance(event, RunInfo):
                self.info = info_json(event)
                self.volumes = []
                self.run_events = RunEvents(event.run)
                self._followed = {}
                self._publish("run", self.info)
            elif isinstance(event, Revision):
                quality = quality_json(event.quality)
                for data in self.volumes:
                    if data["t"] == event.time_point:
                        data["quality"] = quality
                self._publish("quality", {"t": event.time_point, "quality": quality})
            elif isinstance(event, Volume):
                if self.run_events is not None:
                    self.run_events.add_volume(event)
                    self._followed.setdefault(event.time_point, event)
                data = volume_json(event, self.run_events)
                self.volumes.append(data)
                self._publish("volume", data)

    def apply_arrivals(self, arrivals: List[Arrival]) -> None:
        """Marks and triggers: each volume whose ledger they complete is published again
        as a "ledger" event, {"t": time point, "stages": [...]}."""
        with self._lock:
            if self.run_events is None or not arrivals:
                return
            changed = {self.run_events.add(a) for a in arrivals} - {None}
            for time_point in sorted(t for t in changed if t is not None):
                volume = self._followed.get(time_point)
                if volume is None:
                    continue
                stages = volume_json(volume, self.run_events)["stages"]
                for data in self.volumes:
                    if data["t"] == time_point:
                        data["stages"] = stages
                self._publish("ledger", {"t": time_point, "stages": stages})

    def snapshot(self) -> Tuple[int, Dict[str, Json]]:
        with self._lock:
            return self.sequence, {"state": self.state, "info": self.info, "volumes": list(self.volumes),
                                   "settings": self.settings}

    def wait_after(self, sequence: int, timeout: float) -> Optional[List[Published]]:
        """Events after `sequence`: a list, or None when the stream must start from a snapshot."""
        with self._lock:
            if self.sequence == sequence and not self.closing:
                self._lock.wait(timeout)
            if self.closing:
                return []
            if self.sequence == sequence:
                return []
            if not self.events or self.events[0][0] > sequence + 1:
                return None
            return [e for e in self.events if e[0] > sequence]

    def close(self) -> None:
        with self._lock:
            self.closing = True
            self._lock.notify_all()


def static_files() -> Dict[str, str]:
    """URL path -> file path of everything under static/, fixed at start-up."""
    files = {}
    for folder, _, names in os.walk(STATIC):
        for name in names:
            path = os.path.join(folder, name)
            files["/static/" + os.path.relpath(path, STATIC).replace(os.sep, "/")] = path
    files["/"] = os.path.join(STATIC, "index.html")
    return files


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "nmb-dashboard/" + __version__
    protocol_version = "HTTP/1.1"
    server: "DashboardServer"

    def log_message(self, format: str, *args: Any) -> None:
        pass  # the terminal shows the run's state, not every request

    def _host_is_an_address(self) -> bool:
        """True when the request names this server by an IP address or "localhost".

        A web page from elsewhere can point its own host name at 127.0.0.1 (DNS
        rebinding) and would then read the run as that name; such requests are refused."""
        host = (self.headers.get("Host") or "").strip()
        if host.startswith("["):
            host = host[1:].partition("]")[0]
        elif host.count(":") == 1:
            host = host.partition(":")[0]
        if host.lower() == "localhost":
            return True
        try:
            ipaddress.ip_address(host)
            return True
        except ValueError:
            return False

    def do_GET(self) -> None:
        path = self.path.split("?", 1)[0]
        if not self._host_is_an_address():
            self._send(403, "text/plain; charset=utf-8", b"open the dashboard by its address, e.g. 127.0.0.1\n")
        elif path == "/events":
            self._stream()
        elif path == "/state":
            _, snapshot = self.server.run_state.snapshot()
            self._send(200, "application/json", json.dumps(snapshot, allow_nan=False).encode())
        elif path in self.server.files:
            with open(self.server.files[path], "rb") as handle:
                body = handle.read()
            kind = CONTENT_TYPES.get(os.path.splitext(self.server.files[path])[1], CONTENT_TYPES[""])
            self._send(200, kind, body)
        elif path == "/favicon.ico":
            self._send(204, "image/x-icon", b"")
        else:
            self._send(404, "text/plain; charset=utf-8", b"not found\n")

    def _send(self, status: int, kind: str, body: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.end_headers()
        self.wfile.write(body)

    def _stream(self) -> None:
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        state = self.server.run_state
        try:
            sequence, snapshot = state.snapshot()
            self._event("snapshot", snapshot)
            while not state.closing:
                events = state.wait_after(sequence, KEEPALIVE_S)
                if events is None:
                    sequence, snapshot = state.snapshot()
                    self._event("snapshot", snapshot)
                elif events:
                    for sequence, name, data in events:
                        self._event(name, data, flush=False)
                    self.wfile.flush()
                else:
                    self.wfile.write(b": keep-alive\n\n")
                    self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError, TimeoutError, OSError):
            pass  # the page went away

    def _event(self, name: str, data: Json, flush: bool = True) -> None:
        self.wfile.write(b"event: %s\ndata: %s\n\n" % (name.encode(), json.dumps(data, allow_nan=False).encode()))
        if flush:
            self.wfile.flush()


class DashboardServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address: Tuple[str, int], run_state: RunState) -> None:
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        self.run_state = run_state
        self.files = static_files()
        super().__init__(address, Handler)


CLONE_NEWNET = 0x40000000


def enter_network_namespace(name: str) -> None:
    """Moves the calling thread (only it, on Linux) into a network namespace: `name` as
    `ip netns` names it, or a path such as /proc/PID/ns/net.  Needs root (CAP_SYS_ADMIN)."""
    path = name if "/" in name else os.path.join("/run/netns", name)
    handle = os.open(path, os.O_RDONLY)
    try:
        if hasattr(os, "setns"):
            os.setns(handle, CLONE_NEWNET)
        else:
            import ctypes
            libc = ctypes.CDLL(None, use_errno=True)
            if libc.setns(handle, CLONE_NEWNET) != 0:
                error = ctypes.get_errno()
                raise OSError(error, os.strerror(error), path)
    finally:
        os.close(handle)


class Started(threading.Event):
    """Set by the follower's thread once it is where it follows from; `outcome` is
    [] or [the exception that kept it from getting there]."""

    def __init__(self) -> None:
        super().__init__()
        self.outcome: List[BaseException] = []


def follow(follower: RunFollower, run_state: RunState, netns: Optional[str] = None,
           started: Optional[Started] = None) -> None:
    """Feeds the follower's events to the page; an unexpected fault is shown and the following restarts.

    With `netns` this thread first moves into that network namespace, so the plug-in is
    reached there while the page is served where the program started; `started` gets the
    outcome ([] or [the exception]) and is set."""
    outcome: List[BaseException] = []
    if netns:
        try:
            enter_network_namespace(netns)
        except OSError as exc:
            outcome.append(exc)
    if started is not None:
        started.outcome = outcome
        started.set()
    if outcome:
        return
    while not follower.stopped:
        try:
            for event in follower.events():
                run_state.apply(event)
        except Exception as exc:  # the page must keep showing something true, not freeze
            print("nmb dashboard: %s: %s" % (type(exc).__name__, exc), file=sys.stderr)
            run_state.apply(State(LOST, "%s: %s" % (type(exc).__name__, exc)))
            time.sleep(1.0)


def serve(args: argparse.Namespace, out: TextIO) -> int:
    """Runs the dashboard until Ctrl-C; returns the exit status."""
    settings = {"window": args.window, "baseline": [args.baseline.first, args.baseline.last]}
    run_state = RunState(settings)
    try:
        server = DashboardServer((args.bind, args.http_port), run_state)
    except OSError as exc:
        print("nmb dashboard: cannot serve on %s:%d: %s" % (args.bind, args.http_port, exc), file=sys.stderr)
        return 2
    # The bound address, as the socket reports it (server_address is typed as
    # what binding accepts, which includes bytes).
    host, port = server.socket.getsockname()[:2]
    try:
        public = not ipaddress.ip_address(host).is_loopback
    except ValueError:
        public = True
    if public:
        print("nmb dashboard: warning: serving on %s, reachable from other computers; the page has no "
              "password and shows the run to anyone who can reach this port" % host, file=sys.stderr)
    from ..live import open_listener, quality_wanted
    follower = RunFollower(args.host, args.port, args.timeout, wait=math.inf, quality=quality_wanted(args),
                           spike_threshold=args.spike_threshold)
    listener = open_listener(args)
    if listener is not None:
        threading.Thread(target=relay_arrivals, args=(listener, run_state), name="nmb-dashboard-events",
                         daemon=True).start()
    started = Started()
    thread = threading.Thread(target=follow, args=(follower, run_state, args.netns, started),
                              name="nmb-dashboard-follower", daemon=True)
    thread.start()
    started.wait()
    if started.outcome:
        print("nmb dashboard: cannot enter the network namespace %s: %s" % (args.netns, started.outcome[0]),
              file=sys.stderr)
        server.server_close()
        return 2
    shown = "[%s]" % host if ":" in host else host
    print("dashboard of %s:%d on http://%s:%d/ (Ctrl-C ends it)" % (args.host, args.port, shown, port),
          file=out, flush=True)
    try:
        server.serve_forever(poll_interval=0.25)
    except KeyboardInterrupt:
        pass
    finally:
        follower.stop()
        run_state.close()
        server.server_close()
        thread.join(5)
        if listener is not None:
            listener.stop()
    return 0


# How often the page's ledger takes in the marks and triggers that arrived.
RELAY_S = 0.1


def relay_arrivals(listener: EventListener, run_state: RunState) -> None:
    while not run_state.closing:
        run_state.apply_arrivals(listener.drain())
        time.sleep(RELAY_S)
