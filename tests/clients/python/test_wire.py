"""Request frames and body reading, byte for byte against the protocol's own examples."""

import array

import pytest

from nmbclient import wire
from nmbclient.errors import ProtocolError


def hexbytes(s):
    return bytes.fromhex(s.replace(" ", ""))


def test_request_without_arguments_is_the_documented_frame():
    expected = hexbytes("00 00 00 00 00 00 00 11  00 00 00 0D") + b"tGetNrOfROIs\0"
    assert wire.encode_request("tGetNrOfROIs") == expected


def test_request_with_an_argument_appends_it_as_a_big_endian_int():
    payload = hexbytes("00 00 00 0E") + b"tGetMeanOfROI\0" + hexbytes("00 00 00 02")
    assert len(payload) == 22
    assert wire.encode_request("tGetMeanOfROI", [2]) == hexbytes("00 00 00 00 00 00 00 16") + payload


def test_negative_arguments_are_twos_complement_and_oversized_ones_are_refused():
    assert wire.encode_request("tGetMeanOfROI", [-1]).endswith(hexbytes("FF FF FF FF"))
    with pytest.raises(ValueError):
        wire.encode_request("tGetMeanOfROI", [2**31])


def test_role_message_is_27_bytes():
    message = wire.frame(wire.encode_text("Request Socket"))
    assert message == hexbytes("00 00 00 00 00 00 00 13 00 00 00 0F") + b"Request Socket\0"
    assert len(message) == 27


class TestBodyReader:
    def test_text_int_and_reals(self):
        body = wire.encode_text("abcd") + hexbytes("FF FF FF FE 3F C0 00 00 3D CC CC CD")
        reader = wire.BodyReader(body)
        assert reader.text() == "abcd"
        assert reader.int32() == -2
        assert reader.float32() == 1.5
        assert reader.float32() == pytest.approx(0.1, rel=1e-7)
        reader.end()

    def test_text_without_nul_is_read_whole_and_count_zero_is_null(self):
        assert wire.BodyReader(hexbytes("00 00 00 03") + b"abc").text() == "abc"
        assert wire.BodyReader(hexbytes("00 00 00 00")).text() is None

    def test_short_body_raises_instead_of_inventing_values(self):
        with pytest.raises(ProtocolError):
            wire.BodyReader(hexbytes("00 00 00 09") + b"abc").text()
        with pytest.raises(ProtocolError):
            wire.BodyReader(hexbytes("00 00 01")).int32()

    def test_unread_bytes_at_the_end_are_reported(self):
        reader = wire.BodyReader(hexbytes("00 00 00 01 00"))
        reader.int32()
        with pytest.raises(ProtocolError):
            reader.end()

    @pytest.mark.parametrize("use_numpy", [True, False])
    def test_runs_decode_big_endian_in_one_step(self, use_numpy):
        body = hexbytes("00 01 FF FF 80 00 7F FF")
        samples = wire.BodyReader(body, use_numpy).run("int16")
        assert list(samples) == [1, -1, -32768, 32767]
        reals = wire.BodyReader(hexbytes("3F C0 00 00 C0 00 00 00"), use_numpy).run("float32")
        assert list(reals) == [1.5, -2.0]
        if not use_numpy:
            assert isinstance(samples, array.array) and samples.typecode == "h"
        else:
            assert samples.dtype.name == "int16" and samples.dtype.isnative
            assert reals.dtype.name == "float32"

    def test_run_of_partial_elements_is_refused(self):
        with pytest.raises(ProtocolError):
            wire.BodyReader(hexbytes("00 01 02")).run("int16")
