"""Reading recordings (MCAP files written by corvane.Recorder, or any MCAP file with JSON or ros1 messages).

    import corvane.recording

    with corvane.recording.open("session.mcap") as recording:
        for message in recording.messages(topics=["/World/camera/rgb"]):
            print(message.topic, message.log_time, message.value.shape)

Each message's value is decoded by its encoding: a dict (or other JSON value) for JSON, a numpy array for
ros1 ``sensor_msgs/Image`` (height x width [x channels]) and ``corvane_msgs/NDArray`` (its own shape and
dtype), viewing the decompressed chunk without a copy; anything else comes as the raw bytes (a memoryview).
Times are nanoseconds since the Unix epoch. A file without a summary (a recording cut short) is read by
scanning: every complete chunk comes back. Files are untrusted input: whatever their bytes, every failure to
read one, a message that does not decode included, is a ``corvane.RecordingError`` naming the file.
"""

from __future__ import annotations

import json
import os
import struct
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Sequence

from ._corvane import _RecordingReader
from ._errors import RecordingError

__all__ = ["Message", "Recording", "open"]

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
        self._path = os.fspath(path)

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

    @property
    def cut_short(self) -> bool:
        """True when the file does not end with its footer: a recording cut short, read up to its last complete
        chunk."""
        return bool(self._reader.cut_short)

    @property
    def torn_bytes(self) -> int:
        """Bytes at the end that hold no complete record (0 for a complete file)."""
        return int(self._reader.torn_bytes)

    def messages(self, topics: Optional[Sequence[str]] = None, start: Optional[int] = None,
                 end: Optional[int] = None) -> Iterator[Message]:
        """The messages on `topics` (all when None) logged in [start, end) (ns), in log-time order. A message
        whose contents do not decode as its encoding says raises RecordingError."""
        cursor = self._reader.messages(list(topics) if topics is not None else None, start, end)
        for topic, log_time, publish_time, encoding, schema, data in cursor:
            view = memoryview(data)  # type: ignore[arg-type]  # a buffer, without a __buffer__ before Python 3.12
            try:
                value = _decode(encoding, schema, view)
            except Exception as error:  # whatever the bytes make the decoders raise
                raise RecordingError(f"recording: {self._path}: the message on {topic} logged at {log_time} does "
                                     f"not decode as {encoding} {schema}: {type(error).__name__}: {error}") from error
            yield Message(topic, log_time, value, publish_time)

    def __iter__(self) -> Iterator[Message]:
        return self.messages()

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *args: object) -> None:
        pass


def open(path: Any) -> Recording:  # noqa: A001 (the module's reading entry point, as open() is for files)
    """Opens a recording for reading (RecordingError when it is not one)."""
    return Recording(path)
