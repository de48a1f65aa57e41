"""mark(): tell a recorder on this computer what the stimulus program just did.

    import nmbclient
    nmbclient.mark("feedback shown", volume=step.time_point)   # right after the flip
    nmbclient.mark("cue")                                      # the recorder gives it a volume

Each mark is one UDP datagram to 127.0.0.1, port EVENTS_PORT (55570) unless
the environment variable NMB_EVENTS_PORT or `port` says otherwise; `nmb record
--events-port PORT` listens there.  Its payload is ASCII text, no NUL, no
newline:

    Nimbrel Mark: <volume> <seconds> <label>

`<volume>` is the volume as the notifications count it (the run's first is 1)
or "-" when the program does not say; `<seconds>` the sender's wall clock
(Unix time) at the send with exactly 6 decimals; `<label>` the rest of the
datagram, UTF-8, at most MAX_LABEL_BYTES bytes, line breaks and tabs turned
into spaces.  Example: "Nimbrel Mark: 17 1765270012.804113 feedback shown".

A mark never blocks and never raises into a stimulus loop: the socket does not
wait, and a mark that cannot be sent (nobody listening is no failure for UDP;
a full buffer or a bad argument is) is counted in `dropped` and forgotten.
The label "feedback shown" is what the recorder's latency ledger takes as the
moment the volume's feedback reached the screen, and "trigger" a scanner
trigger as the stimulus program saw it.
"""

import operator
import os
import socket
import time
from typing import Dict, Optional

EVENTS_PORT = 55570
PREFIX = "Nimbrel Mark: "
FEEDBACK_SHOWN = "feedback shown"
TRIGGER = "trigger"
MAX_LABEL_BYTES = 256

_SPACES = str.maketrans("\t\r\n\v\f", "     ")
_PREFIX = PREFIX.encode("ascii")
# Per port, a non-blocking socket connected to 127.0.0.1 there (a connected
# socket skips the address look-up of every send).
_sockets: Dict[int, socket.socket] = {}
# Labels as they go on the wire; a stimulus program repeats a handful of them.
_labels: Dict[str, bytes] = {}
_default_port: Optional[int] = None
# Marks that could not be sent.
dropped = 0


def _label_bytes(label: str) -> bytes:
    raw = _labels.get(label)
    if raw is None:
        raw = str(label).translate(_SPACES).encode("utf-8")
        if len(raw) > MAX_LABEL_BYTES:  # cut on a character's boundary
            raw = raw[:MAX_LABEL_BYTES].decode("utf-8", "ignore").encode("utf-8")
        if len(_labels) < 1024:
            _labels[label] = raw
    return raw


def encode(label: str, volume: Optional[int], seconds: float) -> bytes:
    """The datagram of one mark."""
    if volume is None:
        return b"%s- %.6f %s" % (_PREFIX, seconds, _label_bytes(label))
    return b"%s%d %.6f %s" % (_PREFIX, volume, seconds, _label_bytes(label))


def _port() -> int:
    global _default_port
    if _default_port is None:
        try:
            _default_port = int(os.environ.get("NMB_EVENTS_PORT", EVENTS_PORT))
        except ValueError:
            _default_port = EVENTS_PORT
    return _default_port


def _socket(port: int) -> socket.socket:
    sock = _sockets.get(port)
    if sock is None:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setblocking(False)
        sock.connect(("127.0.0.1", port))
        _sockets[port] = sock
    return sock


def mark(label: str, volume: Optional[int] = None, port: Optional[int] = None) -> bool:
    """Sends one mark; True when the datagram was handed to the system."""
    global dropped
    try:
        data = encode(label, None if volume is None else operator.index(volume), time.time())
        _socket(port or _port()).send(data)
        return True
    except Exception:  # a stimulus loop must go on whatever happens here
        dropped += 1
        return False
