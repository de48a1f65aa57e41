"""The 37 requests the plug-in answers: wire name, arguments and reply decoding.

A successful reply body is the request name, the echo of every argument as a
32-bit int, then the values.  `decode_reply` checks the echo against what was
sent and decodes the values with the request's value decoder; an error body
("Wrong request!" and a text) raises NimbrelError.
"""

import collections
import operator

from . import texts, wire
from .errors import NimbrelError, ProtocolError

Request = collections.namedtuple("Request", "method name params decode")

ClassifierOutput = collections.namedtuple("ClassifierOutput", "result values")
ClassifierOutput.__doc__ = """The classifier reply: the host's int result and one real per pair of classes."""


def _int(reader, use_numpy):
    return reader.int32()


def _real(reader, use_numpy):
    return reader.float32()


def _text(reader, use_numpy):
    return reader.text()


def _three_ints(reader, use_numpy):
    return reader.ints(3)


def _samples(reader, use_numpy):
    return reader.run("int16")


def _reals(reader, use_numpy):
    return reader.run("float32")


def _coords(reader, use_numpy):
    """Voxel coordinates: an (m, 3) int32 array with numpy, else a list of (x, y, z) tuples."""
    flat = reader.run("int32")
    if len(flat) % 3:
        raise ProtocolError("coordinate reply holds %d ints, not a multiple of 3" % len(flat))
    if hasattr(flat, "reshape"):
        return flat.reshape(-1, 3)
    return [tuple(flat[i:i + 3]) for i in range(0, len(flat), 3)]


def _classifier(reader, use_numpy):
    result = reader.int32()
    return ClassifierOutput(result, reader.run("float32"))


_TABLE = [
    ("current_time_point", "tGetCurrentTimePoint", (), _int),
    ("expected_nr_of_time_points", "tGetExpectedNrOfTimePoints", (), _int),
    ("dims_of_functional_data", "tGetDimsOfFunctionalData", (), _three_ints),
    ("project_name", "tGetProjectName", (), _text),
    ("watch_folder", "tGetWatchFolder", (), _text),
    ("target_folder", "tGetTargetFolder", (), _text),
    ("feedback_folder", "tGetFeedbackFolder", (), _text),
    ("current_protocol_condition", "tGetCurrentProtocolCondition", (), _int),
    ("full_nr_of_predictors", "tGetFullNrOfPredictors", (), _int),
    ("current_nr_of_predictors", "tGetCurrentNrOfPredictors", (), _int),
    ("nr_of_confound_predictors", "tGetNrOfConfoundPredictors", (), _int),
    ("value_of_design_matrix", "tGetValueOfDesignMatrix", ("predictor", "time_point"), _real),
    ("nr_of_contrasts", "tGetNrOfContrasts", (), _int),
    ("nr_of_rois", "tGetNrOfROIs", (), _int),
    ("mean_of_roi", "tGetMeanOfROI", ("roi",), _real),
    ("detrended_value_of_roi", "tGetDetrendedValueOfROI", ("roi",), _real),
    ("existing_means_of_roi", "tGetExistingMeansOfROI", ("roi", "end_time_point"), _reals),
    ("mean_of_roi_at_time_point", "tGetMeanOfROIAtTimePoint", ("roi", "time_point"), _real),
    ("nr_of_voxels_of_roi", "tGetNrOfVoxelsOfROI", ("roi",), _int),
    ("beta_of_roi", "tGetBetaOfROI", ("roi", "beta"), _real),
    ("coords_of_voxel_of_roi", "tGetCoordsOfVoxelOfROI", ("roi", "voxel"), _three_ints),
    ("all_coords_of_voxels_of_roi", "tGetAllCoordsOfVoxelsOfROI", ("roi",), _coords),
    ("value_of_voxel_at_time", "tGetValueOfVoxelAtTime", ("x", "y", "z", "time_point"), _real),
    ("value_of_all_voxels_at_time", "tGetValueOfAllVoxelsAtTime", ("time_point",), _samples),
    ("raw_value_of_all_voxels_at_time", "tGetRawValueOfAllVoxelsAtTime", ("time_point",), _samples),
    ("beta_of_voxel", "tGetBetaOfVoxel", ("beta", "x", "y", "z"), _real),
    ("beta_maps", "tGetBetaMaps", (), _reals),
    ("map_value_of_voxel", "tGetMapValueOfVoxel", ("map", "x", "y", "z"), _real),
    ("contrast_maps", "tGetContrastMaps", (), _reals),
    ("number_of_classes", "tGetNumberOfClasses", (), _int),
    ("current_classifier_output", "tGetCurrentClassifierOutput", (), _classifier),
    ("pearson_correlation", "tGetPearsonCorrelation", ("window",), _reals),
    ("pearson_correlation_at_time_point", "tGetPearsonCorrelationAtTimePoint",
     ("window", "time_point"), _reals),
    ("partial_correlation", "tGetPartialCorrelation", ("window",), _reals),
    ("partial_correlation_at_time_point", "tGetPartialCorrelationAtTimePoint",
     ("window", "time_point"), _reals),
    ("instant_proxy_correlation", "tGetInstantProxyCorrelation", ("window",), _real),
    ("instant_proxy_correlation_at_time_point", "tGetInstantProxyCorrelationAtTimePoint",
     ("window", "time_point"), _real),
]

REQUESTS = [Request(*row) for row in _TABLE]
BY_NAME = {r.name: r for r in REQUESTS}
BY_METHOD = {r.method: r for r in REQUESTS}


def lookup(name):
    """Finds a request by its wire name ("tGetNrOfROIs") or method name ("nr_of_rois")."""
    return BY_NAME.get(name) or BY_METHOD.get(name)


def check_args(request, args):
    """The arguments of a call to `request` as ints; a TypeError when there are
    not exactly as many as the request takes or one is not a whole number (a
    float, a string or a bool would otherwise be sent as some other index)."""
    if len(args) != len(request.params):
        raise TypeError("%s takes %d argument%s (%s), %d given" % (
            request.method, len(request.params), "" if len(request.params) == 1 else "s",
            ", ".join(request.params) or "none", len(args)))
    return tuple(whole_number(value, "%s's %s" % (request.method, param))
                 for value, param in zip(args, request.params))


def whole_number(value, what="a request argument"):
    """`value` as an int, refusing bools, floats, strings and anything else that is
    not an integer (numpy integers are fine)."""
    if isinstance(value, bool):
        raise TypeError("%s must be a whole number, not %r" % (what, value))
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError("%s must be a whole number, not %r" % (what, value)) from None
    if not -(1 << 31) <= number < (1 << 31):
        raise ValueError("%s does not fit in 32 bits: %d" % (what, number))
    return number


def echoed_args(request, args):
    """The argument values the plug-in echoes for `args`: exactly the request's own
    parameters, a missing one read as 0 and extra ones ignored, as 32-bit ints."""
    count = len(request.params) if request is not None else 0
    values = [int(a) for a in args[:count]]
    return tuple(values + [0] * (count - len(values)))


def open_reply(body, name, echo, use_numpy=True):
    """Checks the start of a reply body and returns a reader positioned at its values.

    Raises NimbrelError for an error reply and ProtocolError when the echoed
    name or arguments differ from `name` and `echo`.  Returns None for the empty
    reply (no body at all).
    """
    if len(body) == 0:
        return None
    reader = wire.BodyReader(body, use_numpy)
    first = reader.text()
    if first == texts.WRONG_REQUEST:
        error_text = reader.text()
        raise NimbrelError(error_text if error_text is not None else "")
    if first != name:
        raise ProtocolError("reply echoes the request %r, expected %r" % (first, name))
    got = reader.ints(len(echo))
    if got != tuple(echo):
        raise ProtocolError("reply to %s echoes the arguments %r, expected %r" % (name, got, tuple(echo)))
    return reader


def decode_reply(request, body, args, use_numpy=True):
    """Decodes a whole reply body to `request` sent with `args` into its typed value.

    Only the classifier request may be answered by the empty reply; it then
    decodes to None (the host reported a classifier state without output).
    """
    reader = open_reply(body, request.name, echoed_args(request, args), use_numpy)
    if reader is None:
        if request.decode is _classifier:
            return None
        raise ProtocolError("empty reply to %s" % request.name)
    value = request.decode(reader, use_numpy)
    reader.end()
    return value
