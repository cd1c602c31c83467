"""WebSocket echo round trips per second: the quillet server beside uvicorn (`--ws websockets`
and `--ws wsproto`) and granian (`--interface asgi`), all serving bench/ws_echo_app.py with one
worker, in the same run. Not part of CI. Needs, by hand (baselines only, never a dependency):

    .venv/bin/pip install uvicorn websockets wsproto uvloop granian
    .venv/bin/python bench/bench_ws.py [--seconds 3] [--rounds 1] [--loop uvloop]

Four cases: 64-octet and 64 KiB binary messages, over one connection and over 100 at once
(each connection sends a message and waits for its echo, over and over). The load generator is
a process of its own built on quillet's WebSocket client (no other client library, so that every
server is measured by the same client), uncompressed. Servers run one at a time, each on an
otherwise idle core; beside each rate is the server's CPU time per round trip (user + system of
its processes, from /proc), which moves less than the rate when the machine is shared. Servers
that are not installed are skipped with a note.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import shutil
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PY = sys.executable
HZ = os.sysconf("SC_CLK_TCK")
CASES = [(64, 1), (65536, 1), (64, 100), (65536, 100)]


# --- the load generator (a process of its own) ---

async def load(port: int, size: int, conns: int, seconds: float) -> tuple[int, float]:
    import quillet
    payload = os.urandom(size)
    url = f"ws://127.0.0.1:{port}/"
    sockets = await asyncio.gather(*(
        quillet.connect_ws(url, compression=None, max_size=1 << 24) for _ in range(conns)))
    stop = False
    counts = [0] * conns

    async def one(i: int, ws) -> None:
        n = 0
        while not stop:
            await ws.send(payload)
            if len(await ws.recv()) != size:
                raise AssertionError("the echo is not the message")
            n += 1
        counts[i] = n

    for ws in sockets:  # warm up
        await ws.send(payload)
        await ws.recv()
    started = time.perf_counter()
    tasks = [asyncio.create_task(one(i, ws)) for i, ws in enumerate(sockets)]
    await asyncio.sleep(seconds)
    stop = True
    await asyncio.gather(*tasks)
    elapsed = time.perf_counter() - started
    await asyncio.gather(*(ws.close() for ws in sockets))
    return sum(counts), elapsed


def load_main(args: list[str]) -> None:
    port, size, conns, seconds = int(args[0]), int(args[1]), int(args[2]), float(args[3])
    try:
        import uvloop
        runner = uvloop.run
    except ImportError:
        runner = asyncio.run
    count, elapsed = runner(load(port, size, conns, seconds))
    print(count, elapsed)


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


def measure(name: str, loop: str, seconds: float) -> dict | None:
    port = free_port()
    command = server_command(name, port, loop)
    if command is None:
        print(f"{name}: not installed, skipped", flush=True)
        return None
    proc = subprocess.Popen(command, cwd=HERE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    results = {}
    try:
        wait_port(port, proc)
        for size, conns in CASES:
            before = cpu_ticks(proc.pid)
            out = subprocess.run([PY, __file__, "--load", str(port), str(size), str(conns),
                                  str(seconds)], capture_output=True, text=True, check=True)
            after = cpu_ticks(proc.pid)
            count, elapsed = out.stdout.split()
            count = int(count)
            rate = count / float(elapsed)
            cpu_us = (after - before) / HZ * 1e6 / max(count, 1)
            results[(size, conns)] = (rate, cpu_us)
            print(f"{name:20} {size:>6} B x {conns:>3}: {rate:>9.0f} round trips/s, "
                  f"{cpu_us:7.1f} us CPU each", flush=True)
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return results


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--load":
        load_main(sys.argv[2:])
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--loop", default="uvloop")
    args = parser.parse_args()
    names = ["quillet", "uvicorn-websockets", "uvicorn-wsproto", "granian"]
    best: dict[str, dict] = {}
    for _ in range(args.rounds):
        for name in names:
            got = measure(name, args.loop, args.seconds)
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
