"""The quillet server over HTTP/2 with prior knowledge, on real loopback sockets, driven by
clients written elsewhere (curl, nghttp, the h2 package over a raw socket) and by quillet.client;
and the defences against abusive clients, seen from the wire."""

import asyncio
import json
import shutil
import socket
import subprocess

import h2.config
import h2.connection
import h2.events
import pytest

from _quillet import H2_PREFACE, H2Codec, HeaderMap
from quillet import demo_app
from quillet.client import Client
from test_e2e_server import CURL_ENV, ServerThread, needs_curl

BIG = bytes(range(256)) * 1200  # 300 KiB: more than the default windows of 64 KiB


@pytest.fixture(scope="module")
def srv():
    server = ServerThread()
    yield server
    server.stop()


def curl2(*args, data=None, timeout=20):
    result = subprocess.run(["curl", "--http2-prior-knowledge", "-sS", *args], input=data,
                            capture_output=True, timeout=timeout, env=CURL_ENV)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout


@needs_curl
def test_curl_gets_posts_and_streams_over_h2c(srv):
    assert b"Hello from quillet" in curl2(srv.url("/"))
    assert curl2("--data-binary", "@-", srv.url("/echo"), data=BIG) == BIG
    assert curl2(srv.url("/stream")) == b"".join(b"line %d of 10\n" % i for i in range(1, 11))
    out = curl2("-w", "%{http_version}", "-o", "/dev/null", srv.url("/download"))
    assert out == b"2"


@needs_curl
def test_curl_runs_several_requests_at_once(srv):
    # The curl of Debian 12 (7.88.1) fails to reuse a connection it opened with prior knowledge
    # ("Error in the HTTP2 framing layer" on the second request, against any h2c server), so
    # each transfer gets a connection here; nghttp, the h2 package and quillet.client below
    # multiplex on one.
    out = curl2("-Z", "--parallel-immediate", "-w", "%{http_code} %{size_download}\n",
                "-o", "/dev/null", "-o", "/dev/null", "-o", "/dev/null",
                srv.url("/"), srv.url("/download"), srv.url("/missing"))
    hello = len(demo_app.HELLO.format(protocol="HTTP/2 in the clear (h2c)").encode())
    assert sorted(out.decode().split("\n")[:3]) == ["200 1048576", f"200 {hello}", "404 10"]


@pytest.mark.skipif(shutil.which("nghttp") is None, reason="nghttp is not installed")
def test_nghttp_runs_concurrent_streams(srv):
    before = srv.server.connections_accepted
    result = subprocess.run(["nghttp", "-nv", srv.url("/"), srv.url("/download"),
                             srv.url("/stream"), srv.url("/missing")],
                            capture_output=True, timeout=20, env=CURL_ENV)
    assert srv.server.connections_accepted == before + 1
    assert result.returncode == 0, result.stderr.decode()
    log = result.stdout.decode()
    statuses = sorted(line.split()[-1] for line in log.splitlines() if ":status:" in line)
    assert statuses == ["200", "200", "200", "404"]
    assert "GOAWAY" not in log.split("recv DATA")[0]  # no error on the way


class RawClient:
    """The h2 package as a client on a blocking socket."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.h2 = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
        self.h2.initiate_connection()
        self.flush()
        self.bodies = {}
        self.trailers = {}
        self.heads = {}
        self.ended = set()
        self.resets = {}
        self.terminated = None

    def flush(self):
        data = self.h2.data_to_send()
        if data:
            self.sock.sendall(data)

    def pump(self):
        data = self.sock.recv(65536)
        if not data:
            raise ConnectionError("closed")
        for event in self.h2.receive_data(data):
            if isinstance(event, h2.events.ResponseReceived):
                self.heads[event.stream_id] = dict(event.headers)
            elif isinstance(event, h2.events.DataReceived):
                self.bodies[event.stream_id] = self.bodies.get(event.stream_id, b"") + event.data
                self.h2.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
            elif isinstance(event, h2.events.TrailersReceived):
                self.trailers[event.stream_id] = dict(event.headers)
            elif isinstance(event, h2.events.StreamEnded):
                self.ended.add(event.stream_id)
            elif isinstance(event, h2.events.StreamReset):
                self.resets[event.stream_id] = event.error_code
            elif isinstance(event, h2.events.ConnectionTerminated):
                self.terminated = event.error_code
        self.flush()

    def request(self, sid, path, method="GET", body=None, trailers=None):
        self.h2.send_headers(sid, [(":method", method), (":path", path), (":scheme", "http"),
                                   (":authority", "test")],
                             end_stream=body is None and trailers is None)
        self.flush()
        if body is not None:
            self.send_body(sid, body, end=trailers is None)
        if trailers is not None:
            self.h2.send_headers(sid, trailers, end_stream=True)
            self.flush()

    def send_body(self, sid, body, end=True):
        sent = 0
        while sent < len(body):
            room = min(self.h2.local_flow_control_window(sid), self.h2.max_outbound_frame_size)
            if room <= 0:
                self.pump()  # wait for a WINDOW_UPDATE
                continue
            chunk = body[sent:sent + room]
            sent += len(chunk)
            self.h2.send_data(sid, chunk, end_stream=end and sent == len(body))
            self.flush()

    def wait(self, done):
        while not done():
            self.pump()

    def close(self):
        self.sock.close()


def test_the_h2_package_uploads_under_flow_control_and_sees_trailers(srv):
    client = RawClient(srv.port)
    try:
        client.request(1, "/echo", "POST", body=BIG, trailers=[("x-checksum", "1")])
        client.request(3, "/trailers")
        client.wait(lambda: {1, 3} <= client.ended)
        assert client.bodies[1] == BIG and client.heads[1][b":status"] == b"200"
        assert client.bodies[3] == b"body" and client.trailers[3] == {b"x-t": b"done"}
    finally:
        client.close()


def test_cookies_split_into_fields_reach_the_application_as_one(srv):
    # RFC 9113 section 8.2.3: HTTP/2 may carry a cookie as one field per pair
    client = RawClient(srv.port)
    try:
        for sid, cookies in ((1, ["a=1", "b=2", "c=3"]), (3, ["only=1"]), (5, [])):
            client.h2.send_headers(sid, [(":method", "GET"), (":path", "/scope/x"),
                                         (":scheme", "http"), (":authority", "test")]
                                   + [("cookie", c) for c in cookies], end_stream=True)
            client.flush()
        client.wait(lambda: {1, 3, 5} <= client.ended)
        seen = {sid: [v for n, v in json.loads(client.bodies[sid])["headers"] if n == "cookie"]
                for sid in (1, 3, 5)}
        assert seen == {1: ["a=1; b=2; c=3"], 3: ["only=1"], 5: []}
    finally:
        client.close()


def test_a_reset_stream_leaves_the_others_running(srv):
    client = RawClient(srv.port)
    try:
        client.request(1, "/download")
        client.request(3, "/echo", "POST", body=b"x" * 1000)
        client.h2.reset_stream(1, 8)
        client.flush()
        client.wait(lambda: 3 in client.ended)
        assert client.bodies[3] == b"x" * 1000
        assert 1 not in client.ended
    finally:
        client.close()


def test_quillet_client_over_h2c(srv):
    async def main():
        async with Client("127.0.0.1", srv.port, http2=True) as client:
            responses = await asyncio.gather(
                client.request("POST", "/echo", body=BIG),
                *(client.request("GET", "/") for _ in range(5)),
                client.request("GET", "/missing"))
            return responses, client.connections_opened
    responses, opened = asyncio.run(main())
    assert opened == 1
    assert responses[0].body == BIG
    assert [r.status for r in responses] == [200] * 6 + [404]
    assert isinstance(responses[1].headers, HeaderMap)


async def _te_app(scope, receive, send):
    """Answers with the request's te fields as its body, under a head with TE fields."""
    if scope["type"] != "http":
        return
    await receive()
    body = b",".join(value for name, value in scope["headers"] if name == b"te")
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"TE", b"Trailers"), ("Te", "gzip"), (b"x-kept", b"1"),
                            ("Connection", "keep-alive"), (b"transfer-encoding", b"chunked")]})
    await send({"type": "http.response.body", "body": body})


def test_te_fields_go_out_as_http2_allows_them():
    # HTTP/2 carries no TE but "trailers": an application's `TE: Trailers` goes out in that
    # form, or not at all, and never costs it its head; quillet.client sends its own
    # `te: trailers` however it is given.
    server = ServerThread(_te_app)
    try:
        peer = RawClient(server.port)
        try:
            peer.request(1, "/")
            peer.wait(lambda: 1 in peer.ended)
            head = peer.heads[1]
            assert head[b":status"] == b"200" and head[b"x-kept"] == b"1" and b"connection" not in head
            assert head.get(b"te", b"trailers") == b"trailers" and 1 not in peer.resets
        finally:
            peer.close()

        async def main():
            async with Client("127.0.0.1", server.port, http2=True) as client:
                return [(await client.request("GET", "/", headers=given)).body for given in
                        ([("te", "trailers")], {"TE": "Trailers"}, [(b"te", b"gzip")])]
        assert asyncio.run(main()) == [b"trailers", b"trailers", b""]
    finally:
        server.stop()


def abuse(port, frames):
    """Sends the preface, a SETTINGS frame and `frames`; returns the error code of the GOAWAY
    the server answers with."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    codec = H2Codec("client")  # reads what the server sends
    try:
        sock.sendall(H2_PREFACE + H2Codec("client").serialize_settings())
        try:
            sock.sendall(frames)
        except OSError:
            pass  # the server may close before it has read everything
        while True:
            try:
                data = sock.recv(65536)
            except OSError:
                return None
            if not data:
                return None
            for frame in codec.receive(data):
                if type(frame).__name__ == "H2FrameGoAway" and frame.error_code:
                    return frame.error_code
    finally:
        sock.close()


def test_rapid_reset_and_tiny_data_floods_are_cut_off(srv):
    peer = H2Codec("client")
    rapid = b"".join(peer.serialize_request_headers(sid, "GET", "/slow?1", None, end_stream=True,
                                                    scheme="http", authority="a") +
                     peer.serialize_rst_stream(sid, 8) for sid in range(1, 200, 2))
    assert abuse(srv.port, rapid) == 11  # ENHANCE_YOUR_CALM
    peer = H2Codec("client")  # a new connection: a new compression context
    tiny = peer.serialize_request_headers(1, "POST", "/slow?2", None, scheme="http",
                                          authority="a") + peer.serialize_data(1, b"x") * 40000
    assert abuse(srv.port, tiny) == 11
    # the server goes on serving everyone else
    assert get_status(srv.port, "/") == 200


def get_status(port, path):
    client = RawClient(port)
    try:
        client.request(1, path)
        client.wait(lambda: 1 in client.ended)
        return int(client.heads[1][b":status"])
    finally:
        client.close()


def test_a_graceful_stop_serves_the_request_in_flight_then_closes():
    server = ServerThread()
    sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
    peer, reader = H2Codec("client"), H2Codec("client")
    try:
        sock.sendall(H2_PREFACE + peer.serialize_settings() + peer.serialize_request_headers(
            1, "GET", "/slow?0.5", None, end_stream=True, scheme="http", authority="a"))
        seen, body = [], b""
        while True:
            data = sock.recv(65536)
            if not data:
                break
            for frame in reader.receive(data):
                kind = type(frame).__name__
                if kind == "H2FrameSettings" and not frame.ack:
                    sock.sendall(peer.serialize_settings_ack())
                    server.server.loop.call_soon_threadsafe(server.server.request_stop)
                elif kind == "H2FramePing" and not frame.ack:
                    seen.append(("PING", frame.data))
                    sock.sendall(peer.serialize_ping_ack(frame.data))
                elif kind == "H2FrameGoAway":
                    seen.append(("GOAWAY", frame.last_stream_id))
                elif kind == "H2FrameData":
                    body += frame.data
        # GOAWAY that promises nothing, the PING whose answer marks what the client sent
        # before it, then the final GOAWAY naming the last stream; the stream in flight ends
        # normally and the connection closes after it.
        assert seen[:3] == [("GOAWAY", 2**31 - 1), ("PING", b"SHUTDOWN"), ("GOAWAY", 1)]
        assert body == b"finished"
        server._thread.join(10)
        assert not server._thread.is_alive()
    finally:
        sock.close()
        if server._thread.is_alive():
            server.stop()
