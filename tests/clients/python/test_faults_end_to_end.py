"""A run with injected faults (--faults) followed live: the step stream shows
exactly the faults the simulator reports, the plug-in's answers stay right
for every volume it was told about, checked against the voxel values, and
`nmb record`, following the same run, writes one row per volume with the
irregular ones marked.
"""

import json
import os
import re
import socket
import subprocess
import sys

import numpy

import simulator
from examples import load_example
from ports import free_port
from nmbclient import Client, Subscription

DIMS = (6, 5, 4)
BOX = (1, 1, 0, 3, 3, 2)
VOLUMES = 40
STOP_AT = 24
FAULTS = "drop=0.25,repeat=0.2,late=0.15:250ms,jitter=30ms,stop-at=%d,seed=5" % STOP_AT


def start_on(execute, requests=0):
    """--start-on for `execute` subscribers that also keep `requests` request
    connections open: under Wine, whose sockets give no TCP figures, the
    Windows host (Nimbrel.exe) counts every established connection; the Linux
    one counts only the subscribed ones."""
    windows = bool(os.environ.get("NMB_WINDOWS_SIMULATOR"))
    return ["--start-on", "clients=%d" % (execute + (requests if windows else 0))]


# The run starts once both followers (nmb record and the test's subscription)
# are subscribed, however busy the machine; the linger keeps the host up while
# the last step's requests are answered (the post-run of a stopped run follows
# its last step at once).
OPTIONS = ["--dims", *DIMS, "--volumes", VOLUMES, "--tr-ms", 150, *start_on(2, requests=2),
           "--roi-box", *BOX, "--faults", FAULTS, "--linger-ms", 5000]


def box_indices():
    x0, y0, z0, x1, y1, z1 = BOX
    return [x + DIMS[0] * (y + DIMS[1] * z)
            for z in range(z0, z1 + 1) for y in range(y0, y1 + 1) for x in range(x0, x1 + 1)]


def reported(log, kind):
    return [int(v) for v in re.findall(r"fault: volume (\d+) %s" % kind, log)]


def test_the_stream_the_answers_and_the_recording_under_every_kind_of_fault(tmp_path):
    with simulator.running(*OPTIONS) as sim:
        recording = subprocess.Popen([sys.executable, "-m", "nmbclient", "--port", str(sim.port), "record",
                                      "--tsv", str(tmp_path / "run.tsv")],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=os.environ)
        post_steps, post_run, checked = [], None, 0
        with Subscription("127.0.0.1", sim.port, timeout=10) as sub:
            # Asked at once: a request connection that has asked nothing yet
            # would count as a subscriber for --start-on.
            client = Client("127.0.0.1", sim.port, timeout=10)
            client.current_time_point()
            for step in sub.notifications(timeout=10):
                if step.name == "PostRunCalled":
                    post_run = step.time_point
                elif step.name == "PostStepCalled":
                    post_steps.append(step)
                    # The newest volume's mean, as recorded by the plug-in,
                    # against the mean of its voxels.
                    newest = step.time_point - 1
                    mean = client.mean_of_roi_at_time_point(0, newest)
                    volume = numpy.asarray(client.raw_value_of_all_voxels_at_time(newest), dtype=float)
                    assert abs(mean - volume[box_indices()].mean()) < 1e-3 * abs(mean) + 1e-3
                    assert client.current_time_point() >= step.time_point
                    checked += 1
        recorded, complaints = recording.communicate(timeout=60)
        rows = [line.split("\t") for line in open(tmp_path / "run.tsv").read().splitlines()]
        sidecar = json.load(open(tmp_path / "run.json"))
        column = {name: [row[i] for row in rows] for i, name in enumerate(sidecar["Columns"])}
        means = [client.mean_of_roi_at_time_point(0, t - 1) for t in range(1, STOP_AT + 1)]
        log = sim.log()
        client.close()

    dropped, repeated = reported(log, "dropped"), reported(log, "repeated")
    assert dropped and repeated and reported(log, r"arrives \d+ ms after its slot \(late\)"), \
        "the seed must give every kind of fault:\n" + log
    assert "stops after volume %d of %d" % (STOP_AT, VOLUMES) in log
    # On a 3.1 host volume v arrives as time point v.
    points = [s.time_point for s in post_steps]
    assert sorted(set(points)) == [v for v in range(1, STOP_AT + 1) if v not in dropped]
    assert [s.time_point for s in post_steps if s.repeated] == repeated
    distinct = sorted(set(points))
    gaps = {b: b - a - 1 for a, b in zip(distinct, distinct[1:]) if b - a > 1}
    assert gaps, "a drop in the middle of the run is expected with this seed"
    assert {s.time_point: s.skipped for s in post_steps if s.skipped} == gaps
    assert post_run == STOP_AT
    assert checked == len(post_steps)

    # One row per volume of the stopped run, in order, each irregular one marked, no empty cell.
    assert recording.returncode == 3, complaints
    assert "run ended early: %d of %d volumes" % (STOP_AT, VOLUMES) in complaints and "recorded" in recorded
    assert column["time_point"] == [str(t) for t in range(1, STOP_AT + 1)]
    assert all(len(row) == len(sidecar["Columns"]) and "" not in row for row in rows)
    marked = {kind: [t + 1 for t, marks in enumerate(column["marks"]) if kind in marks.split("+")]
              for kind in ("dropped", "repeated")}
    assert marked == {"dropped": dropped, "repeated": repeated}
    assert [numpy.float32(v) for v in column["roi0"]] == [numpy.float32(m) for m in means]  # the same singles
    assert sidecar["Runs"][0]["End"] == "ended early" and sidecar["Rows"] == STOP_AT


def test_spike_flags_fall_on_exactly_the_volumes_the_simulator_spoiled(tmp_path):
    faults = "spike=0.08,shift=0.06,late=0.1:300ms,jitter=20ms,seed=11"
    options = ["--dims", 32, 32, 16, "--volumes", 60, "--tr-ms", 120, *start_on(1, requests=1),
               "--faults", faults, "--linger-ms", 3000, "--exit-when-done"]
    with simulator.running(*options) as sim:
        recording = subprocess.run([sys.executable, "-m", "nmbclient", "--port", str(sim.port), "--wait", "20",
                                    "record", "--tsv", str(tmp_path / "run.tsv"), "--events-port", "0"],
                                   capture_output=True, text=True, env=os.environ, timeout=120)
        log = sim.log()
    assert recording.returncode == 0, recording.stderr
    spoiled = sorted(set(reported(log, "spiked") + reported(log, r"shifted")))
    assert reported(log, "spiked") and reported(log, "shifted"), "the seed must spike and shift:\n" + log
    sidecar = json.load(open(tmp_path / "run.json"))
    rows = [dict(zip(sidecar["Columns"], line.split("\t"))) for line in open(tmp_path / "run.tsv").read().splitlines()]
    assert [int(r["time_point"]) for r in rows if r["spike"] == "1"] == spoiled
    assert sidecar["Quality"][0]["SpikeVolumes"] == spoiled
    assert [int(r["time_point"]) for r in rows] == list(range(1, 61)), "every volume live"


def test_the_ledger_shows_each_trigger_the_processing_delay_and_its_late_delay_before_the_pre_step(tmp_path):
    """The trigger goes out at each volume's slot and the pre-step follows the
    processing delay later, plus the volume's late delay; the ledger of `nmb
    record --trigger` shows it (the recorder does no quality work here, so
    that its own timing stays out of the figures)."""
    delay_ms, late_ms, tr_ms = 100, 120, 250  # a late volume still comes before the next slot
    trigger_port = free_port(socket.SOCK_DGRAM)
    options = ["--dims", 8, 8, 4, "--volumes", 48, "--tr-ms", tr_ms, *start_on(1, requests=1),
               "--trigger-udp", trigger_port, "--processing-delay-ms", delay_ms,
               "--faults", "late=0.12:%dms,seed=11" % late_ms, "--linger-ms", 3000, "--exit-when-done"]
    with simulator.running(*options) as sim:
        recording = subprocess.run([sys.executable, "-m", "nmbclient", "--port", str(sim.port), "--wait", "20",
                                    "record", "--tsv", str(tmp_path / "run.tsv"), "--events-port", "0",
                                    "--no-quality", "--trigger", "udp:%d" % trigger_port],
                                   capture_output=True, text=True, env=os.environ, timeout=120)
        log = sim.log()
    assert recording.returncode == 0, recording.stderr
    late = reported(log, r"arrives \d+ ms after its slot \(late\)")
    assert late, "the seed must delay volumes:\n" + log
    sidecar = json.load(open(tmp_path / "run.json"))
    rows = [dict(zip(sidecar["Columns"], line.split("\t"))) for line in open(tmp_path / "run.tsv").read().splitlines()]
    assert [int(r["time_point"]) for r in rows] == list(range(1, 49)), "every volume live"
    # Signed: how much later than the injected delays the pre-step came.
    errors = {int(r["time_point"]): (float(r["pre_step_s"]) - float(r["trigger_s"])) * 1000.0
              - (delay_ms + (late_ms if int(r["time_point"]) in late else 0)) for r in rows}
    # Wine's sleeps and socket calls (through its server) are coarser.
    within_ms = 10.0 if os.environ.get("NMB_WINDOWS_SIMULATOR") else 5.0
    for which, volumes in (("late", late), ("on time", set(errors) - set(late))):
        assert abs(numpy.median([errors[v] for v in volumes])) <= within_ms, (which, errors)
    # A process held up by a busy machine stamps a volume or two late.
    outside = {v: e for v, e in errors.items() if abs(e) > within_ms}
    assert len(outside) <= len(errors) // 10, outside


def test_the_trigger_follower_example_names_each_volumes_trigger_and_the_missing_ones():
    example = load_example("trigger_follower")
    trigger_port = free_port(socket.SOCK_DGRAM)
    options = ["--dims", 8, 8, 4, "--volumes", 12, "--tr-ms", 200, "--trigger-udp", trigger_port,
               "--processing-delay-ms", 80, *start_on(1), "--linger-ms", 500,
               "--faults", "first-trigger-missed,missed-trigger=0.2,extra-trigger=0.2,seed=4"]
    with simulator.running(*options) as sim:
        follower = example.TriggerFollower("127.0.0.1", sim.port, trigger_port)
        lines = []
        while not follower.ended:
            lines += follower.poll()
        follower.close()
        log = sim.wait_for_log("done")
    missed = [int(v) for v in re.findall(r"no trigger for volume (\d+)", log)]
    extra = [int(v) for v in re.findall(r"a second trigger for volume (\d+)", log)]
    assert missed[0] == 1 and len(missed) > 1 and extra, log
    assert lines[0] == "first trigger: volume %d" % min(set(range(1, 13)) - set(missed))
    volumes = {int(m.group(1)): m.group(2) for m in (re.match(r"volume +(\d+): (.*)", line) for line in lines) if m}
    assert sorted(volumes) == list(range(1, 13))
    assert [v for v, said in volumes.items() if said == "no trigger (missed)"] == missed
    for v, said in volumes.items():
        if v not in missed:
            assert said.startswith("trigger %d, pre-step " % v), said
    # A second trigger after a missed first one is the only one the program hears.
    assert sorted(int(v) for v in re.findall(r"extra trigger for volume (\d+)", "\n".join(lines))) == \
        sorted(v for v in extra if v not in missed)
    assert lines[-1].startswith("run ended after 12 volumes: %d without a trigger" % len(missed))
