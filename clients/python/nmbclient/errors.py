"""The exceptions of the client.

Everything the client raises for the plug-in's sake derives from NmbError:

- NimbrelError: the plug-in refused the request; `text` is its error text.
- ProtocolError: a reply that does not fit the request (wrong echo, short or
  oversized); the connection is closed, since the stream is out of step.
- ReplyTimeout (also a TimeoutError): no complete reply within the time-out.
- ConnectionLost (also a ConnectionError): the plug-in closed the connection,
  or it was closed after one of the faults above; `reconnect()` opens a new one.
"""

from typing import Optional


class NmbError(Exception):
    """Base of every error the client raises."""


class NimbrelError(NmbError):
    """The plug-in answered with an error reply.

    `text` is the plug-in's own text; `hint` what the client adds to it (the
    valid range of an index it already knows), or None.  str() shows both."""

    def __init__(self, text: str, hint: Optional[str] = None) -> None:
        super().__init__(text if not hint else "%s (%s)" % (text, hint))
        self.text = text
        self.hint = hint


class ProtocolError(NmbError):
    """A reply that does not match the protocol or the request it answers."""


class OversizedReply(ProtocolError):
    """A reply announces more bytes than the client accepts."""


class ReplyTimeout(NmbError, TimeoutError):
    """No complete message arrived within the time-out."""


class ConnectionLost(NmbError, ConnectionError):
    """The connection is closed or unusable.

    `reason` is set when no host answered a connection: the failure of the
    last try in the system's words ("Connection refused"), else None."""

    def __init__(self, *args: object) -> None:
        super().__init__(*args)
        self.reason: Optional[str] = None
