"""The whole loop, measured: the latency ledger, the stimulus program's marks,
scanner triggers, the BIDS events file, live data quality and nmb latency."""

import csv
import io
import json
import socket
import statistics
import struct
import threading
import time

import numpy
import pytest

import nmbclient
from fakeplugin import FakePlugin, answer_handshake, frame, text
from fakerun import BLOCK, FakeRun
from nmbclient import Ledger, Subscription, marks
from nmbclient.tools.cli import main
from nmbclient.tools.events import parse_mark, parse_trigger
from nmbclient.tools.quality import QualityTracker
from ports import free_port


def test_marks_and_triggers_are_the_documented_datagrams_and_a_mark_never_raises():
    port = free_port(socket.SOCK_DGRAM)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as listener:
        listener.bind(("127.0.0.1", port))
        before = time.time()
        assert nmbclient.mark("feedback shown", volume=17, port=port)
        assert nmbclient.mark("cue\tleft\n", port=port)
        first, second = listener.recv(512), listener.recv(512)
    volume, seconds, label = parse_mark(first)
    assert first.startswith(b"Nimbrel Mark: 17 ") and (volume, label) == (17, "feedback shown")
    assert before <= seconds <= time.time() and len(first.split(b" ")[3].split(b".")[1]) == 6
    assert parse_mark(second)[::2] == (None, "cue left ")
    assert parse_trigger(b"Nimbrel Trigger: 1 17 1765270012.804113") == (1, 17, 1765270012.804113)
    assert parse_trigger(b"Nimbrel Trigger: 1 x 1.0") is None and parse_mark(b"Nimbrel Mark: 1") is None
    dropped = marks.dropped
    assert not nmbclient.mark("x", volume="seven", port=port) and not nmbclient.mark("x", port=70000)
    assert marks.dropped == dropped + 2


def test_a_subscription_with_a_ledger_stamps_both_steps():
    def serve(conn):
        answer_handshake(conn)
        conn.sendall(b"".join(frame(text(n) + struct.pack(">i", 1)) for n in ("PreStepCalled", "PostStepCalled")))
        time.sleep(0.5)

    ledger = Ledger()
    with FakePlugin(serve) as plugin, Subscription("127.0.0.1", plugin.port, timeout=2, ledger=ledger) as sub:
        pre, post = sub.next(2), sub.next(2)
        ledger.values(1, post.received_at + 0.004)
        ledger.shown(1, post.received_at + 0.020)
    moments = ledger.moments(1)
    assert (moments.pre_step, moments.post_step) == (pre.received_at, post.received_at)
    assert ledger.stages(1)[1:] == pytest.approx((4.0, 16.0))
    assert ledger.first_wall_clock == pytest.approx(time.time(), abs=5)


def test_quality_matches_an_independent_computation_and_flags_exactly_the_spoiled_volumes():
    rng = numpy.random.default_rng(3)
    head = numpy.where(rng.random(3000) < 0.6, 1000.0, 20.0)
    volumes = [numpy.round(head + rng.normal(0, 10, head.size)).astype(numpy.int16) for _ in range(30)]
    first = volumes[0].copy()
    volumes[0] = numpy.round(volumes[0] * 1.08).astype(numpy.int16)   # a global jump, on the run's first volume
    volumes[9] = volumes[9] + 80
    volumes[20] = numpy.roll(volumes[20], 1)           # the volume moved by a voxel
    tracker = QualityTracker(nr_of_rois=1)
    got, revised = [], {}
    for v in volumes:
        got.append(tracker.add(v, [float(v[:50].mean())]))
        revised.update(tracker.revised)
    assert [t for t, q in enumerate(got) if q.spike] == [9, 20] and list(revised) == [0]
    assert revised[0].spike and got[3].std_dvars is not None and got[2].std_dvars is None

    mask = volumes[0] > volumes[0].mean() / 8
    assert numpy.array_equal(mask, first > first.mean() / 8), "the jump keeps the mask"
    clean = [v[mask].astype(float) for t, v in enumerate(volumes) if t not in (0, 9, 20)]
    dvars = [numpy.sqrt(numpy.mean((b - a) ** 2)) for a, b in zip(clean, clean[1:])]
    late = clean[-2:]  # volume 29 against 28
    assert got[29].dvars == pytest.approx(numpy.sqrt(numpy.mean((late[1] - late[0]) ** 2)), rel=1e-5)
    assert got[29].std_dvars == pytest.approx(dvars[-1] / numpy.median(dvars[:-1]), rel=1e-5)
    assert got[10].dvars == pytest.approx(numpy.sqrt(numpy.mean((volumes[10][mask] - volumes[8][mask]) ** 2.0)))
    stack = numpy.array(clean)
    assert got[29].tsnr == pytest.approx(numpy.mean(stack.mean(0) / stack.std(0, ddof=1)), rel=1e-4)
    assert got[29].global_mean == pytest.approx(volumes[29][mask].mean())
    roi = [float(v[:50].mean()) for t, v in enumerate(volumes) if t not in (0, 9, 20)]
    assert got[29].roi_tsnr[0] == pytest.approx(numpy.mean(roi) / numpy.std(roi, ddof=1))
    assert got[0].dvars is None


LEAD_S = 0.12      # the trigger comes this long before the host's steps
SHOWN_S = 0.03     # the stimulus program shows each volume's feedback this long after its steps
LATE_VOLUME, LATE_S = 4, 0.35   # ... except one, whose mark arrives after the next volume
SPIKE = 7


def raw_volume(time_point):
    """24 voxels whose change from volume to volume is the same everywhere but at the spike."""
    sign = 1 if time_point % 2 else -1
    return [1000 + 10 * sign + (150 if time_point == SPIKE else 0)] * 12 + [500 - 10 * sign] * 12


def test_record_keeps_the_ledger_the_events_and_the_quality_the_loop_produced(tmp_path):
    events_port, trigger_port = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_DGRAM)
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sent = {}

    def on_step(time_point, after):
        if not after:
            sender.sendto(b"Nimbrel Trigger: 1 %d %.6f" % (time_point, time.time()), ("127.0.0.1", trigger_port))
            return
        delay = LATE_S if time_point == LATE_VOLUME else SHOWN_S

        def show():
            sent[time_point] = time.monotonic()
            nmbclient.mark("feedback shown", volume=time_point, port=events_port)
        threading.Timer(delay, show).start()

    steps = [(t, 0.25) for t in range(1, 13)]
    with FakeRun(steps, expected=12, raw=raw_volume, on_step=on_step, lead_s=LEAD_S, start_delay_s=0.8) as run:
        out = io.StringIO()
        code = main(["--port", str(run.port), "--timeout", "3", "record", "--tsv", str(tmp_path / "run.tsv"),
                     "--tr", "0.25", "--events-port", str(events_port), "--trigger", "udp:%d" % trigger_port],
                    out=out)
    sender.close()
    assert code == 0
    sidecar = json.load(open(tmp_path / "run.json"))
    rows = [dict(zip(sidecar["Columns"], line.split("\t"))) for line in open(tmp_path / "run.tsv").read().splitlines()]
    assert [r["time_point"] for r in rows] == [str(t) for t in range(1, 13)]
    number = {name: [float(r[name]) for r in rows] for name in
              ("trigger_s", "monotonic_s", "values_s", "shown_s", "trigger_to_post_step_ms", "values_to_shown_ms")}
    # The stage times are the differences of the moments, and the moments are the loop's.
    for name, (start, end) in {"trigger_to_post_step_ms": ("trigger_s", "monotonic_s"),
                               "values_to_shown_ms": ("values_s", "shown_s")}.items():
        assert number[name] == pytest.approx([1000 * (b - a) for a, b in zip(number[start], number[end])],
                                             abs=1e-3)
    assert statistics.median(number["trigger_to_post_step_ms"]) == pytest.approx(LEAD_S * 1000, abs=40)
    assert number["shown_s"] == pytest.approx([sent[t] for t in range(1, 13)], abs=0.01)
    late = number["values_to_shown_ms"][LATE_VOLUME - 1]
    # Its mark came after the next volume's row was written, and still went to its own row.
    assert number["shown_s"][LATE_VOLUME - 1] > number["monotonic_s"][LATE_VOLUME]
    assert [r["spike"] for r in rows] == ["1" if t == SPIKE else "0" for t in range(1, 13)]

    [latency] = sidecar["Latency"]
    assert latency["ValuesToShownMs"]["Median"] == pytest.approx(statistics.median(number["values_to_shown_ms"]))
    assert latency["ValuesToShownMs"]["Max"] == pytest.approx(late)
    assert latency["FeedbackLaterThanOneTR"] == sum(
        1 for s, t in zip(number["shown_s"], number["trigger_s"]) if s - t > 0.25)
    assert sidecar["Quality"][0]["SpikeVolumes"] == [SPIKE]

    events = list(csv.DictReader(open(tmp_path / "run_events.tsv"), delimiter="\t"))
    shown = [e for e in events if e["trial_type"] == "feedback shown"]
    assert [int(e["volume"]) for e in sorted(shown, key=lambda e: int(e["volume"]))] == list(range(1, 13))
    zero = number["trigger_s"][0]
    for e in shown:
        assert float(e["onset"]) == pytest.approx(number["shown_s"][int(e["volume"]) - 1] - zero, abs=2e-6)
    conditions = [(e["trial_type"], int(e["volume"])) for e in events if e["trial_type"].startswith("condition")]
    assert conditions == [("condition 0", 1), ("condition 1", BLOCK + 1), ("condition 0", 2 * BLOCK + 1)]
    assert [float(e["onset"]) for e in events] == sorted(float(e["onset"]) for e in events)
    assert set(json.load(open(tmp_path / "run_events.json"))) == {"onset", "duration", "trial_type", "volume"}

    out = io.StringIO()
    assert main(["latency", str(tmp_path / "run.tsv"), "--png", str(tmp_path / "stages.png")], out=out) == 0
    assert "values -> shown" in out.getvalue() and (tmp_path / "stages.png").stat().st_size > 10000
    assert "feedback later than one TR after the trigger: %d of 12" % latency["FeedbackLaterThanOneTR"] \
        in out.getvalue()


def test_a_tty_trigger_counts_bytes_from_the_volume_it_anchors_on():
    import os
    from nmbclient.tools.events import EventListener, RunEvents, Trigger
    from nmbclient.tools.follower import Volume

    controller, device = os.openpty()
    listener = EventListener(0, "tty:%s" % os.ttyname(device))
    try:
        os.write(controller, b"5x5")  # two triggers and a byte that is none
        deadline = time.monotonic() + 2
        got = []
        while len(got) < 2 and time.monotonic() < deadline:
            got += listener.drain()
            time.sleep(0.01)
    finally:
        listener.stop()
        os.close(controller)
        os.close(device)
    assert [type(a) for a in got] == [Trigger, Trigger] and got[0].volume is None

    def volume(t, pre):
        return Volume(1, t, [], 0, None, None, None, None, pre + 0.01, 0.5, (), 0, False, pre)

    run = RunEvents(1, tr=1.0)
    for at in (0.0, 1.0, 2.0, 3.0):    # the first trigger came before anyone followed the run
        run.add(Trigger(None, None, at))
    run.add_volume(volume(5, 1.6))      # joined at volume 5: the last byte before its pre-step is its own
    run.add(Trigger(None, None, 4.0))
    assert [run.trigger_of(t) for t in (3, 4, 5, 6, 8, 9)] == [None, 0.0, 1.0, 2.0, 4.0, None]
    assert run.zero() == pytest.approx(1.0 - 4 * 1.0), "the run's first volume, four TRs before volume 5's trigger"


def test_without_numpy_one_line_says_the_data_quality_is_off(monkeypatch, capsys):
    from nmbclient.tools import live
    monkeypatch.setattr(live, "numpy_missing", lambda: True)
    with FakeRun([(1, 0.05), (2, 0.05)], expected=2) as run:
        assert main(["--port", str(run.port), "watch"], out=io.StringIO()) == 0
    err = capsys.readouterr().err
    assert err.count("data quality") == 1 and "off" in err
