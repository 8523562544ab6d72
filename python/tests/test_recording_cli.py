"""corvane record, info and export (the command group in corvane/cli/recording.py)."""

from __future__ import annotations

import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time
from typing import List

import pytest

import corvane
import corvane.cli
import corvane.recording
from corvane.testing import BridgeUrls

h5py = pytest.importorskip("h5py")


def run(argv: List[str]) -> int:
    return corvane.cli.main(argv)


def test_record_info_and_export(simulated_bridge: BridgeUrls, tmp_path: pathlib.Path,
                                capsys: pytest.CaptureFixture[str]) -> None:
    client = corvane.Client("setup", simulated_bridge.http_url, simulated_bridge.websocket_url)
    client.articulation.create("/World/cli_arm")
    client.camera.create("/World/cli_cam", [16, 12])

    recorded = tmp_path / "polled.mcap"
    assert run(["record", "-o", str(recorded), "--duration", "0.6", "--rate", "10", "--camera", "/World/cli_cam",
                "--stream", "/World/cli_arm", "--bridge", simulated_bridge.http_url]) == 0
    err = capsys.readouterr().err
    reading = corvane.recording.open(recorded)
    assert f": {reading.message_count} messages, " in err and "\r" not in err  # no progress line in a log
    assert run(["info", str(recorded)]) == 0
    out = capsys.readouterr().out
    assert "/World/cli_cam/rgb" in out and "sensor_msgs/Image [ros1msg]" in out
    assert "/World/cli_arm/stream_joint_positions" in out
    start = re.search(r"^start: +(\d+)\.(\d{9}) ", out, re.M)
    assert start and int(start[1] + start[2]) == reading.start_time  # exact, to the nanosecond

    # Two episodes written through the API: three captures each, a joint command after each capture.
    session = tmp_path / "episodes.mcap"
    with corvane.Recorder(session) as recorder:
        client = corvane.Client("rec", simulated_bridge.http_url, simulated_bridge.websocket_url, recorder=recorder)
        stream = client.open_joint_position_stream("/World/cli_arm")
        for episode in range(2):
            recorder.write("/episode", {"event": "start", "task": "reach"})
            for step in range(3):
                assert stream.receive_for(5.0) is not None
                client.camera.capture("/World/cli_cam")
                stream.send(f'{{"joint_positions":[{episode}.{step}],"indices":[0]}}')
            recorder.write("/episode", {"event": "end", "success": episode == 1})
        stream.close()
    exported = tmp_path / "out.h5"
    assert run(["export", str(session), "--hdf5", str(exported)]) == 0
    with h5py.File(exported, "r") as f:
        data = f["data"]
        assert data.attrs["total"] == 6 and "env_args" in data.attrs
        assert sorted(data) == ["demo_0", "demo_1"]
        demo = data["demo_1"]
        assert demo.attrs["num_samples"] == 3
        assert demo["obs/World_cli_cam_rgb"].shape == (3, 12, 16, 3)
        assert demo["obs/World_cli_arm_stream_joint_positions"].shape[0] == 3
        assert demo["actions"][:, 0].tolist() == [1.0, 1.1, 1.2]
        assert demo["rewards"][-1] == 1.0 and data["demo_0"]["rewards"][-1] == 0.0

    # A collection folder: its successful shards, one demo each, named by episode index.
    folder = tmp_path / "collection"
    folder.mkdir()
    (folder / "episode-000003.mcap").write_bytes(session.read_bytes())
    (folder / "episode-000004.mcap").write_bytes(b"")  # a shard left empty (a power cut): skipped, said so
    episodes = [{"index": 3, "shard": "episode-000003.mcap", "success": True},
                {"index": 1, "shard": None, "error": "bridge died"},
                {"index": 4, "shard": "episode-000004.mcap", "success": True}]
    (folder / "dataset.json").write_text(json.dumps({"episodes": episodes}))
    capsys.readouterr()
    assert run(["export", str(folder), "--hdf5", str(exported)]) == 0
    assert "skipping episode 4" in capsys.readouterr().err
    with h5py.File(exported, "r") as f:
        assert sorted(f["data"]) == ["demo_3", "demo_3_1"] and f["data"].attrs["total"] == 6
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.endswith(".part")) == []


def test_export_without_steps_keeps_the_first_sample_and_takes_commands_as_actions(
        simulated_bridge: BridgeUrls, tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    setup = corvane.Client("setup", simulated_bridge.http_url, simulated_bridge.websocket_url)
    setup.articulation.create("/World/first_arm")
    setup.camera.create("/World/first_cam", [16, 12])
    session, exported = tmp_path / "events.mcap", tmp_path / "events.h5"
    with corvane.Recorder(session) as recorder:
        client = corvane.Client("rec", simulated_bridge.http_url, simulated_bridge.websocket_url, recorder=recorder)
        stream = client.open_joint_position_stream("/World/first_arm")
        for i in range(3):
            client.camera.capture("/World/first_cam")  # the first before any joint state was received
            client.articulation.set_joint_positions("/World/first_arm", [0.1 * (i + 1)], indices=[0])
            assert stream.receive_for(5.0) is not None
        stream.close()
    assert run(["export", str(session), "--hdf5", str(exported)]) == 0
    with h5py.File(exported, "r") as f:
        demo = f["data/demo_0"]
        assert demo.attrs["num_samples"] == 3
        assert demo["obs/World_first_cam_rgb"].shape == (3, 12, 16, 3)
        assert demo["obs/World_first_arm_stream_joint_positions"].shape[0] == 3
        assert demo["actions"][:, 0].tolist() == pytest.approx([0.1, 0.2, 0.3])
    assert "no actions" not in capsys.readouterr().err
    assert run(["export", str(session), "--hdf5", str(exported), "--valid-fraction", "1.5"]) == 2
    assert run(["export", str(session), "--hdf5", str(exported), "--env-name", "Reach", "--env-type", "2",
                "--env-kwargs", '{"robot": "arm"}', "--valid-fraction", "0"]) == 0
    with h5py.File(exported, "r") as f:
        assert json.loads(f["data"].attrs["env_args"]) == {"env_name": "Reach", "type": 2,
                                                           "env_kwargs": {"robot": "arm"}}
        assert f["mask/train"][:].tolist() == [b"demo_0"] and f["mask/valid"].shape == (0,)

    with corvane.Recorder(session) as recorder:  # captures alone: no command to take as an action
        client = corvane.Client("rec", simulated_bridge.http_url, simulated_bridge.websocket_url, recorder=recorder)
        for _ in range(2):
            client.camera.capture("/World/first_cam")
    assert run(["export", str(session), "--hdf5", str(exported)]) == 0
    assert "no actions" in capsys.readouterr().err
    with h5py.File(exported, "r") as f:
        assert f["data/demo_0/actions"].shape == (2, 0)


def test_info_and_export_on_damaged_files(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    crafted = pathlib.Path(__file__).resolve().parents[2] / "tests" / "recordings"
    assert run(["info", str(crafted / "cut_short.mcap")]) == 0
    assert "cut short:   2 complete chunks recovered, 100 bytes after the last complete record" in capsys.readouterr().out
    assert run(["info", str(crafted / "unchunked.mcap")]) == 0
    out = capsys.readouterr().out
    assert "messages:    40" in out and "passed over: 1 attachment, 1 unknown record\nmetadata:    robot\n" in out
    assert run(["info", str(crafted / "no_summary_chunk_crc_wrong.mcap")]) == 0
    assert "skipped:     1 chunk left out (1 failing the CRC check)" in capsys.readouterr().out
    for command, name, fault in [("info", "magic_only.mcap", "not a recording"),
                                 ("export", "chunk_claims_2p63_zstd.mcap", "claims 9223372036854775808 bytes"),
                                 ("export", "json_cut.mcap", "JSONDecodeError")]:
        extra = ["--hdf5", str(tmp_path / "out.h5")] if command == "export" else []
        assert run([command, str(crafted / name), *extra]) == 1
        error = capsys.readouterr().err
        assert error.count("\n") == 1 and error.startswith(f"corvane {command}: recording: {crafted / name}: ")
        assert fault in error


def test_record_and_export_refuse_what_they_cannot_do(simulated_bridge: BridgeUrls, tmp_path: pathlib.Path,
                                                      capsys: pytest.CaptureFixture[str]) -> None:
    """A bad command line is exit status 2, a failure 1, each one line; a failed run leaves no file."""
    out = str(tmp_path / "r.mcap")
    bridge = ["--bridge", simulated_bridge.http_url, "--retries", "0"]
    bad_lines: List[List[str]] = [["--rate", "0"], ["--duration", "nan"], ["--duration", "-5"],
                                  ["--duration", "inf"], []]
    for bad in bad_lines:
        assert run(["record", "-o", out, *bad, *(["--stream", "/World/a"] if bad else []), *bridge]) == 2, bad
    assert "give --camera PRIM or --stream PRIM" in capsys.readouterr().err
    assert run(["record", "-o", out, "--camera", "/World/nope", *bridge]) == 1
    assert os.listdir(tmp_path) == []
    capsys.readouterr()

    corrupt = tmp_path / "corrupt.mcap"
    corrupt.write_bytes(b"\x89MCAP0\r\n" + b"\x00" * 100)
    assert run(["info", str(corrupt)]) == 1 and run(["export", str(corrupt), "--hdf5", str(tmp_path / "x.h5")]) == 1
    capsys.readouterr()
    with corvane.Recorder(tmp_path / "good.mcap") as recorder:
        recorder.write("/note", {"n": 1})
    assert run(["export", str(tmp_path / "good.mcap"), "--hdf5", "/nonexistent/x.h5"]) == 1
    assert capsys.readouterr().err == "corvane export: cannot write /nonexistent/x.h5: No such file or directory\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["corrupt.mcap", "good.mcap"]


def _wait_for_connection(port: int, limit: float = 60.0) -> None:
    """Until a connection to 127.0.0.1:`port` is established (/proc/net/tcp: remote address, state 01)."""
    remote = f"0100007F:{port:04X}"
    end = time.monotonic() + limit
    while time.monotonic() < end:
        with open("/proc/net/tcp", encoding="ascii") as table:
            if any(fields[2] == remote and fields[3] == "01" for fields in (line.split() for line in table)):
                return
        time.sleep(0.05)
    raise AssertionError(f"nothing connected to port {port} in {limit} s")


def test_sigterm_ends_a_recording_waiting_on_a_bridge_that_does_not_answer(hanging_port: int,
                                                                          tmp_path: pathlib.Path) -> None:
    out = tmp_path / "r.mcap"
    record = subprocess.Popen([sys.executable, "-m", "corvane", "record", "-o", str(out), "--camera", "/World/c",
                               "--bridge", f"http://127.0.0.1:{hanging_port}/", "--timeout", "10"],
                              stderr=subprocess.PIPE, text=True)
    _wait_for_connection(hanging_port)  # in the first capture's wait
    record.send_signal(signal.SIGTERM)
    started = time.monotonic()
    _, err = record.communicate(timeout=30)
    assert time.monotonic() - started < 5 and record.returncode == 0, err  # as Ctrl-C: the normal end
    assert corvane.recording.open(out).indexed  # completed, as after Ctrl-C
