"""The `corvane` command as users run it, given as a path: the installed script of a prefix install
(check_install.py) or /usr/bin/corvane of the Debian package (scripts/package --check). Two simulated bridges
from `corvane sim --count 2`, a small collection over both, Ctrl-C in a running collection, and a recording
made, summarised and exported.

    check_commands.py CORVANE WORK_FOLDER
"""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import List

EPISODES = '''
import os, time

def reach(client, recorder, index):
    client.articulation.create("/World/arm")
    try:
        client.articulation.move_joint_positions("/World/arm", [0.05 * index], indices=[0])
        return True
    finally:
        client.articulation.remove("/World/arm")

def hang(client, recorder, index):
    open(os.environ["CHECK_STARTED"], "w").close()
    time.sleep(60)
'''


def run(*command: str, timeout: float = 120) -> "subprocess.CompletedProcess[str]":
    print("+", " ".join(command), flush=True)
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"{command}: exit status {done.returncode}\n{done.stdout}{done.stderr}"
    return done


def collect(corvane: str, work: Path, bridges: List[str]) -> None:
    (work / "episodes.py").write_text(EPISODES)
    options = [arg for url in bridges for arg in ("--bridge", url)]
    started = time.monotonic()
    run(corvane, "collect", f"{work / 'episodes.py'}:reach", *options, "--episodes", "6", "-o", str(work / "data"),
        "--quiet")
    dataset = json.loads((work / "data" / "dataset.json").read_text())
    assert dataset["recorded"] == 6 and {e["bridge"] for e in dataset["episodes"]} == set(bridges), dataset
    print(f"check_commands: 6 episodes over 2 bridges in {time.monotonic() - started:.1f} s", flush=True)

    # Ctrl-C (the whole foreground group gets it, the workers too) ends a collection stuck in an episode.
    marker = work / "started"
    hung = subprocess.Popen([corvane, "collect", f"{work / 'episodes.py'}:hang", *options, "-o", str(work / "hung"),
                             "--quiet"], stderr=subprocess.PIPE, text=True, start_new_session=True,
                            env={**os.environ, "CHECK_STARTED": str(marker)})
    deadline = time.monotonic() + 120
    while not marker.exists():
        assert hung.poll() is None and time.monotonic() < deadline, "the hanging episode never started"
        time.sleep(0.1)
    os.killpg(hung.pid, signal.SIGINT)
    _, err = hung.communicate(timeout=20)
    assert hung.returncode == 130 and err == "corvane collect: interrupted\n", (hung.returncode, err)


def record(corvane: str, work: Path, bridge: str) -> None:
    recording, exported = str(work / "run.mcap"), str(work / "run.h5")
    run(corvane, "camera", "create", "/World/camera", "--resolution", "32", "24", "--bridge", bridge)
    run(corvane, "record", "-o", recording, "--camera", "/World/camera", "--rate", "10", "--duration", "0.5",
        "--bridge", bridge)
    info = run(corvane, "info", recording).stdout
    assert "/World/camera/rgb" in info, info
    run(corvane, "export", recording, "--hdf5", exported)
    assert os.path.getsize(exported) > 0


def main(corvane: str, work: Path) -> None:
    # Ctrl-C as at a terminal: a command started by a background job would inherit SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    work.mkdir(parents=True, exist_ok=True)
    sim = subprocess.Popen([corvane, "sim", "--count", "2"], stdout=subprocess.PIPE, text=True)
    try:
        assert sim.stdout is not None
        bridges = [sim.stdout.readline().split()[0] for _ in range(2)]
        collect(corvane, work, bridges)
        record(corvane, work, bridges[1])
    finally:
        sim.send_signal(signal.SIGINT)
        sim.wait(timeout=30)
    print("check_commands: passed", flush=True)


if __name__ == "__main__":
    main(sys.argv[1], Path(sys.argv[2]))
