"""Decoding every reply family from byte-exact frames."""

import struct

import pytest

from nmbclient import request_table
from nmbclient.errors import NimbrelError, ProtocolError


def hexbytes(s):
    return bytes.fromhex(s.replace(" ", ""))


def body_of(frame):
    (length,) = struct.unpack(">q", frame[:8])
    assert length == len(frame) - 8, "frame length field disagrees with the frame"
    return frame[8:]


def decode(name, frame, *args, use_numpy=True):
    return request_table.decode_reply(request_table.BY_NAME[name], body_of(frame), args, use_numpy)


def named(name):
    raw = name.encode() + b"\0"
    return struct.pack(">I", len(raw)) + raw


def test_table_has_the_37_requests_once_each_with_a_client_method():
    from nmbclient import Client
    assert len(request_table.REQUESTS) == 37
    assert len(request_table.BY_NAME) == 37 and len(request_table.BY_METHOD) == 37
    for request in request_table.REQUESTS:
        assert callable(getattr(Client, request.method)), request.method


class TestWorkedExamples:
    def test_nr_of_rois(self):
        frame = hexbytes("00 00 00 00 00 00 00 15 00 00 00 0D") + b"tGetNrOfROIs\0" + hexbytes("00 00 00 03")
        assert decode("tGetNrOfROIs", frame) == 3

    def test_no_function_call_matched_is_an_error_with_its_text(self):
        frame = (hexbytes("00 00 00 00 00 00 00 31 00 00 00 0F") + b"Wrong request!\0"
                 + hexbytes("00 00 00 1A") + b"No function call matched!\0")
        with pytest.raises(NimbrelError) as info:
            decode("tGetNrOfROIs", frame)
        assert info.value.text == "No function call matched!"

    @pytest.mark.parametrize("use_numpy", [True, False])
    def test_all_coords_of_voxels_of_roi(self, use_numpy):
        frame = (hexbytes("00 00 00 00 00 00 00 3B 00 00 00 1B") + b"tGetAllCoordsOfVoxelsOfROI\0"
                 + hexbytes("00 00 00 01 00 00 00 0A 00 00 00 14 00 00 00 05 00 00 00 0B 00 00 00 14 00 00 00 05"))
        coords = decode("tGetAllCoordsOfVoxelsOfROI", frame, 1, use_numpy=use_numpy)
        if use_numpy:
            assert coords.shape == (2, 3)
            coords = [tuple(row) for row in coords.tolist()]
        assert coords == [(10, 20, 5), (11, 20, 5)]

    def test_pearson_correlation_of_three_rois(self):
        values = hexbytes("3F 00 00 00 BF 40 00 00 00 00 00 00")  # 0.5, -0.75, 0.0
        frame = (hexbytes("00 00 00 00 00 00 00 2B 00 00 00 17") + b"tGetPearsonCorrelation\0"
                 + hexbytes("00 00 00 0A") + values)
        assert list(decode("tGetPearsonCorrelation", frame, 10)) == [0.5, -0.75, 0.0]


class TestScalarsAndIndexed:
    def test_dims_texts_and_reals(self):
        dims = named("tGetDimsOfFunctionalData") + hexbytes("00 00 00 40 00 00 00 40 00 00 00 1E")
        assert decode("tGetDimsOfFunctionalData", struct.pack(">q", len(dims)) + dims) == (64, 64, 30)
        project = named("tGetProjectName") + hexbytes("00 00 00 05") + b"demo\0"
        assert decode("tGetProjectName", struct.pack(">q", len(project)) + project) == "demo"
        beta = named("tGetBetaOfVoxel") + hexbytes("00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 3D CC CC CD")
        assert decode("tGetBetaOfVoxel", struct.pack(">q", len(beta)) + beta, 1, 2, 3, 4) == pytest.approx(0.1)

    def test_coordinates_of_one_voxel_are_a_tuple_after_the_echo(self):
        body = named("tGetCoordsOfVoxelOfROI") + struct.pack(">5i", 0, 7, 10, 20, 5)
        assert decode("tGetCoordsOfVoxelOfROI", struct.pack(">q", len(body)) + body, 0, 7) == (10, 20, 5)

    def test_nan_is_passed_through(self):
        body = named("tGetMeanOfROI") + struct.pack(">i", 0) + hexbytes("7F C0 00 00")
        value = decode("tGetMeanOfROI", struct.pack(">q", len(body)) + body, 0)
        assert value != value


class TestRuns:
    @pytest.mark.parametrize("use_numpy", [True, False])
    def test_volume_of_a_2x2x1_volume_is_four_samples(self, use_numpy):
        body = named("tGetValueOfAllVoxelsAtTime") + struct.pack(">i", 3) + hexbytes("00 64 FF 9C 7F FF 80 00")
        samples = decode("tGetValueOfAllVoxelsAtTime", struct.pack(">q", len(body)) + body, 3, use_numpy=use_numpy)
        assert list(samples) == [100, -100, 32767, -32768]

    def test_existing_means_with_end_zero_and_roi_without_voxels_are_empty(self):
        means = named("tGetExistingMeansOfROI") + struct.pack(">ii", 2, 0)
        assert len(decode("tGetExistingMeansOfROI", struct.pack(">q", len(means)) + means, 2, 0)) == 0
        coords = named("tGetAllCoordsOfVoxelsOfROI") + struct.pack(">i", 4)
        assert len(decode("tGetAllCoordsOfVoxelsOfROI", struct.pack(">q", len(coords)) + coords, 4)) == 0

    def test_maps_are_float32_without_an_echo(self):
        body = named("tGetBetaMaps") + struct.pack(">3f", 1.0, -0.5, 2.25)
        maps = decode("tGetBetaMaps", struct.pack(">q", len(body)) + body)
        assert maps.dtype.name == "float32" and list(maps) == [1.0, -0.5, 2.25]

    def test_existing_means_three_time_points(self):
        body = named("tGetExistingMeansOfROI") + struct.pack(">ii3f", 1, 3, 10.0, 10.5, 11.0)
        assert list(decode("tGetExistingMeansOfROI", struct.pack(">q", len(body)) + body, 1, 3)) == [10.0, 10.5, 11.0]


class TestClassifier:
    def test_four_classes_give_the_result_and_six_values(self):
        body = named("tGetCurrentClassifierOutput") + struct.pack(">i6f", 2, 0.5, 1, 2, 3, 4, -1)
        output = decode("tGetCurrentClassifierOutput", struct.pack(">q", len(body)) + body)
        assert output.result == 2 and list(output.values) == [0.5, 1, 2, 3, 4, -1]

    def test_one_class_gives_the_result_only(self):
        body = named("tGetCurrentClassifierOutput") + struct.pack(">i", 7)
        output = decode("tGetCurrentClassifierOutput", struct.pack(">q", len(body)) + body)
        assert output.result == 7 and len(output.values) == 0

    def test_the_empty_reply_decodes_to_none(self):
        assert decode("tGetCurrentClassifierOutput", hexbytes("00 00 00 00 00 00 00 00")) is None

    def test_the_empty_reply_to_any_other_request_is_a_fault(self):
        with pytest.raises(ProtocolError):
            decode("tGetNrOfROIs", hexbytes("00 00 00 00 00 00 00 00"))

    def test_classifier_error_texts(self):
        body = named("Wrong request!") + named("Real-time SVM classifier is not used")
        with pytest.raises(NimbrelError, match="Real-time SVM classifier is not used"):
            decode("tGetCurrentClassifierOutput", struct.pack(">q", len(body)) + body)


class TestMismatches:
    def test_a_reply_for_another_request_is_rejected(self):
        body = named("tGetNrOfContrasts") + struct.pack(">i", 3)
        with pytest.raises(ProtocolError, match="tGetNrOfContrasts"):
            decode("tGetNrOfROIs", struct.pack(">q", len(body)) + body)

    def test_a_reply_echoing_other_arguments_is_rejected(self):
        body = named("tGetMeanOfROI") + struct.pack(">if", 1, 2.0)
        with pytest.raises(ProtocolError, match="arguments"):
            decode("tGetMeanOfROI", struct.pack(">q", len(body)) + body, 2)

    def test_missing_arguments_are_expected_back_as_zero_and_extra_ones_not_at_all(self):
        body = named("tGetMeanOfROI") + struct.pack(">if", 0, 2.0)
        frame = struct.pack(">q", len(body)) + body
        assert decode("tGetMeanOfROI", frame) == 2.0
        assert decode("tGetMeanOfROI", frame, 0, 99) == 2.0

    def test_a_cut_or_padded_scalar_reply_is_rejected(self):
        cut = named("tGetNrOfROIs") + b"\0\0"
        with pytest.raises(ProtocolError):
            decode("tGetNrOfROIs", struct.pack(">q", len(cut)) + cut)
        padded = named("tGetNrOfROIs") + struct.pack(">ii", 3, 0)
        with pytest.raises(ProtocolError):
            decode("tGetNrOfROIs", struct.pack(">q", len(padded)) + padded)
