"""The Python quick start end to end against its own simulated bridge: both pictures show something."""

import os
import subprocess
import sys
from pathlib import Path

from PIL import Image

from corvane.testing import SimulatedBridge

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "quickstart.py"


def test_quickstart_writes_both_pictures(tmp_path: Path) -> None:
    with SimulatedBridge() as (http_url, websocket_url):
        run = subprocess.run([sys.executable, str(EXAMPLE), http_url, websocket_url, str(tmp_path)],
                             capture_output=True, text=True, timeout=120, env=dict(os.environ))
    assert run.returncode == 0, run.stdout + run.stderr
    assert "gripper status: closed" in run.stdout and run.stdout.rstrip().endswith("done")
    for name in ("rgb.png", "depth.png"):
        with Image.open(tmp_path / name) as picture:
            assert picture.size == (640, 480) and picture.mode == "RGB"
            assert len(picture.getcolors(maxcolors=1 << 20) or []) > 10, f"{name} shows more than a flat colour"
