"""The Client over a real socket against a scripted fake plug-in: handshake,
round trips, back-to-back requests, and servers that stall, cut or lie."""

import array
import struct
import threading
import time

import numpy
import pytest

from fakeplugin import (FakePlugin, answer_handshake, error_reply, frame, parse_request, read_frame,
                        recv_exact, reply, serve_requests, text)
import nmbclient
from nmbclient import (Client, ConnectionLost, ConnectionRefused, NimbrelError, OversizedReply, ProtocolError,
                       ReplyTimeout, RequestRefused, Subscription)


def test_handshake_sends_the_role_and_exposes_the_version():
    seen = []

    def serve(conn):
        role_frame = recv_exact(conn, 27)
        seen.append(role_frame)
        conn.sendall(bytes.fromhex("000000000000001F0000000F") + b"Request Socket\0"
                     + bytes.fromhex("000000020000000000000000"))
        read_frame(conn)

    with FakePlugin(serve) as plugin:
        client = Client("127.0.0.1", plugin.port, timeout=2)
        assert client.handshake_version == (2, 0, 0)
        client.close()
    assert seen == [bytes.fromhex("00000000000000130000000F") + b"Request Socket\0"]


def test_an_empty_role_in_the_answer_is_refused():
    def serve(conn):
        read_frame(conn)
        conn.sendall(frame(text("") + struct.pack(">iii", 2, 0, 0)))
        time.sleep(0.5)

    with FakePlugin(serve) as plugin:
        with pytest.raises(ProtocolError, match="role"):
            Client("127.0.0.1", plugin.port, timeout=2)


def test_methods_send_their_arguments_and_return_typed_values():
    requests_seen = []

    def answer(name, ints):
        requests_seen.append((name, ints))
        if name == "tGetNrOfROIs":
            return reply(name, [2])
        if name == "tGetMeanOfROI":
            return reply(name, ints, [10.5 + ints[0]])
        if name == "tGetValueOfVoxelAtTime":
            return reply(name, ints, [-3.25])
        return error_reply("No function call matched!")

    with FakePlugin(serve_requests(answer)) as plugin, Client("127.0.0.1", plugin.port, timeout=2) as client:
        assert client.nr_of_rois() == 2
        assert client.mean_of_roi(1) == 11.5
        before = time.monotonic()
        assert client.value_of_voxel_at_time(1, 2, 3, 4) == -3.25
        assert before <= client.last_received_at <= time.monotonic()
        with pytest.raises(NimbrelError, match="No function call matched!"):
            client.request("tGetSomethingElse")
        assert client.mean_of_roi(0) == 10.5, "an error reply must leave the connection usable"
    assert requests_seen[:3] == [("tGetNrOfROIs", []), ("tGetMeanOfROI", [1]),
                                 ("tGetValueOfVoxelAtTime", [1, 2, 3, 4])]


def test_raw_request_returns_the_values_after_the_echo():
    def answer(name, ints):
        return reply(name, ints[:1], [1.5])

    with FakePlugin(serve_requests(answer)) as plugin, Client("127.0.0.1", plugin.port, timeout=2) as client:
        raw = client.request("tGetMeanOfROI", 4)
        assert raw.name == "tGetMeanOfROI" and raw.payload == bytes.fromhex("3FC00000")
        assert raw.received_at <= time.monotonic()


def test_roi_means_are_sent_back_to_back_in_one_round_trip():
    # The fake plug-in reads every request before it answers any: a client that
    # waited for each reply before sending the next request would time out here.
    def serve(conn):
        answer_handshake(conn)
        name, _ = parse_request(read_frame(conn))
        conn.sendall(reply(name, [4]))
        asked = [parse_request(read_frame(conn)) for _ in range(4)]
        conn.sendall(b"".join(reply(n, ints, [100.0 + ints[0]]) for n, ints in asked))
        read_frame(conn)

    with FakePlugin(serve) as plugin, Client("127.0.0.1", plugin.port, timeout=2) as client:
        assert client.roi_means() == [100.0, 101.0, 102.0, 103.0]


def test_an_error_among_back_to_back_requests_keeps_the_stream_in_step():
    def answer(name, ints):
        if name == "tGetMeanOfROI" and ints[0] == 1:
            return error_reply("NrOfROI out of range")
        return reply(name, ints, [float(ints[0])] if ints else [7.0])

    with FakePlugin(serve_requests(answer)) as plugin, Client("127.0.0.1", plugin.port, timeout=2) as client:
        values = client.call_many([("mean_of_roi", (0,)), ("mean_of_roi", (1,)), ("mean_of_roi", (2,))],
                                  errors="return")
        assert values[0] == 0.0 and values[2] == 2.0
        assert isinstance(values[1], NimbrelError) and values[1].text == "NrOfROI out of range"
        with pytest.raises(NimbrelError):
            client.roi_means(3)
        assert client.mean_of_roi(2) == 2.0
        calls = [("mean_of_roi", (1,)), ("mean_of_roi", (2,))]
        assert isinstance(client.call_many(calls, raise_on_error=False)[0], RequestRefused)
        with pytest.raises(RequestRefused):
            client.call_many(calls, raise_on_error=True)
        for typo in ({"errors": "retrun"}, {"error": "return"}):
            with pytest.raises(TypeError):
                client.call_many(calls, **typo)
        assert client.mean_of_roi(2) == 2.0, "a refused spelling sends nothing"


def test_the_error_tree_and_its_earlier_names():
    assert (nmbclient.NmbError, nmbclient.NimbrelError, nmbclient.ReplyTimeout) == (
        nmbclient.Error, RequestRefused, nmbclient.NoReplyInTime)
    assert not issubclass(nmbclient.ConnectTimeout, nmbclient.NoReplyInTime)
    assert not issubclass(nmbclient.CannotConnect, ConnectionLost)

    # A host that takes the connection and never answers the handshake.
    with FakePlugin(lambda conn: read_frame(conn) and time.sleep(1)) as plugin:
        with pytest.raises(nmbclient.ConnectTimeout) as caught:
            Client("127.0.0.1", plugin.port, timeout=0.2)
    assert "nmb" not in str(caught.value), "advice for the command line is the tool's to give"


def test_runs_are_arrays_unless_numpy_is_asked_for():
    def answer(name, ints):
        return reply(name, ints, [1.5, 2.5])

    with FakePlugin(serve_requests(answer)) as plugin:
        with Client("127.0.0.1", plugin.port, timeout=2) as plain:
            assert isinstance(plain.existing_means_of_roi(0, 2), array.array)
        with Client("127.0.0.1", plugin.port, timeout=2, use_numpy=True) as arrays:
            assert arrays.existing_means_of_roi(0, 2).dtype == numpy.float32


def test_threads_sharing_a_client_each_get_their_own_replies():
    def answer(name, ints):
        return reply(name, ints, [ints[0] * 0.5])

    failures = []
    with FakePlugin(serve_requests(answer)) as plugin, Client("127.0.0.1", plugin.port, timeout=5) as client:
        def ask(base):
            for k in range(50):
                roi = base * 1000 + k
                values = client.call_many([("mean_of_roi", (roi,)), ("mean_of_roi", (roi + 1,))])
                if values != [roi * 0.5, (roi + 1) * 0.5]:
                    failures.append((roi, values))

        threads = [threading.Thread(target=ask, args=(b,)) for b in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
    assert failures == []


class TestFaultyServers:
    """Each fault must end in a clear exception within the time-out, never a hang."""

    TIMEOUT = 0.5

    def run_fault(self, after_handshake, exception, match=None):
        release = threading.Event()

        def serve(conn):
            answer_handshake(conn)
            read_frame(conn)
            after_handshake(conn)
            release.wait(5)

        with FakePlugin(serve) as plugin:
            client = Client("127.0.0.1", plugin.port, timeout=self.TIMEOUT)
            started = time.monotonic()
            with pytest.raises(exception, match=match):
                client.nr_of_rois()
            elapsed = time.monotonic() - started
            release.set()
            assert not client.connected, "a faulted connection must not be reused"
            with pytest.raises(ConnectionLost, match="reconnect"):
                client.nr_of_rois()
            client.close()
        return elapsed

    def test_a_stalled_reply_times_out(self):
        elapsed = self.run_fault(lambda conn: None, ReplyTimeout)
        assert self.TIMEOUT * 0.9 <= elapsed < self.TIMEOUT + 1.0

    def test_a_trickling_reply_times_out_on_the_whole_message(self):
        def trickle(conn):
            whole = reply("tGetNrOfROIs", [3])
            for byte in whole[:-1]:
                conn.sendall(bytes([byte]))
                time.sleep(0.1)

        elapsed = self.run_fault(trickle, ReplyTimeout)
        assert elapsed < self.TIMEOUT + 1.0

    def test_a_server_closing_mid_reply_is_a_lost_connection(self):
        def cut(conn):
            conn.sendall(reply("tGetNrOfROIs", [3])[:14])
            conn.shutdown(2)

        self.run_fault(cut, ConnectionLost, match="middle")

    def test_an_oversized_length_is_refused_before_allocating(self):
        elapsed = self.run_fault(lambda conn: conn.sendall(struct.pack(">q", 1 << 62)), OversizedReply)
        assert elapsed < self.TIMEOUT, "must not wait for a body it will not accept"

    def test_a_negative_length_is_refused(self):
        self.run_fault(lambda conn: conn.sendall(struct.pack(">q", -5)), ProtocolError, match="negative")

    def test_a_reply_naming_another_request_closes_the_connection(self):
        self.run_fault(lambda conn: conn.sendall(reply("tGetNrOfContrasts", [1])), ProtocolError,
                       match="tGetNrOfContrasts")


def test_the_length_limit_is_configurable():
    def answer(name, ints):
        return reply(name, ints, tail=b"\0\0" * 100)

    with FakePlugin(serve_requests(answer)) as plugin:
        with Client("127.0.0.1", plugin.port, timeout=2, max_reply_bytes=64) as client:
            with pytest.raises(OversizedReply):
                client.value_of_all_voxels_at_time(0)
        with Client("127.0.0.1", plugin.port, timeout=2) as client:
            assert len(client.value_of_all_voxels_at_time(0)) == 100


def test_reconnect_opens_a_fresh_connection():
    def answer(name, ints):
        return reply(name, [5])

    with FakePlugin(serve_requests(answer)) as plugin:
        client = Client("127.0.0.1", plugin.port, timeout=2)
        client.close()
        with pytest.raises(ConnectionLost):
            client.nr_of_rois()
        client.reconnect()
        assert client.nr_of_rois() == 5
        client.close()
        assert plugin.connections == 2


def test_connecting_to_a_closed_port_is_a_refused_connection():
    with FakePlugin(lambda conn: None) as plugin:
        port = plugin.port
    with pytest.raises(ConnectionRefused, match="cannot connect"):
        Client("127.0.0.1", port, timeout=1)


@pytest.mark.parametrize("connect", [Client, Subscription], ids=["request", "execute"])
def test_a_connection_closed_before_the_handshake_answer_points_to_the_access_rules(connect):
    # What a plug-in whose settings refuse the client does: close at once, unread.
    with FakePlugin(lambda conn: None) as plugin:
        with pytest.raises(ConnectionRefused, match=r"before answering the handshake.*docs/security\.md"):
            connect("127.0.0.1", plugin.port, timeout=2)
