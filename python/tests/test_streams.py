"""Streams: the GIL is free while a receive_for waits, Ctrl-C ends one, and threads share a client."""

import json
import os
import signal
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any, List

import pytest

import corvane
from corvane.testing import BridgeUrls


def quiet_stream(urls: BridgeUrls, prim_path: str) -> corvane.Stream:
    """A stream of a bridge that sends its first sample after 1000 s."""
    client = corvane.Client("quiet", urls.http_url, urls.websocket_url, max_retries=0)
    client.articulation.create(prim_path)
    return client.articulation.stream_joint_positions(prim_path)


def test_other_threads_run_while_receive_for_waits(quiet_bridge: BridgeUrls) -> None:
    counted = 0
    stop = threading.Event()

    def count() -> None:
        nonlocal counted
        while not stop.is_set():
            counted += 1

    with quiet_stream(quiet_bridge, "/World/gil") as stream:
        counter = threading.Thread(target=count)
        counter.start()
        started = time.monotonic()
        assert stream.receive_for(0.5) is None
        waited = time.monotonic() - started
        stop.set()
        counter.join()
    assert waited >= 0.49 and counted > 10_000 and not stream.is_open


def test_ctrl_c_ends_a_long_receive_for(quiet_bridge: BridgeUrls) -> None:
    with quiet_stream(quiet_bridge, "/World/interrupted") as stream:
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            stream.receive_for(60)
        assert time.monotonic() - started < 5 and stream.is_open


def test_a_close_from_another_thread_ends_a_waiting_receive_for(quiet_bridge: BridgeUrls) -> None:
    stream = quiet_stream(quiet_bridge, "/World/closed")
    threading.Timer(0.2, stream.close).start()
    with pytest.raises(corvane.StreamError, match="closed WebSocketStream"):
        stream.receive_for(60)


def test_threads_share_one_client(client: corvane.Client) -> None:
    client.articulation.create("/World/shared")
    def state(_: int) -> Any:
        return client.articulation.get_joints_state("/World/shared")

    with ThreadPoolExecutor(4) as pool:
        states = list(pool.map(state, range(16)))
    assert [state["prim_path"] for state in states] == ["/World/shared"] * 16


def test_latest_sample_stats_and_the_bridges_close(client: corvane.Client) -> None:
    client.articulation.create("/World/latest")
    with client.articulation.stream_joint_positions("/World/latest") as stream:
        assert stream.send_for(json.dumps({"joint_positions": [0.2], "indices": [0]}), 5.0)
        time.sleep(0.3)  # samples pile up, 60 a second
        latest = stream.receive_latest()
        stats = stream.stats()
        assert latest is not None and stats.frames_skipped >= 1
        assert stats.frames_received == stats.frames_skipped + 1 and stats.bytes_received > len(latest)
        assert stats.last_frame_at is not None and 0 <= time.monotonic() - stats.last_frame_at < 1
        open_code = stream.close_code
        assert open_code is None
        client.articulation.remove("/World/latest")
        while stream.receive_for(5) is not None:  # None at once when the close frame comes
            pass
        assert (stream.close_code, stream.close_reason) == (1001, "articulation removed")
        with pytest.raises(corvane.StreamError):
            stream.send("{}")


def test_reconnecting_stream_reopens_through_its_callbacks(client: corvane.Client) -> None:
    arm = "/World/reconnecting"
    client.articulation.create(arm)
    events: List[corvane.ReconnectEvent] = []

    def before_reopen(attempt: corvane.ReopenAttempt) -> None:
        if attempt.attempt == 1:
            raise LookupError("not yet")
        if attempt.attempt == 2:
            stream.receive()  # refused: this stream is busy reopening
        client.articulation.create(arm)

    command = json.dumps({"joint_positions": [0.3], "indices": [1]})
    policy = corvane.ReconnectPolicy(0.01, 0.02, max_attempts=10)
    with corvane.ReconnectingStream(client, "joint_positions", arm, policy=policy, opening_messages=[command],
                                    before_reopen=before_reopen, on_reconnect=events.append) as stream:
        assert stream.receive_for(5) is not None
        client.articulation.remove(arm)
        with pytest.raises(LookupError, match="not yet"):  # a callback's exception reaches the caller
            while True:
                stream.receive_for(5)
        with pytest.raises(RuntimeError, match="cannot be used from its own callbacks"):
            stream.receive_for(5)
        position = 0.0
        deadline = time.monotonic() + 20
        while abs(position - 0.3) > 1e-3 and time.monotonic() < deadline:  # the command was sent again
            sample = stream.receive_for(1)
            if sample is not None:
                position = json.loads(sample)["joint_positions"][1]
        assert abs(position - 0.3) <= 1e-3 and stream.is_connected
        assert events[0].reconnections == 1 and "articulation removed" in events[0].cause
        stats = stream.stats()
        assert stats.reconnections == 1 and stats.time_down > 0


def test_after_failed_attempt_mends_the_cause_and_the_retry_follows(client: corvane.Client) -> None:
    arm = "/World/mended"
    client.articulation.create(arm)
    failures: List[corvane.FailedAttempt] = []
    events: List[corvane.ReconnectEvent] = []

    def mend(failed: corvane.FailedAttempt) -> bool:
        failures.append(failed)
        client.articulation.create(arm)
        return True

    policy = corvane.ReconnectPolicy(0.01, 10.0)
    with corvane.ReconnectingStream(client, "joint_positions", arm, policy=policy, after_failed_attempt=mend,
                                    on_reconnect=events.append) as stream:
        assert stream.receive_for(5) is not None
        client.articulation.remove(arm)  # the bridge closes the stream; reopening is refused until mended
        deadline = time.monotonic() + 10
        while not events and time.monotonic() < deadline:
            stream.receive_for(0.5)
    assert [(f.attempt, f.http_status) for f in failures] == [(1, 404)] and events[0].attempts == 2
