#!/usr/bin/python3
"""corvane quick start in Python: the scene of examples/quickstart.cpp, driven through the Python package,
with the camera's arrays read in place by numpy and written with Pillow.

    quickstart.py <http base URL> <websocket base URL> [output folder]
"""

import json
import os
import sys
import time
from typing import Any, Dict, List

import numpy
from numpy.typing import NDArray
from PIL import Image

import corvane

ARM, GRIPPER, CAMERA = "/World/arm", "/World/gripper", "/World/camera"
WIDTH, HEIGHT = 640, 480


def step(what: str) -> None:
    print(f"\n== {what}", flush=True)


def pose_within(limits: Dict[str, Any], fraction: float) -> List[float]:
    """A pose `fraction` of the way toward each joint's upper limit (its lower one, for odd joints)."""
    pose = []
    for j in range(len(limits["joint_names"])):
        bound = (limits["upper_limits"] if j % 2 == 0 else limits["lower_limits"])[j]
        pose.append(fraction * bound if bound is not None else fraction)
    return pose


def create_arm(client: corvane.Client) -> Dict[str, Any]:
    step(f"Create an arm at {ARM} (the bridge's built-in 7-joint arm)")
    arm = client.articulation.create(ARM)
    print("joints:", arm["joint_names"])
    step("Read its joint limits")
    limits: Dict[str, Any] = client.articulation.get_dof_limits(ARM)
    for name, low, high, speed in zip(limits["joint_names"], limits["lower_limits"], limits["upper_limits"],
                                      limits["velocity_limits"]):
        print(f"  {name}: [{low}, {high}] rad, up to {speed} rad/s")
    return limits


def move_and_stream(client: corvane.Client, limits: Dict[str, Any]) -> None:
    step("Move the joints synchronously (the call returns when the motion ends)")
    started = time.monotonic()
    moved = client.articulation.move_joint_positions(ARM, pose_within(limits, 0.35))
    print(f"completed: {moved['completed']} after {time.monotonic() - started:.3f} s; positions "
          f"{moved['joint_positions']}")

    step("Open the state stream and watch an asynchronous move")
    with client.articulation.stream_articulation_state(ARM) as stream:
        client.articulation.move_joint_positions(ARM, pose_within(limits, -0.3), asynchronous=True)
        shown, until = 0, time.monotonic() + 1.5
        while shown < 6 and time.monotonic() < until:
            text = stream.receive_for(0.1)
            if text is None:
                continue
            sample = json.loads(text)
            if sample.get("seq", 0) % 12 != 0:
                continue  # a few samples, a fifth of a second apart
            print(f"  t={sample['time']:.3f} joint2={sample['joint_positions'][1]:.3f} rad at "
                  f"{sample['joint_velocities'][1]:.3f} rad/s")
            shown += 1


def gripper(client: corvane.Client) -> None:
    step("Create a surface gripper, mount it on the arm's flange and close it")
    client.surface_gripper.create(GRIPPER)
    client.articulation.assemble_robot(ARM, GRIPPER, "flange")
    print("gripper status:", client.surface_gripper.close(GRIPPER)["status"])


def colour_depth(depth: NDArray[numpy.float32]) -> NDArray[numpy.uint8]:
    """Near (warm) to far (cool) over the nearest nine tenths of the finite depths; nothing there is black."""
    finite = numpy.isfinite(depth)
    rgb = numpy.zeros(depth.shape + (3,), dtype=numpy.uint8)
    if not finite.any():
        return rgb
    values = depth[finite]
    nearest, far = float(values.min()), float(numpy.partition(values, len(values) * 9 // 10)[len(values) * 9 // 10])
    t = numpy.clip((values - nearest) / (far - nearest if far > nearest else 1.0), 0.0, 1.0) * 4
    stops = numpy.array([[220, 40, 30], [240, 200, 40], [60, 190, 80], [40, 180, 210], [40, 60, 200]], dtype=float)
    i = numpy.minimum(t.astype(int), 3)
    f = (t - i)[:, None]
    rgb[finite] = (stops[i] + (stops[i + 1] - stops[i]) * f).astype(numpy.uint8)
    return rgb


def camera(client: corvane.Client, folder: str) -> None:
    step("Create a camera and capture rgb and depth")
    client.camera.create(CAMERA, [WIDTH, HEIGHT], 30.0)
    frame = client.camera.capture(CAMERA, ["rgb", "depth"], world_frame=True)
    rgb, depth = frame["rgb"], frame["depth"]  # numpy arrays on the frame's own bytes: no copy
    if rgb.shape != (HEIGHT, WIDTH, 3) or depth.shape != (HEIGHT, WIDTH):
        raise RuntimeError(f"unexpected output shapes {rgb.shape} and {depth.shape}")
    print(f"rgb {rgb.shape} {rgb.dtype}, depth {depth.shape} {depth.dtype} (metres)")
    os.makedirs(folder, exist_ok=True)
    Image.fromarray(rgb).save(os.path.join(folder, "rgb.png"))
    Image.fromarray(colour_depth(depth)).save(os.path.join(folder, "depth.png"))
    print(f"wrote {os.path.join(folder, 'rgb.png')} and {os.path.join(folder, 'depth.png')}")


def main(argv: List[str]) -> int:
    if len(argv) < 3:
        print("usage: quickstart.py <http base URL> <websocket base URL> [output folder]", file=sys.stderr)
        return 2
    folder = argv[3] if len(argv) > 3 else "quickstart-output"
    try:
        step(f"Connect to the bridge at {argv[1]}")
        client = corvane.Client("quickstart", argv[1], argv[2], timeout=10.0, max_retries=2)
        limits = create_arm(client)
        move_and_stream(client, limits)
        gripper(client)
        camera(client, folder)
    except corvane.HTTPError as error:
        print(f"\nfailed: {error}: {error.body.decode(errors='replace')}", file=sys.stderr)
        return 1
    except corvane.Error as error:
        print(f"\nfailed: {error}", file=sys.stderr)
        return 1
    print("\ndone")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
