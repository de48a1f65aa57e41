"""The nmb command against the scripted fake plug-in: output formats, exit
codes, and the end of a session when the plug-in goes away."""

import io
import struct
import threading

import pytest

from fakeplugin import FakePlugin, answer_handshake, error_reply, frame, parse_request, read_frame, reply, text
from nmbclient.tools.cli import main
from ports import free_port

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
            elif name == "tGetMeanOfROI" and ints[0] in MEANS:
                conn.sendall(reply(name, ints, [MEANS[ints[0]] + 0]))
            elif name == "tGetMeanOfROI":
                conn.sendall(error_reply("NrOfROI out of range"))
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


def test_get_prints_typed_values_and_reports_refusals_with_exit_status_1(capsys):
    with FakePlugin(fake_plugin([1])) as plugin:
        assert run(plugin.port, "get", "mean_of_roi", "1") == (0, "20.25\n")
        assert run(plugin.port, "get", "tGetNrOfROIs", "--raw") == (0, "00 00 00 02\n")
        code, _ = run(plugin.port, "get", "tGetProjectName")
        assert code == 1 and "No function call matched!" in capsys.readouterr().err
        # The client asks for the ROI count it did not know, to name the valid range.
        assert run(plugin.port, "get", "mean_of_roi", "99")[0] == 1
    assert capsys.readouterr().err == ("nmb: the plug-in refused: NrOfROI out of range "
                                       "(ROI 99 asked; the host has 2 ROIs, 0 to 1)\n")


def test_usage_errors_and_the_request_list(capsys):
    for bad in (["watch", "--steps", "-1"], ["--port", "abc", "info"], ["record", "--tr", "0", "--csv", "x"]):
        with pytest.raises(SystemExit) as usage:
            main(bad, out=io.StringIO())
        assert usage.value.code == 2, bad
    with pytest.raises(SystemExit):
        main(["get", "--help"], out=io.StringIO())
    listed = capsys.readouterr().out
    assert "mean_of_roi_at_time_point" in listed and "tGetMeanOfROIAtTimePoint" in listed and "roi time_point" in listed


def test_discover_lists_each_announcing_plugin(capsys):
    import socket
    import time
    listen_port = free_port(socket.SOCK_DGRAM)

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


def test_a_missing_plugin_is_exit_status_2_and_a_wait_that_runs_out_says_so(capsys):
    with FakePlugin(lambda conn: None) as plugin:
        port = plugin.port
    assert run(port, "info")[0] == 2
    assert "cannot connect" in capsys.readouterr().err
    for command in (["info"], ["record", "--csv", "/nonexistent/x.csv"]):
        assert run(port, "--wait", "0.3", *command)[0] == 2
        err = capsys.readouterr().err
        assert "no host answered at 127.0.0.1:%d within the 0.3 s waited" % port in err, err
        assert "wait=" not in err
