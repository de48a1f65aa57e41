"""The 37 requests the plug-in answers: wire name, arguments and reply decoding.

A successful reply body is the request name, the echo of every argument as a
32-bit int, then the values.  `decode_reply` checks the echo against what was
sent and decodes the values with the request's value decoder; an error body
("Wrong request!" and a text) raises RequestRefused.
"""

import array
import dataclasses
import operator
from typing import (Callable, Dict, Generic, List, NamedTuple, Optional, Sequence, SupportsIndex, Tuple, TypeVar,
                    cast)

from . import texts, wire
from .errors import RequestRefused, ProtocolError
from .wire import Coordinates, IntRun, RealRun, SampleRun

T = TypeVar("T", covariant=True)

# A request argument: an int, or anything else that is a whole number to
# operator.index (numpy's integers); bools are refused all the same.
Index = SupportsIndex


@dataclasses.dataclass(frozen=True)
class Request(Generic[T]):
    """One request: `method` (the Client method's name), the wire `name`, the
    names of its integer `params` in order, and `decode`, which reads the values
    of a successful reply into what the Client method returns.  `decode_empty`
    gives the value of the empty reply (no body at all) for a request the host
    may answer so; for any other request that reply is a protocol fault."""

    method: str
    name: str
    params: Tuple[str, ...]
    decode: Callable[[wire.BodyReader], T]
    decode_empty: Optional[Callable[[], T]] = None


class ClassifierOutput(NamedTuple):
    """The classifier reply: the host's int result and one real per pair of classes."""

    result: int
    values: RealRun


def _int(reader: wire.BodyReader) -> int:
    return reader.int32()


def _real(reader: wire.BodyReader) -> float:
    return reader.float32()


def _text(reader: wire.BodyReader) -> Optional[str]:
    return reader.text()


def _three_ints(reader: wire.BodyReader) -> Tuple[int, int, int]:
    return reader.three_ints()


def _samples(reader: wire.BodyReader) -> SampleRun:
    return reader.run("int16")


def _reals(reader: wire.BodyReader) -> RealRun:
    return reader.run("float32")


def _coords(reader: wire.BodyReader) -> Coordinates:
    flat: IntRun = reader.run("int32")
    if len(flat) % 3:
        raise ProtocolError("coordinate reply holds %d ints, not a multiple of 3" % len(flat))
    if isinstance(flat, array.array):
        return [(flat[i], flat[i + 1], flat[i + 2]) for i in range(0, len(flat), 3)]
    return flat.reshape(-1, 3)


def _classifier(reader: wire.BodyReader) -> ClassifierOutput:
    result = reader.int32()
    return ClassifierOutput(result, reader.run("float32"))


def _no_classifier_output() -> None:
    """The host reported a classifier state it has no text for: no output."""
    return None


# Every request, in the plug-in's order; each _request() call appends one.
REQUESTS: List[Request[object]] = []


def _request(method: str, name: str, params: Tuple[str, ...], decode: Callable[[wire.BodyReader], T],
             decode_empty: Optional[Callable[[], T]] = None) -> Request[T]:
    request = Request(method, name, params, decode, decode_empty)
    REQUESTS.append(request)
    return request


CURRENT_TIME_POINT = _request("current_time_point", "tGetCurrentTimePoint", (), _int)
EXPECTED_NR_OF_TIME_POINTS = _request("expected_nr_of_time_points", "tGetExpectedNrOfTimePoints", (), _int)
DIMS_OF_FUNCTIONAL_DATA = _request("dims_of_functional_data", "tGetDimsOfFunctionalData", (), _three_ints)
PROJECT_NAME = _request("project_name", "tGetProjectName", (), _text)
WATCH_FOLDER = _request("watch_folder", "tGetWatchFolder", (), _text)
TARGET_FOLDER = _request("target_folder", "tGetTargetFolder", (), _text)
FEEDBACK_FOLDER = _request("feedback_folder", "tGetFeedbackFolder", (), _text)
CURRENT_PROTOCOL_CONDITION = _request("current_protocol_condition", "tGetCurrentProtocolCondition", (), _int)
FULL_NR_OF_PREDICTORS = _request("full_nr_of_predictors", "tGetFullNrOfPredictors", (), _int)
CURRENT_NR_OF_PREDICTORS = _request("current_nr_of_predictors", "tGetCurrentNrOfPredictors", (), _int)
NR_OF_CONFOUND_PREDICTORS = _request("nr_of_confound_predictors", "tGetNrOfConfoundPredictors", (), _int)
VALUE_OF_DESIGN_MATRIX = _request("value_of_design_matrix", "tGetValueOfDesignMatrix", ("predictor", "time_point"),
                                  _real)
NR_OF_CONTRASTS = _request("nr_of_contrasts", "tGetNrOfContrasts", (), _int)
NR_OF_ROIS = _request("nr_of_rois", "tGetNrOfROIs", (), _int)
MEAN_OF_ROI = _request("mean_of_roi", "tGetMeanOfROI", ("roi",), _real)
DETRENDED_VALUE_OF_ROI = _request("detrended_value_of_roi", "tGetDetrendedValueOfROI", ("roi",), _real)
EXISTING_MEANS_OF_ROI = _request("existing_means_of_roi", "tGetExistingMeansOfROI", ("roi", "end_time_point"),
                                 _reals)
MEAN_OF_ROI_AT_TIME_POINT = _request("mean_of_roi_at_time_point", "tGetMeanOfROIAtTimePoint", ("roi", "time_point"),
                                     _real)
NR_OF_VOXELS_OF_ROI = _request("nr_of_voxels_of_roi", "tGetNrOfVoxelsOfROI", ("roi",), _int)
BETA_OF_ROI = _request("beta_of_roi", "tGetBetaOfROI", ("roi", "beta"), _real)
COORDS_OF_VOXEL_OF_ROI = _request("coords_of_voxel_of_roi", "tGetCoordsOfVoxelOfROI", ("roi", "voxel"), _three_ints)
ALL_COORDS_OF_VOXELS_OF_ROI = _request("all_coords_of_voxels_of_roi", "tGetAllCoordsOfVoxelsOfROI", ("roi",),
                                       _coords)
VALUE_OF_VOXEL_AT_TIME = _request("value_of_voxel_at_time", "tGetValueOfVoxelAtTime", ("x", "y", "z", "time_point"),
                                  _real)
VALUE_OF_ALL_VOXELS_AT_TIME = _request("value_of_all_voxels_at_time", "tGetValueOfAllVoxelsAtTime", ("time_point",),
                                       _samples)
RAW_VALUE_OF_ALL_VOXELS_AT_TIME = _request("raw_value_of_all_voxels_at_time", "tGetRawValueOfAllVoxelsAtTime",
                                           ("time_point",), _samples)
BETA_OF_VOXEL = _request("beta_of_voxel", "tGetBetaOfVoxel", ("beta", "x", "y", "z"), _real)
BETA_MAPS = _request("beta_maps", "tGetBetaMaps", (), _reals)
MAP_VALUE_OF_VOXEL = _request("map_value_of_voxel", "tGetMapValueOfVoxel", ("map", "x", "y", "z"), _real)
CONTRAST_MAPS = _request("contrast_maps", "tGetContrastMaps", (), _reals)
NUMBER_OF_CLASSES = _request("number_of_classes", "tGetNumberOfClasses", (), _int)
CURRENT_CLASSIFIER_OUTPUT: Request[Optional[ClassifierOutput]] = _request(
    "current_classifier_output", "tGetCurrentClassifierOutput", (), _classifier, _no_classifier_output)
PEARSON_CORRELATION = _request("pearson_correlation", "tGetPearsonCorrelation", ("window",), _reals)
PEARSON_CORRELATION_AT_TIME_POINT = _request("pearson_correlation_at_time_point", "tGetPearsonCorrelationAtTimePoint",
                                             ("window", "time_point"), _reals)
PARTIAL_CORRELATION = _request("partial_correlation", "tGetPartialCorrelation", ("window",), _reals)
PARTIAL_CORRELATION_AT_TIME_POINT = _request("partial_correlation_at_time_point", "tGetPartialCorrelationAtTimePoint",
                                             ("window", "time_point"), _reals)
INSTANT_PROXY_CORRELATION = _request("instant_proxy_correlation", "tGetInstantProxyCorrelation", ("window",), _real)
INSTANT_PROXY_CORRELATION_AT_TIME_POINT = _request("instant_proxy_correlation_at_time_point",
                                                   "tGetInstantProxyCorrelationAtTimePoint", ("window", "time_point"),
                                                   _real)

BY_NAME: Dict[str, Request[object]] = {r.name: r for r in REQUESTS}
BY_METHOD: Dict[str, Request[object]] = {r.method: r for r in REQUESTS}


def lookup(name: str) -> Optional[Request[object]]:
    """Finds a request by its wire name ("tGetNrOfROIs") or method name ("nr_of_rois")."""
    return BY_NAME.get(name) or BY_METHOD.get(name)


def check_args(request: Request[object], args: Sequence[object]) -> Tuple[int, ...]:
    """The arguments of a call to `request` as ints; a TypeError when there are
    not exactly as many as the request takes or one is not a whole number (a
    float, a string or a bool would otherwise be sent as some other index)."""
    if len(args) != len(request.params):
        raise TypeError("%s takes %d argument%s (%s), %d given" % (
            request.method, len(request.params), "" if len(request.params) == 1 else "s",
            ", ".join(request.params) or "none", len(args)))
    return tuple(whole_number(value, "%s's %s" % (request.method, param))
                 for value, param in zip(args, request.params))


def whole_number(value: object, what: str = "a request argument") -> int:
    """`value` as an int, refusing bools, floats, strings and anything else that is
    not an integer (numpy integers are fine)."""
    if isinstance(value, bool):
        raise TypeError("%s must be a whole number, not %r" % (what, value))
    try:
        # operator.index itself refuses what has no __index__.
        number = operator.index(cast(SupportsIndex, value))
    except TypeError:
        raise TypeError("%s must be a whole number, not %r" % (what, value)) from None
    if not -(1 << 31) <= number < (1 << 31):
        raise ValueError("%s does not fit in 32 bits: %d" % (what, number))
    return number


def echoed_args(request: Optional[Request[object]], args: Sequence[int]) -> Tuple[int, ...]:
    """The argument values the plug-in echoes for `args`: exactly the request's own
    parameters, a missing one read as 0 and extra ones ignored, as 32-bit ints."""
    count = len(request.params) if request is not None else 0
    values = [int(a) for a in args[:count]]
    return tuple(values + [0] * (count - len(values)))


def open_reply(body: bytes, name: str, echo: Sequence[int], use_numpy: bool = False) -> Optional[wire.BodyReader]:
    """Checks the start of a reply body and returns a reader positioned at its values.

    Raises RequestRefused for an error reply and ProtocolError when the echoed
    name or arguments differ from `name` and `echo`.  Returns None for the empty
    reply (no body at all).
    """
    if len(body) == 0:
        return None
    reader = wire.BodyReader(body, use_numpy)
    first = reader.text()
    if first == texts.WRONG_REQUEST:
        error_text = reader.text()
        raise RequestRefused(error_text if error_text is not None else "")
    if first != name:
        raise ProtocolError("reply echoes the request %r, expected %r" % (first, name))
    got = reader.ints(len(echo))
    if got != tuple(echo):
        raise ProtocolError("reply to %s echoes the arguments %r, expected %r" % (name, got, tuple(echo)))
    return reader


def decode_reply(request: Request[T], body: bytes, args: Sequence[int], use_numpy: bool = False) -> T:
    """Decodes a whole reply body to `request` sent with `args` into its typed value.

    Only the classifier request may be answered by the empty reply; it then
    decodes to None (the host reported a classifier state without output).
    """
    reader = open_reply(body, request.name, echoed_args(request, args), use_numpy)
    if reader is None:
        if request.decode_empty is None:
            raise ProtocolError("empty reply to %s" % request.name)
        return request.decode_empty()
    value = request.decode(reader)
    reader.end()
    return value
