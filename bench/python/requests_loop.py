"""The same GET loop as the client's, in Python's requests (one new connection per request, as there).

Driven over stdin/stdout: prints "ready", then for each line N performs N GETs and prints the time per
request in nanoseconds. Exits with 77 when requests is not installed.
"""
import sys
import time

try:
    import requests
except ImportError:
    sys.exit(77)


def main():
    url, expected = sys.argv[1], sys.argv[2].encode()
    print("ready", flush=True)
    for line in sys.stdin:
        count = int(line)
        start = time.perf_counter_ns()
        for _ in range(count):
            reply = requests.get(url, timeout=5)
            if reply.status_code != 200 or reply.content != expected:
                print("unexpected reply", flush=True)
                return 1
        print((time.perf_counter_ns() - start) / count, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
