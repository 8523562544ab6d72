"""corvane.fleet measured: episodes per second with 1, 2 and 4 simulated bridges (as ratios to 1), and the
fleet's overhead against the same episodes recorded in a plain loop on one bridge. All in one run:

    PYTHONPATH=build/python /usr/bin/python3 bench/python/fleet_bench.py [EPISODES]

An episode follows a joint-position stream for 15 samples (the simulated bridge sends 60 a second, so the
simulator sets the pace, as a real one does), makes a few REST calls and one small capture, recorded.
"""

from __future__ import annotations

import contextlib
import os
import sys
import tempfile
import time
import uuid
from typing import Any, List

import distributed

import corvane
import corvane.fleet
from corvane.testing import SimulatedBridge


def episode(client: corvane.Client, recorder: Any, index: int) -> bool:
    tag = uuid.uuid4().hex  # the bridges serve every run of the benchmark: new prims each time
    arm, camera = f"/World/bench_arm_{tag}", f"/World/bench_cam_{tag}"
    client.articulation.create(arm)
    client.camera.create(camera, [64, 48])
    stream = client.open_joint_position_stream(arm)
    for _ in range(15):
        stream.receive_for(5.0)
    stream.close()
    client.camera.capture(camera)
    client.articulation.get_joints_state(arm)
    return True


def plain_loop(bridge: Any, episodes: int, out: str) -> float:
    """The same episodes, each recorded to its own file, one client, no Dask."""
    slot = corvane.RecorderSlot()
    client = corvane.Client("loop", bridge.http_url, bridge.websocket_url, 10.0, 2, reuse_connections=True,
                            recorder=slot)
    began = time.perf_counter()
    for index in range(episodes):
        path = os.path.join(out, corvane.fleet.shard_name(index))
        with corvane.Recorder(path + ".tmp") as recorder:
            slot.set(recorder)
            recorder.write("/episode", {"event": "start", "index": index})
            episode(client, recorder, index)
            recorder.write("/episode", {"event": "end", "index": index, "success": True})
            slot.set(None)
        os.replace(path + ".tmp", path)
    return time.perf_counter() - began


def fleet_run(bridges: List[Any], episodes: int, out: str) -> float:
    """collect() on a local cluster started beforehand (its start-up is timed apart)."""
    fleet = [corvane.fleet.Bridge.of(b) for b in bridges]
    with corvane.fleet._local_cluster(fleet) as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(len(fleet))
        began = time.perf_counter()
        dataset = corvane.fleet.collect(episode, bridges, episodes=episodes, out=out,
                                        scheduler=cluster.scheduler_address, progress=False)
        took = time.perf_counter() - began
    assert dataset["recorded"] == episodes, dataset
    return took


def start_up(bridge: Any) -> float:
    began = time.perf_counter()
    with tempfile.TemporaryDirectory() as out:
        corvane.fleet.collect(episode, [bridge], episodes=0, out=out, progress=False)
    return time.perf_counter() - began


def main() -> None:
    episodes = int(sys.argv[1]) if len(sys.argv) > 1 else 32
    with contextlib.ExitStack() as stack:
        bridges = [stack.enter_context(SimulatedBridge()) for _ in range(4)]
        rows = []
        with tempfile.TemporaryDirectory() as out:
            loop = plain_loop(bridges[0], episodes, out)
        for count in (1, 2, 4):
            with tempfile.TemporaryDirectory() as out:
                rows.append((count, fleet_run(bridges[:count], episodes, out)))
        startup = start_up(bridges[0])
    one = rows[0][1]
    print(f"{episodes} episodes, {loop / episodes * 1000:.0f} ms each in a plain loop")
    print(f"{'workload':<34}{'seconds':>9}{'episodes/s':>12}{'ratio':>8}")
    print(f"{'plain loop, 1 bridge':<34}{loop:>9.2f}{episodes / loop:>12.2f}{'':>8}")
    for count, took in rows:
        print(f"{f'fleet, {count} bridge(s)':<34}{took:>9.2f}{episodes / took:>12.2f}{one / took:>7.2f}x")
    print(f"fleet overhead, 1 bridge vs plain loop: {one / loop:.3f}x (goal <= 1.15x)")
    print(f"local cluster start and stop (0 episodes): {startup:.2f} s")


if __name__ == "__main__":
    main()
