"""The WebSocket client over HTTP/2 (RFC 8441) end to end: against our server over TLS (ALPN h2)
and with prior knowledge, and against hypercorn as a black box; the fallback to HTTP/1.1 behind
nginx, whose HTTP/2 does not take extended CONNECT; and a raw HTTP/2 server (the h2 package as a
black box) for what a well-behaved server never does."""

import asyncio
import json
import os
import socket
import ssl
import subprocess
import sys
import threading

import h2.config
import h2.connection
import h2.events
import h2.settings
import pytest

import quillet
import ws_client_app
from client_peers import free_port, need_module, wait_for_port
from quillet._native import WS_BINARY, ws_frame
from quillet.server import tls_context
from test_e2e_server import CURL_ENV, HERE, ServerThread
from test_e2e_tls import make_cert

MESSAGE = 4 * 1024 * 1024  # past every window on the way


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


@pytest.fixture(scope="module")
def cert(tmp_path_factory):
    return make_cert(str(tmp_path_factory.mktemp("tls")))


class Hypercorn:
    """hypercorn serving ws_client_app:app over TLS, where ALPN offers h2."""

    def __init__(self, cert) -> None:
        need_module("hypercorn")
        self.port = free_port()
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "hypercorn", "ws_client_app:app", "--bind",
             f"127.0.0.1:{self.port}", "--certfile", cert[0], "--keyfile", cert[1],
             "--log-level", "warning"],
            cwd=HERE, env=CURL_ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_for_port(self.proc, self.port, "hypercorn")

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stderr.close()


@pytest.fixture(scope="module", params=["quillet", "quillet-h2c", "hypercorn"])
def peer(request, cert):
    """(base URL, the client's options) of one server speaking HTTP/2."""
    if request.param == "hypercorn":
        server = Hypercorn(cert)
        yield f"wss://127.0.0.1:{server.port}", {"verify": cert[0]}
    elif request.param == "quillet":
        server = ServerThread(ws_client_app.app, ssl=tls_context(*cert))
        yield f"wss://127.0.0.1:{server.port}", {"verify": cert[0]}
    else:
        server = ServerThread(ws_client_app.app)
        yield f"ws://127.0.0.1:{server.port}", {"http2": True}
    server.stop()


@pytest.fixture
def ours(peer, request):
    """Whether the peer is our server (hypercorn ends the whole connection once a WebSocket
    stream has closed)."""
    return "hypercorn" not in request.node.callspec.id


def http_of(base: str) -> str:
    return base.replace("ws", "http", 1)


def test_messages_pings_and_subprotocol_on_one_stream(peer):
    base, options = peer

    async def talk():
        async with quillet.AsyncClient(cookies={"sid": "s"}, **options) as client:
            # a field HTTP/2 does not carry is dropped, as for requests; the client's cookies
            # go with the handshake
            async with client.websocket(base + "/echo", subprotocols=["x-other", "chat"],
                                        headers={"x-mine": "1", "connection": "keep-alive"}
                                        ) as ws:
                assert (ws.response.status_code, ws.response.http_version) == (200, "HTTP/2")
                await ws.send("scope")
                scope = json.loads(await ws.recv())
                assert scope["http_version"] == "2"
                assert {"x-mine", "cookie"} <= set(scope["header_names"])
                assert ws.subprotocol == "chat"
                assert ws.extensions.startswith("permessage-deflate")
                await ws.send("héllo ✓")
                assert await ws.recv() == "héllo ✓"
                await ws.send(b"\x00\xff" * 3)
                assert await ws.recv() == b"\x00\xff" * 3
                await ws.ping(b"are you there")
                for i in range(5):
                    await ws.send(str(i))
                assert [await ws.recv() for _ in range(5)] == ["0", "1", "2", "3", "4"]
            assert ws.closed and ws.close_code == 1000
            assert client.connections_opened == 1

    run(talk())


def test_a_large_message_both_ways_through_flow_control(peer):
    base, options = peer

    async def talk():
        async with quillet.AsyncClient(**options) as client:
            # random octets, uncompressed: every one of them crosses the windows
            async with client.websocket(base + "/echo", compression=None) as ws:
                big = os.urandom(MESSAGE)
                await ws.send(big)
                assert await ws.recv() == big
                await ws.send("after")
                assert await ws.recv() == "after"

    run(talk())


def test_close_codes_both_ways(peer, ours):
    base, options = peer

    async def talk():
        async with quillet.AsyncClient(**options) as client:
            ws = await client.websocket(base + "/echo")
            await ws.close(4000, "done here")
            assert (ws.close_code, ws.closed) == (4000, True)  # the server echoes the code
            with pytest.raises(quillet.WebSocketClosed) as info:
                await ws.send("too late")
            assert info.value.code == 4000

            ws = await client.websocket(base + "/echo")
            await ws.send("close:4001:server says bye")
            with pytest.raises(quillet.WebSocketClosed) as info:
                await ws.recv()
            assert (info.value.code, info.value.reason) == (4001, "server says bye")
            await ws.close()  # the closing handshake is over: waits for the end only
            assert ws.closed and ws.close_code == 4001
            # both streams ended; our server's connection carries on
            response = await client.get(http_of(base) + "/")
            assert response.http_version == "HTTP/2"
            assert client.connections_opened == 1 or not ours

    run(talk())


def test_a_refusal_is_the_servers_response(peer):
    base, options = peer

    async def talk():
        async with quillet.AsyncClient(**options) as client:
            with pytest.raises(quillet.WebSocketHandshakeError) as info:
                await client.websocket(base + "/deny-body")
            response = info.value.response
            assert (info.value.status_code, response.http_version) == (403, "HTTP/2")
            assert response.content == b"go away"
            assert str(info.value) == "the server refused the WebSocket with 403"
            # the refused stream is over; the connection is not
            async with client.websocket(base + "/echo") as ws:
                await ws.send("still here")
                assert await ws.recv() == "still here"
            assert client.connections_opened == 1

    run(talk())


def test_requests_flow_beside_an_open_websocket(peer):
    base, options = peer

    async def talk():
        async with quillet.AsyncClient(**options) as client:
            async with client.websocket(base + "/echo", compression=None) as ws:
                big = os.urandom(MESSAGE)

                async def echo():
                    await ws.send(big)
                    return await ws.recv()

                got, *responses = await asyncio.gather(
                    echo(), *(client.get(http_of(base) + f"/?n={i}") for i in range(4)))
                assert got == big
                assert [r.http_version for r in responses] == ["HTTP/2"] * 4
                assert all(r.status_code == 200 for r in responses)
            assert client.connections_opened == 1

    run(talk())


def test_connect_ws_speaks_http2_and_closes_its_own_client(cert, monkeypatch):
    server = ServerThread(ws_client_app.app, ssl=tls_context(*cert))
    clients = []
    real = quillet.AsyncClient.__init__

    def spy(self, *args, **kwargs):
        real(self, *args, **kwargs)
        clients.append(self)

    monkeypatch.setattr(quillet.AsyncClient, "__init__", spy)

    async def talk():
        async with quillet.connect_ws(f"wss://127.0.0.1:{server.port}/echo",
                                      verify=cert[0]) as ws:
            assert ws.response.http_version == "HTTP/2"
            await ws.send("x")
            assert await ws.recv() == "x"
        [client] = clients
        for _ in range(100):
            if client.is_closed:
                break
            await asyncio.sleep(0.01)
        assert client.is_closed

    try:
        run(talk())
    finally:
        server.stop()


# --- the fallback to HTTP/1.1 ---


def test_http11_when_the_http2_server_does_not_take_extended_connect(tmp_path):
    """nginx speaks HTTP/2 to the client without SETTINGS_ENABLE_CONNECT_PROTOCOL and passes
    WebSocket handshakes over HTTP/1.1 to our server."""
    from test_e2e_nginx import Nginx, nginx_binary
    nginx_binary()
    server = ServerThread(ws_client_app.app)
    nginx = None
    try:
        nginx = Nginx(str(tmp_path), tcp=server.port, uds=str(tmp_path / "none.sock"),
                      untrusting=server.port)

        async def talk():
            async with quillet.AsyncClient(verify=nginx.cert) as client:
                async with client.websocket(nginx.url("/app/echo"),
                                            subprotocols=["chat"]) as ws:
                    assert (ws.response.status_code, ws.response.http_version) == (
                        101, "HTTP/1.1")
                    assert ws.subprotocol == "chat"
                    await ws.send("through nginx")
                    assert await ws.recv() == "through nginx"
                    response = await client.get(nginx.url("/app/"))
                    assert (response.status_code, response.http_version) == (200, "HTTP/2")
                # the HTTP/2 connection the client asked first, and stays its own
                assert client.connections_opened == 1

        run(talk())
    finally:
        if nginx is not None:
            nginx.stop()
        server.stop()


# --- a server that does what a well-behaved one does not ---


class RawH2Server:
    """One HTTP/2 connection served by hand with the h2 package, in a thread. It enables
    extended CONNECT and answers the first stream with 200, then does what `behaviour` says:
    "silent" sends nothing more and never ends the stream; "flood" sends `flood` (WebSocket
    frames) as fast as the client's windows let it; "no-window" never gives the client's DATA
    its window back. It records the client's frames that matter here."""

    def __init__(self, behaviour: str, flood: bytes = b"") -> None:
        self.behaviour = behaviour
        self.flood = flood
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.events: list = []
        self.received = 0      # DATA octets from the client
        self.flooded = 0       # flood octets sent
        self.stalled = threading.Event()  # the flood waits for the client's window
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self) -> None:
        conn, _ = self.sock.accept()
        conn.settimeout(0.05)
        h2c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
        h2c.initiate_connection()
        h2c.update_settings({h2.settings.SettingCodes.ENABLE_CONNECT_PROTOCOL: 1})
        conn.sendall(h2c.data_to_send())
        sid = None
        try:
            while not self.done.is_set():
                while sid is not None and self.flooded < len(self.flood):
                    room = min(h2c.local_flow_control_window(sid), h2c.max_outbound_frame_size,
                               len(self.flood) - self.flooded)
                    if room <= 0:
                        self.stalled.set()
                        break
                    h2c.send_data(sid, self.flood[self.flooded:self.flooded + room])
                    self.flooded += room
                    self.stalled.clear()
                    conn.sendall(h2c.data_to_send())
                try:
                    data = conn.recv(65536)
                except TimeoutError:
                    continue
                if not data:
                    break
                for event in h2c.receive_data(data):
                    if isinstance(event, h2.events.RequestReceived):
                        self.events.append(("request", dict(event.headers)))
                        h2c.send_headers(event.stream_id, [(":status", "200")])
                        sid = event.stream_id
                    elif isinstance(event, h2.events.DataReceived):
                        self.received += len(event.data)
                        if self.behaviour != "no-window":
                            h2c.acknowledge_received_data(event.flow_controlled_length,
                                                          event.stream_id)
                    elif isinstance(event, h2.events.StreamEnded):
                        self.events.append(("end_stream",))
                    elif isinstance(event, h2.events.StreamReset):
                        self.events.append(("reset", int(event.error_code)))
                        self.done.set()
                conn.sendall(h2c.data_to_send())
        finally:
            conn.close()
            self.sock.close()

    def join(self) -> None:
        assert self.done.wait(10)
        self.thread.join(10)


def test_a_server_that_never_ends_its_side_has_the_stream_cancelled():
    server = RawH2Server("silent")

    async def talk():
        async with quillet.AsyncClient(http2=True) as client:
            ws = await client.websocket(f"ws://127.0.0.1:{server.port}/x", close_timeout=0.3)
            # our close frame goes out; no close frame or END_STREAM comes back
            await ws.close(1000)
            assert ws.closed and ws.close_code == 1006

    run(talk())
    server.join()
    request = server.events[0][1]
    assert (request[b":method"], request[b":protocol"], request[b":path"]) == (
        b"CONNECT", b"websocket", b"/x")
    assert b"sec-websocket-key" not in request and b"upgrade" not in request
    assert server.events[1:] == [("reset", 8)]  # CANCEL, without END_STREAM


def test_a_slow_reader_shuts_the_servers_window_until_it_reads():
    message = 64 * 1024
    count = 64  # 4 MiB: past the stream's window of 1 MiB
    frame = ws_frame(WS_BINARY, b"m" * message)
    server = RawH2Server("flood", frame * count)

    async def talk():
        async with quillet.AsyncClient(http2=True) as client:
            ws = await client.websocket(f"ws://127.0.0.1:{server.port}/", max_queue=2,
                                        compression=None, close_timeout=0.3)
            loop = asyncio.get_running_loop()
            assert await loop.run_in_executor(None, server.stalled.wait, 10)
            await asyncio.sleep(0.2)
            held = server.flooded
            # two messages queued, the window's worth waiting unread: no more is let in
            assert held < len(frame) * count // 2
            await asyncio.sleep(0.2)
            assert server.flooded == held and server.stalled.is_set()
            for _ in range(count):
                assert await ws.recv() == b"m" * message
            assert server.flooded == len(frame) * count
            await ws.close()

    run(talk())
    server.done.set()
    server.thread.join(10)


def test_writes_wait_for_the_servers_window():
    server = RawH2Server("no-window")

    async def talk():
        timeout = quillet.Timeout(5.0, write=0.3)
        async with quillet.AsyncClient(http2=True, timeout=timeout) as client:
            ws = await client.websocket(f"ws://127.0.0.1:{server.port}/", compression=None,
                                        close_timeout=0.3)
            with pytest.raises(quillet.WebSocketClosed) as info:
                await ws.send(b"w" * (1 << 20))
            assert info.value.code == 1011
            await ws.close()

    run(talk())
    server.join()
    # the stream's first window (the protocol's default), and not one octet more
    assert server.received == 65535
    assert server.events[-1] == ("reset", 8)


def test_a_server_that_sends_no_settings_is_a_read_timeout():
    """Only the server's SETTINGS say whether it takes extended CONNECT: they are awaited
    under the read timeout, and the stream slot goes back to the pool."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]

    async def talk():
        timeout = quillet.Timeout(5.0, read=0.3)
        async with quillet.AsyncClient(http2=True, timeout=timeout) as client:
            with pytest.raises(quillet.ReadTimeout, match="no SETTINGS within the read timeout"):
                await client.websocket(f"ws://127.0.0.1:{port}/")
            [conn] = client._pool.connections
            assert conn.num_open_streams == 0

    try:
        run(talk())
    finally:
        listener.close()
