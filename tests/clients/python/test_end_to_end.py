"""Every client method against the real plug-in inside the simulated host.

One simulated run of a small volume with three box ROIs is followed live
(notifications, ROI means at each post-step); the values of every request are
then checked against what the host's own voxel data imply, computed here
independently with numpy.
"""

import itertools
import math
import threading

import numpy
import pytest

import simulator
from nmbclient import Client, NimbrelError, Subscription, correlation_matrix, discover, pairs

DIMS = (6, 5, 4)
BOXES = [(0, 0, 0, 1, 1, 1), (2, 1, 0, 4, 2, 1), (1, 3, 2, 5, 4, 3)]
VOLUMES = 14
WINDOW = 8
OPTIONS = ["--dims", *DIMS, "--volumes", VOLUMES, "--tr-ms", 120, "--start-delay-ms", 2500,
           "--linger-ms", 120000, "--project", "e2e-project", "--watch-folder", "/data/watch",
           "--target-folder", "/data/target", "--feedback-folder", "/data/feedback",
           "--conditions", 2, "--block-volumes", 3, "--classes", 3, "--seed", 7]
for box in BOXES:
    OPTIONS += ["--roi-box", *box]


def box_voxels(box):
    x0, y0, z0, x1, y1, z1 = box
    return {(x, y, z) for x in range(x0, x1 + 1) for y in range(y0, y1 + 1) for z in range(z0, z1 + 1)}


def linear(x, y, z):
    return x + DIMS[0] * (y + DIMS[1] * z)


@pytest.fixture(scope="module")
def run():
    """Starts the simulator, follows its run live, and yields what was seen."""
    with simulator.running(*OPTIONS) as sim:
        live = Client("127.0.0.1", sim.port, timeout=10)
        notifications, means_at_post_step = [], {}
        with Subscription("127.0.0.1", sim.port, timeout=10) as sub:
            for notification in sub:
                notifications.append(notification)
                name, time_point = notification
                if name == "PostStepCalled":
                    means_at_post_step[time_point] = live.roi_means(len(BOXES))
                if name == "PostRunCalled":
                    break
                assert len(notifications) < 10 * VOLUMES, "the run does not end"
        live.close()
        with Client("127.0.0.1", sim.port, timeout=10, use_numpy=True) as client:
            voxel_values = fetch_voxel_values(client)
            yield {"sim": sim, "client": client, "notifications": notifications,
                   "means_at_post_step": means_at_post_step, "voxels": voxel_values}


def fetch_voxel_values(client):
    """value_of_voxel_at_time for every voxel and time point: [t][z, y, x] as float64."""
    coordinates = list(itertools.product(range(DIMS[0]), range(DIMS[1]), range(DIMS[2])))
    values = numpy.zeros((VOLUMES, DIMS[2], DIMS[1], DIMS[0]))
    for t in range(VOLUMES):
        answers = client.call_many([("value_of_voxel_at_time", (x, y, z, t)) for x, y, z in coordinates])
        for (x, y, z), value in zip(coordinates, answers):
            values[t, z, y, x] = value
    return values


def roi_series(run):
    """Each ROI's mean per time point, computed here from the voxel values."""
    series = []
    for box in BOXES:
        cells = sorted(box_voxels(box))
        series.append([numpy.mean([run["voxels"][t, z, y, x] for x, y, z in cells]) for t in range(VOLUMES)])
    return numpy.array(series)


def test_the_run_is_announced_step_by_step(run):
    names = [n for n, _ in run["notifications"]]
    assert names == ["PreStepCalled", "PostStepCalled"] * VOLUMES + ["PostRunCalled"]
    post_steps = [t for n, t in run["notifications"] if n == "PostStepCalled"]
    assert post_steps == list(range(1, VOLUMES + 1))
    pre_steps = [t for n, t in run["notifications"] if n == "PreStepCalled"]
    assert pre_steps == post_steps
    assert run["notifications"][-1] == ("PostRunCalled", VOLUMES)
    times = [n.received_at for n in run["notifications"]]
    assert times == sorted(times)


def test_handshake_and_scalars(run):
    c = run["client"]
    assert c.handshake_version == (2, 0, 0)
    assert c.dims_of_functional_data() == DIMS
    assert c.project_name() == "e2e-project"
    assert (c.watch_folder(), c.target_folder(), c.feedback_folder()) == ("/data/watch", "/data/target",
                                                                          "/data/feedback")
    assert c.expected_nr_of_time_points() == VOLUMES
    assert c.current_time_point() == VOLUMES
    assert c.nr_of_rois() == len(BOXES)
    # Two task conditions: a predictor each, then the drift and the constant.
    assert (c.full_nr_of_predictors(), c.current_nr_of_predictors(), c.nr_of_confound_predictors()) == (4, 4, 2)
    assert c.nr_of_contrasts() == 2
    # Blocks of 3 volumes, rest first: the last volume (13) lies in block 4, rest.
    assert c.current_protocol_condition() == 0


def test_design_matrix_holds_the_drift_and_the_constant(run):
    c = run["client"]
    for t in range(VOLUMES):
        assert c.value_of_design_matrix(2, t) == pytest.approx(-1.0 + 2.0 * t / (VOLUMES - 1), abs=1e-6)
        assert c.value_of_design_matrix(3, t) == 1.0
        assert math.isfinite(c.value_of_design_matrix(0, t))


def test_detrended_value_removes_the_line_through_the_means(run):
    c = run["client"]
    times = numpy.arange(VOLUMES)
    for roi, series in enumerate(roi_series(run)):
        slope, intercept = numpy.polyfit(times, series, 1)
        expected = series[-1] - (intercept + slope * times[-1]) + series.mean()
        assert c.detrended_value_of_roi(roi) == pytest.approx(expected, rel=1e-4)


def test_roi_voxels_are_the_boxes(run):
    c = run["client"]
    for roi, box in enumerate(BOXES):
        expected = box_voxels(box)
        assert c.nr_of_voxels_of_roi(roi) == len(expected)
        coords = c.all_coords_of_voxels_of_roi(roi)
        listed = [tuple(row) for row in coords.tolist()]
        assert set(listed) == expected and len(listed) == len(expected)
        for voxel in (0, len(listed) - 1):
            assert c.coords_of_voxel_of_roi(roi, voxel) == listed[voxel]


def test_volumes_follow_x_fastest_and_match_the_voxel_values(run):
    c = run["client"]
    for t in (0, VOLUMES // 2, VOLUMES - 1):
        flat = c.value_of_all_voxels_at_time(t)
        assert flat.dtype == numpy.int16 and flat.size == DIMS[0] * DIMS[1] * DIMS[2]
        assert numpy.array_equal(c.volume_at_time(t), run["voxels"][t])
        assert numpy.array_equal(c.volume_at_time(t, order="F")[4, 3, 2], run["voxels"][t][2, 3, 4])
        assert flat[linear(4, 3, 2)] == run["voxels"][t][2, 3, 4]
        assert numpy.array_equal(c.raw_value_of_all_voxels_at_time(t), flat)


def test_roi_means_match_the_voxel_values(run):
    c = run["client"]
    series = roi_series(run)
    for roi in range(len(BOXES)):
        for t in (0, 5, VOLUMES - 1):
            assert c.mean_of_roi_at_time_point(roi, t) == pytest.approx(series[roi][t], rel=1e-5)
        existing = c.existing_means_of_roi(roi, VOLUMES - 1)
        assert existing.dtype == numpy.float32 and len(existing) == VOLUMES - 1
        numpy.testing.assert_allclose(existing, series[roi][:VOLUMES - 1], rtol=1e-5)
        assert len(c.existing_means_of_roi(roi, 0)) == 0
        assert c.mean_of_roi(roi) == pytest.approx(series[roi][-1], rel=1e-4)
    # The means asked at each post-step are those of the volume just processed.
    for time_point, means in run["means_at_post_step"].items():
        numpy.testing.assert_allclose(means, series[:, time_point - 1], rtol=1e-4)


def test_catch_up_returns_the_missed_means(run):
    c = run["client"]
    first, rows = c.catch_up(since=9)
    assert first == 9
    numpy.testing.assert_allclose(numpy.array(rows), roi_series(run)[:, 9:], rtol=1e-5)


def expected_correlations(run, end):
    window = roi_series(run)[:, end - WINDOW:end]
    pearson = numpy.corrcoef(window)
    precision = numpy.linalg.inv(numpy.cov(window))
    partial = -precision / numpy.sqrt(numpy.outer(numpy.diag(precision), numpy.diag(precision)))
    proxy = pearson[0, 1] - (pearson[0, 2] + pearson[1, 2]) / 2
    return pearson, partial, proxy


def test_correlations_match_an_independent_computation(run):
    c = run["client"]
    pearson, partial, proxy = expected_correlations(run, VOLUMES)
    got = c.pearson_correlation(WINDOW)
    assert len(got) == 3
    numpy.testing.assert_allclose(correlation_matrix(got), pearson, atol=1e-5)
    numpy.testing.assert_allclose(list(c.partial_correlation(WINDOW)),
                                  [partial[a, b] for a, b in pairs(3)], atol=1e-4)
    assert c.instant_proxy_correlation(WINDOW) == pytest.approx(proxy, abs=1e-5)
    assert list(c.pearson_correlation_at_time_point(WINDOW, VOLUMES)) == list(got)
    pearson_10, partial_10, proxy_10 = expected_correlations(run, 10)
    numpy.testing.assert_allclose(correlation_matrix(c.pearson_correlation_at_time_point(WINDOW, 10)),
                                  pearson_10, atol=1e-5)
    numpy.testing.assert_allclose(list(c.partial_correlation_at_time_point(WINDOW, 10)),
                                  [partial_10[a, b] for a, b in pairs(3)], atol=1e-4)
    assert c.instant_proxy_correlation_at_time_point(WINDOW, 10) == pytest.approx(proxy_10, abs=1e-5)


def test_correlation_refusals(run):
    c = run["client"]
    cases = [(c.pearson_correlation, (0,), "Windows size bigger than data available"),
             (c.partial_correlation, (VOLUMES + 1,), "Windows size bigger(smaller) than data available"),
             (c.pearson_correlation_at_time_point, (WINDOW, VOLUMES + 1), "Not enough data points available")]
    for method, args, text in cases:
        with pytest.raises(NimbrelError) as info:
            method(*args)
        assert info.value.text == text


def test_maps_agree_with_their_single_voxel_requests(run):
    c = run["client"]
    voxels = DIMS[0] * DIMS[1] * DIMS[2]
    betas, predictors = c.beta_maps(), c.current_nr_of_predictors()
    assert betas.dtype == numpy.float32 and betas.size == voxels * predictors
    contrasts, nr_of_contrasts = c.contrast_maps(), c.nr_of_contrasts()
    assert contrasts.size == voxels * nr_of_contrasts
    for x, y, z in [(0, 0, 0), (3, 2, 1), (5, 4, 3)]:
        for beta in range(predictors):
            assert c.beta_of_voxel(beta, x, y, z) == betas[beta * voxels + linear(x, y, z)]
        for contrast in range(nr_of_contrasts):
            assert c.map_value_of_voxel(contrast, x, y, z) == contrasts[contrast * voxels + linear(x, y, z)]
    roi_betas = [c.beta_of_roi(0, beta) for beta in range(predictors)]
    cells = [linear(*v) for v in box_voxels(BOXES[0])]
    for beta, value in enumerate(roi_betas):
        assert value == pytest.approx(float(numpy.mean(betas[beta * voxels + numpy.array(cells)])), rel=1e-4, abs=1e-4)


def test_classifier_answers_its_state(run):
    # The simulated classifier learns with a lag of about 5 s of volumes, longer
    # than this short run, so it is normally switched on without output yet.
    c = run["client"]
    classes = c.number_of_classes()
    if classes > 0:
        output = c.current_classifier_output()
        assert len(output.values) == classes * (classes - 1) // 2
        return
    assert classes == 0
    with pytest.raises(NimbrelError) as info:
        c.current_classifier_output()
    assert info.value.text == "Classifier is working but no output has been generated yet"


def test_refusals_carry_the_plugin_texts_and_leave_the_connection_usable(run):
    c = run["client"]
    cases = [(c.mean_of_roi, (len(BOXES),), "NrOfROI out of range"),
             (c.mean_of_roi, (-1,), "NrOfROI out of range"),
             (c.value_of_voxel_at_time, (DIMS[0], 0, 0, 0), "Voxel location out of range"),
             (c.beta_of_voxel, (0, 0, 0, DIMS[2]), "VoxelLocation out of range"),
             (c.value_of_all_voxels_at_time, (VOLUMES,), "TimePoint out of range"),
             (c.existing_means_of_roi, (0, VOLUMES), "NrOfROI/toTimePoint out of range"),
             (c.mean_of_roi_at_time_point, (0, VOLUMES), "NrOfROI/toTimePoint out of range"),
             (c.value_of_design_matrix, (0, VOLUMES), "NrOfTimePoint out of range"),
             (c.value_of_design_matrix, (c.full_nr_of_predictors(), 0), "NrOfPred out of range"),
             (c.beta_of_roi, (0, c.full_nr_of_predictors()), "NrOfBeta out of range"),
             (c.coords_of_voxel_of_roi, (0, len(box_voxels(BOXES[0]))), "NrOfVoxel out of range"),
             (c.map_value_of_voxel, (c.nr_of_contrasts(), 0, 0, 0), "NrOfMaps out of range"),
             (c.raw_value_of_all_voxels_at_time, (-1,), "TimePoint out of range")]
    for method, args, text in cases:
        with pytest.raises(NimbrelError) as info:
            method(*args)
        assert info.value.text == text, (method.__name__, args)
    with pytest.raises(NimbrelError, match="No function call matched!"):
        c.request("tGetnrofrois")
    assert c.nr_of_rois() == len(BOXES)


def test_without_numpy_runs_are_arrays_with_the_same_values(run):
    import array
    c = run["client"]
    with Client("127.0.0.1", run["sim"].port, timeout=10, use_numpy=False) as plain:
        volume = plain.value_of_all_voxels_at_time(2)
        assert isinstance(volume, array.array) and list(volume) == c.value_of_all_voxels_at_time(2).tolist()
        assert plain.all_coords_of_voxels_of_roi(1) == [tuple(v) for v in c.all_coords_of_voxels_of_roi(1).tolist()]
        assert list(plain.pearson_correlation(WINDOW)) == c.pearson_correlation(WINDOW).tolist()


def test_raw_request_and_reconnect(run):
    c = run["client"]
    reply = c.request("tGetNrOfROIs")
    assert reply.name == "tGetNrOfROIs" and reply.payload == len(BOXES).to_bytes(4, "big")
    c.reconnect()
    assert c.nr_of_rois() == len(BOXES)


def test_several_clients_are_served_at_once(run):
    port = run["sim"].port
    results, errors = [], []

    def ask():
        try:
            with Client("127.0.0.1", port, timeout=10) as client:
                results.append([client.mean_of_roi_at_time_point(r, 3) for r in range(len(BOXES))])
        except Exception as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=ask) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not errors and len(results) == 4
    assert all(r == results[0] for r in results)


def test_discover_hears_the_listening_plugin(run):
    found = discover(3.0)
    assert ("127.0.0.1", run["sim"].port) in found


def test_a_trained_classifier_gives_one_value_per_pair_of_classes():
    # Two alternating classes and a TR long enough for a learning lag of two
    # volumes: trained after the fourth volume.
    with simulator.running("--dims", 4, 4, 2, "--volumes", 5, "--tr-ms", 2000, "--start-delay-ms", 0,
                           "--linger-ms", 60000, "--conditions", 1, "--block-volumes", 1,
                           "--classes", 2) as sim:
        with Subscription("127.0.0.1", sim.port, timeout=10) as sub:
            sub.wait_for("PostRunCalled", timeout=30)
        with Client("127.0.0.1", sim.port, timeout=10) as c:
            assert c.number_of_classes() == 2
            output = c.current_classifier_output()
            assert isinstance(output.result, int) and len(output.values) == 1
            assert math.isfinite(output.values[0])
