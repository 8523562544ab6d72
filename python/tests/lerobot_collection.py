"""A LeRobot dataset end to end: episodes of steps collected over simulated bridges (corvane.fleet), exported
by `corvane export DIR --lerobot OUT`, then checked against the steps. Shared by test_fleet.py (videos by
ffprobe, the layout) and tests/parquet_samples.py (every Parquet file by hyparquet and DuckDB)."""

from __future__ import annotations

import contextlib
import io
import json
import pathlib
import subprocess
from typing import Any, Dict, List, Tuple

import numpy

import corvane.cli
import corvane.recording

FPS = 30
WIDTH, HEIGHT = 96, 64  # not square: a width and height swapped show; AV1 takes 64 pixels and up
TASKS = ["reach", "push"]
VIDEO = "observation.images.rgb"


def demonstration(client: Any, recorder: Any, index: int) -> bool:
    """`4 + index` steps of a camera image, the joint state and the commanded target, timed at 1/FPS."""
    arm, camera = "/World/lerobot_arm", "/World/lerobot_camera"
    client.articulation.create(arm)
    client.camera.create(camera, [WIDTH, HEIGHT])
    recorder.write("/episode", {"event": "start", "task": TASKS[index % 2]})
    try:
        for t in range(4 + index):
            frame = client.camera.capture(camera, ["rgb"])
            state = client.articulation.get_joints_state(arm)["joint_positions"]
            target = [0.05 * t] + state[1:]
            recorder.step({"rgb": frame["rgb"], "state": state}, target, reward=float(t), time=t / FPS)
            client.articulation.set_joint_positions(arm, target)
    finally:
        client.camera.remove(camera)
        client.articulation.remove(arm)
    return True


def export(collection: pathlib.Path, out: pathlib.Path, *options: str) -> str:
    """Runs the command in this process; it must succeed. Returns what it printed (on stderr)."""
    printed = io.StringIO()
    with contextlib.redirect_stderr(printed):
        status = corvane.cli.main(["export", str(collection), "--lerobot", str(out), *options])
    assert status == 0, printed.getvalue()
    return printed.getvalue()


def steps_of(collection: pathlib.Path) -> List[List[Any]]:
    """Each recorded episode's steps, in index order."""
    shards = sorted(collection.glob("episode-*.mcap"))
    return [list(corvane.recording.open(shard).steps()) for shard in shards]


def probe(out: pathlib.Path) -> Tuple[str, Dict[str, Any], List[float]]:
    """The video file, its stream and each decoded frame's time in it, by ffprobe."""
    video = out / "videos" / VIDEO / "chunk-000" / "file-000.mp4"
    entries = "stream=codec_name,pix_fmt,width,height:frame=best_effort_timestamp_time"
    found = json.loads(subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", entries,
                                       "-of", "json", str(video)], check=True, capture_output=True).stdout)
    return str(video), found["streams"][0], [float(f["best_effort_timestamp_time"]) for f in found["frames"]]


def check(out: pathlib.Path, episodes: List[List[Any]], codec: str) -> None:
    """The video: one file, frame k of the dataset at k / FPS (each row's timestamp + its episode's
    from_timestamp, within the loader's 1e-4 s); info.json's fields, names never null; stats' keys."""
    _, stream, times = probe(out)
    frames = sum(map(len, episodes))
    assert stream == {"codec_name": codec, "pix_fmt": "yuv420p", "width": WIDTH, "height": HEIGHT}
    assert len(times) == frames and numpy.allclose(times, numpy.arange(frames) / FPS, rtol=0, atol=1e-4)
    info = json.loads((out / "meta/info.json").read_text())
    assert [info[k] for k in ("codebase_version", "fps", "total_episodes", "total_frames", "total_tasks",
                              "chunks_size", "splits")] == \
        ["v3.0", FPS, len(episodes), frames, 2, 1000, {"train": f"0:{len(episodes)}"}]
    features = info["features"]
    assert features[VIDEO]["shape"] == [HEIGHT, WIDTH, 3] and features[VIDEO]["info"]["video.codec"] == codec
    assert features["observation.state"]["shape"] == features["action"]["shape"] == [7]
    assert all(len(f["names"]) == (3 if f["dtype"] == "video" else f["shape"][0]) and
               all(isinstance(n, str) for n in f["names"]) for f in features.values())
    stats = json.loads((out / "meta/stats.json").read_text())
    assert set(stats) == set(features) - {"next.done"} and stats[VIDEO]["count"] == [frames]
    assert all(set(s) == {"min", "max", "mean", "std", "count", "q01", "q10", "q50", "q90", "q99"}
               for s in stats.values())


def tables(out: pathlib.Path, episodes: List[List[Any]]) -> List[Dict[str, Any]]:
    """What the Parquet files must hold, from the steps: name, files, columns as (name, kind, is_list, rows)."""
    data: Dict[str, List[Any]] = {}
    meta: Dict[str, List[Any]] = {}
    first = 0  # frames before the episode's, in the one data file and the one video file
    for e, steps in enumerate(episodes):
        n = len(steps)
        for i, step in enumerate(steps):
            for name, value in (("observation.state", numpy.asarray(step.observation["state"]).tolist()),
                                ("action", numpy.asarray(step.action).tolist()), ("timestamp", i / FPS),
                                ("frame_index", i), ("episode_index", e), ("index", first + i),
                                ("task_index", e % 2), ("next.reward", float(i)), ("next.done", i == n - 1)):
                data.setdefault(name, []).append(value)
        for name, value in (("episode_index", e), ("tasks", [TASKS[e % 2]]), ("length", n),
                            ("dataset_from_index", first), ("dataset_to_index", first + n), ("data/chunk_index", 0),
                            ("data/file_index", 0), (f"videos/{VIDEO}/chunk_index", 0),
                            (f"videos/{VIDEO}/file_index", 0), (f"videos/{VIDEO}/from_timestamp", first / FPS),
                            (f"videos/{VIDEO}/to_timestamp", (first + n) / FPS), ("meta/episodes/chunk_index", 0),
                            ("meta/episodes/file_index", 0)):
            meta.setdefault(name, []).append(value)
        first += n
    kinds = {"observation.state": ("float32", True), "action": ("float32", True), "timestamp": ("float32", False),
             "next.reward": ("float32", False), "next.done": ("bool", False), "tasks": ("string", True)}

    def columns(rows: Dict[str, List[Any]]) -> List[Any]:
        return [(name, *kinds.get(name, ("float64" if name.endswith("timestamp") else "int64", False)), values)
                for name, values in rows.items()]

    return [{"name": "collected data", "files": [out / "data/chunk-000/file-000.parquet"], "columns": columns(data)},
            {"name": "collected episodes", "files": [out / "meta/episodes/chunk-000/file-000.parquet"],
             "columns": columns(meta)},
            {"name": "collected tasks", "files": [out / "meta/tasks.parquet"],
             "columns": [("task_index", "int64", False, [0, 1]), ("task", "string", False, TASKS)]}]
