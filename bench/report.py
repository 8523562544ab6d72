"""Prints the benchmark table from the JSON files the benchmark binaries wrote (--benchmark_out).

Usage: report.py RESULT.json...

Each row is a workload with the client's time, the baseline's time (both medians per operation over the
rounds) and their ratio (the median over rounds of client / baseline, measured side by side).
"""
import json
import sys

# benchmark name, workload, client side, baseline side, target ratio (None: for information)
ROWS = [
    ("rest_get/client_vs_raw_fresh_vs_reused",
     "REST GET, loopback: client.get vs raw libcurl, fresh handle", "lib", "raw", 1.05),
    ("rest_get/client_vs_raw_fresh_vs_reused",
     "REST GET, loopback: client.get vs raw libcurl, reused handle (info)", "lib", "reused", None),
    ("python/client_get_vs_requests_get",
     "REST GET, loopback: client.get vs Python requests.get", "lib", "python", None),
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


def row(runs, name, workload, client, baseline, target):
    run = runs.get(name)
    if run is None:
        return [workload, "-", "-", "-", "-", "not run"]
    if run.get("error_occurred"):
        return [workload, "-", "-", "-", "-", "skipped: " + run.get("error_message", "")]
    ratio = run["ratio_" + baseline]
    verdict = "info" if target is None else ("met" if ratio <= target else "MISSED")
    return [workload, duration(run[client + "_ns"]), duration(run[baseline + "_ns"]), f"{ratio:.3f}",
            "-" if target is None else f"<= {target:.2f}", verdict]


def main(paths):
    runs = load(paths)
    table = [["workload", "corvane", "baseline", "ratio", "target", "verdict"]]
    table += [row(runs, *spec) for spec in ROWS]
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    for i, line in enumerate(table):
        print(" | ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())
        if i == 0:
            print("-+-".join("-" * width for width in widths))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
