"""corvane.fleet: episodes across simulated bridges on a local cluster and on a cluster started by Dask's own
command line; a bridge that dies mid-run, an episode that always fails, a collection resumed."""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import threading
import time
from typing import Any, Dict, Iterator, List

import numpy
import pytest

import corvane
import corvane.cli
import corvane.fleet
import corvane.recording
import lerobot_collection
from corvane.testing import SimulatedBridge

pytest.importorskip("distributed")


def episode(client: corvane.Client, recorder: Any, index: int) -> bool:
    dying = os.environ.get("FLEET_TEST_DIE_ONCE", "")
    if index == 7 and dying and not os.path.exists(dying):
        pathlib.Path(dying).touch()
        os._exit(1)  # the worker process dies mid-episode, once
    arm = f"/World/fleet_arm_{index}"
    client.articulation.create(arm)
    recorder.write("/task", {"arm": arm})
    for _ in range(5):
        client.articulation.get_joints_state(arm)
        time.sleep(0.04)
    return index % 2 == 0


def failing_at_3(client: corvane.Client, recorder: Any, index: int) -> None:
    if index == 3:
        raise RuntimeError("the gripper slipped")
    recorder.write("/episode", {"event": "end", "success": True, "task": "other"})
    client.articulation.create(f"/World/fleet_other_{index}")


def misbehaving(client: corvane.Client, recorder: Any, index: int) -> Any:
    """The episodes that go wrong, by index: 0 hangs on its first attempt, 1 raises its own error each time,
    2 says numpy's False; the others succeed."""
    import numpy

    hung = os.environ["FLEET_TEST_HUNG"]
    if index == 0 and not os.path.exists(hung):
        pathlib.Path(hung).touch()
        time.sleep(30)
    if index == 1:
        raise ValueError("the cup is not where it was")
    client.articulation.create(f"/World/misbehaving_{index}_{os.getpid()}_{time.monotonic_ns()}")
    return numpy.float64(index) != 2.0


def stepping(client: corvane.Client, recorder: Any, index: int) -> bool:
    """A demonstration: fixed prim names, cleaned up; `3 + index` steps of an rgb image, the 7-joint state and
    the commanded target."""
    arm, camera = "/World/step_arm", "/World/step_camera"
    client.articulation.create(arm)
    client.camera.create(camera, [16, 12])
    try:
        for t in range(3 + index):
            frame = client.camera.capture(camera, ["rgb"])
            state = client.articulation.get_joints_state(arm)["joint_positions"]
            target = [0.05 * t] + state[1:]
            assert recorder.step({"rgb": frame["rgb"], "state": state}, target, reward=float(t)) == t
            client.articulation.set_joint_positions(arm, target)
    finally:
        client.camera.remove(camera)
        client.articulation.remove(arm)
    return True


def check_collection(out: pathlib.Path, recorded: List[int]) -> Dict[str, Any]:
    """dataset.json lists `recorded` with their shards, each shard holds its own episode, and nothing else is
    in the folder."""
    dataset: Dict[str, Any] = json.loads((out / "dataset.json").read_text())
    assert dataset["corvane"] == corvane.__version__
    shards = {e["index"]: e["shard"] for e in dataset["episodes"] if e.get("shard")}
    assert sorted(shards) == recorded
    assert sorted(os.listdir(out)) == sorted([*shards.values(), "dataset.json"])  # no temporary left
    for index, shard in shards.items():
        episode_messages = [m.value for m in corvane.recording.open(out / shard).messages(topics=["/episode"])]
        assert [(m["event"], m["index"]) for m in episode_messages] == [("start", index), ("end", index)]
    return dataset


def test_twelve_episodes_on_three_bridges_one_killed_midway(tmp_path: pathlib.Path,
                                                            monkeypatch: pytest.MonkeyPatch) -> None:
    died = tmp_path.parent / f"{tmp_path.name}-died"
    monkeypatch.setenv("FLEET_TEST_DIE_ONCE", str(died))  # and one worker dies too
    with contextlib.ExitStack() as stack:
        bridges = [SimulatedBridge() for _ in range(3)]
        urls = [stack.enter_context(bridge) for bridge in bridges]

        def kill_when_three_are_done() -> None:
            deadline = time.monotonic() + 60
            while len(list(tmp_path.glob("*.mcap"))) < 3 and time.monotonic() < deadline:
                time.sleep(0.02)
            bridges[1].stop()

        killer = threading.Thread(target=kill_when_three_are_done)
        killer.start()
        dataset = corvane.fleet.collect(episode, urls, episodes=12, out=tmp_path, progress=False,
                                        client_options={"timeout": 5.0, "max_retries": 0})
        killer.join()

    check_collection(tmp_path, list(range(12)))
    assert died.exists()
    entries = dataset["episodes"]
    assert all(e["success"] == (e["index"] % 2 == 0) and e["end"] > e["start"] and e["topics"]["/task"] == 1
               and e["topics"]["/episode"] == 2 and e["messages"] == sum(e["topics"].values()) >= 9 for e in entries)
    killed = dataset["bridges"][1]
    assert killed["http_url"] == urls[1].http_url and killed["failures"] >= 1
    assert sum(e["attempts"] for e in entries) == 12 + killed["failures"]
    # The worker that died cost no attempt, and nothing it had finished was run (recorded) again.
    assert dataset["bridges"][0]["failures"] == dataset["bridges"][2]["failures"] == 0
    assert sum(b["episodes"] for b in dataset["bridges"]) == 12


@pytest.fixture(scope="module")
def cluster(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Dict[str, Any]]:
    """Two simulated bridges and a Dask scheduler and two workers on 127.0.0.1, each a process of its own."""
    with contextlib.ExitStack() as stack:
        urls = [stack.enter_context(SimulatedBridge()) for _ in range(2)]
        scheduler_file = tmp_path_factory.mktemp("dask") / "scheduler.json"
        common = ["--no-dashboard", "--host", "127.0.0.1"]
        commands = [["dask", "scheduler", *common, "--port", "0", "--scheduler-file", str(scheduler_file)]]
        commands += [["dask", "worker", "--scheduler-file", str(scheduler_file), *common, "--nthreads", "1",
                      "--resources", f"{url.http_url.rstrip('/')}=1"] for url in urls]
        for command in commands:
            process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            stack.callback(process.wait, 30)
            stack.callback(process.terminate)
            deadline = time.monotonic() + 60
            while not scheduler_file.exists() and time.monotonic() < deadline:
                time.sleep(0.1)
        yield {"address": json.loads(scheduler_file.read_text())["address"], "urls": urls}


def test_a_cluster_by_address_resumes_and_reports_a_failing_episode(cluster: Dict[str, Any],
                                                                      tmp_path: pathlib.Path) -> None:
    out = tmp_path / "collection"
    first = corvane.fleet.collect(failing_at_3, cluster["urls"], episodes=2, out=out,
                                  scheduler=cluster["address"], progress=False)
    assert first["recorded"] == 2 and all(e["success"] for e in first["episodes"]), first
    written = {name: (out / name).stat().st_mtime_ns for name in os.listdir(out) if name.endswith(".mcap")}
    (out / "dataset.json").unlink()  # as if the driver had died: the shards describe themselves
    (out / "episode-000002.mcap.1.tmp").write_bytes(b"left by a dead worker")

    second = corvane.fleet.collect(failing_at_3, cluster["urls"], episodes=4, out=out,
                                   scheduler=cluster["address"], attempts=2, progress=False)
    check_collection(out, [0, 1, 2])
    assert {name: (out / name).stat().st_mtime_ns for name in written} == written  # not recorded again
    failed = second["episodes"][3]
    assert failed["shard"] is None and failed["attempts"] == 2
    assert "RuntimeError: the gripper slipped" in failed["error"]
    assert all(e["bridge"] in {u.http_url for u in cluster["urls"]} and e["attempts"] == 1 and e["success"]
               for e in second["episodes"][:3])
    end = list(corvane.recording.open(out / "episode-000002.mcap").messages(topics=["/episode"]))[-1].value
    assert end == {"event": "end", "index": 2, "success": True, "task": "other"}

    with pytest.raises(corvane.fleet.CollectionError, match="no worker serves http://127.0.0.1:9"):
        corvane.fleet.collect(failing_at_3, ["http://127.0.0.1:9"], episodes=1, out=out,
                              scheduler=cluster["address"], progress=False, connect_timeout=1.0)


def test_episodes_of_steps_over_two_bridges_export_a_dataset(cluster: Dict[str, Any],
                                                             tmp_path: pathlib.Path) -> None:
    h5py = pytest.importorskip("h5py")
    from corvane.export import hdf5

    out = tmp_path / "steps"
    dataset = corvane.fleet.collect(stepping, cluster["urls"], episodes=4, out=out, scheduler=cluster["address"],
                                    progress=False)
    assert dataset["recorded"] == 4 and {e["bridge"] for e in dataset["episodes"]} == \
        {u.http_url for u in cluster["urls"]}  # both bridges, each running fixed names more than once
    result = hdf5.export(str(out), str(tmp_path / "steps.h5"), warn=pytest.fail)
    assert (result.demos, result.samples) == (4, 3 + 4 + 5 + 6)
    with h5py.File(tmp_path / "steps.h5", "r") as f:
        for index in range(4):
            demo, n = f[f"data/demo_{index}"], 3 + index
            assert demo.attrs["num_samples"] == n
            assert demo["obs/rgb"].shape == (n, 12, 16, 3) and demo["obs/rgb"].dtype == numpy.uint8
            assert demo["obs/state"].shape == (n, 7)
            assert demo["actions"].shape == (n, 7) and demo["actions"][:, 0].tolist() == [0.05 * t for t in range(n)]
            assert demo["rewards"][:].tolist() == [float(t) for t in range(n)]
            assert demo["dones"][:].tolist() == [0] * (n - 1) + [1]


def test_episodes_collected_over_two_bridges_export_to_lerobot(cluster: Dict[str, Any],
                                                               tmp_path: pathlib.Path) -> None:
    collection, out = tmp_path / "demos", tmp_path / "lerobot"
    dataset = corvane.fleet.collect(lerobot_collection.demonstration, cluster["urls"], episodes=3, out=collection,
                                    scheduler=cluster["address"], progress=False)
    assert dataset["recorded"] == 3
    printed = lerobot_collection.export(collection, out)
    assert printed == f"corvane export: {out}: 3 episodes, 15 frames at 30 fps; 3 Parquet and 1 MP4 (av1) files\n"
    lerobot_collection.check(out, lerobot_collection.steps_of(collection), "av1")
    # What cannot be written fails in one line, leaving nothing behind.
    assert corvane.cli.main(["export", str(collection), "--lerobot", str(out)]) == 1
    assert corvane.cli.main(["export", str(collection), "--hdf5", str(tmp_path / "x.h5"), "--fps", "30"]) == 2
    assert not (tmp_path / "x.h5").exists()


def test_the_collect_command_runs_a_function_of_a_script(cluster: Dict[str, Any], tmp_path: pathlib.Path) -> None:
    from corvane.cli import main

    script = tmp_path / "episodes.py"
    script.write_text("def wave(client, recorder, index):\n    client.articulation.create(f'/World/wave_{index}')\n")
    out = tmp_path / "waves"
    arguments = ["collect", f"{script}:wave", "-n", "3", "-o", str(out), "--scheduler", cluster["address"], "-q"]
    for url in cluster["urls"]:
        arguments += ["--bridge", url.http_url]
    assert main(arguments) == 0
    check_collection(out, [0, 1, 2])
    assert main([*arguments[:1], f"{script}:missing", *arguments[2:]]) == 2  # through the command's one road


def test_a_recorder_slot_sends_each_session_to_its_own_file(tmp_path: pathlib.Path) -> None:
    slot = corvane.RecorderSlot()
    with SimulatedBridge() as urls:
        client = corvane.Client("slot", urls.http_url, urls.websocket_url, recorder=slot)
        for name in ("a", "b"):
            with corvane.Recorder(tmp_path / f"{name}.mcap") as recorder:
                slot.set(recorder)
                assert slot.recording
                client.articulation.create(f"/World/slot_{name}")
                slot.set(None)
                client.articulation.create(f"/World/unrecorded_{name}")
    for name in ("a", "b"):
        recorded = [json.dumps(m.value) for m in corvane.recording.open(tmp_path / f"{name}.mcap")]
        assert len(recorded) == 1 and f"/World/slot_{name}" in recorded[0]
    with pytest.raises(TypeError, match="corvane.Recorder"):
        slot.set(client)  # type: ignore[arg-type]


def test_misbehaving_episodes_fail_alone_and_leave_nothing_behind(tmp_path: pathlib.Path,
                                                                   monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("FLEET_TEST_HUNG", str(tmp_path.parent / f"{tmp_path.name}-hung"))
    (tmp_path / "episode-000003.mcap").write_bytes(b"")  # an empty shard (a power cut): recorded again
    with contextlib.ExitStack() as stack:
        urls = [stack.enter_context(SimulatedBridge()) for _ in range(2)]
        dataset = corvane.fleet.collect(misbehaving, urls, episodes=4, out=tmp_path, progress=False, attempts=2,
                                        bridge_failures=1, episode_timeout=3.0,
                                        client_options={"headers": {"X-Fleet": "1"}, "timeout": 5.0})
    assert (tmp_path / "episode-000003.mcap.unreadable").exists()
    (tmp_path / "episode-000003.mcap.unreadable").unlink()
    check_collection(tmp_path, [0, 2, 3])
    hung, failed, unsuccessful, fine = dataset["episodes"]
    assert hung["attempts"] == 2 and hung["success"] is True
    assert failed["attempts"] == 2 and "ValueError: the cup is not where it was" in failed["error"]
    assert not failed["bridge_failure"] and "stopped" not in failed
    assert unsuccessful["success"] is False and fine["success"] is True
    # Neither the hang nor the episode's own errors count against a bridge.
    assert [(b["failures"], b["set_aside"]) for b in dataset["bridges"]] == [(0, False), (0, False)]
    assert sum(b["episode_errors"] for b in dataset["bridges"]) == 3


def test_a_second_collection_in_one_folder_refuses_to_start(tmp_path: pathlib.Path) -> None:
    import fcntl

    descriptor = os.open(tmp_path, os.O_RDONLY)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)  # as a running collection holds it
        with pytest.raises(corvane.fleet.CollectionError, match="another collection is running"):
            corvane.fleet.collect(episode, ["http://127.0.0.1:9"], episodes=1, out=tmp_path, progress=False)
    finally:
        os.close(descriptor)
    assert os.listdir(tmp_path) == []


def test_ctrl_c_during_a_hanging_episode_leaves_no_temporary(tmp_path: pathlib.Path) -> None:
    script = textwrap.dedent("""
        import sys, time
        import corvane.fleet
        from corvane.testing import SimulatedBridge

        def hang(client, recorder, index):
            time.sleep(60)

        with SimulatedBridge() as urls:
            corvane.fleet.collect(hang, [urls], episodes=1, out=sys.argv[1], progress=False)
    """)
    driver = subprocess.Popen([sys.executable, "-c", script, str(tmp_path)], stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not list(tmp_path.glob("*.tmp")) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert list(tmp_path.glob("*.tmp")), "the episode never started"
        driver.send_signal(signal.SIGINT)
        driver.wait(timeout=60)
    finally:
        driver.kill()
        driver.wait()
    assert sorted(os.listdir(tmp_path)) == ["dataset.json"]


def test_episodes_keep_their_own_error_when_no_bridge_is_left() -> None:
    bridge = corvane.fleet.Bridge.of("http://127.0.0.1:9")
    run = corvane.fleet._Run([bridge], [0, 1], {}, attempts=3, bridge_failures=1)
    assert [index for index, _ in run.assignments()] == [0, 1]
    conflict = "HTTPError: Bridge returned status 409: /World/arm_0 exists"
    assert run.finished(0, bridge, {"index": 0, "error": conflict, "bridge_failure": False}) == "retry"
    assert run.finished(1, bridge, {"index": 1, "error": "TransportError: refused", "bridge_failure": True}) == "failed"
    run.abandon_waiting()
    assert run.retired == {bridge.http_url}
    assert (run.entries[0]["error"], run.entries[0]["stopped"]) == (conflict, corvane.fleet.NO_BRIDGE_LEFT)
    assert run.entries[1]["error"] == "TransportError: refused" and run.entries[1]["stopped"]
