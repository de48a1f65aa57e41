"""nmbclient: a client for the Nimbrel network export plug-in.

    from nmbclient import Client, Subscription, discover

    print(discover())                       # [Announcement('127.0.0.1', 55555)]
    client = Client("127.0.0.1", 55555)
    with Subscription("127.0.0.1", 55555) as sub:
        for name, time_point in sub:
            if name == "PostStepCalled":
                print(time_point, client.roi_means())

Standard library only; numpy, when installed, is used for runs of values.
"""

# The package's one version: the build (pyproject.toml) reads it from here, and
# so do nmb --version, the recordings' sidecars and the dashboard's server.
__version__ = "1.0.0"

from .client import Client, Reply
from .connection import MAX_REPLY_BYTES
from .discovery import Announcement, discover
from .errors import (ConnectionLost, NimbrelError, NmbError, OversizedReply, ProtocolError,
                     ReplyTimeout)
from .requests import REQUESTS, ClassifierOutput
from .shapes import correlation_matrix, pairs, reshape_volume
from .subscription import Notification, Subscription

__all__ = [
    "Announcement", "ClassifierOutput", "Client", "ConnectionLost", "MAX_REPLY_BYTES", "NimbrelError",
    "NmbError", "Notification", "OversizedReply", "ProtocolError", "REQUESTS", "Reply", "ReplyTimeout",
    "Subscription", "correlation_matrix", "discover", "pairs", "reshape_volume",
]
