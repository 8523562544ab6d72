"""What makes the package feel native: documented names, siblings with their own limits, collectable
callbacks and results, quiet test helpers."""

from __future__ import annotations

import gc
import inspect
import os
import time
import types
import weakref
from typing import Any, Iterator

import pytest

import corvane
import corvane.aio
import corvane.testing
from corvane.testing import BridgeUrls


def documented(obj: Any) -> bool:
    """Whether `obj` has a docstring beyond the signature lines pybind11 writes on its own."""
    lines = [line for line in (inspect.getdoc(obj) or "").splitlines() if line.strip()]
    name = getattr(obj, "__name__", "")
    return any(not (name and line.startswith(name + "(")) and line != "Overloaded function." for line in lines)


def public_members(module: types.ModuleType) -> Iterator[str]:
    for name in getattr(module, "__all__", dir(module)):
        value = getattr(module, name)
        if getattr(value, "__module__", module.__name__).split(".")[0] != "corvane" or name.startswith("_"):
            continue
        if inspect.isclass(value):
            yield from (f"{module.__name__}.{name}.{member}" for member in class_members(value))
        if callable(value) or isinstance(value, property):
            yield f"{module.__name__}.{name}"


def class_members(cls: type) -> Iterator[str]:
    for member, value in vars(cls).items():
        # A Python class documents its construction in the class docstring; a compiled one on __init__.
        if member.startswith("_") and not (member == "__init__" and type(value).__name__ == "instancemethod"):
            continue
        if callable(value) or isinstance(value, (property, classmethod, staticmethod)):
            yield member
    yield ""  # the class itself


def resolve(path: str) -> Any:
    value: Any = corvane
    for part in path.split(".")[1:]:
        if part:
            value = inspect.getattr_static(value, part) if inspect.isclass(value) else getattr(value, part)
    return value


def test_every_public_name_is_documented() -> None:
    names = {name.rstrip(".") for module in (corvane, corvane.aio, corvane.testing) for name in public_members(module)}
    assert len(names) > 150 and {"corvane.Frame", "corvane.Output", "corvane.aio.AsyncClient.get"} <= names
    assert sorted(name for name in names if not documented(resolve(name))) == []
    assert not {"NamedTuple", "Union"} & set(dir(corvane)) and {"Client", "aio"} <= set(dir(corvane))


def test_siblings_have_their_own_limits(hanging_port: int) -> None:
    client = corvane.Client("t", f"http://127.0.0.1:{hanging_port}", "ws://h", timeout=30.0, max_retries=0,
                            headers={"X-A": "1"}, interrupted=lambda: False)
    hasty = client.with_options(timeout=0.2, max_retries=1)
    assert (hasty.timeout, hasty.max_retries, hasty.headers, hasty.interrupted) == (
        0.2, 1, ["X-A: 1"], client.interrupted)
    start = time.monotonic()
    with pytest.raises(corvane.TransportError) as error:
        hasty.get("/x")
    assert error.value.kind == "timeout" and error.value.attempts == 2 and time.monotonic() - start < 5.0
    assert client.timeout == 30.0 and client.with_options(deadline=None).deadline is None
    with pytest.raises(TypeError, match="unexpected keyword argument 'timeuot'"):
        client.with_options(timeuot=1.0)
    with pytest.raises(TypeError, match="timeout cannot be str"):
        client.with_options(timeout="1")
    with pytest.raises(ValueError, match="timeout must be positive"):
        client.with_options(timeout=0)


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def test_callbacks_and_failed_results_are_collectable(simulated_bridge: BridgeUrls, hanging_port: int) -> None:
    class Owner:
        def __init__(self) -> None:
            self.client = corvane.Client("gc", simulated_bridge.http_url, simulated_bridge.websocket_url,
                                         reuse_connections=True, interrupted=self.should_stop)
            self.client.get("/articulations//World/gc/joints_state")  # keeps a connection
            self.stream = corvane.ReconnectingStream(self.client, "joint_positions", "/World/gc",
                                                     before_reopen=self.noted, on_reconnect=self.noted)

        def should_stop(self) -> bool:
            return False

        def noted(self, event: object) -> None:
            pass

    corvane.Client("gc", simulated_bridge.http_url, simulated_bridge.websocket_url).articulation.create("/World/gc")
    Owner()
    gc.collect()
    descriptors = open_descriptors()
    owners = [weakref.ref(Owner()) for _ in range(20)]
    gc.collect()
    assert [owner for owner in owners if owner() is not None] == []
    assert open_descriptors() <= descriptors + 2

    client = corvane.Client("t", "http://127.0.0.1:9", "ws://h", max_retries=0)
    results = client.batch([("GET", "/x")] * 50)
    for result in results:
        with pytest.raises(corvane.TransportError):
            result.response
    del results, result
    gc.collect()
    assert [o for o in gc.get_objects() if isinstance(o, corvane.TransportError)] == []


def test_simulated_bridge_stops_quietly(capfd: pytest.CaptureFixture[str]) -> None:
    with corvane.testing.SimulatedBridge():
        pass
    assert capfd.readouterr().err == ""
