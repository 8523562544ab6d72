"""Camera outputs as numpy arrays: views of the one reply buffer (no copy), alive after their frame and client,
every dtype's format, misaligned outputs, the frame as a mapping, and an output whose bytes do not match its
shape refused instead of read out of bounds."""

import collections.abc
import gc
import json
import struct
from typing import Any, Dict, List

import numpy
import pytest

import corvane
from conftest import CannedServer


def frame_body(arrays: List[Dict[str, Any]], payload: bytes) -> bytes:
    structure = {f"out{i}": {"__ndarray__": i} for i in range(len(arrays))}
    manifest = json.dumps({"structure": structure, "arrays": arrays}).encode()
    return b"CVB1" + struct.pack("<I", len(manifest)) + manifest + payload


def capture(canned: CannedServer, arrays: List[Dict[str, Any]], payload: bytes) -> corvane.Frame:
    canned.replies["/cameras//C/capture"] = (200, frame_body(arrays, payload))
    return canned.client().camera.capture("/C")


def test_outputs_are_views_of_the_frame_that_outlive_it(client: corvane.Client) -> None:
    client.camera.create("/World/view", [64, 48])
    frame = client.camera.capture("/World/view", ["rgb", "depth"])
    rgb, depth = frame["rgb"], numpy.asarray(frame.output("depth"))
    assert rgb.shape == (48, 64, 3) and rgb.dtype == numpy.uint8
    assert depth.shape == (48, 64) and depth.dtype == numpy.float32
    assert numpy.shares_memory(rgb, numpy.asarray(frame.output("rgb")))  # one set of bytes, not a copy each
    reply = numpy.frombuffer(frame.buffer, dtype=numpy.uint8)
    assert numpy.shares_memory(rgb, reply) and numpy.shares_memory(depth, reply)  # both views of the reply
    assert isinstance(rgb.base, memoryview) and isinstance(rgb.base.obj, corvane.Output)
    assert not rgb.flags.writeable
    output = frame.output("rgb")
    assert output is not None
    expected = output.tobytes()
    del frame, output
    gc.collect()
    assert rgb.tobytes() == expected and rgb.any()
    with pytest.raises(KeyError):
        client.camera.capture("/World/view", ["rgb"])["depth"]
    # One output's name alone means a list of it, as it does to a reader (a str is a Sequence[str] to mypy).
    only = client.camera.capture("/World/view", "depth")
    assert only.output("rgb") is None and only["depth"].shape == (48, 64)
    [first] = client.camera.capture_all(["/World/view"], "rgb")
    assert first.output("depth") is None and first["rgb"].shape == (48, 64, 3)


def test_every_dtype_reads_with_its_own_format(canned: CannedServer) -> None:
    values = [numpy.array([[1.5, -2.0, 65504.0]], dtype=numpy.float16), numpy.array([True, False, True]),
              numpy.array([-1, 2**62], dtype=numpy.int64), numpy.array([2**32 - 1], dtype=numpy.uint32),
              numpy.array([0.25], dtype=numpy.float64), numpy.array([-128, 127], dtype=numpy.int8)]
    arrays, payload = [], b""
    for value in values:
        arrays.append({"shape": list(value.shape), "dtype": str(value.dtype), "offset": len(payload),
                       "nbytes": value.nbytes})
        payload += value.tobytes()
    frame = capture(canned, arrays, payload)
    for i, value in enumerate(values):
        got = frame[f"out{i}"]
        assert got.dtype == value.dtype and got.shape == value.shape and numpy.array_equal(got, value)


@pytest.mark.parametrize("array, payload, message", [
    ({"shape": [2, 2], "dtype": "uint8", "nbytes": 6}, bytes(6), "holds 6 bytes, but shape \\[2, 2\\] of uint8 needs 4"),
    ({"shape": [2], "dtype": "float16", "nbytes": 3}, bytes(3), "needs 4"),
    ({"shape": [3], "dtype": "bool", "nbytes": 3}, b"\x00\x02\x01", "a byte other than 0 and 1"),
    ({"shape": [1], "dtype": "complex64", "nbytes": 8}, bytes(8), "has no element size"),
    ({"shape": [0, 2**62, 2**62], "dtype": "uint8", "nbytes": 0}, b"", "too large"),
])
def test_outputs_that_do_not_match_their_bytes_are_refused(canned: CannedServer, array: Dict[str, Any],
                                                          payload: bytes, message: str) -> None:
    output = capture(canned, [dict(array, offset=0)], payload).outputs[0]
    with pytest.raises(ValueError, match=message):
        numpy.asarray(output)
    with pytest.raises(ValueError, match=message):
        memoryview(output)  # type: ignore[arg-type]
    assert output.tobytes() == payload


def test_views_outlive_their_frame_and_client(canned: CannedServer) -> None:
    values = numpy.arange(12, dtype=numpy.float32)
    client = canned.client()
    canned.replies["/cameras//C/capture"] = (200, frame_body(
        [{"shape": [3, 4], "dtype": "float32", "offset": 0, "nbytes": 48}], values.tobytes()))
    frame = client.camera.capture("/C")
    array, owned = frame["out0"], frame.output("out0").copy()  # type: ignore[union-attr]
    assert not numpy.shares_memory(owned, array) and owned.flags.writeable and owned.flags.aligned
    del frame, client
    gc.collect()
    assert numpy.array_equal(array, values.reshape(3, 4)) and numpy.array_equal(owned, array)


def test_misaligned_outputs_read_correctly_and_copy_aligned(canned: CannedServer) -> None:
    values = numpy.array([1.5, -2.25, 1e30], dtype=numpy.float32)
    frame = capture(canned, [{"shape": [3], "dtype": "float32", "offset": 1, "nbytes": 12}], b"x" + values.tobytes())
    array = frame["out0"]
    assert not array.flags.aligned and numpy.array_equal(array, values) and array.sum() == values.sum()
    assert frame.outputs[0].copy().flags.aligned


def test_a_frame_is_a_read_only_mapping_of_names_to_arrays(canned: CannedServer) -> None:
    arrays = [{"shape": [2], "dtype": "uint8", "offset": i, "nbytes": 2} for i in range(2)]
    frame = capture(canned, arrays, b"\x01\x02\x03")
    assert isinstance(frame, collections.abc.Mapping)
    assert list(frame) == ["out0", "out1"] and len(frame) == 2 and "out1" in frame and "pose" not in frame
    assert {name: array.tolist() for name, array in frame.items()} == {"out0": [1, 2], "out1": [2, 3]}
    assert [output.name for output in frame.outputs] == ["out0", "out1"] and frame.get("nope") is None
    with pytest.raises(TypeError):
        frame["out0"] = numpy.zeros(2)  # type: ignore[index]
