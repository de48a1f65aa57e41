"""discover() against datagrams sent to loopback on a port chosen at run time."""

import socket
import threading
import time

from nmbclient import discover
from nmbclient.discovery import parse_announcement
from ports import free_port


def free_udp_port():
    return free_port(socket.SOCK_DGRAM)


def test_announcements_are_parsed_exactly():
    assert parse_announcement(b"Nimbrel Broadcast: 55555") == 55555
    assert parse_announcement(b"Nimbrel Broadcast: 1234") == 1234
    for other in (b"Nimbrel Broadcast: ", b"Nimbrel Broadcast:1234", b"Nimbrel Broadcast: 12a4",
                  b"Nimbrel Broadcast: 70000", b"Nimbrel Broadcast: 0", b"nimbrel broadcast: 1234",
                  b"Nimbrel Broadcast: 1234\n"):
        assert parse_announcement(other) is None, other


def test_discover_returns_each_plugin_once_and_ignores_other_datagrams():
    port = free_udp_port()

    def announce():
        time.sleep(0.1)  # let discover() bind first
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for _ in range(10):
                for data in (b"Nimbrel Broadcast: 4242", b"something else", b"Nimbrel Broadcast: 4343",
                             b"Nimbrel Broadcast: 4242"):
                    s.sendto(data, ("127.0.0.1", port))
                time.sleep(0.02)

    sender = threading.Thread(target=announce)
    sender.start()
    found = discover(0.6, listen_port=port)
    sender.join()
    assert found == [("127.0.0.1", 4242), ("127.0.0.1", 4343)]
    assert found[0].address == "127.0.0.1" and found[0].port == 4242


def test_discover_with_nobody_announcing_returns_nothing_after_the_time_out():
    started = time.monotonic()
    assert discover(0.3, listen_port=free_udp_port()) == []
    assert 0.25 <= time.monotonic() - started < 2.0
