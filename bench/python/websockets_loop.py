"""The same stream receive loop as the client's, in Python's websockets.

Connects to the URL given, prints "ready", then for each line N asks the server for N messages, receives
them and prints the time per message in nanoseconds. Exits with 77 when websockets is not installed.
"""
import asyncio
import sys
import time

try:
    import websockets
except ImportError:
    sys.exit(77)


async def main(url, size):
    async with websockets.connect(url, max_size=None, compression=None) as stream:
        print("ready", flush=True)
        while True:
            line = sys.stdin.readline()  # blocking is fine: nothing else runs while we wait
            if not line:
                return 0
            count = int(line)
            await stream.send(str(count))  # the server pushes that many frames; not timed
            start = time.perf_counter_ns()
            for _ in range(count):
                message = await stream.recv()
                if len(message) != size:
                    print("unexpected message", flush=True)
                    return 1
            print((time.perf_counter_ns() - start) / count, flush=True)


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv[1], int(sys.argv[2]))))
