"""corvane.export: the Parquet writer's refusals and the LeRobot layout written from steps (the files themselves
are read back by independent readers in scripts/parquet-check)."""

from __future__ import annotations

import json
import pathlib
import weakref
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy
import pytest

from corvane.export import lerobot
from corvane.export.parquet import Array, Column, ParquetWriter, encode_levels, write_table


def _decode_levels(data: bytes, count: int, bit_width: int) -> List[int]:
    """The RLE/bit-packed hybrid read back, as the format describes it."""
    out: List[int] = []
    pos = 0
    while len(out) < count:
        header = shift = 0
        while True:
            byte = data[pos]
            pos += 1
            header |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                break
        if header & 1:
            groups = header >> 1
            bits = numpy.unpackbits(numpy.frombuffer(data[pos:pos + groups * bit_width], numpy.uint8),
                                    bitorder="little").reshape(-1, bit_width)
            out += (bits * (1 << numpy.arange(bit_width))).sum(axis=1).tolist()
            pos += groups * bit_width
        else:
            width = (bit_width + 7) // 8
            out += [int.from_bytes(data[pos:pos + width], "little")] * (header >> 1)
            pos += width
    assert pos == len(data)
    return out[:count]


def test_levels_round_trip_through_rle_and_bit_packed_runs() -> None:
    rng = numpy.random.default_rng(1)
    for bit_width, top in ((1, 1), (2, 2)):
        # runs of every length, long ones at every alignment against the groups of 8
        runs = [(rng.integers(0, top + 1), rng.choice([1, 3, 8, 15, 16, 17, 40, 200])) for _ in range(300)]
        levels = numpy.concatenate([numpy.full(n, v, dtype=numpy.uint8) for v, n in runs])
        encoded = encode_levels(levels, bit_width)
        assert _decode_levels(encoded, len(levels), bit_width) == levels.tolist()
        assert len(encoded) < len(levels) * bit_width / 8  # the long runs did go as RLE runs
    assert _decode_levels(encode_levels(numpy.ones(1000, numpy.uint8), 1), 1000, 1) == [1] * 1000


def test_the_writer_refuses_what_it_cannot_write_faithfully(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "t.parquet"
    with pytest.raises(ValueError, match="not nullable"):
        write_table(path, [Column("x", "int64")], {"x": [1, None]})
    with pytest.raises(ValueError, match="not nullable"):
        write_table(path, [Column("v", "float32", is_list=True)], {"v": [[1.0], None]})
    with pytest.raises(OverflowError):
        write_table(path, [Column("x", "int32")], {"x": numpy.array([2**31])})
    with pytest.raises(ValueError, match="different lengths"):
        write_table(path, [Column("a", "int64"), Column("b", "int64")], {"a": [1, 2], "b": [1]})
    with pytest.raises(ValueError, match="compression"):
        ParquetWriter(path, [Column("a", "int64")], compression="lzo")
    write_table(path, [Column("a", "int64")], {"a": []})  # no rows: a valid file without row groups
    data = path.read_bytes()
    assert data[:4] == data[-4:] == b"PAR1"


class _Episode(NamedTuple):
    steps: List[Any]
    task: Optional[str] = None


class _Step:
    def __init__(self, index: int, time: Optional[float], observation: Dict[str, Any], action: Any,
                 reward: Optional[float] = None, done: Optional[bool] = None) -> None:
        self.index, self.time, self.observation = index, time, observation
        self.action, self.reward, self.done = action, reward, done


class _Videos:
    """Stands in for the MP4 writer: keeps what it is handed, per file; its size grows 1000 bytes a frame."""

    def __init__(self) -> None:
        self.files: Dict[str, List[Tuple[int, Array]]] = {}
        self.formats: Dict[str, lerobot.VideoFormat] = {}
        self.closed: List[str] = []

    def __call__(self, path: str, fmt: lerobot.VideoFormat) -> "_Videos.Writer":
        self.files[path] = []
        self.formats[path] = fmt
        return _Videos.Writer(self, path)

    class Writer:
        def __init__(self, owner: "_Videos", path: str) -> None:
            self.owner, self.path = owner, path

        @property
        def size(self) -> int:
            return 1000 * len(self.owner.files[self.path])

        def write(self, frame: Array, index: int) -> None:
            self.owner.files[self.path].append((index, frame.copy()))

        def close(self) -> None:
            self.owner.closed.append(self.path)


def _episode(rng: numpy.random.Generator, n: int, fps: float, t0: float = 50.0,
             task: Optional[str] = None) -> _Episode:
    steps = [_Step(i, t0 + i / fps, {"rgb": rng.integers(0, 256, (6, 8, 3), dtype=numpy.uint8),
                                     "state": rng.standard_normal(7), "grip": float(i)},
                   {"arm": rng.standard_normal(6), "gripper": [0.5]}, reward=float(i == n - 1))
             for i in range(n)]
    return _Episode(steps, task)


def test_a_dataset_of_steps_has_the_layout_statistics_and_videos(tmp_path: pathlib.Path) -> None:
    rng = numpy.random.default_rng(5)
    episodes = [_episode(rng, 20 + e, 30.0, task=["reach", None][e % 2]) for e in range(5)]
    videos = _Videos()
    out = tmp_path / "dataset"
    result = lerobot.export(episodes, out, task="default task", video=videos, video_files_size_mb=0)
    assert result == lerobot.ExportResult(5, 110, 30, [])
    info = json.loads((out / "meta/info.json").read_text())
    assert (info["codebase_version"], info["fps"], info["total_episodes"], info["total_frames"],
            info["total_tasks"], info["splits"]) == ("v3.0", 30, 5, 110, 2, {"train": "0:5"})
    features = info["features"]
    assert features["observation.images.rgb"]["shape"] == [6, 8, 3]
    assert features["observation.images.rgb"]["info"]["video.codec"] == "av1"
    assert features["action"]["names"] == [f"arm_{i}" for i in range(6)] + ["gripper"]
    assert features["observation.grip"]["shape"] == [1]
    assert all(isinstance(f["names"], list) and f["names"] for f in features.values())

    stats = json.loads((out / "meta/stats.json").read_text())
    keys = {"min", "max", "mean", "std", "count", "q01", "q10", "q50", "q90", "q99"}
    assert set(stats) == set(features) - {"next.done"}
    assert all(set(s) == keys for s in stats.values())
    states = numpy.concatenate([[s.observation["state"] for s in e.steps] for e in episodes])
    states = states.astype(numpy.float32).astype(float)  # as stored, averaged in double
    numpy.testing.assert_allclose(stats["observation.state"]["mean"], states.mean(axis=0), rtol=1e-6)
    numpy.testing.assert_allclose(stats["observation.state"]["std"], states.std(axis=0), rtol=1e-6)
    assert stats["observation.state"]["max"] == states.max(axis=0).tolist()
    pixels = numpy.concatenate([[s.observation["rgb"] for s in e.steps] for e in episodes]).reshape(-1, 3) / 255.0
    image = stats["observation.images.rgb"]
    numpy.testing.assert_allclose(numpy.reshape(image["mean"], 3), pixels.mean(axis=0), rtol=1e-9)
    numpy.testing.assert_allclose(numpy.reshape(image["q50"], 3),
                                  numpy.quantile(pixels, 0.5, axis=0, method="inverted_cdf"))
    assert numpy.shape(image["min"]) == (3, 1, 1) and image["count"] == [110]

    # One file per episode (a zero size bound), each episode's frames from index 0, as stepped.
    files = sorted(videos.files)
    assert len(files) == 5 and sorted(videos.closed) == files
    assert files[1].endswith("videos/observation.images.rgb/chunk-000/file-001.mp4")
    for path, episode in zip(files, episodes):
        assert [i for i, _ in videos.files[path]] == list(range(len(episode.steps)))
        assert all((frame == step.observation["rgb"]).all() for (_, frame), step in
                   zip(videos.files[path], episode.steps))
        assert videos.formats[path] == lerobot.VideoFormat(8, 6, 30, "av1")
    assert (out / "meta/tasks.parquet").is_file() and (out / "data/chunk-000/file-000.parquet").is_file()


def test_what_does_not_fit_is_reported_and_left_out(tmp_path: pathlib.Path) -> None:
    rng = numpy.random.default_rng(6)
    fine = _episode(rng, 10, 15.0)
    jittery = _episode(rng, 10, 15.0)
    jittery.steps[4].time += 0.04  # more than half a frame late, then early
    other_keys = _episode(rng, 10, 15.0)
    del other_keys.steps[3].observation["grip"]
    depth = [_Step(i, i / 15, {"state": [1.0, 2.0], "depth": numpy.zeros((4, 4))}, [0.0]) for i in range(10)]
    depth[2].observation["state"] = [1.0, numpy.nan]
    result = lerobot.export([fine, [], jittery, other_keys], tmp_path / "a", video=None)  # fps from step times
    assert (result.episodes, result.frames, result.fps) == (2, 20, 15)
    text = "\n".join(result.warnings)
    assert "images rgb are not exported: no video writer" in text
    assert "episode 1: no steps" in text
    assert "episode 2: 2 of 9 step intervals stray" in text
    assert "episode 3: observation keys" in text
    result = lerobot.export([depth], tmp_path / "b", fps=15)
    assert "observation depth of shape (4, 4) is not exported" in result.warnings[0]
    assert result.warnings[1] == "episode 0: observation.state holds values that are not finite"
    assert json.loads((tmp_path / "b/meta/info.json").read_text())["features"]["action"]["shape"] == [1]

    # A recording's steps come as one stream naming their episode, the tasks in the stream's episode list.
    class Stream:
        def __init__(self, steps: List[Any]) -> None:
            self.steps, self.episodes = steps, [{"task": "pick"}, {}]

        def __iter__(self) -> Any:
            return iter(self.steps)

    for step in fine.steps:
        step.episode = 0
    for step in jittery.steps:
        step.episode = 1
    [first, second] = lerobot.episodes_of(Stream(fine.steps + jittery.steps))
    assert (first.task, second.task, first.steps, second.steps) == ("pick", None, fine.steps, jittery.steps)

    # Memory holds one episode: an episode's arrays are let go once the next one has been written.
    held: List[Any] = []

    def stream() -> Any:
        for e in range(4):
            assert e < 2 or held[e - 2]() is None
            episode = _episode(rng, 5, 15.0)
            held.append(weakref.ref(episode.steps[0].observation["state"]))
            yield episode

    assert lerobot.export(stream(), tmp_path / "d", video=None).episodes == 4

    with pytest.raises(FileExistsError):
        lerobot.export([fine], tmp_path / "a")
    untimed = [_Step(i, None, {"state": [1.0]}, [0.0]) for i in range(3)]
    with pytest.raises(ValueError, match="frame rate is needed"):
        lerobot.export([untimed], tmp_path / "c")
    assert not (tmp_path / "c").exists() and not (tmp_path / "c.part").exists()


def test_the_mp4_writer_refuses_bad_frames_and_lets_go_unflushed(tmp_path: pathlib.Path) -> None:
    writer = lerobot.mp4(str(tmp_path / "a.mp4"), lerobot.VideoFormat(64, 64, 30, "av1"))
    writer.write(numpy.zeros((64, 64, 3), numpy.uint8), 0)
    with pytest.raises(ValueError, match=r"uint8 array of shape \(64, 64, 3\)"):
        writer.write(numpy.zeros((64, 64, 3), numpy.float32), 1)
    with pytest.raises(ValueError, match="increase"):
        writer.write(numpy.zeros((64, 64, 3), numpy.uint8), 0)
    del writer  # an AV1 encoder never flushed (an export failing midway): its teardown waited forever
    with pytest.raises(ValueError, match="at least 64 pixels"):
        lerobot.mp4(str(tmp_path / "b.mp4"), lerobot.VideoFormat(16, 12, 30, "av1"))
