"""`import corvane` from a prefix install and from `pip install --no-build-isolation .` into a scratch venv
that sees the system packages, each time with a capture from the simulated bridge that package finds, and
the `corvane` command each of them installs (the prefix's run through check_commands.py: bridges, a
collection, a recording).

    check_install.py <build folder> <source folder> <python install dir, relative to the prefix>
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

SMOKE = """
import sys, numpy, corvane
from corvane.export import lerobot, parquet  # the subpackage installs too
from corvane.testing import SimulatedBridge
assert corvane.__file__.startswith(sys.argv[1]), corvane.__file__
with SimulatedBridge() as (http_url, websocket_url):
    client = corvane.Client("install", http_url, websocket_url, max_retries=0)
    client.camera.create("/World/camera", [32, 24])
    assert numpy.asarray(client.camera.capture("/World/camera").output("rgb")).shape == (24, 32, 3)
print("imported", corvane.__version__, "from", corvane.__file__)
"""


def run(*command: str, **env: str) -> None:
    clean = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "CORVANE_BRIDGE_SIM")}
    print("+", " ".join(command), flush=True)
    subprocess.run(command, check=True, env={**clean, **env}, cwd="/")


def main(build: Path, source: Path, python_dir: str) -> None:
    work = build / "python" / "install-check"
    shutil.rmtree(work, ignore_errors=True)
    prefix = work / "prefix"
    run("cmake", "--install", str(build), "--prefix", str(prefix))
    packages = prefix / python_dir
    run(sys.executable, "-c", SMOKE, str(packages), PYTHONPATH=str(packages))
    run(str(prefix / "bin" / "corvane"), "--version")  # finds its package relative to itself
    run(sys.executable, str(Path(__file__).with_name("check_commands.py")), str(prefix / "bin" / "corvane"),
        str(work / "commands"))
    assert (prefix / "share" / "man" / "man1" / "corvane.1.gz").is_file(), "no manual page of corvane"

    venv = work / "venv"
    run(sys.executable, "-m", "venv", "--system-site-packages", str(venv))
    settings = f"--config-settings=build-dir={build / 'python' / 'pip-build'}"  # kept: later runs are incremental
    launcher = {"CMAKE_ARGS": "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"} if shutil.which("ccache") else {}
    run(str(venv / "bin" / "python"), "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps",
        settings, str(source), **launcher)
    run(str(venv / "bin" / "python"), "-c", SMOKE, str(venv))
    run(str(venv / "bin" / "corvane"), "--version")


if __name__ == "__main__":
    main(Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve(), sys.argv[3])
