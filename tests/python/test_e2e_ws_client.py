"""The WebSocket client end to end: against our server, against uvicorn with each of its two
WebSocket implementations as black boxes, and against raw-socket servers for what a
well-behaved server never sends."""

import asyncio
import os
import shutil
import socket
import ssl
import subprocess
import sys
import threading
import time

import pytest

import quillet
import ws_app
import ws_client_app
from client_peers import free_port
from quillet._native import (
    WS_BINARY, WS_CLOSE, WS_PING, WS_PONG, WS_TEXT, WSDecoder, ws_accept, ws_close_payload,
    ws_frame)
from test_e2e_server import CURL_ENV, HERE, ServerThread

LARGE = 16 * 1024 * 1024


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


class Uvicorn:
    """uvicorn serving ws_client_app:app with the WebSocket implementation `ws`."""

    def __init__(self, ws: str) -> None:
        pytest.importorskip("uvicorn")
        pytest.importorskip(ws)
        self.port = free_port()
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "uvicorn", "ws_client_app:app", "--host", "127.0.0.1",
             "--port", str(self.port), "--ws", ws, "--log-level", "warning",
             "--no-access-log"], cwd=HERE, env=CURL_ENV, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    self.proc.kill()
                    raise AssertionError(f"uvicorn did not start: {self.proc.stderr.read()}")
                time.sleep(0.05)

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture(scope="module", params=["quillet", "websockets", "wsproto"])
def peer(request):
    """The base ws:// URL of one server."""
    if request.param == "quillet":
        server = ServerThread(ws_client_app.app)
    else:
        server = Uvicorn(request.param)
    yield request.param, f"ws://127.0.0.1:{server.port}"
    server.stop()


@pytest.fixture(scope="module")
def ours():
    server = ServerThread(ws_client_app.app)
    yield f"ws://127.0.0.1:{server.port}"
    server.stop()


# --- against each server ---

def test_messages_pings_and_subprotocols(peer):
    name, base = peer

    async def talk():
        async with quillet.connect_ws(base + "/echo", subprotocols=["x-other", "chat"]) as ws:
            assert ws.subprotocol == "chat"
            assert ws.response.status_code == 101
            await ws.send("héllo ✓")
            assert await ws.recv() == "héllo ✓"
            await ws.send(b"\x00\xff" * 3)
            assert await ws.recv() == b"\x00\xff" * 3
            await ws.ping(b"are you there")
            await ws.ping()
            for i in range(5):
                await ws.send(str(i))
            got = [await ws.recv() for _ in range(5)]
            assert got == ["0", "1", "2", "3", "4"]
        assert ws.closed and ws.close_code == 1000
        # random octets, uncompressed: deflate would make them larger than the servers' limit
        async with quillet.connect_ws(base + "/echo", compression=None) as ws:
            assert ws.subprotocol is None
            big = os.urandom(LARGE)
            await ws.send(big)
            assert await ws.recv() == big

    run(talk())


def test_close_codes_both_ways(peer):
    name, base = peer

    async def talk():
        ws = await quillet.connect_ws(base + "/echo")
        await ws.close(4000, "done here")
        # the server answers our close with the same code
        assert (ws.close_code, ws.closed) == (4000, True)
        with pytest.raises(quillet.WebSocketClosed):
            await ws.send("after the close")
        if name == "quillet":  # what the application heard
            deadline = time.monotonic() + 10
            while ("disconnect", 4000, "done here") not in ws_app.seen:
                assert time.monotonic() < deadline, ws_app.seen
                await asyncio.sleep(0.01)

        async with quillet.connect_ws(base + "/echo") as ws:
            await ws.send("close:4001:bye now")
            with pytest.raises(quillet.WebSocketClosed) as caught:
                async for _ in ws:
                    pass
            assert (caught.value.code, caught.value.reason) == (4001, "bye now")
            assert not caught.value.ok
        assert (ws.close_code, ws.close_reason) == (4001, "bye now")

        async with quillet.connect_ws(base + "/echo") as ws:
            await ws.send("one")
            await ws.send("close:1000:")
            assert [m async for m in ws] == ["one"]  # a normal closure ends the iteration

    run(talk())


def test_refused_handshake_carries_the_response(peer):
    name, base = peer

    async def talk():
        with pytest.raises(quillet.WebSocketHandshakeError) as caught:
            await quillet.connect_ws(base + "/deny-body")
        response = caught.value.response
        assert caught.value.status_code == 403
        assert response.headers["x-why"] == b"members only"
        assert response.content == b"go away"
        assert isinstance(caught.value, quillet.HTTPError)

    run(talk())


def test_compression(peer):
    """Negotiated with our server and with uvicorn's first implementation (the other does not
    offer it); many messages, so that the contexts carried across messages are exercised."""
    name, base = peer
    text = "the same words again and again " * 2000

    async def talk():
        async with quillet.connect_ws(base + "/echo") as ws:
            for i in range(20):
                await ws.send(f"{i} {text}")
                await ws.send(text.encode() + bytes([i]))
                assert await ws.recv() == f"{i} {text}"
                assert await ws.recv() == text.encode() + bytes([i])
            return ws.extensions

    extensions = run(talk())
    if name != "wsproto":
        assert extensions and extensions.startswith("permessage-deflate")


# --- against our server ---

def test_compression_shrinks_the_traffic_and_can_be_declined(ours):
    text = "x" * 500000

    async def talk(compression):
        async with quillet.connect_ws(ours + "/echo", compression=compression) as ws:
            sizes = []
            transport = ws.transport
            write = transport.write
            transport.write = lambda data: (sizes.append(len(data)), write(data))
            await ws.send(text)
            assert await ws.recv() == text
            return ws.extensions, sizes[0]

    extensions, size = run(talk("deflate"))
    assert extensions.startswith("permessage-deflate") and size < 5000
    assert run(talk(None)) == (None, len(text) + 14)


def test_message_size_limit_also_after_inflation(ours):
    async def talk(message, compression):
        async with quillet.connect_ws(ours + "/echo", max_size=100000,
                                      compression=compression) as ws:
            await ws.send(message)
            with pytest.raises(quillet.WebSocketClosed) as caught:
                await ws.recv()
            return caught.value.code

    assert run(talk(b"\x01" * 100001, None)) == 1009
    assert run(talk("a" * 200000, "deflate")) == 1009  # a few hundred octets on the wire


def test_wss_with_a_test_certificate(tmp_path):
    from quillet.server import tls_context
    from test_e2e_tls import make_cert
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command is not installed")
    cert, key = make_cert(str(tmp_path))
    server = ServerThread(ws_client_app.app, ssl=tls_context(cert, key))
    trust = ssl.create_default_context(cafile=cert)
    try:
        async def talk():
            async with quillet.AsyncClient(verify=trust, headers={"x-token": "t"},
                                           base_url=f"https://localhost:{server.port}") as c:
                async with c.websocket("wss://localhost:%d/echo" % server.port) as ws:
                    await ws.send("scope")
                    scope = await ws.recv()
                    await ws.send(b"\x07" * 300000)
                    assert await ws.recv() == b"\x07" * 300000
                async with c.websocket("/echo") as ws:  # relative to the base URL
                    await ws.send("hi")
                    assert await ws.recv() == "hi"
            with pytest.raises(quillet.ConnectError):  # the system's trust store: refused
                await quillet.connect_ws(f"wss://localhost:{server.port}/echo")
            return scope

        scope = run(talk())
        assert '"scheme": "wss"' in scope and '"x-token"' in scope
    finally:
        server.stop()


def test_connection_failures():
    async def talk():
        with pytest.raises(quillet.ConnectError):
            await quillet.connect_ws(f"ws://127.0.0.1:{free_port()}/")
        with pytest.raises(quillet.InvalidURL):
            await quillet.connect_ws("ftp://127.0.0.1/")
        with socket.create_server(("127.0.0.1", 0)) as mute:  # takes the connection, says nothing
            port = mute.getsockname()[1]
            with pytest.raises(quillet.ReadTimeout):
                await quillet.connect_ws(f"ws://127.0.0.1:{port}/", timeout=0.3)

    run(talk())


# --- against raw-socket servers ---

class RawServer:
    """A one-connection server in a thread: it answers the handshake (through `answer`, which
    gets the key and returns the head), then runs `script(sock, decoder)`."""

    def __init__(self, script, answer=None):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.script = script
        self.answer = answer or (lambda key: (
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            f"Sec-WebSocket-Accept: {ws_accept(key).decode()}\r\n\r\n"))
        self.result = None
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        sock, _ = self.listener.accept()
        sock.settimeout(10)
        with sock:
            buf = b""
            while b"\r\n\r\n" not in buf:
                buf += sock.recv(65536)
            fields = dict(line.split(": ", 1) for line in buf.decode().split("\r\n")[1:] if line)
            sock.sendall(self.answer(fields["sec-websocket-key"]).encode())
            self.result = self.script(sock, WSDecoder("server"))
        self.listener.close()

    def events_until_close(self, sock, decoder):
        events = []
        while not any(isinstance(e, tuple) and e[0] == WS_CLOSE for e in events):
            data = sock.recv(65536)
            if not data:
                break
            events += decoder.feed(data)
        return events

    def join(self):
        self.thread.join(10)
        return self.result


def test_a_masked_frame_from_the_server_fails_with_1002():
    def script(sock, decoder):
        sock.sendall(ws_frame(WS_TEXT, "masked", mask=b"abcd"))
        return server.events_until_close(sock, decoder)

    server = RawServer(script)

    async def talk():
        ws = await quillet.connect_ws(f"ws://127.0.0.1:{server.port}/")
        with pytest.raises(quillet.WebSocketClosed) as caught:
            await ws.recv()
        await ws.close()
        return caught.value.code

    assert run(talk()) == 1002
    assert server.join()[-1][0::2] == (WS_CLOSE, 1002)  # our close frame said why


def test_server_fragments_with_a_ping_between_and_closes_first():
    def script(sock, decoder):
        sock.sendall(ws_frame(WS_TEXT, "frag", fin=False) + ws_frame(0, "men", fin=False))
        time.sleep(0.05)
        sock.sendall(ws_frame(WS_PING, b"between") + ws_frame(0, "ted ✓"))
        sock.sendall(ws_frame(WS_BINARY, b"a", fin=False) + ws_frame(0, b"b"))
        sock.sendall(ws_frame(WS_CLOSE, ws_close_payload(1001, "going away")))
        return server.events_until_close(sock, decoder)

    server = RawServer(script)

    async def talk():
        async with quillet.connect_ws(f"ws://127.0.0.1:{server.port}/") as ws:
            return [m async for m in ws], ws.close_code, ws.close_reason

    assert run(talk()) == (["fragmented ✓", b"ab"], 1001, "going away")
    events = server.join()
    assert events == [(WS_PONG, b"between", 0), (WS_CLOSE, "", 1001)]  # our echo of 1001


@pytest.mark.parametrize("answer, why", [
    ("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
     "Sec-WebSocket-Accept: AAAAAAAAAAAAAAAAAAAAAAAAAAA=\r\n\r\n", "Accept"),
    ("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
     "Sec-WebSocket-Accept: {accept}\r\nSec-WebSocket-Protocol: never-offered\r\n\r\n",
     "subprotocol"),
    ("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
     "Sec-WebSocket-Accept: {accept}\r\nSec-WebSocket-Extensions: x-unknown\r\n\r\n",
     "extensions"),
    ("HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\nConnection: Upgrade\r\n"
     "Sec-WebSocket-Accept: {accept}\r\n\r\n", "switch"),
])
def test_an_invalid_101_is_refused(answer, why):
    server = RawServer(lambda sock, decoder: sock.recv(10),
                       answer=lambda key: answer.format(accept=ws_accept(key).decode()))

    async def talk():
        with pytest.raises(quillet.WebSocketHandshakeError, match=why) as caught:
            await quillet.connect_ws(f"ws://127.0.0.1:{server.port}/")
        assert caught.value.status_code == 101

    run(talk())
    assert server.join() == b""  # and the connection was closed


def test_a_slow_consumer_stops_reading():
    """A server that sends 64 KiB messages until its writes block: they block once our queue
    and the socket buffers are full (not after the gigabyte it would send), and every message
    that went out arrives, in order."""
    chunk = b"\x00" * (65536 - 4)

    def script(sock, decoder):
        sock.settimeout(1.0)
        sent = 0
        try:
            while sent < 1 << 30:
                sock.sendall(ws_frame(WS_BINARY, sent.to_bytes(4, "big") + chunk))
                sent += 1
        except TimeoutError:
            pass
        sock.settimeout(10)
        sock.sendall(ws_frame(WS_CLOSE, ws_close_payload(1000)))
        server.events_until_close(sock, decoder)
        return sent

    server = RawServer(script)

    async def talk():
        async with quillet.connect_ws(f"ws://127.0.0.1:{server.port}/", max_queue=4) as ws:
            await asyncio.sleep(1.5)
            queued = len(ws._messages)
            count = 0
            async for message in ws:
                assert message[:4] == count.to_bytes(4, "big")
                count += 1
            return queued, count

    queued, count = run(talk())
    sent = server.join()
    assert queued <= 4 + 4 and count == sent  # the queue, and at most one read past it
    assert sent < 1024  # 64 MiB: bounded by the buffers


def test_on_uvloop(ours):
    uvloop = pytest.importorskip("uvloop")

    async def talk():
        async with quillet.connect_ws(ours + "/echo") as ws:
            await ws.send("x" * 1000)  # compressed
            await ws.ping()
            return await ws.recv(), ws.close_code

    assert uvloop.run(asyncio.wait_for(talk(), 30)) == ("x" * 1000, None)
