"""The `corvane` command's start-up, as ratios measured side by side in one run (each workload in turn, the
median of the rounds):

    PYTHONPATH=build/python /usr/bin/python3 bench/python/cli_bench.py [ROUNDS]

`corvane --help` against `python3 -c "import corvane"` (goal: within 2x), and `corvane get PATH` against
`--help` plus one request (a GET timed inside one process; goal: within 2x).
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time
from typing import Dict, List

import corvane
from corvane.testing import SimulatedBridge


# Byte-code cached, as an installed package has it (Debian compiles it at install).
ENVIRONMENT = {name: value for name, value in os.environ.items() if name != "PYTHONDONTWRITEBYTECODE"}


def timed(command: List[str]) -> float:
    began = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=ENVIRONMENT)
    return time.perf_counter() - began


def one_request(http_url: str, websocket_url: str) -> float:
    client = corvane.Client("bench", http_url, websocket_url, 10.0, 0)
    client.get("/articulations//World/bench/dof_limits")  # the first connection outside the timing
    times = []
    for _ in range(20):
        fresh = corvane.Client("bench", http_url, websocket_url, 10.0, 0)  # a new connection, as a command makes
        began = time.perf_counter()
        fresh.get("/articulations//World/bench/dof_limits")
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    corvane_command = [sys.executable, "-m", "corvane"]
    with SimulatedBridge() as bridge:
        corvane.Client("bench", bridge.http_url, bridge.websocket_url).articulation.create("/World/bench")
        workloads = {
            "python3 -c 'import corvane'": [sys.executable, "-c", "import corvane"],
            "corvane --help": [*corvane_command, "--help"],
            "corvane get PATH": [*corvane_command, "get", "/articulations//World/bench/dof_limits", "--bridge",
                                 bridge.http_url],
        }
        samples: Dict[str, List[float]] = {name: [] for name in workloads}
        for command in workloads.values():  # the byte-code written
            timed(command)
        for _ in range(rounds):
            for name, command in workloads.items():
                samples[name].append(timed(command))
        request = one_request(bridge.http_url, bridge.websocket_url)
    median = {name: statistics.median(times) for name, times in samples.items()}
    print(f"{rounds} rounds; one GET on a new connection: {request * 1000:.1f} ms")
    print(f"{'workload':<30}{'median ms':>10}")
    for name, value in median.items():
        print(f"{name:<30}{value * 1000:>10.1f}")
    help_ratio = median["corvane --help"] / median["python3 -c 'import corvane'"]
    get_ratio = median["corvane get PATH"] / (median["corvane --help"] + request)
    print(f"--help vs import corvane: {help_ratio:.2f}x (goal <= 2x)")
    print(f"get PATH vs --help plus one request: {get_ratio:.2f}x (goal <= 2x)")


if __name__ == "__main__":
    main()
