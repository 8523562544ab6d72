"""corvane view and corvane play: cameras and streams served live over the Foxglove WebSocket protocol, or a
recording served at its recorded pace; Foxglove or the page at http://HOST:PORT/ shows them."""

from __future__ import annotations

import argparse
import contextlib
import math
import sys
import time
from typing import Any, Dict, List, Tuple

import corvane
import corvane._corvane

from .common import UsageError, add_transform_argument, leaf, make_client, positive_float, set_transforms

# Schemas whose newest message is all a viewer needs (a slow viewer skips older ones).
NEWEST_WINS = {"sensor_msgs/Image", "sensor_msgs/CompressedImage", "foxglove.RawImage", "foxglove.CompressedImage",
               "corvane_msgs/NDArray"}


def register(subparsers: Any, connection: argparse.ArgumentParser) -> None:
    serving = argparse.ArgumentParser(add_help=False)
    group = serving.add_argument_group("serving")
    group.add_argument("--port", metavar="N", type=int, default=8765, help="the port to serve on (default 8765)")
    group.add_argument("--host", metavar="ADDRESS", default="127.0.0.1",
                       help="the address to serve on (default 127.0.0.1; view from elsewhere through an SSH tunnel)")

    parser = leaf(subparsers, "view", [connection, serving], view, "serve cameras and streams live to Foxglove",
                  description="Captures the cameras at --rate and follows the articulations' joint-position "
                  "streams, serving every capture, stream message and REST exchange over the Foxglove WebSocket "
                  "protocol (the channels a recording holds) until Ctrl-C or --duration. Prints the WebSocket URL "
                  "(Foxglove: Open connection) and the URL of a page that shows them in any browser.")
    parser.add_argument("--camera", metavar="PRIM", action="append", default=[], help="a camera to capture (repeatable)")
    parser.add_argument("--stream", metavar="PRIM", action="append", default=[],
                        help="an articulation whose joint-position stream to follow (repeatable)")
    parser.add_argument("--rate", metavar="HZ", type=positive_float, default=10.0, help="captures a second (default 10)")
    parser.add_argument("--duration", metavar="SECONDS", type=positive_float, help="stop after SECONDS")
    parser.add_argument("--video", choices=["h264", "av1", "jpeg", "png", "none"], default="none",
                        help="colour camera outputs served as H.264 or AV1 video, JPEG or PNG images, or raw "
                        "(the default)")
    add_transform_argument(parser)

    parser = leaf(subparsers, "play", [serving], play, "serve a recording live at its recorded pace",
                  description="Serves a recording's messages over the Foxglove WebSocket protocol at the pace they "
                  "were recorded (times --speed), with the 'time' capability so viewers follow its clock; "
                  "--loop starts over at the end. Prints the WebSocket URL and the page's URL.")
    parser.add_argument("file", metavar="FILE.mcap", help="the recording")
    parser.add_argument("--speed", metavar="FACTOR", type=positive_float, default=1.0,
                        help="playback speed (default 1.0: as recorded)")
    parser.add_argument("--loop", action="store_true", help="play again from the start at the end")


def serve(args: argparse.Namespace, time_capability: bool = False) -> corvane.LiveServer:
    if not 0 <= args.port <= 65535:
        raise UsageError("--port must be 0 to 65535")
    try:
        server = corvane.LiveServer(args.port, args.host, time=time_capability, video=getattr(args, "video", "none"))
    except (RuntimeError, ValueError) as error:
        raise UsageError(str(error)) from None
    if hasattr(args, "transform"):
        with contextlib.ExitStack() as failed:
            failed.callback(server.close)
            set_transforms(server, args)
            failed.pop_all()
    host = f"[{args.host}]" if ":" in args.host else args.host
    print(f"serving ws://{host}:{server.port}/ (Foxglove: Open connection, Foxglove WebSocket)", flush=True)
    print(f"page: http://{host}:{server.port}/", flush=True)
    return server


def view(args: argparse.Namespace) -> int:
    if not args.camera and not args.stream:
        raise UsageError("give at least one --camera or --stream")
    with serve(args) as server, contextlib.ExitStack() as streams:
        client = make_client(args).with_options(recorder=server)
        opened = [streams.enter_context(corvane.ReconnectingStream(client, "joint_positions", prim))
                  for prim in args.stream]
        end = time.monotonic() + args.duration if args.duration else math.inf
        next_capture = time.monotonic()
        while time.monotonic() < end:
            if args.camera and time.monotonic() >= next_capture:
                if len(args.camera) > 1:
                    client.camera.capture_all(args.camera)
                else:
                    client.camera.capture(args.camera[0])
                next_capture = max(next_capture + 1.0 / args.rate, time.monotonic())
            wait = max(0.0, min(next_capture if args.camera else math.inf, end, time.monotonic() + 0.1)
                       - time.monotonic())
            drain(opened, wait)
    return 0


def drain(streams: List[corvane.ReconnectingStream], wait: float) -> None:
    """Receives what the streams have (the server sees each message as it is received); waits up to `wait`."""
    if not streams:
        time.sleep(wait)
        return
    for stream in streams:
        while stream.receive_for(0) is not None:
            pass
    streams[0].receive_for(wait)


def play(args: argparse.Namespace) -> int:
    import corvane.recording

    try:
        recording = corvane.recording.open(args.file)
    except corvane.RecordingError as error:
        raise UsageError(f"cannot read {args.file}: {error}") from None
    channels = channel_table(recording.channels)
    with serve(args, time_capability=True) as server:
        print(f"playing {recording.message_count} messages ({(recording.end_time - recording.start_time) / 1e9:.1f} s"
              f" recorded) at {args.speed}x{', looping' if args.loop else ''}", flush=True)
        while True:
            play_once(server, recording, channels, args.speed)
            if not args.loop:
                return 0


def channel_table(channels: List[corvane.recording.Channel]) -> Dict[Tuple[str, str, str], Dict[str, Any]]:
    """The recording's channels as the server publishes them, by topic, encoding and schema name."""
    table = {}
    for c in channels:
        table[(c.topic, c.message_encoding, c.schema)] = {
            "topic": c.topic, "message_encoding": c.message_encoding, "schema": c.schema,
            "schema_encoding": c.schema_encoding, "schema_data": c.schema_data,
            "newest_wins": c.schema in NEWEST_WINS}
    return table


def keyframe(schema: str, data: Any) -> bool:
    """False for a video delta frame: a viewer that missed frames waits for the next keyframe."""
    if schema != corvane.recording.VIDEO_SCHEMA:
        return True
    video_format, packet = corvane.recording.compressed_payload(schema, memoryview(data))
    return video_format not in ("h264", "av1") or corvane._corvane._is_keyframe(packet, video_format)


def play_once(server: corvane.LiveServer, recording: Any, channels: Dict[Tuple[str, str, str], Dict[str, Any]],
              speed: float) -> None:
    started, first = time.monotonic(), None
    for topic, log_time, _, encoding, schema, data in recording._reader.messages():
        first = log_time if first is None else first
        delay = started + (log_time - first) / 1e9 / speed - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        server.publish_time(log_time)
        server.publish_message(channels[(topic, encoding, schema)], data, log_time, keyframe(schema, data))
    if first is None:
        print("the recording holds no messages", file=sys.stderr)
        time.sleep(1.0)  # a --loop over nothing does not spin
