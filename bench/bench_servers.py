"""The quillet server beside granian and uvicorn, serving the same hello page, in the same run,
with where each server's CPU time goes. Not part of CI. Needs, by hand (baselines only, never a
dependency of quillet):

    apt-get install wrk nghttp2-client linux-perf
    .venv/bin/pip install granian uvicorn httptools uvloop
    .venv/bin/python bench/bench_servers.py [--seconds 6] [--rounds 2] [--loops asyncio,uvloop]
                                            [--only h1|h2c] [--servers quillet,granian]
                                            [--baseline DIR] [--profile]

Every server runs `quillet.demo_app:app` with one worker, on each event loop of `--loops`
(granian: its `--loop` of the same name). HTTP/1.1 is driven by wrk (one thread, 50
connections), h2c by h2load (10 clients, 10 streams each; uvicorn speaks no HTTP/2). The servers
of a case are started together and driven one at a time, their rounds interleaved. For each
case: the rate, and the server's CPU time per request (user and system, over its processes and
their threads, from /proc), the ratios against quillet's, and the median round.

`--baseline DIR` measures an earlier quillet beside the current one, as `baseline`: DIR holds a
copy of an installed build (site-packages' quillet/ and _quillet*.so), put first on PYTHONPATH.

`quillet-python` is quillet with `--driver python` (every request through the Python driver), the
"before" of the native serve path in the same run. `--workers N` runs every server with N
workers; `--scaling` measures quillet with one worker and with two (its rate and CPU per request
each, and what two cores would carry: twice the requests per CPU-second of two workers against
those of one), and with `--pin` the load generator runs on the first core and the servers on
the second (taskset).

`--profile` adds, for one more run of each case, where the server's CPU time went: perf samples
(software clock, all threads) split into the kernel, the Python interpreter (the event loop, the
server's Python code and the application alike), the server's own native code, the event loop's
native code, and the C library, each in microseconds per request.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

PY = sys.executable
HZ = os.sysconf("SC_CLK_TCK")
APP = "quillet.demo_app:app"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# taskset prefixes of the load generator and the servers (`--pin`), or none
PIN: dict[str, list[str]] = {"load": [], "server": []}


def command(server: str, loop: str, port: int, h2: bool, workers: int = 1) -> list[str] | None:
    if server in ("quillet", "quillet-python"):
        cmd = [PY, "-m", "quillet", "serve", "--port", str(port), "--no-access-log",
               "--loop", loop, "--workers", str(workers)]
        return cmd + (["--driver", "python"] if server == "quillet-python" else [])
    if server == "granian":
        exe = shutil.which("granian", path=os.path.dirname(PY))
        if exe is None:
            return None
        return [exe, "--interface", "asgi", "--port", str(port), "--workers", str(workers),
                "--no-ws", "--loop", loop, "--http", "2" if h2 else "1", APP]
    if server == "uvicorn":
        if h2:
            return None
        return [PY, "-m", "uvicorn", APP, "--port", str(port), "--http", "httptools",
                "--loop", loop, "--no-access-log", "--log-level", "warning",
                "--workers", str(workers)]
    raise ValueError(server)


def family(pid: int) -> list[int]:
    """The process and its descendants."""
    out = [pid]
    try:
        kids = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True,
                              text=True).stdout.split()
    except OSError:
        kids = []
    for kid in kids:
        out += family(int(kid))
    return out


def cpu_seconds(pids: list[int]) -> float:
    """User + system time of the processes, their threads included."""
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return total / HZ


def wait_ready(port: int, h2: bool) -> None:
    args = ["curl", "-sf", "-o", "/dev/null", f"http://127.0.0.1:{port}/"]
    if h2:
        args.insert(1, "--http2-prior-knowledge")
    for _ in range(150):
        if subprocess.run(args).returncode == 0:
            return
        time.sleep(0.1)
    raise RuntimeError(f"no server answers on {port}")


def load(port: int, h2: bool, seconds: float) -> int:
    """Drives the server for `seconds`; the number of requests answered."""
    url = f"http://127.0.0.1:{port}/"
    if h2:
        out = subprocess.run(PIN["load"] + ["h2load", "-D", f"{seconds:g}", "-c", "10", "-m", "10", url],
                             capture_output=True, text=True, check=True).stdout
        match = re.search(r"requests: \d+ total, \d+ started, \d+ done, (\d+) succeeded", out)
    else:
        out = subprocess.run(PIN["load"] + ["wrk", "-t1", "-c50", f"-d{seconds:g}s", url],
                             capture_output=True, text=True, check=True).stdout
        match = re.search(r"(\d+) requests in", out)
    if match is None:
        raise RuntimeError(out)
    return int(match.group(1))


# perf's shared-object names, grouped
def _group(dso: str) -> str:
    if dso.startswith("[kernel"):
        return "kernel"
    if "libpython" in dso or dso.startswith("python"):
        return "interpreter"
    if "_quillet" in dso or "_native" in dso or "_granian" in dso or "httptools" in dso:
        return "server native"
    if "uvloop" in dso or "loop.cpython" in dso or "_asyncio" in dso or "select" in dso \
            or "_socket" in dso:
        return "loop native"
    if "libc" in dso or "ld-linux" in dso or "libstdc++" in dso or "libm" in dso:
        return "C library"
    return "other"


GROUPS = ("kernel", "interpreter", "server native", "loop native", "C library", "other")


def profile(pids: list[int], seconds: float, out: str) -> subprocess.Popen:
    return subprocess.Popen(["perf", "record", "-F", "999", "-o", out, "-p",
                             ",".join(map(str, pids)), "--", "sleep", str(seconds)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def split(data: str) -> dict[str, float]:
    """Shares of the samples by group (fractions summing to 1)."""
    out = subprocess.run(["perf", "report", "-i", data, "--no-children", "--sort", "dso",
                          "--stdio", "-g", "none"], capture_output=True, text=True).stdout
    shares = dict.fromkeys(GROUPS, 0.0)
    for line in out.splitlines():
        match = re.match(r"\s*([\d.]+)%\s+(\S+)", line)
        if match:
            shares[_group(match.group(2))] += float(match.group(1)) / 100
    return shares


def measure(proc: subprocess.Popen, port: int, h2: bool, seconds: float) -> tuple[float, float]:
    """One round: the rate, and the server's CPU time per request in microseconds."""
    pids = family(proc.pid)
    c0 = cpu_seconds(pids)
    t0 = time.perf_counter()
    n = load(port, h2, seconds)
    wall = time.perf_counter() - t0
    return n / wall, (cpu_seconds(pids) - c0) / n * 1e6


def run_cases(servers: list[str], loop: str, h2: bool, seconds: float, rounds: int,
              with_profile: bool, baseline: str | None,
              workers: int = 1) -> dict[str, dict | None]:
    """Every server of the case started at once (an idle one costs nothing), then the rounds
    interleaved (one round of each in turn, so that a change in the machine's load falls on all
    alike), then the profiled runs."""
    started = {}
    cases: dict[str, dict | None] = {}
    try:
        for server in servers:
            port = free_port()
            cmd = command("quillet" if server == "baseline" else server, loop, port, h2,
                          workers)
            if cmd is None:
                cases[server] = None
                continue
            env = None
            if server == "baseline":
                env = dict(os.environ, PYTHONPATH=baseline)
            proc = subprocess.Popen(PIN["server"] + cmd, env=env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            started[server] = (proc, port)
            try:
                wait_ready(port, h2)
            except RuntimeError:
                print(f"  {server} did not start: {' '.join(cmd)}")
                cases[server] = None
                continue
            load(port, h2, 1)  # warm
            cases[server] = {}
        results: dict[str, list] = {s: [] for s, case in cases.items() if case is not None}
        for _ in range(rounds):
            for server in results:
                proc, port = started[server]
                results[server].append(measure(proc, port, h2, seconds))
        for server, rows in results.items():
            cases[server] = {"rate": statistics.median(r for r, _ in rows),
                             "cpu": statistics.median(c for _, c in rows)}
        if with_profile and shutil.which("perf"):
            for server in results:
                proc, port = started[server]
                with tempfile.TemporaryDirectory() as tmp:
                    data = os.path.join(tmp, "perf.data")
                    pids = family(proc.pid)
                    c0 = cpu_seconds(pids)
                    recorder = profile(pids, seconds, data)
                    n = load(port, h2, seconds)
                    recorder.wait()
                    per = (cpu_seconds(pids) - c0) / n * 1e6
                    cases[server]["profiled"] = per
                    cases[server]["split"] = {g: share * per for g, share in split(data).items()}
        return cases
    finally:
        for proc, _ in started.values():
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=6)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--loops", default="asyncio,uvloop")
    parser.add_argument("--servers", default="quillet,granian,uvicorn")
    parser.add_argument("--only", choices=("h1", "h2c"), default=None,
                        help="run one protocol only")
    parser.add_argument("--profile", action="store_true")
    parser.add_argument("--workers", type=int, default=1)
    parser.add_argument("--scaling", action="store_true",
                        help="quillet with one worker against two")
    parser.add_argument("--pin", action="store_true",
                        help="the load generator on the first core, the servers on the second")
    parser.add_argument("--baseline", metavar="DIR", default=None,
                        help="also measure, as `baseline`, the quillet build installed in DIR "
                             "(a copy of site-packages' quillet/ and _quillet*.so)")
    args = parser.parse_args()
    servers = args.servers.split(",")
    if args.baseline is not None and "baseline" not in servers:
        servers.insert(1 if "quillet" in servers else 0, "baseline")
    if args.pin:
        PIN["load"], PIN["server"] = ["taskset", "-c", "0"], ["taskset", "-c", "1"]
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    if args.scaling:
        return scaling(args)
    for loop in args.loops.split(","):
        for h2 in (False, True):
            if args.only is not None and h2 != (args.only == "h2c"):
                continue
            label = "h2c, h2load -c10 -m10" if h2 else "HTTP/1.1, wrk -t1 -c50"
            print(f"\n{loop}, {label}")
            cases = run_cases(servers, loop, h2, args.seconds, args.rounds, args.profile,
                              args.baseline, args.workers)
            ours = cases.get("quillet")
            for name, case in cases.items():
                if case is None:
                    print(f"  {name:14} (not run)")
                    continue
                ratio = ""
                if ours is not None and name != "quillet":
                    ratio = (f"  quillet/{name}: rate {ours['rate'] / case['rate']:.2f}x, "
                             f"CPU {case['cpu'] / ours['cpu']:.2f}x")
                print(f"  {name:14} {case['rate']:9.0f} req/s {case['cpu']:6.1f} us CPU/req"
                      f"{ratio}")
                if "split" in case:
                    parts = ", ".join(f"{g} {v:.1f}" for g, v in case["split"].items() if v)
                    print(f"           profiled run {case['profiled']:.1f} us/req: {parts}")
    print(f"\nload average after: {os.getloadavg()[0]:.2f}")
    return 0


def scaling(args) -> int:
    """quillet with one worker and with two, on each loop and protocol asked for."""
    for loop in args.loops.split(","):
        for h2 in (False, True):
            if args.only is not None and h2 != (args.only == "h2c"):
                continue
            print(f"\n{loop}, {'h2c' if h2 else 'HTTP/1.1'}")
            one = run_cases(["quillet"], loop, h2, args.seconds, args.rounds, False, None,
                            1)["quillet"]
            two = run_cases(["quillet"], loop, h2, args.seconds, args.rounds, False, None,
                            2)["quillet"]
            if not one or not two:
                print("  (not run)")
                continue
            for n, case in ((1, one), (2, two)):
                print(f"  {n} worker{'s' if n > 1 else ' '} {case['rate']:9.0f} req/s "
                      f"{case['cpu']:6.1f} us CPU/req")
            print(f"  rate with two workers: {two['rate'] / one['rate']:.2f}x one worker's; "
                  f"two cores of their own would carry {2 * one['cpu'] / two['cpu']:.2f}x")
    print(f"\nload average after: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
