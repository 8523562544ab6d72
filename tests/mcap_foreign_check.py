#!/usr/bin/python3
"""Reads the recordings tests/mcap_foreign.mjs wrote with @mcap/core through corvane.recording and `corvane
info`, and compares them with what was written: every message (topic, times, payload) in log-time order, a
topic and time window, the statistics, the attachments and metadata passed over, nothing skipped or torn.

    mcap_foreign_check.py <folder>   (with the corvane package on PYTHONPATH)
"""

import base64
import json
import pathlib
import subprocess
import sys

import corvane.recording


def fail(what: str) -> None:
    sys.exit(f"mcap-check: {what}")


def read(recording, topics=None, start=None, end=None):
    out = []
    for m in recording.messages(topics, start, end):
        data = json.dumps(m.value, separators=(",", ":")).encode() if isinstance(m.value, dict) else bytes(m.value)
        out.append((m.topic, m.log_time, m.publish_time, data))
    return out


def check(path: pathlib.Path, written: dict) -> None:
    name = path.stem
    expected = sorted(((m["topic"], int(m["logTime"]), int(m["publishTime"]), base64.b64decode(m["data"]))
                       for m in written["messages"]), key=lambda m: m[1])  # stable: ties in write order
    recording = corvane.recording.open(path)
    if read(recording) != expected:
        fail(f"{name}: the messages read back differ from those written")
    window = (min(m[1] for m in expected) + 100_000_000, min(m[1] for m in expected) + 300_000_000)
    wanted = [m for m in expected if m[0] == "/joint" and window[0] <= m[1] < window[1]]
    if not wanted or read(recording, ["/joint"], *window) != wanted:
        fail(f"{name}: /joint in [{window[0]}, {window[1]}) differs")
    counts = {c["topic"]: c["messages"] for c in recording.channels}
    got = (recording.indexed, recording.message_count, recording.start_time, recording.end_time, counts,
           recording.skipped_records["attachments"], recording.metadata_names, sum(recording.skipped_chunks.values()),
           recording.torn_bytes, recording.cut_short)
    want = (written["indexed"], len(expected), expected[0][1], max(m[1] for m in expected),
            {t: sum(m[0] == t for m in expected) for t in ("/pose", "/joint", "/raw")}, written["attachments"],
            written["metadata"], 0, 0, False)
    if got != want:
        fail(f"{name}: read {got}, expected {want}")
    info = subprocess.run([sys.executable, "-m", "corvane", "info", str(path)], capture_output=True, text=True,
                          check=True).stdout
    for line in (f"messages:    {len(expected)}", f"passed over: {written['attachments']} attachments\n",
                 f"metadata:    {', '.join(written['metadata'])}"):
        if line not in info:
            fail(f"{name}: `corvane info` does not say {line!r}:\n{info}")
    print(f"mcap-check: {name}: {len(expected)} messages, indexed {recording.indexed}, "
          f"{written['attachments']} attachments and {len(written['metadata'])} metadata passed over")


def main() -> None:
    folder = pathlib.Path(sys.argv[1])
    for name, written in json.loads((folder / "written.json").read_text()).items():
        check(folder / f"{name}.mcap", written)


if __name__ == "__main__":
    main()
