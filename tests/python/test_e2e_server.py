"""The quillet server over real loopback sockets, driven by clients written elsewhere (curl,
http.client, raw sockets) and by quillet.client."""

import asyncio
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import e2e_app
from quillet import _h1server, _handoff
from quillet import server as server_module
from quillet.client import Client
from quillet.server import Server, run_loop

HERE = os.path.dirname(os.path.abspath(__file__))


class ServerThread:
    """A quillet server on a free loopback port, on its own event loop in a thread."""

    def __init__(self, app=e2e_app.app, loop="asyncio", **options):
        self.loop = loop
        self.server = Server(app, "127.0.0.1", 0, **options)
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        assert self._ready.wait(10), "the server did not start"
        self.port = self.server.port

    def _run(self):
        run_loop(self.server.serve(install_signals=False, ready=lambda s: self._ready.set()),
                 self.loop)

    def url(self, path="/"):
        return f"http://127.0.0.1:{self.port}{path}"

    def stop(self):
        try:
            self.server.loop.call_soon_threadsafe(self.server.request_stop)
        except RuntimeError:  # its loop has closed: the server stopped already (a test asked)
            pass
        self._thread.join(10)
        assert not self._thread.is_alive()


@pytest.fixture(scope="module")
def srv():
    e2e_app.lifespan_log.clear()
    server = ServerThread()
    assert e2e_app.lifespan_log == ["lifespan.startup"]  # before the first connection
    yield server
    server.stop()
    assert e2e_app.lifespan_log[-1] == "lifespan.shutdown"


def connect(srv):
    sock = socket.create_connection(("127.0.0.1", srv.port), timeout=5)
    return sock


def read_all(sock):
    """Everything until the server closes the connection."""
    chunks = []
    while True:
        data = sock.recv(65536)
        if not data:
            return b"".join(chunks)
        chunks.append(data)


def read_responses(sock, count):
    """`count` responses with content-length bodies, parsed by hand: (status, headers, body)."""
    buf = b""
    out = []
    while len(out) < count:
        end = buf.find(b"\r\n\r\n")
        if end >= 0:
            lines = buf[:end].decode("latin-1").split("\r\n")
            headers = dict(line.lower().split(": ", 1) for line in lines[1:])
            size = int(headers.get("content-length", 0))
            if len(buf) >= end + 4 + size:
                out.append((int(lines[0].split()[1]), headers, buf[end + 4:end + 4 + size]))
                buf = buf[end + 4 + size:]
                continue
        data = sock.recv(65536)
        assert data, f"connection closed after {len(out)} responses"
        buf += data
    return out, buf


# curl runs without the sanitizer runtime that a sanitized test run preloads into Python.
CURL_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}


def curl(*args, timeout=20):
    result = subprocess.run(["curl", "--http1.1", "-sS", *args], capture_output=True,
                            timeout=timeout, env=CURL_ENV)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout, result.stderr.decode()


needs_curl = pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")


@needs_curl
def test_curl_get_post_and_chunked_upload(srv):
    out, _ = curl(srv.url("/"))
    assert b"Hello from quillet" in out
    payload = bytes(range(256)) * 300  # binary, bigger than one read
    proc = subprocess.run(["curl", "--http1.1", "-sS", "--data-binary", "@-", srv.url("/echo")],
                          input=payload, capture_output=True, timeout=20, env=CURL_ENV)
    assert proc.stdout == payload
    proc = subprocess.run(
        ["curl", "--http1.1", "-sS", "-v", "-H", "Transfer-Encoding: chunked",
         "--data-binary", "@-", srv.url("/echo")],
        input=payload, capture_output=True, timeout=20, env=CURL_ENV)
    assert b"> Transfer-Encoding: chunked" in proc.stderr
    assert proc.stdout == payload
    out, _ = curl(srv.url("/stream"))
    assert out == b"".join(b"line %d of 10\n" % i for i in range(1, 11))
    out, _ = curl(srv.url("/download"))
    assert len(out) == 1 << 20 and out[:256] == bytes(range(256))


@needs_curl
def test_curl_expect_continue_is_answered_when_the_body_is_read(srv):
    # curl would send the body anyway after a second; the 100 must come first and fast
    start = time.monotonic()
    out, err = curl("-v", "-H", "Expect: 100-continue", "--expect100-timeout", "10",
                    "--data-binary", "continue me", srv.url("/echo"))
    assert time.monotonic() - start < 5
    assert "< HTTP/1.1 100 Continue" in err and "< HTTP/1.1 200 OK" in err
    assert err.index("100 Continue") < err.index("200 OK")
    assert out == b"continue me"
    # an application that never reads the body gets no 100 Continue sent for it
    out, err = curl("-v", "-H", "Expect: 100-continue", "--expect100-timeout", "0.5",
                    "--data-binary", "unread", srv.url("/ignore-body"))
    assert "100 Continue" not in err and out == b"ignored"


@needs_curl
def test_curl_reuses_one_connection_for_several_requests(srv):
    before = srv.server.connections_accepted
    out, err = curl("-v", srv.url("/"), srv.url("/echo"), srv.url("/download"), srv.url("/"))
    assert err.count("Re-using existing connection") == 3
    assert srv.server.connections_accepted - before == 1
    assert out.count(b"Hello from quillet") == 2


def test_http_client_keep_alive_scope_and_errors(srv):
    conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=5)
    conn.request("GET", "/scope/a%20b/%C3%A9?x=1&y=%20", headers={"X-Thing": "v"})
    resp = conn.getresponse()
    scope = json.loads(resp.read())
    assert resp.status == 200
    assert scope["type"] == "http" and scope["asgi"]["version"] == "3.0"
    assert scope["http_version"] == "1.1" and scope["method"] == "GET"
    assert scope["scheme"] == "http" and scope["root_path"] == ""
    assert scope["path"] == "/scope/a b/é" and scope["raw_path"] == "/scope/a%20b/%C3%A9"
    assert scope["query_string"] == "x=1&y=%20"
    assert ["x-thing", "v"] in scope["headers"]
    assert scope["client"][0] == "127.0.0.1" and scope["server"] == ["127.0.0.1", srv.port]
    assert scope["state"] == {"greeting": "from lifespan"}
    assert scope["first"] == "http.request"

    conn.request("POST", "/echo", body=b"x" * 100_000, headers={"Content-Type": "a/b"})
    resp = conn.getresponse()
    assert resp.read() == b"x" * 100_000 and resp.getheader("content-type") == "a/b"
    conn.request("HEAD", "/download")
    resp = conn.getresponse()
    assert resp.getheader("content-length") == str(1 << 20) and resp.read() == b""
    conn.request("GET", "/crash")
    resp = conn.getresponse()
    assert resp.status == 500 and resp.read() == b"Internal Server Error\n"
    conn.request("GET", "/silent")
    resp = conn.getresponse()
    assert resp.status == 500
    resp.read()
    conn.request("GET", "/nowhere")
    resp = conn.getresponse()
    assert resp.status == 404 and resp.read() == b"not found\n"
    # all on one connection: the socket never changed
    assert resp.will_close is False
    conn.close()


def test_pipelined_requests_are_answered_in_order(srv):
    with connect(srv) as sock:
        sock.sendall(b"GET /scope/1 HTTP/1.1\r\nHost: t\r\n\r\n"
                     b"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n\r\nhello"
                     b"POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n"
                     b"3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n")
        responses, rest = read_responses(sock, 3)
        assert [r[0] for r in responses] == [200, 200, 200]
        assert json.loads(responses[0][2])["path"] == "/scope/1"
        assert [r[2] for r in responses[1:]] == [b"hello", b"abcde"]
        assert rest == b""
        # an unread body is drained so the next pipelined request still parses
        sock.sendall(b"POST /ignore-body HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nxxxx"
                     b"GET /scope/2 HTTP/1.1\r\nHost: x\r\n\r\n")
        responses, _ = read_responses(sock, 2)
        assert responses[0][2] == b"ignored"
        assert json.loads(responses[1][2])["path"] == "/scope/2"


def test_http10_and_connection_close_end_the_connection(srv):
    for request in (b"GET / HTTP/1.0\r\n\r\n",
                    b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"):
        with connect(srv) as sock:
            sock.sendall(request)
            data = read_all(sock)  # returns only because the server closed
            version = b"HTTP/1.0" if b"HTTP/1.0" in request else b"HTTP/1.1"
            assert data.startswith(version + b" 200 OK\r\n")
            assert version == b"HTTP/1.0" or b"connection: close\r\n" in data
            assert data.endswith(b"</html>\n")


@pytest.mark.parametrize("request_bytes,status", [
    (b"GET / HTTP/1.1\r\nHost: x\r\nBad Header: x\r\n\r\n", 400),
    (b"GET /" + b"a" * 70_000 + b" HTTP/1.1\r\nHost: t\r\n\r\n", 414),
    (b"GET / HTTP/1.1\r\nHost: x\r\n" + b"".join(b"X-%d: v\r\n" % i for i in range(101)) + b"\r\n", 431),
    (b"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 501),
    (b"GET / HTTP/1.1\r\n\r\n", 400),
    (b"GET * HTTP/1.1\r\nHost: x\r\n\r\n", 400),
])
def test_malformed_heads_are_answered_and_closed(srv, request_bytes, status):
    with connect(srv) as sock:
        sock.sendall(request_bytes)
        data = read_all(sock)
    assert data.startswith(b"HTTP/1.1 %d " % status)
    assert b"connection: close" in data
    # the server goes on serving others
    out = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=5)
    out.request("GET", "/")
    assert out.getresponse().status == 200
    out.close()


def test_client_closing_mid_response_is_seen_as_disconnect(srv):
    e2e_app.events.clear()
    e2e_app.disconnect_seen.clear()
    with connect(srv) as sock:
        sock.sendall(b"GET /forever HTTP/1.1\r\nHost: t\r\n\r\n")
        assert sock.recv(100).startswith(b"HTTP/1.1 200 OK")
    assert e2e_app.disconnect_seen.wait(5)
    assert e2e_app.events["message"] == "http.disconnect"
    # the server is still serving
    conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=5)
    conn.request("GET", "/")
    assert conn.getresponse().status == 200
    conn.close()


def test_quillet_client_against_the_server(srv):
    async def main():
        async with Client("127.0.0.1", srv.port, timeout=10) as client:
            first = await client.request("GET", "/")
            echo = await client.request("POST", "/echo", body=b"payload",
                                        headers={"content-type": "text/x"})
            chunked = await client.request("PUT", "/echo", body=[b"ab", b"", b"cd"])
            stream = await client.request("GET", "/stream")
            download = await client.request("GET", "/download")
            # a request that asks to close ends the connection, whatever the response says
            closing = await client.request("GET", "/", headers={"connection": "close"})
            after = await client.request("GET", "/")
            return client.connections_opened, [first, echo, chunked, stream, download, closing,
                                               after]

    opened, (first, echo, chunked, stream, download, closing, after) = asyncio.run(main())
    assert first.status == 200 and b"Hello from quillet" in first.body and not first.reused
    assert echo.body == b"payload" and echo.headers.get("content-type") == b"text/x"
    assert chunked.body == b"abcd"
    assert stream.body.endswith(b"line 10 of 10\n")
    assert len(download.body) == 1 << 20
    assert all(r.reused for r in (echo, chunked, stream, download, closing))
    assert closing.status == after.status == 200 and not after.reused and opened == 2


def test_timeouts_close_idle_and_slow_connections():
    server = ServerThread(keep_alive_timeout=0.3, head_timeout=0.3)
    try:
        with connect(server) as sock:  # silent: closed without a word
            assert read_all(sock) == b""
        with connect(server) as sock:  # a head that never ends: 408
            sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nHost")
            assert read_all(sock).startswith(b"HTTP/1.1 408 ")

        async def main():
            async with Client("127.0.0.1", server.port) as client:
                first = await client.request("GET", "/")
                await asyncio.sleep(0.8)  # the server closes the idle connection meanwhile
                # the idle watcher saw it: the next request opens a new connection
                second = await client.request("GET", "/")
                return first, second, client.connections_opened

        first, second, opened = asyncio.run(main())
        assert first.status == second.status == 200
        assert not second.reused and opened == 2
    finally:
        server.stop()


def test_sigterm_finishes_requests_in_flight_and_closes_idle_connections():
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    env = dict(os.environ, PYTHONPATH=HERE + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.Popen(
        [sys.executable, "-m", "quillet", "serve", "e2e_app:app", "--port", str(port)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        line = proc.stdout.readline().decode()
        assert f"http://127.0.0.1:{port}/" in line
        idle = socket.create_connection(("127.0.0.1", port), timeout=5)
        idle.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        read_responses(idle, 1)  # now idle between requests
        busy = socket.create_connection(("127.0.0.1", port), timeout=5)
        busy.sendall(b"GET /slow?0.5 HTTP/1.1\r\nHost: x\r\n\r\n")
        time.sleep(0.2)
        proc.send_signal(signal.SIGTERM)
        assert read_all(idle) == b""  # closed at once
        data = read_all(busy)  # finished, then closed
        assert data.startswith(b"HTTP/1.1 200 OK") and data.endswith(b"finished")
        assert b"connection: close" in data
        assert proc.wait(10) == 0
        assert b"stopped" in proc.stdout.read()
        idle.close()
        busy.close()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


async def _task_app(scope, receive, send):
    """Reports the task that runs each request; /wait waits first; /cancel-self cancels its own
    task and reports whether the cancellation reached it where it waited."""
    if scope["type"] != "http":
        return
    path = scope["path"]
    if path == "/wait":
        await asyncio.sleep(0.01)
    if path == "/crash":
        raise RuntimeError("the application failed")
    body = str(id(asyncio.current_task())).encode()
    if path == "/cancel-self":
        asyncio.current_task().cancel()
        try:
            await asyncio.sleep(5)
            body = b"not cancelled"
        except asyncio.CancelledError:
            asyncio.current_task().uncancel()
            body = b"cancelled"
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-length", b"%d" % len(body))]})
    await send({"type": "http.response.body", "body": body})


def test_requests_between_idle_reads_keep_their_task_deadline_and_cancellation():
    # Every request after the first on a connection begins while the read for the next head
    # is parked; each must still run in the connection's task, see its own cancellation where
    # it waits, and re-arm the keep-alive deadline.
    server = ServerThread(_task_app, keep_alive_timeout=0.4)
    try:
        with connect(server) as sock:
            tasks = []
            for path in ["/", "/", "/wait", "/", "/crash", "/wait", "/"]:
                sock.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % path.encode())
                [(status, _, body)], rest = read_responses(sock, 1)
                assert rest == b""
                if path == "/crash":
                    assert status == 500
                else:
                    assert status == 200
                    tasks.append(body)
                time.sleep(0.15)  # over the deadline's 0.4 s in all unless each re-arms it
            assert len(set(tasks)) == 1, tasks

            sock.sendall(b"GET /cancel-self HTTP/1.1\r\nHost: x\r\n\r\n")
            assert read_responses(sock, 1)[0][0][2] == b"cancelled"
            sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
            assert read_responses(sock, 1)[0][0][2] == tasks[0]  # and the connection goes on

            started = time.monotonic()
            assert read_all(sock) == b""  # idle: closed after the keep-alive time
            assert time.monotonic() - started < 2
    finally:
        server.stop()


@pytest.mark.parametrize("switch", ["asyncio", "missing"])
def test_requests_are_served_alike_with_or_without_the_private_task_switch(monkeypatch, switch):
    # A request that arrives while the connection waits for its next head runs from the
    # stream's callback, through a pair of functions private to asyncio. On a Python whose
    # asyncio lacks them, every request is run by the serve task instead, with the same answers
    # in the same task.
    if switch == "missing":
        with monkeypatch.context() as private:
            private.delattr(asyncio.tasks, "_enter_task")
            assert _handoff.task_switch() is None
        monkeypatch.setattr(_h1server, "_TASK_SWITCH", None)
    elif _h1server._TASK_SWITCH is None:
        pytest.skip("this Python's asyncio has no task switch to use")
    from_callback = []
    reader = server_module._ServerStream.data_received

    def counted(stream, data):
        if stream.parked is not None and not stream._chunks:
            from_callback.append(data)  # the head of a parked connection: served at once
        reader(stream, data)

    monkeypatch.setattr(server_module._ServerStream, "data_received", counted)
    server = ServerThread(_task_app)
    try:
        with connect(server) as sock:
            tasks = set()
            for path in ["/", "/wait", "/crash", "/", "/wait"]:
                sock.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % path.encode())
                [(status, _, body)], rest = read_responses(sock, 1)
                assert rest == b"" and status == (500 if path == "/crash" else 200)
                if status == 200:
                    tasks.add(body)
                time.sleep(0.05)  # the connection parks for the next head meanwhile
            assert len(tasks) == 1
    finally:
        server.stop()
    assert len(from_callback) == (4 if switch == "asyncio" else 0)


def test_a_client_that_closes_while_its_request_runs_is_let_go_at_once():
    # The end of input arrives while the application runs, before the read for the next head
    # is parked: the connection must close after the response, not at the keep-alive timeout.
    server = ServerThread(keep_alive_timeout=5)
    try:
        with connect(server) as sock:
            sock.sendall(b"GET /slow?0.2 HTTP/1.1\r\nHost: x\r\n\r\n")
            sock.shutdown(socket.SHUT_WR)
            started = time.monotonic()
            data = read_all(sock)
            assert data.startswith(b"HTTP/1.1 200 ") and data.endswith(b"finished")
            assert time.monotonic() - started < 2
    finally:
        server.stop()


def test_large_bodies_written_beside_their_head_keep_the_framing(srv):
    # bodies past the size joined with the head go out as the application handed them over
    conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=10)
    conn.request("HEAD", "/bytes?200000")
    head = conn.getresponse()
    assert head.getheader("content-length") == "200000" and head.read() == b""
    for size in (65536, 65537, 3 << 20):
        conn.request("GET", f"/bytes?{size}")
        response = conn.getresponse()
        assert response.status == 200 and response.read() == b"b" * size
    conn.close()
