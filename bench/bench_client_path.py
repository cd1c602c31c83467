"""The client's own cost per request, without a server or a system call: a diagnostic for work on
the request path, not a goal (bench_client.py measures the client against other clients).

    .venv/bin/python bench/bench_client_path.py [--requests 30000] [--loops asyncio,uvloop]
    .venv/bin/python bench/bench_client_path.py --profile     # cProfile of the same run

`AsyncClient.get` on one keep-alive HTTP/1.1 connection whose transport is in memory: each
request written is answered at the loop's next turn with the same 1 KiB response from nginx,
delivered as the loop delivers a socket's bytes (through the stream's buffer on the standard
loop, as `data_received` on uvloop). What is left is the
client's Python, its native calls and the event loop's turn. To compare two builds, run this
with each (PYTHONPATH naming a copy of the installed package), alternating, and take medians.
"""

from __future__ import annotations

import argparse
import asyncio
import cProfile
import pstats
import resource

import quillet

RESPONSE = (b"HTTP/1.1 200 OK\r\nServer: nginx/1.22.1\r\nDate: Thu, 10 Dec 2026 13:18:19 GMT\r\n"
            b"Content-Type: text/plain\r\nContent-Length: 1024\r\n"
            b"Last-Modified: Thu, 10 Dec 2026 13:17:31 GMT\r\nConnection: keep-alive\r\n"
            b'ETag: "6b1aa66b-400"\r\nAccept-Ranges: bytes\r\n\r\n' + b"x" * 1024)


class MemoryTransport(asyncio.Transport):
    """Answers every request head written to it with RESPONSE at the loop's next turn."""

    def __init__(self, loop: asyncio.AbstractEventLoop, protocol) -> None:
        super().__init__()
        self.loop = loop
        self.protocol = protocol
        self.closed = False

    def write(self, data: bytes) -> None:
        if data.endswith(b"\r\n\r\n"):
            self.loop.call_soon(self._answer)

    def _answer(self) -> None:
        protocol = self.protocol
        # as the loops do it: the standard one through the protocol's buffer, uvloop not
        if isinstance(protocol, asyncio.BufferedProtocol) \
                and isinstance(self.loop, asyncio.BaseEventLoop):
            buffer = protocol.get_buffer(len(RESPONSE))
            buffer[:len(RESPONSE)] = RESPONSE
            protocol.buffer_updated(len(RESPONSE))
        else:
            protocol.data_received(RESPONSE)

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            self.loop.call_soon(self.protocol.connection_lost, None)

    def is_closing(self) -> bool:
        return self.closed

    def get_extra_info(self, name, default=None):
        return default

    def get_write_buffer_size(self) -> int:
        return 0

    def pause_reading(self) -> None:
        pass

    def resume_reading(self) -> None:
        pass


async def create_connection(factory, host=None, port=None, **options):
    loop = asyncio.get_running_loop()
    protocol = factory()
    transport = MemoryTransport(loop, protocol)
    protocol.connection_made(transport)
    return transport, protocol


def cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


async def requests(n: int, profile: bool) -> float:
    """CPU seconds of `n` GETs after a warm-up; the loop's connections are in memory."""
    asyncio.get_running_loop().create_connection = create_connection
    url = "http://127.0.0.1:8080/small"
    async with quillet.AsyncClient(http2=False) as client:
        for _ in range(500):
            response = await client.get(url)
            if response.status_code != 200 or len(response.content) != 1024:
                raise RuntimeError(f"unexpected response: {response!r}")
        profiler = cProfile.Profile() if profile else None
        if profiler is not None:
            profiler.enable()
        start = cpu()
        for _ in range(n):
            await client.get(url)
        used = cpu() - start
        if profiler is not None:
            profiler.disable()
            pstats.Stats(profiler).sort_stats("tottime").print_stats(30)
        if client.connections_opened != 1:
            raise RuntimeError("the connection was not reused")
        return used


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=30000)
    parser.add_argument("--loops", default="asyncio,uvloop")
    parser.add_argument("--profile", action="store_true")
    args = parser.parse_args()
    for loop in args.loops.split(","):
        coro = requests(args.requests, args.profile)
        if loop == "uvloop":
            import uvloop
            used = uvloop.run(coro)
        else:
            used = asyncio.run(coro)
        print(f"{loop:8} {used / args.requests * 1e6:6.2f} us CPU per request")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
