"""corvane collect: an episode function run many times across bridges, each run recorded (corvane.fleet)."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from corvane.cli.common import EXIT_FAILED, Failure, UsageError, positive_float

EPILOG = """Each episode is recorded to DIR/episode-NNNNNN.mcap; DIR/dataset.json lists them all at the end. Run
the same command again to record the episodes still missing. Without --scheduler, one local worker process
per bridge; with it, workers started as `dask worker ADDRESS --nthreads 1 --resources URL=1` serve the
bridge URL. Exit status: 0 when every episode was recorded, 1 when some failed or the collection could not
run, 2 for a bad command line."""


def register(subparsers: Any, connection: argparse.ArgumentParser) -> None:
    """Adds `collect`. The shared connection options do not apply: every bridge is a --bridge of its own."""
    parser = subparsers.add_parser(
        "collect", help="run an episode function across bridges and record every episode", epilog=EPILOG,
        description="Runs FUNCTION(client, recorder, index) of SCRIPT.py --episodes times on Dask, one episode "
        "at a time per bridge, failed episodes tried again on another bridge.")
    parser.add_argument("episode", metavar="SCRIPT.py:FUNCTION", help="the episode function")
    parser.add_argument("--bridge", metavar="URL", action="append", required=True,
                        help="a bridge's HTTP base URL, or 'HTTP_URL WS_URL' (repeat for each bridge)")
    parser.add_argument("--episodes", "-n", metavar="N", type=int, default=1, help="episodes (default 1)")
    parser.add_argument("-o", "--output", metavar="DIR", default="collection",
                        help="the collection's folder (default ./collection)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://host:8786")
    parser.add_argument("--attempts", metavar="N", type=int, default=3, help="tries per episode (default 3)")
    parser.add_argument("--timeout", metavar="SECONDS", type=positive_float, default=10.0,
                        help="time allowed for each attempt of a request (default 10)")
    parser.add_argument("--retries", metavar="N", type=int, default=2,
                        help="attempts after the first for a request's transient failures (default 2)")
    parser.add_argument("--episode-timeout", metavar="SECONDS", type=positive_float,
                        help="time allowed for each attempt of an episode; a longer one fails (default: no limit)")
    parser.add_argument("--compression", choices=("zstd", "lz4", "none"), default="zstd",
                        help="of the shards (default zstd)")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    parser.set_defaults(handler=collect)


def collect(args: argparse.Namespace) -> int:
    from corvane import fleet

    if args.episodes < 0 or args.attempts < 1 or args.retries < 0:
        raise UsageError("--episodes and --retries must be 0 or more, --attempts 1 or more")
    try:
        episode = fleet.load_episode(args.episode)
        bridges = [tuple(b.split()) if " " in b.strip() else b for b in args.bridge]
        dataset = fleet.collect(episode, bridges, episodes=args.episodes, out=args.output,
                                scheduler=args.scheduler, attempts=args.attempts,
                                progress=not args.quiet and sys.stderr.isatty(),  # no bar into a log file
                                client_options={"timeout": args.timeout, "max_retries": args.retries},
                                recorder_options={"compression": args.compression},
                                episode_timeout=args.episode_timeout)
    except (fleet.CollectionError, ImportError) as error:
        raise Failure(str(error)) from None
    for entry in dataset["episodes"]:
        if entry.get("error"):
            print(f"corvane collect: episode {entry['index']} failed after {entry.get('attempts', 0)} "
                  f"attempt(s): {entry['error']}", file=sys.stderr)
    print(f"{dataset['recorded']} of {dataset['requested']} episodes recorded in "
          f"{os.path.join(args.output, fleet.DATASET)}", file=sys.stderr)
    return EXIT_FAILED if dataset["failed"] else 0
