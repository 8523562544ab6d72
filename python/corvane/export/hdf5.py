"""robomimic-style HDF5 from recordings: one demo per episode.

    from corvane.export import hdf5

    result = hdf5.export("reach-data", "reach.h5", valid_fraction=0.1)
    print(result.demos, result.samples)

The input is a recording or a folder that ``corvane collect`` wrote (its successful episodes, in index order).
A recording with steps (``recorder.step``) gives per step ``data/demo_<i>/obs/<key>`` (N, ...), ``actions``
(N, A; a dict action concatenated in its order), ``rewards`` (N,; 0 when not given) and ``dones`` (N,; the last
step 1 when none is given), and the attribute ``num_samples``. Every demo must have the keys, shapes and dtypes
of the first: one that differs is reported by index and left out (``strict`` refuses the export instead).
A recording without steps is sampled from its event log: one sample per round of captures (each camera's
outputs and the latest joint state; a sample taken before the first joint state gets the next one), and its
action the joint positions commanded (set or move) after it.

``data`` has the attributes ``total`` (samples) and ``env_args`` (JSON: ``env_name``, ``type``,
``env_kwargs``), taken from the caller, else from the first demo's ``/episode`` start message
(``{"event": "start", "env_args": {...}}``), else a default. ``mask/train`` and ``mask/valid`` split the demos,
``valid_fraction`` of them (at least one when the fraction is positive and there are two demos or more) chosen
at random with ``seed``. The file is written under a temporary name and renamed once complete.
"""

from __future__ import annotations

import json
import os
import random
import sys
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import corvane.recording

from .._constants import EPISODE_TOPIC

__all__ = ["DEFAULT_ENV_ARGS", "EPISODE_TOPIC", "ExportError", "ExportResult", "Demo", "export", "sources",
           "split", "step_demos", "event_demos", "command_of", "backfill", "fill_actions"]

DEFAULT_ENV_ARGS: Dict[str, Any] = {"env_name": "corvane", "type": 0, "env_kwargs": {}}

Warn = Callable[[str], None]


class ExportError(Exception):
    """The input cannot be exported as asked (a folder that is not a collection, demos that differ with
    strict)."""


class ExportResult(NamedTuple):
    demos: int  # demos written
    samples: int  # their samples in all
    left_out: List[str]  # why each left-out episode was left out
    has_actions: bool  # whether any demo has actions


class Demo(NamedTuple):
    """One episode's samples, ready to write: obs key -> stacked array (N, ...), and (N, A) actions."""

    label: str  # where it comes from, for messages ("reach-data/episode-000003.mcap, episode 0")
    obs: Dict[str, Any]
    actions: Any
    rewards: Any
    dones: Any
    attributes: Dict[str, Any]
    problem: Optional[str] = None  # why it cannot be written (its steps differ among themselves); then no data


def _stderr(message: str) -> None:
    print(message, file=sys.stderr)


# --- inputs -------------------------------------------------------------------------------------------------

def sources(path: str) -> List[Tuple[str, Optional[int]]]:
    """The recordings to export and their episode index: the file itself, or for a collection folder (one
    written by ``corvane collect``) the shard of each successful episode in index order."""
    if not os.path.isdir(path):
        return [(path, None)]
    listing = os.path.join(path, "dataset.json")
    try:
        with open(listing, encoding="utf-8") as file:
            dataset = json.load(file)
    except OSError as error:
        raise ExportError(f"{path} is a folder without a readable dataset.json: {error.strerror or error}") from None
    episodes = sorted((e for e in dataset.get("episodes", []) if e.get("shard") and e.get("success") is not False),
                      key=lambda e: int(e["index"]))
    return [(os.path.join(path, e["shard"]), int(e["index"])) for e in episodes]


def has_steps(recording: corvane.recording.Recording) -> bool:
    """Whether the recording holds steps (recorder.step)."""
    return any(c.topic == "/step" for c in recording.channels)


# --- demos from steps ---------------------------------------------------------------------------------------

def _flat_action(action: Any) -> Any:
    import numpy

    if action is None:
        return numpy.zeros(0)
    parts = action.values() if isinstance(action, dict) else [action]
    return numpy.concatenate([numpy.asarray(p, dtype=numpy.float64).reshape(-1) for p in parts])


def _demo_of_steps(label: str, steps: List[corvane.recording.Step], attributes: Dict[str, Any]) -> Demo:
    import numpy

    obs = {key: numpy.stack([s.observation[key] for s in steps]) for key in steps[0].observation}
    actions = [_flat_action(s.action) for s in steps]
    width = len(actions[0])
    if any(len(a) != width for a in actions):
        raise ExportError(f"{label}: the actions change length from one step to another")
    rewards = numpy.array([s.reward if s.reward is not None else 0.0 for s in steps], dtype=numpy.float64)
    dones = numpy.array([1 if s.done else 0 for s in steps], dtype=numpy.int64)
    if all(s.done is None for s in steps):
        dones[-1] = 1
    return Demo(label, obs, numpy.stack(actions).reshape(len(steps), width), rewards, dones, attributes)


def _same_keys(label: str, steps: List[corvane.recording.Step]) -> None:
    first = steps[0].observation
    for s in steps[1:]:
        if list(s.observation) != list(first) or any(s.observation[k].shape != first[k].shape or
                                                       s.observation[k].dtype != first[k].dtype for k in first):
            raise ExportError(f"{label}: step {s.index} has other observation keys or shapes than step 0")


def step_demos(recording: corvane.recording.Recording, label: str) -> Iterator[Demo]:
    """The recording's episodes with steps as demos, reading the file once."""
    steps = recording.steps()
    current: List[corvane.recording.Step] = []

    def demo() -> Demo:
        name = f"{label}, episode {current[0].episode}"
        attributes = steps.episodes[current[0].episode]
        try:
            _same_keys(name, current)
            return _demo_of_steps(name, current, attributes)
        except ExportError as error:
            return Demo(name, {}, None, None, None, attributes, str(error))

    for step in steps:
        if current and step.episode != current[0].episode:
            yield demo()
            current = []
        current.append(step)
    if current:
        yield demo()


# --- demos from the event log (recordings without steps) ----------------------------------------------------

def _episodes(recording: corvane.recording.Recording) -> List[Tuple[int, int, Dict[str, Any]]]:
    """(start, end, attributes) of each episode cut by "/episode" messages; end is exclusive."""
    episodes: List[Tuple[int, int, Dict[str, Any]]] = []
    open_at: Optional[int] = None
    attributes: Dict[str, Any] = {}
    for message in recording.messages([EPISODE_TOPIC]):
        event = message.value.get("event") if isinstance(message.value, dict) else None
        if event == "start":
            if open_at is not None:
                episodes.append((open_at, message.log_time, attributes))
            open_at, attributes = message.log_time, dict(message.value)
        elif event == "end" and open_at is not None:
            attributes.update(message.value)
            episodes.append((open_at, message.log_time + 1, attributes))
            open_at = None
    if open_at is not None:
        episodes.append((open_at, recording.end_time + 1, attributes))
    if not episodes:
        episodes.append((recording.start_time, recording.end_time + 1, {}))
    return episodes


def _key(topic: str) -> str:
    return topic.strip("/").replace("/", "_")


def command_of(topic: str, value: Any) -> Optional[List[float]]:
    """The joint positions a recorded message commands (a set or move request, or a message sent on a joint
    stream), if it is a joint command."""
    if not (topic.endswith("/sent") or (topic.startswith("/rest/") and isinstance(value, dict)
                                          and value.get("method") == "POST")):
        return None
    if not isinstance(value, dict):
        return None
    request = value.get("request") if "method" in value else value
    if isinstance(request, dict) and isinstance(request.get("joint_positions"), list):
        return [float(x) for x in request["joint_positions"]]
    return None


def _clock(recording: corvane.recording.Recording, start: int, end: int) -> Optional[str]:
    """The topic whose messages close a round of captures: the last camera's capture record of the first round
    (a capture record follows its frame's outputs)."""
    captures = [c.topic for c in recording.channels
                if c.topic.endswith("/capture") and not c.topic.startswith("/rest/")]
    order: List[str] = []
    for message in recording.messages(captures, start, end):
        if message.topic in order:
            break
        order.append(message.topic)
    return order[-1] if order else None


def backfill(samples: List[Dict[str, Any]], keys: Sequence[str]) -> None:
    """Gives each sample lacking a key the next sample's value of it (a joint state that had not arrived
    yet); samples after the last value get NaN of the same shape."""
    import numpy

    for key in keys:
        following: Any = None
        for sample in reversed(samples):
            if key in sample:
                following = sample[key]
            elif following is not None:
                sample[key] = following
        known = next((s[key] for s in samples if key in s), None)
        for sample in samples:
            if key not in sample and known is not None:
                sample[key] = numpy.full(known.shape, numpy.nan)


def fill_actions(actions: Sequence[Optional[List[float]]]) -> List[List[float]]:
    """Each sample's action: its command, else the one before (holding still), else the first one given."""
    width = max((len(a) for a in actions if a is not None), default=0)
    first = next((a for a in actions if a is not None and len(a) == width), [0.0] * width)
    out: List[List[float]] = []
    for action in actions:
        out.append(action if action is not None and len(action) == width else (out[-1] if out else first))
    return out


def _event_samples(recording: corvane.recording.Recording, start: int,
                   end: int) -> Tuple[List[Dict[str, Any]], List[Optional[List[float]]], List[str]]:
    import numpy

    image_topics = sorted(c.topic for c in recording.channels
                          if c.schema in ("sensor_msgs/Image", "corvane_msgs/NDArray",
                                             corvane.recording.VIDEO_SCHEMA, corvane.recording.IMAGE_SCHEMA))
    state_topics = sorted(c.topic for c in recording.channels
                          if c.message_encoding == "json" and c.topic.endswith("stream_joint_positions"))
    clock = _clock(recording, start, end) or (state_topics[0] if state_topics else None)
    latest: Dict[str, Any] = {}
    samples: List[Dict[str, Any]] = []
    actions: List[Optional[List[float]]] = []
    for message in recording.messages(start=start, end=end):
        command = command_of(message.topic, message.value)
        if command is not None:
            if actions:
                actions[-1] = command  # the command that followed the last observation
            continue
        if message.topic in image_topics:
            latest[message.topic] = message.value
        elif message.topic in state_topics and isinstance(message.value, dict):
            latest[message.topic] = numpy.asarray(message.value.get("joint_positions", []), dtype=numpy.float64)
        if message.topic == clock and all(t in latest for t in image_topics):
            samples.append({_key(t): numpy.array(v) for t, v in latest.items()})
            actions.append(None)
    return samples, actions, [_key(t) for t in state_topics]


def _demo_of_events(label: str, samples: List[Dict[str, Any]], actions: List[Optional[List[float]]],
                    state_keys: List[str], attributes: Dict[str, Any]) -> Demo:
    import numpy

    backfill(samples, state_keys)
    obs = {key: numpy.stack([s[key] for s in samples]) for key in samples[0]
           if all(key in s and s[key].shape == samples[0][key].shape for s in samples)}
    n = len(samples)
    filled = numpy.asarray(fill_actions(actions), dtype=numpy.float64).reshape(n, -1)
    dones = numpy.zeros(n, dtype=numpy.int64)
    dones[-1] = 1
    rewards = numpy.zeros(n, dtype=numpy.float64)
    rewards[-1] = 1.0 if attributes.get("success") else 0.0
    return Demo(label, obs, filled, rewards, dones, attributes)


def event_demos(recording: corvane.recording.Recording, label: str) -> Iterator[Demo]:
    """The recording's episodes sampled from its event log (see the module's description)."""
    for index, (start, end, attributes) in enumerate(_episodes(recording)):
        samples, actions, state_keys = _event_samples(recording, start, end)
        if samples:
            yield _demo_of_events(f"{label}, episode {index}", samples, actions, state_keys, attributes)


# --- writing ------------------------------------------------------------------------------------------------

def _signature(demo: Demo) -> Tuple[Any, ...]:
    return (tuple((k, v.shape[1:], str(v.dtype)) for k, v in demo.obs.items()), demo.actions.shape[1])


def _write_demo(data: Any, name: str, demo: Demo) -> None:
    group = data.create_group(name)
    for key, value in demo.obs.items():
        group.create_dataset(f"obs/{key}", data=value, compression="gzip" if value[0].size > 1024 else None)
    group.create_dataset("actions", data=demo.actions)
    group.create_dataset("rewards", data=demo.rewards)
    group.create_dataset("dones", data=demo.dones)
    group.attrs["num_samples"] = len(demo.rewards)
    group.attrs["episode"] = json.dumps(demo.attributes, default=str)


def split(names: Sequence[str], valid_fraction: float, seed: int) -> Tuple[List[str], List[str]]:
    """(train, valid): `valid_fraction` of the names, rounded, at least one when the fraction is positive and
    there are two names or more, chosen at random with `seed`; each list in the names' order."""
    if not 0.0 <= valid_fraction < 1.0:
        raise ValueError("the validation fraction is in [0, 1)")
    count = round(len(names) * valid_fraction)
    if valid_fraction > 0 and len(names) >= 2:
        count = max(1, count)
    chosen = set(random.Random(seed).sample(list(names), count))
    return [n for n in names if n not in chosen], [n for n in names if n in chosen]


def _env_args(given: Optional[Dict[str, Any]], first: Optional[Demo], label: str) -> Dict[str, Any]:
    recorded = first.attributes.get("env_args") if first is not None else None
    env_args = dict(DEFAULT_ENV_ARGS, env_kwargs={"recording": label})
    if isinstance(recorded, dict):
        env_args.update(recorded)
    if given:
        env_args.update(given)
    return env_args


def _demos(paths: List[Tuple[str, Optional[int]]], warn: Warn) -> Iterator[Tuple[str, Demo]]:
    """(name, demo) of every episode of every source; a collection's demos are named after their episode's
    index, a file's after their order. A collection's missing or unreadable shard is skipped with a warning."""
    for path, shard_index in paths:
        try:
            recording = corvane.recording.open(path)
        except (OSError, corvane.Error) as error:
            if shard_index is None:
                raise
            warn(f"skipping episode {shard_index}: {path}: {error}")
            continue
        with recording:  # a collection of thousands of shards must not hold thousands of open files
            reader = step_demos if has_steps(recording) else event_demos
            for index, demo in enumerate(reader(recording, path)):
                name = f"demo_{shard_index if shard_index is not None else index}"
                yield (name if shard_index is None or index == 0 else f"demo_{shard_index}_{index}"), demo


def _write(out: Any, paths: List[Tuple[str, Optional[int]]], label: str, env_args: Optional[Dict[str, Any]],
           strict: bool, warn: Warn) -> Tuple[List[str], int, List[str], bool]:
    data = out.create_group("data")
    names: List[str] = []
    left_out: List[str] = []
    signature: Optional[Tuple[Any, ...]] = None
    first: Optional[Demo] = None
    total = 0
    for name, demo in _demos(paths, warn):
        reason = demo.problem
        if reason is None and signature is not None and _signature(demo) != signature:
            reason = f"{demo.label}: its observation keys, shapes or action width differ from the first demo's"
        if reason is not None:
            if strict:
                raise ExportError(reason)
            warn(f"left out {reason}")
            left_out.append(reason)
            continue
        signature, first = signature or _signature(demo), first or demo
        _write_demo(data, name, demo)
        names.append(name)
        total += len(demo.rewards)
    data.attrs["total"] = total
    data.attrs["env_args"] = json.dumps(_env_args(env_args, first, label))
    return names, total, left_out, bool(signature and signature[1] > 0)


def export(source: str, out_path: str, *, env_args: Optional[Dict[str, Any]] = None, valid_fraction: float = 0.1,
           seed: int = 0, strict: bool = False, warn: Warn = _stderr) -> ExportResult:
    """Writes `source` (a recording or a collection folder) to `out_path` as robomimic-style HDF5; `warn`
    hears of demos left out and of an export without actions. ExportError when it cannot (the file is then not
    written)."""
    import h5py

    if not 0.0 <= valid_fraction < 1.0:
        raise ValueError("the validation fraction is in [0, 1)")
    paths = sources(source)
    temporary = f"{out_path}.{os.getpid()}.part"
    try:
        open(temporary, "wb").close()  # h5py's own message would name the temporary file
    except OSError as error:
        raise ExportError(f"cannot write {out_path}: {error.strerror or error}") from None
    try:
        with h5py.File(temporary, "w") as out:
            names, total, left_out, has_actions = _write(out, paths, str(source), env_args, strict, warn)
            train, valid = split(names, valid_fraction, seed)
            out.create_dataset("mask/train", data=[n.encode() for n in train], dtype="S32")
            out.create_dataset("mask/valid", data=[n.encode() for n in valid], dtype="S32")
        os.replace(temporary, out_path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise
    if names and not has_actions:
        warn("no actions: the recordings hold no steps with an action and no joint commands (set or move); "
             "the demos' actions are empty")
    return ExportResult(len(names), total, left_out, has_actions)
