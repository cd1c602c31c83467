"""The HTTP/2 server against hostile peers, on real loopback sockets: a peer that never reads,
never acknowledges, resets what it asked for, stalls its body, idles, ignores the shutdown PING
or keeps writing as it is sent away. Each test plays that peer with raw frames and checks the
bound that holds: what the server keeps in memory, how many application tasks live, and the
GOAWAY, RST_STREAM or close the peer is answered with."""

import asyncio
import gc
import os
import socket
import struct
import threading
import time
import tracemalloc
import weakref

import pytest

import e2e_app
from memory import assert_grew_less, status_kib
from _quillet import H2_PREFACE, H2Codec
from quillet import _h2server
from quillet.server import run_loop
from test_e2e_deploy import start_cli
from test_e2e_server import ServerThread

LOOPS = ["asyncio", pytest.param("uvloop", marks=pytest.mark.skipif(
    __import__("importlib").util.find_spec("uvloop") is None, reason="uvloop is not installed"))]
CANCEL, SETTINGS_TIMEOUT = 8, 4

# what the application saw, for the tests to read
seen = {"live": 0, "peak": 0, "cancelled": 0, "disconnects": 0, "last": None}


async def app(scope, receive, send):
    path = scope["path"]
    if path not in ("/hold", "/watch", "/upload"):
        return await e2e_app.app(scope, receive, send)
    seen["live"] += 1
    seen["peak"] = max(seen["peak"], seen["live"])
    try:
        if path == "/upload":
            while (message := await receive())["type"] == "http.request" and \
                    message["more_body"]:
                pass
            seen["last"] = message["type"]
            return
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"", "more_body": True})
        if path == "/hold":  # deaf to the client: only a cancellation ends it
            await asyncio.sleep(3600)
        while (await receive())["type"] != "http.disconnect":
            pass
        seen["disconnects"] += 1
    except asyncio.CancelledError:
        seen["cancelled"] += 1
        raise
    finally:
        seen["live"] -= 1


class Server(ServerThread):
    """The server on the event loop named; `peer()` connects a Peer that `stop()` closes."""

    def __init__(self, loop="asyncio", **options):
        self.loop_name = loop
        self.peers = []
        seen.update(live=0, peak=0, cancelled=0, disconnects=0, last=None)
        super().__init__(app, lifespan="off", access_log=False, **options)

    def _run(self):
        run_loop(self.server.serve(install_signals=False, ready=lambda s: self._ready.set()),
                 self.loop_name)

    def peer(self, **options):
        self.peers.append(Peer(self.port, **options))
        return self.peers[-1]

    def on_loop(self, function):
        """`function(server)` run on the server's loop; its result."""
        done, out = threading.Event(), []
        self.server.loop.call_soon_threadsafe(
            lambda: (out.append(function(self.server)), done.set()))
        assert done.wait(10)
        return out[0]

    def stop(self):
        for peer in self.peers:
            peer.close()
        if self._thread.is_alive():
            super().stop()


@pytest.fixture
def serve():
    """Starts servers (`serve(loop, **options)`) that stop, their peers closed, after the test."""
    started = []
    yield lambda *args, **options: started.append(Server(*args, **options)) or started[-1]
    for server in started:
        server.stop()


class Peer:
    """A client made of raw frames: it answers SETTINGS (unless told not to) and nothing else."""

    def __init__(self, port, ack=True, rcvbuf=None, **settings):
        self.sock = socket.socket()
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(10)
        self.sock.connect(("127.0.0.1", port))
        self.out, self.reader = H2Codec("client"), H2Codec("client")
        self.ack = ack
        self.send(H2_PREFACE + self.out.serialize_settings(**settings))

    def send(self, data):
        self.sock.sendall(data)

    def request(self, sid, path, end_stream=True, method="GET"):
        self.send(self.out.serialize_request_headers(sid, method, path, None, end_stream,
                                                     scheme="http", authority="a"))

    def frames(self):
        """Every frame until the server closes."""
        while True:
            data = self.sock.recv(65536)
            if not data:
                return
            for frame in self.reader.receive(data):
                if type(frame).__name__ == "H2FrameSettings" and not frame.ack and self.ack:
                    self.send(self.out.serialize_settings_ack())
                yield frame

    def until(self, kind, test=lambda f: True):
        for frame in self.frames():
            if type(frame).__name__ == kind and test(frame):
                return frame
        raise AssertionError(f"closed before {kind}")

    def goaway_then_close(self):
        """The error code of the GOAWAY the server sent, once it has closed."""
        codes = [f.error_code for f in self.frames() if type(f).__name__ == "H2FrameGoAway"]
        assert codes, "closed without GOAWAY"
        return codes[-1]

    def close(self, abort=False):
        if abort:  # a TCP reset rather than an orderly close
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


def settle(condition, seconds=10):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


# --- a peer that opens its windows and never reads -------------------------------------------


@pytest.mark.parametrize("loop", LOOPS)
def test_a_peer_that_never_reads_is_held_to_a_bounded_amount(serve, loop):
    server = serve(loop, h2_max_concurrent_streams=10)
    peer = server.peer(rcvbuf=4096, initial_window_size=2**31 - 1)
    peer.send(peer.out.serialize_window_update(0, 2**31 - 1 - 65535))
    peer.request(1, "/")
    peer.until("H2FrameData", lambda f: f.stream_id == 1 and f.end_stream)
    before = status_kib(os.getpid(), "VmRSS")
    # Wave after wave of 1 MiB downloads, none of them read: each wave once grew the server by
    # 10 MiB. Now the first wave waits for the peer to read, holding its place, and the rest
    # are refused.
    sid = 3
    for _ in range(12):
        for _ in range(10):
            peer.request(sid, "/download")
            sid += 2
        time.sleep(0.1)
    refused = lambda: server.on_loop(  # noqa: E731
        lambda s: [c.local_error_resets for c in s._connections])
    settle(lambda: refused()[0] >= 90, 5)
    assert_grew_less(status_kib(os.getpid(), "VmRSS") - before, 24 * 1024)
    # Streams past the ten running, and the one waiting, were refused (REFUSED_STREAM).
    assert refused()[0] >= 90
    assert server.on_loop(lambda s: [len(c.requests) for c in s._connections]) == [10]


def test_a_peer_that_takes_nothing_for_the_deadline_is_cut_off(serve):
    server = serve(write_timeout=0.2)
    peer = server.peer(rcvbuf=4096, initial_window_size=2**31 - 1)
    peer.send(peer.out.serialize_window_update(0, 2**31 - 1 - 65535))
    peer.until("H2FrameSettings", lambda f: f.ack)
    for sid in range(1, 17, 2):  # 8 MiB: more than the sockets' buffers take
        peer.request(sid, "/download")
    assert settle(lambda: server.server.active > 0)
    # Nothing read for the deadline: the connection and its requests are let go.
    assert settle(lambda: server.server.connection_count == 0 and server.server.active == 0)


# --- deadlines on the peer --------------------------------------------------------------------


def test_settings_never_acknowledged_end_the_connection():
    proc, line = start_cli("deploy_app:app", "--port", "0", "--timeout-h2-settings", "0.2",
                           "--no-access-log")
    port = int(line.split(" on http://127.0.0.1:")[1].split("/")[0])
    try:
        peer = Peer(port, ack=False)
        assert peer.goaway_then_close() == SETTINGS_TIMEOUT
        peer.close()
        peer = Peer(port)  # one that acknowledges is served past the timeout
        peer.until("H2FrameSettings", lambda f: f.ack)
        time.sleep(0.3)
        peer.request(1, "/")
        assert peer.until("H2FrameHeaders").stream_id == 1
        peer.close()
    finally:
        proc.terminate()
        proc.wait(10)


def test_an_idle_connection_is_sent_away_and_closed(serve):
    server = serve(keep_alive_timeout=0.2)
    peer = server.peer()
    peer.request(1, "/")
    peer.until("H2FrameData", lambda f: f.end_stream)
    assert peer.goaway_then_close() == 0
    assert settle(lambda: server.server.connection_count == 0)


@pytest.mark.parametrize("stall", ["request body", "send window"])
def test_a_stream_the_peer_stalls_is_reset_and_the_application_told(serve, stall):
    server = serve(body_timeout=0.2, write_timeout=0.2)
    if stall == "request body":
        peer = server.peer()
        peer.request(1, "/upload", end_stream=False, method="POST")
        peer.send(peer.out.serialize_data(1, b"x" * 100))
    else:  # a window that never opens
        peer = server.peer(initial_window_size=0)
        peer.request(1, "/download")
    reset = peer.until("H2FrameRstStream")
    assert (reset.stream_id, reset.error_code) == (1, CANCEL)
    if stall == "request body":
        assert settle(lambda: seen["last"] == "http.disconnect")
    assert settle(lambda: server.server.active == 0)
    peer.request(3, "/")  # the connection goes on
    assert peer.until("H2FrameHeaders").stream_id == 3


# --- streams reset after their application started ---------------------------------------------


def test_reset_streams_are_cancelled_and_hold_their_place_until_they_end(serve, monkeypatch):
    monkeypatch.setattr(_h2server.ServerConnection, "reset_grace", 0.05)
    peer = serve(h2_max_concurrent_streams=4).peer()
    # Each stream is reset once its application answered; the one at /hold ignores it.
    for i, sid in enumerate(range(1, 81, 2)):
        peer.request(sid, "/hold" if i % 2 else "/watch")
        peer.until("H2FrameHeaders", lambda f: f.stream_id == sid)
        peer.send(peer.out.serialize_rst_stream(sid, CANCEL))
    assert settle(lambda: seen["live"] == 0)
    assert seen["peak"] <= 4
    assert (seen["disconnects"], seen["cancelled"]) == (20, 20)


# --- closing ----------------------------------------------------------------------------------


@pytest.mark.parametrize("loop", LOOPS)
def test_a_closed_connection_is_freed_without_the_cycle_collector(serve, loop, monkeypatch):
    monkeypatch.setattr(_h2server.ServerConnection, "reset_grace", 0.05)
    server = serve(loop, keep_alive_timeout=0.2)
    gc.collect()
    gc.disable()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        refs = []
        for i in range(4):
            # 1 MiB of request body that the application never reads, then the client goes;
            # every other time it resets the stream first, its application is cancelled, the
            # idle connection is sent away, and the client answers with a TCP reset.
            peer = server.peer()
            peer.until("H2FrameSettings", lambda f: not f.ack)
            peer.request(1, "/hold", end_stream=False, method="POST")
            peer.send(b"".join(peer.out.serialize_data(1, b"x" * 16384) for _ in range(64)))
            peer.until("H2FrameHeaders")
            refs += server.on_loop(lambda s: [weakref.ref(c) for c in s._connections])
            if i % 2:
                peer.send(peer.out.serialize_rst_stream(1, CANCEL))
                peer.until("H2FrameGoAway")
            peer.close(abort=bool(i % 2))
            assert settle(lambda: server.server.connection_count == 0)
        assert len(refs) == 4
        assert settle(lambda: all(ref() is None for ref in refs))
        grown = tracemalloc.get_traced_memory()[0] - before
        assert grown < 1 << 20, f"{grown} bytes still held"
    finally:
        tracemalloc.stop()
        gc.enable()


def test_a_shutdown_does_not_wait_for_an_idle_client_that_ignores_the_ping(serve):
    server = serve(shutdown_timeout=60)
    peer = server.peer()
    peer.until("H2FrameSettings", lambda f: f.ack)
    server.server.loop.call_soon_threadsafe(server.server.request_stop)
    kinds = [(type(f).__name__, getattr(f, "last_stream_id", None))
             for f in peer.frames() if type(f).__name__ in ("H2FrameGoAway", "H2FramePing")]
    assert kinds == [("H2FrameGoAway", 2**31 - 1), ("H2FramePing", None), ("H2FrameGoAway", 0)]
    server._thread.join(20)
    assert not server._thread.is_alive()


@pytest.mark.parametrize("loop", LOOPS)
def test_the_goaway_reaches_a_peer_that_keeps_writing(serve, loop):
    # A rapid-reset burst past the cap, and the peer goes on writing, one frame per write, after
    # the server has given up: it must still read why, rather than meet a reset connection.
    peer = serve(loop).peer()
    out = peer.out
    peer.send(b"".join(out.serialize_request_headers(sid, "GET", "/slow?1", None, True,
                                                     scheme="http", authority="a")
                       + out.serialize_rst_stream(sid, CANCEL) for sid in range(1, 61, 2)))
    for _ in range(150):  # none of these writes meets a closed socket
        peer.send(out.serialize_ping(b"12345678"))
        time.sleep(0.002)
    # the GOAWAY, then an orderly end of the stream (a reset would raise here)
    assert peer.goaway_then_close() == 11
