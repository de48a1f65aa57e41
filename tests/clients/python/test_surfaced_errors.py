"""Errors a stimulus program must never miss, and the helpers that keep it from
tripping: callback failures, a lost connection against the end of a run, gaps
in the step stream, polling, waiting for the host, argument checks and the
context of refusals."""

import io
import socket
import struct
import threading
import time

import numpy
import pytest

from fakeplugin import FakePlugin, answer_handshake, error_reply, frame, reply, serve_requests, text
from nmbclient import Client, ConnectionLost, ConnectionRefused, NimbrelError, Subscription
from nmbclient.tools.cli import main
from ports import free_port


def notification(name, value):
    return frame(text(name) + struct.pack(">i", value))


def steps(*time_points, post_run=None):
    data = b"".join(notification("PreStepCalled", t) + notification("PostStepCalled", t) for t in time_points)
    if post_run is not None:
        data += notification("PostRunCalled", post_run)
    return data


def sending(data, then_wait=None):
    """A serve() that answers the execute handshake, sends `data`, then closes
    (or first waits for the event `then_wait`)."""
    def serve(conn):
        answer_handshake(conn)
        conn.sendall(data)
        if then_wait is not None:
            then_wait.wait(5)
    return serve


def test_a_run_that_ends_with_post_run_ends_the_iteration_and_one_without_raises():
    with FakePlugin(sending(steps(1, 2, post_run=2))) as plugin:
        with Subscription("127.0.0.1", plugin.port, timeout=2) as sub:
            names = [n.name for n in sub.notifications(timeout=2)]
    assert names[-1] == "PostRunCalled" and len(names) == 5

    with FakePlugin(sending(steps(1, 2))) as plugin:
        with Subscription("127.0.0.1", plugin.port, timeout=2) as sub:
            seen = []
            with pytest.raises(ConnectionLost):
                for n in sub:
                    seen.append(n)
    assert len(seen) == 4, "every notification before the loss is delivered first"


def test_notifications_stop_after_post_run_while_the_host_keeps_serving():
    keep_open = threading.Event()
    with FakePlugin(sending(steps(1, post_run=1) + steps(1), keep_open)) as plugin:
        with Subscription("127.0.0.1", plugin.port, timeout=2) as sub:
            assert [tuple(n) for n in sub.notifications(timeout=2)] == [
                ("PreStepCalled", 1), ("PostStepCalled", 1), ("PostRunCalled", 1)]
            assert sub.next(timeout=2) == ("PreStepCalled", 1), "the next run starts afresh"
        keep_open.set()


def test_skipped_and_repeated_time_points_are_marked_on_the_step():
    with FakePlugin(sending(steps(5, 6, 8, 8, 9, post_run=9) + steps(1, post_run=1))) as plugin:
        with Subscription("127.0.0.1", plugin.port, timeout=2) as sub:
            post = [n for n in sub if n.name == "PostStepCalled"]
    assert [(n.time_point, n.skipped, n.repeated) for n in post] == [
        (5, 0, False), (6, 0, False), (8, 1, False), (8, 0, True), (9, 0, False),
        (1, 0, False)]  # a joined-late first step and a new run are no gap
    assert "skipped=1" in repr(post[2])


def test_next_with_timeout_zero_polls_without_raising():
    release = threading.Event()
    with FakePlugin(sending(b"", release)) as plugin:
        with Subscription("127.0.0.1", plugin.port, timeout=2) as sub:
            started = time.monotonic()
            assert sub.next(timeout=0) is None
            assert time.monotonic() - started < 0.1
    release.set()

    with FakePlugin(sending(notification("PostStepCalled", 3), release)) as plugin:
        with Subscription("127.0.0.1", plugin.port, timeout=2) as sub:
            deadline = time.monotonic() + 2
            got = None
            while got is None and time.monotonic() < deadline:
                got = sub.next(timeout=0)
            assert got == ("PostStepCalled", 3)


def test_a_failing_callback_is_raised_to_the_owner_and_the_subscription_reports_dead():
    release = threading.Event()
    with FakePlugin(sending(steps(1, 2), release)) as plugin:
        sub = Subscription("127.0.0.1", plugin.port, timeout=2)
        sub.start(lambda n: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            sub.join(2)
        assert not sub.alive
        with pytest.raises(ZeroDivisionError):
            sub.next(timeout=0)
        sub.stop()
        release.set()


def test_with_an_error_callback_the_thread_reports_and_goes_on():
    release = threading.Event()
    with FakePlugin(sending(steps(1, 2, 3), release)) as plugin:
        sub = Subscription("127.0.0.1", plugin.port, timeout=2)
        delivered, errors = [], []

        def callback(n):
            delivered.append(n)
            if n.time_point == 2:
                raise ValueError("bad frame")

        sub.start(callback, on_error=errors.append)
        deadline = time.monotonic() + 2
        while len(delivered) < 6 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert len(delivered) == 6
        assert [type(e) for e in errors] == [ValueError, ValueError]
        assert sub.alive
        sub.stop()
        release.set()


def test_a_lost_connection_in_the_background_is_an_error_not_a_quiet_end():
    with FakePlugin(sending(steps(1))) as plugin:
        sub = Subscription("127.0.0.1", plugin.port, timeout=2)
        sub.start(lambda n: None)
        with pytest.raises(ConnectionLost):
            sub.join(2)
    with FakePlugin(sending(steps(1, post_run=1))) as plugin:
        sub = Subscription("127.0.0.1", plugin.port, timeout=2)
        sub.start(lambda n: None)
        sub.join(2)  # closed after "PostRunCalled": the normal end
        assert not sub.alive and sub.error is None


def test_the_background_thread_reconnects_after_a_loss():
    connections = []
    release = threading.Event()

    def serve(conn):
        connections.append(conn)
        answer_handshake(conn)
        if len(connections) == 1:
            conn.sendall(steps(1))  # then the host "restarts"
        else:
            conn.sendall(steps(7))
            release.wait(5)

    with FakePlugin(serve) as plugin:
        sub = Subscription("127.0.0.1", plugin.port, timeout=2)
        got = []
        sub.start(got.append, reconnect=True)
        deadline = time.monotonic() + 5
        while len(got) < 4 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert [tuple(n) for n in got] == [("PreStepCalled", 1), ("PostStepCalled", 1),
                                           ("PreStepCalled", 7), ("PostStepCalled", 7)]
        assert sub.error is None and sub.alive
        sub.stop()
        release.set()


def test_wait_connects_to_a_host_that_appears_later_and_the_refusal_says_where():
    port = free_port()
    with pytest.raises(ConnectionRefused, match=r"127\.0\.0\.1:%d .*is the host" % port):
        Client("127.0.0.1", port, timeout=1)

    def answer(name, ints):
        return reply(name, [4])

    box = {}

    def start_later():
        time.sleep(0.6)
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", port))
        listener.listen(4)
        box["listener"] = listener
        conn, _ = listener.accept()
        box["conn"] = conn
        try:
            serve_requests(answer)(conn)
        except Exception:
            pass

    server = threading.Thread(target=start_later, daemon=True)
    server.start()
    started = time.monotonic()
    with Client("127.0.0.1", port, timeout=2, wait=5) as client:
        assert time.monotonic() - started >= 0.5
        assert client.nr_of_rois() == 4
    box["conn"].close()
    box["listener"].close()


def test_arguments_that_are_not_whole_numbers_are_refused_before_sending():
    sent = []

    def answer(name, ints):
        sent.append(name)
        return reply(name, ints, [1.0])

    with FakePlugin(serve_requests(answer)) as plugin, Client("127.0.0.1", plugin.port, timeout=2) as client:
        for bad in (0.5, "0", True, None):
            with pytest.raises(TypeError):
                client.mean_of_roi(bad)
        with pytest.raises(TypeError, match="takes 1 argument"):
            client.call_many([("mean_of_roi", ())])
        with pytest.raises(TypeError, match="takes 1 argument"):
            client.call_many([("mean_of_roi", (0, 1))])
        with pytest.raises(TypeError):
            client.request("tGetMeanOfROI", 1.5)
        assert sent == []
        assert client.mean_of_roi(numpy.int64(1)) == 1.0


def test_an_out_of_range_refusal_keeps_the_plugins_text_and_adds_the_valid_range():
    asked = []

    def answer(name, ints):
        asked.append(name)
        if name == "tGetNrOfROIs":
            return reply(name, [3])
        if name == "tGetCurrentTimePoint":
            return reply(name, [5])
        return error_reply("NrOfROI out of range" if name == "tGetMeanOfROI" else "TimePoint out of range")

    with FakePlugin(serve_requests(answer)) as plugin, Client("127.0.0.1", plugin.port, timeout=2) as client:
        for _ in range(2):
            with pytest.raises(NimbrelError) as refused:
                client.mean_of_roi(7)
            assert refused.value.text == "NrOfROI out of range"
            assert str(refused.value) == "NrOfROI out of range (ROI 7 asked; the host has 3 ROIs, 0 to 2)"
        assert asked.count("tGetNrOfROIs") == 1  # the count is asked once, on the first refusal
        with pytest.raises(NimbrelError) as refused:
            client.raw_value_of_all_voxels_at_time(9)
        assert refused.value.hint == "time point 9 asked; the host has 5 volumes, time points 0 to 4"
        with pytest.raises(NimbrelError) as refused:
            client.pearson_correlation_at_time_point(3, 9)
        assert refused.value.hint is None  # a window's time point has rules of its own


def test_maps_come_shaped_from_one_consistent_set_of_counts():
    dims = (2, 3, 4)
    flat = numpy.arange(2 * 24, dtype=">f4")

    def answer(name, ints):
        if name == "tGetDimsOfFunctionalData":
            return reply(name, dims)
        if name in ("tGetCurrentNrOfPredictors", "tGetNrOfContrasts"):
            return reply(name, [2])
        if name in ("tGetBetaMaps", "tGetContrastMaps"):
            return frame(text(name) + flat.tobytes())
        if name == "tGetCurrentTimePoint":
            return reply(name, [5])
        return error_reply("unexpected")

    with FakePlugin(serve_requests(answer)) as plugin, Client("127.0.0.1", plugin.port, timeout=2) as client:
        for maps in (client.beta_maps(shaped=True), client.contrast_maps(shaped=True)):
            assert maps.shape == (2, 4, 3, 2)  # maps, z, y, x
            m, z, y, x = 1, 3, 2, 1
            assert maps[m, z, y, x] == flat[m * 24 + x + 2 * (y + 3 * z)]
        assert client.newest_time_point() == 4
        assert client.window_ready(5) and not client.window_ready(6)


@pytest.mark.parametrize("values", [[], ["1", "2"]])
def test_nmb_get_with_the_wrong_number_of_values_is_a_usage_error(values, capsys):
    assert main(["--port", "9", "get", "mean_of_roi", *values], out=io.StringIO()) == 2
    assert "usage error" in capsys.readouterr().err


def test_nmb_wait_waits_for_the_host_before_giving_up(capsys):
    port = free_port()
    started = time.monotonic()
    assert main(["--port", str(port), "--wait", "0.8", "info"], out=io.StringIO()) == 2
    assert time.monotonic() - started >= 0.7
    assert "127.0.0.1:%d" % port in capsys.readouterr().err
