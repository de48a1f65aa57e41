"""Bytes on the wire: frames, texts, integers, reals and runs of values.

Every message in both directions is a frame: an 8-byte signed big-endian body
length, then the body.  Bodies follow the Qt data stream format the plug-in
uses (version 12, single precision): integers are big-endian, every real is a
4-byte big-endian IEEE single, and a text is a 32-bit count that includes a
terminating NUL, then the bytes.

This module is pure: it builds bytes and reads them, and never touches a
socket, so every reply family can be checked against fixed byte strings.
"""

import array
import struct
import sys
from typing import TYPE_CHECKING, Dict, Iterable, List, Literal, Optional, Tuple, Union, overload

from .errors import ProtocolError

try:  # numpy is optional: runs of values are array.array unless numpy is asked for.
    import numpy
    HAVE_NUMPY = True
except ImportError:  # pragma: no cover - exercised only where numpy is absent
    HAVE_NUMPY = False

if TYPE_CHECKING:
    import numpy.typing

# Runs of values as the client returns them: array.array, or numpy arrays in
# native byte order where the client was asked for them.  (numpy's names are only checked by type
# checkers, which see them as Any where numpy is not installed.)
SampleRun = Union["numpy.typing.NDArray[numpy.int16]", "array.array[int]"]
IntRun = Union["numpy.typing.NDArray[numpy.int32]", "array.array[int]"]
RealRun = Union["numpy.typing.NDArray[numpy.float32]", "array.array[float]"]
# Shaped volumes and maps, which need numpy (each a Union of one: an alias that
# only type checkers evaluate).
SampleArray = Union["numpy.typing.NDArray[numpy.int16]"]
RealArray = Union["numpy.typing.NDArray[numpy.float32]"]
# Voxel coordinates: a list of (x, y, z), or an (m, 3) int32 numpy array.
Coordinates = Union["numpy.typing.NDArray[numpy.int32]", List[Tuple[int, int, int]]]

HEADER_SIZE = 8
_HEADER = struct.Struct(">q")
_INT32 = struct.Struct(">i")
_UINT32 = struct.Struct(">I")
_FLOAT32 = struct.Struct(">f")

# array.array type codes of the three element kinds that runs carry, and the
# big-endian numpy dtypes that read them straight from the body.
_ELEMENTS: Dict[str, Tuple[str, str, int]] = {
    "int16": ("h", ">i2", 2),
    "int32": ("i", ">i4", 4),
    "float32": ("f", ">f4", 4),
}


def encode_text(text: str) -> bytes:
    """Returns the bytes of one text as the plug-in reads it: count with NUL, bytes, NUL."""
    raw = text.encode("latin-1") + b"\0"
    return _UINT32.pack(len(raw)) + raw


def frame(body: bytes) -> bytes:
    """Returns one complete frame around `body`."""
    return _HEADER.pack(len(body)) + body


def encode_request(name: str, args: Iterable[int] = ()) -> bytes:
    """Returns the complete frame of one request: its name, then each argument as a 32-bit int."""
    body = bytearray(encode_text(name))
    for value in args:
        value = int(value)
        if not -(2**31) <= value < 2**31:
            raise ValueError("argument %d does not fit a 32-bit integer" % value)
        body += _INT32.pack(value)
    return frame(bytes(body))


def decode_header(header: bytes) -> int:
    """Returns the body length a frame header announces."""
    length: int = _HEADER.unpack(header)[0]
    return length


def numpy_available() -> bool:
    return HAVE_NUMPY


def need_numpy(what: str) -> None:
    """Raises RuntimeError naming `what` when numpy is not installed."""
    if not HAVE_NUMPY:
        raise RuntimeError("%s needs numpy (Debian: apt-get install python3-numpy)" % what)


class BodyReader:
    """Reads the elements of one message body in order.

    Every read checks that the body still holds the element, so a short or cut
    reply raises ProtocolError instead of yielding made-up values.  Runs come
    back as array.array, or with `use_numpy` as numpy arrays in native byte
    order (a RuntimeError where numpy is not installed).
    """

    def __init__(self, body: bytes, use_numpy: bool = False) -> None:
        if use_numpy:
            need_numpy("use_numpy=True")
        self._body = memoryview(body)
        self._pos = 0
        self._numpy = use_numpy

    @property
    def remaining(self) -> int:
        return len(self._body) - self._pos

    def _take(self, size: int, what: str) -> memoryview:
        if self.remaining < size:
            raise ProtocolError(
                "reply ends early: %s needs %d bytes, %d left" % (what, size, self.remaining))
        start = self._pos
        self._pos += size
        return self._body[start:self._pos]

    def text(self) -> Optional[str]:
        """Reads one text; returns None for the null text (count 0)."""
        count: int = _UINT32.unpack(self._take(4, "text count"))[0]
        if count == 0:
            return None
        raw = bytes(self._take(count, "text of %d bytes" % count))
        end = raw.find(b"\0")
        if end >= 0:
            raw = raw[:end]
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            return raw.decode("latin-1")

    def int32(self) -> int:
        value: int = _INT32.unpack(self._take(4, "int"))[0]
        return value

    def float32(self) -> float:
        value: float = _FLOAT32.unpack(self._take(4, "real"))[0]
        return value

    def ints(self, count: int) -> Tuple[int, ...]:
        return tuple(self.int32() for _ in range(count))

    def three_ints(self) -> Tuple[int, int, int]:
        return self.int32(), self.int32(), self.int32()

    @overload
    def run(self, kind: Literal["int16"], count: Optional[int] = None) -> SampleRun: ...

    @overload
    def run(self, kind: Literal["int32"], count: Optional[int] = None) -> IntRun: ...

    @overload
    def run(self, kind: Literal["float32"], count: Optional[int] = None) -> RealRun: ...

    def run(self, kind: str, count: Optional[int] = None) -> Union[SampleRun, IntRun, RealRun]:
        """Reads a run of `kind` elements ("int16", "int32" or "float32") in one step.

        Without `count` the run takes the rest of the body, which must then hold
        a whole number of elements.
        """
        code, dtype, size = _ELEMENTS[kind]
        if count is None:
            if self.remaining % size:
                raise ProtocolError(
                    "reply holds %d bytes after its header, not a whole number of %d-byte values"
                    % (self.remaining, size))
            count = self.remaining // size
        raw = self._take(count * size, "%d values" % count)
        if self._numpy:
            return numpy.frombuffer(raw, dtype=dtype).astype(dtype[1:], copy=True)
        values = array.array(code)
        values.frombytes(raw)
        if sys.byteorder == "little":
            values.byteswap()
        return values

    def end(self) -> None:
        """Checks that the whole body was read."""
        if self.remaining:
            raise ProtocolError("reply carries %d unexpected bytes at its end" % self.remaining)
