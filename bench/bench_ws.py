"""WebSocket echo round trips per second: the quillet server beside uvicorn (`--ws websockets`
and `--ws wsproto`) and granian (`--interface asgi`), all serving bench/ws_echo_app.py with one
worker, in the same run. Not part of CI. Needs, by hand (baselines only, never a dependency):

    .venv/bin/pip install uvicorn websockets wsproto uvloop granian
    .venv/bin/python bench/bench_ws.py [--seconds 3] [--rounds 1] [--loop uvloop] [--awake]
        [--load-bin build/bench-ws/bench/cpp/ws_load] [--only quillet --only granian ...]

Four cases: 64-octet and 64 KiB binary messages, over one connection and over 100 at once
(each connection sends a message and waits for its echo, over and over), uncompressed.

The load generator is bench/cpp/ws_load.cc, a native program (one thread, epoll) built on
wire/ws's frame writer, masking and decoder, so that its own cost per round trip (a few
microseconds) stays small beside any server's and every server is measured by the same client.
This script builds it with CMake into build/bench-ws (or takes `--load-bin PATH`). Servers run one
at a time; beside each rate is the server's CPU time per round trip (user + system of its
processes, from /proc), which moves less than the rate when the machine is shared, the load
generator's own, and the machine's load average (other work shows there). Nothing is pinned to a
core: the load generator, the server and the kernel share what the machine has, alike for every
server. Servers that are not installed are skipped with a
note. `--pin` puts the load generator on the first core and the server on the second (taskset).
`--awake` keeps the processors from halting during the run (bench/awake.py), so that one
connection's round trips follow the programs' costs rather than how fast an idle virtual
processor wakes.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import socket
import subprocess
import sys
import time

from awake import add_option, keep_awake

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PY = sys.executable
HZ = os.sysconf("SC_CLK_TCK")
CASES = [(64, 1), (65536, 1), (64, 100), (65536, 100)]
# taskset prefixes of the load generator and the servers (`--pin`), or none
PIN: dict[str, list[str]] = {"load": [], "server": []}


# --- the load generator ---

def build_load() -> str:
    """Builds bench/cpp/ws_load (wire/ alone, no Python module) and returns its path."""
    build = os.path.join(ROOT, "build", "bench-ws")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(["cmake", "-S", ROOT, "-B", build, *generator, "-DCMAKE_BUILD_TYPE=Release",
                    "-DQUILLET_BUILD_MODULE=OFF", "-DQUILLET_BUILD_BENCH=ON"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "ws_load", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "bench", "cpp", "ws_load")


def load(binary: str, port: int, size: int, conns: int, seconds: float) -> tuple[int, float, float]:
    """Round trips, seconds, and the load generator's CPU seconds."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    out = subprocess.run([*PIN["load"], binary, "127.0.0.1", str(port), str(size), str(conns),
                          str(seconds)],
                         capture_output=True, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if out.returncode != 0:
        raise RuntimeError(f"ws_load failed: {out.stderr.strip()}")
    count, elapsed = out.stdout.split()
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return int(count), float(elapsed), cpu


# --- the servers ---

def cpu_ticks(pid: int) -> int:
    """User + system ticks of `pid` and of its children (granian's worker is one)."""
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(entry) == pid or int(fields[1]) == pid:
            total += int(fields[11]) + int(fields[12])
    return total


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def server_command(name: str, port: int, loop: str) -> list[str] | None:
    app = "ws_echo_app:app"
    if name == "quillet":
        return [PY, "-m", "quillet", "serve", app, "--port", str(port), "--no-access-log",
                "--loop", loop, "--no-ws-per-message-deflate"]
    if name.startswith("uvicorn"):
        impl = name.split("-", 1)[1]
        try:
            __import__("uvicorn")
            __import__(impl)
        except ImportError:
            return None
        return [PY, "-m", "uvicorn", app, "--port", str(port), "--ws", impl, "--loop", loop,
                "--no-access-log", "--log-level", "warning", "--ws-per-message-deflate",
                "false"]
    granian = shutil.which("granian", path=os.path.dirname(PY)) or shutil.which("granian")
    if granian is None:
        return None
    return [granian, "--interface", "asgi", "--port", str(port), "--workers", "1",
            "--loop", loop, "--no-log", app]


def wait_port(port: int, proc: subprocess.Popen) -> None:
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"the server exited: {proc.stderr.read().decode()[-2000:]}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            time.sleep(0.5)  # a worker process may still be starting
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("the server did not start")


def measure(name: str, loop: str, seconds: float, binary: str) -> dict | None:
    port = free_port()
    command = server_command(name, port, loop)
    if command is None:
        print(f"{name}: not installed, skipped", flush=True)
        return None
    proc = subprocess.Popen([*PIN["server"], *command], cwd=HERE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    results = {}
    try:
        wait_port(port, proc)
        for size, conns in CASES:
            before = cpu_ticks(proc.pid)
            count, elapsed, load_cpu = load(binary, port, size, conns, seconds)
            after = cpu_ticks(proc.pid)
            rate = count / elapsed
            cpu_us = (after - before) / HZ * 1e6 / max(count, 1)
            load_us = load_cpu * 1e6 / max(count, 1)
            results[(size, conns)] = (rate, cpu_us)
            print(f"{name:20} {size:>6} B x {conns:>3}: {rate:>9.0f} round trips/s, "
                  f"{cpu_us:7.1f} us server CPU each (load generator {load_us:.1f} us; "
                  f"load average {os.getloadavg()[0]:.1f})", flush=True)
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return results


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--loop", default="uvloop")
    parser.add_argument("--load-bin", help="a built bench/cpp/ws_load (else built here)")
    parser.add_argument("--only", action="append", help="run only this server (repeatable)")
    parser.add_argument("--pin", action="store_true",
                        help="the load generator on the first core, the servers on the second")
    add_option(parser)
    args = parser.parse_args()
    if args.pin:
        PIN["load"], PIN["server"] = ["taskset", "-c", "0"], ["taskset", "-c", "1"]
    binary = args.load_bin or build_load()
    names = args.only or ["quillet", "uvicorn-websockets", "uvicorn-wsproto", "granian"]
    best: dict[str, dict] = {}
    with keep_awake(args.awake):
        for _ in range(args.rounds):
            for name in names:
                got = measure(name, args.loop, args.seconds, binary)
                if got is None:
                    continue
                kept = best.setdefault(name, got)
                for case, value in got.items():
                    if value[0] > kept[case][0]:
                        kept[case] = value
    ours = best.get("quillet")
    if not ours:
        return
    print("\n| case | " + " | ".join(best) + " |")
    print("|---" * (len(best) + 1) + "|")
    for case in CASES:
        cells = []
        for name, results in best.items():
            rate, cpu = results[case]
            if name == "quillet":
                cells.append(f"{rate:,.0f}/s, {cpu:.0f} us")
            else:
                cells.append(f"{rate:,.0f}/s, {cpu:.0f} us (x{ours[case][0] / rate:.2f} rate, "
                             f"x{cpu / ours[case][1]:.2f} CPU)")
        print(f"| {case[0]} B x {case[1]} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
