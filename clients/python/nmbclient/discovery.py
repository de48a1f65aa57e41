"""discover(): listen for the plug-in's UDP announcements.

While it waits for its next client the plug-in broadcasts the datagram
"Nimbrel Broadcast: <port>" to UDP port 55555 about once a second.  discover()
listens for `timeout` seconds and returns every (address, port) announced,
once each, in the order first heard.  The listening socket shares its port
(SO_REUSEADDR, and SO_REUSEPORT where there is one), so several programs on
one machine can listen at the same time.
"""

import socket
import time
from typing import List, NamedTuple, Optional

from . import texts


class Announcement(NamedTuple):
    """A plug-in heard announcing itself: the sender's address and the port it serves on."""

    address: str
    port: int


def parse_announcement(datagram: bytes) -> Optional[int]:
    """The port of an announcement datagram, or None for any other datagram."""
    prefix = texts.BROADCAST_PREFIX.encode("ascii")
    if not datagram.startswith(prefix):
        return None
    digits = datagram[len(prefix):]
    if not digits or not digits.isdigit() or len(digits) > 5:
        return None
    port = int(digits)
    return port if 0 < port < 65536 else None


def discover(timeout: float = 2.5, listen_port: int = texts.BROADCAST_PORT, listen_address: str = "",
             first_only: bool = False) -> List[Announcement]:
    """Listens for announcements; returns a list of Announcement(address, port).

    The default `timeout` covers two announcement intervals.  With
    `first_only` it returns as soon as one plug-in was heard.
    """
    found: List[Announcement] = []
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if hasattr(socket, "SO_REUSEPORT"):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        sock.bind((listen_address, listen_port))
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            sock.settimeout(left)
            try:
                datagram, (address, _) = sock.recvfrom(512)
            except socket.timeout:
                break
            port = parse_announcement(datagram)
            if port is None:
                continue
            if address == "0.0.0.0":
                # Sent before the sender's socket had an address, which only a
                # program on this machine can do (a namespace with loopback alone).
                address = "127.0.0.1"
            announcement = Announcement(address, port)
            if announcement not in found:
                found.append(announcement)
                if first_only:
                    break
    finally:
        sock.close()
    return found
