"""The corvane command against the simulated bridge: results, files and exit statuses, bad inputs included."""

from __future__ import annotations

import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, List, Tuple

import numpy
import pytest
from PIL import Image

from corvane.cli import main
from corvane.testing import BridgeUrls, SimulatedBridge


Cli = Callable[..., Tuple[int, str, str]]


@pytest.fixture
def cli(simulated_bridge: BridgeUrls, capsys: pytest.CaptureFixture[str]) -> Cli:
    """Runs `corvane ARGS... --bridge <the test bridge>`: (exit status, stdout, stderr)."""

    def run(*args: str) -> Tuple[int, str, str]:
        status = main([*args, "--bridge", simulated_bridge.http_url, "--retries", "0"])
        out, err = capsys.readouterr()
        return status, out, err

    return run


def command(*args: str) -> List[str]:
    return [sys.executable, "-m", "corvane", *args]


def test_raw_verbs_print_the_reply_and_refuse_bad_bodies(cli: Cli, tmp_path: Path) -> None:
    assert cli("put", "/articulations", '{"prim_path": "/World/raw"}')[0] == 0
    status, out, err = cli("get", "/articulations//World/raw/dof_limits")
    assert status == 0 and err.startswith("200 OK") and "joint_names" in json.loads(out)
    status, out, err = cli("get", "/articulations//World/none/dof_limits")
    assert status == 1 and err.startswith("404 Not Found: ") and "/World/none" in err
    body = tmp_path / "body.json"
    body.write_text('{"joint_positions": [0.1],\n "indices": [0 1]}')
    status, out, err = cli("post", "/articulations//World/raw/set_j", f"@{body}")
    assert status == 2 and "line 2, column" in err and out == ""
    body.write_text('{"joint_positions": [0.1], "indices": [0]}')
    assert cli("post", "/articulations//World/raw/set_j", f"@{body}")[0] == 0
    assert cli("delete", "/articulations//World/raw", "--raw")[0] == 0


def test_family_commands_and_the_bridges_reason(cli: Cli) -> None:
    assert cli("articulation", "create", "/World/arm")[0] == 0
    status, out, _ = cli("articulation", "move", "/World/arm", "0.5", "-0.2", "--indices", "0", "1")
    assert status == 0 and json.loads(out)["completed"] is True
    state = json.loads(cli("articulation", "state", "/World/arm")[1])
    assert numpy.allclose(state["joint_positions"][:2], [0.5, -0.2], atol=1e-3)
    assert cli("gripper", "create", "/World/Gripper")[0] == 0
    assert cli("gripper", "set-properties", "/World/Gripper", "--max-grip-distance", "0.05",
               "--rotation-limits", '{"x": [-0.5, 0.5]}')[0] == 0
    assert json.loads(cli("gripper", "close", "/World/Gripper")[1])["status"] == "closed"
    assert cli("gripper", "set-properties", "/World/Gripper", "--rotation-limits", "[1, 2")[0] == 2
    status, out, err = cli("articulation", "state", "/World/none")
    assert status == 1 and out == "" and re.fullmatch(r"corvane articulation state: the bridge answered "
                                                     r"404 Not Found: .*/World/none.*\n", err)
    status, _, err = cli("camera", "create", "/World/Cam", "--resolution", "64")
    assert status == 2 and err.count("\n") == 1


def test_capture_writes_whole_files_and_a_table(cli: Cli, tmp_path: Path) -> None:
    assert cli("camera", "create", "/World/Camera", "--resolution", "64", "48")[0] == 0
    status, out, _ = cli("camera", "capture", "/World/Camera", "--types", "rgb", "depth", "-o", str(tmp_path),
                         "--count", "2", "--rate", "20")
    assert status == 0 and re.search(r"^rgb +uint8 +48x64x3 ", out, re.M) and re.search(r"^depth +float32 ", out, re.M)
    assert sorted(os.listdir(tmp_path)) == [f"{n}_{name}" for n in ("0000", "0001")
                                            for name in ("depth.npy", "depth.png", "frame.json", "rgb.png")]
    with Image.open(tmp_path / "0001_depth.png") as picture:
        assert picture.size == (64, 48) and len(picture.getcolors(1 << 16) or []) > 5
    assert numpy.load(tmp_path / "0001_depth.npy").shape == (48, 64)
    assert json.loads((tmp_path / "0000_frame.json").read_text())["resolution"] == [64, 48]
    (tmp_path / "file").write_text("")
    status, _, err = cli("camera", "capture", "/World/Camera", "-o", str(tmp_path / "file" / "sub"))
    assert status == 2 and "cannot write to the output folder" in err
    assert cli("camera", "capture", "/World/none", "-o", str(tmp_path / "none" / "sub"))[0] == 1
    assert not (tmp_path / "none").exists()  # a failed capture creates nothing


def test_a_bridge_that_is_down(capsys: pytest.CaptureFixture[str]) -> None:
    with socket.socket() as unused:
        unused.bind(("127.0.0.1", 0))
        port = unused.getsockname()[1]
    started = time.monotonic()
    status = main(["articulation", "state", "/World/arm", "--bridge", f"http://127.0.0.1:{port}/", "--timeout", "2"])
    err = capsys.readouterr().err
    assert status == 1 and f"cannot reach the bridge at http://127.0.0.1:{port}/ (3 attempts)" in err
    assert err.count("\n") == 1
    assert time.monotonic() - started < 10


def test_collect_refuses_a_bad_command_line_with_status_2(tmp_path: Path,
                                                           capsys: pytest.CaptureFixture[str]) -> None:
    script = tmp_path / "episodes.py"
    script.write_text("def wave(client, recorder, index):\n    pass\n")
    collect = ["collect", f"{script}:wave", "-o", str(tmp_path / "out"), "-q"]
    for wrong in (["--timeout", "0"], ["--timeout", "-1"], ["--episode-timeout", "0"], ["--attempts", "0"],
                  ["--retries", "-1"], ["--bridge", "ftp://h"], ["--episodes", "-1"]):
        bridge = [] if wrong[0] == "--bridge" else ["--bridge", "http://127.0.0.1:9"]
        assert main([*collect, *bridge, *wrong]) == 2, wrong
        err = capsys.readouterr().err
        assert err.startswith("corvane collect: ") and err.count("\n") == 1, err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("rate", [60, 500])
def test_stream_hz_agrees_with_the_bridges_rate(rate: int) -> None:
    with SimulatedBridge(["--stream-rate", str(rate)]) as urls:
        assert main(["articulation", "create", "/World/arm", "--bridge", urls.http_url]) == 0
        run = subprocess.run(command("stream", "/World/arm", "--hz", "--count", "2", "--bridge", urls.http_url),
                             capture_output=True, text=True, timeout=60)
    averages = [float(x) for x in re.findall(r"^average rate: ([0-9.]+)$", run.stdout, re.M)]
    assert run.returncode == 0 and len(averages) == 2 and re.search(r"\tmin: .*s max: .*s std dev: .*s window: \d+",
                                                                    run.stdout), run.stdout + run.stderr
    # Arrivals, not the bridge's schedule: on a loaded machine the bridge drops samples it could not send in
    # time, so only a generous bound holds here (the arithmetic is checked exactly below).
    assert 0.4 * rate < averages[-1] < 1.1 * rate


def test_stream_hz_reports_the_intervals_as_ros2_topic_hz_does() -> None:
    from corvane.cli.stream import Rate

    rate = Rate(window=3)
    for at in (0.0, 0.1, 0.3, 0.4, 0.6):  # the window keeps the last three intervals: 0.2, 0.1, 0.2
        rate.sample(at)
    assert rate.report() == "average rate: 6.000\n\tmin: 0.100s max: 0.200s std dev: 0.04714s window: 4"
    assert rate.report() == "no new messages"
    rate.gap()
    rate.sample(5.0)  # the interval across an outage is not counted
    assert (rate.report() or "").startswith("average rate: 6.000")


def test_stream_echo_ends_on_ctrl_c_and_names_an_unknown_articulation(cli: Cli, simulated_bridge: BridgeUrls) -> None:
    assert cli("articulation", "create", "/World/echo")[0] == 0
    status, out, _ = cli("stream", "/World/echo", "--state", "--count", "3")
    assert status == 0 and len([json.loads(line) for line in out.splitlines()]) == 3
    status, out, _ = cli("stream", "/World/echo", "--latest", "--every", "0.3", "--count", "2")
    first, second = (json.loads(line)["seq"] for line in out.splitlines())
    assert status == 0 and 10 <= second - first <= 30  # the newest sample, 0.3 s of samples apart
    status, _, err = cli("stream", "/World/none")
    assert status == 1 and "404 Not Found: " in err and "/World/none" in err  # the bridge's reason
    echo = subprocess.Popen(command("stream", "/World/echo", "--bridge", simulated_bridge.http_url),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert echo.stdout is not None and json.loads(echo.stdout.readline())
    echo.send_signal(signal.SIGINT)
    started = time.monotonic()
    _, err = echo.communicate(timeout=10)
    assert time.monotonic() - started < 2 and echo.returncode == 130 and err.endswith("interrupted\n")


def test_stream_reports_an_outage_and_resumes(cli: Cli, simulated_bridge: BridgeUrls) -> None:
    assert cli("articulation", "create", "/World/outage")[0] == 0
    hz = subprocess.Popen(command("stream", "/World/outage", "--hz", "--duration", "6", "--bridge",
                                  simulated_bridge.http_url), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert hz.stdout is not None and hz.stdout.readline().startswith("average rate: ")
    assert cli("articulation", "remove", "/World/outage")[0] == 0
    time.sleep(0.5)
    assert cli("articulation", "create", "/World/outage")[0] == 0
    out, err = hz.communicate(timeout=20)
    assert hz.returncode == 0 and re.search(r"stream lost; reconnecting \.\.\.\nstream back after [0-9.]+ s .*"
                                            r"articulation removed", err), err
    assert out.splitlines()[-2].startswith("average rate: ")  # samples again after the outage


def test_sim_runs_bridges_until_ctrl_c_and_survives_one_stopping() -> None:
    sim = subprocess.Popen(command("sim", "--count", "2", "--stream-rate", "30"), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    assert sim.stdout is not None and sim.stderr is not None
    urls = [sim.stdout.readline().split() for _ in range(2)]
    assert len({http for http, _ in urls}) == 2
    reply = subprocess.run(command("get", "/articulations//World/none/dof_limits"), capture_output=True, text=True,
                           env={**os.environ, "CORVANE_BRIDGE": urls[1][0]})
    assert reply.returncode == 1 and reply.stderr.startswith("404 Not Found")
    bridges = [int(pid) for pid in Path(f"/proc/{sim.pid}/task/{sim.pid}/children").read_text().split()]
    for pid in bridges:  # each bridge is given the port once
        assert Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0").count(b"--port") == 1
    os.kill(bridges[0], signal.SIGKILL)
    assert "bridge 1 " in sim.stderr.readline() and sim.poll() is None  # said so, and kept the other one
    assert main(["articulation", "create", "/World/kept", "--bridge", urls[1][0], "--retries", "0"]) == 0
    sim.send_signal(signal.SIGINT)
    assert sim.wait(timeout=15) == 0
    assert main(["get", "/", "--bridge", urls[1][0], "--retries", "0", "--timeout", "2"]) == 1  # all stopped


def test_help_at_every_level() -> None:
    levels: List[List[str]] = [[], ["articulation"], ["gripper", "set-attachment-points"], ["camera", "capture"],
                               ["sim"], ["record"], ["info"], ["export"]]
    for args in levels:
        run = subprocess.run(command(*args, "--help"), capture_output=True, text=True, timeout=30)
        assert run.returncode == 0 and run.stdout.startswith("usage: corvane") and run.stderr == ""
    assert "(default 10)" in run_help("record") and "(default zstd)" in run_help("record")
    for name in ("info", "export"):  # a description, and the file argument explained
        text = run_help(name)
        assert text.split("\n\n")[1][0].isalpha() and re.search(r"^  file +\S", text, re.M), text
    # The parser alone imports no command's dependencies (pytest comes with corvane.testing): a quick start.
    probe = "import sys, corvane.cli; corvane.cli.build_parser(); print(sorted({'pytest', 'corvane.testing', " \
            "'numpy', 'distributed'} & set(sys.modules)))"
    assert subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True).stdout == "[]\n"


def run_help(*args: str) -> str:
    return subprocess.run(command(*args, "--help"), capture_output=True, text=True, timeout=30).stdout
