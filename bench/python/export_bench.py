"""The HDF5 export measured: a collection of EPISODES episodes of STEPS steps (64x48 rgb + 64x48 depth + a
7-joint state, a 7-wide action) written with recorder.step, then exported. Prints the bytes the export read
from the recordings (the process's read() count, /proc/self/io rchar) against their size on disk, and the
export's time against reading every step alone, side by side in one run:

    PYTHONPATH=build/python /usr/bin/python3 bench/python/export_bench.py [EPISODES] [STEPS]
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
import time

import numpy

import corvane
import corvane.recording
from corvane.export import hdf5


def read_chars() -> int:
    with open("/proc/self/io", encoding="ascii") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))


def collection(folder: str, episodes: int, steps: int) -> int:
    rng = numpy.random.default_rng(1)  # random pixels: the recordings are as large as their arrays
    rgbs = [rng.integers(0, 255, (48, 64, 3), dtype=numpy.uint8) for _ in range(7)]
    depths = [rng.random((48, 64), dtype=numpy.float32) for _ in range(5)]
    entries = []
    for index in range(episodes):
        shard = f"episode-{index:06d}.mcap"
        with corvane.Recorder(os.path.join(folder, shard)) as recorder:
            recorder.write("/episode", {"event": "start", "index": index})
            for t in range(steps):
                recorder.step({"rgb": rgbs[t % 7], "depth": depths[t % 5], "state": [0.01 * t] * 7},
                              [0.02 * t] * 7)
            recorder.write("/episode", {"event": "end", "index": index, "success": True})
        entries.append({"index": index, "shard": shard, "success": True})
    with open(os.path.join(folder, "dataset.json"), "w", encoding="utf-8") as file:
        json.dump({"episodes": entries}, file)
    return sum(os.path.getsize(os.path.join(folder, e["shard"])) for e in entries)


def read_steps(folder: str) -> int:
    count = 0
    for path, _ in hdf5.sources(folder):
        for step in corvane.recording.open(path).steps():
            count += len(step.observation)
    return count


def main() -> int:
    episodes = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    steps = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as folder:
        size = collection(folder, episodes, steps)
        out = os.path.join(folder, "out.h5")
        import h5py  # noqa: F401  (imported before counting: its modules' bytes are not the export's)

        before = read_chars()
        start = time.perf_counter()
        result = hdf5.export(folder, out)
        export_seconds = time.perf_counter() - start
        read = read_chars() - before
        start = time.perf_counter()
        read_steps(folder)
        steps_seconds = time.perf_counter() - start
    print(f"{episodes} episodes x {steps} steps: {result.demos} demos, {result.samples} samples")
    print(f"export read {read} bytes of {size} on disk: {read / size:.3f}x")
    print(f"export {export_seconds:.2f} s vs reading the steps alone {steps_seconds:.2f} s: "
          f"{export_seconds / steps_seconds:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
