"""A LeRobot dataset end to end: episodes of steps collected over simulated bridges (corvane.fleet), exported
by `corvane export DIR --lerobot OUT`, then checked against the steps. Shared by test_fleet.py (videos by
ffprobe, the layout) and tests/parquet_samples.py (every Parquet file by hyparquet and DuckDB)."""

from __future__ import annotations

import contextlib
import io
import json
import pathlib
import subprocess
from typing import Any, Dict, List

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


def frame_times(video: pathlib.Path) -> List[float]:
    """Each decoded frame's time in the file, by ffprobe."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "frame=best_effort_timestamp_time", "-of", "json", str(video)],
                           check=True, capture_output=True, text=True)
    return [float(f["best_effort_timestamp_time"]) for f in json.loads(probe.stdout)["frames"]]


def check_videos(out: pathlib.Path, episodes: List[List[Any]], codec: str) -> None:
    """One video file whose frame i shows at i / FPS: each episode's rows (timestamp + from_timestamp) land on
    its own frames, within the loader's 1e-4 s; its stream is codec, yuv420p, WIDTH x HEIGHT."""
    video = out / "videos" / VIDEO / "chunk-000" / "file-000.mp4"
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=codec_name,pix_fmt,width,height", "-of", "json", str(video)],
                           check=True, capture_output=True, text=True)
    stream = json.loads(probe.stdout)["streams"][0]
    assert stream == {"codec_name": codec, "pix_fmt": "yuv420p", "width": WIDTH, "height": HEIGHT}
    times = frame_times(video)
    rows = []
    start = 0
    for steps in episodes:
        rows += [start / FPS + float(numpy.float32(i / FPS)) for i in range(len(steps))]  # as the rows hold it
        start += len(steps)
    assert len(times) == len(rows)
    assert max(abs(t - r) for t, r in zip(times, rows)) < 1e-4


def check_layout(out: pathlib.Path, episodes: List[List[Any]], codec: str) -> None:
    info = json.loads((out / "meta/info.json").read_text())
    frames = sum(map(len, episodes))
    assert {k: info[k] for k in ("codebase_version", "fps", "total_episodes", "total_frames", "total_tasks",
                                 "chunks_size", "splits")} == \
        {"codebase_version": "v3.0", "fps": FPS, "total_episodes": len(episodes), "total_frames": frames,
         "total_tasks": 2, "chunks_size": 1000, "splits": {"train": f"0:{len(episodes)}"}}
    assert info["data_path"] == "data/chunk-{chunk_index:03d}/file-{file_index:03d}.parquet"
    assert info["video_path"] == "videos/{video_key}/chunk-{chunk_index:03d}/file-{file_index:03d}.mp4"
    features = info["features"]
    joints = len(episodes[0][0].observation["state"])
    assert features[VIDEO]["shape"] == [HEIGHT, WIDTH, 3] and features[VIDEO]["dtype"] == "video"
    assert features[VIDEO]["info"]["video.codec"] == codec and features[VIDEO]["info"]["has_audio"] is False
    assert features["observation.state"]["shape"] == features["action"]["shape"] == [joints]
    assert all(isinstance(f["names"], list) and len(f["names"]) == (3 if f["dtype"] == "video" else f["shape"][0])
               and all(isinstance(n, str) for n in f["names"]) for f in features.values())
    stats = json.loads((out / "meta/stats.json").read_text())
    assert set(stats) == set(features) - {"next.done"}
    assert all(set(s) == {"min", "max", "mean", "std", "count", "q01", "q10", "q50", "q90", "q99"}
               for s in stats.values())
    assert stats[VIDEO]["count"] == [frames] and all(0 <= v[0][0] <= 1 for v in stats[VIDEO]["mean"])


def tables(out: pathlib.Path, episodes: List[List[Any]]) -> List[Dict[str, Any]]:
    """What the Parquet files must hold, from the steps: (name, files, columns as (name, kind, is_list, rows))."""
    data: Dict[str, List[Any]] = {k: [] for k in ("observation.state", "action", "timestamp", "frame_index",
                                                  "episode_index", "index", "task_index", "next.reward",
                                                  "next.done")}
    meta: Dict[str, List[Any]] = {}
    for e, steps in enumerate(episodes):
        for i, step in enumerate(steps):
            for name, value in (("observation.state", [float(v) for v in step.observation["state"]]),
                                ("action", [float(v) for v in step.action]), ("timestamp", i / FPS),
                                ("frame_index", i), ("episode_index", e), ("index", len(data["index"])),
                                ("task_index", e % 2), ("next.reward", float(i)),
                                ("next.done", i == len(steps) - 1)):
                data[name].append(value)
        first = len(data["index"]) - len(steps)  # frames before the episode's, in the one video file too
        for name, value in (("episode_index", e), ("tasks", [TASKS[e % 2]]), ("length", len(steps)),
                            ("dataset_from_index", first), ("dataset_to_index", first + len(steps)),
                            ("data/chunk_index", 0), ("data/file_index", 0),
                            (f"videos/{VIDEO}/chunk_index", 0), (f"videos/{VIDEO}/file_index", 0),
                            (f"videos/{VIDEO}/from_timestamp", first / FPS),
                            (f"videos/{VIDEO}/to_timestamp", (first + len(steps)) / FPS),
                            ("meta/episodes/chunk_index", 0), ("meta/episodes/file_index", 0)):
            meta.setdefault(name, []).append(value)
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


def video_frames(out: pathlib.Path) -> Dict[str, Any]:
    """The video file and its frames' times by ffprobe, for a reader to hold against the data rows."""
    video = out / "videos" / VIDEO / "chunk-000" / "file-000.mp4"
    return {"key": VIDEO, "file": str(video), "times": frame_times(video),
            "data": [str(out / "data/chunk-000/file-000.parquet")],
            "episodes": [str(out / "meta/episodes/chunk-000/file-000.parquet")]}
