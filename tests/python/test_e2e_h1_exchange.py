"""The native HTTP/1 exchange against the Python one over real sockets: every way an
application can leave the native fast path (a body still to be read, a wait between messages, a
streamed or large body, header names as str, a bad field, messages out of order, a failure)
gives the client the same bytes, and the server the same log (errors, and the access log's
status and byte count), with either driver."""

import asyncio
import logging
import re
import socket
import time

import pytest

from test_e2e_server import ServerThread


async def app(scope, receive, send):
    path = scope["path"]
    if path == "/whole":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"text/plain")]})
        await send({"type": "http.response.body", "body": b"whole"})
    elif path == "/echo":
        body = b""
        while True:
            message = await receive()
            body += message.get("body", b"")
            if not message.get("more_body"):
                break
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": body})
    elif path == "/wait":
        await send({"type": "http.response.start", "status": 201, "headers": []})
        await asyncio.sleep(0.01)
        await send({"type": "http.response.body", "body": b"later"})
    elif path == "/stream":
        await send({"type": "http.response.start", "status": 200, "headers": []})
        for part in (b"a", b"b", b"c"):
            await send({"type": "http.response.body", "body": part, "more_body": True})
        await send({"type": "http.response.body", "body": b""})
    elif path == "/large":
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"x" * (64 * 1024 + 1)})
    elif path == "/str-names":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [("x-str", "yes"), [b"x-list", b"1"]]})
        await send({"type": "http.response.body", "body": b"ok"})
    elif path == "/length":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"Content-Length", b"2"), (b"x-a", b"b")]})
        await send({"type": "http.response.body", "body": b"ok"})
    elif path == "/bad-field":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"x-bad", b"a\r\nb")]})
        await send({"type": "http.response.body", "body": b"never"})
    elif path == "/twice":
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"one"})
        await send({"type": "http.response.body", "body": b"two"})
    elif path == "/body-first":
        await send({"type": "http.response.body", "body": b"no start"})
    elif path == "/raises":
        raise ValueError("the application broke")
    elif path == "/silent":
        return
    elif path == "/unknown":
        await send({"type": "http.response.nonsense"})
    else:
        await send({"type": "http.response.start", "status": 404, "headers": []})
        await send({"type": "http.response.body", "body": b""})


REQUESTS = [
    b"GET /whole HTTP/1.1\r\nHost: x\r\n\r\n",
    b"HEAD /whole HTTP/1.1\r\nHost: x\r\n\r\n",
    b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello",
    b"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
    b"3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
    b"GET /wait HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /stream HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /large HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /str-names HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /length HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /bad-field HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /twice HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /body-first HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /raises HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /silent HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /unknown HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /whole HTTP/1.0\r\n\r\n",
    b"GET /whole HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
]


def exchange(port, request):
    """What the server sends for `request` followed by a last request on the same connection
    (which tells whether the connection was kept), until it closes or goes quiet."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        sock.sendall(request + b"GET /whole HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        chunks = []
        try:
            while chunk := sock.recv(1 << 20):
                chunks.append(chunk)
        except (TimeoutError, ConnectionResetError):
            pass
    return re.sub(rb"date: [^\r]*\r\n", b"", b"".join(chunks))


@pytest.fixture(scope="module")
def servers():
    access = logging.getLogger("quillet.access")
    level = access.level
    access.setLevel(logging.INFO)  # before the servers start: they look once
    both = {driver: ServerThread(app, driver=driver)
            for driver in ("python", "native")}
    yield both
    for server in both.values():
        server.stop()
    access.setLevel(level)


@pytest.mark.parametrize("request_bytes", REQUESTS, ids=[r.split(b"\r\n")[0].decode()
                                                          for r in REQUESTS])
def test_the_native_exchange_answers_as_the_python_one(servers, request_bytes, caplog):
    caplog.set_level(logging.DEBUG, logger="quillet.server")
    caplog.set_level(logging.INFO, logger="quillet.access")
    answers = {}
    logged = {}
    for driver, server in servers.items():
        caplog.clear()
        answers[driver] = exchange(server.port, request_bytes)
        time.sleep(0.05)  # the access line of the last request is written after its response
        # errors, and the access log's lines less the client's port and the time taken
        logged[driver] = sorted(
            re.sub(r"^\S+ - | [\d.]+ms$", "", r.getMessage()) for r in caplog.records
            if r.levelno >= logging.ERROR or r.name == "quillet.access")
    assert answers["native"] == answers["python"]
    assert answers["native"].startswith(b"HTTP/1.")
    assert logged["native"] == logged["python"]
    assert any('"GET ' in line or '"POST ' in line or '"HEAD ' in line
               for line in logged["native"])  # the access lines are there to compare
