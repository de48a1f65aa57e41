"""nmbclient: a client for the Nimbrel network export plug-in.

    from nmbclient import Client, Subscription, discover

    print(discover())                       # [Announcement('127.0.0.1', 55555)]
    client = Client("127.0.0.1", 55555)
    with Subscription("127.0.0.1", 55555) as sub:
        for step in sub:
            if step.name == "PostStepCalled":
                print(step.time_point, client.roi_means())

The library is the client, the subscription, discovery, the wire format and
the errors; the nmb tool and what it is built from (the run follower, the
recorder, plotting, the dashboard) live in nmbclient.tools.

Standard library only; numpy, when installed, gives runs of values as numpy
arrays to a client that asks for them (Client(use_numpy=True)).
"""

# The package's one version: the build (pyproject.toml) reads it from here, and
# so do nmb --version, the recordings' sidecars and the dashboard's server.
__version__ = "1.0.0"

from .client import Client, Reply
from .connection import MAX_REPLY_BYTES
from .discovery import Announcement, discover
from .errors import (CannotConnect, ConnectionLost, ConnectionRefused, ConnectTimeout, Error, NimbrelError, NmbError,
                     NoReplyInTime, OversizedReply, ProtocolError, ReplyTimeout, RequestRefused)
from .ledger import Ledger, Moments, Stages
from .marks import EVENTS_PORT, mark
from .request_table import REQUESTS, ClassifierOutput
from .shapes import correlation_matrix, pairs, reshape_volume
from .subscription import Notification, Subscription

__all__ = [
    "Announcement", "CannotConnect", "ClassifierOutput", "Client", "ConnectTimeout", "ConnectionLost",
    "ConnectionRefused", "EVENTS_PORT", "Error", "Ledger", "MAX_REPLY_BYTES", "Moments", "NimbrelError", "NmbError",
    "NoReplyInTime", "Notification", "OversizedReply", "ProtocolError", "REQUESTS", "Reply", "ReplyTimeout",
    "RequestRefused", "Stages", "Subscription", "correlation_matrix", "discover", "mark", "pairs", "reshape_volume",
]
