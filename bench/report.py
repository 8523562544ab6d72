"""Prints the benchmark table from the JSON files the benchmark binaries wrote (--benchmark_out).

Usage: report.py RESULT.json...

Each row is a workload with the client's time, the baseline's time (both medians per operation over the
rounds) and their ratio (the median over rounds of client / baseline, measured side by side). The joint
stream rows give rates instead: samples per second that arrived against the rate the bridge was set to.
The stream latency rows give the age of the bridge's samples on arrival (median or 99th percentile over all
samples; the median's ratio is the median over rounds) and the CPU share of the receiving thread.
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
    ("python/corvane_aio_gather_vs_batch/100", "7 Python 100 concurrent GETs: corvane.aio gather vs one batch",
     "corvane", "python", None),
    ("python/corvane_aio_gather_vs_aiohttp/100", "7 Python 100 concurrent GETs: corvane.aio gather vs aiohttp",
     "corvane", "python", None),
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
    ("rest_get/reuse_vs_raw_reused_fresh_share_pool_lane", "9 REST GET with reuse vs raw libcurl, reused handle", "lib",
     "reused", 1.10),
    ("rest_get/reuse_vs_raw_reused_fresh_share_pool_lane", "9 REST GET with reuse vs without (client.get)", "lib",
     "fresh", None),
    ("rest_get/reuse_vs_raw_reused_fresh_share_pool_lane", "9 reuse by a shared cache, fresh easy_perform vs reused",
     "share", "reused", None),
    ("rest_get/reuse_vs_raw_reused_fresh_share_pool_lane", "9 reuse by a pooled handle, reset vs reused", "pool",
     "reused", None),
    ("rest_get/reuse_vs_raw_reused_fresh_share_pool_lane", "9 reuse by a kept multi handle, fresh easy vs reused",
     "lane", "reused", None),
    ("https_get/reuse_vs_fresh_vs_raw_reused", "9 HTTPS GET with reuse vs without", "lib", "fresh", None),
    ("https_get/reuse_vs_fresh_vs_raw_reused", "9 HTTPS GET with reuse vs raw libcurl, reused handle", "lib",
     "reused", None),
    ("capture_all/4_cameras_vs_one_vs_sequential", "9 captureAll, 4 cameras of D = 20 ms vs one capture", "lib",
     "one", 1.25),
    ("capture_all/4_cameras_vs_one_vs_sequential", "9 captureAll, 4 cameras vs 4 captures in turn", "lib", "seq",
     None),
    ("capture/1920x1080_vs_raw_sized_download", "9 capture 22.8 MB, canned server vs raw sized download+memcpy",
     "lib", "raw", 1.10),
    ("capture_shared/1920x1080_vs_raw_sized_download_vs_capture",
     "10 captureShared 22.8 MB vs raw libcurl sized download", "lib", "raw", 1.05),
    ("capture_shared/1920x1080_vs_raw_sized_download_vs_capture", "10 captureShared 22.8 MB vs capture (owning)",
     "lib", "capture", None),
    ("decode_shared/1920x1080_vs_owning_vs_1MiB", "10 decodeSharedFrame 22.8 MB vs decodeFrame 22.8 MB", "shared",
     "owning", None),
    ("decode_shared/1920x1080_vs_owning_vs_1MiB", "10 decodeSharedFrame 22.8 MB vs 1 MiB, same manifest", "shared",
     "small", None),
    ("record/capture_loop_recorded_vs_not/none", "11 capture 640x480 rgb+depth: recorded (no compression) vs not",
     "lib", "plain", 1.10),
    ("record/capture_loop_recorded_vs_not/lz4", "11 capture 640x480 rgb+depth: recorded (lz4) vs not", "lib", "plain",
     None),
    ("record/capture_loop_recorded_vs_not/zstd", "11 capture 640x480 rgb+depth: recorded (zstd) vs not", "lib",
     "plain", None),
    ("record/writer_vs_write_loop/640x480_rgb", "11 MCAP writer, 640x480 rgb messages vs write() loop (/dev/shm)",
     "lib", "raw", 1.25),
    ("record/read_all_vs_read_bytes/none", "11 read every message (no compression) vs read the file's bytes", "lib",
     "raw", None),
    ("record/read_all_vs_read_bytes/zstd", "11 read every message (zstd) vs read the file's bytes", "lib", "raw",
     None),
    ("stream_latency/receiveFor_vs_receive_spin/1000Hz", "8 1 kHz stream, sample age median: receiveFor vs spin",
     "lib", "spin", None),
    ("stream_latency/receiveFor_vs_receive_spin/1000Hz", "8 1 kHz stream, sample age p99: receiveFor vs spin",
     "libp99", "spinp99", None),
    ("stream_latency/receiveFor_vs_receive_spin/1000Hz", "8 1 kHz stream, CPU of a core: receiveFor vs spin", "lib",
     "spin", None, "%"),
    ("stream_latency/receiveLatest_vs_receive_per_tick/1000Hz",
     "8 1 kHz loop, sample age median: receiveLatest vs receive", "lib", "oldest", None),
    ("stream_latency/receiveLatest_vs_receive_per_tick/1000Hz",
     "8 1 kHz loop, sample age p99: receiveLatest vs receive", "libp99", "oldestp99", None),
]


def load(paths):
    runs = {}
    for path in paths:
        with open(path) as results:
            text = results.read()
        if not text.strip():  # a binary none of whose benchmarks matched --benchmark_filter writes nothing
            continue
        for run in json.loads(text).get("benchmarks", []):
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
    if unit == "%":
        return f"{run[side + '_pct']:.1f} %"
    return duration(run[side + "_ns"])


def row(runs, name, workload, client, baseline, target, unit="ns"):
    run = runs.get(name)
    if run is None:
        return [workload, "-", "-", "-", "-", "not run"]
    if run.get("error_occurred"):
        return [workload, "-", "-", "-", "-", "skipped: " + run.get("error_message", "")]
    # The first side of a run is compared with every other as "ratio_<baseline>"; other pairs have their own.
    suffix = "_pct" if unit == "%" else ""
    ratio = run.get(f"ratio_{client}_vs_{baseline}{suffix}", run.get("ratio_" + baseline + suffix))
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


def shared_memory_note(runs):
    run = runs.get("capture_shared_memory/1920x1080")
    if run is None:
        return "shared capture memory: not run"
    return (f"shared capture memory, 1920x1080 ({run['frame_bytes'] / 1e6:.1f} MB reply): {run['allocations']:.0f} "
            f"allocations on the calling thread; beyond the reply it allocated {kib(run['extra_bytes'])} in all and "
            f"peaked at {kib(run['peak_extra_bytes'])} above it (checked: at most 64 KiB; libcurl's malloc not counted)")
def recording_note(runs):
    lines = []
    for name in ("none", "lz4", "zstd"):
        run = runs.get(f"record/capture_loop_recorded_vs_not/{name}")
        if run is None or "file_bytes" not in run:
            continue
        ratio = run["uncompressed_bytes"] / run["file_bytes"] if run["file_bytes"] else 0.0
        lines.append(f"{name}: {run['messages']:.0f} messages, {run['file_bytes'] / 1e6:.1f} MB "
                     f"(records {run['uncompressed_bytes'] / 1e6:.1f} MB, {ratio:.2f}x)")
    return "recorded capture loops: " + ("; ".join(lines) if lines else "not run")


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
    print(shared_memory_note(runs))
    print(recording_note(runs))
    print("ratio = corvane / baseline, the median over rounds in which both ran side by side")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
