"""get, post, put, patch, delete: any request to the bridge, its reply printed as it came."""

from __future__ import annotations

import argparse
import sys
from typing import Any

import corvane

from .common import EXIT_FAILED, UsageError, bridge_reason, leaf, load_json, make_client, print_json

VERBS = ("get", "post", "put", "patch", "delete")


def register(subparsers: Any, connection: argparse.ArgumentParser) -> None:
    for verb in VERBS:
        parser = leaf(subparsers, verb, [connection], request, f"send a {verb.upper()} request and print the reply",
                      description=f"Sends {verb.upper()} PATH to the bridge and prints the reply: its status on "
                      "stderr, its body on stdout (JSON pretty-printed, coloured on a terminal). The exit "
                      "status is 1 for a status outside 2xx.")
        parser.add_argument("path", metavar="PATH", help="the resource path, e.g. /articulations//World/arm/dof_limits")
        if verb in ("post", "put", "patch"):
            parser.add_argument("body", metavar="BODY", nargs="?", default="",
                                help="a JSON body: the text itself, @FILE for a file's content, or - for stdin")
        parser.add_argument("--raw", action="store_true", help="write the reply's bytes as they are")
        parser.set_defaults(verb=verb)


def read_body(argument: str) -> bytes:
    """The request body the argument names, checked to be JSON (a bridge takes nothing else)."""
    if argument == "-":
        data, where = sys.stdin.buffer.read(), "on stdin"
    elif argument.startswith("@"):
        try:
            with open(argument[1:], "rb") as file:
                data = file.read()
        except OSError as error:
            raise UsageError(f"cannot read the body from {argument[1:]}: {error.strerror or error}") from None
        where = f"in {argument[1:]}"
    else:
        data, where = argument.encode(), "body"
    if data.strip():
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise UsageError(f"bad JSON body {where}: not UTF-8 at byte {error.start}") from None
        load_json(text, "body" if where == "body" else f"body {where}")
    return data


def request(args: argparse.Namespace) -> int:
    body = read_body(args.body) if "body" in args else None
    client = make_client(args)
    call = getattr(client, args.verb)
    response: corvane.Response = call(args.path) if body is None else call(args.path, body)
    ok = 200 <= response.status <= 299
    print(bridge_reason(response.status, b"") if ok else bridge_reason(response.status, response.body),
          file=sys.stderr, flush=True)
    if args.raw:
        sys.stdout.buffer.write(response.body)
        sys.stdout.flush()
    elif response.body.strip():
        try:
            print_json(response.json())
        except ValueError:  # not JSON: shown as text
            print(response.body.decode("utf-8", errors="replace"), flush=True)
    return 0 if ok else EXIT_FAILED
