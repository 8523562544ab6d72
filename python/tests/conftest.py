"""Fixtures: the simulated bridge (a real one, shared by a test module), a client aimed at it, and a canned
local HTTP server that records what it is sent and answers what a test tells it to."""

from __future__ import annotations

import http.server
import socket
import threading
import time
from typing import Dict, Iterator, List, NamedTuple, Tuple

import pytest

import corvane
from corvane.testing import BridgeUrls, SimulatedBridge, simulated_bridge  # noqa: F401 (a fixture)


@pytest.fixture(scope="module")
def client(simulated_bridge: BridgeUrls) -> corvane.Client:
    return corvane.Client("pytest", simulated_bridge.http_url, simulated_bridge.websocket_url, timeout=10.0,
                          max_retries=0)


@pytest.fixture(scope="module")
def quiet_bridge() -> Iterator[BridgeUrls]:
    """A bridge whose streams send nothing for 1000 s."""
    with SimulatedBridge(["--stream-rate", "0.001"]) as urls:
        yield urls


class Request(NamedTuple):
    method: str
    path: str
    body: bytes
    headers: Dict[str, str]


class CannedServer:
    """Answers every request with the reply set for its path (default: 200 "{}") and records it."""

    def __init__(self) -> None:
        self.replies: Dict[str, Tuple[int, bytes]] = {}
        self.requests: List[Request] = []
        self.delay = 0.0  # seconds before each answer
        canned = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def answer(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                canned.requests.append(Request(self.command, self.path, self.rfile.read(length), dict(self.headers)))
                status, body = canned.replies.get(self.path, (200, b"{}"))
                time.sleep(canned.delay)
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = answer

            def log_message(self, *args: object) -> None:
                pass

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self._server.server_address[1]}/"
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)
        self._thread.start()

    def client(self) -> corvane.Client:
        return corvane.Client("canned", self.url, "ws://127.0.0.1:9/", timeout=5.0, max_retries=0)

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()


@pytest.fixture
def canned() -> Iterator[CannedServer]:
    server = CannedServer()
    yield server
    server.close()


@pytest.fixture
def hanging_port() -> Iterator[int]:
    """A port that takes connections (into the backlog) and never answers."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(64)
        yield int(listener.getsockname()[1])
