"""A port that nothing is bound to right now, for a test's listener.

It comes from below the range the system hands out by itself (to connecting
sockets and to binds of port 0): busy tests next door take and release those
ports by the thousand, and a listener on a port that one of their connections
holds, even in TIME_WAIT, cannot bind.  Below that range only explicit binds
land.
"""

import random
import socket

LOWEST = 20000


def _automatic_from():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            first = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768
    return first if first > LOWEST + 1000 else 32768


def free_port(kind=socket.SOCK_STREAM):
    top = _automatic_from()
    for _ in range(100):
        port = random.randrange(LOWEST, top)
        with socket.socket(socket.AF_INET, kind) as probe:
            try:
                probe.bind(("", port))
            except OSError:
                continue
        return port
    raise RuntimeError("no free port below %d" % top)
