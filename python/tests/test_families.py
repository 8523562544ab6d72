"""One call of every operation against the simulated bridge, in the order a program would make them."""

import json

import numpy

import corvane

ARM, GRIPPER, CAMERA = "/World/family_arm", "/World/family_gripper", "/World/family_camera"


def test_articulation(client: corvane.Client) -> None:
    arm = client.articulation
    assert arm.create(ARM)["prim_path"] == ARM
    assert arm.get_driver_joint(ARM)["driver_joint"] is None
    assert arm.set_driven_joints(ARM, ["joint1", "joint2"])["driven_joints"] == ["joint1", "joint2"]
    limits = arm.get_dof_limits(ARM)
    assert len(limits["lower_limits"]) == 7
    assert arm.set_joint_positions(ARM, [0.1, 0.2])["joint_positions"][:2] == [0.1, 0.2]
    assert arm.move_joint_positions(ARM, [0.15], indices=[0])["completed"] is True
    arm.set_joint_positions(ARM, numpy.array([0.15, 0.25]), indices=numpy.array([0, 1]))  # numpy as the stubs say
    arm.set_joint_positions(ARM, [numpy.float64(0.15)], indices=[numpy.int64(0)])
    assert arm.get_joints_state(ARM)["joint_positions"][0] == 0.15
    with arm.stream_joint_positions(ARM) as positions, arm.stream_articulation_state(ARM) as state:
        positions.send(json.dumps({"joint_positions": [0.3], "indices": [1]}))
        for stream in (positions, state):
            sample = stream.receive_for(10)
            assert sample is not None and json.loads(sample)["joint_names"][0] == "joint1"
    client.surface_gripper.create(GRIPPER)
    assembly = arm.assemble_robot(ARM, GRIPPER, "flange", offset={"position": [0, 0, 0.1]})
    assert assembly["offset"]["position"] == [0, 0, 0.1]
    arm.remove(ARM)


def test_surface_gripper(client: corvane.Client) -> None:
    grippers = client.surface_gripper
    path = GRIPPER + "_2"
    assert grippers.create(path)["status"] == "open"
    assert grippers.get(path)["prim_path"] == path
    assert grippers.close(path)["status"] == "closed"
    assert grippers.open(path, asynchronous=True)["status"] == "opening"
    assert grippers.get_status(path)["status"] in ("opening", "open")
    changed = grippers.set_properties(path, coaxial_force_limit=5.0, rotation_limits={"x": (0.0, 1.0)})
    assert changed["properties"]["coaxial_force_limit"] == 5.0
    assert grippers.get_properties(path)["properties"]["rotation_limits"]["x"] == {"minimum": 0.0, "maximum": 1.0}
    grippers.set_attachment_point_properties(path, clearance_offset=0.002)
    points = grippers.get_attachment_points(path)["attachment_points"]
    assert [point["clearance_offset"] for point in points] == [0.002]
    grippers.remove(path)


def test_camera_and_verbs(client: corvane.Client) -> None:
    assert client.camera.create(CAMERA, [32, 24], 15.0)["resolution"] == [32, 24]
    frame = client.camera.capture(CAMERA, ["semantic_segmentation"], world_frame=True)
    assert "camera_pose" in frame.structure and frame["semantic_segmentation"].dtype == numpy.uint32
    client.camera.remove(CAMERA)
    created = client.put("/cameras", json.dumps({"prim_path": CAMERA}))
    assert created.status == 201 and created.header("CONTENT-TYPE") == "application/json"
    assert client.get("/cameras/" + CAMERA).status == 405  # no GET on a camera
    assert client.post("/cameras/" + CAMERA + "/capture", b"{}").body[:4] == b"CVB1"
    assert client.patch("/cameras/" + CAMERA, "{}").status == 405
    assert client.delete("/cameras/" + CAMERA).json()["removed"] is True
