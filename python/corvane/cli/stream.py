"""corvane stream: an articulation's stream, echoed, timed like `ros2 topic hz`, or sampled at its latest.
The stream reopens itself after a loss; the outage is shown on stderr."""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections import deque
from typing import Any, Deque, Optional

import corvane

from .common import UsageError, add_prim, leaf, make_client, positive_float

WAIT = 0.2  # the longest one receive waits: Ctrl-C and the end of --duration are seen at least this often


def register(subparsers: Any, connection: argparse.ArgumentParser) -> None:
    parser = leaf(subparsers, "stream", [connection], stream, "echo or time an articulation's stream",
                  description="Opens an articulation's joint-position stream (or state stream, --state) and echoes "
                  "its samples, one JSON text a line (--echo, the default), prints its rate once a second as "
                  "`ros2 topic hz` does (--hz), or prints only the newest sample every --every seconds "
                  "(--latest). A lost stream is reopened, the outage reported on stderr.")
    add_prim(parser)
    parser.add_argument("--state", action="store_true", help="the articulation state stream")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--echo", dest="mode", action="store_const", const="echo", help="print every sample")
    mode.add_argument("--hz", dest="mode", action="store_const", const="hz", help="print rate statistics")
    mode.add_argument("--latest", dest="mode", action="store_const", const="latest",
                      help="print the newest sample every --every seconds")
    parser.add_argument("--window", metavar="N", type=int, default=10000,
                        help="--hz: the intervals the statistics cover (default 10000)")
    parser.add_argument("--every", metavar="SECONDS", type=positive_float, default=1.0,
                        help="--latest: seconds between samples shown (default 1)")
    parser.add_argument("--count", metavar="N", type=int, help="stop after N lines (samples or rate reports)")
    parser.add_argument("--duration", metavar="SECONDS", type=positive_float, help="stop after SECONDS")
    parser.set_defaults(mode="echo")


class Outages:
    """Says on stderr when the stream is lost and when it is back."""

    def __init__(self) -> None:
        self.down = False
        self.happened = False  # an outage since the last look at this flag

    def check(self, stream: corvane.ReconnectingStream) -> None:
        if not stream.is_connected and not self.down:
            self.down = self.happened = True
            print("stream lost; reconnecting ...", file=sys.stderr, flush=True)

    def reconnected(self, event: corvane.ReconnectEvent) -> None:
        if not self.down:  # lost and reopened within one call
            print("stream lost; reconnecting ...", file=sys.stderr)
        self.down, self.happened = False, True
        print(f"stream back after {event.down:.2f} s ({event.attempts} attempts; it ended with: {event.cause})",
              file=sys.stderr, flush=True)


class Rate:
    """The arrival intervals of the last `window` samples, reported as `ros2 topic hz` does."""

    def __init__(self, window: int) -> None:
        self.intervals: Deque[float] = deque(maxlen=window)
        self.last: Optional[float] = None
        self.fresh = 0  # samples since the last report

    def sample(self, at: float) -> None:
        if self.last is not None:
            self.intervals.append(at - self.last)
        self.last = at
        self.fresh += 1

    def gap(self) -> None:
        """An outage: the interval across it is no sample interval."""
        self.last = None

    def report(self) -> Optional[str]:
        fresh, self.fresh = self.fresh, 0
        if not fresh:
            return "no new messages"
        if not self.intervals:
            return None
        n = len(self.intervals)
        mean = sum(self.intervals) / n
        deviation = math.sqrt(sum((i - mean) ** 2 for i in self.intervals) / n)
        return (f"average rate: {1.0 / mean:.3f}\n\tmin: {min(self.intervals):.3f}s max: {max(self.intervals):.3f}s "
                f"std dev: {deviation:.5f}s window: {n + 1}")


def stream(args: argparse.Namespace) -> int:
    if args.window < 1 or (args.count is not None and args.count < 1):
        raise UsageError("--window and --count must be 1 or more")
    client = make_client(args)
    outages = Outages()
    with open_stream(client, args, outages) as opened:
        lines = Lines(args)
        while lines.wanted():
            if args.mode == "latest":  # only the newest matters: let the rest pile up and skip it
                time.sleep(lines.wait())
                text = opened.receive_latest()
            else:
                text = opened.receive_for(lines.wait())
            outages.check(opened)
            lines.take(text, outages)
    return 0


def open_stream(client: corvane.Client, args: argparse.Namespace, outages: Outages) -> corvane.ReconnectingStream:
    try:
        return corvane.ReconnectingStream(client, "articulation_state" if args.state else "joint_positions",
                                          args.prim, on_reconnect=outages.reconnected)
    except corvane.HandshakeError as error:
        if error.http_status == 404:  # the upgrade's refusal carries no reason: the articulation's query does
            client.articulation.get_joints_state(args.prim)
        raise


class Lines:
    """What the stream command prints, and when it is done."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.mode: str = args.mode
        self.count: Optional[int] = args.count
        self.shown = 0
        self.end: float = time.monotonic() + args.duration if args.duration else math.inf
        self.period: float = args.every if self.mode == "latest" else 1.0
        self.next_report = time.monotonic() + self.period
        self.rate = Rate(args.window)
        self.newest: Optional[bytes] = None

    def wanted(self) -> bool:
        return time.monotonic() < self.end and (self.count is None or self.shown < self.count)

    def wait(self) -> float:
        now = time.monotonic()
        return max(0.0, min(WAIT, self.end - now, math.inf if self.mode == "echo" else self.next_report - now))

    def take(self, text: Optional[bytes], outages: Outages) -> None:
        now = time.monotonic()
        if outages.happened:
            outages.happened = False
            self.rate.gap()
        if text is not None:
            self.rate.sample(now)
            self.newest = text
            if self.mode == "echo":
                self.show(text.decode("utf-8", errors="replace"))
        if self.mode != "echo" and now >= self.next_report:
            self.next_report = max(self.next_report + self.period, now)
            newest, self.newest = self.newest, None
            line = self.rate.report() if self.mode == "hz" else newest and newest.decode("utf-8", errors="replace")
            if line:
                self.show(line)

    def show(self, line: str) -> None:
        print(line, flush=True)
        self.shown += 1
