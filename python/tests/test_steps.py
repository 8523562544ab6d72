"""recorder.step and recording.steps(): what is stepped comes back exactly (bytes, shapes, order, episodes),
frame outputs are taken without a copy; and the robomimic export's helpers."""

from __future__ import annotations

import json
import pathlib
from typing import Any, Dict, List

import numpy
import pytest

import corvane
import corvane.recording
from corvane.export import hdf5
from corvane.testing import BridgeUrls


def test_steps_read_back_exactly(simulated_bridge: BridgeUrls, tmp_path: pathlib.Path) -> None:
    client = corvane.Client("steps", simulated_bridge.http_url, simulated_bridge.websocket_url)
    client.camera.create("/World/step_cam", [16, 12])
    rng = numpy.random.default_rng(7)
    stepped: List[Dict[str, Any]] = []
    path = tmp_path / "steps.mcap"
    with corvane.Recorder(path, chunk_size=2000) as recorder:
        slot = corvane.RecorderSlot(recorder)
        for episode in range(2):
            recorder.write("/episode", {"event": "start", "episode": episode})
            for i in range(3):
                frame = client.camera.capture("/World/step_cam")
                observation = {"rgb": frame["rgb"], "depth": frame.output("depth"),
                               "mask": rng.integers(0, 255, (12, 16, 1), dtype=numpy.uint8),
                               "state": [0.1 * i] * 7, "gain": 2,
                               "strided": numpy.arange(40, dtype=">i4").reshape(8, 5)[::2]}
                action = rng.normal(size=3) if episode == 0 else {"arm": [i, i], "grip": numpy.float32(0.5)}
                step = slot.step if i == 1 else recorder.step
                assert step(observation, action, reward=float(i), done=i == 2 or None, time=i * 0.05) == i
                stepped.append({"observation": {k: numpy.array(v) for k, v in observation.items()},
                                "action": action})
            recorder.write("/episode", {"event": "end", "success": bool(episode)})
        slot.set(None)
        assert slot.step({"x": 1}) is None  # no recorder: nothing recorded

    steps = corvane.recording.open(path).steps()
    read = list(steps)
    assert [(s.episode, s.index) for s in read] == [(e, i) for e in range(2) for i in range(3)]
    assert [s.log_time for s in read] == sorted({s.log_time for s in read})
    for got, want in zip(read, stepped):
        assert list(got.observation) == ["rgb", "depth", "mask", "state", "gain", "strided"]
        for key, value in want["observation"].items():
            expected = value.astype(value.dtype.newbyteorder("<")) if key == "strided" else value
            if key in ("state", "gain"):
                expected = expected.astype(numpy.float64)
            assert got.observation[key].shape == expected.shape and got.observation[key].dtype == expected.dtype
            assert got.observation[key].tobytes() == expected.tobytes()
        if isinstance(want["action"], dict):
            assert list(got.action) == ["arm", "grip"] and got.action["grip"].dtype == numpy.float32
        else:
            assert got.action.tobytes() == want["action"].tobytes()
    assert [s.reward for s in read[:3]] == [0.0, 1.0, 2.0] and [s.done for s in read[:3]] == [None, None, True]
    assert read[1].time == pytest.approx(0.05)
    assert steps.episodes == [{"event": "end", "episode": 0, "success": False},
                              {"event": "end", "episode": 1, "success": True}]
    assert steps.incomplete == 0


def test_bad_steps_are_refused(tmp_path: pathlib.Path) -> None:
    with corvane.Recorder(tmp_path / "bad.mcap") as recorder:
        with pytest.raises(TypeError):
            recorder.step({"label": "text"})
        with pytest.raises(TypeError):
            recorder.step([1, 2])  # type: ignore[arg-type]
        with pytest.raises(ValueError):
            recorder.step({"": [1.0]})
        assert recorder.step({"ok": [1.0]}) == 0
    with pytest.raises(RuntimeError, match="closed"):
        recorder.step({"ok": [1.0]})


def _steps(path: pathlib.Path, episodes: List[int], state_width: int = 7) -> None:
    """Episodes of `n` steps each, with a 4x5 rgb image, a state and a 2-wide action."""
    with corvane.Recorder(path) as recorder:
        for n in episodes:
            recorder.write("/episode", {"event": "start", "env_args": {"env_name": "Lift", "type": 1}})
            for i in range(n):
                recorder.step({"rgb": numpy.full((4, 5, 3), i, numpy.uint8), "state": [float(i)] * state_width},
                              [i, -i])
            recorder.write("/episode", {"event": "end", "success": True})


def test_export_from_steps_checks_keys_and_splits(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("h5py")
    import h5py

    source, out = tmp_path / "demos.mcap", tmp_path / "demos.h5"
    _steps(source, [3, 2, 4, 1])
    notes: List[str] = []
    result = hdf5.export(str(source), str(out), valid_fraction=0.25, seed=3, warn=notes.append)
    assert (result.demos, result.samples, result.left_out, notes) == (4, 10, [], [])
    with h5py.File(out, "r") as f:
        assert [f[f"data/demo_{i}"].attrs["num_samples"] for i in range(4)] == [3, 2, 4, 1]
        demo = f["data/demo_2"]
        assert demo["obs/rgb"].shape == (4, 4, 5, 3) and demo["obs/rgb"].dtype == numpy.uint8
        assert demo["obs/state"].shape == (4, 7) and demo["actions"][:].tolist()[3] == [3.0, -3.0]
        assert demo["dones"][:].tolist() == [0, 0, 0, 1] and demo["rewards"][:].tolist() == [0.0] * 4
        assert json.loads(f["data"].attrs["env_args"])["env_name"] == "Lift"
        train, valid = sorted(f["mask/train"][:].tolist()), f["mask/valid"][:].tolist()
        assert len(valid) == 1 and sorted(train + valid) == [b"demo_0", b"demo_1", b"demo_2", b"demo_3"]

    # An episode with another state width is left out, or refused with strict.
    odd = tmp_path / "odd.mcap"
    _steps(odd, [2], state_width=6)
    folder = tmp_path / "collection"
    folder.mkdir()
    for index, shard in ((0, source), (1, odd)):
        (folder / f"episode-00000{index}.mcap").write_bytes(shard.read_bytes())
    (folder / "dataset.json").write_text(json.dumps({"episodes": [
        {"index": i, "shard": f"episode-00000{i}.mcap", "success": True} for i in range(2)]}))
    result = hdf5.export(str(folder), str(out), env_args={"env_name": "Mine"}, warn=notes.append)
    assert result.demos == 4 and len(result.left_out) == 1 and "episode-000001.mcap, episode 0" in notes[0]
    with h5py.File(out, "r") as f:
        assert json.loads(f["data"].attrs["env_args"])["env_name"] == "Mine"
    with pytest.raises(hdf5.ExportError, match="episode-000001"):
        hdf5.export(str(folder), str(tmp_path / "strict.h5"), strict=True, warn=notes.append)
    assert not (tmp_path / "strict.h5").exists()

    # Steps whose keys change within an episode: that episode alone is left out.
    changing = tmp_path / "changing.mcap"
    with corvane.Recorder(changing) as recorder:
        for keys in (["a"], ["a"], ["a", "b"]):
            recorder.write("/episode", {"event": "start"})
            for key in keys:
                recorder.step({k: [1.0] for k in keys[:keys.index(key) + 1]})
    result = hdf5.export(str(changing), str(out), warn=notes.append)
    assert result.demos == 2 and "episode 2: step 1 has other observation keys" in result.left_out[0]


def test_export_helpers() -> None:
    train, valid = hdf5.split([f"demo_{i}" for i in range(20)], 0.1, seed=1)
    assert len(valid) == 2 and not set(train) & set(valid)
    assert hdf5.split([f"demo_{i}" for i in range(20)], 0.1, seed=1) == (train, valid)  # seeded
    assert hdf5.split(["demo_0"], 0.1, 0) == (["demo_0"], [])
    assert hdf5.split(["a", "b"], 0.1, 0)[1] != []

    assert hdf5.fill_actions([None, [1.0], None, [2.0]]) == [[1.0], [1.0], [1.0], [2.0]]
    assert hdf5.fill_actions([None, None]) == [[], []]

    samples: List[Dict[str, Any]] = [{"rgb": 0}, {"rgb": 1, "q": numpy.ones(2)}, {"rgb": 2}]
    hdf5.backfill(samples, ["q"])
    assert samples[0]["q"].tolist() == [1.0, 1.0] and numpy.isnan(samples[2]["q"]).all()

    assert hdf5.command_of("/rest/articulations//World/arm/move_j",
                           {"method": "POST", "request": {"joint_positions": [1, 2]}}) == [1.0, 2.0]
    assert hdf5.command_of("/rest/articulations//World/arm/joints_state",
                           {"method": "GET", "reply": {"joint_positions": [1]}}) is None
    assert hdf5.command_of("/World/arm/stream_joint_positions/sent", {"joint_positions": [0.5]}) == [0.5]
    assert hdf5.command_of("/World/arm/stream_joint_positions", {"joint_positions": [0.5]}) is None
