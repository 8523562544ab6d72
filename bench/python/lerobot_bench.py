"""The LeRobot export measured: a collection of EPISODES episodes of STEPS steps at 30 fps (one 640x480 camera
rendering moving shapes on a gradient, a 7-joint state, a 7-wide action) written with recorder.step, then
`corvane export DIR --lerobot OUT` run once per codec, each in a process of its own. Prints each export's
time against the episodes' duration (STEPS / 30 s each) and the process's peak memory against one episode's
frames and the whole dataset's:

    PYTHONPATH=build/python /usr/bin/python3 bench/python/lerobot_bench.py [EPISODES] [STEPS]
"""

from __future__ import annotations

import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from typing import List

import numpy

import corvane

FPS = 30
HEIGHT, WIDTH = 480, 640


def frames(steps: int) -> List[numpy.ndarray]:
    """A gradient with a square and a bar that move: about what a simple simulated scene renders."""
    y, x = numpy.mgrid[0:HEIGHT, 0:WIDTH]
    background = numpy.stack([x * 255 // WIDTH, y * 255 // HEIGHT, (x + y) * 255 // (WIDTH + HEIGHT)], axis=2)
    out = []
    for t in range(steps):
        frame = background.astype(numpy.uint8)
        left, top = (40 + 4 * t) % (WIDTH - 80), (60 + 2 * t) % (HEIGHT - 80)
        frame[top:top + 80, left:left + 80] = (200, 40, 40)
        frame[HEIGHT - 40:HEIGHT - 20, : (WIDTH * t) // steps] = (20, 20, 220)
        out.append(frame)
    return out


def collection(folder: str, episodes: int, steps: int) -> int:
    pictures = frames(steps)
    entries = []
    for index in range(episodes):
        shard = f"episode-{index:06d}.mcap"
        with corvane.Recorder(os.path.join(folder, shard)) as recorder:
            recorder.write("/episode", {"event": "start", "task": "push the red cube"})
            for t in range(steps):
                state = numpy.sin(0.05 * t + numpy.arange(7) + index)
                recorder.step({"front": pictures[t], "state": state}, state + 0.01, time=t / FPS)
            recorder.write("/episode", {"event": "end", "success": True})
        entries.append({"index": index, "shard": shard, "success": True})
    with open(os.path.join(folder, "dataset.json"), "w", encoding="utf-8") as file:
        json.dump({"episodes": entries}, file)
    return sum(os.path.getsize(os.path.join(folder, e["shard"])) for e in entries)


def export(folder: str, codec: str, duration: float) -> None:
    out = os.path.join(folder, f"lerobot-{codec}")
    command = [sys.executable, "-m", "corvane", "export", folder, "--lerobot", out, "--video-codec", codec]
    start = time.perf_counter()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, check=True)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    videos = sum(os.path.getsize(os.path.join(d, f)) for d, _, names in os.walk(os.path.join(out, "videos"))
                 for f in names)
    print(f"{codec}: {seconds:.1f} s, {seconds / duration:.2f}x the episodes' duration ({cpu:.1f} s of CPU), "
          "peak memory of the exporting processes so far "
          f"{after.ru_maxrss / 1024:.0f} MB, videos {videos / 1e6:.1f} MB")


def main() -> int:
    episodes = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    steps = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as folder:
        size = collection(folder, episodes, steps)
        duration = episodes * steps / FPS
        episode_mb = steps * HEIGHT * WIDTH * 3 / 1e6
        print(f"{episodes} episodes x {steps} steps ({duration:.1f} s at {FPS} fps), recordings {size / 1e6:.0f} MB; "
              f"frames {episode_mb:.0f} MB an episode, {episode_mb * episodes:.0f} MB in all")
        for codec in ("h264", "av1"):  # h264 first: its peak memory is read before AV1's
            export(folder, codec, duration)
    return 0


if __name__ == "__main__":
    sys.exit(main())
