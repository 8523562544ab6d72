"""The client's loops through the Python package, driven like the other Python loops.

Prints "ready", then for each line N runs N operations and prints the time per operation in nanoseconds.
Exits with 77 when the package cannot be imported.

    corvane_loop.py PACKAGE_DIR get HTTP_BASE PATH EXPECTED_BODY
    corvane_loop.py PACKAGE_DIR receive WS_BASE PRIM_PATH FRAME_SIZE
    corvane_loop.py PACKAGE_DIR capture HTTP_BASE PRIM_PATH
    corvane_loop.py PACKAGE_DIR aio HTTP_BASE PATH EXPECTED_BODY      (an operation: 100 concurrent awaited GETs)
    corvane_loop.py PACKAGE_DIR batch HTTP_BASE PATH EXPECTED_BODY    (an operation: the same 100 in one batch)

The aio and batch modes keep connections (reuse_connections=True), as aiohttp does.
"""
import asyncio
import sys
import time

sys.path.insert(0, sys.argv[1])
try:
    import corvane
except ImportError:
    sys.exit(77)

CAPTURED = ("rgb", "distance_to_image_plane", "semantic_segmentation")


CONCURRENT = 100


def check(replies, expected):
    if any(reply.status != 200 or reply.body != expected for reply in replies):
        raise RuntimeError("unexpected reply")


def operation(client, mode, target, expected):
    if mode == "aio":
        import corvane.aio
        concurrent = corvane.aio.AsyncClient.from_client(client)

        loop = asyncio.new_event_loop()  # one loop for every round, as aiohttp_loop.py keeps its session's

        async def gather():
            check(await asyncio.gather(*(concurrent.get(target) for _ in range(CONCURRENT))), expected)
        return lambda: loop.run_until_complete(gather()), lambda count: None
    if mode == "batch":
        requests = [("GET", target)] * CONCURRENT
        return lambda: check([result.response for result in client.batch(requests)], expected), lambda count: None
    if mode == "get":
        def get():
            reply = client.get(target)
            if reply.status != 200 or reply.body != expected:
                raise RuntimeError("unexpected reply")
        return get, lambda count: None
    if mode == "receive":
        stream = client.open_joint_position_stream(target)

        def receive():
            if len(stream.receive_for(5.0) or b"") != int(expected):
                raise RuntimeError("unexpected message")
        return receive, lambda count: stream.send(str(count))  # the server pushes that many; not timed

    def capture():  # the named arrays, as numpy arrays on the frame's bytes
        frame = client.camera.capture(target)
        arrays = {name: frame[name] for name in CAPTURED}
        if arrays["rgb"].ndim != 3:
            raise RuntimeError("unexpected frame")
    return capture, lambda count: None


def main(mode, base, target, expected=""):
    client = corvane.Client("bench", base, base.replace("http://", "ws://"), timeout=5.0, max_retries=0,
                            reuse_connections=mode in ("aio", "batch"))
    run, prepare = operation(client, mode, target, expected.encode())
    print("ready", flush=True)
    for line in sys.stdin:
        count = int(line)
        prepare(count)
        start = time.perf_counter_ns()
        for _ in range(count):
            run()
        print((time.perf_counter_ns() - start) / count, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[2:]))
