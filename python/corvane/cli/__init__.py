"""The `corvane` command: a shell front end to the Python package (also `python3 -m corvane`).

Each command group is a module of this package with `register(subparsers, connection)`, which adds its
commands to `subparsers`; `connection` is the parent parser of the shared connection options. A command's
parser carries `handler`, a function of the parsed arguments that returns the exit status.
"""

from __future__ import annotations

import argparse
import importlib
import sys
from typing import List, Optional

from .. import __version__
from .common import EXIT_INTERRUPTED, EXIT_USAGE, Parser, connection_parent, run

# The command groups, in the order of `corvane --help`.
GROUPS = (
    "raw",
    "articulation",
    "gripper",
    "camera",
    "stream",
    "sim",
    "recording",
    "collect",
    "live",
)

DESCRIPTION = """Drive a robotics simulator's bridge from the shell: raw REST requests, the articulation,
surface gripper and camera operations, camera captures written as files, streams echoed or timed, and a
simulated bridge to try it all on. Every command has its own --help."""

EPILOG = """The bridge is --bridge, else $CORVANE_BRIDGE, else http://127.0.0.1:8000/. Exit status: 0 on
success, 1 when the bridge or the network refused (or a file could not be written), 2 for a bad command
line, 130 when interrupted (sim and record end normally on Ctrl-C: 0)."""


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="corvane", description=DESCRIPTION, epilog=EPILOG)
    parser.add_argument("--version", action="version", version=f"corvane {__version__}")
    subparsers = parser.add_subparsers(title="commands", metavar="COMMAND", dest="command")
    connection = connection_parent()
    for name in GROUPS:
        importlib.import_module(f"{__name__}.{name}").register(subparsers, connection)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    try:
        parser = build_parser()
        args = parser.parse_args(argv)
    except SystemExit as exit:  # --help, --version and usage errors (argparse already printed)
        return exit.code if isinstance(exit.code, int) else EXIT_USAGE
    except KeyboardInterrupt:
        print("corvane: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    if getattr(args, "handler", None) is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    prog = " ".join(["corvane", *(name for name in (args.command, getattr(args, "action", None)) if name)])
    return run(args.handler, args, prog)
