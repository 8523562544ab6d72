"""corvane.fleet's driver bookkeeping and worker client cache, without Dask."""

from __future__ import annotations

import json
import pickle

from corvane.fleet import Bridge, EpisodeEntry, _Clients, _dataset, _Run


def test_episodes_spread_retry_elsewhere_and_a_failing_bridge_is_set_aside() -> None:
    a, b = Bridge.of("http://a:1"), Bridge.of("https://b:2/")
    run = _Run([a, b], [0, 1, 2, 3, 4], {}, attempts=2, bridge_failures=2)
    assert list(run.assignments()) == [(0, a), (1, b), (2, a), (3, b)]  # two waiting per bridge at most

    def outcome(index: int, bridge: Bridge, error: str = "", bridge_failure: bool = False) -> str:
        entry: EpisodeEntry = {"index": index, "shard": None if error else f"{index}.mcap", "bridge": bridge.http_url}
        if error:
            entry.update({"error": error, "bridge_failure": bridge_failure})
        return run.finished(index, bridge, entry)

    assert outcome(0, a) == "done" and list(run.assignments()) == [(4, a)]
    assert outcome(1, b, "TransportError", bridge_failure=True) == "retry"
    assert list(run.assignments()) == []  # not on b again while a has no room
    assert outcome(2, a) == "done" and list(run.assignments()) == [(1, a)]
    assert outcome(3, b, "HTTPError 503", bridge_failure=True) == "retry" and run.retired == {b.http_url}
    assert outcome(1, a, "ValueError") == "failed"  # its second attempt: an episode's own error
    assert outcome(4, a) == "done" and list(run.assignments()) == [(3, a)]
    assert outcome(3, a) == "done"

    dataset = json.loads(json.dumps(_dataset(run, 5)))
    assert (dataset["recorded"], dataset["failed"], dataset["requested"]) == (4, 1, 5)
    assert dataset["episodes"][1]["attempts"] == 2 and dataset["episodes"][3]["attempts"] == 2
    assert [(e["episodes"], e["failures"], e["episode_errors"], e["set_aside"]) for e in dataset["bridges"]] == \
        [(4, 0, 1, False), (0, 2, 0, True)]
    assert dataset["bridges"][1]["websocket_url"] == "wss://b:2/"


def test_a_worker_keeps_one_client_per_bridge_until_abandoned_or_torn_down() -> None:
    clients = pickle.loads(pickle.dumps(_Clients()))  # as it travels to a worker
    bridge = Bridge.of("http://127.0.0.1:9")
    first = clients.session(bridge, {"timeout": 1.0})
    assert clients.session(bridge, {"timeout": 1.0}) is first and clients.session(bridge, {}) is not first
    clients.abandon(first)
    again = clients.session(bridge, {"timeout": 1.0})
    assert first.stop.is_set() and again is not first and not again.stop.is_set()
    clients.teardown()
    assert again.stop.is_set() and clients.session(bridge, {"timeout": 1.0}) is not again
