"""100 concurrent GETs in aiohttp (one session, keeping its connections), driven like the other Python loops.

Prints "ready", then for each line N performs N rounds of 100 concurrent GETs and prints the time per round
in nanoseconds. Exits with 77 when aiohttp is not installed.

    aiohttp_loop.py URL EXPECTED_BODY
"""
import asyncio
import sys
import time

try:
    import aiohttp
except ImportError:
    sys.exit(77)

CONCURRENT = 100


async def main(url, expected):
    timeout = aiohttp.ClientTimeout(total=5)
    async with aiohttp.ClientSession(timeout=timeout, connector=aiohttp.TCPConnector(limit=CONCURRENT)) as session:

        async def get():
            async with session.get(url) as reply:
                if reply.status != 200 or await reply.read() != expected:
                    raise RuntimeError("unexpected reply")

        print("ready", flush=True)
        reader = asyncio.get_running_loop()
        while True:
            line = await reader.run_in_executor(None, sys.stdin.readline)
            if not line:
                return 0
            count = int(line)
            start = time.perf_counter_ns()
            for _ in range(count):
                await asyncio.gather(*(get() for _ in range(CONCURRENT)))
            print((time.perf_counter_ns() - start) / count, flush=True)


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv[1], sys.argv[2].encode())))
