"""Reading recordings (MCAP files written by corvane.Recorder, or any MCAP file with JSON or ros1 messages).

    import corvane.recording

    with corvane.recording.open("session.mcap") as recording:
        for message in recording.messages(topics=["/World/camera/rgb"]):
            print(message.topic, message.log_time, message.value.shape)

Each message's value is decoded by its encoding: a dict (or other JSON value) for JSON, a numpy array for
ros1 ``sensor_msgs/Image`` (height x width [x channels]) and ``corvane_msgs/NDArray`` (its own shape and
dtype), viewing the decompressed chunk without a copy; anything else comes as the raw bytes (a memoryview).
Times are nanoseconds since the Unix epoch. A file without a summary (a recording cut short) is read by
scanning: every complete chunk comes back.

Steps (``recorder.step(...)``) come back as they were recorded, in order, with their episode:

    with corvane.recording.open("demo.mcap") as recording:
        steps = recording.steps()
        for step in steps:
            print(step.episode, step.index, step.observation["rgb"].shape, step.action)
        print(steps.episodes)  # each episode's attributes (its "/episode" start and end messages)
"""

from __future__ import annotations

import dataclasses
import json
import struct
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Sequence

from ._corvane import _RecordingReader

__all__ = ["Message", "Recording", "Step", "Steps", "open"]

_IMAGE_ENCODINGS = {
    "rgb8": ("uint8", 3), "bgr8": ("uint8", 3), "rgba8": ("uint8", 4), "bgra8": ("uint8", 4),
    "mono8": ("uint8", 1), "8UC1": ("uint8", 1), "8UC3": ("uint8", 3),
    "mono16": ("<u2", 1), "16UC1": ("<u2", 1), "32FC1": ("<f4", 1),
}


class Message(NamedTuple):
    topic: str
    log_time: int  # ns since the Unix epoch
    value: Any
    publish_time: int = 0


@dataclasses.dataclass(frozen=True)
class Step:
    """One step as recorded by ``recorder.step``."""

    episode: int  # its episode: an index into Steps.episodes
    index: int  # its index in its episode, as recorded (from 0)
    log_time: int  # ns since the Unix epoch, shared by all of the step's messages
    time: Optional[float]  # the simulation time given to step(), in seconds
    observation: Dict[str, Any]  # key -> numpy array (read-only, viewing the file's chunk), in the step's order
    action: Any  # None, a numpy array, or a dict of them as given
    reward: Optional[float]
    done: Optional[bool]


def _arrays(entries: List[Any]) -> Dict[str, Any]:
    import numpy

    return {key: numpy.frombuffer(data, dtype=numpy.dtype(dtype).newbyteorder("<")).reshape(shape)
            for key, dtype, shape, data in entries}


class Steps:
    """The steps of a recording in log-time order (an iterator of Step), read in one pass.

    Episodes are cut by the messages on "/episode" (``{"event": "start", ...}`` opens one, ``{"event": "end",
    ...}`` closes it); a step outside an open episode opens one without attributes. ``episodes`` lists each
    episode's attributes (its start message updated by its end message) as far as the file has been read: an
    episode's entry is complete once a step of a later episode, or the end, has come out. ``incomplete`` counts
    the steps left out because some of their messages are missing (a chunk that failed its check)."""

    def __init__(self, cursor: Any) -> None:
        self._cursor = cursor

    def __iter__(self) -> "Steps":
        return self

    def __next__(self) -> Step:
        episode, index, log_time, sim_time, reward, done, observation, action = next(self._cursor)
        actions = _arrays(action)
        plain = len(action) == 1 and action[0][0] == ""
        return Step(episode, index, log_time, sim_time, _arrays(observation),
                    actions[""] if plain else (actions or None), reward, done)

    @property
    def episodes(self) -> List[Dict[str, Any]]:
        return list(self._cursor.episodes)

    @property
    def incomplete(self) -> int:
        return int(self._cursor.incomplete)


class _Ros1:
    """Reads the fields of a ros1 message in order."""

    def __init__(self, data: memoryview) -> None:
        self.data = data
        self.pos = 0

    def u32(self) -> int:
        (value,) = struct.unpack_from("<I", self.data, self.pos)
        self.pos += 4
        return int(value)

    def u8(self) -> int:
        value = self.data[self.pos]
        self.pos += 1
        return int(value)

    def string(self) -> str:
        n = self.u32()
        text = bytes(self.data[self.pos:self.pos + n]).decode("utf-8", "replace")
        self.pos += n
        return text

    def blob(self) -> memoryview:
        n = self.u32()
        view = self.data[self.pos:self.pos + n]
        self.pos += n
        return view


def _image(data: memoryview) -> Any:
    import numpy

    r = _Ros1(data)
    r.u32(), r.u32(), r.u32(), r.string()  # header: seq, stamp, frame_id
    height, width, encoding, bigendian, step = r.u32(), r.u32(), r.string(), r.u8(), r.u32()
    pixels = r.blob()
    if encoding not in _IMAGE_ENCODINGS:
        return pixels
    dtype_name, channels = _IMAGE_ENCODINGS[encoding]
    dtype = numpy.dtype(dtype_name)
    if bigendian:
        dtype = dtype.newbyteorder(">")
    row = width * channels * dtype.itemsize
    array = numpy.frombuffer(pixels, dtype=numpy.uint8).reshape(height, step)[:, :row]
    array = array.view(dtype) if step == row else array.copy().view(dtype)
    return array.reshape((height, width, channels) if channels > 1 else (height, width))


def _ndarray(data: memoryview) -> Any:
    import numpy

    r = _Ros1(data)
    dtype = numpy.dtype(r.string()).newbyteorder("<")
    shape = tuple(r.u32() for _ in range(r.u32()))
    return numpy.frombuffer(r.blob(), dtype=dtype).reshape(shape)


def _decode(encoding: str, schema: str, data: memoryview) -> Any:
    if encoding == "json":
        return json.loads(bytes(data))
    if encoding == "ros1" and schema == "sensor_msgs/Image":
        return _image(data)
    if encoding == "ros1" and schema == "corvane_msgs/NDArray":
        return _ndarray(data)
    return data


class Recording:
    """An open recording: its channels, statistics and chunks, and its messages in log-time order."""

    def __init__(self, path: Any) -> None:
        self._reader = _RecordingReader(path)

    @property
    def indexed(self) -> bool:
        """True when read through the file's summary; False when it was scanned (no summary)."""
        return bool(self._reader.indexed)

    @property
    def channels(self) -> List[Dict[str, Any]]:
        return list(self._reader.channels)

    @property
    def chunks(self) -> List[Dict[str, Any]]:
        return list(self._reader.chunks)

    @property
    def message_count(self) -> int:
        return int(self._reader.message_count)

    @property
    def start_time(self) -> int:
        return int(self._reader.start_time)

    @property
    def end_time(self) -> int:
        return int(self._reader.end_time)

    @property
    def file_size(self) -> int:
        return int(self._reader.file_size)

    def messages(self, topics: Optional[Sequence[str]] = None, start: Optional[int] = None,
                 end: Optional[int] = None) -> Iterator[Message]:
        """The messages on `topics` (all when None) logged in [start, end) (ns), in log-time order."""
        cursor = self._reader.messages(list(topics) if topics is not None else None, start, end)
        for topic, log_time, publish_time, encoding, schema, data in cursor:
            view = memoryview(data)  # type: ignore[arg-type]  # a buffer, without a __buffer__ before Python 3.12
            yield Message(topic, log_time, _decode(encoding, schema, view), publish_time)

    def steps(self) -> Steps:
        """The recording's steps, in order, with their episodes (see Steps)."""
        return Steps(self._reader.steps())

    def __iter__(self) -> Iterator[Message]:
        return self.messages()

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *args: object) -> None:
        pass


def open(path: Any) -> Recording:  # noqa: A001 (the module's reading entry point, as open() is for files)
    """Opens a recording for reading (RecordingError when it is not one)."""
    return Recording(path)
