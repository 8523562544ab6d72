"""corvane.aio: it mirrors every synchronous method, concurrent awaits run together, cancellation ends the call
(the bridge sees the connection closed), Ctrl-C ends asyncio.run, streams iterate."""

from __future__ import annotations

import asyncio
import inspect
import signal
import socket
import subprocess
import sys
import textwrap
import time
from typing import Awaitable, Callable, Dict, Set, Tuple

import pytest

import corvane
import corvane.aio
from conftest import CannedServer
from corvane.testing import BridgeUrls


def _methods(cls: type) -> Set[str]:
    """The public methods of a class, its properties left out (an AsyncClient's settings are its client's)."""
    return {name for name in dir(cls)
            if not name.startswith("_") and not isinstance(inspect.getattr_static(cls, name), property)}


# The intended differences, as (methods only the synchronous class has, methods only the asyncio one has).
_DIFFERENCES: Dict[str, Tuple[Set[str], Set[str]]] = {
    # An AsyncClient also wraps a client its synchronous users share.
    "Client": (set(), {"from_client"}),
    # A ReconnectingStream for asyncio opens in a coroutine (a constructor cannot await).
    "ReconnectingStream": (set(), {"open"}),
}
_MIRRORS: Tuple[Tuple[type, type], ...] = (
    (corvane.Client, corvane.aio.AsyncClient),
    (corvane.Articulation, corvane.aio.AsyncArticulation),
    (corvane.SurfaceGripper, corvane.aio.AsyncSurfaceGripper),
    (corvane.Camera, corvane.aio.AsyncCamera),
    (corvane.Stream, corvane.aio.AsyncStream),
    (corvane.ReconnectingStream, corvane.aio.ReconnectingStream),
)


@pytest.mark.parametrize("synchronous, asynchronous", _MIRRORS, ids=[s.__name__ for s, _ in _MIRRORS])
def test_every_synchronous_method_has_its_asyncio_mirror(synchronous: type, asynchronous: type) -> None:
    nothing: Set[str] = set()
    only_sync, only_async = _DIFFERENCES.get(synchronous.__name__, (nothing, nothing))
    assert _methods(synchronous) - _methods(asynchronous) == only_sync
    assert _methods(asynchronous) - _methods(synchronous) == only_async


def test_concurrent_awaits_run_together(canned: CannedServer) -> None:
    canned.delay = 0.3
    client = corvane.aio.AsyncClient("t", canned.url, "ws://h", timeout=5.0, max_retries=0)

    async def main() -> float:
        start = time.monotonic()
        responses = await asyncio.gather(*(client.post("/p", {"i": i}) for i in range(10)))
        assert [r.status for r in responses] == [200] * 10
        return time.monotonic() - start

    assert asyncio.run(main()) < 1.5  # one after another: 3 s


def cancelled_in_time(port: int, cancel: Callable[[Awaitable[object]], Awaitable[object]]) -> None:
    client = corvane.aio.AsyncClient("t", f"http://127.0.0.1:{port}", "ws://h", timeout=30.0)

    async def main() -> float:
        start = time.monotonic()
        with pytest.raises((asyncio.CancelledError, asyncio.TimeoutError)):
            await cancel(client.articulation.get_joints_state("/A"))
        return time.monotonic() - start

    assert asyncio.run(main()) < 1.0


def test_cancellation_ends_the_call() -> None:
    async def timeout(call: Awaitable[object]) -> object:
        async with asyncio.timeout(0.2):
            return await call

    async def cancel(call: Awaitable[object]) -> object:
        task = asyncio.ensure_future(call)
        asyncio.get_running_loop().call_later(0.2, task.cancel)
        return await task

    with socket.create_server(("127.0.0.1", 0)) as listener:
        port = listener.getsockname()[1]
        ways = [lambda call: asyncio.wait_for(call, 0.2), cancel]
        if sys.version_info >= (3, 11):
            ways.append(timeout)
        for way in ways:
            cancelled_in_time(port, way)
            connection, _ = listener.accept()
            connection.settimeout(2.0)
            with connection:
                while connection.recv(4096):  # the request, then the client's close: no call left running
                    pass


def test_ctrl_c_ends_asyncio_run(hanging_port: int) -> None:
    script = textwrap.dedent(f"""
        import asyncio, corvane.aio
        async def main():
            client = corvane.aio.AsyncClient("t", "http://127.0.0.1:{hanging_port}", "ws://h", timeout=60.0)
            print("ready", flush=True)
            await asyncio.gather(*(client.get("/x") for _ in range(5)))
        asyncio.run(main())
    """)
    process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout is not None and process.stdout.readline() == b"ready\n"
    time.sleep(0.3)
    start = time.monotonic()
    process.send_signal(signal.SIGINT)
    _, errors = process.communicate(timeout=10)
    assert time.monotonic() - start < 2.0 and b"KeyboardInterrupt" in errors


def test_streams_iterate_until_the_bridge_closes_them(simulated_bridge: BridgeUrls, quiet_bridge: BridgeUrls) -> None:
    synchronous = corvane.Client("t", simulated_bridge.http_url, simulated_bridge.websocket_url)
    synchronous.articulation.create("/World/it")
    with synchronous.articulation.stream_joint_positions("/World/it") as stream:
        for count, _ in enumerate(stream):
            if count == 2:
                synchronous.articulation.remove("/World/it")
    assert count >= 2 and stream.close_code == 1001
    client = corvane.aio.AsyncClient.from_client(synchronous)
    quiet = corvane.aio.AsyncClient("q", quiet_bridge.http_url, quiet_bridge.websocket_url)

    async def main() -> None:
        await client.articulation.create("/World/aio")
        async with client.articulation.stream_joint_positions("/World/aio") as stream:
            removed = False
            async for sample in stream:  # samples sent before the removal still arrive: remove once
                if not removed:
                    await client.articulation.remove("/World/aio")
                    removed = True
        assert isinstance(stream.stream, corvane.Stream)
        assert sample.startswith(b"{") and stream.stream.close_code == 1001
        await client.articulation.create("/World/aio")
        async with corvane.aio.ReconnectingStream(client, "joint_positions", "/World/aio") as reconnecting:
            assert await reconnecting.receive_for(5.0) and reconnecting.is_connected
        await quiet.articulation.create("/World/quiet")
        async with quiet.articulation.stream_joint_positions("/World/quiet") as waiting:
            start = time.monotonic()
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(waiting.receive_for(30.0), 0.2)
            assert time.monotonic() - start < 1.0 and await waiting.receive() is None  # still usable

    asyncio.run(main())
