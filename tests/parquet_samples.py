"""Writes Parquet samples with corvane.export.parquet, a LeRobot dataset exported from steps, and one collected
over two simulated bridges and exported by `corvane export --lerobot`, for the independent readers of
tests/parquet_check.mjs; next to them, expected.json: for each table, its files (read one after another), row
count, each column's reader type and values, and the statistics its chunks must carry; and videos.json: the
collected dataset's video with its frames' times by ffprobe, which its rows must match.

    PYTHONPATH=build/python /usr/bin/python3 tests/parquet_samples.py FOLDER

Expected values come from the inputs, not from the writer: int64 as decimal strings, non-finite floats as
"NaN"/"Infinity"/"-Infinity".
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import pathlib
import sys
from typing import Any, Dict, List, Optional, Tuple

import numpy

from corvane.export import lerobot
from corvane.export.parquet import Column, ParquetWriter

READER_TYPES = {"bool": "BOOLEAN", "int32": "INTEGER", "int64": "BIGINT", "float32": "FLOAT",
                "float64": "DOUBLE", "string": "VARCHAR"}


def _json(kind: str, value: Any) -> Any:
    if value is None:
        return None
    if kind == "int64":
        return str(int(value))
    if kind in ("float32", "float64"):
        value = float(numpy.float32(value)) if kind == "float32" else float(value)
        return value if math.isfinite(value) else ("NaN" if math.isnan(value) else
                                                    ("Infinity" if value > 0 else "-Infinity"))
    if kind == "string":
        return value.decode() if isinstance(value, bytes) else str(value)
    return bool(value) if kind == "bool" else int(value)


def _expected_column(column: Column, rows: List[Any]) -> Dict[str, Any]:
    """The column's values and statistics, from the rows given."""
    leaves: List[Any] = []
    nulls = 0
    values = []
    for row in rows:
        if row is None:
            nulls += 1
            values.append(None)
        elif column.is_list:
            items = list(row)
            nulls += 0 if items else 1  # an empty list is an undefined entry at the element's level
            leaves += items
            values.append([_json(column.kind, v) for v in items])
        else:
            leaves.append(row)
            values.append(_json(column.kind, row))
    finite = [v for v in leaves if not (column.kind.startswith("float") and math.isnan(float(v)))]
    kind_type = READER_TYPES[column.kind]
    return {"name": column.name, "type": f"{kind_type}[]" if column.is_list else kind_type, "values": values,
            "nulls": nulls, "min": _json(column.kind, min(finite)) if finite else None,
            "max": _json(column.kind, max(finite)) if finite else None}


def _rows(values: Any) -> List[Any]:
    return [list(v) if isinstance(v, numpy.ndarray) and v.ndim else v for v in
            (values.tolist() if isinstance(values, numpy.ndarray) else values)]


def kinds_table(n: int) -> Dict[str, Any]:
    """Every kind, required and nullable, scalar and list, with the values that catch encoding faults."""
    rng = numpy.random.default_rng(7)
    return {
        "int64": numpy.array([2**62, -(2**62), 0, -1] + list(range(n - 4)), dtype=numpy.int64),
        "int32": rng.integers(-2**31, 2**31 - 1, n, dtype=numpy.int64).astype(numpy.int32),
        "float32": numpy.concatenate(([numpy.inf, -numpy.inf, -0.0, numpy.nan],
                                      rng.standard_normal(n - 4))).astype(numpy.float32),
        "float64": rng.standard_normal(n) * 1e300,
        "bool": rng.random(n) < 0.3,
        "string": [f"step {i} ✓ ünïcode" if i % 7 else "" for i in range(n)],
        # a long run of nulls between short ones: RLE runs amid bit-packed ones in the definition levels
        "nullable_int64": [None if i % 3 == 0 or 60 <= i < 117 else i * 1000 for i in range(n)],
        "nullable_string": [None if i % 4 == 1 else f"task {i % 5}" for i in range(n)],
        "vector": rng.standard_normal((n, 7)).astype(numpy.float32),
        "ragged": [numpy.arange(i % 5, dtype=numpy.float64) * 0.5 for i in range(n)],
        "nullable_list": [None if i % 6 == 2 else list(range(i % 4)) for i in range(n)],
        "words": [["pick", "place"][: i % 3] for i in range(n)],
    }


KINDS_COLUMNS = [
    Column("int64", "int64"), Column("int32", "int32"), Column("float32", "float32"), Column("float64", "float64"),
    Column("bool", "bool"), Column("string", "string"), Column("nullable_int64", "int64", nullable=True),
    Column("nullable_string", "string", nullable=True), Column("vector", "float32", is_list=True),
    Column("ragged", "float64", is_list=True), Column("nullable_list", "int64", is_list=True, nullable=True),
    Column("words", "string", is_list=True),
]


def write_kinds(folder: str, name: str, n: int, batches: int, **options: Any) -> Dict[str, Any]:
    table = kinds_table(n)
    path = os.path.join(folder, f"{name}.parquet")
    with ParquetWriter(path, KINDS_COLUMNS, **options) as writer:
        bounds = numpy.linspace(0, n, batches + 1).astype(int)
        for low, high in zip(bounds[:-1], bounds[1:]):
            writer.write({k: v[low:high] for k, v in table.items()})
    return {"name": name, "files": [path], "rows": n,
            "columns": [_expected_column(c, _rows(table[c.name])) for c in KINDS_COLUMNS]}


class _Step:
    def __init__(self, index: int, time: float, observation: Dict[str, Any], action: Any,
                 reward: Optional[float], done: Optional[bool]) -> None:
        self.index, self.time, self.observation = index, time, observation
        self.action, self.reward, self.done = action, reward, done


def steps_episodes(episodes: int, length: int, fps: int) -> List[lerobot.Episode]:
    rng = numpy.random.default_rng(3)
    out = []
    for e in range(episodes):
        steps = [_Step(i, 100.0 + i / fps, {"state": rng.standard_normal(7), "gripper": float(rng.random()),
                                            "rgb": numpy.full((2, 2, 3), i, dtype=numpy.uint8)},
                       rng.standard_normal(4), float(i == length - 1), None) for i in range(length + e)]
        out.append(lerobot.Episode(steps, task=["reach", "push"][e % 2]))
    return out


class _FrameCounter:
    """Takes the video frames without writing them (the MP4s are not read here); 1000 bytes a frame."""

    def __init__(self, path: str, fmt: lerobot.VideoFormat) -> None:
        self.size = 0

    def write(self, frame: numpy.ndarray, index: int) -> None:
        self.size += 1000

    def close(self) -> None:
        pass


VIDEO_BOUND_MB = 0.1  # about 105 frames of _FrameCounter's


def _expected_episodes(episodes: List[lerobot.Episode], data_files: int) -> Dict[str, List[Any]]:
    """The episodes table: data files hold one episode each (a zero bound), a video file the episodes that
    start while it holds less than its bound."""
    rows: Dict[str, List[Any]] = {k: [] for k in ("episode_index", "tasks", "length", "dataset_from_index",
                                                  "dataset_to_index", "data/chunk_index", "data/file_index")}
    key = "videos/observation.images.rgb"
    rows.update({f"{key}/{k}": [] for k in ("chunk_index", "file_index", "from_timestamp", "to_timestamp")})
    rows.update({"meta/episodes/chunk_index": [], "meta/episodes/file_index": []})
    first = video_file = in_file = 0
    for e, episode in enumerate(episodes):
        n = len(list(episode.steps))
        if in_file and in_file * 1000 >= VIDEO_BOUND_MB * 1024 * 1024:
            video_file, in_file = video_file + 1, 0
        for k, v in (("episode_index", e), ("tasks", [episode.task]), ("length", n), ("dataset_from_index", first),
                     ("dataset_to_index", first + n), ("data/chunk_index", 0), ("data/file_index", e),
                     (f"{key}/chunk_index", 0), (f"{key}/file_index", video_file),
                     (f"{key}/from_timestamp", in_file / 30), (f"{key}/to_timestamp", (in_file + n) / 30),
                     ("meta/episodes/chunk_index", 0), ("meta/episodes/file_index", 0)):
            rows[k].append(v)
        first, in_file = first + n, in_file + n
    assert data_files == len(episodes)
    return rows


def write_lerobot(folder: str) -> List[Dict[str, Any]]:
    """A dataset whose data and video files split (tiny size bounds); the rows expected from the steps."""
    root = os.path.join(folder, "lerobot")
    episodes = steps_episodes(6, 40, 30)
    lerobot.export(episodes, root, fps=30, data_files_size_mb=0, video=_FrameCounter,
                   video_files_size_mb=VIDEO_BOUND_MB)
    data = sorted(os.path.join(dirpath, f) for dirpath, _, files in os.walk(os.path.join(root, "data"))
                  for f in files)
    rows: Dict[str, List[Any]] = {k: [] for k in ("observation.state", "observation.gripper", "action", "timestamp",
                                                  "frame_index", "episode_index", "index", "task_index",
                                                  "next.reward", "next.done")}
    for e, episode in enumerate(episodes):
        for i, step in enumerate(episode.steps):
            rows["observation.state"].append(list(step.observation["state"]))
            rows["observation.gripper"].append(step.observation["gripper"])
            rows["action"].append(list(step.action))
            rows["timestamp"].append(i / 30)
            rows["frame_index"].append(i)
            rows["episode_index"].append(e)
            rows["index"].append(len(rows["index"]))
            rows["task_index"].append(e % 2)
            rows["next.reward"].append(step.reward)
            rows["next.done"].append(i == len(episode.steps) - 1)
    kinds = {"observation.state": ("float32", True), "action": ("float32", True), "next.done": ("bool", False),
             "observation.gripper": ("float32", False), "timestamp": ("float32", False),
             "next.reward": ("float32", False)}
    columns = [Column(name, *kinds.get(name, ("int64", False))) for name in rows]
    tasks = [Column("task_index", "int64"), Column("task", "string")]
    meta = _expected_episodes(episodes, len(data))
    meta_columns = [Column(k, "string", is_list=True) if k == "tasks" else
                    Column(k, "float64" if k.endswith("timestamp") else "int64") for k in meta]
    return [{"name": "lerobot data", "files": data, "rows": len(rows["index"]),
             "columns": [_expected_column(c, rows[c.name]) for c in columns]},
            {"name": "lerobot episodes", "files": [os.path.join(root, "meta/episodes/chunk-000/file-000.parquet")],
             "rows": len(episodes), "columns": [_expected_column(c, meta[c.name]) for c in meta_columns]},
            {"name": "lerobot tasks", "files": [os.path.join(root, "meta/tasks.parquet")], "rows": 2,
             "columns": [_expected_column(tasks[0], [0, 1]), _expected_column(tasks[1], ["reach", "push"])]}]


def write_collected(folder: str) -> Tuple[List[Dict[str, Any]], Dict[str, Any]]:
    """Episodes collected over two simulated bridges, exported through the command (H.264 videos)."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python", "tests"))
    import lerobot_collection as collected

    import corvane.fleet
    from corvane.testing import SimulatedBridge

    collection, out = pathlib.Path(folder, "collection"), pathlib.Path(folder, "collected")
    with contextlib.ExitStack() as stack:
        urls = [stack.enter_context(SimulatedBridge()) for _ in range(2)]
        dataset = corvane.fleet.collect(collected.demonstration, urls, episodes=4, out=collection, progress=False)
    assert dataset["recorded"] == 4, dataset
    collected.export(collection, out, "--video-codec", "h264")
    episodes = collected.steps_of(collection)
    collected.check(out, episodes, "h264")
    tables = []
    for table in collected.tables(out, episodes):
        columns = [_expected_column(Column(name, kind, is_list=is_list), rows) for name, kind, is_list, rows in
                   table["columns"]]
        tables.append({"name": table["name"], "files": [str(f) for f in table["files"]],
                       "rows": len(table["columns"][0][3]), "columns": columns})
    video, _, times = collected.probe(out)
    return tables, {"key": collected.VIDEO, "file": video, "times": times,
                    "data": [str(out / "data/chunk-000/file-000.parquet")],
                    "episodes": [str(out / "meta/episodes/chunk-000/file-000.parquet")]}


def main(folder: str) -> None:
    os.makedirs(folder, exist_ok=True)
    tables = [write_kinds(folder, name, 200, 1, compression=name) for name in ("none", "snappy", "zstd")]
    # Many pages in several row groups: every batch its own page, a row group every ~10 KB.
    tables.append(write_kinds(folder, "row_groups", 1000, 25, compression="zstd", row_group_bytes=10000))
    tables.extend(write_lerobot(folder))
    collected, video = write_collected(folder)
    tables.extend(collected)
    with open(os.path.join(folder, "expected.json"), "w", encoding="utf-8") as file:
        json.dump(tables, file)
    with open(os.path.join(folder, "videos.json"), "w", encoding="utf-8") as file:
        json.dump([video], file)
    print(f"parquet-samples: {len(tables)} tables in {folder}")


if __name__ == "__main__":
    main(sys.argv[1])
