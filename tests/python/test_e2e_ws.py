"""WebSocket over HTTP/1.1 end to end: the server against the `websockets` package as a black-box
client, and against raw sockets for what a well-behaved client never sends."""

import asyncio
import base64
import json
import logging
import os
import select
import socket
import time
import zlib

import pytest

import ws_app
from memory import assert_grew_less, status_kib
from quillet._native import WS_BINARY, WS_CLOSE, WS_PING, WS_TEXT, WSDecoder, ws_frame
from quillet.server import Server
from test_e2e_server import ServerThread
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed, InvalidStatus


class WSServer(ServerThread):
    """A server thread whose connections the tests can wait out."""

    live: list = []

    def __init__(self, *args, **options):
        super().__init__(*args, **options)
        WSServer.live.append(self)

    def stop(self):
        WSServer.live.remove(self)
        super().stop()


@pytest.fixture(scope="module")
def srv():
    server = WSServer(ws_app.app)
    yield server
    server.stop()


@pytest.fixture(autouse=True)
def fresh():
    ws_app.seen.clear()
    ws_app.release.clear()
    yield
    ws_app.release.set()
    # a connection of this test may still be ending: what its application records belongs to
    # this test, not to the next
    deadline = time.monotonic() + 10
    while any(s.server.active for s in WSServer.live) and time.monotonic() < deadline:
        time.sleep(0.01)


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


def url(server, path="/echo"):
    return f"ws://127.0.0.1:{server.port}{path}"


def wait_seen(kind, timeout=10):
    """The first record of `kind` the application made."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for record in list(ws_app.seen):
            if record[0] == kind:
                return record
        time.sleep(0.01)
    raise AssertionError(f"no {kind!r} in {ws_app.seen}")


# --- raw sockets ---

KEY = base64.b64encode(b"0123456789abcdef").decode()


def handshake_request(path="/echo", key=KEY, version="13", extra=""):
    lines = [f"GET {path} HTTP/1.1", "Host: 127.0.0.1", "Upgrade: websocket",
             "Connection: Upgrade"]
    if key is not None:
        lines.append(f"Sec-WebSocket-Key: {key}")
    if version is not None:
        lines.append(f"Sec-WebSocket-Version: {version}")
    return ("\r\n".join(lines) + "\r\n" + extra + "\r\n").encode()


def open_raw(server, first=b"", path="/echo", extra=""):
    """A connection after a successful handshake: (socket, the bytes read past the 101 head)."""
    sock, rest, _ = open_raw_head(server, first, path, extra)
    return sock, rest


def open_raw_head(server, first=b"", path="/echo", extra=""):
    """The same, and the 101 head's fields."""
    sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
    sock.sendall(handshake_request(path, extra=extra) + first)
    buf = b""
    while b"\r\n\r\n" not in buf:
        data = sock.recv(65536)
        assert data, "closed during the handshake"
        buf += data
    head, _, rest = buf.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 101 "), head
    lines = head.decode("latin-1").split("\r\n")[1:]
    return sock, rest, dict(line.lower().split(": ", 1) for line in lines)


def client_frame(opcode, payload, fin=True):
    return ws_frame(opcode, payload, fin=fin, mask=os.urandom(4))


def read_events(sock, rest=b"", until=WS_CLOSE):
    """What the server sends, decoded, up to its Close (or the end of the connection)."""
    decoder = WSDecoder("client")
    events = decoder.feed(rest) if rest else []
    while not any(isinstance(e, tuple) and e[0] == until for e in events):
        try:
            data = sock.recv(65536)
        except ConnectionResetError:
            break
        if not data:
            break
        events += decoder.feed(data)
    return events


def http_answer(sock):
    """A whole response of a server that closes after it: (status line, headers, body)."""
    buf = b""
    while True:
        data = sock.recv(65536)
        if not data:
            break
        buf += data
    head, _, body = buf.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = dict(line.lower().split(": ", 1) for line in lines[1:])
    return lines[0], headers, body


# --- messages ---

def test_echo_text_bytes_and_fragments(srv):
    async def talk():
        async with connect(url(srv), max_size=None) as ws:
            assert ws.response.headers["x-echo"] == "yes"
            assert ws.response.headers["server"] == "quillet"  # the server's default fields
            await ws.send("héllo")
            text = await ws.recv()
            await ws.send(b"\x00\xff\x01")
            data = await ws.recv()
            await ws.send(["frag", "mented ", "tëxt"])  # one message in three frames
            fragmented_text = await ws.recv()
            await ws.send([b"\x01", b"", b"\x02\x03"])
            fragmented_bytes = await ws.recv()
            await ws.send("")
            empty = await ws.recv()
            return text, data, fragmented_text, fragmented_bytes, empty
    assert run(talk()) == ("héllo", b"\x00\xff\x01", "fragmented tëxt", b"\x01\x02\x03", "")


def test_echo_and_close_on_uvloop():
    pytest.importorskip("uvloop")
    server = WSServer(ws_app.app, loop="uvloop")
    big = os.urandom(3_000_000)
    try:
        async def talk():
            async with connect(url(server), max_size=None) as ws:
                await ws.send("héllo")
                text = await ws.recv()
                await ws.send(big)
                data = await ws.recv()
                await asyncio.wait_for(await ws.ping(), 10)
                await ws.close(4000, "bye")
                return text, data == big
        assert run(talk()) == ("héllo", True)
        assert wait_seen("disconnect") == ("disconnect", 4000, "bye")
    finally:
        server.stop()


def test_the_scope(srv):
    async def talk():
        async with connect(url(srv, "/echo/sc%20pe?a=1&b=2"), subprotocols=["x", "chat"]) as ws:
            await ws.send("scope")
            return json.loads(await ws.recv())
    scope = run(talk())
    assert scope["type"] == "websocket"
    assert scope["asgi"] == {"version": "3.0", "spec_version": "2.4"}
    assert scope["http_version"] == "1.1" and scope["scheme"] == "ws"
    assert scope["path"] == "/echo/sc pe" and scope["raw_path"] == "/echo/sc%20pe"
    assert scope["query_string"] == "a=1&b=2" and scope["root_path"] == ""
    assert scope["subprotocols"] == ["x", "chat"]
    assert scope["extensions"] == {"websocket.http.response": {}}
    assert scope["client"][0] == "127.0.0.1" and scope["server"] == ["127.0.0.1", srv.port]
    assert {"sec-websocket-key", "upgrade", "host"} <= set(scope["header_names"])
    assert "method" not in scope


def test_frames_pipelined_with_the_handshake_and_interleaved_ping(srv):
    # a text message cut in two with a ping between its fragments, sent with the handshake
    first = (client_frame(WS_TEXT, b"ab", fin=False) + client_frame(WS_PING, b"p1")
             + client_frame(0, b"cd"))
    sock, rest = open_raw(srv, first)
    with sock:
        decoder = WSDecoder("client")
        events = decoder.feed(rest) if rest else []
        while len(events) < 2:
            events += decoder.feed(sock.recv(65536))
        sock.sendall(client_frame(WS_CLOSE, b"\x03\xe8"))
        events += read_events(sock)
    assert events == [(10, b"p1", 0), "abcd", (WS_CLOSE, "", 1000)]
    assert wait_seen("disconnect") == ("disconnect", 1000, "")


def test_ping_is_answered(srv):
    async def talk():
        async with connect(url(srv)) as ws:
            pong = await ws.ping(b"are you there")
            await asyncio.wait_for(pong, 10)
            return True
    assert run(talk())


# --- closing ---

def test_close_codes_both_ways(srv):
    async def client_closes():
        async with connect(url(srv)) as ws:
            await ws.close(4000, "bye")
            return ws.close_code
    assert run(client_closes()) == 4000
    assert wait_seen("disconnect") == ("disconnect", 4000, "bye")
    ws_app.seen.clear()

    async def app_closes():
        async with connect(url(srv)) as ws:
            await ws.send("close:4001:done here")
            with pytest.raises(ConnectionClosed):
                await ws.recv()
            return ws.close_code, ws.close_reason
    assert run(app_closes()) == (4001, "done here")
    # the client answered our Close: the application hears the code it echoed
    assert wait_seen("disconnect")[1] == 4001


def test_client_that_never_answers_our_close_is_dropped(srv, monkeypatch):
    from quillet import _ws
    monkeypatch.setattr(_ws, "CLOSE_TIMEOUT", 0.3)
    sock, rest = open_raw(srv)
    with sock:
        sock.sendall(client_frame(WS_TEXT, b"close:4003:no answer"))
        assert read_events(sock, rest)[-1] == (WS_CLOSE, "no answer", 4003)
        assert sock.recv(100) == b""  # dropped, as we never answer
    assert wait_seen("disconnect") == ("disconnect", 1006, "")


def test_client_that_drops_the_connection_is_a_1006(srv):
    sock, _ = open_raw(srv)
    sock.close()
    assert wait_seen("disconnect") == ("disconnect", 1006, "")


def test_shutdown_closes_with_1001():
    server = WSServer(ws_app.app)
    sock, rest = open_raw(server)
    with sock:
        server.server.loop.call_soon_threadsafe(server.server.request_stop)
        events = read_events(sock, rest)
        assert events[-1][:1] == (WS_CLOSE,) and events[-1][2] == 1001
        sock.sendall(client_frame(WS_CLOSE, b"\x03\xe9"))
        server.stop()
    assert wait_seen("disconnect")[1] == 1001


def test_wss_over_tls(tmp_path):
    import shutil
    import ssl

    from quillet.server import tls_context
    from test_e2e_tls import make_cert
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command is not installed")
    cert, key = make_cert(str(tmp_path))
    server = WSServer(ws_app.app, ssl=tls_context(cert, key))
    client_tls = ssl.create_default_context(cafile=cert)
    try:
        async def talk():
            async with connect(f"wss://localhost:{server.port}/echo", ssl=client_tls) as ws:
                await ws.send("scope")
                scope = json.loads(await ws.recv())
                await ws.send(b"\x00" * 100000)
                return scope["scheme"], len(await ws.recv())
        assert run(talk()) == ("wss", 100000)
    finally:
        server.stop()


# --- the handshake ---

def test_subprotocol_negotiation(srv):
    async def offer(protocols):
        async with connect(url(srv), subprotocols=protocols) as ws:
            return ws.subprotocol
    assert run(offer(["x", "chat"])) == "chat"
    assert run(offer(None)) is None


def test_denial_with_403_and_with_a_response_of_the_application(srv):
    async def refused(path):
        with pytest.raises(InvalidStatus) as info:
            async with connect(url(srv, path)):
                pass
        return info.value.response
    response = run(refused("/deny"))
    assert response.status_code == 403
    response = run(refused("/deny-custom"))
    assert response.status_code == 418
    assert response.headers["x-why"] == "teapot" and response.body == b"not a websocket"
    assert response.headers["server"] == "quillet"


def test_a_full_server_refuses_with_503():
    server = WSServer(ws_app.app, limit_concurrency=0)
    try:
        async def refused():
            with pytest.raises(InvalidStatus) as info:
                async with connect(url(server)):
                    pass
            return info.value.response.status_code
        assert run(refused()) == 503
    finally:
        server.stop()
    assert ws_app.seen == []


@pytest.mark.parametrize("key, version, status", [
    (None, "13", 400),            # no Sec-WebSocket-Key
    ("c2hvcnQ=", "13", 400),      # not 16 octets
    (KEY, "8", 426),
    (KEY, None, 426),
])
def test_bad_handshake_is_refused_without_the_application(srv, key, version, status):
    with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as sock:
        sock.sendall(handshake_request(key=key, version=version))
        line, headers, _ = http_answer(sock)
    assert line.split()[1] == str(status)
    if status == 426:
        assert headers["sec-websocket-version"] == "13"
    assert ws_app.seen == []


def test_a_refused_handshake_has_its_access_log_line(caplog):
    caplog.set_level(logging.INFO, logger="quillet.access")
    server = WSServer(ws_app.app)
    try:
        sizes = []
        for version in ("8", "13"):
            with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
                sock.sendall(handshake_request(key="c2hvcnQ=", version=version))
                sizes.append(len(http_answer(sock)[2]))
    finally:
        server.stop()
    lines = [r.getMessage() for r in caplog.records if r.name == "quillet.access"]
    assert len(lines) == 2, lines
    for line, status, size in zip(lines, (426, 400), sizes):
        assert line.startswith("127.0.0.1:"), line
        assert f' - "GET /echo HTTP/1.1" {status} {size} ' in line, line


def test_upgrade_to_something_else_or_over_http10_is_plain_http(srv):
    with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as sock:
        sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: h2c\r\nConnection: close\r\n\r\n")
        line, _, body = http_answer(sock)
    assert line.split()[1] == "200" and body == b"plain http"
    with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as sock:
        sock.sendall(handshake_request().replace(b"HTTP/1.1", b"HTTP/1.0"))
        line, _, body = http_answer(sock)
    assert line.split()[1] == "200" and body == b"plain http"  # Upgrade is ignored in 1.0


def test_ws_none_serves_upgrades_as_plain_http():
    server = WSServer(ws_app.app, ws="none")
    try:
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
            sock.sendall(handshake_request().replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n"))
            line, _, body = http_answer(sock)
        assert line.split()[1] == "200" and body == b"plain http"
    finally:
        server.stop()


# --- failures ---

def test_application_errors(srv):
    async def after_accept():
        async with connect(url(srv, "/raise")) as ws:
            await ws.send("go")
            with pytest.raises(ConnectionClosed):
                await ws.recv()
            return ws.close_code
    assert run(after_accept()) == 1011

    async def before_accept():
        with pytest.raises(InvalidStatus) as info:
            async with connect(url(srv, "/raise-before")):
                pass
        return info.value.response.status_code
    assert run(before_accept()) == 500


def test_invalid_utf8_is_a_1007(srv):
    sock, rest = open_raw(srv)
    with sock:
        sock.sendall(client_frame(WS_TEXT, b"ok \xce", fin=False) + client_frame(0, b"\xff"))
        events = read_events(sock, rest)
    assert events[-1][0] == WS_CLOSE and events[-1][2] == 1007
    assert wait_seen("disconnect")[1] == 1007


def test_unmasked_frame_is_a_1002(srv):
    sock, rest = open_raw(srv)
    with sock:
        sock.sendall(ws_frame(WS_BINARY, b"not masked"))
        events = read_events(sock, rest)
    assert events[-1][0] == WS_CLOSE and events[-1][2] == 1002


def test_16_mib_message_and_one_octet_more(srv):
    big = os.urandom(16 * 1024 * 1024)

    async def talk():
        async with connect(url(srv), max_size=None) as ws:
            await ws.send(big)
            echoed = await ws.recv()
            try:
                await ws.send(big + b"!")
            except ConnectionClosed:
                pass  # the server failed the connection before the message was all out
            with pytest.raises(ConnectionClosed):
                await ws.recv()
            return echoed == big, ws.close_code
    assert run(talk()) == (True, 1009)


# --- keep-alive and back-pressure ---

@pytest.fixture(scope="module")
def tight():
    """A server with small limits: 64 KiB messages, 4 of them queued, quick pings and
    write timeout."""
    server = WSServer(ws_app.app, ws_max_size=65536, ws_max_queue=4, ws_ping_interval=0.2,
                          ws_ping_timeout=2.0, write_timeout=1.0)
    yield server
    server.stop()


def test_keepalive_ping_answered_or_timed_out(tight):
    async def answering():
        async with connect(url(tight)) as ws:  # the client answers pings by itself
            await asyncio.sleep(1.5)
            await ws.send("still here")
            return await ws.recv()
    assert run(answering()) == "still here"
    assert wait_seen("disconnect")[1] == 1000
    ws_app.seen.clear()

    sock, rest = open_raw(tight)  # this one never answers
    with sock:
        events = read_events(sock, rest)
    assert events[0][0] == WS_PING
    assert events[-1][0] == WS_CLOSE and events[-1][2] == 1011
    assert wait_seen("disconnect", 30)[1] == 1011


def test_slow_application_holds_a_flooding_client_back(tight):
    sock, rest = open_raw(tight, path="/slow")
    before = status_kib(os.getpid(), "VmRSS")
    payload = os.urandom(60000)
    sock.setblocking(False)
    pending, count, sent = b"", 0, 0
    while sent < 256 * 1024 * 1024:  # far more than the server may hold
        if not pending:
            pending = client_frame(WS_BINARY, count.to_bytes(4, "big") + payload)
            count += 1
        try:
            n = sock.send(pending)
        except BlockingIOError:
            if not select.select([], [sock], [], 0.5)[1]:
                break  # the server stopped reading: the kernel's buffers are full
            continue
        sent += n
        pending = pending[n:]
    assert sent < 64 * 1024 * 1024, "the server read everything a slow application left"
    assert_grew_less(status_kib(os.getpid(), "VmRSS") - before, 32 * 1024)
    # once the application reads, what was held back all arrives, in order
    ws_app.release.set()
    sock.setblocking(True)
    sock.settimeout(10)
    with sock:
        sock.sendall(pending + client_frame(WS_CLOSE, b"\x03\xe8"))
        events = read_events(sock, rest)
    assert events[-1] == (WS_CLOSE, "", 1000)
    assert wait_seen("slow", 90) == ("slow", count, 1000)


@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
def test_client_that_reads_nothing_is_dropped(tight, loop):
    # on uvloop a large message's header and payload go out in one writev, which must hold the
    # application back as a plain write does
    if loop == "uvloop":
        pytest.importorskip("uvloop")
        server = WSServer(ws_app.app, ws_max_size=65536, ws_max_queue=4, write_timeout=1.0,
                          loop="uvloop")
    else:
        server = tight
    try:
        sock, _ = open_raw(server, path="/flood")
        with sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            record = wait_seen("flood", 30)
    finally:
        if server is not tight:
            server.stop()
    assert record[1] < 64 * 1024 * 1024  # the application was held back, then told


def test_fastapi_websocket_route():
    import fastapi  # a test dependency (scripts/requirements-dev.txt)
    api = fastapi.FastAPI()

    @api.websocket("/ws/{name}")
    async def hello(websocket: fastapi.WebSocket, name: str):
        await websocket.accept()
        text = await websocket.receive_text()
        await websocket.send_text(f"{text}, {name}")
        await websocket.send_bytes(await websocket.receive_bytes())
        await websocket.close(code=4002)

    server = WSServer(api)
    try:
        async def talk():
            async with connect(f"ws://127.0.0.1:{server.port}/ws/quillet") as ws:
                await ws.send("hello")
                first = await ws.recv()
                await ws.send(b"\x01\x02")
                second = await ws.recv()
                with pytest.raises(ConnectionClosed):
                    await ws.recv()
                return first, second, ws.close_code
        assert run(talk()) == ("hello, quillet", b"\x01\x02", 4002)
    finally:
        server.stop()


def test_command_line_options(monkeypatch, capsys):
    from quillet import __main__, server
    made = []

    class Recorder:
        def __init__(self, app, host, port, **options):
            made.append(options)
            self.url = "ws://recorded"

        def serve(self, ready=None):
            return None

    monkeypatch.setattr(server, "Server", Recorder)
    monkeypatch.setattr(server, "run_loop", lambda main, loop: None)
    assert __main__.main(["serve", "ws_app:app"]) == 0
    assert __main__.main(["serve", "ws_app:app", "--ws", "none", "--ws-max-size", "1000",
                          "--ws-max-queue", "3", "--ws-ping-interval", "0",
                          "--ws-ping-timeout", "2.5", "--no-ws-per-message-deflate"]) == 0
    keys = ("ws", "ws_max_size", "ws_max_queue", "ws_ping_interval", "ws_ping_timeout",
            "ws_per_message_deflate")
    assert [tuple(o[k] for k in keys) for o in made] == [
        ("auto", 16 * 1024 * 1024, 32, 20.0, 20.0, True), ("none", 1000, 3, 0.0, 2.5, False)]
    for wrong in (["--ws", "maybe"], ["--ws-max-size", "0"], ["--ws-max-queue", "0"],
                  ["--ws-ping-timeout", "-1"]):
        with pytest.raises(SystemExit):
            __main__.main(["serve", "ws_app:app", *wrong])
    assert len(made) == 2
    with pytest.raises(ValueError, match="ws must be 'auto' or 'none'"):
        Server(ws_app.app, ws="maybe")
    with pytest.raises(ValueError, match="ws_max_queue must be an integer of at least 1"):
        Server(ws_app.app, ws_max_queue=0)


# --- permessage-deflate ---

DEFLATE_OFFER = "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n"


def compress(data, keep=None):
    """A message's payload as a client compresses it (RFC 7692 section 7.2.1)."""
    deflater = keep or zlib.compressobj(6, zlib.DEFLATED, -15)
    out = deflater.compress(data) + deflater.flush(zlib.Z_SYNC_FLUSH)
    assert out.endswith(b"\x00\x00\xff\xff")
    return out[:-4]


def test_deflate_with_the_websockets_client(srv):
    async def talk(**options):
        async with connect(url(srv), max_size=None, **options) as ws:
            texts = ["compress me " * 1000, "short", "again " * 5000]
            for text in texts:
                await ws.send(text)
            got = [await ws.recv() for _ in texts]
            await ws.send(os.urandom(200000))
            data = await ws.recv()
            return ws.response.headers.get("sec-websocket-extensions"), got == texts, len(data)
    extension, same, size = run(talk())
    assert extension == "permessage-deflate" and same and size == 200000

    from websockets.extensions.permessage_deflate import ClientPerMessageDeflateFactory
    factory = ClientPerMessageDeflateFactory(server_no_context_takeover=True,
                                             client_no_context_takeover=True,
                                             server_max_window_bits=10)
    extension, same, size = run(talk(extensions=[factory], compression=None))
    assert extension == ("permessage-deflate; server_no_context_takeover; "
                         "client_no_context_takeover; server_max_window_bits=10")
    assert same and size == 200000
    extension, same, _ = run(talk(compression=None))
    assert extension is None and same


def test_deflate_over_raw_frames_both_ways(srv):
    sock, rest, fields = open_raw_head(srv, extra=DEFLATE_OFFER)
    assert fields["sec-websocket-extensions"] == "permessage-deflate"
    deflater = zlib.compressobj(6, zlib.DEFLATED, -15)  # context kept from message to message
    inflater = zlib.decompressobj(-15)
    with sock:
        decoder = WSDecoder("client", allow_rsv1=True)
        events = decoder.feed(rest) if rest else []
        sent = ["héllo wörld " * 50, "héllo wörld " * 60, "tiny"]
        for text in sent[:2]:
            sock.sendall(ws_frame(WS_TEXT, compress(text.encode(), deflater), rsv1=True,
                                  mask=os.urandom(4)))
        sock.sendall(client_frame(WS_TEXT, sent[2]))  # uncompressed, allowed as well
        while len(events) < 3:
            events += decoder.feed(sock.recv(65536))
        sock.sendall(client_frame(WS_CLOSE, b"\x03\xe8"))
    got = []
    for event in events[:3]:
        if isinstance(event, tuple):  # compressed by the server
            assert event[0] == WS_TEXT
            event = inflater.decompress(event[1] + b"\x00\x00\xff\xff").decode()
        got.append(event)
    assert got == sent
    assert isinstance(events[0], tuple) and events[2] == "tiny"  # only what is worth it


def test_deflate_offers_that_are_declined(srv):
    for offer in ("permessage-deflate; server_max_window_bits=8",
                  "permessage-deflate; unknown_parameter", "x-webkit-deflate-frame"):
        sock, _, fields = open_raw_head(srv, extra=f"Sec-WebSocket-Extensions: {offer}\r\n")
        sock.close()
        assert "sec-websocket-extensions" not in fields, offer
    server = WSServer(ws_app.app, ws_per_message_deflate=False)
    try:
        sock, _, fields = open_raw_head(server, extra=DEFLATE_OFFER)
        sock.close()
        assert "sec-websocket-extensions" not in fields
    finally:
        server.stop()


@pytest.mark.parametrize("payload, code", [
    (compress(b"\x00" * (10 * 1024 * 1024)), 1009),  # 10 KiB that would inflate to 10 MiB
    (compress(b"ok \xff"), 1007),
    (b"\xff\xff\xff\xff", 1002),  # not deflate data
])
def test_deflate_failures(tight, payload, code):
    sock, rest = open_raw(tight, extra=DEFLATE_OFFER)
    with sock:
        sock.sendall(ws_frame(WS_TEXT, payload, rsv1=True, mask=os.urandom(4)))
        events = read_events(sock, rest)
    assert events[-1][0] == WS_CLOSE and events[-1][2] == code
    assert wait_seen("disconnect")[1] == code
