"""Following a run volume by volume (RunFollower) and what is built on it:
nmb record, nmb plot and the dashboard's server, against a scripted run."""

import csv
import datetime
import io
import json
import math
import threading
import urllib.error
import urllib.request

import pytest

from examples import load_example
from fakerun import NEW_RUN, PROJECT, FakeRun, condition_at, mean_at
from nmbclient.tools.cli import main
from nmbclient.tools.follower import (DROPPED, ENDED_EARLY, GAP, IDLE, LATE, LOST, REPEATED, RUN_ENDED, RunFollower,
                                   RunInfo, State, Volume)


def follow(run, runs=1, **options):
    """Every event until `runs` runs have ended (or the follower gives up)."""
    follower = RunFollower("127.0.0.1", run.port, timeout=3, **options)
    events = []
    for event in follower.events():
        events.append(event)
        if isinstance(event, State) and event.state in (RUN_ENDED, ENDED_EARLY):
            runs -= 1
            if not runs:
                break
    return events


def volumes(events):
    return [e for e in events if isinstance(e, Volume)]


def test_a_run_joined_late_is_backfilled_and_skipped_repeated_and_late_volumes_are_marked():
    steps = [(t, 0.15) for t in range(4, 9)] + [(10, 0.15), (10, 0.15), (11, 0.7), (12, 0.15)]
    with FakeRun(steps, already=3, expected=12) as run:
        events = follow(run, wait=None)
    [info] = [e for e in events if isinstance(e, RunInfo)]
    assert (info.project, info.dims, info.nr_of_rois, info.voxel_counts) == (PROJECT, (4, 3, 2), 3, [10, 20, 30])
    got = volumes(events)
    assert [(v.time_point, v.backfilled, v.marks, v.missing) for v in got] == (
        [(t, True, (), 0) for t in (1, 2, 3)] + [(t, False, (), 0) for t in range(4, 9)] + [(9, True, (DROPPED,), 0)]
        + [(10, False, (GAP,), 1), (10, False, (REPEATED,), 0), (11, False, (LATE,), 0), (12, False, (), 0)])
    for v in got:
        assert v.means == [mean_at(roi, v.time_point) for roi in range(3)]
        if v.backfilled:
            assert (v.condition, v.wall_clock, v.delay_ms) == (None, None, None)
        else:
            assert v.condition == condition_at(v.time_point)
            assert 0 <= v.delay_ms < 1000
            stamp = datetime.datetime.fromisoformat(v.wall_clock)
            assert abs((datetime.datetime.now(datetime.timezone.utc) - stamp).total_seconds()) < 30
    assert events[-1] == State(RUN_ENDED, "time point 12", 12)


def test_a_lost_connection_is_retried_and_what_was_missed_is_backfilled():
    steps = [(t, 0.1) for t in range(1, 13)]
    with FakeRun(steps, drop_after=4, expected=12) as run:
        events = follow(run)
    states = [e.state for e in events if isinstance(e, State)]
    assert LOST in states and states[-1] == RUN_ENDED
    assert len([e for e in events if isinstance(e, RunInfo)]) == 1  # the same run continues
    got = volumes(events)
    assert sorted(v.time_point for v in got) == list(range(1, 13))  # each volume exactly once
    assert any(v.backfilled for v in got[4:]) and not any(v.marks for v in got)


def test_the_next_run_starts_afresh_and_an_early_end_is_told():
    steps = [(t, 0.05) for t in range(1, 5)] + [(NEW_RUN, 0.05)] + [(t, 0.05) for t in range(1, 4)]
    with FakeRun(steps, expected=4) as run:
        events = follow(run, runs=2)
    assert [e.run for e in events if isinstance(e, RunInfo)] == [1, 2]
    assert [(v.run, v.time_point, v.marks) for v in volumes(events)] == (
        [(1, t, ()) for t in range(1, 5)] + [(2, t, ()) for t in range(1, 4)])
    ends = [e for e in events if isinstance(e, State) and e.state in (RUN_ENDED, ENDED_EARLY)]
    assert ends == [State(RUN_ENDED, "time point 4", 4), State(ENDED_EARLY, "3 of 4 volumes", 3)]


def test_a_host_that_stops_after_its_run_is_no_loss_and_the_next_one_counts_runs_from_1():
    first = FakeRun([(1, 0.05), (2, 0.05)], expected=2, host_ends=True)
    follower = RunFollower("127.0.0.1", first.port, timeout=3, wait=30)
    events, second = [], None
    try:
        for event in follower.events():
            events.append(event)
            if isinstance(event, State) and event.state == RUN_ENDED:
                if second is not None:
                    break
                assert first.done.wait(5)
                second = FakeRun([(1, 0.05)], expected=1, port=first.port)  # the host restarted
    finally:
        for run in (first, second):
            if run is not None:
                run.close()
    assert LOST not in [e.state for e in events if isinstance(e, State)]
    assert [e.run for e in events if isinstance(e, RunInfo)] == [1, 1]
    assert [(v.run, v.time_point) for v in volumes(events)] == [(1, 1), (1, 2), (1, 1)]
    # The first host was gone before it answered for its last volume: the volume is
    # still there, its values unknown, and the run ended, not lost.
    assert all(math.isnan(m) for m in volumes(events)[1].means)


def test_a_host_whose_run_is_over_is_idle_and_its_old_run_is_not_followed():
    with FakeRun([], already=5, expected=5, post_run=False) as run:
        follower = RunFollower("127.0.0.1", run.port, timeout=3, wait=None, idle_after_s=0.2)
        events = []
        for event in follower.events():
            events.append(event)
            if isinstance(event, State) and event.state == IDLE:
                break
    assert not [e for e in events if isinstance(e, (RunInfo, Volume))]
    assert events[-1].detail == "the host at 127.0.0.1:%d answers, but no run is in progress (time point 5 of 5)" \
        % run.port


def record(run, tmp_path, *options):
    out = io.StringIO()
    code = main(["--port", str(run.port), "--timeout", "3", "record", "--csv", str(tmp_path / "run.csv"),
                 "--tsv", str(tmp_path / "run.tsv"), *options], out=out)
    return code, out.getvalue()


def read_recording(tmp_path):
    """(header, CSV rows, TSV rows, sidecar); every cell of both files holds a value."""
    table = list(csv.reader(open(tmp_path / "run.csv", newline="")))
    header, rows = table[0], table[1:]
    tsv = [line.split("\t") for line in open(tmp_path / "run.tsv").read().splitlines()]
    sidecar = json.load(open(tmp_path / "run.json"))
    assert tsv == rows and sidecar["Columns"] == header and len(rows) == sidecar["Rows"]
    assert all(len(row) == len(header) and "" not in row for row in rows)
    return header, rows, sidecar


def test_record_writes_csv_and_a_tsv_with_a_sidecar_that_describes_it(tmp_path):
    # The condition is the host's current one: the volumes come slowly enough for it to be this volume's.
    steps = [(t, 0.2) for t in range(6, 15)] + [(16, 0.2)]
    with FakeRun(steps, already=5, classes=3, expected=16) as run:
        code, out = record(run, tmp_path, "--baseline", "1:5", "--window", "3", "--tr", "0.2")
    assert code == 0 and "recorded 16 volumes" in out
    header, rows, sidecar = read_recording(tmp_path)
    column = {name: [row[i] for row in rows] for i, name in enumerate(header)}
    assert column["time_point"] == [str(t) for t in range(1, 17)]
    assert column["marks"] == ["backfilled"] * 5 + ["n/a"] * 9 + ["dropped+backfilled", "gap"]
    assert column["post_steps"] == ["0"] * 5 + ["1"] * 9 + ["0", "1"]
    assert column["condition"] == ["n/a"] * 5 + [str(condition_at(t)) for t in range(6, 15)] + ["n/a", "1"]
    # The baseline (time points 1-5, all rest) is 100, known from time point 5 on; the task effect is 2 %.
    assert column["roi0_psc"][:4] == ["n/a"] * 4
    for t, roi0, psc0 in list(zip(column["time_point"], column["roi0"], column["roi0_psc"]))[4:]:
        assert float(roi0) == mean_at(0, int(t))
        assert float(psc0) == pytest.approx(100.0 * (mean_at(0, int(t)) - 100.0) / 100.0)
    live = [i for i, marks in enumerate(column["marks"]) if "backfilled" not in marks]
    assert [column["classifier_result"][i] for i in live] == [str(int(column["time_point"][i]) % 3) for i in live]
    assert {column["classifier_values"][i] for i in live} == {"0.5 0.5 0.5"}
    assert column["classifier_result"][:5] == ["n/a"] * 5 and column["pearson_0_1"] == ["n/a"] * 16
    assert column["wall_clock"][0] == "n/a" and column["roi1"][0] == "200"
    assert sidecar["Source"]["ProjectName"] == PROJECT and sidecar["Source"]["ROIVoxelCounts"] == [10, 20, 30]
    assert sidecar["Source"]["PluginProtocolVersion"] == "2.0.0" and sidecar["Source"]["NumberOfClasses"] == 3
    assert sidecar["Baseline"] == {"FirstTimePoint": 1, "LastTimePoint": 5, "Means": [100.0, 200.0, 300.0]}
    assert sidecar["SamplingFrequency"] == 5 and sidecar["RepetitionTime"] == 0.2
    assert sidecar["MedianVolumeIntervalSeconds"] == pytest.approx(0.2, rel=0.5)
    assert set(sidecar["marks"]["Levels"]) == {"gap", "dropped", "backfilled", "repeated", "late", "unread"}
    assert sidecar["Runs"] == [{"Run": 1, "ExpectedVolumes": 16, "Rows": 16, "LiveVolumes": 10,
                                "BackfilledVolumes": 6, "DroppedVolumes": 1, "RepeatedVolumes": 0,
                                "LateVolumes": 0, "UnreadVolumes": 0, "End": "complete", "HostTimePointAtEnd": 16}]
    assert sidecar["EndedEarly"] is False
    assert sidecar["roi0_psc"]["Units"] == "%" and sidecar["GeneratedBy"][0]["Name"] == "nmb record"


def test_record_keeps_one_row_per_volume_through_every_fault_and_tells_an_early_end(tmp_path, capsys):
    # Volume 4 dropped, 5 repeated twice, 6 late, and the run stopped at 8 of 20.
    steps = [(1, 0.15), (2, 0.15), (3, 0.15), (5, 0.3), (5, 0.05), (5, 0.05), (6, 0.9), (7, 0.15), (8, 0.15)]
    with FakeRun(steps, expected=20, start_delay_s=0.5) as run:
        code, out = record(run, tmp_path)
    assert code == 3 and "recorded 8 volumes" in out
    assert "run ended early: 8 of 20 volumes" in capsys.readouterr().err
    header, rows, sidecar = read_recording(tmp_path)
    column = {name: [row[i] for row in rows] for i, name in enumerate(header)}
    assert column["time_point"] == [str(t) for t in range(1, 9)]
    assert column["marks"] == ["n/a"] * 3 + ["dropped+backfilled", "gap+repeated", "late", "n/a", "n/a"]
    assert column["post_steps"] == ["1", "1", "1", "0", "3", "1", "1", "1"]
    assert [float(v) for v in column["roi0"]] == [mean_at(0, t) for t in range(1, 9)]
    assert sidecar["Runs"][0]["End"] == "ended early" and sidecar["EndedEarly"] is True
    assert (sidecar["Runs"][0]["ExpectedVolumes"], sidecar["Runs"][0]["HostTimePointAtEnd"]) == (20, 8)
    assert [sidecar["Runs"][0][k] for k in ("DroppedVolumes", "RepeatedVolumes", "LateVolumes")] == [1, 1, 1]
    assert sidecar["SamplingFrequency"] is None  # no nominal TR given


def test_record_of_a_host_that_ends_before_answering_keeps_every_volume_and_the_normal_end(tmp_path, capsys):
    # Volume 2 (twice) and 3 come with the post-run; the host is gone before it
    # answers for them: their rows are there, marked unread, and the run ended.
    with FakeRun([(1, 0.1), (2, 0.1), (2, 0), (3, 0)], expected=3, host_ends=True) as run:
        code, _ = record(run, tmp_path)
    err = capsys.readouterr().err
    assert code == 0 and "lost" not in err and "values of 2 volumes could be read" in err
    header, rows, sidecar = read_recording(tmp_path)
    column = {name: [row[i] for row in rows] for i, name in enumerate(header)}
    assert (column["time_point"], column["post_steps"]) == (["1", "2", "3"], ["1", "2", "1"])
    assert column["marks"] == ["n/a", "unread+repeated", "unread"] and column["roi0"][1:] == ["n/a", "n/a"]
    assert (sidecar["Runs"][0]["End"], sidecar["Runs"][0]["UnreadVolumes"]) == ("complete", 2)


def test_record_needs_an_output_and_a_lost_run_fails(tmp_path, capsys):
    assert main(["record"], out=io.StringIO()) == 2
    with FakeRun([(1, 0.05), (2, 0.05), (3, 0.05)], drop_after=2) as run:
        code, out = record(run, tmp_path)
    assert code == 2 and "recorded 2 volumes" in out
    assert "lost in the middle of a run" in capsys.readouterr().err
    assert json.load(open(tmp_path / "run.json"))["Runs"][0]["End"] == "connection lost"


def test_watch_marks_every_irregular_volume_and_stops_after_its_steps():
    steps = [(1, 0.15), (2, 0.15), (3, 0.15), (5, 0.3), (5, 0.05), (6, 0.9), (7, 0.15)]
    with FakeRun(steps, expected=7) as run:
        out = io.StringIO()
        assert main(["--port", str(run.port), "watch", "--no-quality"], out=out) == 0
    lines = [line.split() for line in out.getvalue().splitlines()]
    assert lines[0] == ["time", "roi0", "roi1", "roi2", "delay", "marks"]
    # time, three means, the delay ("0.3 ms", or "-" for a volume not seen live), the marks
    marks = [" ".join(row[6:] if row[5] == "ms" else row[5:]) for row in lines[1:]]
    assert [row[0] for row in lines[1:]] == ["1", "2", "3", "4", "5", "5", "6", "7"]
    assert marks == ["", "", "", "dropped+backfilled", "gap (1 missing)", "repeated", "late", ""]
    assert lines[4][1:5] == ["%.4f" % mean_at(0, 4), "200.0000", "300.0000", "-"]
    with FakeRun(steps, expected=7) as run:
        out = io.StringIO()
        assert main(["--port", str(run.port), "watch", "--steps", "2"], out=out) == 0
    assert len(out.getvalue().splitlines()) == 3


@pytest.mark.parametrize("backend", ["agg", "TkAgg"])
def test_plot_without_a_display_says_so_and_connects_nowhere(tmp_path, capsys, monkeypatch, backend):
    # A terminal with no display: matplotlib may still name a window backend.
    import matplotlib
    monkeypatch.setattr(matplotlib, "get_backend", lambda: backend)
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    monkeypatch.chdir(tmp_path)
    with FakeRun([(1, 0.05)]) as run:
        code = main(["--port", str(run.port), "plot"], out=io.StringIO())
        connections = run.plugin.connections
    assert code == 2 and connections == 0 and list(tmp_path.iterdir()) == []
    assert "--png" in capsys.readouterr().err


def test_plot_draws_the_whole_run_one_panel_per_roi_with_the_protocol_behind(tmp_path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from nmbclient.tools import plotting
    from nmbclient.tools.baseline import Baseline

    steps = [(t, 0.02) for t in range(11, 20)] + [(t, 0.02) for t in range(21, 31)]
    with FakeRun(steps, already=10) as run:
        out = io.StringIO()
        assert main(["--port", str(run.port), "plot", "--png", str(tmp_path / "run.png")], out=out) == 0
    assert "saved 30 time points" in out.getvalue()
    assert (tmp_path / "run.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with FakeRun(steps, already=10) as run:
        events = follow(run, wait=None)
    info = next(e for e in events if isinstance(e, RunInfo))
    series = plotting.RunSeries(info)
    for v in volumes(events):
        series.add(v)
    figure = plt.figure(figsize=plotting.figure_size(info))
    plotting.draw(figure, series)
    panels = figure.axes
    assert len(panels) == 3
    xs, ys = panels[0].lines[0].get_data()
    assert list(xs) == list(range(1, 31))
    assert ys[0] == 100.0 and ys[5] == 102.0 and ys[19] == mean_at(0, 20)  # 20, skipped, read afterwards
    dashed = [line.get_xdata()[0] for line in panels[0].lines[1:] if line.get_linestyle() == "--"]
    assert dashed == [20]
    assert all(float(t).is_integer() for t in panels[0].get_xticks())
    to_data = panels[0].transData.inverted()
    spans = [to_data.transform(p.get_verts())[:, 0] for p in panels[0].patches]
    shaded = sorted((round(min(xs) + 0.5), round(max(xs) - 0.5)) for xs in spans)
    assert shaded == [(16, 19), (26, 30)]  # condition 1 of the live volumes (19: before the gap)
    figure.canvas.draw()
    legend = figure.legends[0].get_window_extent()
    assert legend.x0 >= max(p.get_window_extent().x1 for p in panels)  # beside the data, not over it
    assert "fake-project, run 1" in figure._suptitle.get_text() and "of 30" in figure._suptitle.get_text()

    plotting.draw(figure, series, Baseline(1, 5))
    assert len(figure.axes) == 1 and len(figure.axes[0].lines[0].get_data()[1]) == 30
    assert figure.axes[0].lines[0].get_data()[1][5] == pytest.approx(2.0)
    plt.close(figure)


def test_the_dashboard_server_streams_the_run_and_serves_only_its_own_files():
    from nmbclient.tools.baseline import Baseline
    from nmbclient.tools.dashboard.server import DashboardServer, RunState
    from nmbclient.tools.follower import CONNECTED

    state = RunState({"window": 10, "baseline": [1, 5]})
    server = DashboardServer(("127.0.0.1", 0), state)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    base = "http://127.0.0.1:%d" % server.server_address[1]
    info = RunInfo(1, PROJECT, (4, 3, 2), 2, [10, 20], 30, 0, (2, 0, 0), "127.0.0.1", 55555)
    volume = Volume(1, 1, [100.0, math.nan], 0, None, None, None, "2026-01-01T00:00:00.000+00:00", 1.0, 0.5, (),
                    0, False)
    try:
        state.apply(info)
        state.apply(volume)
        page = urllib.request.urlopen(base + "/")
        assert page.headers["Content-Type"].startswith("text/html") and b"uPlot.iife.min.js" in page.read()
        assert len(urllib.request.urlopen(base + "/static/vendor/uPlot.iife.min.js").read()) > 10000
        for path in ("/static/../server.py", "/static/%2e%2e/server.py", "/etc/passwd", "/static/"):
            with pytest.raises(urllib.error.HTTPError) as refused:
                urllib.request.urlopen(base + path)
            assert refused.value.code == 404
        rebound = urllib.request.Request(base + "/state", headers={"Host": "attacker.example:8055"})
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(rebound)
        assert refused.value.code == 403
        snapshot = json.load(urllib.request.urlopen(base + "/state"))
        assert snapshot["info"]["project"] == PROJECT and snapshot["volumes"][0]["means"] == [100.0, None]

        stream = urllib.request.urlopen(base + "/events", timeout=5)
        first = [stream.readline() for _ in range(3)]
        assert first[0] == b"event: snapshot\n" and json.loads(first[1][6:])["volumes"][0]["t"] == 1
        state.apply(State(CONNECTED, ""))
        state.apply(volume._replace(time_point=3, marks=(GAP,), missing=1))
        lines = [stream.readline() for _ in range(6)]
        assert lines[0] == b"event: state\n" and lines[3] == b"event: volume\n"
        assert json.loads(lines[4][6:])["marks"] == ["gap"]
        stream.close()
    finally:
        state.close()
        server.shutdown()
        server.server_close()
    assert Baseline.parse("3:7").mean({2: 1.0, 3: 2.0, 7: 4.0, 8: 9.0, 5: math.nan}) == 3.0


def test_the_dashboard_refuses_to_start_without_its_network_namespace(capsys):
    assert main(["dashboard", "--http-port", "0", "--netns", "/nonexistent/ns"], out=io.StringIO()) == 2
    assert "cannot enter the network namespace /nonexistent/ns" in capsys.readouterr().err


def test_the_thermometer_example_feeds_back_percent_signal_change_after_the_baseline():
    import time
    example = load_example("thermometer_feedback")
    with FakeRun([(t, 0.02) for t in range(1, 13)]) as run:
        feedback = example.Feedback("127.0.0.1", run.port, 0, 1, 5)
        updates = []
        deadline = time.monotonic() + 10
        while "ended" not in updates and time.monotonic() < deadline:
            news = feedback.poll()
            if news is None:
                time.sleep(0.01)
            else:
                updates.append(news)
        feedback.close()
    assert updates[:4] == [(t, None) for t in range(1, 5)] and updates[-1] == "ended"
    # Baseline: time points 1-5 at rest (100); condition 1 from time point 6 gives +2 %.
    assert updates[4:-1] == [(t, pytest.approx(2.0 if condition_at(t) else 0.0)) for t in range(5, 13)]
