"""corvane.Recorder attached to a client, and corvane.recording reading the file back."""

from __future__ import annotations

import dataclasses
import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap
import time
from typing import Any, Callable, Dict, List

import numpy
import pytest

import corvane
import corvane.recording
from corvane.testing import BridgeUrls


def test_a_recorded_session_reads_back_as_dicts_and_arrays(simulated_bridge: BridgeUrls,
                                                          tmp_path: pathlib.Path) -> None:
    path = tmp_path / "session.mcap"
    with corvane.Recorder(path, compression="lz4") as recorder:
        client = corvane.Client("rec", simulated_bridge.http_url, simulated_bridge.websocket_url, timeout=10.0,
                                max_retries=0, recorder=recorder)
        recorder.write("/episode", {"event": "start", "task": "reach"})
        client.articulation.create("/World/rec_arm")
        client.camera.create("/World/rec_cam", [16, 12])
        frame = client.camera.capture("/World/rec_cam")
        rgb, depth = numpy.array(frame["rgb"]), numpy.array(frame["depth"])
        stream = client.open_joint_position_stream("/World/rec_arm")
        assert stream.receive_for(5.0) is not None
        stream.close()
        recorder.write("/episode", {"event": "end", "success": True})
    assert recorder.stats()["messages"] >= 10

    recording = corvane.recording.open(path)
    assert recording.indexed
    values: Dict[str, List[Any]] = {}
    for message in recording:
        values.setdefault(message.topic, []).append(message.value)
    assert values["/episode"] == [{"event": "start", "task": "reach"}, {"event": "end", "success": True}]
    numpy.testing.assert_array_equal(values["/World/rec_cam/rgb"][0], rgb)
    numpy.testing.assert_array_equal(values["/World/rec_cam/depth"][0], depth)
    assert values["/World/rec_cam/depth"][0].dtype == numpy.float32
    assert "joint_positions" in values["/World/rec_arm/stream_joint_positions"][0]
    assert values["/rest/cameras/World/rec_cam/capture"][0]["status"] == 200

    only = list(recording.messages(topics=["/episode"], start=recording.start_time + 1))
    assert [m.value["event"] for m in only] == ["end"]

    cut = tmp_path / "cut.mcap"
    cut.write_bytes(path.read_bytes()[:-100])
    scanned = corvane.recording.open(cut)
    assert not scanned.indexed
    assert [m.value for m in scanned.messages(["/episode"])] == values["/episode"]


def test_errors_are_recording_errors(tmp_path: pathlib.Path) -> None:
    with pytest.raises(corvane.RecordingError, match="cannot create"):
        corvane.Recorder(tmp_path / "missing" / "x.mcap")
    (tmp_path / "not.mcap").write_bytes(b"hello")
    with pytest.raises(corvane.RecordingError, match="not an MCAP file"):
        corvane.recording.open(tmp_path / "not.mcap")


def test_write_refuses_a_time_that_is_not_one(tmp_path: pathlib.Path) -> None:
    with corvane.Recorder(tmp_path / "times.mcap") as recorder:
        for wrong in (-1.0, 1e12, 1e30, float("nan"), float("inf")):
            with pytest.raises(ValueError, match=f"time must be seconds since the Unix epoch.*got {re.escape(repr(wrong))}$"):
                recorder.write("/t", {}, time=wrong)
        recorder.write("/t", {}, time=1.5)
    assert [m.log_time for m in corvane.recording.open(tmp_path / "times.mcap")] == [1_500_000_000]


# A recorder on a FIFO that a thread of the process opens and never reads: the sink stalls, and each call
# still ends by its deadline, its cancellation or Ctrl-C.
STALLED = textwrap.dedent("""
    import asyncio, faulthandler, os, sys, threading, time
    import corvane, corvane.aio
    faulthandler.dump_traceback_later(20, exit=True)  # a call that hangs fails the test instead
    fifo, url, ws = sys.argv[1:]
    os.mkfifo(fifo)
    held = []
    opener = threading.Thread(target=lambda: held.append(open(fifo, "rb")))
    opener.start()
    recorder = corvane.Recorder(fifo, compression="none", chunk_size=1, queue_bytes=1024)
    opener.join()
    recorder.write("/fill", {"bytes": "x" * (1 << 20)})
    try:
        start = time.monotonic()
        corvane.Client("d", url, ws, recorder=recorder, deadline=0.5).get("/articulations")
        print("deadline", time.monotonic() - start, flush=True)

        async def cancelled():
            task = asyncio.ensure_future(corvane.aio.AsyncClient("a", url, ws, recorder=recorder).get("/articulations"))
            await asyncio.sleep(0.3)
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
        start = time.monotonic()
        asyncio.run(cancelled())
        print("cancelled", time.monotonic() - start, recorder.stats()["dropped"], flush=True)
        corvane.Client("c", url, ws, recorder=recorder).get("/articulations")
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    os._exit(0)  # the writer thread still waits for the FIFO
""")


def test_a_stalled_sink_holds_no_call_past_its_deadline_cancellation_or_ctrl_c(
        simulated_bridge: BridgeUrls, tmp_path: pathlib.Path) -> None:
    process = subprocess.Popen([sys.executable, "-c", STALLED, str(tmp_path / "fifo"), simulated_bridge.http_url,
                                simulated_bridge.websocket_url], stdout=subprocess.PIPE, text=True)
    try:
        assert process.stdout is not None
        deadline = process.stdout.readline().split()
        assert deadline[0] == "deadline" and float(deadline[1]) < 5
        cancelled = process.stdout.readline().split()
        assert cancelled[0] == "cancelled" and float(cancelled[1]) < 5 and cancelled[2] == "2"
        time.sleep(0.5)
        process.send_signal(signal.SIGINT)
        assert process.communicate(timeout=5)[0] == "interrupted\n"
    finally:
        process.kill()
        process.wait()
CRAFTED = pathlib.Path(__file__).resolve().parents[2] / "tests" / "recordings"


CRAFTED_ROWS = [line.split(" | ") for line in (CRAFTED / "expected.txt").read_text().splitlines()]


@pytest.mark.parametrize("row", CRAFTED_ROWS, ids=[row[0] for row in CRAFTED_ROWS])
def test_crafted_recordings_read_or_raise_recording_error(row: List[str]) -> None:
    """Each crafted file of tests/recordings has its outcome in expected.txt (see craft.py there)."""
    name, outcome = row[0], row[1]
    topic, start, end = (row[2].split() if len(row) > 2 else ["-", "0", str(2**64 - 1)])
    path = CRAFTED / name

    def read() -> "tuple[corvane.recording.Recording, List[corvane.recording.Message]]":
        recording = corvane.recording.open(path)
        topics = None if topic == "-" else [topic]
        return recording, list(recording.messages(topics, int(start), int(end)))

    fault = outcome.partition("refused: ")[2] or outcome.partition("undecodable: ")[2]
    if fault:
        with pytest.raises(corvane.RecordingError) as raised:
            read()
        assert fault in str(raised.value) and str(path) in str(raised.value)
        return
    recording, messages = read()
    assert len(messages) == int(outcome.split()[0])
    assert [m.log_time for m in messages] == sorted(m.log_time for m in messages)
    assert recording.cut_short == ("cut short" in outcome)


def test_records_read_by_name_and_close_lets_go_of_the_file(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "records.mcap"
    with corvane.Recorder(path, compression="none") as recorder:
        recorder.write("/task", {"goal": 1})
        recorder.step({"state": numpy.zeros(3)}, numpy.ones(2))
        recorder.write("/task", {"goal": 2})

    def holding() -> int:  # this process's descriptors open on the file
        return sum(os.path.realpath(f"/proc/self/fd/{fd}") == str(path.resolve()) for fd in os.listdir("/proc/self/fd"))

    with corvane.recording.open(path) as recording:
        task = next(c for c in recording.channels if c.topic == "/task")
        assert (task["topic"], task.messages, task.get("messages")) == ("/task", 2, 2)
        assert dict(task) == dataclasses.asdict(task)
        schemas = {schema.id: schema for schema in recording.schemas}
        assert all(schemas[c.schema_id].name == c["schema"] if c.schema_id else not c.schema
                   for c in recording.channels)
        assert recording.chunks[0].compression == recording.chunks[0]["compression"] == ""
        reading, steps = recording.messages(), recording.steps()
        first, step = next(reading), next(steps)
        assert holding() == 1
    assert holding() == 0  # the reads under way ended with it
    assert first.value == {"goal": 1} and step.observation["state"].tolist() == [0, 0, 0] and steps.episodes
    reads: List[Callable[[], object]] = [lambda: next(reading), lambda: next(steps), lambda: recording.channels,
                                         recording.messages]
    for read in reads:
        with pytest.raises(ValueError, match="records.mcap is closed"):
            read()
