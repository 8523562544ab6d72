"""corvane for asyncio: the same client, every call a coroutine.

    client = corvane.aio.AsyncClient("app", "http://127.0.0.1:8000", "ws://127.0.0.1:8000", timeout=5.0)
    states = await asyncio.gather(*(client.articulation.get_joints_state(p) for p in paths))
    async with client.articulation.stream_joint_positions("/World/arm") as stream:
        async for sample in stream:
            ...

Each call runs the synchronous client's call on a worker thread (the GIL is released while it waits), so
concurrent awaits run at the same time. Every call has its own stop flag, watched by the library's
interruption hook: cancelling the awaiting task (task.cancel(), asyncio.wait_for, asyncio.timeout, Ctrl-C
under asyncio.run) raises the flag, the call ends within about 100 ms (a stream handshake within about a
second), and the CancelledError is raised once the worker is free again: no thread is left waiting on the
network. The workers are a pool of up to MAX_THREADS threads shared by every AsyncClient.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import math
import threading
import time
from types import TracebackType
from typing import (Any, Awaitable, Callable, Dict, Generator, Generic, Iterable, List, Literal, Optional, Sequence,
                    Type, TypeVar, Union)

from ._corvane import (BatchResult, Client, FailedAttempt, Frame, ReconnectEvent, ReconnectPolicy, ReopenAttempt,
                       Response, Stream, StreamStats, _StopFlag)
from ._corvane import ReconnectingStream as _SyncReconnectingStream
from ._errors import StreamError

__all__ = ["AsyncClient", "AsyncArticulation", "AsyncSurfaceGripper", "AsyncCamera", "AsyncStream",
           "ReconnectingStream", "MAX_THREADS"]

MAX_THREADS = 256
"""The most calls that run at once, over every AsyncClient; more wait for a free worker."""

_SLICE = 0.1  # a stream wait looks at its stop flag this often (seconds)

_T = TypeVar("_T")
_pool: Optional[concurrent.futures.ThreadPoolExecutor] = None
_pool_lock = threading.Lock()


def _workers() -> concurrent.futures.ThreadPoolExecutor:
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = concurrent.futures.ThreadPoolExecutor(MAX_THREADS, thread_name_prefix="corvane-aio")
        return _pool


async def _in_thread(call: Callable[[], _T], flag: _StopFlag) -> _T:
    """call() on a worker. When the awaiting task is cancelled, raises `flag` (which ends the call), waits
    for the worker to finish, and raises the CancelledError."""
    work = _workers().submit(call)
    done = asyncio.wrap_future(work)
    try:
        return await asyncio.shield(done)
    except asyncio.CancelledError:
        flag.set()
        if not work.cancel():  # already running: it ends at the flag's next look
            while not done.done():
                try:
                    await asyncio.wait([done])
                except asyncio.CancelledError:
                    pass  # a second request to cancel: the first is already being served
            if not done.cancelled():
                done.exception()  # the call's InterruptedError: retrieved, never reported as lost
        raise


async def _run(client: Client, operation: Callable[[Client], _T]) -> _T:
    flag = _StopFlag()
    sibling = client._cancellable(flag)
    return await _in_thread(lambda: operation(sibling), flag)


class AsyncClient:
    """The client for asyncio: the constructor of corvane.Client (same arguments and keyword options), and
    every verb, family operation, batch and capture as a coroutine (see the module's documentation for how
    calls run and are cancelled). Raises what the synchronous call raises."""

    def __init__(self, label: str, base_url: str, websocket_base_url: str, timeout: float = 10.0,
                 max_retries: int = 3, **options: Any) -> None:
        self._set(Client(label, base_url, websocket_base_url, timeout, max_retries, **options))

    def _set(self, client: Client) -> None:
        self._client = client
        self.articulation = AsyncArticulation(client)
        """The articulation family, its operations coroutines."""
        self.surface_gripper = AsyncSurfaceGripper(client)
        """The surface gripper family, its operations coroutines."""
        self.camera = AsyncCamera(client)
        """The camera family, its operations coroutines."""

    @classmethod
    def from_client(cls, client: Client) -> AsyncClient:
        """An AsyncClient running its calls through `client` (shared with its synchronous users)."""
        made = cls.__new__(cls)
        made._set(client)
        return made

    @property
    def client(self) -> Client:
        """The synchronous client the calls run through."""
        return self._client

    def with_options(self, **options: Any) -> AsyncClient:
        """A sibling with other keyword options, as Client.with_options (sharing the kept connections)."""
        return AsyncClient.from_client(self._client.with_options(**options))

    def __repr__(self) -> str:
        return f"corvane.aio.AsyncClient({self._client!r})"

    async def get(self, path: str) -> Response:
        """GET `path`; the Response whatever its status (see Client.get)."""
        return await _run(self._client, lambda c: c.get(path))

    async def post(self, path: str, body: Union[str, bytes, Dict[str, Any], List[Any]] = "") -> Response:
        """POST `body` (str, bytes, or a dict or list as compact JSON) to `path` (see Client.post)."""
        return await _run(self._client, lambda c: c.post(path, body))

    async def put(self, path: str, body: Union[str, bytes, Dict[str, Any], List[Any]] = "") -> Response:
        """PUT `body` to `path` (see Client.post)."""
        return await _run(self._client, lambda c: c.put(path, body))

    async def patch(self, path: str, body: Union[str, bytes, Dict[str, Any], List[Any]] = "") -> Response:
        """PATCH `body` to `path` (see Client.post)."""
        return await _run(self._client, lambda c: c.patch(path, body))

    async def delete(self, path: str) -> Response:
        """DELETE `path` (see Client.delete)."""
        return await _run(self._client, lambda c: c.delete(path))

    async def delete_request(self, path: str) -> Response:
        """The same as delete()."""
        return await self.delete(path)

    async def batch(self, requests: Iterable[Any]) -> List[BatchResult]:
        """Performs the requests together on one worker (see Client.batch); cancelling ends every entry."""
        planned = list(requests)
        return await _run(self._client, lambda c: c.batch(planned))

    def open_joint_position_stream(self, prim_path: str) -> _Opening[AsyncStream]:
        """Opens the joint-position stream of the articulation at `prim_path`: await it for an AsyncStream,
        or use it in ``async with`` (closing the stream at the end). Raises HandshakeError."""
        return _open_stream(self._client, lambda c: c.open_joint_position_stream(prim_path))

    def open_articulation_state_stream(self, prim_path: str) -> _Opening[AsyncStream]:
        """Opens the articulation-state stream of the articulation at `prim_path`; as above."""
        return _open_stream(self._client, lambda c: c.open_articulation_state_stream(prim_path))


class _Family:
    def __init__(self, client: Client) -> None:
        self._client = client

    def _run(self, operation: Callable[[Client], _T]) -> Awaitable[_T]:
        return _run(self._client, operation)


class AsyncArticulation(_Family):
    """client.articulation for asyncio: each operation of corvane.Articulation as a coroutine."""

    async def create(self, prim_path: str, urdf_path: Optional[str] = None) -> Any:
        """See Articulation.create: PUT /articulations; the bridge's JSON reply."""
        return await self._run(lambda c: c.articulation.create(prim_path, urdf_path))

    async def remove(self, prim_path: str) -> None:
        """See Articulation.remove: DELETE /articulations/<prim_path>."""
        await self._run(lambda c: c.articulation.remove(prim_path))

    async def get_driver_joint(self, prim_path: str) -> Any:
        """See Articulation.get_driver_joint."""
        return await self._run(lambda c: c.articulation.get_driver_joint(prim_path))

    async def set_driven_joints(self, prim_path: str, joint_names: Sequence[str]) -> Any:
        """See Articulation.set_driven_joints."""
        return await self._run(lambda c: c.articulation.set_driven_joints(prim_path, joint_names))

    async def get_dof_limits(self, prim_path: str) -> Any:
        """See Articulation.get_dof_limits."""
        return await self._run(lambda c: c.articulation.get_dof_limits(prim_path))

    async def get_joints_state(self, prim_path: str) -> Any:
        """See Articulation.get_joints_state."""
        return await self._run(lambda c: c.articulation.get_joints_state(prim_path))

    async def set_joint_positions(self, prim_path: str, positions: Any, indices: Any = None) -> Any:
        """See Articulation.set_joint_positions."""
        return await self._run(lambda c: c.articulation.set_joint_positions(prim_path, positions, indices))

    async def move_joint_positions(self, prim_path: str, positions: Any, indices: Any = None,
                                   asynchronous: bool = False) -> Any:
        """See Articulation.move_joint_positions (a long move needs a client with a longer timeout)."""
        return await self._run(
            lambda c: c.articulation.move_joint_positions(prim_path, positions, indices, asynchronous))

    async def assemble_robot(self, prim_path: str, gripper_id: str, arm_mount_link: str,
                             gripper_mount_link: Optional[str] = None, offset: Any = None,
                             mask_collisions: bool = True) -> Any:
        """See Articulation.assemble_robot."""
        return await self._run(lambda c: c.articulation.assemble_robot(
            prim_path, gripper_id, arm_mount_link, gripper_mount_link, offset, mask_collisions))

    def stream_joint_positions(self, prim_path: str) -> _Opening[AsyncStream]:
        """Opens the joint-position stream: await it, or ``async with`` it (see AsyncClient)."""
        return _open_stream(self._client, lambda c: c.articulation.stream_joint_positions(prim_path))

    def stream_articulation_state(self, prim_path: str) -> _Opening[AsyncStream]:
        """Opens the articulation-state stream: await it, or ``async with`` it (see AsyncClient)."""
        return _open_stream(self._client, lambda c: c.articulation.stream_articulation_state(prim_path))


class AsyncSurfaceGripper(_Family):
    """client.surface_gripper for asyncio: each operation of corvane.SurfaceGripper as a coroutine."""

    async def create(self, prim_path: str) -> Any:
        """See SurfaceGripper.create."""
        return await self._run(lambda c: c.surface_gripper.create(prim_path))

    async def remove(self, prim_path: str) -> None:
        """See SurfaceGripper.remove."""
        await self._run(lambda c: c.surface_gripper.remove(prim_path))

    async def get(self, prim_path: str) -> Any:
        """See SurfaceGripper.get."""
        return await self._run(lambda c: c.surface_gripper.get(prim_path))

    async def close(self, prim_path: str, asynchronous: bool = False) -> Any:
        """See SurfaceGripper.close."""
        return await self._run(lambda c: c.surface_gripper.close(prim_path, asynchronous))

    async def open(self, prim_path: str, asynchronous: bool = False) -> Any:
        """See SurfaceGripper.open."""
        return await self._run(lambda c: c.surface_gripper.open(prim_path, asynchronous))

    async def get_status(self, prim_path: str) -> Any:
        """See SurfaceGripper.get_status."""
        return await self._run(lambda c: c.surface_gripper.get_status(prim_path))

    async def get_properties(self, prim_path: str) -> Any:
        """See SurfaceGripper.get_properties."""
        return await self._run(lambda c: c.surface_gripper.get_properties(prim_path))

    async def get_attachment_points(self, prim_path: str) -> Any:
        """See SurfaceGripper.get_attachment_points."""
        return await self._run(lambda c: c.surface_gripper.get_attachment_points(prim_path))

    async def set_properties(self, prim_path: str, **settings: Any) -> Any:
        """See SurfaceGripper.set_properties (the same keyword arguments)."""
        return await self._run(lambda c: c.surface_gripper.set_properties(prim_path, **settings))

    async def set_attachment_point_properties(self, prim_path: str, **settings: Any) -> Any:
        """See SurfaceGripper.set_attachment_point_properties (the same keyword arguments)."""
        return await self._run(lambda c: c.surface_gripper.set_attachment_point_properties(prim_path, **settings))


class AsyncCamera(_Family):
    """client.camera for asyncio: each operation of corvane.Camera as a coroutine."""

    async def create(self, prim_path: str, resolution: Any = None, frequency: Optional[float] = None) -> Any:
        """See Camera.create."""
        return await self._run(lambda c: c.camera.create(prim_path, resolution, frequency))

    async def remove(self, prim_path: str) -> None:
        """See Camera.remove."""
        await self._run(lambda c: c.camera.remove(prim_path))

    async def capture(self, prim_path: str, data_types: Union[str, Sequence[str], None] = None,
                      world_frame: Optional[bool] = None) -> Frame:
        """See Camera.capture: the decoded Frame."""
        return await self._run(lambda c: c.camera.capture(prim_path, data_types, world_frame))

    async def capture_all(self, prim_paths: Sequence[str], data_types: Union[str, Sequence[str], None] = None,
                          world_frame: Optional[bool] = None) -> List[Frame]:
        """See Camera.capture_all: every camera at once, the Frames in order."""
        return await self._run(lambda c: c.camera.capture_all(prim_paths, data_types, world_frame))


_Synchronous = Union[Stream, _SyncReconnectingStream]
_S = TypeVar("_S", bound="AsyncStream")


def _finished(stream: _Synchronous) -> bool:
    """Whether waiting on `stream` is over: closed here or by the bridge (a reconnecting one reopens)."""
    return isinstance(stream, Stream) and (not stream.is_open or stream.close_code is not None)


def _receive_for(stream: _Synchronous, seconds: float, flag: _StopFlag) -> Optional[bytes]:
    """receive_for in slices, looking at `flag` between them (runs on a worker)."""
    end = time.monotonic() + seconds
    while True:
        left = end - time.monotonic()
        sample = stream.receive_for(min(max(left, 0.0), _SLICE))
        if sample is not None or left <= _SLICE or flag.is_set() or _finished(stream):
            return sample


class AsyncStream:
    """A stream (corvane.Stream) for asyncio: ``async with`` closes it, ``async for sample in stream``
    yields each sample (bytes) until the bridge closes the stream. Waits run on a worker and end within
    about 100 ms of a cancellation; one operation at a time per stream."""

    def __init__(self, stream: _Synchronous) -> None:
        self._stream = stream
        self._flag = _StopFlag()

    @property
    def stream(self) -> _Synchronous:
        """The synchronous stream underneath."""
        return self._stream

    async def _call(self, call: Callable[[], _T]) -> _T:
        try:
            return await _in_thread(call, self._flag)
        finally:
            self._flag.clear()

    async def send(self, text: Union[str, bytes]) -> None:
        """Sends `text` as one text message (see Stream.send)."""
        await self._call(lambda: self._stream.send(text))

    async def send_for(self, text: Union[str, bytes], seconds: float) -> bool:
        """Sends `text` within `seconds`; True when it all went out (see Stream.send_for)."""
        return await self._call(lambda: self._stream.send_for(text, seconds))

    async def receive(self) -> Optional[bytes]:
        """The next waiting sample, or None (never waits; see Stream.receive)."""
        return await self._call(self._stream.receive)

    async def receive_for(self, seconds: float) -> Optional[bytes]:
        """The next sample within `seconds` (math.inf: no limit), or None (see Stream.receive_for)."""
        return await self._call(lambda: _receive_for(self._stream, seconds, self._flag))

    async def receive_latest(self) -> Optional[bytes]:
        """The newest waiting sample, older ones skipped, or None (see Stream.receive_latest)."""
        return await self._call(self._stream.receive_latest)

    async def stats(self) -> StreamStats:
        """What the stream has received so far."""
        return await self._call(self._stream.stats)

    async def close(self) -> None:
        """Closes the stream; nothing a second time."""
        await self._call(self._stream.close)

    async def __aenter__(self: _S) -> _S:
        return self

    async def __aexit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                        trace: Optional[TracebackType]) -> None:
        await self.close()

    def __aiter__(self: _S) -> _S:
        return self

    async def __anext__(self) -> bytes:
        while True:
            if _finished(self._stream):
                raise StopAsyncIteration
            sample = await self.receive_for(math.inf)
            if sample is not None:
                return sample

    def __repr__(self) -> str:
        return f"<corvane.aio.AsyncStream of {self._stream!r}>"


class _Opening(Generic[_S]):
    """A stream being opened: await it for the stream, or use it in ``async with`` (closed at the end)."""

    def __init__(self, open_: Callable[[], Awaitable[_S]]) -> None:
        self._open = open_
        self._stream: Optional[_S] = None

    def __await__(self) -> Generator[Any, None, _S]:
        return self._open().__await__()

    async def __aenter__(self) -> _S:
        self._stream = await self._open()
        return self._stream

    async def __aexit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                        trace: Optional[TracebackType]) -> None:
        if self._stream is not None:
            await self._stream.close()


def _open_stream(client: Client, open_: Callable[[Client], Stream]) -> _Opening[AsyncStream]:
    async def opened() -> AsyncStream:
        return AsyncStream(await _run(client, open_))
    return _Opening(opened)


class ReconnectingStream(AsyncStream):
    """corvane.ReconnectingStream for asyncio, with the same arguments (`client` an AsyncClient or a
    Client). Nothing is opened until ``async with`` or ``await stream.open()``. The callbacks run on a
    worker thread (reach the event loop with loop.call_soon_threadsafe). Reopening counts as one call:
    a cancellation ends it within about a second."""

    def __init__(self, client: Union[AsyncClient, Client], kind: Literal["joint_positions", "articulation_state"],
                 prim_path: str, *,
                 policy: Optional[ReconnectPolicy] = None, opening_messages: Sequence[str] = (),
                 before_reopen: Optional[Callable[[ReopenAttempt], object]] = None,
                 on_reconnect: Optional[Callable[[ReconnectEvent], object]] = None,
                 after_failed_attempt: Optional[Callable[[FailedAttempt], object]] = None) -> None:
        self._flag = _StopFlag()
        synchronous = client.client if isinstance(client, AsyncClient) else client
        sibling = synchronous._cancellable(self._flag)  # its handshakes stop at this stream's flag
        self._opener: Optional[Callable[[], _SyncReconnectingStream]] = lambda: _SyncReconnectingStream(
            sibling, kind, prim_path, policy=policy, opening_messages=list(opening_messages),
            before_reopen=before_reopen, on_reconnect=on_reconnect, after_failed_attempt=after_failed_attempt)
        self._stream = None  # type: ignore[assignment]

    async def open(self) -> ReconnectingStream:
        """Opens the stream (the first handshake; HandshakeError when it fails). Returns the stream."""
        if self._opener is not None:
            opener, self._opener = self._opener, None
            try:
                self._stream = await super()._call(opener)
            except BaseException:
                self._opener = opener
                raise
        return self

    async def _call(self, call: Callable[[], _T]) -> _T:
        if self._stream is None:
            raise StreamError("the reconnecting stream is not open: use async with, or await open() first")
        return await super()._call(call)

    @property
    def is_connected(self) -> bool:
        """Whether a connection is held now (False before opening)."""
        return isinstance(self._stream, _SyncReconnectingStream) and self._stream.is_connected

    async def __aenter__(self) -> ReconnectingStream:
        return await self.open()

    async def __anext__(self) -> bytes:
        if self._stream is None:
            await self.open()
        return await super().__anext__()
