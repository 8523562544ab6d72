"""Prints the benchmark table from the JSON files the benchmark binaries wrote (--benchmark_out).

Usage: report.py RESULT.json...

Each row is a workload with the client's time, the baseline's time (both medians per operation over the
rounds) and their ratio (the median over rounds of client / baseline, measured side by side). The joint
stream rows give rates instead: samples per second that arrived against the rate the bridge was set to.
"""
import json
import sys

# benchmark name, workload, client side, baseline side, target ratio (None: for information), unit
ROWS = [
    ("decode/64KiB_vs_memcpy", "1 decodeFrame, 64 KiB frame vs memcpy to fresh buffers", "lib", "memcpy", None),
    ("decode/1MiB_vs_memcpy", "1 decodeFrame, 1 MiB frame vs memcpy to fresh buffers", "lib", "memcpy", 1.10),
    ("decode/1920x1080_vs_memcpy", "1 decodeFrame, 1920x1080 rgb+depth+seg (22.8 MB) vs memcpy", "lib", "memcpy",
     1.10),
    ("rest_get/client_vs_raw_fresh_vs_reused", "2 REST GET: client.get vs raw libcurl, fresh handle", "lib", "raw", 1.05),
    ("rest_get/client_vs_raw_fresh_vs_reused", "2 REST GET: client.get vs raw libcurl, reused handle (info)", "lib",
     "reused", None),
    ("family/getJointsState_vs_get/7_joints", "3 getJointsState, 7 joints vs client.get", "lib", "get", None),
    ("family/getJointsState_vs_get/1000_joints", "3 getJointsState, 1000 joints vs client.get", "lib", "get", None),
    ("family/setJointPositions_vs_post/7_joints", "3 setJointPositions, 7 joints vs client.post", "lib", "post", None),
    ("family/setJointPositions_vs_post/1000_joints", "3 setJointPositions, 1000 joints vs client.post", "lib", "post",
     None),
    ("ws/receive_vs_curl_ws_recv/100B", "4 WS receive(), ~100 B frames vs curl_ws_recv loop", "lib", "raw", 1.05),
    ("ws/receive_vs_curl_ws_recv/1MiB", "4 WS receive(), 1 MiB frames vs curl_ws_recv loop", "lib", "raw", 1.05),
    ("ws/send_vs_curl_ws_send/100B", "4 WS send(), ~100 B messages vs curl_ws_send loop", "lib", "raw", 1.05),
    ("ws/send_vs_curl_ws_send/1MiB", "4 WS send(), 1 MiB messages vs curl_ws_send loop", "lib", "raw", 1.05),
    ("python/client_get_vs_requests_get", "5 REST GET: client.get vs Python requests.get", "lib", "python", None),
    ("python/receive_vs_websockets_recv/100B", "5 WS ~100 B frames: receive() vs Python websockets", "lib", "python",
     None),
    ("python/receive_vs_websockets_recv/1MiB", "5 WS 1 MiB frames: receive() vs Python websockets", "lib", "python",
     None),
    ("python/corvane_get_vs_requests_get", "7 Python REST GET: corvane client.get vs requests.get", "corvane",
     "python", 0.30),
    ("python/corvane_receive_vs_websockets_recv/100B", "7 Python WS ~100 B frames: corvane receive_for vs websockets",
     "corvane", "python", 0.50),
    ("python/corvane_capture_vs_requests_numpy/1920x1080",
     "7 Python capture 1920x1080 into numpy: corvane vs requests.post + frombuffer", "corvane", "python", 0.50),
    ("bridge_sim/capture_vs_raw_post/640x480", "6 bridge-sim capture 640x480: camera.capture vs raw POST", "lib",
     "raw", None),
    ("bridge_sim/capture_vs_raw_post/1920x1080", "6 bridge-sim capture 1920x1080: camera.capture vs raw POST", "lib",
     "raw", None),
    ("bridge_sim/joint_stream_rate/60Hz", "6 bridge-sim joint stream: achieved vs configured rate", "lib",
     "configured", None, "Hz"),
    ("bridge_sim/joint_stream_rate/1000Hz", "6 bridge-sim joint stream: achieved vs configured rate", "lib",
     "configured", None, "Hz"),
]


def load(paths):
    runs = {}
    for path in paths:
        with open(path) as results:
            for run in json.load(results).get("benchmarks", []):
                runs[run["name"].split("/iterations:")[0]] = run
    return runs


def duration(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def figure(run, side, unit):
    if unit == "Hz":
        return f"{run[side + '_hz']:.1f} Hz"
    return duration(run[side + "_ns"])


def row(runs, name, workload, client, baseline, target, unit="ns"):
    run = runs.get(name)
    if run is None:
        return [workload, "-", "-", "-", "-", "not run"]
    if run.get("error_occurred"):
        return [workload, "-", "-", "-", "-", "skipped: " + run.get("error_message", "")]
    ratio = run["ratio_" + baseline]
    verdict = "info" if target is None else ("met" if ratio <= target else "MISSED")
    return [workload, figure(run, client, unit), figure(run, baseline, unit), f"{ratio:.3f}",
            "-" if target is None else f"<= {target:.2f}", verdict]


def kib(value):
    return f"{value / 1024:.1f} KiB"


def memory_note(runs):
    run = runs.get("decode_memory/1920x1080")
    if run is None:
        return "decoder memory: not run"
    return (f"decoder memory, 1920x1080 frame ({run['frame_bytes'] / 1e6:.1f} MB, outputs "
            f"{run['output_bytes'] / 1e6:.1f} MB): {run['allocations']:.0f} allocations; beyond the outputs' "
            f"buffers it allocated {kib(run['extra_bytes'])} in all ({kib(run['extra_bytes_1MiB'])} for a 1 MiB "
            f"frame) and peaked at {kib(run['peak_extra_bytes'])} (checked: at most 64 KiB, not growing with "
            f"the frame)")


def main(paths):
    runs = load(paths)
    table = [["workload", "corvane", "baseline", "ratio", "target", "verdict"]]
    table += [row(runs, *columns) for columns in ROWS]
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    for i, line in enumerate(table):
        print(" | ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())
        if i == 0:
            print("-+-".join("-" * width for width in widths))
    print()
    print(memory_note(runs))
    print("ratio = corvane / baseline, the median over rounds in which both ran side by side")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
