"""Each failure raises its own corvane.Error subclass with the C++ message and fields, from a real failure."""

import socket
from typing import Callable, List

import pytest

import corvane
from conftest import CannedServer


def closed_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def test_http_frame_and_setup_errors(canned: CannedServer) -> None:
    canned.replies["/articulations//A/joints_state"] = (404, b'{"error":"no such articulation"}')
    canned.replies["/cameras//C/capture"] = (200, b"PNG?")
    client = canned.client()
    with pytest.raises(corvane.HTTPError) as http:
        client.articulation.get_joints_state("/A")
    assert (str(http.value), http.value.message, http.value.status, http.value.body) == (
        "Bridge returned status 404: no such articulation", "Bridge returned status 404", 404,
        b'{"error":"no such articulation"}')
    assert repr(http.value) == "HTTPError(status=404, reason='no such articulation')"
    assert isinstance(http.value, corvane.Error) and isinstance(http.value, RuntimeError)
    with pytest.raises(corvane.FrameError) as frame:
        client.camera.capture("/C")
    assert str(frame.value) == 'camera response is not a binary frame: expected it to start with "CVB1"'
    assert frame.value.kind == corvane.FrameErrorKind.NOT_A_FRAME
    sent = len(canned.requests)
    with pytest.raises(corvane.SetupError) as setup:  # libcurl refuses option strings above 8 MB
        client.get("a" * 9_000_000)
    assert str(setup.value).startswith("curl_easy_setopt failed: ") and setup.value.code == 43
    assert len(canned.requests) == sent


def test_http_error_reasons(canned: CannedServer) -> None:
    client = canned.client()
    for body, text in [(b'{"detail": [{"loc": 1}]}', 'Bridge returned status 400: [{"loc": 1}]'),
                       (b'{"message": "busy"}', "Bridge returned status 400: busy"),
                       (b"\xff" + b"x" * 300, "Bridge returned status 400: \ufffd" + "x" * 199),
                       (b"", "Bridge returned status 400")]:
        canned.replies["/r"] = (400, body)
        response = client.post("/r", {"b": [1], "a": "\u00e9"})
        assert (response.ok, response.text) == (False, body.decode("utf-8", "replace"))
        with pytest.raises(corvane.HTTPError) as raised:
            response.raise_for_status()
        assert str(raised.value) == text
    assert canned.requests[-1].body == '{"a":"\u00e9","b":[1]}'.encode()
    canned.replies["/r"] = (200, b"{}")
    assert client.get("/r").ok
    client.get("/r").raise_for_status()


def test_transport_errors_come_after_the_retries() -> None:
    port = closed_port()
    client = corvane.Client("t", f"http://127.0.0.1:{port}", f"ws://127.0.0.1:{port}", timeout=2.0, max_retries=1)
    with pytest.raises(corvane.TransportError) as error:
        client.get("/anything")
    assert str(error.value) == "HTTP request failed: Could not connect to server"
    assert (error.value.code, error.value.kind, error.value.attempts) == (7, "connectionRefused", 2)


def test_stream_errors(client: corvane.Client) -> None:
    with pytest.raises(corvane.HandshakeError) as handshake:
        client.open_joint_position_stream("/World/nothing")
    url = client.websocket_base_url + "articulations//World/nothing/stream_joint_positions"
    assert str(handshake.value) == (
        f"WebSocket handshake failed for {url}: HTTP response code said error (status 404)")
    assert (handshake.value.url, handshake.value.http_status, handshake.value.code) == (url, 404, 22)
    assert handshake.value.status == 404
    client.articulation.create("/World/errors")
    stream = client.articulation.stream_joint_positions("/World/errors")
    stream.close()
    with pytest.raises(corvane.StreamError, match="^receive\\(\\) called on a closed WebSocketStream$") as closed:
        stream.receive()
    assert closed.value.code == 0 and not stream.is_open


def test_invalid_arguments_are_value_errors() -> None:
    for arguments, message in [(("", "ws://h"), "base_url must not be empty"), (("http://h", ""),
                               "websocket_base_url must not be empty")]:
        with pytest.raises(ValueError, match=message):
            corvane.Client("t", *arguments)
    with pytest.raises(ValueError, match="timeout must be positive"):
        corvane.Client("t", "http://h", "ws://h", timeout=0)
    with pytest.raises(ValueError, match="max_retries must not be negative"):
        corvane.Client("t", "http://h", "ws://h", max_retries=-1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'proxie'"):
        corvane.Client("t", "http://h", "ws://h", proxie="http://p")  # type: ignore[call-arg]
    assert corvane.Client("t", "http://h", "ws://h", timeout=0.0001).timeout == 0.001  # rounded up, not to 0
    client = corvane.Client("t", "http://h", "ws://h")
    calls: List[Callable[[], object]] = [lambda: client.get("/World/\udcff"),
                                         lambda: client.articulation.create("/W/\udcff"),
                                         lambda: client.articulation.set_driven_joints("/W", ["j\udcff"])]
    for call in calls:
        with pytest.raises(ValueError, match="^(path|prim_path|joint_names) holds a lone surrogate at index"):
            call()
    for body in [3, 1.5, None, object()]:
        with pytest.raises(TypeError, match="body must be str, bytes, dict or list"):
            client.batch([("POST", "/x", body)])  # type: ignore[list-item]
        with pytest.raises(TypeError, match="body must be str, bytes, dict or list"):
            client.post("/x", body)  # type: ignore[arg-type]
