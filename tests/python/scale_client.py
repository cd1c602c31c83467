"""The client side of test_client_scale, run in a process of its own so that what it measures
(and what it leaves in the allocator) is its own: prints one JSON object.

    python scale_client.py stream URL HTTP2      the streamed size, peaks of traced and resident memory
    python scale_client.py concurrent URL HTTP2  each response's check, and the connections opened
"""

import asyncio
import json
import sys
import tracemalloc

import quillet


async def stream(url, http2):
    async with quillet.AsyncClient(http2=http2, timeout=60) as client:
        async with client.stream("GET", url) as response:
            total = pieces = 0
            async for chunk in response.aiter_bytes():
                total += len(chunk)
                pieces += 1
                if pieces == 64:  # past the start-up allocations of the first pieces
                    tracemalloc.start()
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    return {"total": total, "traced_peak": peak, "version": response.http_version,
            "max_rss": peak_rss()}


def peak_rss() -> int:
    """This process's resident peak since it began (VmHWM: getrusage's maximum would count
    the process it was forked from, before the exec)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmHWM in /proc/self/status")


async def concurrent(url, http2):
    limits = quillet.Limits(max_connections=20, max_keepalive_connections=20)
    async with quillet.AsyncClient(http2=http2, limits=limits, timeout=60) as client:
        responses = await asyncio.gather(*(
            client.post(f"{url}/echo", content=b"%d" % i) if i % 2 else
            client.get(f"{url}/inspect?n={i}") for i in range(1000)))
        opened = client.connections_opened
    right = [r.status_code == 200 and (r.content == b"%d" % i if i % 2 else
                                       r.json()["query"] == f"n={i}")
             for i, r in enumerate(responses)]
    return {"right": right, "opened": opened,
            "versions": sorted({r.http_version for r in responses})}


if __name__ == "__main__":
    mode, url, http2 = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
    print(json.dumps(asyncio.run((stream if mode == "stream" else concurrent)(url, http2))))
