"""What every command shares: the connection options, the client built from them, the way results and
failures are printed, and files written whole or not at all."""

from __future__ import annotations

import argparse
import contextlib
import http
import json
import math
import os
import signal
import sys
import tempfile
from typing import IO, Any, Callable, Iterator, List, NoReturn, Optional

import corvane
from corvane import _constants

ENVIRONMENT_BRIDGE = "CORVANE_BRIDGE"
DEFAULT_BRIDGE = "http://127.0.0.1:8000/"
EXIT_FAILED = 1  # the bridge or the network said no, or a file could not be written
EXIT_USAGE = 2  # the command line itself is wrong
EXIT_INTERRUPTED = 130

Handler = Callable[[argparse.Namespace], int]


class UsageError(Exception):
    """A bad argument found after parsing (a JSON body, an output folder): exit status 2."""


class Failure(Exception):
    """Something outside the command line failed: exit status 1."""


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on stderr (exit status 2)."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: {message} (see {self.prog} --help)\n")


def connection_parent() -> argparse.ArgumentParser:
    """The connection options, a parent of every command that talks to a bridge."""
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("connection")
    group.add_argument("--bridge", metavar="URL",
                       help=f"the bridge's HTTP base URL (default: ${ENVIRONMENT_BRIDGE}, else {DEFAULT_BRIDGE})")
    group.add_argument("--ws", metavar="URL",
                       help="the WebSocket base URL (default: --bridge with ws:// or wss:// for its scheme)")
    group.add_argument("--timeout", metavar="SECONDS", type=positive_float, default=10.0,
                       help="time allowed for each attempt of a request (default 10)")
    group.add_argument("--retries", metavar="N", type=int, default=2,
                       help="attempts after the first for transient failures (default 2)")
    group.add_argument("--header", metavar="'NAME: VALUE'", action="append", default=[],
                       help="an extra header on every request (repeatable)")
    group.add_argument("--ca-file", metavar="PATH", help="CA certificates for an https:// bridge")
    group.add_argument("--proxy", metavar="URL", help="a proxy for every request")
    return parent


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"must be a number above 0: {text!r}")
    return value


@contextlib.contextmanager
def sigterm_as_interrupt() -> Iterator[None]:
    """SIGTERM (what a service manager sends) ends the command as Ctrl-C does, within a request's wait too."""

    def interrupt(number: int, frame: Optional[Any]) -> None:
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def add_transform_argument(parser: argparse.ArgumentParser) -> None:
    """--transform CHILD X Y Z QX QY QZ QW (repeatable): static transforms for set_transforms()."""
    parser.add_argument("--transform", nargs=8, action="append", default=[],
                        metavar=("CHILD", "X", "Y", "Z", "QX", "QY", "QZ", "QW"),
                        help="a static transform of frame CHILD (a camera's prim path) in 'world': translation "
                        "and rotation quaternion, on /transforms (repeatable)")


def set_transforms(target: Any, args: argparse.Namespace) -> None:
    """Sets each --transform on `target` (a Recorder or a LiveServer); UsageError for a bad one."""
    for child, *numbers in args.transform:
        try:
            values = [float(n) for n in numbers]
            target.set_static_transform(child, values[:3], values[3:])
        except ValueError as error:
            raise UsageError(f"--transform {child}: {error}") from None


def websocket_url(http_url: str) -> str:
    try:
        return _constants.websocket_url(http_url)
    except ValueError:
        raise UsageError(f"--bridge must be an http:// or https:// URL (or give --ws): {http_url!r}") from None


def make_client(args: argparse.Namespace) -> corvane.Client:
    bridge = args.bridge or os.environ.get(ENVIRONMENT_BRIDGE) or DEFAULT_BRIDGE
    args.bridge_url = bridge  # for the messages of failures
    if args.retries < 0:
        raise UsageError("--retries must be 0 or more")
    try:
        return corvane.Client("corvane-cli", bridge, args.ws or websocket_url(bridge), args.timeout, args.retries,
                              headers=args.header, ca_file=args.ca_file, proxy=args.proxy)
    except ValueError as error:
        raise UsageError(f"bad connection option: {error}") from None


def load_json(text: str, what: str) -> Any:
    """`text` parsed as JSON; a UsageError that says where it fails otherwise."""
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise UsageError(f"bad JSON {what}: {error.msg} at line {error.lineno}, column {error.colno}") from None


# Colour for JSON on a terminal, when Pygments is there and NO_COLOR is not set.
def _colourer(stream: IO[str]) -> Optional[Callable[[str], str]]:
    if os.environ.get("NO_COLOR") or not stream.isatty():
        return None
    try:
        from pygments import highlight
        from pygments.formatters import TerminalFormatter
        from pygments.lexers import JsonLexer
    except ImportError:
        return None
    return lambda text: str(highlight(text, JsonLexer(), TerminalFormatter())).rstrip("\n")


def print_json(value: Any, stream: Optional[IO[str]] = None) -> None:
    out = stream or sys.stdout
    text = json.dumps(value, indent=2, ensure_ascii=False)
    colour = _colourer(out)
    print(colour(text) if colour else text, file=out, flush=True)


def bridge_reason(status: int, body: bytes) -> str:
    """"404 Not Found: <the bridge's error text>" from a failure reply."""
    try:
        phrase = http.HTTPStatus(status).phrase
    except ValueError:
        phrase = "status"
    text = body.decode("utf-8", errors="replace").strip()
    try:
        document = json.loads(text)
        if isinstance(document, dict) and isinstance(document.get("error"), str):
            text = document["error"]
    except ValueError:
        pass
    if len(text) > 300:
        text = text[:300] + "..."
    return f"{status} {phrase}" + (f": {text}" if text else "")


def describe(error: BaseException, args: argparse.Namespace) -> str:
    if isinstance(error, corvane.HTTPError):
        return f"the bridge answered {bridge_reason(error.status, error.body)}"
    if isinstance(error, corvane.TransportError):
        tries = "1 attempt" if error.attempts == 1 else f"{error.attempts} attempts"
        return f"cannot reach the bridge at {getattr(args, 'bridge_url', '?')} ({tries}): {error}"
    if isinstance(error, corvane.HandshakeError) and error.http_status:
        return f"the bridge refused the stream {error.url}: {bridge_reason(error.http_status, b'')}"
    if isinstance(error, corvane.HandshakeError):
        return f"cannot open the stream: {error}"
    if isinstance(error, (ValueError, TypeError, corvane.Error, OSError, Failure)):
        return str(error)
    return f"unexpected {type(error).__name__}: {error}"


def run(handler: Handler, args: argparse.Namespace, prog: str) -> int:
    """Runs a command: its failures become one line on stderr and an exit status, never a traceback."""
    try:
        return handler(args)
    except UsageError as error:
        status, message = EXIT_USAGE, str(error)
    except (Failure, corvane.Error, OSError) as error:
        if isinstance(error, BrokenPipeError):  # a reader such as `head` went away: not a failure of ours
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 0
        malformed = isinstance(error, corvane.TransportError) and error.kind == corvane.TransportErrorKind.MALFORMED_URL
        status, message = EXIT_USAGE if malformed else EXIT_FAILED, describe(error, args)
    except (ValueError, TypeError) as error:  # an argument the library refused before sending anything
        status, message = EXIT_USAGE, describe(error, args)
    except KeyboardInterrupt:
        status, message = EXIT_INTERRUPTED, "interrupted"
    except Exception as error:  # never a traceback: one line, whatever went wrong
        status, message = EXIT_FAILED, describe(error, args)
    print(f"{prog}: {message}", file=sys.stderr)
    return status


def usable_folder(path: str) -> str:
    """Checks, creating nothing, that `path` is a folder or can be made one; a UsageError otherwise."""
    parent = os.path.abspath(path)
    while not os.path.exists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent) or not os.access(parent, os.W_OK | os.X_OK):
        problem = "not a folder" if not os.path.isdir(parent) else "not writable"
        raise UsageError(f"cannot write to the output folder {path}: {parent} is {problem}")
    return path


def writable_folder(path: str) -> str:
    """Creates `path` if needed; a UsageError when it cannot be a folder to write in."""
    try:
        os.makedirs(path, exist_ok=True)
        with tempfile.TemporaryFile(dir=path):
            pass
    except OSError as error:
        raise UsageError(f"cannot write to the output folder {path}: {error.strerror or error}") from None
    return path


@contextlib.contextmanager
def temporary_path(path: str) -> Iterator[str]:
    """A temporary name in `path`'s folder to write the file under, renamed to `path` once the block ends
    without an exception: a failed or interrupted write leaves nothing behind."""
    folder, name = os.path.split(path)
    try:
        descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder or ".")
    except OSError as error:
        raise Failure(f"cannot write {path}: {error.strerror or error}") from None
    os.close(descriptor)
    try:
        yield temporary
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


@contextlib.contextmanager
def atomic_file(path: str) -> Iterator[IO[bytes]]:
    """A file written whole or not at all (temporary_path)."""
    with temporary_path(path) as temporary, open(temporary, "wb") as file:
        yield file


def add_prim(parser: argparse.ArgumentParser, help: str = "the prim path, e.g. /World/arm") -> None:
    parser.add_argument("prim", metavar="PRIM", help=help)


def leaf(subparsers: Any, name: str, parents: List[argparse.ArgumentParser], handler: Handler, summary: str,
         **keywords: Any) -> argparse.ArgumentParser:
    """A command that runs `handler`: its one-line summary is its --help description as well."""
    parser: argparse.ArgumentParser = subparsers.add_parser(name, parents=parents, help=summary,
                                                            description=keywords.pop("description", summary),
                                                            **keywords)
    parser.set_defaults(handler=handler)
    return parser


def family_command(family: str, operation: Callable[[Any, argparse.Namespace], Any]) -> Handler:
    """A command that runs `operation` on the client's `family` object and prints its JSON result."""

    def handler(args: argparse.Namespace) -> int:
        result = operation(getattr(make_client(args), family), args)
        if result is not None:
            print_json(result)
        return 0

    return handler
