"""The HTTP/2 server's CPU per request in one process, without sockets: a `ServerConnection` fed
requests as h2load sends them (HEADERS only, ten to a read) through a transport that takes what
is written and drops it. What it measures is the driver, the ASGI layer and the application,
the kernel's share excluded, so that a change of a tenth of a microsecond shows. Not part of CI.

    .venv/bin/python bench/bench_h2_driver.py [--loop uvloop] [--requests 20000] [--app demo]
                                              [--rounds 3]
    PYTHONPATH=DIR .venv/bin/python bench/bench_h2_driver.py ...   # an earlier build in DIR

The client's bytes come from the h2 package (a black-box peer): one request to fill its HPACK
table, then a second whose header block, all indexed, is copied for every later stream. `--app
trivial` answers with two fixed messages instead of `quillet.demo_app`, leaving the server's own
share. Prints the CPU time (time.process_time) per request of each round, and the median.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import statistics
import struct
import sys
import time

import h2.config
import h2.connection
import h2.settings

from quillet import demo_app
from quillet._h2server import ServerConnection
from quillet._stream import Stream
from quillet.server import Server

PER_READ = 10
FIELDS = [(b":method", b"GET"), (b":path", b"/"), (b":scheme", b"http"),
          (b":authority", b"127.0.0.1:8000"), (b"user-agent", b"h2load nghttp2/1.52.0")]
_START = {"type": "http.response.start", "status": 200,
          "headers": [(b"content-type", b"text/plain")]}
_BODY = {"type": "http.response.body", "body": b"hello"}


async def trivial_app(scope, receive, send):
    await send(_START)
    await send(_BODY)


class Sink:
    """A transport that takes everything and never pushes back."""

    def write(self, data) -> None:
        pass

    def writelines(self, parts) -> None:
        pass

    def get_write_buffer_size(self) -> int:
        return 0

    def is_closing(self) -> bool:
        return False

    def get_extra_info(self, name, default=None):
        return ("127.0.0.1", 8000) if name in ("peername", "sockname") else default

    def pause_reading(self) -> None:
        pass

    def resume_reading(self) -> None:
        pass

    def can_write_eof(self) -> bool:
        return False

    def close(self) -> None:
        pass

    def abort(self) -> None:
        pass


def client_bytes(requests: int) -> tuple[bytes, list[bytes]]:
    """The preface (with windows opened wide, so that no response waits) and the first request;
    then the reads, each of PER_READ requests."""
    client = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    client.local_settings = h2.settings.Settings(
        client=True, initial_values={h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 2**31 - 1})
    client.initiate_connection()
    client.increment_flow_control_window(2**31 - 1 - 65535)
    client.send_headers(1, FIELDS, end_stream=True)
    first = client.data_to_send()
    client.send_headers(3, FIELDS, end_stream=True)
    template = client.data_to_send()  # one HEADERS frame; its block refers to the table alone
    head, block = template[:5], template[9:]
    reads = []
    sid = 3
    for _ in range(requests // PER_READ):
        frames = []
        for _ in range(PER_READ):
            frames.append(head + struct.pack(">I", sid) + block)
            sid += 2
        reads.append(b"".join(frames))
    return first, reads


async def one_round(app, first: bytes, reads: list[bytes]) -> float:
    loop = asyncio.get_running_loop()
    server = Server(app, access_log=False)
    server.loop = loop
    stream = Stream(loop)
    transport = Sink()
    stream.connection_made(transport)
    conn = ServerConnection.open(server, stream, transport)
    task = loop.create_task(conn.serve(first))
    while server.requests_served < 1:
        await asyncio.sleep(0)
    served = server.requests_served
    t0 = time.process_time()
    for read in reads:
        stream.data_received(read)
        served += PER_READ
        while server.requests_served < served:
            await asyncio.sleep(0)
    spent = time.process_time() - t0
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass
    return spent / (len(reads) * PER_READ) * 1e6


async def run(args) -> None:
    app = trivial_app if args.app == "trivial" else demo_app.app
    first, reads = client_bytes(args.requests)
    gc.collect()
    results = []
    for _ in range(args.rounds):
        results.append(await one_round(app, first, reads))
    print(f"{args.loop}, app {args.app}: " + " ".join(f"{r:.2f}" for r in results)
          + f" us/request, median {statistics.median(results):.2f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--loop", choices=("asyncio", "uvloop"), default="uvloop")
    parser.add_argument("--requests", type=int, default=20000)
    parser.add_argument("--app", choices=("demo", "trivial"), default="demo")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if args.loop == "uvloop":
        import uvloop
        uvloop.run(run(args))
    else:
        asyncio.run(run(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
