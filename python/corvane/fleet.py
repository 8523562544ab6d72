"""Collecting episodes across several bridges on Dask's `distributed`.

    def episode(client, recorder, index):
        client.articulation.create("/World/arm")
        try:
            for t in range(100):
                ...
                recorder.step({"rgb": frame["rgb"], "state": state}, target)  # what it saw, what it did
        finally:
            client.articulation.remove("/World/arm")  # the next episode on this bridge starts clean
        return True                      # the episode's success flag (optional)

    corvane.fleet.collect(episode, ["http://127.0.0.1:8000", "http://127.0.0.1:8001"], episodes=100, out="data")

Each bridge serves one episode at a time: a bridge is a Dask worker resource named by its HTTP URL, one unit
of it per bridge, and every episode asks for one unit of its bridge. The driver keeps a bridge's next episode
waiting on its worker and hands episodes to the bridges with the fewest, so a slow simulator takes fewer. A worker keeps one client per bridge
it serves (its connections stay open from one episode to the next) and records each episode through its own
Recorder into DIR/episode-NNNNNN.mcap, written under a temporary name and renamed when the episode ends: a
shard that exists is whole (flushed to disk before the rename). An episode that fails (raises, or runs past
`episode_timeout`) is tried again on another bridge, up to `attempts` times; a bridge that fails
`bridge_failures` episodes in a row by a failure of its own (a transport error, a 5xx status, a refused
WebSocket handshake; not an episode's own exception, a 4xx or a recording error) is set aside for the rest of
the run. DIR/dataset.json, written last (and on interruption), lists every episode with its last attempt's
error; running again with the same DIR records only the episodes that have no readable shard yet. One
collection runs in a folder at a time: a second one refuses to start (CollectionError).

The fleet writes each episode's start and end on the topic "/episode" ({"event": "start"|"end", "index": ...});
the success flag is what the episode returns when it returns a bool (or a dict with "success"), else the last
"success" it wrote itself through `recorder.write`. Its own start and end messages on "/episode", if it writes
any, are folded into the fleet's end message: a shard is one episode.
"""

from __future__ import annotations

import contextlib
import copy
import importlib.util
import json
import os
import re
import sys
import threading
import time
import traceback
from collections import deque
from typing import (Any, Callable, Deque, Dict, Iterator, List, Mapping, NamedTuple, Optional, Sequence,
                    Set, TypedDict, Union)

import corvane
import corvane.recording

from . import _constants
from ._constants import EPISODE_TOPIC

Episode = Callable[[Any, Any, int], Any]
BridgeAddress = Union[str, Sequence[str], Any]

DATASET = "dataset.json"
# Episodes handed to a bridge's worker at once: one runs (its resource allows one), the next waits there, so
# the bridge does not idle while the driver hears of the end and sends the next.
QUEUED_PER_BRIDGE = 2
_SHARD = re.compile(r"^episode-(\d{6,})\.mcap$")
_TEMPORARY = re.compile(r"^episode-\d{6,}\.mcap\.[\w-]+\.tmp$")
NO_BRIDGE_LEFT = "no bridge left: every bridge failed too often in a row"


class Bridge(NamedTuple):
    """A bridge of the fleet: its two base URLs. `resource` (the HTTP URL without a trailing slash) names the
    Dask worker resource of the workers that serve it."""

    http_url: str
    websocket_url: str

    @property
    def resource(self) -> str:
        return self.http_url.rstrip("/")

    @staticmethod
    def of(given: BridgeAddress) -> Bridge:
        """A bridge from an HTTP URL (the WebSocket URL follows its scheme), a pair of URLs, or an object with
        http_url and websocket_url (corvane.testing.BridgeUrls)."""
        if hasattr(given, "http_url"):
            return Bridge(str(given.http_url), str(getattr(given, "websocket_url")))
        if isinstance(given, str):
            try:
                return Bridge(given, _constants.websocket_url(given))
            except ValueError:
                raise ValueError(f"a bridge is an http:// or https:// URL (or a pair of URLs): {given!r}") from None
        http_url, websocket_url = given
        return Bridge(str(http_url), str(websocket_url))


def shard_name(index: int) -> str:
    return f"episode-{index:06d}.mcap"


# ---- dataset.json's records -----------------------------------------------------------------------------

class EpisodeEntry(TypedDict, total=False):
    """An episode's entry in dataset.json (a dict): its last attempt. `index`, `shard` (None until recorded)
    and `bridge` are always there; the others when known."""

    index: int
    shard: Optional[str]
    bridge: Optional[str]  # the bridge's HTTP URL
    start: float  # seconds since the Unix epoch
    end: float
    messages: int
    topics: Dict[str, int]  # messages per topic
    success: bool
    attempts: int
    error: str  # the last attempt's, for a failed episode
    bridge_failure: bool  # whether that failure counted against its bridge
    stopped: str  # why no further attempt was made (no bridge left)


class BridgeEntry(TypedDict):
    """A bridge's entry in dataset.json: its episodes, its own failures and the episodes' errors on it."""

    http_url: str
    websocket_url: str
    episodes: int
    failures: int
    episode_errors: int
    set_aside: bool


class Dataset(TypedDict):
    """dataset.json, as collect() writes and returns it (a dict)."""

    corvane: str  # the version that wrote it
    episodes: List[EpisodeEntry]  # by index
    bridges: List[BridgeEntry]
    requested: int
    recorded: int
    failed: int
    written: float  # seconds since the Unix epoch


def _entry(index: int, bridge: Optional[str], shard: Optional[str] = None) -> EpisodeEntry:
    return {"index": index, "shard": shard, "bridge": bridge}


# ---- on the workers -------------------------------------------------------------------------------------

class EpisodeRecorder:
    """What an episode records through: the episode's Recorder (write and step), noting the last "success"
    written. The
    episode's own start and end messages on "/episode" are not written apart: their fields go into the
    fleet's end message, so that a shard holds one episode for whoever cuts it by those messages."""

    def __init__(self, recorder: Any) -> None:
        self._recorder = recorder
        self.success: Optional[bool] = None
        self.attributes: Dict[str, Any] = {}

    def write(self, topic: str, message: Any, time: Optional[float] = None) -> None:
        if isinstance(message, dict) and _as_bool(message.get("success")) is not None:
            self.success = _as_bool(message["success"])
            message = {**message, "success": self.success}
        if topic == EPISODE_TOPIC and isinstance(message, dict) and message.get("event") in ("start", "end"):
            self.attributes.update((k, v) for k, v in message.items() if k != "event")
            return
        self._recorder.write(topic, message, time)

    def step(self, observation: Mapping[str, Any], action: Any = None, *, reward: Optional[float] = None,
             done: Optional[bool] = None, time: Optional[float] = None) -> int:
        """Records one step of the episode (corvane.Recorder.step): its index, from 0 in each episode."""
        return int(self._recorder.step(observation, action, reward=reward, done=done, time=time))

    def stats(self) -> Dict[str, Any]:
        return dict(self._recorder.stats())

    @property
    def path(self) -> str:
        return str(self._recorder.path)


class _Session(NamedTuple):
    client: Any
    slot: Any
    lock: threading.Lock
    stop: threading.Event  # set: the client's calls end (an episode that ran past its time still uses it)
    key: str


class _Clients:
    """A Dask worker plugin (setup, teardown), registered for a collection's run: the worker's clients, one per
    bridge and client options, kept from one episode to the next (their connections stay open)."""

    def __init__(self) -> None:
        self.setup()

    def __getstate__(self) -> Dict[str, Any]:
        return {}  # travels empty to the workers

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.setup()

    def setup(self, worker: Any = None) -> None:
        self._sessions: Dict[str, _Session] = {}
        self._lock = threading.Lock()

    def teardown(self, worker: Any = None) -> None:
        """The run ended: the clients' calls stop and the clients go."""
        with self._lock:
            for session in self._sessions.values():
                session.stop.set()
            self._sessions.clear()

    def session(self, bridge: Bridge, client_options: Mapping[str, Any]) -> _Session:
        """The client for `bridge` (made on first use, kept for the next episodes)."""
        # The options may hold dicts and lists (headers): the key is their text.
        key = json.dumps([list(bridge), client_options], sort_keys=True, default=repr)
        with self._lock:
            session = self._sessions.get(key)
            if session is None:
                session = self._sessions[key] = _new_session(bridge, client_options, key)
            return session

    def abandon(self, session: _Session) -> None:
        """Stops the calls of a session an episode still runs on after its timeout; the next episode gets a new
        one."""
        session.stop.set()
        with self._lock:
            if self._sessions.get(session.key) is session:
                del self._sessions[session.key]


def _new_session(bridge: Bridge, client_options: Mapping[str, Any], key: str) -> _Session:
    slot = corvane.RecorderSlot()
    stop = threading.Event()
    options: Dict[str, Any] = {"timeout": 10.0, "max_retries": 2, "reuse_connections": True, **client_options}
    asked = options.get("interrupted")
    options["interrupted"] = (lambda: stop.is_set() or bool(asked())) if asked else stop.is_set
    client = corvane.Client("corvane-fleet", bridge.http_url, bridge.websocket_url, recorder=slot, **options)
    return _Session(client, slot, threading.Lock(), stop, key)


def _clients(name: str) -> _Clients:
    """The plugin `name` of the worker running this task."""
    import distributed

    plugin = distributed.get_worker().plugins[name]
    assert isinstance(plugin, _Clients)
    return plugin


def _as_bool(value: Any) -> Optional[bool]:
    """A bool, numpy's included (what a comparison of numpy values gives); None for anything else."""
    if isinstance(value, bool):
        return value
    kind = type(value)
    if kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool"):
        return bool(value)
    return None


def _success_of(result: Any, recorder: EpisodeRecorder) -> Optional[bool]:
    if _as_bool(result) is not None:
        return _as_bool(result)
    if isinstance(result, dict) and _as_bool(result.get("success")) is not None:
        return _as_bool(result["success"])
    return recorder.success


class EpisodeTimeout(Exception):
    """An episode ran past the collection's episode_timeout."""


def _run_episode(episode: Episode, clients: _Clients, session: _Session, front: EpisodeRecorder, index: int,
                 timeout: Optional[float]) -> Any:
    """The episode's result; with a timeout it runs on a thread of its own, left behind (its client's calls
    stopped, the client not used again) when it runs past the timeout."""
    if timeout is None:
        return episode(session.client, front, index)
    outcome: Dict[str, Any] = {}

    def run() -> None:
        try:
            outcome["result"] = episode(session.client, front, index)
        except BaseException as error:  # noqa: B036 (handed to the waiting thread)
            outcome["error"] = error

    thread = threading.Thread(target=run, name=f"corvane-episode-{index}", daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        clients.abandon(session)
        raise EpisodeTimeout(f"the episode ran past its timeout of {timeout:g} s")
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("result")


def _is_bridge_failure(error: BaseException) -> bool:
    """Whether a failed attempt counts against its bridge: the bridge, not the episode, failed."""
    if isinstance(error, corvane.HTTPError):
        return error.status >= 500
    return isinstance(error, (corvane.TransportError, corvane.HandshakeError, corvane.StreamError))


def _failed(entry: EpisodeEntry, error: BaseException) -> EpisodeEntry:
    """A copy of `entry` saying the attempt failed now with `error`."""
    failed = entry.copy()
    failed["end"] = time.time()
    failed["error"] = _describe(error)
    failed["bridge_failure"] = _is_bridge_failure(error)
    return failed


def _fsync(path: str) -> None:
    """Flushes a file (or a folder's entries) to disk."""
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def run_attempt(pickled_episode: bytes, bridge: Bridge, index: int, attempt: int, out: str,
                client_options: Mapping[str, Any], recorder_options: Mapping[str, Any],
                episode_timeout: Optional[float] = None, run_tag: str = "") -> EpisodeEntry:
    """One attempt at episode `index` on `bridge` (runs on a worker): its entry of dataset.json, with "error"
    set when it failed (then no shard is left behind) and "bridge_failure" saying whether the bridge failed.
    `run_tag` makes the temporary's name the run's own and names its client plugin (_Clients)."""
    import cloudpickle

    final = os.path.join(out, shard_name(index))
    if os.path.exists(final):  # done already: Dask runs a task again when the worker holding its result died
        with contextlib.suppress(Exception):  # unreadable: recorded again over it
            return _entry_of_shard(out, shard_name(index), index)
    episode = cloudpickle.loads(pickled_episode)
    clients = _clients(_plugin_name(run_tag))
    session = clients.session(bridge, client_options)
    temporary = f"{final}.{run_tag or os.getpid()}-{attempt}.tmp"
    entry = _entry(index, bridge.http_url)
    entry["start"] = time.time()
    with session.lock:  # never two episodes on one client (the resource already sees to it)
        try:
            recorder = corvane.Recorder(temporary, **recorder_options)
        except Exception as error:
            return _failed(entry, error)
        front = EpisodeRecorder(recorder)
        session.slot.set(recorder)
        try:
            recorder.write(EPISODE_TOPIC, {"event": "start", "index": index, "bridge": bridge.http_url,
                                           "attempt": attempt})
            success = _success_of(_run_episode(episode, clients, session, front, index, episode_timeout), front)
            end: Dict[str, Any] = {**front.attributes, "event": "end", "index": index}
            if success is not None:
                end["success"] = success
            recorder.write(EPISODE_TOPIC, end)
            session.slot.set(None)
            recorder.close()
            _fsync(temporary)  # a power cut cannot leave a renamed shard without its bytes
            os.replace(temporary, final)
            _fsync(out)
        except BaseException as error:
            session.slot.set(None)
            with contextlib.suppress(Exception):
                recorder.close()
            with contextlib.suppress(OSError):
                os.remove(temporary)
            if not isinstance(error, Exception):
                raise
            return _failed(entry, error)
    entry["shard"] = shard_name(index)
    entry["end"] = time.time()
    with corvane.recording.open(final) as recording:
        _count(entry, recording)
    if success is not None:
        entry["success"] = success
    return entry


def _describe(error: BaseException) -> str:
    where = traceback.extract_tb(error.__traceback__)
    place = f" (at {os.path.basename(where[-1].filename)}:{where[-1].lineno})" if where else ""
    return f"{type(error).__name__}: {error}{place}"


# ---- on the driver --------------------------------------------------------------------------------------

class CollectionError(Exception):
    """The collection cannot run: no worker serves a bridge, or the folder is not a collection's."""


class _Run:
    """The driver's bookkeeping: which episode goes to which bridge next, and what happened so far."""

    def __init__(self, bridges: List[Bridge], todo: List[int], entries: Dict[int, EpisodeEntry],
                 attempts: int, bridge_failures: int) -> None:
        self.bridges = bridges
        self.pending: Deque[int] = deque(todo)
        self.entries = entries
        self.attempts_allowed = attempts
        self.bridge_failures = bridge_failures
        self.attempts: Dict[int, int] = {i: entries[i].get("attempts", 0) if i in entries else 0
                                      for i in todo}
        self.tried: Dict[int, Set[str]] = {i: set() for i in todo}
        self.queued: Dict[str, int] = {b.http_url: 0 for b in bridges}
        self.in_a_row: Dict[str, int] = {b.http_url: 0 for b in bridges}
        self.counts: Dict[str, Dict[str, int]] = {b.http_url: {"episodes": 0, "failures": 0, "episode_errors": 0}
                                                  for b in bridges}
        self.last_failure: Dict[int, EpisodeEntry] = {}
        self.retired: Set[str] = set()
        self.first_attempt = dict(self.attempts)
        self.done = self.failed = 0

    def alive(self) -> List[Bridge]:
        return [b for b in self.bridges if b.http_url not in self.retired]

    def assignments(self) -> Iterator[tuple[int, Bridge]]:
        """(episode, bridge) pairs to start now: a bridge with room takes the first waiting episode that has
        not failed on it yet, or any waiting episode when it failed on every bridge left."""
        handed = True
        while handed and self.pending:
            handed = False
            alive = {b.http_url for b in self.alive()}
            for bridge in sorted(self.alive(), key=lambda b: self.queued[b.http_url]):
                if self.queued[bridge.http_url] >= QUEUED_PER_BRIDGE:
                    continue
                chosen = next((i for i in self.pending if bridge.http_url not in self.tried[i]), None)
                if chosen is None:
                    chosen = next((i for i in self.pending if alive <= self.tried[i]), None)
                if chosen is None:
                    continue
                self.pending.remove(chosen)
                self.queued[bridge.http_url] += 1
                self.attempts[chosen] += 1
                handed = True
                yield chosen, bridge
                break  # the least loaded bridge goes first again

    def finished(self, index: int, bridge: Bridge, entry: EpisodeEntry) -> str:
        """Takes an attempt's outcome; says "done", "failed" or "retry"."""
        name = bridge.http_url
        self.queued[name] -= 1
        self.tried[index].add(name)
        entry["attempts"] = self.attempts[index]
        if not entry.get("error"):
            self.in_a_row[name] = 0
            self.counts[name]["episodes"] += 1
            self.entries[index] = entry
            self.done += 1
            return "done"
        self.last_failure[index] = entry
        if entry.get("bridge_failure"):  # only the bridge's own failures count against it
            self.in_a_row[name] += 1
            self.counts[name]["failures"] += 1
            if self.in_a_row[name] >= self.bridge_failures:
                self.retired.add(name)
        else:
            self.counts[name]["episode_errors"] += 1
        if self.attempts[index] - self.first_attempt[index] < self.attempts_allowed and self.alive():
            self.pending.append(index)
            return "retry"
        if not self.alive():
            entry["stopped"] = NO_BRIDGE_LEFT
        self.entries[index] = entry
        self.failed += 1
        return "failed"

    def abandon_waiting(self) -> None:
        """Every bridge was set aside: the waiting episodes fail, each keeping its last attempt's error."""
        while self.pending:
            index = self.pending.popleft()
            last = self.last_failure.get(index)
            entry = self.entries[index] = _entry(index, last.get("bridge") if last else None)
            entry["attempts"] = self.attempts[index]
            entry["error"] = (last.get("error") if last else None) or NO_BRIDGE_LEFT
            entry["stopped"] = NO_BRIDGE_LEFT
            self.failed += 1


def collect(episode: Episode, bridges: Sequence[BridgeAddress], episodes: int, out: Union[str, os.PathLike[str]],
            scheduler: Optional[str] = None, *, attempts: int = 3, bridge_failures: int = 3,
            client_options: Optional[Mapping[str, Any]] = None,
            recorder_options: Optional[Mapping[str, Any]] = None, progress: bool = True,
            connect_timeout: float = 60.0, episode_timeout: Optional[float] = None) -> Dataset:
    """Runs `episode(client, recorder, index)` for index 0..episodes-1 across `bridges`, one shard per episode in
    `out`, and returns what it writes to `out`/dataset.json.

    scheduler: None starts a local cluster of processes, one worker per bridge, for this call; an address
    ("tcp://host:8786") uses a running cluster whose workers serve the bridges (`dask worker ... --resources
    URL=1`). attempts: tries per episode; bridge_failures: failures in a row that set a bridge aside.
    client_options: keywords of corvane.Client (default timeout 10 s, 2 retries, reused connections);
    recorder_options: keywords of corvane.Recorder. episode_timeout: seconds an attempt may run (None: no
    limit); one that runs longer fails (its partial shard removed, its client's calls stopped).
    CollectionError when another collection runs in `out`.
    """
    if importlib.util.find_spec("distributed") is None:
        raise ImportError("corvane.fleet needs Dask's distributed (Debian: python3-distributed)")
    fleet = [Bridge.of(given) for given in bridges]
    if not fleet or len({b.resource for b in fleet}) != len(fleet):
        raise ValueError("give at least one bridge, each once")
    if episodes < 0 or attempts < 1 or bridge_failures < 1:
        raise ValueError("episodes must be 0 or more, attempts and bridge_failures 1 or more")
    if episode_timeout is not None and not episode_timeout > 0:
        raise ValueError("episode_timeout must be a positive number of seconds")
    folder = os.fspath(out)
    os.makedirs(folder, exist_ok=True)
    settings: Dict[str, Any] = {"client_options": dict(client_options or {}),
                                "recorder_options": dict(recorder_options or {}), "episode_timeout": episode_timeout,
                                "run_tag": f"{os.getpid()}x{time.time_ns()}"}
    with _folder_lock(folder):
        try:
            entries = _resume(folder)
            todo = [i for i in range(episodes) if not (i in entries and entries[i].get("shard"))]
            run = _Run(fleet, todo, entries, attempts, bridge_failures)
            with contextlib.ExitStack() as stack:
                client = _dask_client(stack, fleet, scheduler, connect_timeout)
                _register_clients(stack, client, _plugin_name(settings["run_tag"]), scheduler is not None)
                bar = _progress(progress, episodes, episodes - len(todo), client)
                try:
                    _drive(client, run, episode, folder, settings, bar)
                finally:
                    if bar is not None:
                        bar.close()
                    dataset = _dataset(run, episodes)
                    _write_atomically(os.path.join(folder, DATASET), dataset)
        finally:  # interrupted too: no temporary is left
            _remove_temporaries(folder)
    return dataset


@contextlib.contextmanager
def _folder_lock(folder: str) -> Iterator[None]:
    """Holds an exclusive lock on the folder itself while a collection runs in it; CollectionError when
    another one holds it."""
    import fcntl

    descriptor = os.open(folder, os.O_RDONLY)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise CollectionError(f"another collection is running in {folder}: wait for it to end, or give "
                                  "another folder") from None
        yield
    finally:
        os.close(descriptor)


def _drive(client: Any, run: _Run, episode: Episode, folder: str, settings: Dict[str, Any], bar: Any) -> None:
    import cloudpickle
    import distributed

    # The episode's own module travels by value: the workers need not import the script (or test) it is in.
    # (Dask would try plain pickle first, which refers to the module by name.)
    module = sys.modules.get(getattr(episode, "__module__", "") or "")
    by_value = (module is not None and module.__name__ != "__main__" and getattr(module, "__file__", None)
                and module.__name__ not in cloudpickle.list_registry_pickle_by_value())
    if by_value:
        cloudpickle.register_pickle_by_value(module)
    try:
        pickled = cloudpickle.dumps(episode)
    finally:
        if by_value:
            cloudpickle.unregister_pickle_by_value(module)
    running: Dict[Any, tuple[int, Bridge]] = {}
    queue = distributed.as_completed()

    def start() -> None:
        for index, bridge in run.assignments():
            future = client.submit(run_attempt, pickled, bridge, index, run.attempts[index], folder,
                                   settings["client_options"], settings["recorder_options"],
                                   settings["episode_timeout"], settings["run_tag"],
                                   resources={bridge.resource: 1}, pure=False,
                                   key=f"episode-{index}-{run.attempts[index]}-{os.getpid()}-{time.time_ns()}")
            running[future] = (index, bridge)
            queue.add(future)

    start()
    if not running and run.pending:
        run.abandon_waiting()
    for future in queue:
        index, bridge = running.pop(future)
        try:
            entry = future.result()
        except Exception as error:  # the worker died (KilledWorker) or the task could not run
            entry = _entry(index, bridge.http_url)
            entry["error"] = _describe(error)
            entry["bridge_failure"] = False
        outcome = run.finished(index, bridge, entry)
        if bar is not None:
            if outcome != "retry":
                bar.update(1)
            bar.set_postfix(done=run.done, failed=run.failed, refresh=False)
        start()
        if not running and run.pending:
            run.abandon_waiting()


def _dask_client(stack: contextlib.ExitStack, fleet: List[Bridge], scheduler: Optional[str],
                 connect_timeout: float) -> Any:
    import distributed

    if scheduler is None:
        cluster = stack.enter_context(_local_cluster(fleet))
        client = stack.enter_context(distributed.Client(cluster))
        client.register_worker_plugin(_IgnoreCtrlC(), name="corvane-ignore-ctrl-c")
        return client
    client = stack.enter_context(distributed.Client(scheduler, timeout=connect_timeout))
    _wait_for_bridges(client, fleet, connect_timeout)
    return client


def _plugin_name(run_tag: str) -> str:
    return f"corvane-clients-{run_tag}"


def _register_clients(stack: contextlib.ExitStack, client: Any, name: str, shared: bool) -> None:
    """Gives the workers a _Clients plugin for this run. On a `shared` cluster it is removed (its clients
    closed) when the run ends; a local cluster's workers close with it."""
    client.register_worker_plugin(_Clients(), name=name)

    def unregister() -> None:
        with contextlib.suppress(Exception):  # the cluster is gone already
            client.unregister_worker_plugin(name)

    if shared:
        stack.callback(unregister)


class _IgnoreCtrlC:
    """A plugin of the local workers: Ctrl-C at the terminal reaches the whole process group, and the driver
    alone answers it, closing the cluster (the workers would print their tracebacks)."""

    def setup(self, worker: Any) -> None:
        import signal

        signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextlib.contextmanager
def _local_cluster(fleet: List[Bridge]) -> Iterator[Any]:
    """A LocalCluster of processes on 127.0.0.1, one single-threaded worker per bridge offering its resource."""
    import logging

    import distributed

    with distributed.LocalCluster(n_workers=0, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=":0", silence_logs=logging.ERROR) as cluster:
        for number, bridge in enumerate(fleet):
            worker = copy.deepcopy(cluster.new_spec)
            worker["options"]["resources"] = {bridge.resource: 1}
            cluster.worker_spec[f"bridge-{number}"] = worker
        cluster.scale(len(fleet))
        yield cluster


def _wait_for_bridges(client: Any, fleet: List[Bridge], timeout: float) -> None:
    """Waits until every bridge has a worker offering its resource; CollectionError after `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        offered = {name for worker in client.scheduler_info()["workers"].values()
                   for name in (worker.get("resources") or {})}
        missing = [b.resource for b in fleet if b.resource not in offered]
        if not missing:
            return
        if time.monotonic() > deadline:
            raise CollectionError(f"no worker serves {', '.join(missing)} (workers offer: "
                                  f"{', '.join(sorted(offered)) or 'nothing'}); start one with "
                                  f"dask worker SCHEDULER --nthreads 1 --resources {missing[0]}=1")
        time.sleep(0.2)


def _has_dashboard(client: Any) -> bool:
    """Whether the scheduler serves the dashboard's pages (it needs bokeh, and may be started without)."""
    try:
        return bool(client.run_on_scheduler(lambda: "distributed.dashboard.scheduler" in sys.modules))
    except Exception:  # a scheduler that refuses to run functions
        return False


def _progress(enabled: bool, total: int, initial: int, client: Any) -> Any:
    if not enabled:
        return None
    if _has_dashboard(client):
        print(f"corvane collect: Dask dashboard at {client.dashboard_link}", file=sys.stderr, flush=True)
    from tqdm import tqdm

    return tqdm(total=total, initial=initial, unit="episode", dynamic_ncols=True, file=sys.stderr)


# ---- dataset.json and resuming --------------------------------------------------------------------------

def _dataset(run: _Run, episodes: int) -> Dataset:
    bridges: List[BridgeEntry] = [
        {"http_url": b.http_url, "websocket_url": b.websocket_url, "episodes": run.counts[b.http_url]["episodes"],
         "failures": run.counts[b.http_url]["failures"], "episode_errors": run.counts[b.http_url]["episode_errors"],
         "set_aside": b.http_url in run.retired} for b in run.bridges]
    listed = [run.entries[i] for i in sorted(run.entries)]
    return {"corvane": corvane.__version__, "episodes": listed, "bridges": bridges, "requested": episodes,
            "recorded": sum(1 for e in listed if e.get("shard")), "failed": sum(1 for e in listed if e.get("error")),
            "written": time.time()}


def _resume(folder: str) -> Dict[int, EpisodeEntry]:
    """What an earlier run left in `folder`: its entries, those whose shard is gone dropped, and shards that it
    did not get to list (the driver died) described from the shards themselves. Its temporaries are removed."""
    entries: Dict[int, EpisodeEntry] = {}
    path = os.path.join(folder, DATASET)
    if os.path.exists(path):
        try:
            with open(path, encoding="utf-8") as file:
                listed = json.load(file)["episodes"]
        except (ValueError, KeyError, TypeError) as error:
            raise CollectionError(f"{path} is not a collection's dataset.json: {error}") from None
        for entry in listed:
            if not entry.get("shard") or os.path.exists(os.path.join(folder, entry["shard"])):
                entries[int(entry["index"])] = entry
    for name in sorted(os.listdir(folder)):
        match = _SHARD.match(name)
        if not match:
            continue
        index = int(match.group(1))
        try:
            if index in entries and entries[index].get("shard"):
                corvane.recording.open(os.path.join(folder, name)).close()  # readable: its summary, or its chunks
            else:
                entries[index] = _entry_of_shard(folder, name, index)
        except Exception as error:  # empty or unreadable: missing, recorded again
            _set_aside(folder, name, error)
            entries.pop(index, None)
    _remove_temporaries(folder)
    return entries


def _set_aside(folder: str, name: str, error: BaseException) -> None:
    """Moves an unreadable shard out of the collection (NAME.unreadable), saying so on stderr."""
    path = os.path.join(folder, name)
    os.replace(path, path + ".unreadable")
    print(f"corvane collect: {path} is unreadable ({_describe(error)}); moved to {name}.unreadable and "
          "recorded again", file=sys.stderr, flush=True)


def _entry_of_shard(folder: str, name: str, index: int) -> EpisodeEntry:
    """An episode's entry read back from its shard (the fleet's own "/episode" messages)."""
    entry = _entry(index, None, name)
    with corvane.recording.open(os.path.join(folder, name)) as recording:
        _count(entry, recording)
        for message in recording.messages(topics=[EPISODE_TOPIC]):
            value = message.value
            if value.get("event") == "start" and "attempt" in value:
                entry.update({"bridge": value.get("bridge"), "attempts": value["attempt"],
                              "start": message.log_time / 1e9})
            elif value.get("event") == "end":
                entry["end"] = message.log_time / 1e9
                if isinstance(value.get("success"), bool):
                    entry["success"] = value["success"]
    return entry


def _count(entry: EpisodeEntry, recording: corvane.recording.Recording) -> None:
    """Sets the entry's messages, in all and per topic, from the shard's summary."""
    topics: Dict[str, int] = {}
    for channel in recording.channels:
        topics[channel.topic] = topics.get(channel.topic, 0) + channel.messages
    entry["messages"] = sum(topics.values())
    entry["topics"] = topics


def _remove_temporaries(folder: str) -> None:
    for name in os.listdir(folder):
        if _TEMPORARY.match(name):
            with contextlib.suppress(OSError):
                os.remove(os.path.join(folder, name))


def _write_atomically(path: str, value: Any) -> None:
    temporary = f"{path}.{os.getpid()}.tmp"
    with open(temporary, "w", encoding="utf-8") as file:
        json.dump(value, file, indent=1)
        file.write("\n")
        file.flush()
        os.fsync(file.fileno())
    os.replace(temporary, path)
    _fsync(os.path.dirname(path) or ".")


def load_episode(reference: str) -> Episode:
    """The function FUNCTION of the file SCRIPT.py, from "SCRIPT.py:FUNCTION" (the workers need not have the
    file: the function travels to them by value)."""
    script, _, name = reference.rpartition(":")
    if not script or not name:
        raise ValueError(f"expected SCRIPT.py:FUNCTION, got {reference!r}")
    module_name = "corvane_episode_" + re.sub(r"\W", "_", os.path.splitext(os.path.basename(script))[0])
    found = importlib.util.spec_from_file_location(module_name, script)
    if found is None or found.loader is None:
        raise ValueError(f"cannot load {script!r} as Python")
    module = importlib.util.module_from_spec(found)
    sys.modules[module_name] = module
    found.loader.exec_module(module)
    function = getattr(module, name, None)
    if not callable(function):
        raise ValueError(f"{script} has no function {name!r}")
    return function  # type: ignore[no-any-return]
