"""A capture the way a Python user would do it without the client: requests.post, then the frame decoded in
pure Python, each array a numpy.frombuffer view of the body (no copy).

Prints "ready", then for each line N performs N captures and prints the time per capture in nanoseconds.
Exits with 77 when requests or numpy is not installed.

    requests_capture_loop.py URL
"""
import json
import struct
import sys
import time

try:
    import numpy
    import requests
except ImportError:
    sys.exit(77)


def decode(body):
    if body[:4] != b"CVB1":
        raise RuntimeError("not a frame")
    (length,) = struct.unpack_from("<I", body, 4)
    manifest = json.loads(body[8:8 + length])
    payload = 8 + length
    arrays = {}
    for name, entry in manifest["structure"].items():
        if isinstance(entry, dict) and "__ndarray__" in entry:
            array = manifest["arrays"][entry["__ndarray__"]]
            count = 1
            for dimension in array["shape"]:
                count *= dimension
            arrays[name] = numpy.frombuffer(body, dtype=array["dtype"], count=count,
                                            offset=payload + array["offset"]).reshape(array["shape"])
    return arrays


def main(url):
    print("ready", flush=True)
    for line in sys.stdin:
        count = int(line)
        start = time.perf_counter_ns()
        for _ in range(count):
            reply = requests.post(url, data=b"{}", headers={"Content-Type": "application/json"}, timeout=5)
            if reply.status_code != 200 or decode(reply.content)["rgb"].ndim != 3:
                print("unexpected reply", flush=True)
                return 1
        print((time.perf_counter_ns() - start) / count, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
