"""The client against native servers, beside native and Python clients, in the same run.

    .venv/bin/pip install urllib3 pycurl      # the baselines (never a dependency of quillet)
    apt-get install nginx nghttp2-server      # nginx for HTTP/1.1, nghttpd and h2load for HTTP/2
    .venv/bin/python bench/bench_client.py [--requests 10000] [--size 1024] [--rounds 3]
        [--cases abc] [--loops asyncio,uvloop] [--awake]

Three cases, each round taking the contenders in turn so that drift of the machine hits them
alike; the figure is the median round.

Every quillet case runs on each event loop of `--loops` (the standard one and uvloop).

(a) sequential GETs of a small file on one keep-alive HTTP/1.1 connection to nginx: quillet's
    `AsyncClient` against urllib3's connection pool and pycurl (libcurl, one easy handle
    reused). Rate, and the client's CPU time per request (this process: user + system).
(b) concurrent GETs: 100 at a time over one HTTP/2 connection to nghttpd (h2c, prior
    knowledge), and over a pool of HTTP/1.1 connections to nginx; beside h2load (the C client)
    over the same HTTP/2 server with 100 streams at a time on one connection.
(c) one large download (1 GiB by default) from nginx: quillet's streamed body against the curl
    command line, bytes per second.

`--awake` keeps the processors from halting while the cases run (bench/awake.py): one
connection's round trips then follow the clients' own costs rather than how fast an idle
virtual processor wakes.
"""

from __future__ import annotations

import argparse
import asyncio
import io
import os
import re
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import quillet  # noqa: E402
from awake import add_option, keep_awake  # noqa: E402


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def wait_for_port(port: int) -> None:
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {port}")


class Servers:
    """nginx (HTTP/1.1) and nghttpd (h2c) serving the same directory."""

    def __init__(self, root: str, small: int, large: int) -> None:
        self.root = root
        os.chmod(root, 0o755)  # nginx's workers may run as another user
        with open(os.path.join(root, "small"), "wb") as f:
            f.write(b"x" * small)
        with open(os.path.join(root, "large"), "wb") as f:
            f.truncate(large)  # sparse: the page cache serves it, no disk in the way
        self.h1 = free_port()
        self.h2 = free_port()
        conf = os.path.join(root, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""worker_processes 1;
daemon off;
pid {root}/nginx.pid;
error_log {root}/error.log;
events {{ worker_connections 4096; }}
http {{
    access_log off;
    client_body_temp_path {root}/tmp;
    proxy_temp_path {root}/tmp;
    fastcgi_temp_path {root}/tmp;
    uwsgi_temp_path {root}/tmp;
    scgi_temp_path {root}/tmp;
    keepalive_requests 1000000;
    server {{
        listen 127.0.0.1:{self.h1};
        root {root};
    }}
}}
""")
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        self.procs = [
            subprocess.Popen([nginx, "-c", conf, "-p", root], stderr=subprocess.DEVNULL),
            subprocess.Popen(["nghttpd", "--no-tls", "-d", root, str(self.h2)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL),
        ]
        os.makedirs(os.path.join(root, "tmp"), exist_ok=True)
        wait_for_port(self.h1)
        wait_for_port(self.h2)

    def close(self) -> None:
        for proc in self.procs:
            proc.terminate()
        for proc in self.procs:
            proc.wait(10)


# (a) sequential requests on one connection

def run(main, loop: str):
    """Runs the coroutine on a new event loop of the kind named ("asyncio" or "uvloop")."""
    if loop == "uvloop":
        import uvloop
        return uvloop.run(main)
    return asyncio.run(main)


def quillet_sequential(url: str, n: int, loop: str) -> None:
    async def main() -> None:
        async with quillet.AsyncClient(http2=False) as client:
            for _ in range(n):
                response = await client.get(url)
                assert response.status_code == 200
    run(main(), loop)


def urllib3_sequential(url: str, n: int) -> None:
    import urllib3
    with urllib3.PoolManager(maxsize=1) as pool:
        for _ in range(n):
            response = pool.request("GET", url)
            assert response.status == 200


def pycurl_sequential(url: str, n: int) -> None:
    import pycurl
    curl = pycurl.Curl()
    curl.setopt(pycurl.URL, url)
    for _ in range(n):
        body = io.BytesIO()
        curl.setopt(pycurl.WRITEDATA, body)
        curl.perform()
        assert curl.getinfo(pycurl.RESPONSE_CODE) == 200
    curl.close()


# (b) concurrent requests

def quillet_concurrent(url: str, n: int, http2: bool, loop: str) -> None:
    async def main() -> None:
        limits = quillet.Limits(max_connections=100, max_keepalive_connections=100)
        async with quillet.AsyncClient(http2=http2, limits=limits) as client:
            gate = asyncio.Semaphore(100)

            async def one() -> None:
                async with gate:
                    response = await client.get(url)
                    assert response.status_code == 200

            await asyncio.gather(*(one() for _ in range(n)))
    run(main(), loop)


def h2load(url: str, n: int) -> float:
    out = subprocess.run(["h2load", "-n", str(n), "-c", "1", "-m", "100", url],
                         capture_output=True, text=True, check=True).stdout
    match = re.search(r"finished in [\d.]+m?s, ([\d.]+) req/s", out)
    if match is None:
        raise RuntimeError(out)
    return float(match.group(1))


# (c) a large download

def quillet_download(url: str, loop: str) -> int:
    async def main() -> int:
        received = 0
        async with quillet.AsyncClient(http2=False) as client:
            async with client.stream("GET", url) as response:
                async for chunk in response.aiter_bytes():
                    received += len(chunk)
        return received
    return run(main(), loop)


def curl_download(url: str) -> None:
    subprocess.run(["curl", "-s", "-o", "/dev/null", url], check=True)


def timed(fn, *args) -> tuple[float, float]:
    """(wall seconds, this process's CPU seconds) of one call."""
    c0, t0 = cpu(), time.perf_counter()
    fn(*args)
    return time.perf_counter() - t0, cpu() - c0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=10000)
    parser.add_argument("--concurrent", type=int, default=20000)
    parser.add_argument("--size", type=int, default=1024, help="bytes of the small file")
    parser.add_argument("--download", type=int, default=1 << 30, help="bytes of the large file")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--loops", default="asyncio,uvloop",
                        help="the event loops quillet runs on, comma-separated")
    parser.add_argument("--cases", default="abc", help="the cases to run, e.g. 'a' or 'bc'")
    add_option(parser)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as root, keep_awake(args.awake):
        servers = Servers(root, args.size, args.download)
        try:
            h1 = f"http://127.0.0.1:{servers.h1}"
            h2 = f"http://127.0.0.1:{servers.h2}"
            n = args.requests
            loops = args.loops.split(",")
            seq: dict[str, list[tuple[float, float]]] = {
                **{f"quillet {loop}": [] for loop in loops}, "urllib3": [], "pycurl": []}
            conc: dict[str, list[float]] = {
                **{f"quillet {loop} {kind}": [] for loop in loops for kind in ("h2", "h1 pool")},
                "h2load": []}
            down: dict[str, list[float]] = {**{f"quillet {loop}": [] for loop in loops},
                                            "curl": []}
            m = args.concurrent
            cases = args.cases
            if "c" in cases:
                curl_download(h1 + "/large")  # warm: the first read is the page cache's
            for _ in range(args.rounds):
                if "a" in cases:
                    for loop in loops:
                        seq[f"quillet {loop}"].append(
                            timed(quillet_sequential, h1 + "/small", n, loop))
                    seq["urllib3"].append(timed(urllib3_sequential, h1 + "/small", n))
                    seq["pycurl"].append(timed(pycurl_sequential, h1 + "/small", n))
                if "b" in cases:
                    for loop in loops:
                        conc[f"quillet {loop} h2"].append(
                            m / timed(quillet_concurrent, h2 + "/small", m, True, loop)[0])
                        conc[f"quillet {loop} h1 pool"].append(
                            m / timed(quillet_concurrent, h1 + "/small", m, False, loop)[0])
                    conc["h2load"].append(h2load(h2 + "/small", m))
                if "c" in cases:
                    for loop in loops:
                        down[f"quillet {loop}"].append(
                            args.download / timed(quillet_download, h1 + "/large", loop)[0])
                    down["curl"].append(
                        args.download / timed(curl_download, h1 + "/large")[0])
        finally:
            servers.close()

    if "a" in args.cases:
        print_sequential(args, seq)
    if "b" in args.cases:
        print_concurrent(args, conc)
    if "c" in args.cases:
        print_download(args, down)
    return 0


def print_sequential(args, seq) -> None:
    n = args.requests

    def median_rate(runs):
        wall = statistics.median(w for w, _ in runs)
        cpu_per = statistics.median(c for _, c in runs) / n * 1e6
        return n / wall, cpu_per

    print(f"(a) {n} sequential GETs of {args.size} bytes, one keep-alive HTTP/1.1 connection "
          f"to nginx, median of {args.rounds}")
    ours = {name: median_rate(runs)[0] for name, runs in seq.items() if name.startswith("q")}
    for name, runs in seq.items():
        rate, cpu_per = median_rate(runs)
        ratio = "" if name in ours else "  " + ", ".join(
            f"{who}/{name}: {r / rate:.2f}x" for who, r in ours.items())
        print(f"    {name:16} {rate:9.0f} req/s  {cpu_per:6.1f} us CPU/req{ratio}")


def print_concurrent(args, conc) -> None:
    print(f"(b) {args.concurrent} GETs, 100 at a time")
    h2load_rate = statistics.median(conc["h2load"])
    for name, rates in conc.items():
        rate = statistics.median(rates)
        extra = "" if name == "h2load" else f"  /h2load: {rate / h2load_rate:.2f}"
        print(f"    {name:24} {rate:9.0f} req/s{extra}")


def print_download(args, down) -> None:
    print(f"(c) one download of {args.download >> 20} MiB from nginx")
    curl_rate = statistics.median(down["curl"])
    for name, rates in down.items():
        rate = statistics.median(rates)
        extra = "" if name == "curl" else f"  /curl: {rate / curl_rate:.2f}"
        print(f"    {name:16} {rate / (1 << 20):9.0f} MiB/s{extra}")


if __name__ == "__main__":
    sys.exit(main())
