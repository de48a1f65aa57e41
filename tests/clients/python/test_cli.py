"""The nmb command against the scripted fake plug-in: output formats, exit
codes, and the end of a session when the plug-in goes away."""

import io
import struct
import threading

from fakeplugin import FakePlugin, answer_handshake, error_reply, frame, parse_request, read_frame, reply, text
from nmbclient.cli import main

MEANS = {0: 10.5, 1: 20.25}


def fake_plugin(post_steps, post_run=True):
    """Two ROIs; execute connections get PreStep/PostStep for `post_steps`, then PostRun
    (or, without `post_run`, the connection closes)."""
    subscribed = threading.Event()

    def serve(conn):
        role = answer_handshake(conn)
        if role == "Execute Socket":
            subscribed.set()
            for t in post_steps:
                conn.sendall(frame(text("PreStepCalled") + struct.pack(">i", t)))
                conn.sendall(frame(text("PostStepCalled") + struct.pack(">i", t)))
            if post_run:
                conn.sendall(frame(text("PostRunCalled") + struct.pack(">i", post_steps[-1])))
            return
        while True:
            name, ints = parse_request(read_frame(conn))
            if name == "tGetNrOfROIs":
                conn.sendall(reply(name, [2]))
            elif name == "tGetMeanOfROI":
                conn.sendall(reply(name, ints, [MEANS[ints[0]] + 0]))
            elif name == "tGetPearsonCorrelation":
                conn.sendall(error_reply("Windows size bigger than data available"))
            elif name == "tGetPartialCorrelation":
                conn.sendall(reply(name, ints, [0.25]))
            else:
                conn.sendall(error_reply("No function call matched!"))

    return serve


def run(port, *args):
    out = io.StringIO()
    code = main(["--port", str(port), "--timeout", "2", *args], out=out)
    return code, out.getvalue()


def test_watch_prints_the_means_of_each_post_step_and_ends_with_the_run():
    with FakePlugin(fake_plugin([3, 4, 5])) as plugin:
        code, out = run(plugin.port, "watch")
    lines = out.splitlines()
    assert code == 0
    assert lines[0].split() == ["time", "roi0", "roi1", "latency"]
    assert [line.split()[:3] for line in lines[1:]] == [["3", "10.5000", "20.2500"], ["4", "10.5000", "20.2500"],
                                                       ["5", "10.5000", "20.2500"]]


def test_watch_stops_after_the_given_steps():
    with FakePlugin(fake_plugin([1, 2, 3, 4])) as plugin:
        code, out = run(plugin.port, "watch", "--steps", "2")
    assert code == 0 and len(out.splitlines()) == 3


def test_get_prints_typed_values_and_reports_refusals_with_exit_status_1(capsys):
    with FakePlugin(fake_plugin([1])) as plugin:
        assert run(plugin.port, "get", "mean_of_roi", "1") == (0, "20.25\n")
        assert run(plugin.port, "get", "tGetNrOfROIs", "--raw") == (0, "00 00 00 02\n")
        code, _ = run(plugin.port, "get", "tGetProjectName")
    assert code == 1
    assert "No function call matched!" in capsys.readouterr().err


def test_discover_lists_each_announcing_plugin(capsys):
    import socket
    import time
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        listen_port = probe.getsockname()[1]

    def announce():
        time.sleep(0.1)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for _ in range(5):
                s.sendto(b"Nimbrel Broadcast: 4321", ("127.0.0.1", listen_port))
                time.sleep(0.02)

    sender = threading.Thread(target=announce)
    sender.start()
    out = io.StringIO()
    code = main(["discover", "--listen-timeout", "0.5", "--listen-port", str(listen_port)], out=out)
    sender.join()
    assert (code, out.getvalue()) == (0, "127.0.0.1 4321\n")
    assert main(["discover", "--listen-timeout", "0.2", "--listen-port", str(listen_port)], out=io.StringIO()) == 1
    assert "no plug-in announced itself" in capsys.readouterr().err


def test_a_missing_plugin_is_exit_status_2(capsys):
    with FakePlugin(lambda conn: None) as plugin:
        port = plugin.port
    assert run(port, "info")[0] == 2
    assert "cannot connect" in capsys.readouterr().err
