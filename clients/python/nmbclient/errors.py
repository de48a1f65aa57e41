"""The exceptions of the client, one tree under Error.

    Error
    ├── CannotConnect        no connection came about (also a ConnectionError)
    │   ├── ConnectionRefused    nothing listens there, or the plug-in closed the
    │   │                        connection before answering the handshake
    │   └── ConnectTimeout       the connect or the handshake took longer than the
    │                            time-out (also a TimeoutError)
    ├── ConnectionLost       an open connection closed or failed (also a ConnectionError)
    ├── NoReplyInTime        a message did not arrive within its time-out (also a TimeoutError)
    ├── RequestRefused       the plug-in answered with an error reply
    └── ProtocolError        a reply that does not fit the request
        └── OversizedReply

After a time-out, a lost connection or a protocol fault the connection is
closed, since the byte stream is out of step; `reconnect()` opens a new one.
A refused request leaves it usable.

Texts say what happened, in the system's words; they give no advice about
command lines: the nmb tool adds that.

Earlier names, kept as aliases of the same classes: NmbError (Error),
NimbrelError (RequestRefused), ReplyTimeout (NoReplyInTime).
"""

from typing import Optional


class Error(Exception):
    """Base of every error the client raises for the plug-in's sake."""


class CannotConnect(Error, ConnectionError):
    """No connection to host:port came about.

    `reason` is the failure of the last try in the system's words ("Connection
    refused"); `waited` the seconds spent waiting for the host, or None when it
    was tried once; `reached` is true when the host took the connection and
    then closed it unanswered (its access settings)."""

    def __init__(self, message: str, host: str, port: int, reason: str, waited: Optional[float] = None,
                 reached: bool = False) -> None:
        super().__init__(message)
        self.host = host
        self.port = port
        self.reason = reason
        self.waited = waited
        self.reached = reached


class ConnectionRefused(CannotConnect):
    """The host refused the connection: nothing listens at the address, it could
    not be reached, or the plug-in closed the connection before answering the
    handshake (its access settings refuse this client)."""


class ConnectTimeout(CannotConnect, TimeoutError):
    """The connection or its handshake was not made within the time-out."""


class ConnectionLost(Error, ConnectionError):
    """An open connection closed or became unusable.  `reason` is always None; it
    is kept for code written when a host never reached raised this class."""

    reason: Optional[str] = None


class NoReplyInTime(Error, TimeoutError):
    """No complete message arrived within the time-out."""


class RequestRefused(Error):
    """The plug-in answered with an error reply.

    `text` is the plug-in's own text; `hint` what the client adds to it (the
    valid range of an index it already knows), or None.  str() shows both."""

    def __init__(self, text: str, hint: Optional[str] = None) -> None:
        super().__init__(text if not hint else "%s (%s)" % (text, hint))
        self.text = text
        self.hint = hint


class ProtocolError(Error):
    """A reply that does not match the protocol or the request it answers."""


class OversizedReply(ProtocolError):
    """A reply announces more bytes than the client accepts."""


# Aliases under the names of earlier versions.
NmbError = Error
NimbrelError = RequestRefused
ReplyTimeout = NoReplyInTime
