"""Test helpers: the simulated bridge as a context manager, and a pytest fixture built on it.

    with corvane.testing.SimulatedBridge() as bridge:
        client = corvane.Client("test", bridge.http_url, bridge.websocket_url)

The bridge executable is looked for in this order: $CORVANE_BRIDGE_SIM; the one this package was built or
installed with; the environment's scripts folder (a venv's bin/); PATH.
"""

from __future__ import annotations

import importlib
import os
import shutil
import signal
import subprocess
import sysconfig
import threading
from types import TracebackType
from typing import IO, Iterator, NamedTuple, Optional, Sequence, Type

EXECUTABLE = "corvane-bridge-sim"


def find_bridge() -> str:
    """The path of the simulated bridge executable; FileNotFoundError when there is none."""
    candidates = []
    if os.environ.get("CORVANE_BRIDGE_SIM"):
        candidates.append(os.environ["CORVANE_BRIDGE_SIM"])
    try:  # written by the build: absolute, or relative to this folder
        built = importlib.import_module(__package__ + "._locations").BRIDGE_SIM
    except ImportError:
        pass
    else:
        candidates.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), built))
    candidates.append(os.path.join(sysconfig.get_path("scripts"), EXECUTABLE))
    on_path = shutil.which(EXECUTABLE)
    if on_path:
        candidates.append(on_path)
    for candidate in candidates:
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return os.path.normpath(candidate)
    raise FileNotFoundError(f"{EXECUTABLE} not found (looked at: {', '.join(candidates)}); set CORVANE_BRIDGE_SIM")


class BridgeUrls(NamedTuple):
    """The simulated bridge's base URLs: http_url for the REST calls, websocket_url for the streams."""

    http_url: str
    websocket_url: str


class SimulatedBridge:
    """Starts the simulated bridge on a free port of 127.0.0.1 (unless `arguments` give --port) and stops it
    on exit.

    `arguments` go to the bridge as they are, e.g. ("--stream-rate", "1000"). Entering yields the two base
    URLs (also the attributes http_url and websocket_url).
    """

    def __init__(self, arguments: Sequence[str] = (), *, executable: Optional[str] = None,
                 startup_timeout: float = 30.0) -> None:
        port = [] if "--port" in arguments else ["--port", "0"]  # a free port unless the arguments name one
        self._command = [executable or find_bridge(), *port, *arguments]
        self._startup_timeout = startup_timeout
        self._process: Optional[subprocess.Popen[str]] = None
        self.http_url = ""
        self.websocket_url = ""

    def __enter__(self) -> BridgeUrls:
        return self.start()

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self.stop()

    def start(self) -> BridgeUrls:
        """Starts the bridge and returns its URLs; RuntimeError when it does not start in time."""
        process = subprocess.Popen(self._command, stdout=subprocess.PIPE, text=True)
        self._process = process
        assert process.stdout is not None
        line = _first_line(process.stdout, self._startup_timeout)
        parts = line.split()
        if len(parts) != 2:
            self.stop()
            raise RuntimeError(f"the simulated bridge did not start (it said {line!r})")
        self.http_url, self.websocket_url = parts
        return BridgeUrls(self.http_url, self.websocket_url)

    @property
    def running(self) -> bool:
        """Whether the bridge was started and has not exited."""
        return self._process is not None and self._process.poll() is None

    def stop(self) -> None:
        """Stops the bridge (SIGTERM, then SIGKILL after 10 s). Does nothing when it is not running."""
        process, self._process = self._process, None
        if process is None:
            return
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if process.stdout is not None:
            process.stdout.close()


def _first_line(stream: IO[str], timeout: float) -> str:
    """The first line `stream` gives within `timeout` seconds, or "" (readline itself cannot time out)."""
    lines: list[str] = []
    reader = threading.Thread(target=lambda: lines.append(stream.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    return lines[0] if lines else ""


try:
    import pytest
except ImportError:  # pytest is optional: only the fixture needs it
    pass
else:

    @pytest.fixture(scope="module")
    def simulated_bridge() -> Iterator[BridgeUrls]:
        """A simulated bridge for the test module (its scene is shared by the module's tests)."""
        with SimulatedBridge() as urls:
            yield urls
