"""JSON both ways: the bodies family operations send for Python values (byte for byte what the C++ library
sends), the Python values replies come back as, and values JSON cannot hold, refused before sending."""

import math
from typing import List

import numpy
import pytest

import corvane
from conftest import CannedServer


def test_every_json_type_goes_out_as_the_cpp_library_sends_it(canned: CannedServer) -> None:
    offset = {"s": "é\u2603", "i": -7, "big": 2**64 - 1, "low": -(2**63), "f": 0.5, "t": True, "no": False,
              "n": None, "nan": math.nan, "inf": math.inf, "l": [1, (2, 3)], "d": {}, "np": numpy.int64(5)}
    canned.client().articulation.assemble_robot("/World/arm", "/World/g", "flange", offset=offset)
    assert canned.requests[-1].body == (
        '{"arm_mount_link":"flange","gripper_id":"/World/g","gripper_mount_link":null,"mask_collisions":true,'
        '"offset":{"big":18446744073709551615,"d":{},"f":0.5,"i":-7,"inf":null,"l":[1,[2,3]],'
        '"low":-9223372036854775808,"n":null,"nan":null,"no":false,"np":5,"s":"é☃","t":true}}').encode()


def test_absent_options_are_null_for_articulations_and_left_out_elsewhere(canned: CannedServer) -> None:
    client = canned.client()
    client.articulation.set_joint_positions("/A", [0.5, math.nan])
    client.articulation.move_joint_positions("/A", numpy.array([1.0]), indices=[2], asynchronous=True)
    client.camera.create("/C")
    client.surface_gripper.set_properties("/G")
    client.surface_gripper.set_properties("/G", coaxial_force_limit=5, rotation_limits=corvane.AxisLimits(x=(0, 1)))
    client.surface_gripper.set_properties("/G", translation_limits={"z": corvane.AxisRange(-1.0, 1.0)},
                                          forward_axis="X")
    client.surface_gripper.set_attachment_point_properties("/G", local_pose_0=corvane.JSON_NULL,
                                                           joint_paths=["/G/j"], clearance_offset=0.002)
    assert [r.body.decode() for r in canned.requests] == [
        '{"indices":null,"joint_positions":[0.5,null]}',
        '{"asynchronous":true,"indices":[2],"joint_positions":[1.0]}',
        '{"prim_path":"/C"}',
        '{}',
        '{"coaxial_force_limit":5.0,"rotation_limits":{"x":{"maximum":1.0,"minimum":0.0},"y":null,"z":null}}',
        '{"forward_axis":"X","translation_limits":{"x":null,"y":null,"z":{"maximum":1.0,"minimum":-1.0}}}',
        '{"clearance_offset":0.002,"joint_paths":["/G/j"],"local_pose_0":null}',
    ]
    with pytest.raises(TypeError):
        client.surface_gripper.set_properties("/G", 5.0)  # type: ignore[misc]  # the settings are keyword-only


def test_replies_come_back_as_plain_python_values(canned: CannedServer) -> None:
    canned.replies["/articulations//A/joints_state"] = (200, (
        b'{"big":18446744073709551615,"low":-9223372036854775808,"f":1e300,"s":"\\u00e9\xe2\x98\x83",'
        b'"n":null,"t":true,"l":[1.5,[]],"o":{"k":{}}}'))
    canned.replies["/articulations//A/dof_limits"] = (200, b"")
    canned.replies["/articulations//A/driver_joint"] = (200, b"{nope")
    articulation = canned.client().articulation
    state = articulation.get_joints_state("/A")
    assert state == {"big": 2**64 - 1, "low": -(2**63), "f": 1e300, "s": "é☃", "n": None, "t": True,
                     "l": [1.5, []], "o": {"k": {}}}
    assert [type(state[k]) for k in ("big", "low", "f", "t")] == [int, int, float, bool]
    assert articulation.get_dof_limits("/A") == {}  # an empty success body
    with pytest.raises(ValueError, match=r"^\[json.exception.parse_error.101\]"):
        articulation.get_driver_joint("/A")


SELF_CONTAINING: List[object] = []
SELF_CONTAINING.append(SELF_CONTAINING)


@pytest.mark.parametrize("value, error, message", [
    (2**64, TypeError, "int 18446744073709551616 does not fit"),
    (-(2**63) - 1, TypeError, "does not fit"),
    (b"raw", TypeError, "Object of type bytes is not JSON serializable"),
    ({1: "a"}, TypeError, "JSON object keys must be str, not int"),
    ({1.5}, TypeError, "Object of type set is not JSON serializable"),
    ("\ud800", UnicodeEncodeError, "surrogates not allowed"),
    (SELF_CONTAINING, RecursionError, "maximum recursion depth"),
])
def test_values_json_cannot_hold_are_refused_before_sending(canned: CannedServer, value: object,
                                                            error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        canned.client().articulation.assemble_robot("/A", "/G", "flange", offset={"deep": [value]})
    assert canned.requests == []
