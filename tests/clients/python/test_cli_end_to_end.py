"""The nmb command against the real plug-in in the simulated host: watch,
record and plot follow a live run side by side; info and get ask afterwards."""

import csv
import os
import subprocess
import sys
import time

import pytest

import simulator
from nmbclient import Client
from ports import free_port

BOXES = [(0, 0, 0, 1, 1, 1), (2, 1, 0, 4, 2, 1), (1, 3, 2, 5, 4, 3)]
VOXEL_COUNTS = [8, 12, 20]
STEPS = 4
# The run starts once watch, record and plot are subscribed.
OPTIONS = ["--dims", 6, 5, 4, "--volumes", 40, "--tr-ms", 150, "--start-on", "clients=3",
           "--linger-ms", 120000, "--project", "cli-project"]
for box in BOXES:
    OPTIONS += ["--roi-box", *box]

PYTHON = "/usr/bin/python3"


def nmb(port, *args):
    return [PYTHON, "-m", "nmbclient", "--port", str(port), "--timeout", "10", *[str(a) for a in args]]


def environment():
    env = dict(os.environ)
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "clients", "python")
    env["PYTHONPATH"] = os.path.abspath(source) + os.pathsep + env.get("PYTHONPATH", "")
    env["MPLBACKEND"] = "Agg"
    return env


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    with simulator.running(*OPTIONS) as sim:
        commands = {
            "watch": nmb(sim.port, "watch", "--steps", STEPS),
            "record": nmb(sim.port, "record", "--csv", folder / "run.csv", "--steps", STEPS, "--window", 3),
            "plot": nmb(sim.port, "plot", "--png", folder / "run.png", "--steps", STEPS),
        }
        running = {name: subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                          env=environment()) for name, cmd in commands.items()}
        finished = {}
        for name, process in running.items():
            out, err = process.communicate(timeout=120)
            finished[name] = (process.returncode, out, err)
        yield {"sim": sim, "folder": folder, "live": finished}


def run_nmb(session, *args):
    done = subprocess.run(nmb(session["sim"].port, *args), capture_output=True, text=True, timeout=60,
                          env=environment())
    return done.returncode, done.stdout, done.stderr


def test_watch_prints_a_row_per_post_step(session):
    code, out, err = session["live"]["watch"]
    assert code == 0, err
    lines = out.strip().splitlines()
    assert lines[0].split() == ["time", "roi0", "roi1", "roi2", "delay", "std_dvars", "tsnr", "marks"]
    rows = [line.split() for line in lines[1:]]
    assert len(rows) == STEPS
    times = [int(row[0]) for row in rows]
    assert times == list(range(times[0], times[0] + STEPS))
    for row in rows:
        assert all(float(v) > 0 for v in row[1:4]) and row[5] == "ms"


def test_record_writes_means_and_correlations_per_volume(session):
    code, out, err = session["live"]["record"]
    assert code == 0, err
    with open(session["folder"] / "run.csv", newline="") as handle:
        table = list(csv.reader(handle))
    header, rows = table[0], table[1:]
    pairs = ["0_1", "0_2", "1_2"]
    assert header == (["run", "time_point", "wall_clock", "monotonic_s", "delay_ms", "condition", "marks",
                       "post_steps", "roi0", "roi1", "roi2"]
                      + ["pearson_" + p for p in pairs] + ["partial_" + p for p in pairs]
                      + ["trigger_s", "pre_step_s", "values_s", "shown_s", "trigger_to_post_step_ms",
                         "post_step_to_values_ms", "values_to_shown_ms"]
                      + ["global_mean", "dvars", "std_dvars", "tsnr", "roi0_tsnr", "roi1_tsnr", "roi2_tsnr", "spike"])
    column = {name: [row[i] for row in rows] for i, name in enumerate(header)}
    assert column["spike"] == ["0"] * len(rows), "a default run has no spike"
    assert all(0.5 < float(v) < 1.5 for v in column["std_dvars"][3:]) and column["std_dvars"][:3] == ["n/a"] * 3
    assert [int(row[1]) for row in rows] == list(range(1, len(rows) + 1))  # one row per volume from the first
    live = [row for row in rows if "backfilled" not in row[6]]
    assert len(live) == STEPS
    with Client("127.0.0.1", session["sim"].port, timeout=10) as client:
        for row in rows:
            time_point = int(row[1])
            for roi in range(3):
                assert float(row[8 + roi]) == pytest.approx(client.mean_of_roi_at_time_point(roi, time_point - 1),
                                                            rel=1e-7)  # the same 4-byte single
            if time_point >= 3:
                pearson = client.pearson_correlation_at_time_point(3, time_point)
                assert [float(v) for v in row[11:14]] == pytest.approx(list(pearson), abs=1e-6)
            else:
                assert row[11:17] == ["n/a"] * 6
    for row in live:
        assert float(row[4]) >= 0 and row[2][:4].isdigit() and row[5] != "n/a" and row[7] == "1"


def test_plot_saves_a_png_of_the_time_courses(session):
    code, out, err = session["live"]["plot"]
    assert code == 0, err
    import matplotlib.image
    image = matplotlib.image.imread(str(session["folder"] / "run.png"))
    assert image.shape[:2] == (700, 1100)  # one panel per ROI
    assert "saved %d time points" % STEPS in out


def test_info_lists_the_project_rois_and_design(session):
    code, out, err = run_nmb(session, "info")
    assert code == 0, err
    fields = {}
    for line in out.splitlines():
        label, _, value = line.partition(":")
        fields[label.strip()] = value.strip()
    assert fields["project"] == "cli-project"
    assert fields["dimensions"] == "6 x 5 x 4"
    assert fields["ROIs"] == "3"
    assert [fields["ROI %d" % r] for r in range(3)] == ["%d voxels" % n for n in VOXEL_COUNTS]
    assert fields["time points"].endswith("of 40")
    assert fields["classes"] == "the host runs no classifier (-3)"
    for label in ("watch folder", "predictors", "contrasts", "classifier"):
        assert label in fields


def test_get_answers_any_request(session):
    assert run_nmb(session, "get", "tGetNrOfROIs")[:2] == (0, "3\n")
    assert run_nmb(session, "get", "nr_of_voxels_of_roi", 2)[:2] == (0, "20\n")
    assert run_nmb(session, "get", "--raw", "tGetNrOfROIs")[:2] == (0, "00 00 00 03\n")
    code, out, _ = run_nmb(session, "get", "tGetAllCoordsOfVoxelsOfROI", 0)
    numbers = [int(v) for v in out.split()]
    triples = {tuple(numbers[i:i + 3]) for i in range(0, len(numbers), 3)}
    assert code == 0 and len(numbers) == 3 * VOXEL_COUNTS[0]
    assert triples == {(x, y, z) for x in (0, 1) for y in (0, 1) for z in (0, 1)}
    code, _, err = run_nmb(session, "get", "tGetNoSuchRequest")
    assert code == 1 and "No function call matched!" in err
    code, _, err = run_nmb(session, "get", "tGetMeanOfROI", 3)
    assert code == 1 and "NrOfROI out of range (ROI 3 asked; the host has 3 ROIs, 0 to 2)" in err


def test_record_started_before_the_host_has_the_first_volume_live(tmp_path):
    # The host serves one TR (0.3 s) before its first volume: a recorder that
    # waits for it must be subscribed by then.
    simulator.require_private_network()
    port = free_port()
    recorder = subprocess.Popen(nmb(port, "--wait", 30, "record", "--csv", tmp_path / "run.csv"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment())
    time.sleep(1.0)
    host = subprocess.Popen([simulator.simulator_path(), "--port", str(port), "--exit-when-done", "--volumes", "3",
                             "--tr-ms", "300", "--dims", "8", "8", "4"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        out, err = recorder.communicate(timeout=60)
    finally:
        host.wait(30)
    assert recorder.returncode == 0, err
    with open(tmp_path / "run.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert [(row["time_point"], row["marks"], row["post_steps"]) for row in rows] == [
        ("1", "n/a", "1"), ("2", "n/a", "1"), ("3", "n/a", "1")]
    assert rows[0]["condition"] == "0" and rows[0]["wall_clock"] != "n/a"
    # The host ends after its run, but not before the last volume's values were read.
    assert rows[-1]["roi0"] != "n/a" and "unread" not in err
