"""corvane sim: simulated bridges in the foreground, until Ctrl-C."""

from __future__ import annotations

import argparse
import contextlib
import sys
import time
from typing import Any, List, Set

from .common import Failure, UsageError, leaf, sigterm_as_interrupt

# The simulated bridge's own options, passed on as given.
BRIDGE_OPTIONS = (
    ("--host", "ADDRESS", "address to listen on (default 127.0.0.1)"),
    ("--threads", "N", "connection threads of each bridge"),
    ("--render-threads", "N", "camera rendering threads of each bridge"),
    ("--max-body", "BYTES", "largest request body accepted"),
    ("--step-rate", "HZ", "scene steps per second (default 120)"),
    ("--stream-rate", "HZ", "stream samples per second (default 60)"),
)


def register(subparsers: Any, connection: argparse.ArgumentParser) -> None:
    parser = leaf(subparsers, "sim", [], sim, "run simulated bridges in the foreground",
                  description="Runs the simulated bridge (corvane-bridge-sim), or several with --count, and "
                  "prints each one's HTTP and WebSocket base URLs on a line of stdout; Ctrl-C stops them all.")
    parser.add_argument("--port", metavar="N", type=int, default=0,
                        help="the first bridge's port, the next ones following (default 0: free ports)")
    parser.add_argument("--count", metavar="N", type=int, default=1, help="how many bridges (default 1)")
    parser.add_argument("--executable", metavar="PATH", help="the bridge to run (default: the one installed)")
    bridge = parser.add_argument_group("simulated bridge options")
    for option, metavar, text in BRIDGE_OPTIONS:
        bridge.add_argument(option, metavar=metavar, help=text)
    bridge.add_argument("--log", action="store_true", help="one line per request on stderr")


def bridge_arguments(args: argparse.Namespace, number: int) -> List[str]:
    arguments = ["--port", str(args.port + number if args.port else 0)]
    for option, _, _ in BRIDGE_OPTIONS:
        value = getattr(args, option[2:].replace("-", "_"))
        if value is not None:
            arguments += [option, value]
    return arguments + (["--log"] if args.log else [])


def sim(args: argparse.Namespace) -> int:
    from ..testing import SimulatedBridge  # (it imports pytest when there: not for every command's start-up)

    if not 1 <= args.count <= 64 or not 0 <= args.port <= 65535 - args.count:
        raise UsageError("--count must be 1 to 64 and the ports from --port within 0..65535")
    with sigterm_as_interrupt(), contextlib.ExitStack() as running:
        bridges = []
        try:
            for number in range(args.count):
                bridge = SimulatedBridge(bridge_arguments(args, number), executable=args.executable)
                running.callback(bridge.stop)
                urls = bridge.start()
                bridges.append(bridge)
                print(urls.http_url, urls.websocket_url, flush=True)
        except (RuntimeError, OSError) as error:
            raise Failure(f"bridge {len(bridges) + 1}: {error}") from None
        try:
            watch(bridges)
        except KeyboardInterrupt:
            return 0
    print("corvane sim: every bridge stopped by itself", file=sys.stderr)
    return 1


def watch(bridges: List[Any]) -> None:
    """Returns once every bridge has stopped by itself; says so on stderr as each one does (the others keep
    running: a fleet's failover can be tried by stopping one)."""
    stopped: Set[int] = set()
    while len(stopped) < len(bridges):
        for number, bridge in enumerate(bridges):
            if number not in stopped and not bridge.running:
                stopped.add(number)
                print(f"corvane sim: bridge {number + 1} ({bridge.http_url}) stopped by itself; "
                      f"{len(bridges) - len(stopped)} still running", file=sys.stderr, flush=True)
        time.sleep(0.2)
