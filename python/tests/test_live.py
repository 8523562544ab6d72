"""corvane.LiveServer and the view and play commands, watched through aiohttp's WebSocket client."""

from __future__ import annotations

import asyncio
import json
import pathlib
import struct
import subprocess
import sys
import threading
from typing import Any, Dict, List, Tuple

import pytest

import corvane
import corvane.cli
import corvane.recording
from corvane.testing import BridgeUrls

aiohttp = pytest.importorskip("aiohttp")

V1 = "foxglove.websocket.v1"


async def watch(port: int, topics: List[str], wanted: int, until: float = 20.0
                ) -> Tuple[Dict[str, Any], Dict[int, str], List[Tuple[int, int, bytes]], List[int]]:
    """Connects, subscribes to `topics` as they are advertised (subscription id 100 + channel id) and collects
    `wanted` MessageData frames (subscription id, log time, payload) and any Time frames."""
    data: List[Tuple[int, int, bytes]] = []
    times: List[int] = []
    topic_of: Dict[int, str] = {}
    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(f"ws://127.0.0.1:{port}/", protocols=[V1]) as ws:
            assert ws.protocol == V1
            info = json.loads((await ws.receive(timeout=until)).data)
            while len(data) < wanted:
                message = await ws.receive(timeout=until)
                if message.type == aiohttp.WSMsgType.TEXT:
                    for channel in json.loads(message.data).get("channels", []):
                        if channel["topic"] in topics:
                            topic_of[100 + channel["id"]] = channel["topic"]
                            await ws.send_str(json.dumps({"op": "subscribe", "subscriptions": [
                                {"id": 100 + channel["id"], "channelId": channel["id"]}]}))
                elif message.data[0] == 1:
                    subscription, log_time = struct.unpack_from("<IQ", message.data, 1)
                    data.append((subscription, log_time, message.data[13:]))
                elif message.data[0] == 2:
                    times.append(struct.unpack_from("<Q", message.data, 1)[0])
    return info, topic_of, data, times


def test_a_viewer_sees_the_recorded_bytes(simulated_bridge: BridgeUrls, tmp_path: pathlib.Path) -> None:
    path = tmp_path / "watched.mcap"
    with corvane.LiveServer(port=0) as server, corvane.Recorder(path) as recorder:
        client = corvane.Client("live", simulated_bridge.http_url, simulated_bridge.websocket_url,
                                recorder=[recorder, server])
        client.camera.create("/World/live_cam", [16, 12])
        client.camera.capture("/World/live_cam")  # advertises the channels
        stop = threading.Event()

        def capture_and_publish() -> None:
            while not stop.wait(0.05):
                client.camera.capture("/World/live_cam")
                server.publish("/note", {"said": "hello"})

        worker = threading.Thread(target=capture_and_publish)
        worker.start()
        try:
            info, topic_of, data, _ = asyncio.run(watch(server.port, ["/World/live_cam/rgb", "/note"], 12))
        finally:
            stop.set()
            worker.join()
        assert info["op"] == "serverInfo" and info["sessionId"] == server.session_id
        assert info["capabilities"] == []
    by_topic: Dict[str, List[Tuple[int, bytes]]] = {}
    for subscription, log_time, payload in data:
        by_topic.setdefault(topic_of[subscription], []).append((log_time, payload))
    assert {json.loads(payload)["said"] for _, payload in by_topic["/note"]} == {"hello"}  # published, not recorded
    recorded = {(m[0], m[1]): bytes(m[5]) for m in corvane.recording.open(path)._reader.messages()}
    assert by_topic["/World/live_cam/rgb"]
    for log_time, payload in by_topic["/World/live_cam/rgb"]:
        assert recorded[("/World/live_cam/rgb", log_time)] == payload


def test_composed_observers_refuse_other_objects(simulated_bridge: BridgeUrls) -> None:
    with pytest.raises(TypeError):
        corvane.Client("x", simulated_bridge.http_url, simulated_bridge.websocket_url, recorder=[object()])  # type: ignore[list-item]


def command(*argv: str) -> Tuple[subprocess.Popen[str], int]:
    process = subprocess.Popen([sys.executable, "-m", "corvane", *argv], stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    line = process.stdout.readline()
    assert line.startswith("serving ws://127.0.0.1:"), line
    return process, int(line.split(":")[2].split("/")[0])


def test_view_serves_cameras_and_streams(simulated_bridge: BridgeUrls) -> None:
    setup = corvane.Client("setup", simulated_bridge.http_url, simulated_bridge.websocket_url)
    setup.articulation.create("/World/view_arm")
    setup.camera.create("/World/view_cam", [16, 12])
    process, port = command("view", "--camera", "/World/view_cam", "--stream", "/World/view_arm", "--rate", "20",
                            "--video", "h264", "--transform", "/World/view_cam", "0", "0", "1.5", "0", "0", "0", "1",
                            "--port", "0", "--duration", "20", "--bridge", simulated_bridge.http_url)
    try:
        _, topic_of, data, _ = asyncio.run(watch(port, ["/World/view_cam/rgb", "/transforms",
                                                        "/World/view_arm/stream_joint_positions"], 12))
        assert set(topic_of[s] for s, _, _ in data) == set(topic_of.values())  # video, transform, samples came
        by_topic = {topic_of[s]: payload for s, _, payload in data}
        assert b"h264" in by_topic["/World/view_cam/rgb"]
        assert json.loads(by_topic["/transforms"])["translation"]["z"] == 1.5
    finally:
        process.terminate()
        process.wait()


def test_play_serves_a_recording_with_its_clock(simulated_bridge: BridgeUrls, tmp_path: pathlib.Path) -> None:
    path = tmp_path / "played.mcap"
    with corvane.Recorder(path) as recorder:
        client = corvane.Client("rec", simulated_bridge.http_url, simulated_bridge.websocket_url, recorder=recorder)
        client.camera.create("/World/play_cam", [16, 12])
        for _ in range(5):
            client.camera.capture("/World/play_cam")
    recorded = [m.log_time for m in corvane.recording.open(path).messages(topics=["/World/play_cam/rgb"])]
    process, port = command("play", str(path), "--loop", "--speed", "4", "--port", "0")
    try:
        info, _, data, times = asyncio.run(watch(port, ["/World/play_cam/rgb"], 6))
        assert info["capabilities"] == ["time"]
        assert {log_time for _, log_time, _ in data} <= set(recorded)
        assert times and min(times) >= recorded[0] - 10**9
    finally:
        process.terminate()
        process.wait()


def test_bad_ports_and_addresses_are_refused() -> None:
    with pytest.raises(ValueError):
        corvane.LiveServer(port=70000)
    with corvane.LiveServer(port=0) as server, pytest.raises(RuntimeError):
        corvane.LiveServer(port=server.port)
    assert corvane.cli.main(["play", "/nonexistent.mcap", "--port", "0"]) == 2
