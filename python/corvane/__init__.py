"""corvane: drive a robotics scene in a simulator through its bridge (REST over HTTP, WebSocket streams).

A thin binding over the C++ library: the same client with its retries, typed errors and streams, and camera
outputs that numpy reads in place::

    import corvane, numpy

    client = corvane.Client("controller", "http://127.0.0.1:8000", "ws://127.0.0.1:8000", timeout=5.0)
    client.articulation.create("/World/arm")
    limits = client.articulation.get_dof_limits("/World/arm")      # the bridge's JSON as dict/list/...
    frame = client.camera.capture("/World/camera", ["rgb", "depth"])
    rgb = frame["rgb"]                                              # numpy array on the frame's own bytes

The GIL is released during every network wait, so threads may share one client; corvane.aio has the same
client for asyncio. The compiled part is
built for one interpreter (Debian's /usr/bin/python3).
"""

from typing import Any as _Any
from typing import Dict as _Dict
from typing import List as _List
from typing import NamedTuple as _NamedTuple
from typing import Union as _Union

from ._corvane import (
    JSON_NULL,
    Articulation,
    AxisLimits,
    AxisRange,
    BatchResult,
    Camera,
    Client,
    FailedAttempt,
    Frame,
    LiveServer,
    Output,
    ReconnectEvent,
    ReconnectingStream,
    ReconnectPolicy,
    Recorder,
    RecorderSlot,
    ReopenAttempt,
    Response,
    RetryPolicy,
    Stream,
    StreamStats,
    SurfaceGripper,
    __version__,
)
from ._errors import (
    Error,
    FrameError,
    FrameErrorKind,
    HandshakeError,
    HTTPError,
    InterruptedError,
    RecordingError,
    SetupError,
    StreamError,
    TransportError,
    TransportErrorKind,
)


class BatchRequest(_NamedTuple):
    """One request of Client.batch (a plain tuple (method, path) or (method, path, body) does as well): the
    method ("GET", "POST", "PUT", "PATCH", "DELETE"), the path, and the body (str, bytes, or a dict or list
    sent as compact JSON)."""

    method: str
    path: str
    body: _Union[str, bytes, _Dict[str, _Any], _List[_Any]] = ""


# The C++ names, for readers coming from the C++ library.
IsaacSimClient = Client
WebSocketStream = Stream
CameraFrame = Frame
CameraOutput = Output

__all__ = [
    "JSON_NULL",
    "Articulation",
    "AxisLimits",
    "AxisRange",
    "BatchRequest",
    "BatchResult",
    "Camera",
    "CameraFrame",
    "CameraOutput",
    "Client",
    "Error",
    "FailedAttempt",
    "Frame",
    "FrameError",
    "FrameErrorKind",
    "HTTPError",
    "HandshakeError",
    "InterruptedError",
    "IsaacSimClient",
    "LiveServer",
    "Output",
    "ReconnectEvent",
    "ReconnectPolicy",
    "ReconnectingStream",
    "Recorder",
    "RecorderSlot",
    "RecordingError",
    "ReopenAttempt",
    "Response",
    "RetryPolicy",
    "SetupError",
    "Stream",
    "StreamError",
    "StreamStats",
    "SurfaceGripper",
    "TransportError",
    "TransportErrorKind",
    "WebSocketStream",
    "__version__",
]


def __dir__() -> _List[str]:
    """The library's names: what __all__ lists and the submodules (aio, testing)."""
    return sorted(set(__all__) | {"aio", "testing"})
