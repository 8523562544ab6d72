"""corvane sim: simulated bridges in the foreground, until Ctrl-C."""

from __future__ import annotations

import argparse
import contextlib
import signal
import sys
import time
from typing import Any, List, Optional

from ..testing import SimulatedBridge
from .common import Failure, UsageError, leaf

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


def stop_on_sigterm() -> None:
    """SIGTERM ends the command as Ctrl-C does: the bridges are stopped either way."""

    def interrupt(number: int, frame: Optional[Any]) -> None:
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, interrupt)


def sim(args: argparse.Namespace) -> int:
    if not 1 <= args.count <= 64 or not 0 <= args.port <= 65535 - args.count:
        raise UsageError("--count must be 1 to 64 and the ports from --port within 0..65535")
    stop_on_sigterm()
    with contextlib.ExitStack() as running:
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
            while all(bridge.running for bridge in bridges):
                time.sleep(0.2)
        except KeyboardInterrupt:
            return 0
        stopped = next(number for number, bridge in enumerate(bridges) if not bridge.running)
        print(f"corvane sim: bridge {stopped + 1} stopped by itself; stopping the others", file=sys.stderr)
    return 1
