"""Client: a request connection to the plug-in, one method per request.

    from nmbclient import Client
    with Client("127.0.0.1", 55555) as c:
        print(c.handshake_version)          # (2, 0, 0)
        print(c.nr_of_rois(), c.mean_of_roi(0))
        volume = c.volume_at_time(0)        # numpy (dimZ, dimY, dimX) int16

Each method sends one request, waits for its reply (at most `timeout`
seconds), checks that the reply echoes the request's name and arguments and
returns typed values: int, float, str, tuples, and for runs of values
array.array (int16 volumes, float32 maps, means and correlations) or, with
use_numpy=True, numpy arrays of the same types; whether numpy is installed
never changes what comes back.  `last_received_at` holds the
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

import threading
from typing import Any, Dict, Iterable, List, Literal, NamedTuple, Optional, Sequence, Tuple, TypeVar, overload

from . import request_table, wire
from .connection import MAX_REPLY_BYTES, Connection, request_connection
from .errors import ConnectionLost, Error, ProtocolError, RequestRefused
from .request_table import ClassifierOutput, Index, Request
from .shapes import catch_up_calls, join_catch_up, reshape_maps, reshape_volume
from .wire import Coordinates, RealArray, RealRun, SampleArray, SampleRun

T = TypeVar("T")
_Self = TypeVar("_Self", bound="Client")


class Reply(NamedTuple):
    """A raw reply: echoed `name`, whole `body`, `payload` (the values: the bytes
    after the name and, for a request the client knows, after the echoed
    arguments) and `received_at`, the time.monotonic() of its last byte."""

    name: str
    body: bytes
    payload: bytes
    received_at: float


def _legacy_raise_on_error(raise_on_error: bool, legacy: Dict[str, str]) -> bool:
    """call_many()'s `raise_on_error`, or what the earlier keyword errors= says."""
    errors = legacy.pop("errors", None)
    if legacy:
        raise TypeError("call_many() got an unexpected keyword argument %r" % next(iter(legacy)))
    if errors is None:
        return raise_on_error
    if errors not in ("raise", "return"):
        raise TypeError('call_many(errors=...) takes "raise" or "return", not %r (use raise_on_error=)' % (errors,))
    return errors == "raise"


class Client:
    def __init__(self, host: str = "127.0.0.1", port: int = 55555, timeout: float = 10.0, use_numpy: bool = False,
                 max_reply_bytes: int = MAX_REPLY_BYTES, wait: Optional[float] = None) -> None:
        self.host = host
        self.port = port
        self.timeout = timeout
        self.wait = wait
        if use_numpy:
            wire.need_numpy("Client(use_numpy=True)")
        self.use_numpy = use_numpy
        self.max_reply_bytes = max_reply_bytes
        self.last_received_at: Optional[float] = None
        self._lock = threading.Lock()
        # The newest ROI count the plug-in reported, for the context of an
        # out-of-range refusal.
        self._known_rois: Optional[int] = None
        self._conn = self._open(wait)

    # -- connection ---------------------------------------------------------

    def _open(self, wait: Optional[float]) -> Connection:
        return request_connection(self.host, self.port, self.timeout, self.max_reply_bytes, wait=wait)

    def reconnect(self, wait: Optional[float] = None) -> None:
        """Closes the connection if open and opens a new one with a fresh handshake,
        waiting up to `wait` seconds (default: the client's own `wait`) for the host."""
        with self._lock:
            self._conn.close()
            self._conn = self._open(self.wait if wait is None else wait)

    @property
    def handshake_version(self) -> Tuple[int, int, int]:
        """The three integers of the handshake answer, (2, 0, 0) for this plug-in."""
        return self._conn.version

    @property
    def connected(self) -> bool:
        return self._conn.is_open

    def close(self) -> None:
        self._conn.close()

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- generic calls ------------------------------------------------------

    def _exchange(self, frames: Iterable[bytes], count: int) -> List[Tuple[bytearray, float]]:
        """Sends the frames in one write and receives `count` reply bodies in order."""
        with self._lock:
            if not self._conn.is_open:
                raise ConnectionLost("not connected to %s:%d; call reconnect()" % (self.host, self.port))
            self._conn.send(b"".join(frames))
            bodies = []
            for _ in range(count):
                body, received_at = self._conn.receive()
                self.last_received_at = received_at
                bodies.append((body, received_at))
            return bodies

    def call_many(self, calls: Iterable[Tuple[str, Sequence[object]]], raise_on_error: bool = True,
                  **legacy: str) -> List[Any]:
        """Sends several requests back to back and returns their decoded values in order.

        `calls` is a list of (request name or method name, args).  The plug-in
        answers in order, so this costs one round trip.  Every reply is read
        before an error is reported, which keeps the connection usable after an
        error reply: with `raise_on_error` the first RequestRefused is raised,
        without it the refusal stands in the list in place of its value.  The
        values are those of the requests' own methods, so their types differ (Any).

        The earlier spelling errors="raise" / errors="return" is still understood;
        any other value of it, or any other keyword, is a TypeError.
        """
        raise_on_error = _legacy_raise_on_error(raise_on_error, legacy)
        resolved: List[Tuple[Request[object], Tuple[int, ...]]] = []
        for name, args in calls:
            request = request_table.lookup(name)
            if request is None:
                raise ValueError("unknown request %r" % name)
            resolved.append((request, request_table.check_args(request, tuple(args))))
        bodies = self._exchange([wire.encode_request(r.name, a) for r, a in resolved], len(resolved))
        values: List[Any] = []
        first_error: Optional[RequestRefused] = None
        for (request, args), (body, _) in zip(resolved, bodies):
            try:
                values.append(self._decode(request, body, args))
            except RequestRefused as exc:
                values.append(exc)
                first_error = first_error or exc
        if first_error is not None and raise_on_error:
            raise first_error
        return values

    def _decode(self, request: Request[T], body: bytes, args: Tuple[int, ...]) -> T:
        """The value of one reply; a refusal raised with the valid range of what was
        asked, a reply out of step closes the connection."""
        try:
            value = request_table.decode_reply(request, body, args, self.use_numpy)
        except RequestRefused as exc:
            raise self._with_context(exc, request, args) from None
        except ProtocolError:
            self.close()
            raise
        if request is request_table.NR_OF_ROIS and isinstance(value, int):
            self._known_rois = value
        return value

    def _call(self, request: Request[T], *args: Index) -> T:
        """Sends one request and returns its typed value."""
        checked = request_table.check_args(request, args)
        [(body, _)] = self._exchange([wire.encode_request(request.name, checked)], 1)
        return self._decode(request, body, checked)

    def _with_context(self, exc: RequestRefused, request: Request[object], args: Tuple[int, ...]) -> RequestRefused:
        """The refusal with the valid range of the index the host refused: the ROIs
        (asking for their count when no earlier reply gave it) or the time points
        recorded so far.  Costs a round trip only for a refused request."""
        hints = []
        if "roi" in request.params:
            rois = self._known_rois if self._known_rois is not None else self._ask(request_table.NR_OF_ROIS)
            roi = args[request.params.index("roi")]
            if rois is not None and not 0 <= roi < rois:
                hints.append("the host has no ROIs" if rois <= 0 else "ROI %d asked; the host has %d ROI%s, 0 to %d"
                             % (roi, rois, "" if rois == 1 else "s", rois - 1))
        # A window's time point has its own rules (a full window before it).
        names = [n for n in ("time_point", "end_time_point") if n in request.params and "window" not in request.params]
        if names:
            current = self._ask(request_table.CURRENT_TIME_POINT)
            asked = args[request.params.index(names[0])]
            if current is not None and not 0 <= asked < current:
                hints.append("time point %d asked; %s" % (asked, "the host has no volume yet" if current <= 0 else
                                                          "the host has %d volume%s, time points 0 to %d"
                                                          % (current, "" if current == 1 else "s", current - 1)))
        return RequestRefused(exc.text, "; ".join(hints)) if hints else exc

    def _ask(self, request: Request[int]) -> Optional[int]:
        """An int request's answer, None if the host refuses it or the connection fails."""
        try:
            return self._call(request)
        except Error:
            return None

    def request(self, name: str, *ints: object) -> Reply:
        """Sends any request by its wire name with integer arguments; returns the raw Reply.

        Error replies raise RequestRefused.  For a request the client knows, the
        echoed arguments are checked too, and `payload` starts after them.
        """
        values = tuple(request_table.whole_number(value, "%s's arguments" % name) for value in ints)
        [(body, received_at)] = self._exchange([wire.encode_request(name, values)], 1)
        request = request_table.BY_NAME.get(name)
        echo = request_table.echoed_args(request, values) if request is not None else ()
        try:
            reader = request_table.open_reply(body, name, echo, self.use_numpy)
        except ProtocolError:
            self.close()
            raise
        if reader is None:
            return Reply("", bytes(body), b"", received_at)
        payload = bytes(body[len(body) - reader.remaining:])
        return Reply(name, bytes(body), payload, received_at)

    # -- one method per request, in the plug-in's order -----------------------

    def current_time_point(self) -> int:
        return self._call(request_table.CURRENT_TIME_POINT)

    def expected_nr_of_time_points(self) -> int:
        return self._call(request_table.EXPECTED_NR_OF_TIME_POINTS)

    def dims_of_functional_data(self) -> Tuple[int, int, int]:
        """(dimX, dimY, dimZ) of the functional volumes."""
        return self._call(request_table.DIMS_OF_FUNCTIONAL_DATA)

    def project_name(self) -> Optional[str]:
        return self._call(request_table.PROJECT_NAME)

    def watch_folder(self) -> Optional[str]:
        return self._call(request_table.WATCH_FOLDER)

    def target_folder(self) -> Optional[str]:
        return self._call(request_table.TARGET_FOLDER)

    def feedback_folder(self) -> Optional[str]:
        return self._call(request_table.FEEDBACK_FOLDER)

    def current_protocol_condition(self) -> int:
        return self._call(request_table.CURRENT_PROTOCOL_CONDITION)

    def full_nr_of_predictors(self) -> int:
        return self._call(request_table.FULL_NR_OF_PREDICTORS)

    def current_nr_of_predictors(self) -> int:
        return self._call(request_table.CURRENT_NR_OF_PREDICTORS)

    def nr_of_confound_predictors(self) -> int:
        return self._call(request_table.NR_OF_CONFOUND_PREDICTORS)

    def value_of_design_matrix(self, predictor: Index, time_point: Index) -> float:
        return self._call(request_table.VALUE_OF_DESIGN_MATRIX, predictor, time_point)

    def nr_of_contrasts(self) -> int:
        return self._call(request_table.NR_OF_CONTRASTS)

    def nr_of_rois(self) -> int:
        return self._call(request_table.NR_OF_ROIS)

    def mean_of_roi(self, roi: Index) -> float:
        return self._call(request_table.MEAN_OF_ROI, roi)

    def detrended_value_of_roi(self, roi: Index) -> float:
        return self._call(request_table.DETRENDED_VALUE_OF_ROI, roi)

    def existing_means_of_roi(self, roi: Index, end_time_point: Index) -> RealRun:
        """The ROI's means at time points 0 .. end_time_point - 1 (float32 run)."""
        return self._call(request_table.EXISTING_MEANS_OF_ROI, roi, end_time_point)

    def mean_of_roi_at_time_point(self, roi: Index, time_point: Index) -> float:
        return self._call(request_table.MEAN_OF_ROI_AT_TIME_POINT, roi, time_point)

    def nr_of_voxels_of_roi(self, roi: Index) -> int:
        return self._call(request_table.NR_OF_VOXELS_OF_ROI, roi)

    def beta_of_roi(self, roi: Index, beta: Index) -> float:
        return self._call(request_table.BETA_OF_ROI, roi, beta)

    def coords_of_voxel_of_roi(self, roi: Index, voxel: Index) -> Tuple[int, int, int]:
        """(x, y, z) of one voxel of the ROI."""
        return self._call(request_table.COORDS_OF_VOXEL_OF_ROI, roi, voxel)

    def all_coords_of_voxels_of_roi(self, roi: Index) -> Coordinates:
        """Every voxel's (x, y, z): a list of tuples, or with use_numpy an (m, 3) int32 array."""
        return self._call(request_table.ALL_COORDS_OF_VOXELS_OF_ROI, roi)

    def value_of_voxel_at_time(self, x: Index, y: Index, z: Index, time_point: Index) -> float:
        return self._call(request_table.VALUE_OF_VOXEL_AT_TIME, x, y, z, time_point)

    def value_of_all_voxels_at_time(self, time_point: Index) -> SampleRun:
        """One volume as Nimbrel holds it: a flat int16 run in the host's voxel order."""
        return self._call(request_table.VALUE_OF_ALL_VOXELS_AT_TIME, time_point)

    def raw_value_of_all_voxels_at_time(self, time_point: Index) -> SampleRun:
        """One volume from the plug-in's own copy of the run: a flat int16 run."""
        return self._call(request_table.RAW_VALUE_OF_ALL_VOXELS_AT_TIME, time_point)

    def beta_of_voxel(self, beta: Index, x: Index, y: Index, z: Index) -> float:
        return self._call(request_table.BETA_OF_VOXEL, beta, x, y, z)

    @overload
    def beta_maps(self, shaped: Literal[False] = False) -> RealRun: ...

    @overload
    def beta_maps(self, shaped: Literal[True]) -> RealArray: ...

    @overload
    def beta_maps(self, shaped: bool) -> RealRun: ...

    def beta_maps(self, shaped: bool = False) -> RealRun:
        """All beta maps, map after map: a flat float32 run of voxels x current predictors.

        With `shaped` a numpy array (maps, dimZ, dimY, dimX), built from the
        dimensions and the predictor count asked in the same round trip, so the
        counts belong to the maps."""
        return self._maps(request_table.BETA_MAPS, request_table.CURRENT_NR_OF_PREDICTORS, shaped)

    def map_value_of_voxel(self, map_index: Index, x: Index, y: Index, z: Index) -> float:
        return self._call(request_table.MAP_VALUE_OF_VOXEL, map_index, x, y, z)

    @overload
    def contrast_maps(self, shaped: Literal[False] = False) -> RealRun: ...

    @overload
    def contrast_maps(self, shaped: Literal[True]) -> RealArray: ...

    @overload
    def contrast_maps(self, shaped: bool) -> RealRun: ...

    def contrast_maps(self, shaped: bool = False) -> RealRun:
        """All contrast maps, map after map: a flat float32 run of voxels x contrasts.

        With `shaped` a numpy array (maps, dimZ, dimY, dimX), as beta_maps()."""
        return self._maps(request_table.CONTRAST_MAPS, request_table.NR_OF_CONTRASTS, shaped)

    def _maps(self, request: Request[RealRun], count: Request[int], shaped: bool) -> RealRun:
        """The run of a map request; shaped, with the dimensions and the map count
        asked in the same round trip."""
        if not shaped:
            return self._call(request)
        dims, maps, flat = self.call_many([(request_table.DIMS_OF_FUNCTIONAL_DATA.name, ()), (count.name, ()),
                                           (request.name, ())])
        return reshape_maps(flat, maps, dims)

    def number_of_classes(self) -> int:
        return self._call(request_table.NUMBER_OF_CLASSES)

    def current_classifier_output(self) -> Optional[ClassifierOutput]:
        """ClassifierOutput(result, values) with one float32 per pair of classes, or None
        when the plug-in sends its empty reply (a classifier state it has no text for)."""
        return self._call(request_table.CURRENT_CLASSIFIER_OUTPUT)

    def pearson_correlation(self, window: Index) -> RealRun:
        """Pearson r of every ROI pair over the last `window` time points, in pair order
        (0,1), (0,2), ..., (R-2,R-1); see correlation_matrix()."""
        return self._call(request_table.PEARSON_CORRELATION, window)

    def pearson_correlation_at_time_point(self, window: Index, time_point: Index) -> RealRun:
        return self._call(request_table.PEARSON_CORRELATION_AT_TIME_POINT, window, time_point)

    def partial_correlation(self, window: Index) -> RealRun:
        return self._call(request_table.PARTIAL_CORRELATION, window)

    def partial_correlation_at_time_point(self, window: Index, time_point: Index) -> RealRun:
        return self._call(request_table.PARTIAL_CORRELATION_AT_TIME_POINT, window, time_point)

    def instant_proxy_correlation(self, window: Index) -> float:
        return self._call(request_table.INSTANT_PROXY_CORRELATION, window)

    def instant_proxy_correlation_at_time_point(self, window: Index, time_point: Index) -> float:
        return self._call(request_table.INSTANT_PROXY_CORRELATION_AT_TIME_POINT, window, time_point)

    # -- what users always write themselves ----------------------------------

    def newest_time_point(self) -> Optional[int]:
        """The time point of the newest recorded volume: the current time point - 1,
        or None before the run's first volume.  The requests "at time point t"
        accept t up to this one."""
        current = self.current_time_point()
        return current - 1 if current > 0 else None

    def window_ready(self, window: int) -> bool:
        """True when the run has enough volumes for a windowed correlation over
        `window` time points (the window ends before the current time point)."""
        return self.current_time_point() >= window

    def roi_means(self, nr_of_rois: Optional[int] = None) -> List[float]:
        """The current mean of every ROI, asked back to back in one round trip.

        Without `nr_of_rois` the count is asked first (one more round trip).
        Returns a list of floats; `last_received_at` is the receive time of the last.
        """
        if nr_of_rois is None:
            nr_of_rois = self.nr_of_rois()
        return self.call_many([("mean_of_roi", (roi,)) for roi in range(nr_of_rois)])

    def volume_at_time(self, time_point: Index, raw: bool = False, order: str = "C") -> SampleArray:
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

    def catch_up(self, since: int = 0, nr_of_rois: Optional[int] = None) -> Tuple[int, List[RealRun]]:
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
