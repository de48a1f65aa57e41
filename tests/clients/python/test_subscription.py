"""Subscription over a real socket: notifications, waits, the background thread."""

import struct
import threading
import time

import pytest

from fakeplugin import FakePlugin, answer_handshake, frame, text
from nmbclient import ConnectionLost, OversizedReply, ProtocolError, ReplyTimeout, Subscription
from nmbclient.subscription import decode_notification


def notification(name, value):
    return frame(text(name) + struct.pack(">i", value))


def test_the_pre_step_notification_is_the_documented_30_bytes():
    wire_bytes = bytes.fromhex("0000000000000016 0000000E") + b"PreStepCalled\0" + bytes.fromhex("00000007")
    assert notification("PreStepCalled", 7) == wire_bytes and len(wire_bytes) == 30
    n = decode_notification(wire_bytes[8:], 12.5)
    assert n == ("PreStepCalled", 7) and n.name == "PreStepCalled" and n.time_point == 7
    assert n.received_at == 12.5


def test_a_notification_without_a_name_is_rejected():
    with pytest.raises(ProtocolError):
        decode_notification(struct.pack(">Ii", 0, 3), 0.0)


def scripted(steps, roles=None):
    """A serve() that answers the execute handshake, then sends (delay, bytes) steps."""
    def serve(conn):
        role = answer_handshake(conn)
        if roles is not None:
            roles.append(role)
        for delay, data in steps:
            time.sleep(delay)
            conn.sendall(data)
    return serve


def test_iteration_yields_every_notification_with_its_receive_time_until_close():
    roles = []
    steps = [(0, notification("PreStepCalled", 1)), (0, notification("PostStepCalled", 1)),
             (0.05, notification("PreStepCalled", 2) + notification("PostStepCalled", 2)),
             (0, notification("PostRunCalled", 2))]
    with FakePlugin(scripted(steps, roles)) as plugin:
        with Subscription("127.0.0.1", plugin.port, timeout=2) as sub:
            assert sub.handshake_version == (2, 0, 0)
            got = list(sub)
    assert roles == ["Execute Socket"]
    assert got == [("PreStepCalled", 1), ("PostStepCalled", 1), ("PreStepCalled", 2),
                   ("PostStepCalled", 2), ("PostRunCalled", 2)]
    times = [n.received_at for n in got]
    assert times == sorted(times) and times[-1] <= time.monotonic()


def test_wait_for_post_step_skips_other_notifications():
    steps = [(0, notification("PreStepCalled", 4)), (0.05, notification("PostStepCalled", 4))]
    with FakePlugin(scripted(steps)) as plugin, Subscription("127.0.0.1", plugin.port, timeout=2) as sub:
        assert sub.wait_for_post_step(timeout=2) == ("PostStepCalled", 4)


def test_an_idle_time_out_leaves_the_subscription_usable():
    steps = [(0.6, notification("PostStepCalled", 9))]
    with FakePlugin(scripted(steps)) as plugin, Subscription("127.0.0.1", plugin.port, timeout=2) as sub:
        started = time.monotonic()
        with pytest.raises(ReplyTimeout):
            sub.wait_for_post_step(timeout=0.2)
        assert time.monotonic() - started < 1.0
        with pytest.raises(ReplyTimeout):  # nothing waiting: a time-out, never a None notification
            next(sub.notifications(timeout=0))
        assert sub.next(timeout=2) == ("PostStepCalled", 9)


def test_next_after_the_plugin_closed_raises_connection_lost():
    with FakePlugin(scripted([])) as plugin, Subscription("127.0.0.1", plugin.port, timeout=2) as sub:
        with pytest.raises(ConnectionLost):
            sub.next(timeout=2)


def test_the_background_thread_calls_back_for_each_notification_and_stops():
    release = threading.Event()

    def serve(conn):
        answer_handshake(conn)
        conn.sendall(notification("PreStepCalled", 1) + notification("PostStepCalled", 1))
        release.wait(5)

    got, arrived = [], threading.Event()

    def callback(n):
        got.append((n, threading.current_thread().name))
        if len(got) == 2:
            arrived.set()

    with FakePlugin(serve) as plugin:
        sub = Subscription("127.0.0.1", plugin.port, timeout=2)
        sub.start(callback)
        assert arrived.wait(2)
        started = time.monotonic()
        sub.stop()
        assert time.monotonic() - started < 1.0, "stop() must not wait for the next notification"
        release.set()
    assert [n for n, _ in got] == [("PreStepCalled", 1), ("PostStepCalled", 1)]
    assert all(name != threading.current_thread().name for _, name in got)
    assert sub.error is None


def test_an_absurd_notification_length_is_refused_at_once():
    steps = [(0, struct.pack(">q", 1 << 40))]
    with FakePlugin(scripted(steps)) as plugin, Subscription("127.0.0.1", plugin.port, timeout=2) as sub:
        started = time.monotonic()
        with pytest.raises(OversizedReply):
            sub.next(timeout=2)
        assert time.monotonic() - started < 1.0
