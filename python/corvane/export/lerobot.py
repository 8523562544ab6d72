"""LeRobot's dataset layout (v3.0) written from episodes of steps.

    from corvane.export import lerobot

    result = lerobot.export(episodes, "out/dataset", fps=30, task="pick the cube")

``episodes`` is an iterable whose items have ``steps`` (an iterable of steps) and optionally ``task``, or are
themselves iterables of steps. A step has ``index``, ``time`` (seconds, or None), ``observation`` (a dict from
key to array or number), ``action`` (an array, a list, a dict of them, or None), ``reward`` and ``done``, as
attributes or as keys. The first episode fixes the features: ``uint8`` H x W x 3 observations become the video
feature ``observation.images.<key>``, other numbers and vectors ``observation.state`` (the key ``state``) or
``observation.<key>``; an episode whose keys or shapes differ is left out and reported.

What is written (under ``out``, which must not exist yet; built in ``out.part`` and renamed when whole):
``meta/info.json``, ``data/chunk-CCC/file-FFF.parquet`` (one row per step, a new file once one passes the size
bound, episodes never split), ``meta/episodes/chunk-000/file-000.parquet``, ``meta/tasks.parquet``,
``meta/stats.json`` and, through a video writer, ``videos/<key>/chunk-CCC/file-FFF.mp4`` (episodes one after
another; frame ``i`` of a file shows at ``i / fps`` exactly).

``timestamp`` is ``frame_index / fps``; fps is the argument, else the first episode's median step interval
rounded to a whole number (a step's ``time``, else its ``log_time`` in ns, as a recording's steps carry it);
episodes whose step intervals stray from ``1 / fps`` by more than half a frame are reported. Memory holds one
episode. Statistics: min, max, mean, std (pooled exactly over episodes) and the quantiles q01 to q99; image
statistics are per channel in [0, 1], from a histogram of every frame on a grid about 160 pixels across
(quantiles exact for that sample); other quantiles are the count-weighted mean of each episode's quantiles, as
LeRobot aggregates them.

Videos are written by :func:`mp4` unless ``video`` names another opener (None: images left out):
``yuv420p``, AV1 through libsvtav1 (preset ``AV1_PRESET``) or H.264 through libx264, a keyframe every
``KEYFRAME_INTERVAL`` frames at constant quality ``CRF``, as LeRobot encodes its own; AV1 needs frames of at
least 64 x 64 pixels, both codecs an even width and height.
"""

from __future__ import annotations

import itertools
import json
import os
import shutil
from typing import Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Protocol, Tuple

import numpy

from .parquet import Array, Column, ParquetWriter

__all__ = ["Episode", "ExportResult", "VideoFormat", "VideoWriter", "episodes_of", "export", "mp4"]

CODEBASE_VERSION = "v3.0"
DATA_PATH = "data/chunk-{chunk_index:03d}/file-{file_index:03d}.parquet"
VIDEO_PATH = "videos/{video_key}/chunk-{chunk_index:03d}/file-{file_index:03d}.mp4"
EPISODES_PATH = "meta/episodes/chunk-{chunk_index:03d}/file-{file_index:03d}.parquet"
QUANTILES = {"q01": 0.01, "q10": 0.10, "q50": 0.50, "q90": 0.90, "q99": 0.99}
_MB = 1024 * 1024
KEYFRAME_INTERVAL = 2
CRF = 30
AV1_PRESET = "12"  # SVT-AV1's fastest presets keep up with 30 fps of 640x480 on two cores
H264_PRESET = "veryfast"


class Episode(NamedTuple):
    steps: Iterable[Any]
    task: Optional[str] = None
    label: Optional[str] = None  # names the episode in warnings (default: "episode <its number>")


class VideoFormat(NamedTuple):
    width: int
    height: int
    fps: int
    codec: str  # "av1" or "h264"
    pix_fmt: str = "yuv420p"


class VideoWriter(Protocol):
    """Writes one MP4 file: frame ``index`` (counted from the file's first) shows at ``index / fps`` seconds."""

    @property
    def size(self) -> int:  # bytes written so far
        ...

    def write(self, frame: Array, index: int) -> None:  # H x W x 3 uint8, RGB
        ...

    def close(self) -> None:
        ...


VideoOpener = Callable[[str, VideoFormat], VideoWriter]


def mp4(path: str, fmt: VideoFormat) -> VideoWriter:
    """The MP4 writer of corvane's extension (src/media: libavcodec and libavformat), encoding without the GIL.
    ValueError when the codec cannot take frames of this size."""
    from .._corvane import _Mp4File

    low = 64 if fmt.codec == "av1" else 2
    if fmt.width % 2 or fmt.height % 2 or fmt.width < low or fmt.height < low:
        raise ValueError(f"{fmt.codec} video needs an even width and height of at least {low} pixels, not "
                         f"{fmt.width} x {fmt.height}" + (" (h264 takes smaller frames)" if low > 2 else ""))
    preset = AV1_PRESET if fmt.codec == "av1" else H264_PRESET
    writer: VideoWriter = _Mp4File(path, fmt.width, fmt.height, fmt.fps, fmt.codec, CRF, preset, KEYFRAME_INTERVAL)
    return writer


class ExportResult(NamedTuple):
    episodes: int
    frames: int
    fps: int
    warnings: List[str]  # episodes left out, irregular steps, observations not exported


def episodes_of(steps: Iterable[Any], label: Optional[str] = None) -> Iterator[Episode]:
    """Episodes from one stream of steps that name their episode (``step.episode``), as a recording's
    ``steps()`` gives them, one episode in memory at a time; each episode's task comes from its attributes in
    ``steps.episodes`` (complete once a step of the next episode has been read), when the stream has them.
    With `label` (the recording's name), warnings name an episode "<label>, episode <n>"."""
    for number, group in itertools.groupby(steps, key=_episode_number):
        episode = list(group)
        attributes = list(getattr(steps, "episodes", None) or [])
        known = attributes[number] if isinstance(number, int) and 0 <= number < len(attributes) else {}
        yield Episode(episode, _get(known, "task"), None if label is None else f"{label}, episode {number}")


def _episode_number(step: Any) -> Any:
    return _get(step, "episode")


def _get(item: Any, name: str, default: Any = None) -> Any:
    if isinstance(item, dict):
        return item.get(name, default)
    return getattr(item, name, default)


def _time(step: Any) -> Optional[float]:
    """The step's time in seconds: the simulation time given, else the time it was logged, else None."""
    time = _get(step, "time")
    if time is None and _get(step, "log_time") is not None:
        return float(_get(step, "log_time")) * 1e-9
    return None if time is None else float(time)


def _action(value: Any) -> Tuple[Optional[Array], List[str]]:
    """The action as one float vector and its element names (a dict's arrays one after another)."""
    if value is None:
        return None, []
    if isinstance(value, dict):
        parts = [numpy.asarray(v, dtype=numpy.float64).reshape(-1) for v in value.values()]
        names = [k if len(p) == 1 else f"{k}_{i}" for k, p in zip(value, parts) for i in range(len(p))]
        return (numpy.concatenate(parts) if parts else numpy.zeros(0)), names
    vector = numpy.asarray(value, dtype=numpy.float64).reshape(-1)
    return vector, [f"action_{i}" for i in range(len(vector))]


def _is_image(array: Array) -> bool:
    return array.dtype == numpy.uint8 and array.ndim == 3 and array.shape[2] == 3


class _Layout(NamedTuple):
    """The features the first episode fixed."""
    images: Dict[str, Tuple[int, ...]]  # observation key -> (H, W, 3)
    vectors: Dict[str, int]  # observation key -> length
    action: List[str]  # element names; empty: no action
    reward: bool
    left_out: Dict[str, Tuple[int, ...]]  # observation key -> shape (neither image nor vector)

    @staticmethod
    def of(step: Any) -> "_Layout":
        images, vectors, left_out = {}, {}, {}
        for key, value in (_get(step, "observation") or {}).items():
            array = numpy.asarray(value)
            if _is_image(array):
                images[key] = array.shape
            elif array.ndim <= 1 and array.dtype.kind in "biuf":
                vectors[key] = array.size
            else:
                left_out[key] = array.shape
        return _Layout(images, vectors, _action(_get(step, "action"))[1], _get(step, "reward") is not None, left_out)

    def mismatch(self, step: Any) -> Optional[str]:
        """Why the step does not fit the layout, or None."""
        observation = _get(step, "observation") or {}
        keys = set(self.images) | set(self.vectors) | set(self.left_out)
        if set(observation) != keys:
            return f"observation keys {sorted(observation)} instead of {sorted(keys)}"
        for key, shape in self.images.items():
            if numpy.shape(observation[key]) != shape:
                return f"{key} of shape {numpy.shape(observation[key])} instead of {shape}"
        for key, size in self.vectors.items():
            if numpy.size(observation[key]) != size:
                return f"{key} of {numpy.size(observation[key])} values instead of {size}"
        action, _ = _action(_get(step, "action"))
        if (action is None and self.action) or (action is not None and len(action) != len(self.action)):
            return f"an action of {0 if action is None else len(action)} values instead of {len(self.action)}"
        return None

    def vector_features(self) -> Dict[str, Tuple[str, int]]:
        """Feature name -> (observation key, length)."""
        return {("observation.state" if key == "state" else f"observation.{key}"): (key, size)
                for key, size in self.vectors.items()}


# --- statistics -----------------------------------------------------------------------------------------------

class _Moments:
    """min, max, mean, std pooled over episodes (Chan's combination), quantiles as count-weighted means."""

    def __init__(self) -> None:
        self.count = 0
        self.low: Any = None
        self.high: Any = None
        self.mean: Any = 0.0
        self.m2: Any = 0.0
        self.quantiles: Dict[str, Any] = {}

    def add(self, values: Array) -> None:  # (N, d)
        n = len(values)
        if n == 0:
            return
        values = values.astype(numpy.float64)
        mean = values.mean(axis=0)
        m2 = ((values - mean) ** 2).sum(axis=0)
        total = self.count + n
        delta = mean - self.mean
        self.m2 = self.m2 + m2 + delta ** 2 * self.count * n / total
        self.mean = self.mean + delta * n / total
        self.low = values.min(axis=0) if self.low is None else numpy.minimum(self.low, values.min(axis=0))
        self.high = values.max(axis=0) if self.high is None else numpy.maximum(self.high, values.max(axis=0))
        for name, q in QUANTILES.items():
            self.quantiles[name] = self.quantiles.get(name, 0.0) + numpy.quantile(values, q, axis=0) * n
        self.count = total

    def result(self) -> Dict[str, Any]:
        out = {"min": self.low, "max": self.high, "mean": self.mean,
               "std": numpy.sqrt(self.m2 / self.count), "count": [self.count]}
        out.update({name: total / self.count for name, total in self.quantiles.items()})
        return {k: (v if isinstance(v, list) else numpy.asarray(v).tolist()) for k, v in out.items()}


class _Histogram:
    """Per-channel statistics of uint8 images in [0, 1], from a histogram of every frame's pixels on a grid
    about 160 pixels across (as LeRobot subsamples images for statistics): exact quantiles of that sample."""

    ACROSS = 160

    def __init__(self) -> None:
        self.counts = numpy.zeros((3, 256), dtype=numpy.int64)
        self.frames = 0

    def add(self, frame: Array) -> None:
        stride = max(1, frame.shape[1] // self.ACROSS)
        sample = frame[::stride, ::stride].reshape(-1, 3)
        for channel in range(3):
            self.counts[channel] += numpy.bincount(sample[:, channel], minlength=256)
        self.frames += 1

    def result(self) -> Dict[str, Any]:
        levels = numpy.arange(256) / 255.0
        total = self.counts.sum(axis=1)
        mean = (self.counts * levels).sum(axis=1) / total
        std = numpy.sqrt((self.counts * (levels[None, :] - mean[:, None]) ** 2).sum(axis=1) / total)
        cumulative = numpy.cumsum(self.counts, axis=1)
        present = self.counts > 0
        out: Dict[str, Any] = {
            "min": levels[present.argmax(axis=1)], "max": levels[255 - present[:, ::-1].argmax(axis=1)],
            "mean": mean, "std": std}
        for name, q in QUANTILES.items():  # the least level with at least the share q at or below it
            out[name] = levels[(cumulative < q * total[:, None]).sum(axis=1)]
        stats = {k: numpy.asarray(v).reshape(3, 1, 1).tolist() for k, v in out.items()}
        stats["count"] = [self.frames]
        return stats


# --- the export -----------------------------------------------------------------------------------------------

def _next_file(chunk: int, file: int, chunks_size: int) -> Tuple[int, int]:
    return (chunk + 1, 0) if file + 1 >= chunks_size else (chunk, file + 1)


class _Video:
    """One video key's current file."""

    def __init__(self, key: str) -> None:
        self.key = key
        self.chunk = self.file = 0
        self.frames = 0  # in the current file
        self.writer: Optional[VideoWriter] = None


class _Exporter:
    def __init__(self, root: str, fps: Optional[int], task: Optional[str], robot_type: str,
                 video: Optional[VideoOpener], codec: str, compression: str, data_files_size_mb: float,
                 video_files_size_mb: float, chunks_size: int) -> None:
        self.root, self.fps, self.task, self.robot_type = root, fps, task, robot_type
        self.video, self.codec, self.compression = video, codec, compression
        self.data_bound, self.video_bound = data_files_size_mb * _MB, video_files_size_mb * _MB
        self.data_files_size_mb, self.video_files_size_mb = data_files_size_mb, video_files_size_mb
        self.chunks_size = chunks_size
        self.layout: Optional[_Layout] = None
        self.warnings: List[str] = []
        self.tasks: Dict[str, int] = {}
        self.episodes: List[Dict[str, Any]] = []
        self.frames = 0
        self.data: Optional[ParquetWriter] = None
        self.data_at = (0, 0)
        self.videos: Dict[str, _Video] = {}
        self.stats: Dict[str, Any] = {}

    def path(self, template: str, **fields: Any) -> str:
        path = os.path.join(self.root, template.format(**fields))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return path

    # episodes in
    def add(self, number: int, episode: Any) -> None:
        steps = list(_get(episode, "steps") if hasattr(episode, "steps") or isinstance(episode, dict) else episode)
        name = (None if isinstance(episode, list) else _get(episode, "label")) or f"episode {number}"
        if not steps:
            self.warnings.append(f"{name}: no steps, left out")
            return
        if self.layout is None:
            self.layout = self.start(steps)
        reason = next((r for r in map(self.layout.mismatch, steps) if r is not None), None)
        if reason is not None:
            self.warnings.append(f"{name}: {reason}, left out")
            return
        self.check_intervals(name, steps)
        task = _get(episode, "task") or _get(_get(episode, "attributes") or {}, "task") or self.task or ""
        self.write_episode(name, steps, self.tasks.setdefault(task, len(self.tasks)), task)

    def start(self, steps: List[Any]) -> _Layout:
        layout = _Layout.of(steps[0])
        for key, shape in layout.left_out.items():
            self.warnings.append(f"observation {key} of shape {shape} is not exported (neither an RGB image "
                                 "nor a vector)")
        if layout.images and self.video is None:
            self.warnings.append(f"images {', '.join(sorted(layout.images))} are not exported: no video writer")
            layout = layout._replace(images={}, left_out={**layout.left_out, **layout.images})
        if not layout.action:
            self.warnings.append("the steps carry no action: the dataset has no action feature")
        if self.fps is None:
            self.fps = self.fps_of(steps)
        return layout

    def fps_of(self, steps: List[Any]) -> int:
        times = [_time(s) for s in steps]
        if len(steps) < 2 or any(t is None for t in times):
            raise ValueError("the frame rate is needed (fps): the first episode's steps carry no times")
        interval = float(numpy.median(numpy.diff(numpy.asarray(times, dtype=numpy.float64))))
        if not interval > 0:
            raise ValueError("the frame rate is needed (fps): the first episode's steps share one time")
        fps = max(1, round(1.0 / interval))
        if abs(1.0 / interval - fps) > 0.05 * fps:
            self.warnings.append(f"the median step interval {interval:.4f} s is {1.0 / interval:.2f} steps/s, "
                                 f"taken as {fps} fps")
        return fps

    def check_intervals(self, name: str, steps: List[Any]) -> None:
        times = [_time(s) for s in steps]
        if len(times) < 2 or any(t is None for t in times):
            return
        assert self.fps is not None
        intervals = numpy.diff(numpy.asarray(times, dtype=numpy.float64))
        off = numpy.abs(intervals * self.fps - 1.0) > 0.5
        if off.any():
            self.warnings.append(
                f"{name}: {int(off.sum())} of {len(intervals)} step intervals stray from 1/{self.fps} s "
                f"by more than half a frame (from {intervals.min():.4f} to {intervals.max():.4f} s)")

    # one episode out
    def write_episode(self, name: str, steps: List[Any], task_index: int, task: str) -> None:
        assert self.layout is not None and self.fps is not None
        n = len(steps)
        index = len(self.episodes)
        row: Dict[str, Any] = {"episode_index": index, "tasks": [task], "length": n,
                               "dataset_from_index": self.frames, "dataset_to_index": self.frames + n}
        columns = self.columns_of(steps, index, task_index)
        self.write_data(columns, row)
        for key in self.layout.images:
            self.write_video(key, [numpy.asarray(_get(s, "observation")[key]) for s in steps], row)
        for feature, values in columns.items():
            if feature in ("next.done",):
                continue
            block = numpy.asarray(values, dtype=numpy.float64).reshape(n, -1)
            if not numpy.isfinite(block).all():  # written as they are, but the statistics turn NaN
                self.warnings.append(f"{name}: {feature} holds values that are not finite")
            self.stats.setdefault(feature, _Moments()).add(block)
        self.episodes.append(row)
        self.frames += n

    def columns_of(self, steps: List[Any], episode: int, task_index: int) -> Dict[str, Any]:
        assert self.layout is not None and self.fps is not None
        n = len(steps)
        frame_index = numpy.arange(n, dtype=numpy.int64)
        columns: Dict[str, Any] = {}
        for name, (key, _) in self.layout.vector_features().items():
            columns[name] = numpy.stack([numpy.asarray(_get(s, "observation")[key], dtype=numpy.float32).reshape(-1)
                                         for s in steps])
        if self.layout.action:
            actions: List[Any] = [_action(_get(s, "action"))[0] for s in steps]
            columns["action"] = numpy.stack(actions).astype(numpy.float32)
        columns["timestamp"] = (frame_index / self.fps).astype(numpy.float32)
        columns["frame_index"] = frame_index
        columns["episode_index"] = numpy.full(n, episode, dtype=numpy.int64)
        columns["index"] = frame_index + self.frames
        columns["task_index"] = numpy.full(n, task_index, dtype=numpy.int64)
        if self.layout.reward:
            columns["next.reward"] = numpy.array([_get(s, "reward") or 0.0 for s in steps], dtype=numpy.float32)
        done = numpy.array([bool(_get(s, "done")) for s in steps], dtype=bool)
        done[-1] = done[-1] or all(_get(s, "done") is None for s in steps)  # the last step ends the episode
        columns["next.done"] = done
        # A vector of one value is a plain column, as LeRobot reads features of shape [1].
        return {k: (v[:, 0] if v.ndim == 2 and v.shape[1] == 1 else v) for k, v in columns.items()}

    def write_data(self, columns: Dict[str, Any], row: Dict[str, Any]) -> None:
        if self.data is not None and self.data.size >= self.data_bound:
            self.data.close()
            self.data = None
            self.data_at = _next_file(*self.data_at, self.chunks_size)
        if self.data is None:
            chunk, file = self.data_at
            schema = [Column(name, _kind(values), is_list=values.ndim == 2) for name, values in columns.items()]
            self.data = ParquetWriter(self.path(DATA_PATH, chunk_index=chunk, file_index=file), schema,
                                      compression=self.compression)
        self.data.write(columns)
        row["data/chunk_index"], row["data/file_index"] = self.data_at

    def write_video(self, key: str, frames: List[Array], row: Dict[str, Any]) -> None:
        assert self.video is not None and self.fps is not None
        feature = f"observation.images.{key}"
        video = self.videos.setdefault(key, _Video(feature))
        if video.writer is not None and video.writer.size >= self.video_bound:
            video.writer.close()
            video.writer, video.frames = None, 0
            video.chunk, video.file = _next_file(video.chunk, video.file, self.chunks_size)
        if video.writer is None:
            height, width, _ = frames[0].shape
            video.writer = self.video(self.path(VIDEO_PATH, video_key=feature, chunk_index=video.chunk,
                                                file_index=video.file),
                                      VideoFormat(width, height, self.fps, self.codec))
        row[f"videos/{feature}/chunk_index"], row[f"videos/{feature}/file_index"] = video.chunk, video.file
        row[f"videos/{feature}/from_timestamp"] = video.frames / self.fps
        histogram = self.stats.setdefault(feature, _Histogram())
        for frame in frames:
            video.writer.write(frame, video.frames)
            histogram.add(frame)
            video.frames += 1
        row[f"videos/{feature}/to_timestamp"] = video.frames / self.fps

    # the rest, once every episode is in
    def finish(self) -> None:
        if self.data is not None:
            self.data.close()
        for video in self.videos.values():
            if video.writer is not None:
                video.writer.close()
        self.write_episodes()
        self.write_tasks()
        with open(self.path("meta/stats.json"), "w", encoding="utf-8") as file:
            json.dump({name: s.result() for name, s in self.stats.items()}, file, indent=2)
        with open(self.path("meta/info.json"), "w", encoding="utf-8") as file:
            json.dump(self.info(), file, indent=2)

    def write_episodes(self) -> None:
        for row in self.episodes:
            row["meta/episodes/chunk_index"], row["meta/episodes/file_index"] = 0, 0
        names = list(self.episodes[0]) if self.episodes else ["episode_index", "tasks", "length"]
        schema = [Column(name, "string", is_list=True) if name == "tasks" else
                  Column(name, "float64" if name.endswith("_timestamp") else "int64") for name in names]
        table = {name: [row[name] for row in self.episodes] for name in names}
        with ParquetWriter(self.path(EPISODES_PATH, chunk_index=0, file_index=0), schema,
                           compression=self.compression) as writer:
            writer.write(table)

    def write_tasks(self) -> None:
        """The task strings and their index; pandas' metadata makes the string the frame's index (LeRobot looks
        a task up by ``tasks.iloc[i].name``)."""
        pandas = {"index_columns": ["task"], "column_indexes": [],
                  "columns": [{"name": "task_index", "field_name": "task_index", "pandas_type": "int64",
                               "numpy_type": "int64", "metadata": None},
                              {"name": "task", "field_name": "task", "pandas_type": "unicode",
                               "numpy_type": "object", "metadata": None}],
                  "creator": {"library": "corvane"}, "pandas_version": "1.5.3"}
        schema = [Column("task_index", "int64"), Column("task", "string")]
        with ParquetWriter(self.path("meta/tasks.parquet"), schema, compression=self.compression,
                           metadata={"pandas": json.dumps(pandas)}) as writer:
            writer.write({"task_index": list(self.tasks.values()), "task": list(self.tasks)})

    def info(self) -> Dict[str, Any]:
        assert self.layout is not None
        features: Dict[str, Any] = {}
        for key, (height, width, channels) in self.layout.images.items():
            features[f"observation.images.{key}"] = {
                "dtype": "video", "shape": [height, width, channels], "names": ["height", "width", "channels"],
                "info": {"video.fps": self.fps, "video.height": height, "video.width": width,
                         "video.channels": channels, "video.codec": self.codec, "video.pix_fmt": "yuv420p",
                         "video.is_depth_map": False, "has_audio": False}}
        for name, (key, size) in self.layout.vector_features().items():
            features[name] = {"dtype": "float32", "shape": [size],
                              "names": [key] if size == 1 else [f"{key}_{i}" for i in range(size)]}
        if self.layout.action:
            features["action"] = {"dtype": "float32", "shape": [len(self.layout.action)], "names": self.layout.action}
        features["timestamp"] = {"dtype": "float32", "shape": [1], "names": ["timestamp"]}
        for name in ("frame_index", "episode_index", "index", "task_index"):
            features[name] = {"dtype": "int64", "shape": [1], "names": [name]}
        if self.layout.reward:
            features["next.reward"] = {"dtype": "float32", "shape": [1], "names": ["reward"]}
        features["next.done"] = {"dtype": "bool", "shape": [1], "names": ["done"]}
        return {"codebase_version": CODEBASE_VERSION, "robot_type": self.robot_type,
                "total_episodes": len(self.episodes), "total_frames": self.frames, "total_tasks": len(self.tasks),
                "chunks_size": self.chunks_size, "data_files_size_in_mb": self.data_files_size_mb,
                "video_files_size_in_mb": self.video_files_size_mb, "fps": self.fps,
                "splits": {"train": f"0:{len(self.episodes)}"}, "data_path": DATA_PATH,
                "video_path": VIDEO_PATH if self.layout.images else None, "features": features}


def _kind(values: Array) -> str:
    return {"f": "float32", "i": "int64", "b": "bool"}[values.dtype.kind]


def export(episodes: Iterable[Any], out: Any, *, fps: Optional[int] = None, task: Optional[str] = None,
           robot_type: str = "corvane", video: Optional[VideoOpener] = mp4, codec: str = "av1",
           compression: str = "snappy", data_files_size_mb: float = 100, video_files_size_mb: float = 200,
           chunks_size: int = 1000) -> ExportResult:
    """Writes the dataset to the folder `out` (see the module's description); what was left out or looked
    irregular comes back in the result's warnings. ``video`` opens an MP4 writer (default :func:`mp4`; None
    leaves image observations out, reported); ``codec`` is "av1" or "h264"."""
    out = os.fspath(out)
    if os.path.exists(out):
        raise FileExistsError(f"{out} exists already")
    if fps is not None and (fps <= 0 or int(fps) != fps):
        raise ValueError(f"fps must be a positive whole number, not {fps}")
    if codec not in ("av1", "h264"):
        raise ValueError(f"the video codec is av1 or h264, not {codec}")
    temporary = f"{out}.part"
    shutil.rmtree(temporary, ignore_errors=True)
    exporter = _Exporter(temporary, int(fps) if fps is not None else None, task, robot_type, video, codec,
                         compression, data_files_size_mb, video_files_size_mb, chunks_size)
    try:
        for number, episode in enumerate(episodes):
            exporter.add(number, episode)
        if not exporter.episodes:
            raise ValueError("no episode to export" + "".join(f"; {w}" for w in exporter.warnings))
        exporter.finish()
    except BaseException:
        shutil.rmtree(temporary, ignore_errors=True)
        raise
    os.replace(temporary, out)
    assert exporter.fps is not None
    return ExportResult(len(exporter.episodes), exporter.frames, exporter.fps, exporter.warnings)
