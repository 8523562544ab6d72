"""The recording commands: ``corvane record``, ``corvane info`` and ``corvane export``.

``corvane export`` is the command-line face of corvane.export.hdf5 and corvane.export.lerobot, which describe
the layouts they write.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import sys
import time
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Tuple

import corvane
import corvane.recording
from corvane._constants import EPISODE_TOPIC
from corvane.export import hdf5

from .common import (Failure, UsageError, add_transform_argument, make_client, positive_float, set_transforms,
                     sigterm_as_interrupt, temporary_path)

if TYPE_CHECKING:
    from corvane.export import lerobot  # imported when run: it needs numpy, which the parser alone does not

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
    record.add_argument("--video", choices=["h264", "av1", "jpeg", "png", "none"], default="none",
                        help="colour camera outputs as H.264 or AV1 video, JPEG or PNG images, or raw (the default); "
                        "depth stays lossless")
    add_transform_argument(record)
    record.set_defaults(handler=run_record)

    info = subparsers.add_parser("info", help="summarise an MCAP recording",
                                 description="Prints a recording's messages, time span, compression and channels.")
    info.add_argument("file", help="the MCAP file")
    info.set_defaults(handler=run_info)

    export = subparsers.add_parser("export", help="export a recording to another format",
                                   description="Writes a recording's episodes (cut by its /episode messages) as a "
                                   "robomimic-style HDF5 file (one demo per episode) or, from its steps, as a "
                                   "LeRobot dataset (v3.0: Parquet, MP4 video, statistics).")
    export.add_argument("file", help="a recording, or a folder that corvane collect wrote (its successful "
                        "episodes, in index order)")
    out = export.add_mutually_exclusive_group(required=True)
    out.add_argument("--hdf5", metavar="OUT.h5", help="robomimic-style HDF5 file to write")
    out.add_argument("--lerobot", metavar="OUT", help="LeRobot dataset folder to write (must not exist)")
    hdf5_options = export.add_argument_group("with --hdf5")
    hdf5_options.add_argument("--valid-fraction", type=float, default=0.1, metavar="F",
                              help="the share of demos in mask/valid, chosen at random with --seed (default: 0.1)")
    hdf5_options.add_argument("--seed", type=int, default=0, help="the seed of the train/valid split (default: 0)")
    hdf5_options.add_argument("--strict", action="store_true",
                              help="refuse to export when an episode's observation keys or shapes differ from the "
                              "first's (default: leave it out and say so)")
    hdf5_options.add_argument("--env-name", default=None,
                              help="env_args' env_name (default: the episodes' own, or corvane)")
    hdf5_options.add_argument("--env-type", type=int, default=None,
                              help="env_args' type (default: the episodes' own, or 0)")
    hdf5_options.add_argument("--env-kwargs", default=None, metavar="JSON", help="env_args' env_kwargs, a JSON object")
    lerobot_options = export.add_argument_group("with --lerobot")
    lerobot_options.add_argument("--fps", type=positive_int, metavar="N",
                                 help="frames per second (default: the first episode's median step interval)")
    lerobot_options.add_argument("--task", metavar="TEXT",
                                 help="the task of episodes whose /episode messages name none (default: empty)")
    lerobot_options.add_argument("--video-codec", choices=["av1", "h264"], default=None,
                                 help="of the camera videos (default av1)")
    export.set_defaults(handler=run_export)


RECORD_EPILOG = """The file is written under a temporary name and renamed once complete: a failed start leaves
nothing. Ctrl-C (or SIGTERM) is the normal end of a recording: the file is completed and the exit status is 0."""


# --- record -------------------------------------------------------------------------------------------------

def run_record(args: argparse.Namespace) -> int:
    if not args.camera and not args.stream:
        raise UsageError("nothing to record: give --camera PRIM or --stream PRIM (each repeatable)")
    with sigterm_as_interrupt(), temporary_path(args.output) as temporary:
        with corvane.Recorder(temporary, compression=args.compression, video=args.video) as recorder:
            set_transforms(recorder, args)
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


_SKIPPED_CHUNKS = {"crc": "failing the CRC check", "compression": "not decompressing", "malformed": "malformed"}


def _count(n: int, noun: str, plural: str = "") -> str:
    return f"{n} {noun if n == 1 else plural or noun + 's'}"


def _print_skipped(recording: corvane.recording.Recording) -> None:
    """What reading the file passed over: chunks left out by reason, attachments, unknown records, messages
    without a channel; and the metadata records' names."""
    chunks = recording.skipped_chunks
    if any(chunks.values()):
        reasons = ", ".join(f"{n} {_SKIPPED_CHUNKS[reason]}" for reason, n in chunks.items() if n)
        print(f"skipped:     {_count(sum(chunks.values()), 'chunk')} left out ({reasons})")
    records = recording.skipped_records
    passed = [_count(records["attachments"], "attachment"), _count(records["unknown"], "unknown record"),
              _count(records["messages"], "message without a channel", "messages without a channel")]
    passed = [text for text in passed if not text.startswith("0 ")]
    if passed:
        print(f"passed over: {', '.join(passed)}")
    if recording.metadata_names:
        print(f"metadata:    {', '.join(recording.metadata_names)}")


def run_info(args: argparse.Namespace) -> int:
    recording = _open(args.file)
    span = _span(recording)
    compressions: Dict[str, List[int]] = {}
    for chunk in recording.chunks:
        entry = compressions.setdefault(chunk.compression or "none", [0, 0, 0])
        entry[0] += 1
        entry[1] += chunk.compressed_size
        entry[2] += chunk.uncompressed_size
    scanned = "" if recording.indexed else ", no summary: scanned" if recording.cut_short else ", scanned"
    print(f"file:        {args.file} ({recording.file_size} bytes{scanned})")
    if recording.cut_short:
        print(f"cut short:   {len(recording.chunks)} complete chunks recovered, {recording.torn_bytes} bytes after "
              "the last complete record")
    elif recording.torn_bytes:
        print(f"trailing:    {recording.torn_bytes} bytes after the footer")
    _print_skipped(recording)
    print(f"messages:    {recording.message_count}")
    wall = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(recording.start_time // 10**9))
    print(f"start:       {_seconds(recording.start_time)} ({wall} UTC)")
    print(f"end:         {_seconds(recording.end_time)}")
    print(f"duration:    {span:.3f} s")
    for name, (count, compressed, uncompressed) in sorted(compressions.items()):
        ratio = uncompressed / compressed if compressed else 0.0
        print(f"compression: {name}: [{count} chunks] [{uncompressed} -> {compressed} bytes, {ratio:.2f}x]")
    print("channels:")
    rows = sorted(recording.channels, key=lambda c: str(c.topic))
    width = max((len(c.topic) for c in rows), default=0)
    for c in rows:
        rate = f"{c.messages / span:8.2f} Hz" if span > 0 else "        - Hz"
        schema = f"{c.schema} [{c.schema_encoding}]" if c.schema else "(no schema)"
        print(f"  ({c.id}) {c.topic:<{width}}  {c.messages:6} msgs ({rate})  : {schema} [{c.message_encoding}]")
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

def _env_args(args: argparse.Namespace) -> Optional[Dict[str, Any]]:
    env_args: Dict[str, Any] = {}
    if args.env_name is not None:
        env_args["env_name"] = args.env_name
    if args.env_type is not None:
        env_args["type"] = args.env_type
    if args.env_kwargs is not None:
        try:
            env_args["env_kwargs"] = json.loads(args.env_kwargs)
        except json.JSONDecodeError as error:
            raise UsageError(f"--env-kwargs is not JSON: {error}") from None
    return env_args or None


def _warn(message: str) -> None:
    print(f"corvane export: {message}", file=sys.stderr)


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a whole number above 0: {text!r}")
    return value


def run_export(args: argparse.Namespace) -> int:
    if args.lerobot is not None:
        return run_lerobot(args)
    if args.fps is not None or args.task is not None or args.video_codec is not None:
        raise UsageError("--fps, --task and --video-codec go with --lerobot")
    if importlib.util.find_spec("h5py") is None:  # pragma: no cover - depends on the machine
        raise Failure("h5py is needed (Debian: python3-h5py)")
    if not 0.0 <= args.valid_fraction < 1.0:
        raise UsageError("--valid-fraction is in [0, 1)")
    try:
        result = hdf5.export(args.file, args.hdf5, env_args=_env_args(args), valid_fraction=args.valid_fraction,
                             seed=args.seed, strict=args.strict, warn=_warn)
    except hdf5.ExportError as error:
        if os.path.isdir(args.file) and not os.path.exists(os.path.join(args.file, "dataset.json")):
            raise UsageError(str(error)) from None
        raise Failure(str(error)) from None
    left_out = f", {len(result.left_out)} left out" if result.left_out else ""
    print(f"corvane export: {args.hdf5}: {result.demos} demos, {result.samples} samples{left_out}", file=sys.stderr)
    return 0


def _lerobot_episodes(paths: List[Tuple[str, Optional[int]]]) -> Iterator[lerobot.Episode]:
    """The episodes of each recording's steps, one in memory at a time; a collection's unreadable shard or a
    recording without steps is skipped with a warning."""
    from corvane.export import lerobot

    for path, shard_index in paths:
        try:
            recording = corvane.recording.open(path)
        except (OSError, corvane.Error) as error:
            if shard_index is None:
                raise Failure(f"{path}: not a readable recording: {error}") from None
            _warn(f"skipping episode {shard_index}: {path}: {error}")
            continue
        with recording:  # one shard's file open at a time
            if not hdf5.has_steps(recording):
                _warn(f"{path}: no steps (recorder.step), left out")
                continue
            yield from lerobot.episodes_of(recording.steps(), label=path)


def run_lerobot(args: argparse.Namespace) -> int:
    from corvane.export import lerobot

    hdf5_only = (args.strict, args.env_name, args.env_type, args.env_kwargs) != (False, None, None, None)
    if hdf5_only or args.valid_fraction != 0.1 or args.seed != 0:
        raise UsageError("--valid-fraction, --seed, --strict and --env-* go with --hdf5")
    try:
        paths = hdf5.sources(args.file)
    except hdf5.ExportError as error:
        raise UsageError(str(error)) from None
    codec = args.video_codec or "av1"
    os.environ.setdefault("SVT_LOG", "1")  # SVT-AV1's errors only: it prints its settings for each file otherwise
    try:
        result = lerobot.export(_lerobot_episodes(paths), args.lerobot, fps=args.fps, task=args.task, codec=codec)
    except (ValueError, OSError, corvane.Error) as error:
        raise Failure(str(error)) from None
    for warning in result.warnings:
        _warn(warning)
    files = [f for _, _, names in os.walk(args.lerobot) for f in names]
    videos = sum(f.endswith(".mp4") for f in files)
    print(f"corvane export: {args.lerobot}: {result.episodes} episodes, {result.frames} frames at {result.fps} fps; "
          f"{sum(f.endswith('.parquet') for f in files)} Parquet and {videos} MP4 ({codec}) files", file=sys.stderr)
    return 0
