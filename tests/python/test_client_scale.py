"""The client at scale, against our server in a process of its own: a 1 GiB response streamed
in bounded memory, and 1,000 concurrent requests over one pool (HTTP/1.1 under a connection
limit, and HTTP/2).

QUILLET_STREAM_TEST_BYTES sets the streamed size (1 GiB by default; a loaded machine may want
less to stay within its time)."""

import asyncio
import os
import resource
import tracemalloc

import pytest

import quillet
from test_e2e_tls_options import Process

STREAM_BYTES = int(os.environ.get("QUILLET_STREAM_TEST_BYTES", str(1 << 30)))


def run(coro):
    return asyncio.run(coro)


@pytest.fixture(scope="module")
def server():
    process = Process("--timeout-keep-alive", "30", app="client_app:app")
    yield process
    process.stop()


@pytest.mark.parametrize("http2", [False, True], ids=["http/1.1", "h2c"])
def test_a_huge_response_streams_in_bounded_memory(server, http2):
    url = f"http://127.0.0.1:{server.port}/bytes?{STREAM_BYTES}"

    async def main():
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
            return total, peak, response.http_version

    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    total, peak, version = run(main())
    rss_growth = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before) * 1024
    assert total == STREAM_BYTES
    assert version == ("HTTP/2" if http2 else "HTTP/1.1")
    assert peak < 8 << 20, f"the client held {peak} bytes at its peak"
    assert rss_growth < 64 << 20, f"the process grew by {rss_growth} bytes"


@pytest.mark.parametrize("http2", [False, True], ids=["http/1.1", "h2c"])
def test_a_thousand_concurrent_requests_over_one_pool(server, http2):
    url = f"http://127.0.0.1:{server.port}"
    limits = quillet.Limits(max_connections=20, max_keepalive_connections=20)

    async def main():
        async with quillet.AsyncClient(http2=http2, limits=limits, timeout=60) as client:
            responses = await asyncio.gather(*(
                client.post(f"{url}/echo", content=b"%d" % i) if i % 2 else
                client.get(f"{url}/inspect?n={i}") for i in range(1000)))
            return responses, client.connections_opened

    responses, opened = run(main())
    for i, response in enumerate(responses):
        assert response.status_code == 200
        if i % 2:
            assert response.content == b"%d" % i
        else:
            assert response.json()["query"] == f"n={i}"
    assert {r.http_version for r in responses} == {"HTTP/2" if http2 else "HTTP/1.1"}
    # never more than the limit; over HTTP/2 each connection carries up to the server's 100
    # streams at once before another is opened
    assert opened <= (20 if not http2 else 10), opened
