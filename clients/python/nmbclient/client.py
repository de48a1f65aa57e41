"""Client: a request connection to the plug-in, one method per request.

    from nmbclient import Client
    with Client("127.0.0.1", 55555) as c:
        print(c.handshake_version)          # (2, 0, 0)
        print(c.nr_of_rois(), c.mean_of_roi(0))
        volume = c.volume_at_time(0)        # numpy (dimZ, dimY, dimX) int16

Each method sends one request, waits for its reply (at most `timeout`
seconds), checks that the reply echoes the request's name and arguments and
returns typed values: int, float, str, tuples, and for runs of values numpy
arrays (int16 volumes, float32 maps, means and correlations) or, without numpy
or with use_numpy=False, array.array.  `last_received_at` holds the
time.monotonic() at which the last reply's final byte arrived.

Arguments are checked before anything is sent: every index must be a whole
number (mean_of_roi(0.5) or mean_of_roi("0") raise TypeError rather than ask
for ROI 0).  With `wait` (seconds) the client waits for a host that is not up
yet, as a stimulus program started before the host needs.

Time points: on the host's current time point n the newest recorded volume is
n - 1 (newest_time_point()), and a windowed correlation over w time points
needs n >= w (window_ready(w)).

Calls from several threads are serialised (each exchange holds a lock), so
a notification callback may share the client with the main program; for
parallel requests open one Client per thread.  After a time-out, a lost
connection or a malformed reply it is closed (the stream is no longer in
step); `reconnect()` opens a new connection.
"""

import collections
import threading
from typing import Optional

from . import requests, wire
from .connection import MAX_REPLY_BYTES, request_connection
from .errors import ConnectionLost, NimbrelError, NmbError, ProtocolError
from .shapes import catch_up_calls, join_catch_up, reshape_maps, reshape_volume

Reply = collections.namedtuple("Reply", "name body payload received_at")
Reply.__doc__ = """A raw reply: echoed `name`, whole `body`, `payload` (the values: the bytes
after the name and, for a request the client knows, after the echoed
arguments) and `received_at`, the time.monotonic() of its last byte."""


class Client:
    def __init__(self, host="127.0.0.1", port=55555, timeout=10.0, use_numpy=True,
                 max_reply_bytes=MAX_REPLY_BYTES, wait=None):
        self.host = host
        self.port = port
        self.timeout = timeout
        self.wait = wait
        self.use_numpy = use_numpy and wire.numpy_available()
        self.max_reply_bytes = max_reply_bytes
        self.last_received_at = None
        self._conn = None
        self._lock = threading.Lock()
        # The newest ROI count the plug-in reported, for the context of an
        # out-of-range refusal.
        self._known_rois = None
        self.reconnect()

    # -- connection ---------------------------------------------------------

    def reconnect(self, wait=None):
        """Closes the connection if open and opens a new one with a fresh handshake,
        waiting up to `wait` seconds (default: the client's own `wait`) for the host."""
        with self._lock:
            if self._conn is not None:
                self._conn.close()
            self._conn = request_connection(self.host, self.port, self.timeout, self.max_reply_bytes,
                                            wait=self.wait if wait is None else wait)

    @property
    def handshake_version(self):
        """The three integers of the handshake answer, (2, 0, 0) for this plug-in."""
        return self._conn.version

    @property
    def connected(self):
        return self._conn is not None and self._conn.is_open

    def close(self):
        if self._conn is not None:
            self._conn.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- generic calls ------------------------------------------------------

    def _exchange(self, frames, count):
        """Sends the frames in one write and receives `count` reply bodies in order."""
        with self._lock:
            if self._conn is None or not self._conn.is_open:
                raise ConnectionLost("not connected to %s:%d; call reconnect()" % (self.host, self.port))
            self._conn.send(b"".join(frames))
            bodies = []
            for _ in range(count):
                body, received_at = self._conn.receive()
                self.last_received_at = received_at
                bodies.append((body, received_at))
            return bodies

    def call_many(self, calls, errors="raise"):
        """Sends several requests back to back and returns their decoded values in order.

        `calls` is a list of (request name or method name, args).  The plug-in
        answers in order, so this costs one round trip.  Every reply is read
        before an error is reported, which keeps the connection usable after an
        error reply: with errors="raise" the first NimbrelError is raised, with
        errors="return" it stands in the list in place of its value.
        """
        resolved = []
        for name, args in calls:
            request = requests.lookup(name)
            if request is None:
                raise ValueError("unknown request %r" % name)
            resolved.append((request, requests.check_args(request, tuple(args))))
        bodies = self._exchange([wire.encode_request(r.name, a) for r, a in resolved], len(resolved))
        values, first_error = [], None
        for (request, args), (body, _) in zip(resolved, bodies):
            try:
                value = requests.decode_reply(request, body, args, self.use_numpy)
                if request.method == "nr_of_rois":
                    self._known_rois = value
                values.append(value)
            except NimbrelError as exc:
                exc = self._with_context(exc, request, args)
                values.append(exc)
                first_error = first_error or exc
            except ProtocolError:
                self.close()
                raise
        if first_error is not None and errors == "raise":
            raise first_error
        return values

    def _call(self, method, *args):
        return self.call_many([(method, args)])[0]

    def _with_context(self, exc: NimbrelError, request: requests.Request, args: tuple) -> NimbrelError:
        """The refusal with the valid range of the index the host refused: the ROIs
        (asking for their count when no earlier reply gave it) or the time points
        recorded so far.  Costs a round trip only for a refused request."""
        hints = []
        if "roi" in request.params:
            rois = self._known_rois if self._known_rois is not None else self._ask("nr_of_rois")
            roi = args[request.params.index("roi")]
            if rois is not None and not 0 <= roi < rois:
                hints.append("the host has no ROIs" if rois <= 0 else "ROI %d asked; the host has %d ROI%s, 0 to %d"
                             % (roi, rois, "" if rois == 1 else "s", rois - 1))
        # A window's time point has its own rules (a full window before it).
        names = [n for n in ("time_point", "end_time_point") if n in request.params and "window" not in request.params]
        if names:
            current = self._ask("current_time_point")
            asked = args[request.params.index(names[0])]
            if current is not None and not 0 <= asked < current:
                hints.append("time point %d asked; %s" % (asked, "the host has no volume yet" if current <= 0 else
                                                          "the host has %d volume%s, time points 0 to %d"
                                                          % (current, "" if current == 1 else "s", current - 1)))
        return NimbrelError(exc.text, "; ".join(hints)) if hints else exc

    def _ask(self, method: str) -> Optional[int]:
        """An int request's answer, None if the host refuses it or the connection fails."""
        try:
            value = self.call_many([(method, ())], errors="return")[0]
        except NmbError:
            return None
        return value if isinstance(value, int) else None

    def request(self, name, *ints):
        """Sends any request by its wire name with integer arguments; returns the raw Reply.

        Error replies raise NimbrelError.  For a request the client knows, the
        echoed arguments are checked too, and `payload` starts after them.
        """
        ints = tuple(requests.whole_number(value, "%s's arguments" % name) for value in ints)
        [(body, received_at)] = self._exchange([wire.encode_request(name, ints)], 1)
        request = requests.BY_NAME.get(name)
        echo = requests.echoed_args(request, ints) if request is not None else ()
        try:
            reader = requests.open_reply(body, name, echo, self.use_numpy)
        except ProtocolError:
            self.close()
            raise
        if reader is None:
            return Reply("", bytes(body), b"", received_at)
        payload = bytes(body[len(body) - reader.remaining:])
        return Reply(name, bytes(body), payload, received_at)

    # -- one method per request, in the plug-in's order -----------------------

    def current_time_point(self):
        return self._call("current_time_point")

    def expected_nr_of_time_points(self):
        return self._call("expected_nr_of_time_points")

    def dims_of_functional_data(self):
        """(dimX, dimY, dimZ) of the functional volumes."""
        return self._call("dims_of_functional_data")

    def project_name(self):
        return self._call("project_name")

    def watch_folder(self):
        return self._call("watch_folder")

    def target_folder(self):
        return self._call("target_folder")

    def feedback_folder(self):
        return self._call("feedback_folder")

    def current_protocol_condition(self):
        return self._call("current_protocol_condition")

    def full_nr_of_predictors(self):
        return self._call("full_nr_of_predictors")

    def current_nr_of_predictors(self):
        return self._call("current_nr_of_predictors")

    def nr_of_confound_predictors(self):
        return self._call("nr_of_confound_predictors")

    def value_of_design_matrix(self, predictor, time_point):
        return self._call("value_of_design_matrix", predictor, time_point)

    def nr_of_contrasts(self):
        return self._call("nr_of_contrasts")

    def nr_of_rois(self):
        return self._call("nr_of_rois")

    def mean_of_roi(self, roi):
        return self._call("mean_of_roi", roi)

    def detrended_value_of_roi(self, roi):
        return self._call("detrended_value_of_roi", roi)

    def existing_means_of_roi(self, roi, end_time_point):
        """The ROI's means at time points 0 .. end_time_point - 1 (float32 run)."""
        return self._call("existing_means_of_roi", roi, end_time_point)

    def mean_of_roi_at_time_point(self, roi, time_point):
        return self._call("mean_of_roi_at_time_point", roi, time_point)

    def nr_of_voxels_of_roi(self, roi):
        return self._call("nr_of_voxels_of_roi", roi)

    def beta_of_roi(self, roi, beta):
        return self._call("beta_of_roi", roi, beta)

    def coords_of_voxel_of_roi(self, roi, voxel):
        """(x, y, z) of one voxel of the ROI."""
        return self._call("coords_of_voxel_of_roi", roi, voxel)

    def all_coords_of_voxels_of_roi(self, roi):
        """Every voxel's (x, y, z): an (m, 3) int32 array, or a list of tuples without numpy."""
        return self._call("all_coords_of_voxels_of_roi", roi)

    def value_of_voxel_at_time(self, x, y, z, time_point):
        return self._call("value_of_voxel_at_time", x, y, z, time_point)

    def value_of_all_voxels_at_time(self, time_point):
        """One volume as Nimbrel holds it: a flat int16 run in the host's voxel order."""
        return self._call("value_of_all_voxels_at_time", time_point)

    def raw_value_of_all_voxels_at_time(self, time_point):
        """One volume from the plug-in's own copy of the run: a flat int16 run."""
        return self._call("raw_value_of_all_voxels_at_time", time_point)

    def beta_of_voxel(self, beta, x, y, z):
        return self._call("beta_of_voxel", beta, x, y, z)

    def beta_maps(self, shaped=False):
        """All beta maps, map after map: a flat float32 run of voxels x current predictors.

        With `shaped` a numpy array (maps, dimZ, dimY, dimX), built from the
        dimensions and the predictor count asked in the same round trip, so the
        counts belong to the maps."""
        if not shaped:
            return self._call("beta_maps")
        dims, maps, flat = self.call_many([("dims_of_functional_data", ()), ("current_nr_of_predictors", ()),
                                           ("beta_maps", ())])
        return reshape_maps(flat, maps, dims)

    def map_value_of_voxel(self, map_index, x, y, z):
        return self._call("map_value_of_voxel", map_index, x, y, z)

    def contrast_maps(self, shaped=False):
        """All contrast maps, map after map: a flat float32 run of voxels x contrasts.

        With `shaped` a numpy array (maps, dimZ, dimY, dimX), as beta_maps()."""
        if not shaped:
            return self._call("contrast_maps")
        dims, maps, flat = self.call_many([("dims_of_functional_data", ()), ("nr_of_contrasts", ()),
                                           ("contrast_maps", ())])
        return reshape_maps(flat, maps, dims)

    def number_of_classes(self):
        return self._call("number_of_classes")

    def current_classifier_output(self):
        """ClassifierOutput(result, values) with one float32 per pair of classes, or None
        when the plug-in sends its empty reply (a classifier state it has no text for)."""
        return self._call("current_classifier_output")

    def pearson_correlation(self, window):
        """Pearson r of every ROI pair over the last `window` time points, in pair order
        (0,1), (0,2), ..., (R-2,R-1); see correlation_matrix()."""
        return self._call("pearson_correlation", window)

    def pearson_correlation_at_time_point(self, window, time_point):
        return self._call("pearson_correlation_at_time_point", window, time_point)

    def partial_correlation(self, window):
        return self._call("partial_correlation", window)

    def partial_correlation_at_time_point(self, window, time_point):
        return self._call("partial_correlation_at_time_point", window, time_point)

    def instant_proxy_correlation(self, window):
        return self._call("instant_proxy_correlation", window)

    def instant_proxy_correlation_at_time_point(self, window, time_point):
        return self._call("instant_proxy_correlation_at_time_point", window, time_point)

    # -- what users always write themselves ----------------------------------

    def newest_time_point(self):
        """The time point of the newest recorded volume: the current time point - 1,
        or None before the run's first volume.  The requests "at time point t"
        accept t up to this one."""
        current = self.current_time_point()
        return current - 1 if current > 0 else None

    def window_ready(self, window):
        """True when the run has enough volumes for a windowed correlation over
        `window` time points (the window ends before the current time point)."""
        return self.current_time_point() >= window

    def roi_means(self, nr_of_rois=None):
        """The current mean of every ROI, asked back to back in one round trip.

        Without `nr_of_rois` the count is asked first (one more round trip).
        Returns a list of floats; `last_received_at` is the receive time of the last.
        """
        if nr_of_rois is None:
            nr_of_rois = self.nr_of_rois()
        return self.call_many([("mean_of_roi", (roi,)) for roi in range(nr_of_rois)])

    def volume_at_time(self, time_point, raw=False, order="C"):
        """One volume reshaped with the dimensions the host reports.

        The host's linear voxel order is taken to run x fastest:
        index = x + dimX * (y + dimY * z).  order="C" gives shape (dimZ, dimY,
        dimX), so volume[z, y, x]; order="F" gives shape (dimX, dimY, dimZ), so
        volume[x, y, z].  `raw` reads the plug-in's own copy of the run.
        Needs numpy.
        """
        dims, flat = self.call_many([
            ("dims_of_functional_data", ()),
            ("raw_value_of_all_voxels_at_time" if raw else "value_of_all_voxels_at_time", (time_point,)),
        ])
        return reshape_volume(flat, dims, order)

    def catch_up(self, since=0, nr_of_rois=None):
        """The ROI means of the time points from `since` up to the latest one the
        plug-in has recorded, e.g. the ones missed while disconnected.

        Returns (first time point, rows): rows[r] is a float32 run of ROI r's
        means at time points first, first + 1, ...; empty runs when nothing new.
        """
        if nr_of_rois is None:
            nr_of_rois = self.nr_of_rois()
        current = self.current_time_point()
        calls = catch_up_calls(nr_of_rois, current)
        values = self.call_many(calls) if calls else []
        return join_catch_up(values, nr_of_rois, since, self.use_numpy)
