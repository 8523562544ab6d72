"""Streams: the GIL is free while a receive_for waits, Ctrl-C ends one, and threads share a client."""

import os
import signal
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any

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
