"""Volume reshaping, correlation matrices and catch-up joins, checked against
index arithmetic written out independently."""

import numpy
import pytest

from nmbclient import correlation_matrix, pairs, reshape_volume
from nmbclient.shapes import catch_up_calls, join_catch_up


def test_reshape_follows_x_fastest_in_both_orders():
    dims = (4, 3, 2)
    flat = numpy.arange(24, dtype=numpy.int16)
    c_order = reshape_volume(flat, dims)
    f_order = reshape_volume(flat, dims, order="F")
    assert c_order.shape == (2, 3, 4) and f_order.shape == (4, 3, 2)
    for z in range(2):
        for y in range(3):
            for x in range(4):
                index = x + 4 * (y + 3 * z)
                assert c_order[z, y, x] == index and f_order[x, y, z] == index


def test_reshape_refuses_a_volume_of_the_wrong_size():
    with pytest.raises(ValueError):
        reshape_volume(numpy.zeros(23), (4, 3, 2))


def test_pair_order_and_symmetric_matrix():
    assert pairs(4) == [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    matrix = correlation_matrix([0.1, 0.2, 0.3, 0.4, 0.5, 0.6], use_numpy=True)
    assert matrix.shape == (4, 4)
    assert (matrix == matrix.T).all() and list(numpy.diag(matrix)) == [1, 1, 1, 1]
    assert matrix[0, 3] == pytest.approx(0.3) and matrix[2, 1] == pytest.approx(0.4)
    assert matrix[3, 2] == pytest.approx(0.6)
    with pytest.raises(ValueError):
        correlation_matrix([0.1, 0.2])


def test_catch_up_asks_existing_means_below_the_latest_and_the_latest_alone():
    assert catch_up_calls(2, 0) == []
    assert catch_up_calls(2, 5) == [("existing_means_of_roi", (0, 4)), ("mean_of_roi_at_time_point", (0, 4)),
                                    ("existing_means_of_roi", (1, 4)), ("mean_of_roi_at_time_point", (1, 4))]
    values = [[0.0, 1.0, 2.0, 3.0], 4.0, [10.0, 11.0, 12.0, 13.0], 14.0]
    first, rows = join_catch_up(values, 2, since=3)
    assert first == 3 and [list(r) for r in rows] == [[3.0, 4.0], [13.0, 14.0]]
    first, rows = join_catch_up(values, 2, since=9, use_numpy=False)
    assert [list(r) for r in rows] == [[], []]
