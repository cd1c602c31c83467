"""The deployment side of the quillet server: worker processes, a Unix socket, proxy headers
from trusted peers only, the concurrency and request limits, root_path and the access log."""

import asyncio
import json
import logging
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from quillet.client import Client
from test_e2e_server import HERE, ServerThread, read_all, read_responses


def get(port, path, headers=b""):
    """One request on its own connection: (status, body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n%s\r\n" % (path.encode(), headers))
        [(status, _, body)], _ = read_responses(sock, 1)
    return status, body


def scope_of(port, headers=b""):
    status, body = get(port, "/scope/x", headers)
    assert status == 200
    return json.loads(body)


def start_cli(*args):
    env = dict(os.environ, PYTHONPATH=HERE + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.Popen([sys.executable, "-m", "quillet", "serve", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    line = proc.stdout.readline().decode()
    assert "serving" in line, line
    return proc, line


def test_two_workers_serve_from_two_processes_and_stop_on_sigterm():
    proc, line = start_cli("deploy_app:app", "--port", "0", "--workers", "2",
                           "--no-access-log")
    try:
        port = int(line.split(" on http://127.0.0.1:")[1].split("/")[0])
        assert f"parent pid {proc.pid}" in line

        def pids(rounds):
            seen = set()
            for _ in range(rounds):
                with_threads = [None] * 8

                def one(i):
                    with_threads[i] = get(port, "/pid")[1].decode()
                threads = [threading.Thread(target=one, args=(i,)) for i in range(8)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                seen.update(with_threads)
                if len(seen) >= 2:
                    break
            return seen

        first = pids(50)
        assert len(first) == 2 and str(proc.pid) not in first
        # a worker that dies is replaced; the survivor keeps serving meanwhile
        victim = int(sorted(first)[0])
        os.kill(victim, signal.SIGKILL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            now = pids(5)
            if len(now) == 2 and str(victim) not in now:
                break
        assert str(victim) not in now and len(now) == 2
        busy = socket.create_connection(("127.0.0.1", port), timeout=10)
        busy.sendall(b"GET /slow?0.5 HTTP/1.1\r\nHost: x\r\n\r\n")
        time.sleep(0.2)
        proc.send_signal(signal.SIGTERM)
        data = read_all(busy)  # the request in flight is finished, not cut
        assert data.startswith(b"HTTP/1.1 200 OK") and data.endswith(b"finished")
        busy.close()
        assert proc.wait(15) == 0
        assert b"stopped" in proc.stdout.read()
        for pid in now:  # the workers are gone with their parent
            with pytest.raises(ProcessLookupError):
                os.kill(int(pid), 0)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_a_worker_that_fails_at_start_up_is_not_restarted_in_a_loop():
    env = dict(os.environ, PYTHONPATH=HERE + os.pathsep + os.environ.get("PYTHONPATH", ""))
    code = ("import quillet.__main__ as m, sys\n"
            "async def app(scope, receive, send):\n"
            "    if scope['type'] == 'lifespan':\n"
            "        await receive()\n"
            "        await send({'type': 'lifespan.startup.failed', 'message': 'no db'})\n"
            "sys.modules['__main__'].app = app\n"
            "sys.exit(m.main(['serve', '__main__:app', '--port', '0', '--workers', '2']))\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=30,
                            env=env)
    assert result.returncode == 1
    assert b"failed at start-up" in result.stderr


def test_proxy_headers_are_taken_only_from_allowed_peers():
    forwarded = (b"X-Forwarded-For: 203.0.113.7, 10.1.2.3\r\n"
                 b"X-Forwarded-Proto: https\r\n")
    trusting = ServerThread(proxy_headers=True, forwarded_allow_ips="127.0.0.1, 10.0.0.0/8")
    strict = ServerThread(proxy_headers=True, forwarded_allow_ips="192.0.2.1")
    ignoring = ServerThread()
    try:
        scope = scope_of(trusting.port, forwarded)
        # 10.1.2.3 is a trusted proxy too: the client is the hop before it
        assert scope["client"] == ["203.0.113.7", 0] and scope["scheme"] == "https"
        assert scope_of(trusting.port)["client"][0] == "127.0.0.1"  # no headers, no change
        for server in (strict, ignoring):
            scope = scope_of(server.port, forwarded)
            assert scope["client"][0] == "127.0.0.1" and scope["scheme"] == "http"
    finally:
        for server in (trusting, strict, ignoring):
            server.stop()


def test_unix_socket_and_root_path(tmp_path):
    path = str(tmp_path / "q.sock")
    server = ServerThread(uds=path, root_path="/api")
    try:
        with socket.socket(socket.AF_UNIX) as sock:
            sock.settimeout(10)
            sock.connect(path)
            sock.sendall(b"GET /scope/x HTTP/1.1\r\nHost: x\r\n\r\n")
            [(status, _, body)], _ = read_responses(sock, 1)
        scope = json.loads(body)
        assert status == 200 and scope["server"] == [path, None] and scope["client"] is None
        assert scope["root_path"] == "/api"
    finally:
        server.stop()


def test_limit_concurrency_answers_503_beyond_it():
    server = ServerThread(limit_concurrency=1)
    try:
        busy = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        busy.sendall(b"GET /slow?0.5 HTTP/1.1\r\nHost: x\r\n\r\n")
        time.sleep(0.2)
        status, body = get(server.port, "/")
        assert status == 503 and b"Service Unavailable" in body
        [(status, _, body)], _ = read_responses(busy, 1)
        assert status == 200 and body == b"finished"
        busy.close()
        assert get(server.port, "/")[0] == 200  # room again
    finally:
        server.stop()


def test_limit_max_requests_stops_the_server_after_that_many():
    server = ServerThread(limit_max_requests=3)
    for _ in range(3):
        assert get(server.port, "/")[0] == 200
    server._thread.join(10)
    assert not server._thread.is_alive() and server.server.requests_served == 3
    with pytest.raises(OSError):
        get(server.port, "/")


def test_access_log_has_one_line_per_response(caplog):
    caplog.set_level(logging.INFO, logger="quillet.access")
    server = ServerThread()
    quiet = ServerThread(access_log=False)
    try:
        assert get(server.port, "/missing?x=1")[0] == 404
        get(quiet.port, "/")

        async def h2():
            async with Client("127.0.0.1", server.port, http2=True) as client:
                return await client.request("POST", "/echo", body=b"12345")
        assert asyncio.run(h2()).body == b"12345"
    finally:
        server.stop()
        quiet.stop()
    lines = [r.getMessage() for r in caplog.records if r.name == "quillet.access"]
    assert len(lines) == 2, lines
    h1, h2_line = lines
    assert h1.startswith("127.0.0.1:") and ' - "GET /missing?x=1 HTTP/1.1" 404 10 ' in h1
    assert ' - "POST /echo HTTP/2" 200 5 ' in h2_line and h2_line.endswith("ms")


@pytest.mark.parametrize("workers", ["1", "2"])
def test_the_server_runs_on_uvloop_when_asked(workers):
    pytest.importorskip("uvloop")
    proc, line = start_cli("deploy_app:app", "--port", "0", "--workers", workers,
                           "--loop", "uvloop", "--no-access-log")
    try:
        assert " on uvloop " in line
        port = int(line.split(" on http://127.0.0.1:")[1].split("/")[0].split()[0])
        assert get(port, "/loop") == (200, b"uvloop.Loop")

        async def both_protocols():
            big = os.urandom(300_000)
            async with Client("127.0.0.1", port) as h1, \
                    Client("127.0.0.1", port, http2=True) as h2:
                both = await asyncio.gather(h1.request("POST", "/echo", body=big),
                                            h2.request("POST", "/echo", body=big))
                # later requests on the same HTTP/1.1 connection, one waiting for its body
                later = [await h1.request("GET", "/loop"),
                         await h1.request("POST", "/echo", body=big),
                         await h1.request("GET", "/slow?0.01")]
                return big, both, later, h1.connections_opened
        big, (over_h1, over_h2), later, opened = asyncio.run(both_protocols())
        assert over_h1.body == big and over_h2.body == big
        assert [r.body for r in later] == [b"uvloop.Loop", big, b"finished"] and opened == 1
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(20) == 0


def test_uvloop_asked_for_but_missing_is_a_clear_error(monkeypatch):
    code = ("import sys; sys.modules['uvloop'] = None\n"
            "from quillet.__main__ import main\n"
            "sys.exit(main(['serve', '--port', '0', '--loop', 'uvloop']))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=30)
    assert result.returncode == 1
    assert result.stderr.decode() == (
        "quillet: error: --loop uvloop needs uvloop: pip install 'quillet[uvloop]'\n")

    from quillet.server import run_loop
    monkeypatch.setitem(sys.modules, "uvloop", None)

    async def never():
        raise AssertionError("not run")
    with pytest.raises(RuntimeError, match=r"^the uvloop event loop was asked for, but uvloop "
                       r"is not installed \(pip install 'quillet\[uvloop\]'\)$"):
        run_loop(never(), "uvloop")
    with pytest.raises(ValueError, match="^unknown event loop 'trio': choose one of asyncio, "
                                         "uvloop$"):
        run_loop(never(), "trio")
