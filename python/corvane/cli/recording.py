"""The recording commands: ``corvane record``, ``corvane info`` and ``corvane export``.

Episodes: ``corvane export`` cuts a recording into episodes by the messages on the topic ``/episode``, which a
program writes with ``recorder.write("/episode", {...})``: ``{"event": "start", "task": "..."}`` opens an episode,
``{"event": "end", "success": true}`` closes it (a start while one is open closes the open one; an episode still
open at the end of the file ends there). Without any, the whole recording is one episode.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

import corvane
import corvane.recording

from .common import Failure, UsageError, make_client, positive_float, sigterm_as_interrupt, temporary_path

EPISODE_TOPIC = "/episode"

__all__ = ["EPISODE_TOPIC", "register"]


def register(subparsers: Any, common_parent: argparse.ArgumentParser) -> None:
    record = subparsers.add_parser(
        "record", parents=[common_parent], help="record cameras and streams to MCAP", epilog=RECORD_EPILOG,
        description="Polls the cameras at the rate and follows the streams, recording every exchange to an MCAP "
        "file until the duration ends or Ctrl-C.")
    record.add_argument("-o", "--output", required=True, help="the MCAP file to write")
    record.add_argument("--duration", type=positive_float, metavar="SECONDS",
                        help="seconds to record (default: until Ctrl-C)")
    record.add_argument("--camera", action="append", default=[], metavar="PRIM", help="a camera to capture")
    record.add_argument("--rate", type=positive_float, default=10.0, metavar="HZ",
                        help="captures per second per camera (default 10)")
    record.add_argument("--stream", action="append", default=[], metavar="PRIM",
                        help="an articulation whose joint-position stream to follow")
    record.add_argument("--compression", choices=["zstd", "lz4", "none"], default="zstd",
                        help="of the chunks (default zstd)")
    record.add_argument("--video", choices=["h264", "jpeg", "png", "none"], default="none",
                        help="colour camera outputs as H.264 video, JPEG or PNG images, or raw (the default); "
                        "depth stays lossless")
    record.set_defaults(handler=run_record)

    info = subparsers.add_parser("info", help="summarise an MCAP recording",
                                 description="Prints a recording's messages, time span, compression and channels.")
    info.add_argument("file", help="the MCAP file")
    info.set_defaults(handler=run_info)

    export = subparsers.add_parser("export", help="export a recording to another format",
                                   description="Writes a recording's episodes (cut by its /episode messages) as a "
                                   "robomimic-style HDF5 file: one demo per episode.")
    export.add_argument("file", help="a recording, or a folder that corvane collect wrote (its successful "
                        "episodes, in index order)")
    export.add_argument("--hdf5", required=True, metavar="OUT.h5", help="robomimic-style HDF5 file to write")
    export.set_defaults(handler=run_export)


RECORD_EPILOG = """The file is written under a temporary name and renamed once complete: a failed start leaves
nothing. Ctrl-C (or SIGTERM) is the normal end of a recording: the file is completed and the exit status is 0."""


# --- record -------------------------------------------------------------------------------------------------

def run_record(args: argparse.Namespace) -> int:
    if not args.camera and not args.stream:
        raise UsageError("nothing to record: give --camera PRIM or --stream PRIM (each repeatable)")
    with sigterm_as_interrupt(), temporary_path(args.output) as temporary:
        with corvane.Recorder(temporary, compression=args.compression, video=args.video) as recorder:
            client = make_client(args).with_options(recorder=recorder)
            streams = [client.open_joint_position_stream(prim) for prim in args.stream]
            try:
                _record_loop(args, recorder, client, streams)
            except KeyboardInterrupt:
                pass
            finally:
                for stream in streams:
                    stream.close()
        stats = recorder.stats()  # once closed: every message the file holds
    end = "\n" if sys.stderr.isatty() else ""  # after the progress line
    print(f"{end}corvane record: {args.output}: {stats['messages']} messages, {stats['bytes'] / 1e6:.1f} MB",
          file=sys.stderr)
    return 0


def _record_loop(args: argparse.Namespace, recorder: corvane.Recorder, client: corvane.Client,
                 streams: List[Any]) -> None:
    period = 1.0 / args.rate
    start = time.monotonic()
    next_capture = start
    last_report = 0.0
    progress = sys.stderr.isatty()  # a line redrawn in place: not for a log file
    while True:
        now = time.monotonic()
        if args.duration is not None and now - start >= args.duration:
            break
        if args.camera and now >= next_capture:
            client.camera.capture_all(args.camera)
            next_capture = max(next_capture + period, now)
        for stream in streams:
            while stream.receive() is not None:  # every message is recorded on its way in
                pass
        if progress and now - last_report >= 0.5:
            stats = recorder.stats()
            print(f"\r{now - start:7.1f} s  {stats['messages']} messages  {stats['bytes'] / 1e6:.1f} MB",
                  end="", file=sys.stderr, flush=True)
            last_report = now
        time.sleep(max(0.0, min(0.005, next_capture - time.monotonic())) if args.camera else 0.005)


# --- info ---------------------------------------------------------------------------------------------------

def _span(recording: corvane.recording.Recording) -> float:
    return max(0, recording.end_time - recording.start_time) / 1e9


def _seconds(nanoseconds: int) -> str:
    """Integer nanoseconds as exact seconds with nine decimals (a float would be off by some 100 ns)."""
    whole, fraction = divmod(nanoseconds, 10**9)
    return f"{whole}.{fraction:09d}"


def _open(path: str) -> corvane.recording.Recording:
    """The recording at `path`; a Failure (exit status 1) naming it when it is not one."""
    try:
        return corvane.recording.open(path)
    except corvane.RecordingError as error:  # names the file and what is wrong already
        raise Failure(str(error)) from None
    except (corvane.Error, OSError, ValueError) as error:
        raise Failure(f"{path}: not a readable recording: {error}") from None


def run_info(args: argparse.Namespace) -> int:
    recording = _open(args.file)
    span = _span(recording)
    compressions: Dict[str, List[int]] = {}
    for chunk in recording.chunks:
        entry = compressions.setdefault(chunk["compression"] or "none", [0, 0, 0])
        entry[0] += 1
        entry[1] += chunk["compressed_size"]
        entry[2] += chunk["uncompressed_size"]
    print(f"file:        {args.file} ({recording.file_size} bytes{'' if recording.indexed else ', no summary: scanned'})")
    if recording.cut_short:
        print(f"cut short:   {len(recording.chunks)} complete chunks recovered, {recording.torn_bytes} bytes after "
              "the last complete record")
    print(f"messages:    {recording.message_count}")
    wall = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(recording.start_time // 10**9))
    print(f"start:       {_seconds(recording.start_time)} ({wall} UTC)")
    print(f"end:         {_seconds(recording.end_time)}")
    print(f"duration:    {span:.3f} s")
    for name, (count, compressed, uncompressed) in sorted(compressions.items()):
        ratio = uncompressed / compressed if compressed else 0.0
        print(f"compression: {name}: [{count} chunks] [{uncompressed} -> {compressed} bytes, {ratio:.2f}x]")
    print("channels:")
    rows = sorted(recording.channels, key=lambda c: str(c["topic"]))
    width = max((len(c["topic"]) for c in rows), default=0)
    for c in rows:
        rate = f"{c['messages'] / span:8.2f} Hz" if span > 0 else "        - Hz"
        schema = f"{c['schema']} [{c['schema_encoding']}]" if c["schema"] else "(no schema)"
        print(f"  ({c['id']}) {c['topic']:<{width}}  {c['messages']:6} msgs ({rate})  : {schema} [{c['message_encoding']}]")
    images = recording.image_channels()
    if images:
        print("images:")
        for topic in sorted(images):
            image = images[topic]
            bitrate = f"{image['bytes'] * 8 / span / 1e6:9.3f} Mbit/s" if span > 0 else "        - Mbit/s"
            print(f"  {topic:<{width}}  {image['codec']:<5} {image['width']:>5} x {image['height']:<5} {bitrate}  "
                  f"({image['bytes']} bytes)")
    return 0


# --- export -------------------------------------------------------------------------------------------------

def _episodes(recording: corvane.recording.Recording) -> List[Tuple[int, int, Dict[str, Any]]]:
    """(start, end, attributes) of each episode; end is exclusive."""
    episodes: List[Tuple[int, int, Dict[str, Any]]] = []
    open_at: Optional[int] = None
    attributes: Dict[str, Any] = {}
    for message in recording.messages([EPISODE_TOPIC]):
        event = message.value.get("event") if isinstance(message.value, dict) else None
        if event == "start":
            if open_at is not None:
                episodes.append((open_at, message.log_time, attributes))
            open_at, attributes = message.log_time, dict(message.value)
        elif event == "end" and open_at is not None:
            attributes.update(message.value)
            episodes.append((open_at, message.log_time + 1, attributes))
            open_at = None
    if open_at is not None:
        episodes.append((open_at, recording.end_time + 1, attributes))
    if not episodes:
        episodes.append((recording.start_time, recording.end_time + 1, {}))
    return episodes


def _key(topic: str) -> str:
    return topic.strip("/").replace("/", "_")


def _command(value: Any) -> Optional[List[float]]:
    """The joint positions a message commands, if it is a joint command."""
    if not isinstance(value, dict):
        return None
    request = value.get("request") if "method" in value else value
    if isinstance(request, dict) and isinstance(request.get("joint_positions"), list):
        return [float(x) for x in request["joint_positions"]]
    return None


def _clock(recording: corvane.recording.Recording, start: int, end: int) -> Optional[str]:
    """The topic whose messages close a round of captures: the last camera's capture record of the first round
    (a capture record follows its frame's outputs)."""
    captures = [c["topic"] for c in recording.channels
                if c["topic"].endswith("/capture") and not c["topic"].startswith("/rest/")]
    order: List[str] = []
    for message in recording.messages(captures, start, end):
        if message.topic in order:
            break
        order.append(message.topic)
    return order[-1] if order else None


def _episode_data(recording: corvane.recording.Recording, start: int, end: int) -> Dict[str, Any]:
    """One sample per round of captures (every camera's outputs, the latest joint state) and its action: the
    joint command that followed it."""
    import numpy

    image_topics = sorted(c["topic"] for c in recording.channels
                          if c["schema"] in ("sensor_msgs/Image", "corvane_msgs/NDArray",
                                             corvane.recording.VIDEO_SCHEMA, corvane.recording.IMAGE_SCHEMA))
    state_topics = sorted(c["topic"] for c in recording.channels
                          if c["message_encoding"] == "json" and c["topic"].endswith("stream_joint_positions"))
    clock = _clock(recording, start, end) or (state_topics[0] if state_topics else None)
    latest: Dict[str, Any] = {}
    samples: List[Dict[str, Any]] = []
    actions: List[Optional[List[float]]] = []
    for message in recording.messages(start=start, end=end):
        command = _command(message.value) if (message.topic.endswith("/sent") or message.topic.startswith("/rest/")) \
            else None
        if command is not None:
            if actions:
                actions[-1] = command  # the command that followed the last observation
            continue
        if message.topic in image_topics:
            latest[message.topic] = message.value
        elif message.topic in state_topics and isinstance(message.value, dict):
            latest[message.topic] = numpy.asarray(message.value.get("joint_positions", []), dtype=numpy.float64)
        if message.topic == clock and all(t in latest for t in image_topics + state_topics):
            samples.append({_key(t): numpy.array(v) for t, v in latest.items()})
            actions.append(None)
    return {"samples": samples, "actions": actions}


def _export_sources(path: str) -> List[Tuple[str, Optional[int]]]:
    """The recordings to export and their episode index: the file itself, or for a collection folder (one
    written by ``corvane collect``) the shard of each successful episode in index order."""
    if not os.path.isdir(path):
        return [(path, None)]
    listing = os.path.join(path, "dataset.json")
    try:
        with open(listing, encoding="utf-8") as file:
            dataset = json.load(file)
    except OSError as error:
        raise UsageError(f"{path} is a folder without a readable dataset.json: {error.strerror or error}") from None
    episodes = sorted((e for e in dataset.get("episodes", []) if e.get("shard") and e.get("success") is not False),
                      key=lambda e: int(e["index"]))
    return [(os.path.join(path, e["shard"]), int(e["index"])) for e in episodes]


def _write_demo(data: Any, name: str, episode: Dict[str, Any], attributes: Dict[str, Any]) -> int:
    """Writes one episode as data/<name>; its sample count (0: nothing written)."""
    import numpy

    samples = episode["samples"]
    if not samples:
        return 0
    demo = data.create_group(name)
    for key in samples[0]:
        if all(key in s and s[key].shape == samples[0][key].shape for s in samples):
            demo.create_dataset(f"obs/{key}", data=numpy.stack([s[key] for s in samples]),
                                compression="gzip" if samples[0][key].size > 1024 else None)
    actions = _filled(episode["actions"])
    demo.create_dataset("actions", data=numpy.asarray(actions, dtype=numpy.float64).reshape(len(samples), -1))
    dones = numpy.zeros(len(samples), dtype=numpy.int64)
    dones[-1] = 1
    demo.create_dataset("dones", data=dones)
    rewards = numpy.zeros(len(samples), dtype=numpy.float64)
    rewards[-1] = 1.0 if attributes.get("success") else 0.0
    demo.create_dataset("rewards", data=rewards)
    demo.attrs["num_samples"] = len(samples)
    demo.attrs["episode"] = json.dumps(attributes)
    return len(samples)


def run_export(args: argparse.Namespace) -> int:
    try:
        import h5py
    except ImportError as error:  # pragma: no cover - depends on the machine
        raise SystemExit(f"corvane export: {error.name} is needed (Debian: python3-h5py)")
    sources = _export_sources(args.file)
    # Written under a temporary name and renamed once complete: an interrupted export leaves nothing.
    with temporary_path(args.hdf5) as temporary:
        try:
            out = h5py.File(temporary, "w")
        except OSError as error:
            raise Failure(f"cannot write {args.hdf5}: {error}") from None
        with out:
            total, demos = _export_into(out, sources, str(args.file))
    print(f"corvane export: {args.hdf5}: {demos} demos, {total} samples", file=sys.stderr)
    return 0


def _export_into(out: Any, sources: List[Tuple[str, Optional[int]]], label: str) -> Tuple[int, int]:
    """Writes robomimic's layout into the open HDF5 file `out`; (samples, demos) written."""
    total = demos = 0
    data = out.create_group("data")
    for path, shard_index in sources:
        if shard_index is None:
            recording = _open(path)
        else:
            try:
                recording = corvane.recording.open(path)
            except (OSError, corvane.Error) as error:  # a collection's missing or unreadable shard
                print(f"corvane export: skipping episode {shard_index}: {path}: {error}", file=sys.stderr)
                continue
        for index, (start, end, attributes) in enumerate(_episodes(recording)):
            # A collection's demos are named after their episode's index, a file's after its order.
            name = f"demo_{shard_index if shard_index is not None else index}"
            if name in data:
                name = f"demo_{shard_index}_{index}"
            samples = _write_demo(data, name, _episode_data(recording, start, end), attributes)
            total += samples
            demos += 1 if samples else 0
    data.attrs["total"] = total
    data.attrs["env_args"] = json.dumps({"env_name": "corvane", "type": 0,
                                         "env_kwargs": {"recording": label}})
    return total, demos


def _filled(actions: Sequence[Optional[List[float]]]) -> List[List[float]]:
    """Each sample's action: its command, else the one before (holding still), else the first one given."""
    width = max((len(a) for a in actions if a is not None), default=0)
    first = next((a for a in actions if a is not None and len(a) == width), [0.0] * width)
    out: List[List[float]] = []
    for action in actions:
        out.append(action if action is not None and len(action) == width else (out[-1] if out else first))
    return out
