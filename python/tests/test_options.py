"""Client options reach the wire or the call; bad values fail at construction; Ctrl-C ends a retry series."""

import os
import signal
import socket
import threading
import time
from typing import Iterator, List

import pytest

import corvane
from conftest import CannedServer


@pytest.fixture
def silent_url() -> Iterator[str]:
    """A server that takes connections (the kernel's backlog) and never answers."""
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        yield f"http://127.0.0.1:{silent.getsockname()[1]}/"


def test_headers_and_proxy_reach_the_request(canned: CannedServer) -> None:
    client = corvane.Client("o", "http://bridge.invalid/", "ws://bridge.invalid/", max_retries=0,
                            headers={"Authorization": "Bearer t0k"}, proxy=canned.url)
    assert client.get("/articulations").status == 200
    request = canned.requests[-1]
    assert request.path == "http://bridge.invalid/articulations"  # the proxy saw the absolute URL
    assert request.headers["Authorization"] == "Bearer t0k"


def test_bad_options_fail_at_construction() -> None:
    with pytest.raises(ValueError, match="^headers\\[1\\] must not contain CR, LF"):
        corvane.Client("o", "http://h", "ws://h", headers=["X-A: 1", "X-B: 2\r\nHost: evil"])
    with pytest.raises(ValueError, match="^deadline must be positive$"):
        corvane.Client("o", "http://h", "ws://h", deadline=0.0)
    with pytest.raises(TypeError, match="interrupted must be a callable"):
        corvane.Client("o", "http://h", "ws://h", interrupted=True)  # type: ignore[arg-type]


def test_deadline_and_the_interrupted_callable(silent_url: str) -> None:
    late = corvane.Client("d", silent_url, "ws://h/", timeout=5.0, max_retries=3, deadline=0.3)
    started = time.monotonic()
    with pytest.raises(corvane.TransportError) as ended:
        late.get("/x")
    assert ended.value.kind == corvane.TransportErrorKind.DEADLINE_EXCEEDED and time.monotonic() - started < 3
    asked: List[float] = []

    def third_time() -> bool:
        asked.append(time.monotonic())
        return len(asked) >= 3

    stopping = corvane.Client("i", silent_url, "ws://h/", timeout=5.0, interrupted=third_time)
    with pytest.raises(corvane.InterruptedError, match="^Call interrupted$") as stopped:
        stopping.get("/x")
    assert isinstance(stopped.value, corvane.Error) and len(asked) == 3

    def failing() -> bool:
        raise LookupError("the hook's own")

    with pytest.raises(LookupError, match="the hook's own"):
        corvane.Client("f", silent_url, "ws://h/", interrupted=failing).get("/x")


def test_ctrl_c_ends_a_retry_series(canned: CannedServer) -> None:
    canned.replies["/busy"] = (503, b"")
    client = corvane.Client("r", canned.url, "ws://h/", max_retries=8)  # pauses of 0.4, 0.8, 1.5, 3, 6 s...
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        client.get("/busy")
    assert time.monotonic() - started < 2.5


def test_the_caps(canned: CannedServer) -> None:
    canned.replies["/big"] = (200, b"x" * 4096)
    client = corvane.Client("c", canned.url, "ws://h/", max_retries=3, max_connections=2, max_reply_bytes=4095)
    assert (client.max_connections, client.max_reply_bytes) == (2, 4095)
    with pytest.raises(corvane.TransportError, match="larger than maxReplyBytes") as capped:
        client.get("/big")
    assert capped.value.kind == corvane.TransportErrorKind.REPLY_TOO_LARGE and capped.value.attempts == 1
    assert [r.ok for r in client.batch([("GET", "/a")] * 5)] == [True] * 5
    with pytest.raises(ValueError, match="^maxConnections must be positive$"):
        corvane.Client("c", "http://h", "ws://h", max_connections=0)


def test_a_retry_policy_for_motion(canned: CannedServer, silent_url: str) -> None:
    motion = corvane.RetryPolicy(statuses=[408, 429], transport_error_methods=["GET"], first_pause=0.01,
                                 largest_pause=0.01)
    canned.replies["/conflict"] = (409, b"{}")
    client = corvane.Client("m", canned.url, "ws://h/", max_retries=2, retry_policy=motion)
    assert client.retry_policy is not None and client.retry_policy.statuses == [408, 429]
    assert client.post("/conflict").status == 409 and len(canned.requests) == 1, "409 is final"
    silent = corvane.Client("s", silent_url, "ws://h/", timeout=0.2, max_retries=2, retry_policy=motion)
    stalled = silent.batch([("POST", "/x"), ("GET", "/x")])
    attempts = [r.error.attempts for r in stalled if isinstance(r.error, corvane.TransportError)]
    assert attempts == [1, 3], "a POST is not sent again after a timeout"
    with pytest.raises(ValueError, match="^retryPolicy: unsupported HTTP method: post$"):
        corvane.Client("m", canned.url, "ws://h/", retry_policy=corvane.RetryPolicy(transport_error_methods=["post"]))
