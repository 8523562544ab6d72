"""corvane camera ...: camera create and remove, and capture into files (PNG, .npy, JSON)."""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import re
import sys
import time
from typing import TYPE_CHECKING, Any, Callable, Iterator, List, Sequence, Tuple

import corvane

from .common import (Failure, UsageError, add_prim, atomic_file, family_command, leaf, make_client, positive_float,
                     usable_folder, writable_folder)

if TYPE_CHECKING:
    import numpy


def register(subparsers: Any, connection: argparse.ArgumentParser) -> None:
    group = subparsers.add_parser("camera", help="cameras: create, remove, capture into files",
                                  description="The camera operations.")
    actions = group.add_subparsers(title="actions", metavar="ACTION", dest="action", required=True)
    parser = leaf(actions, "create", [connection], family_command("camera", create), "create a camera")
    add_prim(parser, "the camera's prim path, e.g. /World/Camera")
    parser.add_argument("--resolution", metavar=("WIDTH", "HEIGHT"), type=int, nargs=2, help="in pixels")
    parser.add_argument("--frequency", metavar="HZ", type=float, help="the camera's frame rate")
    parser = leaf(actions, "remove", [connection], family_command("camera", lambda c, x: c.remove(x.prim)),
                  "remove a camera")
    add_prim(parser, "the camera's prim path")

    parser = leaf(actions, "capture", [connection], capture, "capture frames and write their outputs as files",
                  description="Captures frames and writes each output: rgb as PNG, depth as a false-colour PNG "
                  "(near is warm, far is cool) and as .npy, any other output as .npy, and the frame's structure as "
                  "JSON; then prints a table of the outputs. With several cameras the files of each go in a "
                  "folder named after it; with --count each file name starts with the frame's number.")
    parser.add_argument("prims", metavar="PRIM", nargs="+", help="the camera prim paths (several: one capture call)")
    parser.add_argument("--types", metavar="TYPE", nargs="+",
                        help="the outputs, e.g. rgb depth (default: the bridge's)")
    parser.add_argument("-o", "--output", metavar="DIR", default=".", help="the folder to write to (default: .)")
    parser.add_argument("--count", metavar="N", type=int, default=1, help="frames to capture (default 1)")
    parser.add_argument("--rate", metavar="HZ", type=positive_float, help="at most HZ captures a second")
    parser.add_argument("--world-frame", action="store_true", help="ask for the camera pose in the world frame")


def create(camera: corvane.Camera, args: argparse.Namespace) -> Any:
    return camera.create(args.prim, args.resolution, args.frequency)


def capture(args: argparse.Namespace) -> int:
    if importlib.util.find_spec("numpy") is None:  # the outputs are written through numpy
        raise Failure("camera capture needs numpy (Debian: python3-numpy)")
    if args.count < 1:
        raise UsageError("--count must be 1 or more")
    folder = usable_folder(args.output)
    client = make_client(args)
    folders = [folder] if len(args.prims) == 1 else [os.path.join(folder, slug(prim)) for prim in args.prims]
    frames: List[corvane.Frame] = []
    with progress(args.count) as advance:
        for number in paced(args.count, args.rate):
            if len(args.prims) == 1:
                frames = [client.camera.capture(args.prims[0], args.types, args.world_frame or None)]
            else:
                frames = client.camera.capture_all(args.prims, args.types, args.world_frame or None)
            if number == 0:  # made once there is something to write in them: a failed capture leaves nothing
                for path in folders:
                    writable_folder(path)
            prefix = f"{number:04d}_" if args.count > 1 else ""
            for path, frame in zip(folders, frames):
                write_frame(frame, os.path.join(path, prefix))
            advance()
    for prim, frame in zip(args.prims, frames):
        if len(frames) > 1:
            print(prim)
        print_table(output_rows(frame))
    return 0


def slug(prim: str) -> str:
    """A folder name for a prim path: /World/Camera -> World_Camera."""
    return re.sub(r"[^A-Za-z0-9._-]+", "_", prim).strip("_") or "camera"


def paced(count: int, rate: float | None) -> Iterator[int]:
    """0 .. count-1, each given no sooner than 1/rate after the one before."""
    next_at = time.monotonic()
    for number in range(count):
        if rate:
            time.sleep(max(0.0, next_at - time.monotonic()))
            next_at = max(next_at + 1.0 / rate, time.monotonic())
        yield number


class progress:
    """A progress bar on stderr (tqdm, on a terminal) for more than one frame; nothing otherwise."""

    def __init__(self, total: int) -> None:
        self._bar: Any = None
        if total > 1:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self._bar = tqdm(total=total, unit="frame", file=sys.stderr, disable=None, leave=False)

    def __enter__(self) -> Callable[[], None]:
        return self.advance

    def advance(self) -> None:
        if self._bar is not None:
            self._bar.update(1)

    def __exit__(self, *exception: object) -> None:
        if self._bar is not None:
            self._bar.close()


def outputs(frame: corvane.Frame) -> Iterator[Tuple[str, "numpy.ndarray[Any, Any]"]]:
    structure = frame.structure
    for name in structure if isinstance(structure, dict) else ():
        if frame.output(name) is not None:
            yield name, frame[name]


def write_frame(frame: corvane.Frame, stem: str) -> None:
    import numpy

    for name, array in outputs(frame):
        if name == "rgb" and write_png(array, stem + "rgb.png"):
            continue
        if name == "depth":
            write_png(false_colour(array), stem + "depth.png")
        with atomic_file(f"{stem}{name}.npy") as file:
            numpy.save(file, array)
    with atomic_file(stem + "frame.json") as file:
        file.write(json.dumps(frame.structure, indent=2, ensure_ascii=False).encode() + b"\n")


def write_png(array: "numpy.ndarray[Any, Any]", path: str) -> bool:
    """Writes `array` (height x width x 3 or 4, uint8) as PNG; False when Pillow is missing."""
    try:
        from PIL import Image
    except ImportError:
        return False
    with atomic_file(path) as file:
        Image.fromarray(array).save(file, format="PNG")
    return True


# Near to far: red, yellow, green, cyan, blue.
RAMP = ((220, 40, 30), (240, 200, 40), (60, 190, 80), (40, 180, 210), (40, 60, 200))


def false_colour(depth: "numpy.ndarray[Any, Any]") -> "numpy.ndarray[Any, Any]":
    """Depth as colour, graded by inverse depth (so near things keep their detail when the floor runs far)
    between the 2nd and 98th percentiles of its finite positive values; no depth is black."""
    import numpy

    picture = numpy.zeros(depth.shape + (3,), dtype=numpy.uint8)
    seen = numpy.isfinite(depth) & (depth > 0)
    if seen.any():
        inverse = 1.0 / depth[seen].astype(numpy.float64)
        far, near = numpy.percentile(inverse, [2, 98])
        t = numpy.clip((near - inverse) / (near - far if near > far else 1.0), 0.0, 1.0)
        stops = numpy.linspace(0.0, 1.0, len(RAMP))
        for channel in range(3):
            picture[..., channel][seen] = numpy.interp(t, stops, [colour[channel] for colour in RAMP])
    return picture


def output_rows(frame: corvane.Frame) -> List[Sequence[str]]:
    import numpy

    rows: List[Sequence[str]] = []
    for name, array in outputs(frame):
        finite = array[numpy.isfinite(array)] if array.dtype.kind == "f" else array
        low, high = (f"{finite.min():.6g}", f"{finite.max():.6g}") if finite.size else ("-", "-")
        rows.append((name, str(array.dtype), "x".join(map(str, array.shape)), low, high))
    return rows


def print_table(rows: List[Sequence[str]]) -> None:
    table = [("output", "dtype", "shape", "min", "max"), *rows]
    widths = [max(len(row[column]) for row in table) for column in range(5)]
    for row in table:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip(), flush=True)
