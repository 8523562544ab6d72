"""Reading recordings (MCAP files written by corvane.Recorder, or any MCAP file with JSON or ros1 messages).

    import corvane.recording

    with corvane.recording.open("session.mcap") as recording:
        for message in recording.messages(topics=["/World/camera/rgb"]):
            print(message.topic, message.log_time, message.value.shape)

Each message's value is decoded by its encoding: a dict (or other JSON value) for JSON, a numpy array for
ros1 ``sensor_msgs/Image`` (height x width [x channels]) and ``corvane_msgs/NDArray`` (its own shape and
dtype), viewing the decompressed chunk without a copy; protobuf ``foxglove.CompressedVideo`` (h264, av1) and
``foxglove.CompressedImage`` (jpeg, png) are decoded to numpy rgb8 frames (height x width x 3): video in order,
a time window's first frames decoded from the keyframe before it; anything else comes as the raw bytes (a
memoryview).
Times are nanoseconds since the Unix epoch. A file without a summary (a recording cut short) or written
without chunks is read by scanning: every complete chunk that passes its checks and every message outside
chunks comes back; ``skipped_chunks`` counts the chunks left out. Files are untrusted input: whatever their
bytes, every failure to read one, a message that does not decode included, is a ``corvane.RecordingError``
naming the file.

Steps (``recorder.step(...)``) come back as they were recorded, in order, with their episode:

    with corvane.recording.open("demo.mcap") as recording:
        steps = recording.steps()
        for step in steps:
            print(step.episode, step.index, step.observation["rgb"].shape, step.action)
        print(steps.episodes)  # each episode's attributes (its "/episode" start and end messages)
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import struct
import weakref
from collections.abc import Mapping
from typing import Any, Dict, Generator, Iterator, List, NamedTuple, Optional, Sequence, Tuple

from ._corvane import _decode_image, _is_keyframe, _RecordingReader, _VideoDecoder
from ._errors import RecordingError

__all__ = ["Channel", "Chunk", "IMAGE_SCHEMA", "Message", "Recording", "Schema", "Step", "Steps", "VIDEO_SCHEMA",
           "compressed_payload", "open"]

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


class _Record(Mapping[str, Any]):
    """Item access by field name (``channel["topic"]``), as when these records were dicts: also get(), keys(),
    ``in``, dict(record) and equality with such a dict."""

    def __getitem__(self, key: str) -> Any:
        if key not in self._names():
            raise KeyError(key)
        return getattr(self, key)

    def __iter__(self) -> Iterator[str]:
        return iter(self._names())

    def __len__(self) -> int:
        return len(self._names())

    def _names(self) -> Tuple[str, ...]:
        return tuple(field.name for field in dataclasses.fields(self))


@dataclasses.dataclass(frozen=True, eq=False)
class Schema(_Record):
    """A schema of the recording: what a channel's messages are (by id, as the file numbers them)."""

    id: int
    name: str  # e.g. "sensor_msgs/Image"
    encoding: str  # of `data`: "ros1msg", "protobuf", "jsonschema"...
    data: bytes


@dataclasses.dataclass(frozen=True, eq=False)
class Channel(_Record):
    """A channel of the recording: its topic, message encoding and schema, and its messages' count."""

    id: int
    topic: str
    message_encoding: str  # "json", "ros1", "protobuf"...
    schema: str  # the schema's name ("" without one)
    schema_encoding: str
    schema_data: bytes
    messages: int  # from the statistics (0 in a file without them)
    schema_id: int  # 0: no schema


@dataclasses.dataclass(frozen=True, eq=False)
class Chunk(_Record):
    """A chunk of the recording: its time span (ns since the Unix epoch), place in the file and compression."""

    start: int
    end: int
    offset: int  # of the chunk record, in bytes from the start of the file
    length: int  # of the chunk record
    compression: str  # "zstd", "lz4" or "" (none)
    compressed_size: int
    uncompressed_size: int


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

    def __init__(self, cursor: Any, path: str = "") -> None:
        self._cursor = cursor
        self._path = path
        self._episodes: List[Dict[str, Any]] = []
        self._incomplete = 0

    def __iter__(self) -> "Steps":
        return self

    def __next__(self) -> Step:
        if self._cursor is None:
            raise ValueError(f"recording: {self._path} is closed")
        episode, index, log_time, sim_time, reward, done, observation, action = next(self._cursor)
        actions = _arrays(action)
        plain = len(action) == 1 and action[0][0] == ""
        return Step(episode, index, log_time, sim_time, _arrays(observation),
                    actions[""] if plain else (actions or None), reward, done)

    @property
    def episodes(self) -> List[Dict[str, Any]]:
        return list(self._cursor.episodes) if self._cursor is not None else list(self._episodes)

    def close(self) -> None:
        """Ends the read (its recording's close() does): what `episodes` holds stays."""
        if self._cursor is not None:
            self._episodes = list(self._cursor.episodes)
            self._incomplete = int(self._cursor.incomplete)
            self._cursor = None

    @property
    def incomplete(self) -> int:
        return int(self._cursor.incomplete) if self._cursor is not None else self._incomplete


class _Reading:
    """The messages of a read under way (Recording.messages): ended by the recording's close(), after which
    reading on raises ValueError."""

    def __init__(self, path: str, messages: Generator[Message, None, None]) -> None:
        self._messages: Optional[Generator[Message, None, None]] = messages
        self._path = path

    def __iter__(self) -> "_Reading":
        return self

    def __next__(self) -> Message:
        if self._messages is None:
            raise ValueError(f"recording: {self._path} is closed")
        return next(self._messages)

    def close(self) -> None:
        if self._messages is not None:
            with contextlib.suppress(ValueError):  # running on another thread: its cursor goes when it ends
                self._messages.close()  # the generator's cursor goes, and with it its hold on the file
            self._messages = None


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


VIDEO_SCHEMA = "foxglove.CompressedVideo"
IMAGE_SCHEMA = "foxglove.CompressedImage"
# The numbers of the data and format fields.
_COMPRESSED_FIELDS = {VIDEO_SCHEMA: (3, 4), IMAGE_SCHEMA: (2, 3)}


def _protobuf_fields(data: memoryview) -> Dict[int, memoryview]:
    """The length-delimited fields of a protobuf message by number (the others skipped)."""
    fields: Dict[int, memoryview] = {}
    pos, size = 0, len(data)

    def varint() -> int:
        nonlocal pos
        value = shift = 0
        while pos < size:
            byte = data[pos]
            pos += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                break
        return value

    while pos < size:
        key = varint()
        wire = key & 7
        if wire == 0:
            varint()
        elif wire == 2:
            length = varint()
            fields[key >> 3] = data[pos:pos + length]
            pos += length
        else:
            pos += 8 if wire == 1 else 4
    return fields


def compressed_payload(schema: str, data: memoryview) -> Tuple[str, memoryview]:
    """(format, data) of a foxglove.CompressedVideo or CompressedImage message."""
    fields = _protobuf_fields(data)
    data_field, format_field = _COMPRESSED_FIELDS[schema]
    return bytes(fields.get(format_field, b"")).decode("utf-8", "replace"), fields.get(data_field, memoryview(b""))


class _Videos:
    """The decoders of a read's video channels, one per topic, fed every packet in order."""

    def __init__(self) -> None:
        self._decoders: Dict[str, Tuple[str, Any]] = {}

    def decode(self, topic: str, video_format: str, packet: memoryview) -> Any:
        decoder = self._decoders.get(topic)
        if decoder is None or decoder[0] != video_format:
            decoder = (video_format, _VideoDecoder(video_format))
            self._decoders[topic] = decoder
        pictures = decoder[1].decode(packet)
        return pictures[-1] if pictures else packet  # nothing before a stream's first keyframe


def _decode(encoding: str, schema: str, data: memoryview, topic: str = "", videos: Optional[_Videos] = None) -> Any:
    if encoding == "protobuf" and schema in _COMPRESSED_FIELDS:
        image_format, payload = compressed_payload(schema, data)
        if schema == IMAGE_SCHEMA:
            return _decode_image(payload)
        return (videos or _Videos()).decode(topic, image_format, payload)
    if encoding == "json":
        return json.loads(bytes(data))
    if encoding == "ros1" and schema == "sensor_msgs/Image":
        return _image(data)
    if encoding == "ros1" and schema == "corvane_msgs/NDArray":
        return _ndarray(data)
    return data


class Recording:
    """An open recording: its channels, statistics and chunks, and its messages in log-time order; close() (or
    the end of a with block) releases the file."""

    def __init__(self, path: Any) -> None:
        self._open: Optional[_RecordingReader] = _RecordingReader(path)
        self._path = os.fspath(path)
        self._readers: "weakref.WeakSet[Any]" = weakref.WeakSet()  # the reads under way, each holding the file

    @property
    def _reader(self) -> _RecordingReader:
        if self._open is None:
            raise ValueError(f"recording: {self._path} is closed")
        return self._open

    def close(self) -> None:
        """Closes the file; the reads under way (messages(), steps()) end, and reading again raises ValueError.
        The values read stay valid. Closing again does nothing."""
        for read in list(self._readers):
            read.close()
        self._readers.clear()
        self._open = None  # the last reference: the file closes

    @property
    def indexed(self) -> bool:
        """True when read through the file's summary; False when it was scanned (no summary, or one without
        chunk indexes or statistics)."""
        return bool(self._reader.indexed)

    @property
    def channels(self) -> List[Channel]:
        return [Channel(**channel) for channel in self._reader.channels]

    @property
    def schemas(self) -> List[Schema]:
        return [Schema(**schema) for schema in self._reader.schemas]

    @property
    def chunks(self) -> List[Chunk]:
        return [Chunk(**chunk) for chunk in self._reader.chunks]

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

    @property
    def skipped_chunks(self) -> Dict[str, int]:
        """Chunks a scan left out, by reason: "crc" (records failing their CRC check), "compression" (an
        unsupported compression, or data not decompressing to the size stated), "malformed" (fields or records
        that do not parse). Read through the summary's indexes, such a chunk raises RecordingError instead."""
        return dict(self._reader.skipped_chunks)

    @property
    def skipped_records(self) -> Dict[str, int]:
        """Records passed over: "attachments" (not read), "unknown" (opcodes the format does not define) and
        "messages" left out by a scan because no record defines their channel (it was in a chunk left out)."""
        return dict(self._reader.skipped_records)

    @property
    def metadata_names(self) -> List[str]:
        """The names of the file's metadata records, in file order."""
        return list(self._reader.metadata_names)

    def messages(self, topics: Optional[Sequence[str]] = None, start: Optional[int] = None,
                 end: Optional[int] = None) -> Iterator[Message]:
        """The messages on `topics` (all when None) logged in [start, end) (ns), in log-time order. A message
        whose contents do not decode as its encoding says raises RecordingError."""
        read = _Reading(self._path, self._read(self._reader, topics, start, end))
        self._readers.add(read)
        return read

    def _read(self, reader: _RecordingReader, topics: Optional[Sequence[str]], start: Optional[int],
              end: Optional[int]) -> Generator[Message, None, None]:
        videos = _Videos()
        if start is not None:
            self._lead_in(videos, topics, start)
        cursor = reader.messages(list(topics) if topics is not None else None, start, end)
        for topic, log_time, publish_time, encoding, schema, data in cursor:
            view = memoryview(data)  # type: ignore[arg-type]  # a buffer, without a __buffer__ before Python 3.12
            try:
                value = _decode(encoding, schema, view, topic, videos)
            except Exception as error:  # whatever the bytes make the decoders raise
                raise RecordingError(f"recording: {self._path}: the message on {topic} logged at {log_time} does "
                                     f"not decode as {encoding} {schema}: {type(error).__name__}: {error}") from error
            yield Message(topic, log_time, value, publish_time)

    def _lead_in(self, videos: _Videos, topics: Optional[Sequence[str]], start: int) -> None:
        """Feeds each selected video channel's decoder the packets from its last keyframe before `start`."""
        for channel in self.channels:
            topic = channel["topic"]
            if channel["schema"] != VIDEO_SCHEMA or (topics is not None and topic not in topics):
                continue
            packets = self._packets_from_keyframe(topic, start)
            for video_format, packet in packets:
                videos.decode(topic, video_format, packet)

    def _packets_from_keyframe(self, topic: str, start: int) -> List[Tuple[str, memoryview]]:
        """(format, packet) of `topic` from its last keyframe before `start` up to `start`, looking back over
        ever longer spans."""
        span = 2_000_000_000
        while True:
            low = max(self.start_time, start - span)
            packets = [compressed_payload(VIDEO_SCHEMA, memoryview(data))  # type: ignore[arg-type]
                       for *_, data in self._reader.messages([topic], low, start)]
            keys = [i for i, (video_format, packet) in enumerate(packets)
                    if video_format in ("h264", "av1") and _is_keyframe(packet, video_format)]
            if keys or low <= self.start_time:
                return packets[keys[-1]:] if keys else packets
            span *= 4

    def image_channels(self) -> Dict[str, Dict[str, Any]]:
        """Per camera image channel (raw sensor_msgs/Image, video or compressed images): its codec ("raw",
        "h264", "jpeg"...), the first image's width and height, and the bytes and count of its messages. Reads
        those channels' messages."""
        kinds = {c["topic"]: c["schema"] for c in self.channels
                 if c["schema"] in ("sensor_msgs/Image", VIDEO_SCHEMA, IMAGE_SCHEMA)}
        out: Dict[str, Dict[str, Any]] = {}
        if not kinds:
            return out
        for topic, _, _, _, schema, data in self._reader.messages(list(kinds), None, None):
            view = memoryview(data)  # type: ignore[arg-type]
            entry = out.get(topic)
            if entry is None:
                entry = out[topic] = {"codec": "raw", "width": 0, "height": 0, "bytes": 0, "messages": 0}
                first = _decode("protobuf" if schema in _COMPRESSED_FIELDS else "ros1", schema, view, topic)
                if schema in _COMPRESSED_FIELDS:
                    entry["codec"] = compressed_payload(schema, view)[0]
                if hasattr(first, "shape"):
                    entry["height"], entry["width"] = int(first.shape[0]), int(first.shape[1])
            entry["bytes"] += len(view)
            entry["messages"] += 1
        return out

    def steps(self) -> Steps:
        """The recording's steps, in order, with their episodes (see Steps)."""
        steps = Steps(self._reader.steps(), self._path)
        self._readers.add(steps)
        return steps

    def __iter__(self) -> Iterator[Message]:
        return self.messages()

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *args: object) -> None:
        self.close()


def open(path: Any) -> Recording:  # noqa: A001 (the module's reading entry point, as open() is for files)
    """Opens a recording for reading (RecordingError when it is not one)."""
    return Recording(path)
